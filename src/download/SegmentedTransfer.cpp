#include "download/SegmentedTransfer.h"

#include "download/SegmentedConnection.h"

#include "download/CorvelResumableDownloader.h"
#include "log/ByteCount.h"
#include "log/CorvelSetupLogger.h"
#include "platform/Cancellation.h"
#include "platform/DomainError.h"
#include "platform/FileOps.h"
#include "platform/UniqueFd.h"

#include <fmt/format.h>

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;

namespace SegmentedTransfer {

namespace detail {

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
constexpr std::size_t orderedBlock = 1 << 20;

} // namespace

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

} // namespace detail

using namespace detail;

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
        return Outcome{false, *t.fallback, reported};
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
    return Outcome{true, {}, 0};
}

} // namespace SegmentedTransfer
