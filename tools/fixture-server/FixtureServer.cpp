#include "FixtureServer.h"

#include "HttpValues.h"
#include "ResponseBody.h"

#include <httplib.h>

#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <fstream>
#include <netinet/in.h>
#include <sstream>
#include <stdexcept>
#include <sys/socket.h>
#include <sys/stat.h>
#include <system_error>
#include <unistd.h>

namespace fs = std::filesystem;

namespace fixture {

namespace {

// Enough workers for ten parallel keep-alive clients plus stragglers still
// held by connections a client has not closed yet.
constexpr std::size_t kWorkerThreads = 32;
constexpr const char* kDefaultContentType = "application/octet-stream";

std::uint64_t fnv1a(std::string_view data) {
    std::uint64_t hash = 1469598103934665603ULL;
    for (unsigned char c : data) {
        hash ^= c;
        hash *= 1099511628211ULL;
    }
    return hash;
}

std::string hex(std::uint64_t value) {
    char buffer[17];
    auto result = std::to_chars(buffer, buffer + sizeof buffer, value, 16);
    return std::string(buffer, result.ptr);
}

std::string substituteBase(const std::string& text, const std::string& base) {
    static constexpr std::string_view placeholder = "{BASE}";
    std::string out;
    out.reserve(text.size());
    std::size_t from = 0;
    for (std::size_t at; (at = text.find(placeholder, from)) != std::string::npos;) {
        out.append(text, from, at - from);
        out += base;
        from = at + placeholder.size();
    }
    out.append(text, from, std::string::npos);
    return out;
}

} // namespace

struct FixtureServer::Resource {
    std::uint64_t size = 0;
    std::string etag;
    std::string lastModified;
    std::shared_ptr<const std::string> memory; // either this...
    std::shared_ptr<FileHandle> file;          // ...or this
};

FixtureServer::FixtureServer() = default;

FixtureServer::FixtureServer(fs::path root) : root_(std::move(root)) {}

FixtureServer::~FixtureServer() {
    stop();
}

void FixtureServer::start() {
    start(0);
}

void FixtureServer::start(int port) {
    if (server_) throw std::logic_error("fixture server already started");
    {
        std::lock_guard lock(waitMutex_);
        stopping_ = false;
    }
    auto server = std::make_unique<httplib::Server>();
    server->new_task_queue = [] { return new httplib::ThreadPool(kWorkerThreads); };
    server->set_keep_alive_max_count(1000);
    server->set_tcp_nodelay(true);
    server->set_socket_options([](socket_t sock) {
        int yes = 1;
        ::setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
        ::fcntl(sock, F_SETFD, FD_CLOEXEC);
    });
    server->set_pre_routing_handler([this](const httplib::Request& req, httplib::Response& res) {
        handle(req, res);
        return httplib::Server::HandlerResponse::Handled;
    });

    int bound = port == 0 ? server->bind_to_any_port("127.0.0.1")
                          : (server->bind_to_port("127.0.0.1", port) ? port : -1);
    if (bound <= 0)
        throw std::runtime_error("fixture server cannot listen on 127.0.0.1:" +
                                 std::to_string(port));
    port_ = bound;
    server_ = std::move(server);

    // The socket already listens; waiting for the accept loop to run makes a
    // stop() right after start() reliable (httplib ignores stop() before it).
    auto loopEnded = std::make_shared<std::atomic<bool>>(false);
    thread_ = std::thread([server = server_.get(), loopEnded] {
        server->listen_after_bind();
        loopEnded->store(true);
    });
    while (!server_->is_running() && !loopEnded->load())
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

void FixtureServer::stop() {
    if (!server_) return;
    {
        std::lock_guard lock(waitMutex_);
        stopping_ = true;
    }
    waitCv_.notify_all();
    server_->stop();
    // Idle keep-alive connections would otherwise hold their workers (and so
    // this call) until the keep-alive timeout.
    shutDownConnections();
    if (thread_.joinable()) thread_.join();
    server_.reset();
}

void FixtureServer::shutDownConnections() const {
    std::error_code error;
    for (const auto& entry : fs::directory_iterator("/proc/self/fd", error)) {
        int fd = -1;
        std::string name = entry.path().filename().string();
        if (std::from_chars(name.data(), name.data() + name.size(), fd).ec != std::errc()) continue;
        sockaddr_in local{};
        socklen_t length = sizeof local;
        if (::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &length) != 0 ||
            local.sin_family != AF_INET || ntohs(local.sin_port) != port_)
            continue;
        sockaddr_in peer{};
        length = sizeof peer;
        if (::getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &length) != 0) continue;
        ::shutdown(fd, SHUT_RDWR);
    }
}

int FixtureServer::port() const {
    return port_;
}

std::string FixtureServer::baseUrl() const {
    return "http://127.0.0.1:" + std::to_string(port_);
}

std::string FixtureServer::url(const std::string& path) const {
    return baseUrl() + path;
}

void FixtureServer::setFile(const std::string& path, std::string body) {
    std::lock_guard lock(mutex_);
    auto hash = fnv1a(body);
    auto& file = files_[path];
    bool changed = !file.body || file.isTemplate || file.contentHash != hash;
    file.body = std::make_shared<const std::string>(std::move(body));
    file.isTemplate = false;
    file.contentHash = hash;
    if (changed) bumpVersion(path);
}

void FixtureServer::setTemplate(const std::string& path, std::string body) {
    std::lock_guard lock(mutex_);
    auto& file = files_[path];
    file.contentHash = fnv1a(body);
    file.body = std::make_shared<const std::string>(std::move(body));
    file.isTemplate = true;
    bumpVersion(path);
}

void FixtureServer::removeFile(const std::string& path) {
    std::lock_guard lock(mutex_);
    files_.erase(path);
}

void FixtureServer::setServeRootTemplates(bool on) {
    std::lock_guard lock(mutex_);
    serveRootTemplates_ = on;
}

void FixtureServer::setHeader(const std::string& path, std::string name, std::string value) {
    std::lock_guard lock(mutex_);
    auto& list = headers_[path];
    auto same = [&](const auto& entry) { return lowered(entry.first) == lowered(name); };
    list.erase(std::remove_if(list.begin(), list.end(), same), list.end());
    list.emplace_back(std::move(name), std::move(value));
}

void FixtureServer::setFault(const std::string& path, Fault fault) {
    std::lock_guard lock(mutex_);
    if (fault.times == 0)
        faults_.erase(path);
    else
        faults_[path] = fault;
}

void FixtureServer::clearFault(const std::string& path) {
    std::lock_guard lock(mutex_);
    faults_.erase(path);
}

void FixtureServer::changeETag(const std::string& path) {
    std::lock_guard lock(mutex_);
    ++versions_[path];
    bumpVersion(path);
}

std::string FixtureServer::etag(const std::string& path) {
    auto resource = resolve(path);
    return resource ? resource->etag : std::string();
}

// A new version also gets a later Last-Modified (whole seconds, as HTTP dates
// have), so a client validating with the date notices the change too.
void FixtureServer::bumpVersion(const std::string& path) {
    auto it = files_.find(path);
    if (it == files_.end()) return;
    auto now = std::chrono::time_point_cast<std::chrono::seconds>(std::chrono::system_clock::now());
    auto& modified = it->second.modified;
    modified = modified.time_since_epoch().count() == 0
                   ? now
                   : std::max<std::chrono::system_clock::time_point>(
                         now, modified + std::chrono::seconds(1));
}

void FixtureServer::releaseStalls() {
    {
        std::lock_guard lock(waitMutex_);
        ++stallEpoch_;
    }
    waitCv_.notify_all();
}

std::vector<RecordedRequest> FixtureServer::requests() const {
    return requestLog_.all();
}

std::vector<RecordedRequest> FixtureServer::requests(const std::string& path) const {
    return requestLog_.forPath(path);
}

void FixtureServer::clearRequests() {
    requestLog_.clear();
}

std::size_t FixtureServer::peakConcurrentRequests() const {
    std::lock_guard lock(mutex_);
    return peakConcurrentRequests_;
}

void FixtureServer::resetPeakConcurrentRequests() {
    std::lock_guard lock(mutex_);
    peakConcurrentRequests_ = concurrentRequests_;
}

bool FixtureServer::pause(Clock::time_point deadline, std::optional<std::uint64_t> stallEpoch) {
    std::unique_lock lock(waitMutex_);
    waitCv_.wait_until(lock, deadline,
                       [&] { return stopping_ || (stallEpoch && stallEpoch_ != *stallEpoch); });
    return !stopping_;
}

void FixtureServer::setDefaultFault(std::optional<Fault> fault) {
    std::lock_guard lock(mutex_);
    defaultFault_ = std::move(fault);
}

std::optional<Fault> FixtureServer::takeFault(const std::string& path, bool consume,
                                              std::optional<std::uint64_t> rangeStart) {
    std::lock_guard lock(mutex_);
    auto it = faults_.find(path);
    if (it == faults_.end()) return defaultFault_;
    Fault fault = it->second;
    if (fault.rangeFrom && fault.rangeFrom != rangeStart) return defaultFault_;
    if (consume && it->second.times > 0 && --it->second.times == 0) faults_.erase(it);
    return fault;
}

std::optional<FixtureServer::Resource> FixtureServer::resolve(const std::string& path) {
    fs::path rootCopy;
    bool templates = false;
    {
        std::lock_guard lock(mutex_);
        auto version = versions_.count(path) ? versions_.at(path) : 0;
        if (auto it = files_.find(path); it != files_.end()) {
            const MemoryFile& file = it->second;
            Resource resource;
            if (file.isTemplate) {
                auto body =
                    std::make_shared<const std::string>(substituteBase(*file.body, baseUrl()));
                resource.etag = "\"" + hex(fnv1a(*body)) + "-" + std::to_string(version) + "\"";
                resource.memory = std::move(body);
            } else {
                resource.etag = "\"" + hex(file.contentHash) + "-" + std::to_string(version) + "\"";
                resource.memory = file.body;
            }
            resource.size = resource.memory->size();
            resource.lastModified = httpDate(file.modified);
            return resource;
        }
        rootCopy = root_;
        templates = serveRootTemplates_;
    }
    if (rootCopy.empty() || path.empty() || path.front() != '/') return std::nullopt;

    // Only plain relative names below root: no "..", no ".", no empty segments.
    std::string relative = path.substr(1);
    std::stringstream segments(relative);
    for (std::string segment; std::getline(segments, segment, '/');)
        if (segment.empty() || segment == "." || segment == "..") return std::nullopt;
    if (relative.empty() || relative.back() == '/' || relative.find('\0') != std::string::npos)
        return std::nullopt;

    auto open = [&](const fs::path& full) -> std::shared_ptr<FileHandle> {
        std::error_code error;
        auto canonicalRoot = fs::canonical(rootCopy, error);
        if (error) return nullptr;
        auto target = fs::weakly_canonical(full, error);
        if (error) return nullptr;
        auto [rootEnd, targetIt] =
            std::mismatch(canonicalRoot.begin(), canonicalRoot.end(), target.begin(), target.end());
        if (rootEnd != canonicalRoot.end()) return nullptr; // a symlink leading out of root
        int fd = ::open(full.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) return nullptr;
        auto handle = std::make_shared<FileHandle>(fd);
        struct stat info {};
        if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) return nullptr;
        return handle;
    };
    auto versionOf = [&] {
        std::lock_guard lock(mutex_);
        return versions_.count(path) ? versions_.at(path) : 0;
    };
    auto modifiedOf = [](const struct stat& info, std::uint64_t version) {
        auto since = std::chrono::seconds(info.st_mtim.tv_sec) + std::chrono::seconds(version);
        return std::chrono::system_clock::time_point(since);
    };

    if (auto handle = open(rootCopy / relative)) {
        struct stat info {};
        ::fstat(handle->fd, &info);
        auto version = versionOf();
        std::uint64_t mtimeNs = static_cast<std::uint64_t>(info.st_mtim.tv_sec) * 1000000000ULL +
                                static_cast<std::uint64_t>(info.st_mtim.tv_nsec);
        Resource resource;
        resource.size = static_cast<std::uint64_t>(info.st_size);
        resource.etag = "\"" + hex(info.st_ino) + "-" + hex(resource.size) + "-" + hex(mtimeNs) +
                        "-" + std::to_string(version) + "\"";
        resource.lastModified = httpDate(modifiedOf(info, version));
        resource.file = std::move(handle);
        return resource;
    }
    if (!templates) return std::nullopt;
    if (auto handle = open(rootCopy / (relative + ".template"))) {
        struct stat info {};
        ::fstat(handle->fd, &info);
        std::string text(static_cast<std::size_t>(info.st_size), '\0');
        std::size_t filled = 0;
        while (filled < text.size()) {
            ssize_t got = ::pread(handle->fd, text.data() + filled, text.size() - filled,
                                  static_cast<off_t>(filled));
            if (got < 0 && errno == EINTR) continue;
            if (got <= 0) break;
            filled += static_cast<std::size_t>(got);
        }
        text.resize(filled);
        auto version = versionOf();
        Resource resource;
        auto body = std::make_shared<const std::string>(substituteBase(text, baseUrl()));
        resource.etag = "\"" + hex(fnv1a(*body)) + "-" + std::to_string(version) + "\"";
        resource.size = body->size();
        resource.lastModified = httpDate(modifiedOf(info, version));
        resource.memory = std::move(body);
        return resource;
    }
    return std::nullopt;
}

// Counted from its arrival until its response is sent (the body holds the
// count) or its client has closed the connection.
struct FixtureServer::InFlight {
    InFlight(FixtureServer* owner, int socket) : server(owner), socket(socket) {}
    InFlight(const InFlight&) = delete;
    InFlight& operator=(const InFlight&) = delete;
    ~InFlight() {
        std::lock_guard lock(server->mutex_);
        server->inFlight_.erase(this);
        if (!ended) --server->concurrentRequests_;
    }
    FixtureServer* server;
    int socket; // -1: not found, never taken for closed
    bool ended = false;
};

namespace {

// This server's socket of the connection from this loopback client port.
int connectionSocket(int serverPort, int clientPort) {
    std::error_code error;
    for (const auto& entry : fs::directory_iterator("/proc/self/fd", error)) {
        int fd = -1;
        const std::string name = entry.path().filename().string();
        std::from_chars(name.data(), name.data() + name.size(), fd);
        sockaddr_in peer{}, own{};
        socklen_t peerLength = sizeof peer, ownLength = sizeof own;
        if (fd >= 0 && ::getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &peerLength) == 0 &&
            ::getsockname(fd, reinterpret_cast<sockaddr*>(&own), &ownLength) == 0 &&
            peer.sin_family == AF_INET && ntohs(peer.sin_port) == clientPort &&
            ntohs(own.sin_port) == serverPort)
            return fd;
    }
    return -1;
}

// The client has closed (or reset) its side; a request it is still sending is no close.
bool peerClosed(int socket) {
    if (socket < 0) return false;
    char byte = 0;
    const ssize_t got = ::recv(socket, &byte, 1, MSG_PEEK | MSG_DONTWAIT);
    return got == 0 || (got < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR);
}

} // namespace

bool FixtureServer::handle(const httplib::Request& req, httplib::Response& res) {
    // Taken before the request shows in requests(), so releaseStalls() after
    // seeing it there releases this request's stall too.
    std::uint64_t stallEpoch = 0;
    {
        std::lock_guard lock(waitMutex_);
        stallEpoch = stallEpoch_;
    }
    requestLog_.record(req);
    // cpp-httplib would slice (and compress) whatever this handler answers
    // according to what it parsed from the request; both are decided here
    // instead. The request object is the server's own, not a const one.
    auto& own = const_cast<httplib::Request&>(req);
    own.ranges.clear();
    own.headers.erase("Accept-Encoding");

    const bool head = req.method == "HEAD";
    if (!head && req.method != "GET") {
        res.status = 405;
        res.set_header("Allow", "GET, HEAD");
        return true;
    }

    std::string contentType = kDefaultContentType;
    {
        std::lock_guard lock(mutex_);
        if (auto it = headers_.find(req.path); it != headers_.end()) {
            for (const auto& [name, value] : it->second) {
                if (lowered(name) == "content-type")
                    contentType = value;
                else
                    res.set_header(name, value);
            }
        }
    }

    std::shared_ptr<InFlight> inFlight;
    if (!head) {
        const int socket = connectionSocket(port_, req.remote_port);
        std::lock_guard lock(mutex_);
        // A client that gave up on a response has closed its connection before
        // it opens the next one: such responses end here, not when a write to
        // the closed connection fails later.
        for (InFlight* other : inFlight_)
            if (!other->ended && peerClosed(other->socket)) {
                other->ended = true;
                --concurrentRequests_;
            }
        peakConcurrentRequests_ = std::max(peakConcurrentRequests_, ++concurrentRequests_);
        inFlight = std::make_shared<InFlight>(this, socket);
        inFlight_.insert(inFlight.get());
    }

    std::optional<std::uint64_t> rangeStart;
    if (!head && req.has_header("Range")) {
        auto range = parseRange(req.get_header_value("Range"), UINT64_MAX);
        if (range.kind == ByteRange::Kind::satisfiable) rangeStart = range.first;
    }
    auto fault = takeFault(req.path, !head, rangeStart);
    if (fault && head && fault->refuseHead) {
        res.status = 405;
        res.set_header("Allow", "GET");
        return true;
    }
    if (fault && fault->forceStatus != 0) {
        res.status = fault->forceStatus;
        return true;
    }

    auto resource = resolve(req.path);
    if (!resource) {
        res.status = 404;
        return true;
    }

    const bool ignoreRanges = fault && fault->ignoreRanges;
    res.set_header("ETag", resource->etag);
    res.set_header("Last-Modified", resource->lastModified);
    res.set_header("Accept-Ranges", ignoreRanges ? "none" : "bytes");

    int status = 200;
    std::uint64_t first = 0;
    std::uint64_t length = resource->size;
    if (!ignoreRanges && req.has_header("Range")) {
        if (!req.has_header("If-Range") || ifRangeHolds(req.get_header_value("If-Range"),
                                                        resource->etag, resource->lastModified)) {
            auto range = parseRange(req.get_header_value("Range"), resource->size);
            if (range.kind == ByteRange::Kind::unsatisfiable) {
                res.status = 416;
                res.set_header("Content-Range", "bytes */" + std::to_string(resource->size));
                return true;
            }
            if (range.kind == ByteRange::Kind::satisfiable) {
                status = 206;
                first = range.first;
                length = range.last - range.first + 1;
                res.set_header("Content-Range", "bytes " + std::to_string(range.first) + "-" +
                                                    std::to_string(range.last) + "/" +
                                                    std::to_string(resource->size));
            }
        }
    }
    res.status = status;

    auto body = std::make_shared<ResponseBody>();
    body->pause = [this](Clock::time_point deadline, std::optional<std::uint64_t> epoch) {
        return pause(deadline, epoch);
    };
    body->memory = resource->memory;
    body->file = resource->file;
    body->start = first;
    body->length = length;
    body->stallEpoch = stallEpoch;
    body->inFlight = inFlight;
    if (fault) {
        body->closeAfter = fault->closeAfterBytes;
        body->stall = fault->stallBeforeBody;
        body->throttle = fault->throttleBytesPerSecond;
    }

    if (fault && fault->omitContentLength) {
        res.set_chunked_content_provider(contentType,
                                         [body](std::size_t offset, httplib::DataSink& sink) {
                                             if (offset >= body->length) {
                                                 sink.done();
                                                 return true;
                                             }
                                             return body->next(offset, sink);
                                         });
    } else if (length > 0) {
        res.set_content_provider(static_cast<std::size_t>(length), contentType,
                                 [body](std::size_t offset, std::size_t, httplib::DataSink& sink) {
                                     return body->next(offset, sink);
                                 });
    } else {
        // httplib announces "Content-Length: 0" itself for an empty body.
        res.set_header("Content-Type", contentType);
    }
    return true;
}

} // namespace fixture
