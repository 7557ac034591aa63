#include "FixtureServer.h"

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
using Clock = std::chrono::steady_clock;

namespace fixture {

namespace {

// Enough workers for ten parallel keep-alive clients plus stragglers still
// held by connections a client has not closed yet.
constexpr std::size_t kWorkerThreads = 32;
// One read buffer per response; large enough to keep a 1 GiB transfer cheap.
constexpr std::size_t kChunkBytes = 64 * 1024;
constexpr const char* kDefaultContentType = "application/octet-stream";

std::string lowered(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

std::string trimmed(std::string_view text) {
    auto isSpace = [](char c) { return c == ' ' || c == '\t'; };
    while (!text.empty() && isSpace(text.front()))
        text.remove_prefix(1);
    while (!text.empty() && isSpace(text.back()))
        text.remove_suffix(1);
    return std::string(text);
}

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

std::string httpDate(std::chrono::system_clock::time_point when) {
    static constexpr const char* days[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
    static constexpr const char* months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                             "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    std::time_t seconds = std::chrono::system_clock::to_time_t(when);
    std::tm tm{};
    ::gmtime_r(&seconds, &tm);
    char buffer[40];
    std::snprintf(buffer, sizeof buffer, "%s, %02d %s %04d %02d:%02d:%02d GMT", days[tm.tm_wday],
                  tm.tm_mday, months[tm.tm_mon], tm.tm_year + 1900, tm.tm_hour, tm.tm_min,
                  tm.tm_sec);
    return buffer;
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

struct ByteRange {
    enum class Kind { none, satisfiable, unsatisfiable } kind = Kind::none;
    std::uint64_t first = 0;
    std::uint64_t last = 0; // inclusive
};

std::optional<std::uint64_t> parseDigits(std::string_view text, bool& overflow) {
    overflow = false;
    if (text.empty()) return std::nullopt;
    std::uint64_t value = 0;
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (end != text.data() + text.size()) return std::nullopt;
    if (error == std::errc::result_out_of_range) {
        overflow = true;
        return UINT64_MAX;
    }
    if (error != std::errc()) return std::nullopt;
    return value;
}

// One byte range of the "bytes" unit. Several ranges, other units and
// malformed values yield Kind::none, which means: answer with the whole body,
// as a server may ignore any Range it does not want to serve.
ByteRange parseRange(const std::string& header, std::uint64_t size) {
    std::string value = trimmed(header);
    if (lowered(value.substr(0, 6)) != "bytes=") return {};
    std::string_view rangeSet = std::string_view(value).substr(6);
    if (rangeSet.find(',') != std::string_view::npos) return {};
    auto dash = rangeSet.find('-');
    if (dash == std::string_view::npos) return {};
    std::string firstText = trimmed(rangeSet.substr(0, dash));
    std::string lastText = trimmed(rangeSet.substr(dash + 1));
    bool overflow = false;

    if (firstText.empty()) { // suffix: the last N bytes
        auto suffix = parseDigits(lastText, overflow);
        if (!suffix) return {};
        if (*suffix == 0 || size == 0) return {ByteRange::Kind::unsatisfiable};
        return {ByteRange::Kind::satisfiable, size - std::min(*suffix, size), size - 1};
    }
    auto first = parseDigits(firstText, overflow);
    if (!first) return {};
    std::uint64_t last = UINT64_MAX;
    if (!lastText.empty()) {
        bool lastOverflow = false;
        auto parsed = parseDigits(lastText, lastOverflow);
        if (!parsed || *parsed < *first) return {};
        last = *parsed;
    }
    if (*first >= size) return {ByteRange::Kind::unsatisfiable};
    return {ByteRange::Kind::satisfiable, *first, std::min(last, size - 1)};
}

struct FileHandle {
    int fd = -1;
    explicit FileHandle(int descriptor) : fd(descriptor) {}
    ~FileHandle() {
        if (fd >= 0) ::close(fd);
    }
    FileHandle(const FileHandle&) = delete;
    FileHandle& operator=(const FileHandle&) = delete;
};

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

struct FixtureServer::Resource {
    std::uint64_t size = 0;
    std::string etag;
    std::string lastModified;
    std::shared_ptr<const std::string> memory; // either this...
    std::shared_ptr<FileHandle> file;          // ...or this
};

// Produces one response body (or a slice of it) piece by piece, with the
// faults that shape how the bytes go out.
struct FixtureServer::Body {
    FixtureServer* server = nullptr;
    std::shared_ptr<const std::string> memory;
    std::shared_ptr<FileHandle> file;
    std::uint64_t start = 0;
    std::uint64_t length = 0;
    std::optional<std::size_t> closeAfter;
    std::chrono::milliseconds stall{0};
    std::size_t throttle = 0;
    std::uint64_t stallEpoch = 0;

    bool began = false;
    Clock::time_point sendStart;
    std::vector<char> buffer;

    // Sends the bytes at `offset` (relative to start) onwards, one piece per
    // call. Returning false makes the server drop the connection.
    bool next(std::uint64_t offset, httplib::DataSink& sink) {
        if (!began) {
            began = true;
            if (stall.count() > 0 && !server->pause(Clock::now() + stall, stallEpoch)) return false;
            sendStart = Clock::now();
        }
        if (closeAfter && offset >= *closeAfter) return false;
        std::uint64_t count = std::min<std::uint64_t>(length - offset, kChunkBytes);
        if (closeAfter) count = std::min<std::uint64_t>(count, *closeAfter - offset);
        if (throttle > 0) {
            count = std::min<std::uint64_t>(count, std::max<std::size_t>(1, throttle / 10));
            auto due = sendStart +
                       std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(
                           static_cast<double>(offset) / static_cast<double>(throttle)));
            if (!server->pause(due, std::nullopt)) return false;
        }
        if (memory) return sink.write(memory->data() + start + offset, count);

        if (buffer.empty()) buffer.resize(kChunkBytes);
        std::size_t filled = 0;
        while (filled < count) {
            ssize_t got = ::pread(file->fd, buffer.data() + filled, count - filled,
                                  static_cast<off_t>(start + offset + filled));
            if (got < 0 && errno == EINTR) continue;
            if (got <= 0) return false; // the file shrank under us: cut the response short
            filled += static_cast<std::size_t>(got);
        }
        return sink.write(buffer.data(), filled);
    }
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

bool FixtureServer::pause(Clock::time_point deadline, std::optional<std::uint64_t> stallEpoch) {
    std::unique_lock lock(waitMutex_);
    waitCv_.wait_until(lock, deadline,
                       [&] { return stopping_ || (stallEpoch && stallEpoch_ != *stallEpoch); });
    return !stopping_;
}

std::vector<RecordedRequest> FixtureServer::requests() const {
    std::lock_guard lock(mutex_);
    return requests_;
}

std::vector<RecordedRequest> FixtureServer::requests(const std::string& path) const {
    std::lock_guard lock(mutex_);
    std::vector<RecordedRequest> out;
    std::copy_if(requests_.begin(), requests_.end(), std::back_inserter(out),
                 [&](const RecordedRequest& r) { return r.path == path; });
    return out;
}

void FixtureServer::clearRequests() {
    std::lock_guard lock(mutex_);
    requests_.clear();
}

void FixtureServer::record(const httplib::Request& req) {
    RecordedRequest recorded{req.method, req.path, req.target, {}};
    for (const auto& [name, value] : req.headers) {
        if (isInternalHeader(name)) continue;
        auto [it, inserted] = recorded.headers.emplace(lowered(name), value);
        if (!inserted) it->second += ", " + value;
    }
    std::lock_guard lock(mutex_);
    requests_.push_back(std::move(recorded));
}

std::optional<Fault> FixtureServer::takeFault(const std::string& path, bool consume) {
    std::lock_guard lock(mutex_);
    auto it = faults_.find(path);
    if (it == faults_.end()) return std::nullopt;
    Fault fault = it->second;
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

bool FixtureServer::handle(const httplib::Request& req, httplib::Response& res) {
    // Taken before the request shows in requests(), so releaseStalls() after
    // seeing it there releases this request's stall too.
    std::uint64_t stallEpoch = 0;
    {
        std::lock_guard lock(waitMutex_);
        stallEpoch = stallEpoch_;
    }
    record(req);
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

    auto fault = takeFault(req.path, !head);
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
        bool rangeApplies = true;
        if (req.has_header("If-Range")) {
            // Only a strong validator identical to the current one keeps the range.
            std::string validator = trimmed(req.get_header_value("If-Range"));
            rangeApplies = validator == resource->etag ||
                           (!validator.empty() && validator.front() != '"' &&
                            validator.rfind("W/", 0) != 0 && validator == resource->lastModified);
        }
        if (rangeApplies) {
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

    auto body = std::make_shared<Body>();
    body->server = this;
    body->memory = resource->memory;
    body->file = resource->file;
    body->start = first;
    body->length = length;
    body->stallEpoch = stallEpoch;
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
