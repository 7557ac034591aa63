#pragma once

#include "RequestLog.h"

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace httplib {
class Server;
struct Request;
struct Response;
} // namespace httplib

namespace fixture {

// A misbehaviour switched on for one path. It lasts for the next `times` GET
// requests of that path (-1: until cleared); HEAD requests see the header side
// of a fault (status, missing length, refused HEAD) without using it up.
struct Fault {
    int times = -1;
    bool ignoreRanges = false;                    // answer 200 with the whole body even with Range
    int forceStatus = 0;                          // answer this status (empty body) instead
    bool omitContentLength = false;               // send the body chunked, without Content-Length
    bool refuseHead = false;                      // HEAD answered 405
    std::optional<std::size_t> closeAfterBytes{}; // drop the connection after N body bytes
    std::chrono::milliseconds stallBeforeBody{0}; // send headers then stall this long
    std::size_t throttleBytesPerSecond = 0;       // 0: unthrottled
    // Only for GET requests whose Range starts at this byte (others pass untouched).
    std::optional<std::uint64_t> rangeFrom{};
};

// An HTTP/1.1 server on 127.0.0.1 for tests and the demo. Files come from
// memory (setFile, setTemplate) or from a root directory, memory first.
// Range, If-Range and the validators are handled here rather than by
// cpp-httplib, whose own range handling slices responses it should not.
class FixtureServer {
  public:
    FixtureServer();                                    // serves in-memory files only
    explicit FixtureServer(std::filesystem::path root); // serves files below root too
    ~FixtureServer();                                   // stops
    FixtureServer(const FixtureServer&) = delete;
    FixtureServer& operator=(const FixtureServer&) = delete;

    void start();         // 127.0.0.1, port 0 (a free port)
    void start(int port); // 127.0.0.1, this port (0: a free one); throws when it cannot bind
    // Returns once the listener is closed and every connection has ended;
    // stalled and throttled responses are cut short.
    void stop();
    int port() const;
    std::string baseUrl() const;                    // "http://127.0.0.1:PORT"
    std::string url(const std::string& path) const; // baseUrl() + path (path starts with '/')

    void setFile(const std::string& path, std::string body); // (re)places an in-memory file
    void setTemplate(const std::string& path,
                     std::string body); // "{BASE}" -> baseUrl() when served
    void removeFile(const std::string& path);
    // A file NAME.template below root is served at NAME with "{BASE}" replaced,
    // unless NAME itself exists. Off by default.
    void setServeRootTemplates(bool on);
    void setHeader(const std::string& path, std::string name, std::string value); // extra header
    void setFault(const std::string& path, Fault fault);
    void clearFault(const std::string& path);
    // A fault for every path without one of its own, never used up (the demo
    // throttles downloads with it so that progress can be watched).
    void setDefaultFault(std::optional<Fault> fault);
    void changeETag(const std::string& path);  // the file becomes a "new version" (new strong ETag)
    std::string etag(const std::string& path); // as served now; empty when nothing is there
    // Ends the stalls of every request already in requests() (whether or not
    // its stall has begun yet); their bodies then follow as usual.
    void releaseStalls();

    std::vector<RecordedRequest> requests() const; // every request so far, in arrival order
    std::vector<RecordedRequest> requests(const std::string& path) const;
    void clearRequests();

    // The most GET requests answered at once since the last reset; a request
    // counts until its whole response is sent or its client has closed the
    // connection (seen by the time the client's next request arrives).
    std::size_t peakConcurrentRequests() const;
    void resetPeakConcurrentRequests();

  private:
    struct MemoryFile {
        std::shared_ptr<const std::string> body;
        bool isTemplate = false;
        std::uint64_t contentHash = 0;
        std::chrono::system_clock::time_point modified;
    };
    struct Resource;
    struct InFlight;

    bool handle(const httplib::Request& req, httplib::Response& res);
    std::optional<Resource> resolve(const std::string& path);
    std::optional<Fault> takeFault(const std::string& path, bool consume,
                                   std::optional<std::uint64_t> rangeStart);
    void bumpVersion(const std::string& path);
    // Waits until `deadline`; false when the server stops meanwhile. A stall
    // (given the release count its request saw) also ends at releaseStalls().
    bool pause(std::chrono::steady_clock::time_point deadline,
               std::optional<std::uint64_t> stallEpoch);
    void shutDownConnections() const;

    std::filesystem::path root_;
    std::unique_ptr<httplib::Server> server_;
    std::thread thread_;
    int port_ = 0;

    mutable std::mutex mutex_;
    std::map<std::string, MemoryFile> files_;
    std::map<std::string, std::uint64_t> versions_; // bumped by changeETag
    std::map<std::string, std::vector<std::pair<std::string, std::string>>> headers_;
    std::map<std::string, Fault> faults_;
    std::optional<Fault> defaultFault_;
    RequestLog requestLog_;
    std::size_t concurrentRequests_ = 0;
    std::set<InFlight*> inFlight_;
    std::size_t peakConcurrentRequests_ = 0;
    bool serveRootTemplates_ = false;

    std::mutex waitMutex_;
    std::condition_variable waitCv_;
    bool stopping_ = false;
    std::uint64_t stallEpoch_ = 0;
};

} // namespace fixture
