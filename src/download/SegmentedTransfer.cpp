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
#include "types/CorvelInstallError.h"

#include <curl/curl.h>
#include <fmt/format.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <fcntl.h>
#include <mutex>
#include <string_view>
#include <system_error>
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
          table(state.total, std::move(state.ranges), settings.minRange),
          health(settings.health ? *settings.health : ownHealth) {
        auto urls = settings.sources;
        if (urls.empty()) urls.push_back(asset.fetchSources().front().absoluteString());
        for (auto& url : urls)
            sources.push_back(Source{std::move(url), std::nullopt, 0, false});
    }

    // One place the ranges come from, under the mutex.
    struct Source {
        std::string url;
        std::optional<std::string> validator; // its version, once it named one
        std::size_t active = 0;               // connections of this transfer to it
        bool dropped = false;
    };

    const CVTAVAsset& asset;
    const CacheSlot& slot;
    const Settings& settings;
    SegmentTable table;
    SourceHealth ownHealth;
    SourceHealth& health;
    platform::UniqueFd file;
    std::stop_source stopWorkers;

    std::mutex mutex;
    std::condition_variable changed;
    std::vector<Source> sources;
    bool named = false; // the file's version is in the metadata: more connections may start
    bool event = false;
    std::exception_ptr failure;
    std::optional<std::string> fallback;
    std::string fallbackSource;
    std::optional<DomainError> inconsistent;
    std::mutex recordMutex; // one record at a time, each newer than the last
    std::size_t active = 0;
    bool primaryBusy = false;
    std::vector<std::jthread> workers;

    bool many() const { return sources.size() > 1; }
    std::string url(std::size_t source) {
        std::lock_guard lock(mutex);
        return sources[source].url;
    }
    void notify() {
        {
            std::lock_guard lock(mutex);
            event = true;
        }
        changed.notify_all();
    }

    // The caller holds the mutex.
    bool usable(std::size_t source) const {
        return !sources[source].dropped && !health.droppedReason(sources[source].url);
    }
    std::optional<std::size_t> pickSource(bool primary);
    void spawn(std::size_t index, bool primary, std::size_t source);
    void work(std::size_t index, bool primary, std::size_t source);
    bool giveUp(std::size_t source, const std::exception_ptr& error);
    void fetchRange(std::size_t index, std::size_t source);
    void attemptRange(std::size_t index, std::size_t source, std::stop_token stop);
    bool acceptHead(std::int64_t from, std::int64_t to, std::size_t source,
                    const HttpResponseHead& head);
    void writeBody(std::size_t index, const char* data, std::size_t size);
    [[noreturn]] void probeAfter416(std::size_t source, std::stop_token stop);
    void checkpoint();
    void flushWritten();
    void logPlan();
};

// Why a source failed, as its log line says it.
std::string reasonOf(const std::exception_ptr& error) {
    try {
        std::rethrow_exception(error);
    } catch (const Fallback& fallback) {
        return fallback.reason;
    } catch (const Inconsistent& inconsistent) {
        return inconsistent.error.what();
    } catch (...) {
        return describeError(error);
    }
}

// A failure of the source rather than of this machine or of the run.
bool failsTheSource(const std::exception_ptr& error) {
    try {
        std::rethrow_exception(error);
    } catch (const Fallback&) {
        return true;
    } catch (const Inconsistent&) {
        return true;
    } catch (const std::system_error&) {
        return false;
    } catch (const platform::CancelledError&) {
        return false;
    } catch (...) {
        return true;
    }
}

void Transfer::logPlan() {
    auto ranges = table.snapshot();
    std::int64_t largest = 0;
    for (const auto& range : ranges)
        largest = std::max(largest, range.size());
    std::size_t hosts = 0;
    {
        std::lock_guard lock(mutex);
        for (std::size_t i = 0; i < sources.size(); ++i)
            hosts += usable(i) ? 1 : 0;
    }
    const std::size_t connections = std::min(settings.connections, ranges.size());
    if (hosts > 1)
        log(LogLevel::info, fmt::format("  • 分段下载 [{}] {} 个连接，{} 个下载源，每段 {}",
                                        asset.name, connections, hosts, formatByteCount(largest)));
    else
        log(LogLevel::info, fmt::format("  • 分段下载 [{}] {} 个连接，每段 {}", asset.name,
                                        connections, formatByteCount(largest)));
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

bool Transfer::acceptHead(std::int64_t from, std::int64_t to, std::size_t source,
                          const HttpResponseHead& head) {
    const std::string origin = url(source);
    if (head.status == 416) return false;
    if (head.status == 200 || (head.status > 200 && head.status < 300 && head.status != 206))
        throw Fallback{fmt::format("服务器对 Range 请求返回 HTTP {}", head.status)};
    if (head.status != 206)
        throw CorvelResumableDownloader::HttpStatusError(
            head.status, fmt::format("HTTP {} — {}", head.status, origin),
            HttpHeaderValues::retryAfter(head));
    if (auto coding = HttpHeaderValues::foreignContentEncoding(head))
        throw Fallback{fmt::format("服务器返回了编码过的内容 (Content-Encoding: {})", *coding)};
    // Before a byte is written: a source serves this file only when it has its size.
    const std::string value = head.header("Content-Range").value_or("");
    auto range = HttpHeaderValues::parseContentRange(value);
    if (range && range->total != table.total())
        throw Fallback{fmt::format("文件大小已变 ({} → {})", table.total(), range->total)};
    if (!range || range->first != from || range->last != to)
        throw Fallback{fmt::format("Content-Range 与请求不符 ({} ≠ bytes {}-{})",
                                   value.empty() ? "无" : value, from, to)};

    auto etag = head.header("ETag");
    auto lastModified = head.header("Last-Modified");
    std::unique_lock lock(mutex);
    if (auto& known = sources[source].validator) {
        const char* name = validatorHeader(*known);
        auto received = head.header(name);
        if (received && *received != *known)
            throw Fallback{fmt::format("文件版本已变 ({} {} ≠ {})", name, *received, *known)};
        return true;
    }
    // A source's first answer names the version every later range from it must match.
    const CacheMeta meta{etag, lastModified, table.total(), origin};
    auto chosen = cache::resumeValidator(meta);
    // Another source's bytes without a version of their own are still checked by the digest.
    if (!chosen && !(named && many())) throw Fallback{"服务器没有给出强 ETag 或 Last-Modified"};
    sources[source].validator = chosen;
    if (named) return true;
    // The first range of a fresh download names the version the record is kept under.
    named = true;
    lock.unlock();
    cache::writeMeta(meta, slot);
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

void Transfer::probeAfter416(std::size_t source, std::stop_token stop) {
    const std::string at = url(source);
    const std::int64_t total =
        RangeProbe::afterRefusedRange(at, settings.transferLimit, settings.idleLimit, stop).total;
    const auto domain = CorvelResumableDownloader::errorDomain;
    if (total == table.total()) throw Fallback{"服务器拒绝了文件范围之内的 Range (HTTP 416)"};
    log(LogLevel::warn, fmt::format("  HTTP 416 [{}] 本地 {}B 与服务器 {}B 不符，清空重下",
                                    asset.name, table.total(), total));
    throw Inconsistent{
        DomainError(domain, 416, "本地缓存与服务器文件不一致，已清理请重试 — " + at)};
}

void Transfer::attemptRange(std::size_t index, std::size_t source, std::stop_token stop) {
    const std::int64_t from = table.position(index), end = table.end(index);
    if (from >= end) return;
    platform::HttpRequest request =
        RangeProbe::transferRequest(url(source), settings.transferLimit, settings.idleLimit);
    request.receiveBufferSize = receiveBufferBytes;
    request.headers.emplace_back("Accept-Encoding", "identity");
    request.headers.emplace_back("Range", fmt::format("bytes={}-{}", from, end - 1));
    {
        std::lock_guard lock(mutex);
        if (auto& validator = sources[source].validator)
            request.headers.emplace_back("If-Range", *validator);
    }
    bool refused = false;
    platform::HttpHandlers handlers;
    handlers.onHead = [&](const HttpResponseHead& head) {
        refused = !acceptHead(from, end - 1, source, head);
        return !refused;
    };
    handlers.onBody = [&](const char* data, std::size_t size) { writeBody(index, data, size); };
    try {
        platform::performHttp(request, handlers, stop);
    } catch (const RangeDone&) {
        return;
    }
    if (refused) probeAfter416(source, stop);
    if (table.position(index) < table.end(index))
        throw TransportError(TransportErrorKind::connectionLost, CURLE_PARTIAL_FILE,
                             fmt::format("{} (bytes {}-{} 只收到 {})",
                                         curl_easy_strerror(CURLE_PARTIAL_FILE), from, end - 1,
                                         table.position(index) - from));
}

void Transfer::fetchRange(std::size_t index, std::size_t source) {
    const auto stop = stopWorkers.get_token();
    for (int attempt = 0;; ++attempt) {
        try {
            attemptRange(index, source, stop);
            return;
        } catch (const Fallback&) {
            throw;
        } catch (const Inconsistent&) {
            throw;
        } catch (...) {
            if (stop.stop_requested()) throw platform::CancelledError();
            auto error = CorvelResumableDownloader::asTransferError(std::current_exception());
            // With other sources at hand a host that does not answer is not waited for.
            const bool othersWait = settings.anotherSource || many();
            if (attempt + 1 >= CorvelResumableDownloader::maxAttempts ||
                !CorvelResumableDownloader::isTransientNetworkError(error) ||
                (othersWait && CorvelResumableDownloader::isUnreachable(error)) ||
                (many() && CorvelResumableDownloader::isHostFailure(std::current_exception())))
                std::rethrow_exception(error);
            // A connection lost with other sources at hand is tried again at once: a host
            // that went away then refuses it and is given up, one that did not goes on.
            const bool lost = many() && !CorvelResumableDownloader::isStatusError(error);
            auto delay = lost ? std::chrono::seconds(0)
                              : CorvelResumableDownloader::retryDelay(attempt, error);
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

// A source that failed is given up while another is left, and the range goes
// back to the table for the others; the last one's failure is the transfer's.
bool Transfer::giveUp(std::size_t source, const std::exception_ptr& error) {
    std::unique_lock lock(mutex);
    if (!many() || stopWorkers.stop_requested()) return false;
    bool another = false;
    for (std::size_t i = 0; i < sources.size(); ++i)
        another = another || (i != source && usable(i));
    if (!another) return false;
    const bool first = !sources[source].dropped;
    sources[source].dropped = true;
    const std::string at = sources[source].url;
    lock.unlock();
    // The innermost failure names the cause, as the single-source path does.
    std::exception_ptr cause = error;
    try {
        std::rethrow_exception(error);
    } catch (const CorvelInstallError& wrapped) {
        if (auto* network = std::get_if<CorvelInstallError::Network>(&wrapped.value()))
            cause = network->underlying;
    } catch (...) {
    }
    const std::string reason = reasonOf(cause);
    if (health.drop(at, reason, CorvelResumableDownloader::isHostFailure(cause)) || first)
        log(LogLevel::warn, sourceDroppedLine(asset.name, at, reason));
    return true;
}

void Transfer::work(std::size_t index, bool primary, std::size_t source) {
    try {
        for (;;) {
            try {
                fetchRange(index, source);
            } catch (...) {
                auto error = std::current_exception();
                if (!failsTheSource(error) || !giveUp(source, error)) throw;
                table.unclaim(index);
                break;
            }
            if (stopWorkers.stop_requested()) break;
            // A download waiting for its first connection gets this one.
            if (!primary && settings.budget && settings.budget->hasWaiters()) break;
            {
                // A source given up on finishes its range but takes no other.
                std::lock_guard lock(mutex);
                if (!usable(source)) break;
            }
            auto next = table.claim();
            if (!next) break;
            index = *next;
            notify();
        }
    } catch (const Fallback& reason) {
        std::lock_guard lock(mutex);
        if (!fallback && !failure) {
            fallback = reason.reason;
            fallbackSource = sources[source].url;
        }
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
        --sources[source].active;
        health.close(sources[source].url);
        if (primary) primaryBusy = false;
        event = true;
    }
    changed.notify_all();
}

// The source a new connection goes to: of the usable ones the one with the
// fewest connections of this transfer, the better ones first, whose host has
// room; the first connection of a download takes one whatever the host's load.
// Its host connection is taken. The caller holds the mutex.
std::optional<std::size_t> Transfer::pickSource(bool primary) {
    std::vector<std::size_t> order;
    for (std::size_t i = 0; i < sources.size(); ++i)
        if (usable(i)) order.push_back(i);
    std::stable_sort(order.begin(), order.end(), [this](std::size_t a, std::size_t b) {
        return sources[a].active < sources[b].active;
    });
    for (std::size_t i : order)
        if (health.open(sources[i].url, !many())) return i;
    if (primary && !order.empty() && health.open(sources[order.front()].url, true))
        return order.front();
    return std::nullopt;
}

// The caller holds the mutex and took the source's host connection.
void Transfer::spawn(std::size_t index, bool primary, std::size_t source) {
    ++active;
    ++sources[source].active;
    if (primary) primaryBusy = true;
    workers.emplace_back([this, index, primary, source] { work(index, primary, source); });
}

} // namespace

Outcome run(const CVTAVAsset& asset, const CacheSlot& slot, SegmentTable::Decoded state,
            std::optional<CacheMeta> version, const Settings& settings, std::stop_token stop) {
    Transfer t(asset, slot, settings, std::move(state));
    // The ranges on disk stay under the version their source named; another
    // source's first answer names its own.
    if (version)
        for (auto& source : t.sources)
            if (source.url == version->sourceURL) {
                source.validator = cache::resumeValidator(version);
                t.named = source.validator.has_value();
            }
    t.file = platform::UniqueFd(
        ::open(dataPath(slot).c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0644));
    if (!t.file) platform::throwFileError("cannot open segmented file", dataPath(slot), errno);
    if (t.named) t.logPlan();

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

        bool named = false;
        {
            std::lock_guard lock(t.mutex);
            named = t.named;
            if (!t.primaryBusy && t.table.hasClaimable()) {
                if (auto source = t.pickSource(true)) {
                    if (auto index = t.table.claim())
                        t.spawn(*index, true, *source);
                    else
                        t.health.close(t.sources[*source].url);
                } else if (t.active == 0) {
                    // Given up on elsewhere in the run, every one of them.
                    t.failure = std::make_exception_ptr(DomainError(
                        CorvelResumableDownloader::errorDomain, -1, "所有下载源都已放弃"));
                    break;
                }
            }
        }
        if (!named) continue;
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
            std::lock_guard lock(t.mutex);
            if (t.active >= settings.connections || !t.table.hasClaimable()) break;
            auto source = t.pickSource(false);
            if (!source) break;
            const bool leased = settings.budget && settings.budget->tryAcquire();
            auto index = leased ? t.table.claim() : std::optional<std::size_t>{};
            if (!index) {
                if (leased) settings.budget->release();
                t.health.close(t.sources[*source].url);
                break;
            }
            t.spawn(*index, false, *source);
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
        return Outcome{false, *t.fallback, t.fallbackSource, reported};
    }
    if (t.failure || !t.table.isComplete()) {
        if (t.named)
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
    return Outcome{true, {}, {}, 0};
}

} // namespace SegmentedTransfer
