#include "download/SegmentedTransfer.h"

#include "download/CorvelResumableDownloader.h"
#include "download/HttpHeaderValues.h"
#include "download/RangeProbe.h"
#include "log/ByteCount.h"
#include "log/CorvelSetupLogger.h"
#include "platform/Cancellation.h"
#include "platform/DomainError.h"
#include "platform/FileOps.h"
#include "platform/HttpClient.h"
#include "platform/UniqueFd.h"

#include <curl/curl.h>
#include <fmt/format.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <fcntl.h>
#include <mutex>
#include <string_view>
#include <thread>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;
using platform::HttpResponseHead;
using platform::TransportError;
using platform::TransportErrorKind;

namespace SegmentedTransfer {

namespace {

constexpr std::chrono::milliseconds tick{50};
// The record follows the bytes at most this far behind: what a kill costs.
// Records are cheap but not free: not more often than checkpointGap either.
constexpr std::chrono::seconds checkpointInterval{1};
constexpr std::chrono::milliseconds checkpointGap{50};
// What a kill may cost stays a small share of the file, early kills included.
std::int64_t checkpointBytes(std::int64_t total) {
    return std::clamp<std::int64_t>(total / 256, 256 << 10, 4 << 20);
}
// More connections help against a server that caps each one; a connection
// that already brings this much is not capped, and more of them would only
// compete for the CPU and the disk.
constexpr double uncappedBytesPerSecond = 200.0 * 1000 * 1000;
constexpr std::chrono::milliseconds rateWindow{250};
constexpr long receiveBufferBytes = 256 * 1024;
constexpr std::size_t orderedBlock = 1 << 20;

// Thrown through a transfer that has brought its range to the end.
struct RangeDone {};
// Thrown by a range whose answer cannot be spliced into this file.
struct Fallback {
    std::string reason;
};
// A 416 whose probe shows another size: the ranges go, the download fails.
struct Inconsistent {
    DomainError error;
};

// ETags are quoted; anything else sent as If-Range is a date.
const char* validatorHeader(const std::string& validator) {
    return validator.starts_with('"') ? "ETag" : "Last-Modified";
}

struct Transfer {
    Transfer(const CVTAVAsset& asset, const CacheSlot& slot, const Settings& settings,
             SegmentTable::Decoded state)
        : asset(asset), slot(slot), settings(settings),
          table(state.total, std::move(state.ranges), settings.minRange) {}

    const CVTAVAsset& asset;
    const CacheSlot& slot;
    const Settings& settings;
    SegmentTable table;
    platform::UniqueFd file;
    std::stop_source stopWorkers;

    std::mutex mutex;
    std::condition_variable changed;
    std::optional<std::string> validator;
    bool event = false;
    std::exception_ptr failure;
    std::optional<std::string> fallback;
    std::optional<DomainError> inconsistent;
    std::mutex recordMutex; // one record at a time, each newer than the last
    std::size_t active = 0;
    bool primaryBusy = false;
    std::vector<std::jthread> workers;

    std::string url() const {
        return settings.source.empty() ? asset.fetchSources().front().absoluteString()
                                       : settings.source;
    }
    void notify() {
        {
            std::lock_guard lock(mutex);
            event = true;
        }
        changed.notify_all();
    }

    void spawn(std::size_t index, bool primary);
    void work(std::size_t index, bool primary);
    void fetchRange(std::size_t index);
    void attemptRange(std::size_t index, std::stop_token stop);
    bool acceptHead(std::int64_t from, std::int64_t to, const HttpResponseHead& head);
    void writeBody(std::size_t index, const char* data, std::size_t size);
    [[noreturn]] void probeAfter416(std::stop_token stop);
    void checkpoint();
    void flushWritten();
    void logPlan() const;
};

void Transfer::logPlan() const {
    auto ranges = table.snapshot();
    std::int64_t largest = 0;
    for (const auto& range : ranges)
        largest = std::max(largest, range.size());
    log(LogLevel::info,
        fmt::format("  • 分段下载 [{}] {} 个连接，每段 {}", asset.name,
                    std::min(settings.connections, ranges.size()), formatByteCount(largest)));
}

// The bytes first, then the record that counts them: every write the record
// counts has returned and is on its way to the disk (written back, not merely
// cached) before the record is renamed into place, so neither a kill nor a
// power cut leaves a record that claims bytes the file does not hold. Only the
// pages written since the last record are waited for, at the record's pace;
// a full sync would also force the file system's journal each time.
void Transfer::checkpoint() {
    std::lock_guard lock(recordMutex);
    const auto ranges = table.snapshot();
    flushWritten();
    writeRecord(slot, table.total(), ranges);
}

void Transfer::flushWritten() {
    if (::sync_file_range(file.get(), 0, 0,
                          SYNC_FILE_RANGE_WAIT_BEFORE | SYNC_FILE_RANGE_WRITE |
                              SYNC_FILE_RANGE_WAIT_AFTER) != 0)
        platform::throwFileError("cannot write segmented file", dataPath(slot), errno);
}

bool Transfer::acceptHead(std::int64_t from, std::int64_t to, const HttpResponseHead& head) {
    if (head.status == 416) return false;
    if (head.status == 200 || (head.status > 200 && head.status < 300 && head.status != 206))
        throw Fallback{fmt::format("服务器对 Range 请求返回 HTTP {}", head.status)};
    if (head.status != 206)
        throw CorvelResumableDownloader::HttpStatusError(
            head.status, fmt::format("HTTP {} — {}", head.status, url()),
            HttpHeaderValues::retryAfter(head));
    if (auto coding = HttpHeaderValues::foreignContentEncoding(head))
        throw Fallback{fmt::format("服务器返回了编码过的内容 (Content-Encoding: {})", *coding)};
    const std::string value = head.header("Content-Range").value_or("");
    auto range = HttpHeaderValues::parseContentRange(value);
    if (range && range->total != table.total())
        throw Fallback{fmt::format("文件大小已变 ({} → {})", table.total(), range->total)};
    if (!range || range->first != from || range->last != to)
        throw Fallback{fmt::format("Content-Range 与请求不符 ({} ≠ bytes {}-{})",
                                   value.empty() ? "无" : value, from, to)};

    std::unique_lock lock(mutex);
    if (validator) {
        const char* name = validatorHeader(*validator);
        auto received = head.header(name);
        if (received && *received != *validator)
            throw Fallback{fmt::format("文件版本已变 ({} {} ≠ {})", name, *received, *validator)};
        return true;
    }
    // The first range of a fresh download names the version every other range must match.
    auto etag = head.header("ETag");
    auto lastModified = head.header("Last-Modified");
    auto chosen = cache::resumeValidator(CacheMeta{etag, lastModified, table.total(), url()});
    if (!chosen) throw Fallback{"服务器没有给出强 ETag 或 Last-Modified"};
    validator = chosen;
    lock.unlock();
    cache::writeMeta(CacheMeta{etag, lastModified, table.total(), url()}, slot);
    checkpoint();
    logPlan();
    notify();
    return true;
}

void Transfer::writeBody(std::size_t index, const char* data, std::size_t size) {
    while (size > 0) {
        auto slice = table.reserve(index, static_cast<std::int64_t>(size));
        // Past the range's end (it was shortened for another connection): done here.
        if (slice.count == 0) throw RangeDone{};
        std::int64_t left = slice.count;
        const char* at = data;
        std::int64_t offset = slice.offset;
        while (left > 0) {
            ssize_t written = ::pwrite(file.get(), at, static_cast<std::size_t>(left), offset);
            if (written < 0 && errno == EINTR) continue;
            if (written <= 0) {
                int error = written < 0 ? errno : ENOSPC;
                table.commit(index, slice.count - left);
                platform::throwFileError("cannot write segmented file", dataPath(slot), error);
            }
            at += written;
            offset += written;
            left -= written;
        }
        table.commit(index, slice.count);
        data += slice.count;
        size -= static_cast<std::size_t>(slice.count);
    }
}

void Transfer::probeAfter416(std::stop_token stop) {
    const std::int64_t total =
        RangeProbe::afterRefusedRange(url(), settings.transferLimit, settings.idleLimit, stop)
            .total;
    const auto domain = CorvelResumableDownloader::errorDomain;
    if (total == table.total()) throw Fallback{"服务器拒绝了文件范围之内的 Range (HTTP 416)"};
    log(LogLevel::warn, fmt::format("  HTTP 416 [{}] 本地 {}B 与服务器 {}B 不符，清空重下",
                                    asset.name, table.total(), total));
    throw Inconsistent{
        DomainError(domain, 416, "本地缓存与服务器文件不一致，已清理请重试 — " + url())};
}

void Transfer::attemptRange(std::size_t index, std::stop_token stop) {
    const std::int64_t from = table.position(index), end = table.end(index);
    if (from >= end) return;
    platform::HttpRequest request =
        RangeProbe::transferRequest(url(), settings.transferLimit, settings.idleLimit);
    request.receiveBufferSize = receiveBufferBytes;
    request.headers.emplace_back("Accept-Encoding", "identity");
    request.headers.emplace_back("Range", fmt::format("bytes={}-{}", from, end - 1));
    {
        std::lock_guard lock(mutex);
        if (validator) request.headers.emplace_back("If-Range", *validator);
    }
    bool refused = false;
    platform::HttpHandlers handlers;
    handlers.onHead = [&](const HttpResponseHead& head) {
        refused = !acceptHead(from, end - 1, head);
        return !refused;
    };
    handlers.onBody = [&](const char* data, std::size_t size) { writeBody(index, data, size); };
    try {
        platform::performHttp(request, handlers, stop);
    } catch (const RangeDone&) {
        return;
    }
    if (refused) probeAfter416(stop);
    if (table.position(index) < table.end(index))
        throw TransportError(TransportErrorKind::connectionLost, CURLE_PARTIAL_FILE,
                             fmt::format("{} (bytes {}-{} 只收到 {})",
                                         curl_easy_strerror(CURLE_PARTIAL_FILE), from, end - 1,
                                         table.position(index) - from));
}

void Transfer::fetchRange(std::size_t index) {
    const auto stop = stopWorkers.get_token();
    for (int attempt = 0;; ++attempt) {
        try {
            attemptRange(index, stop);
            return;
        } catch (const Fallback&) {
            throw;
        } catch (const Inconsistent&) {
            throw;
        } catch (...) {
            if (stop.stop_requested()) throw platform::CancelledError();
            auto error = CorvelResumableDownloader::asTransferError(std::current_exception());
            if (attempt + 1 >= CorvelResumableDownloader::maxAttempts ||
                !CorvelResumableDownloader::isTransientNetworkError(error) ||
                (settings.anotherSource && CorvelResumableDownloader::isUnreachable(error)))
                std::rethrow_exception(error);
            auto delay = CorvelResumableDownloader::retryDelay(attempt, error);
            log(LogLevel::warn,
                fmt::format("  ⟳ 瞬时网络错误，{}s 后重试 [{}] (attempt {}/{}): {}", delay.count(),
                            asset.name, attempt + 1, CorvelResumableDownloader::maxAttempts,
                            CorvelResumableDownloader::describeNetworkError(error)));
            bool waited =
                settings.pause ? settings.pause(delay, stop) : platform::waitFor(delay, stop);
            if (!waited) throw platform::CancelledError();
        }
    }
}

void Transfer::work(std::size_t index, bool primary) {
    try {
        for (;;) {
            fetchRange(index);
            if (stopWorkers.stop_requested()) break;
            // A download waiting for its first connection gets this one.
            if (!primary && settings.budget && settings.budget->hasWaiters()) break;
            auto next = table.claim();
            if (!next) break;
            index = *next;
            notify();
        }
    } catch (const Fallback& reason) {
        std::lock_guard lock(mutex);
        if (!fallback && !failure) fallback = reason.reason;
    } catch (const Inconsistent& error) {
        std::lock_guard lock(mutex);
        if (!inconsistent) inconsistent = error.error;
    } catch (...) {
        std::lock_guard lock(mutex);
        if (!failure && !stopWorkers.stop_requested()) failure = std::current_exception();
    }
    if (!primary && settings.budget) settings.budget->release();
    {
        std::lock_guard lock(mutex);
        --active;
        if (primary) primaryBusy = false;
        event = true;
    }
    changed.notify_all();
}

// The caller holds the mutex.
void Transfer::spawn(std::size_t index, bool primary) {
    ++active;
    if (primary) primaryBusy = true;
    workers.emplace_back([this, index, primary] { work(index, primary); });
}

} // namespace

Outcome run(const CVTAVAsset& asset, const CacheSlot& slot, SegmentTable::Decoded state,
            std::optional<std::string> validator, const Settings& settings, std::stop_token stop) {
    Transfer t(asset, slot, settings, std::move(state));
    t.validator = std::move(validator);
    t.file = platform::UniqueFd(
        ::open(dataPath(slot).c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0644));
    if (!t.file) platform::throwFileError("cannot open segmented file", dataPath(slot), errno);
    if (t.validator) t.logPlan();

    std::stop_callback forward(stop, [&t] {
        t.stopWorkers.request_stop();
        t.notify();
    });
    auto progress = [&](std::int64_t delta) {
        if (delta != 0 && settings.onProgress) settings.onProgress(delta, ByteOrigin::network);
    };
    std::int64_t reported = t.table.doneBytes();
    std::int64_t ordered = 0;
    std::vector<char> block;
    // Hands the bytes written without a gap from 0 on, read back while they are still cached.
    auto feedOrdered = [&](std::int64_t upTo) {
        if (!settings.onOrderedBytes) return;
        if (block.empty()) block.resize(orderedBlock);
        while (ordered < upTo) {
            auto want =
                static_cast<std::size_t>(std::min<std::int64_t>(upTo - ordered, orderedBlock));
            ssize_t got = ::pread(t.file.get(), block.data(), want, ordered);
            if (got < 0 && errno == EINTR) continue;
            if (got <= 0)
                platform::throwFileError("cannot read segmented file", dataPath(slot),
                                         got < 0 ? errno : EIO);
            settings.onOrderedBytes(ordered, block.data(), static_cast<std::size_t>(got));
            ordered += got;
        }
    };
    auto lastCheckpoint = std::chrono::steady_clock::now();
    std::int64_t checkpointed = t.table.doneBytes();
    auto windowStart = std::chrono::steady_clock::now();
    std::int64_t windowBytes = checkpointed;
    bool widen = false;

    // Workers hold references into this frame: they are stopped and joined before it is left.
    struct JoinOnExit {
        Transfer& t;
        ~JoinOnExit() {
            t.stopWorkers.request_stop();
            t.workers.clear();
        }
    } joinOnExit{t};

    for (;;) {
        {
            std::unique_lock lock(t.mutex);
            t.changed.wait_for(lock, tick, [&t] { return t.event; });
            t.event = false;
            if (t.failure || t.fallback || t.inconsistent || t.stopWorkers.stop_requested()) break;
            // A connection whose range was taken over whole may still wait for
            // its first byte: it is stopped, not waited for.
            if (t.table.isComplete()) break;
        }
        feedOrdered(t.table.contiguousPrefix());
        const std::int64_t done = t.table.doneBytes();
        progress(done - reported);
        reported = done;

        bool validated = false;
        {
            std::lock_guard lock(t.mutex);
            validated = t.validator.has_value();
            if (!t.primaryBusy) {
                if (auto index = t.table.claim()) t.spawn(*index, true);
            }
        }
        if (!validated) continue;
        const auto sinceCheckpoint = std::chrono::steady_clock::now() - lastCheckpoint;
        if ((done - checkpointed >= checkpointBytes(t.table.total()) &&
             sinceCheckpoint >= checkpointGap) ||
            sinceCheckpoint >= checkpointInterval) {
            t.checkpoint();
            lastCheckpoint = std::chrono::steady_clock::now();
            checkpointed = done;
        }
        // Further connections once a window shows the ones open are held back.
        const auto now = std::chrono::steady_clock::now();
        if (now - windowStart >= rateWindow) {
            std::size_t active = 0;
            {
                std::lock_guard lock(t.mutex);
                active = std::max<std::size_t>(t.active, 1);
            }
            const double seconds = std::chrono::duration<double>(now - windowStart).count();
            t.table.samplePace(seconds);
            widen =
                static_cast<double>(done - windowBytes) / seconds / static_cast<double>(active) <
                uncappedBytesPerSecond;
            windowStart = now;
            windowBytes = done;
        }
        while (widen) {
            {
                std::lock_guard lock(t.mutex);
                if (t.active >= settings.connections) break;
            }
            if (!t.table.hasClaimable() || !settings.budget || !settings.budget->tryAcquire())
                break;
            auto index = t.table.claim();
            if (!index) {
                settings.budget->release();
                break;
            }
            std::lock_guard lock(t.mutex);
            t.spawn(*index, false);
        }
    }
    t.stopWorkers.request_stop();
    t.workers.clear();

    const std::int64_t done = t.table.doneBytes();
    progress(done - reported);
    reported = done;
    if (t.fallback || t.inconsistent) {
        t.file.reset();
        discard(slot);
        progress(-reported);
        if (t.inconsistent) throw *t.inconsistent;
        return Outcome{false, *t.fallback, reported};
    }
    if (t.failure || !t.table.isComplete()) {
        if (t.validator)
            t.checkpoint();
        else
            discard(slot);
        if (t.failure) std::rethrow_exception(t.failure);
        throw platform::CancelledError();
    }
    feedOrdered(t.table.total());
    // As complete, the file stands for itself (the part file needs no record).
    t.flushWritten();
    t.file.reset();
    promoteToPart(slot);
    return Outcome{true, {}, 0};
}

} // namespace SegmentedTransfer
