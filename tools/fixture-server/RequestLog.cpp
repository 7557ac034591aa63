#include "RequestLog.h"

#include "HttpValues.h"

#include <httplib.h>

#include <algorithm>
#include <iterator>

namespace fixture {

namespace {

// Headers cpp-httplib stores among the request headers for its own use.
bool isInternalHeader(const std::string& name) {
    static const char* internal[] = {"REMOTE_ADDR", "REMOTE_PORT", "LOCAL_ADDR", "LOCAL_PORT"};
    return std::any_of(std::begin(internal), std::end(internal),
                       [&](const char* n) { return name == n; });
}

} // namespace

std::string RecordedRequest::header(const std::string& name) const {
    auto it = headers.find(lowered(name));
    return it == headers.end() ? std::string() : it->second;
}

void RequestLog::record(const httplib::Request& req) {
    RecordedRequest recorded{req.method, req.path, req.target, {}};
    for (const auto& [name, value] : req.headers) {
        if (isInternalHeader(name)) continue;
        auto [it, inserted] = recorded.headers.emplace(lowered(name), value);
        if (!inserted) it->second += ", " + value;
    }
    std::lock_guard lock(mutex_);
    requests_.push_back(std::move(recorded));
}

std::vector<RecordedRequest> RequestLog::all() const {
    std::lock_guard lock(mutex_);
    return requests_;
}

std::vector<RecordedRequest> RequestLog::forPath(const std::string& path) const {
    std::lock_guard lock(mutex_);
    std::vector<RecordedRequest> out;
    std::copy_if(requests_.begin(), requests_.end(), std::back_inserter(out),
                 [&](const RecordedRequest& r) { return r.path == path; });
    return out;
}

void RequestLog::clear() {
    std::lock_guard lock(mutex_);
    requests_.clear();
}

} // namespace fixture
