#pragma once

#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace httplib {
struct Request;
} // namespace httplib

namespace fixture {

struct RecordedRequest {
    std::string method;
    std::string path;                           // percent-decoded, without the query
    std::string target;                         // as sent on the request line, query included
    std::map<std::string, std::string> headers; // names lower-case; repeats joined by ", "

    // Empty when absent; the name is matched without regard to case.
    std::string header(const std::string& name) const;
};

// Every request the server received, in arrival order; safe from any thread.
class RequestLog {
  public:
    void record(const httplib::Request& request);
    std::vector<RecordedRequest> all() const;
    std::vector<RecordedRequest> forPath(const std::string& path) const;
    void clear();

  private:
    mutable std::mutex mutex_;
    std::vector<RecordedRequest> requests_;
};

} // namespace fixture
