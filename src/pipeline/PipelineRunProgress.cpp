#include "pipeline/PipelineRun.h"

#include "download/CorvelResumableDownloader.h"
#include "install/CorvelAssetExtractor.h"
#include "log/CorvelSetupLogger.h"
#include "pipeline/DeltaUpdate.h"
#include "pipeline/StreamingDigest.h"
#include "platform/BlockingQueue.h"
#include "platform/Cancellation.h"
#include "types/CorvelInstallError.h"

#include <fmt/format.h>

#include <algorithm>
#include <cctype>
#include <functional>
#include <future>
#include <optional>
#include <system_error>

namespace fs = std::filesystem;
using State = CorvelDownloadViewModel::State;

namespace {

constexpr std::size_t maxConcurrentDownloads = 2;
constexpr std::chrono::milliseconds riseHold{2000};
constexpr std::chrono::milliseconds smootherTick{300};
constexpr std::chrono::milliseconds statusRefresh{1000};

// What download workers tell the run thread, in the order they happen.
struct DownloadEvent {
    enum class Kind { progress, total, finished };
    DownloadEvent(Kind kind, std::size_t index, std::int64_t bytes = 0,
                  ByteOrigin origin = ByteOrigin::network)
        : kind(kind), index(index), bytes(bytes), origin(origin) {}

    Kind kind;
    std::size_t index;
    std::int64_t bytes;
    ByteOrigin origin;
    fs::path file;
    std::optional<std::string> digest;
    std::exception_ptr error;
};

using Mailbox = platform::BlockingQueue<DownloadEvent>;

std::int64_t fileSize(const fs::path& file) {
    std::error_code error;
    auto size = fs::file_size(file, error);
    return error ? -1 : static_cast<std::int64_t>(size);
}

// One attempt at one download, its progress into the mailbox.
fs::path downloadOnce(const CVTAVAsset& asset, const CorvelResumableDownloader::Segments& segments,
                      Mailbox& mailbox, std::size_t index, std::int64_t& counted,
                      std::optional<std::string>& digestOut, std::stop_token stop) {
    CorvelResumableDownloader downloader;
    downloader.useSegments(segments);
    std::optional<StreamingDigest> digest;
    if (!asset.sha256.empty()) {
        digest.emplace();
        downloader.observeChunks(
            [&digest](std::int64_t offset, const char* data, std::size_t size) {
                digest->update(offset, data, size);
            });
    }
    fs::path file = downloader.download(
        asset,
        [&mailbox, &counted](std::int64_t delta, ByteOrigin origin) {
            counted += delta;
            mailbox.push(DownloadEvent(DownloadEvent::Kind::progress, 0, delta, origin));
        },
        [&mailbox, index](std::int64_t total) {
            mailbox.push(DownloadEvent(DownloadEvent::Kind::total, index, total));
        },
        stop);
    if (digest) digestOut = digest->finish(fileSize(file));
    return file;
}

// Bytes joined from several sources that fail the digest: which source sent
// the wrong ones cannot be told, so each source in turn brings the whole file
// until one brings the right one. Those that did not are named; when none
// does, the digest check after the downloads reports the file.
void fetchFromEachSource(const CVTAVAsset& asset, const SourceHealth& health,
                         const std::function<void(const CVTAVAsset&)>& fetch,
                         const std::function<bool()>& right) {
    log(LogLevel::warn,
        fmt::format("  ⚠ 校验失败 [{}] 数据来自多个下载源，逐个下载源重新下载", asset.name));
    std::exception_ptr lastFailure;
    bool anyWrong = false;
    for (const auto& source : asset.fetchSources()) {
        if (health.droppedReason(source.absoluteString())) continue;
        CVTAVAsset one = asset;
        one.sources = {source};
        one.mirrors.clear();
        try {
            fetch(one);
        } catch (const platform::CancelledError&) {
            throw;
        } catch (const std::system_error&) {
            throw; // the disk, not the source
        } catch (...) {
            lastFailure = std::current_exception();
            continue;
        }
        if (right()) {
            log(LogLevel::info, fmt::format("  ✔ 下载源 {} 给出了正确的数据 [{}]",
                                            source.absoluteString(), asset.name));
            return;
        }
        anyWrong = true;
        log(LogLevel::warn,
            fmt::format("  ⚠ 下载源的数据与摘要不符 [{}] {}", asset.name, source.absoluteString()));
    }
    // Wrong bytes are the finding to report; a source that could not be
    // reached is reported only when none brought any.
    if (lastFailure && !anyWrong) std::rethrow_exception(lastFailure);
}

} // namespace

void CorvelDownloadViewModel::Run::showInitialProgress(const SetupPlan::Plan& plan) {
    ProgressAccounting::Initial initial = progress.initialProgress(plan.assets, plan.skippedBytes);
    if (!options().pacedRise) initial.rise.clear();
    for (const State& value : initial.rise) {
        platform::throwIfStopped(stop);
        publish(value);
        if (!seams.sleep(riseHold, stop)) throw platform::CancelledError();
    }
    if (initial.target) publish(*initial.target);
}

std::vector<AssetResult>
CorvelDownloadViewModel::Run::downloadAll(const std::vector<CVTAVAsset>& plan,
                                          std::vector<std::optional<std::string>>& digests) {
    std::vector<AssetResult> results;
    if (plan.empty()) return results;

    // A failed download stops its sibling; a stop of the run stops both.
    std::stop_source children;
    std::stop_callback forward(stop, [&children] { children.request_stop(); });
    Mailbox mailbox;
    std::vector<std::jthread> workers;
    std::exception_ptr firstError;
    std::size_t next = 0;
    std::size_t running = 0;

    // One budget of connections for both downloads; each always gets its first.
    CorvelResumableDownloader::Segments segments;
    segments.connections = static_cast<std::size_t>(std::max(options().connections, 1));
    if (segments.connections > 1)
        segments.budget = std::make_shared<ConnectionBudget>(
            std::max(segments.connections, maxConcurrentDownloads));
    // A source that failed one download is not waited on by the next.
    segments.health = std::make_shared<SourceHealth>();

    auto startNext = [&] {
        const std::size_t index = next++;
        ++running;
        workers.emplace_back([&mailbox, &asset = plan[index], index, segments,
                              token = children.get_token(), &pause = owner.pause_] {
            DownloadEvent done(DownloadEvent::Kind::finished, index);
            // Net bytes this worker has counted, taken back when a pause
            // cuts the transfer short: the next attempt counts the bytes
            // on disk afresh, as a new run would.
            std::int64_t counted = 0;
            auto fetch = [&](const CVTAVAsset& from) {
                for (;;) {
                    if (!pause.waitWhilePaused(token)) throw platform::CancelledError();
                    std::stop_source attempt;
                    std::stop_callback onStop(token, [&attempt] { attempt.request_stop(); });
                    std::stop_callback onPause(pause.transfers(),
                                               [&attempt] { attempt.request_stop(); });
                    pause.transferStarted();
                    struct Ended {
                        PauseControl& pause;
                        ~Ended() { pause.transferEnded(); }
                    } ended{pause};
                    try {
                        done.file = downloadOnce(from, segments, mailbox, index, counted,
                                                 done.digest, attempt.get_token());
                        return;
                    } catch (...) {
                        if (token.stop_requested() || !pause.paused()) throw;
                    }
                    if (counted != 0)
                        mailbox.push(DownloadEvent(DownloadEvent::Kind::progress, 0, -counted));
                    counted = 0;
                }
            };
            try {
                auto delta = DeltaUpdate::prepare(asset, DeltaUpdate::seedsFor(asset), token);
                fetch(asset);
                auto again = [&](const CVTAVAsset& from) {
                    mailbox.push(DownloadEvent(DownloadEvent::Kind::progress, 0, -counted));
                    counted = 0;
                    cache::purgeSlot(asset.url);
                    fetch(from);
                };
                if (delta &&
                    !DeltaUpdate::assembledSoundly(asset, *delta, done.file, done.digest)) {
                    // Blocks taken from a seed that are not what the control file
                    // promised: the file comes again, whole, from the server.
                    again(asset);
                }
                if (!asset.sha256.empty() && asset.fetchSources().size() > 1) {
                    // A resumed single connection hashes nothing on the way: the
                    // file is read once here, and the check after the downloads
                    // takes this digest.
                    auto right = [&] {
                        if (!done.digest)
                            done.digest = CorvelAssetExtractor::sha256OfFile(done.file, token);
                        return sameDigest(*done.digest, asset.sha256);
                    };
                    if (!right()) fetchFromEachSource(asset, *segments.health, again, right);
                }
            } catch (...) {
                // A full disk is the user's to mend; the slot keeps its bytes.
                done.error = asDiskFull(std::current_exception(), asset.name);
            }
            mailbox.push(std::move(done));
        });
    };

    // Workers hold references into this frame: they are stopped and joined
    // before it is left, also when starting one fails.
    struct JoinOnExit {
        std::stop_source& children;
        std::vector<std::jthread>& workers;
        ~JoinOnExit() {
            children.request_stop();
            workers.clear();
        }
    } joinOnExit{children, workers};

    while (next < std::min(plan.size(), maxConcurrentDownloads))
        startNext();
    while (running > 0) {
        std::optional<DownloadEvent> arrived = mailbox.popFor(statusRefresh);
        if (!arrived) {
            // Nothing for a while: the speed shown must fall, not keep its last value.
            publish(progress.applyDelta(0, plan.size()));
            continue;
        }
        DownloadEvent event = std::move(*arrived);
        switch (event.kind) {
        case DownloadEvent::Kind::progress:
            publish(progress.applyDelta(event.bytes, plan.size(), event.origin));
            break;
        case DownloadEvent::Kind::total:
            if (auto corrected = progress.correctDenominator(plan[event.index], event.bytes))
                publish(*corrected);
            break;
        case DownloadEvent::Kind::finished:
            --running;
            if (event.error) {
                if (!firstError) firstError = event.error;
                children.request_stop();
            } else {
                digests[results.size()] = std::move(event.digest);
                results.push_back(AssetResult{plan[event.index], event.file});
            }
            if (!firstError && next < plan.size()) startNext();
            break;
        }
    }
    if (firstError) std::rethrow_exception(firstError);
    return results;
}

fs::path CorvelDownloadViewModel::Run::installWithProgress(const std::function<fs::path()>& install,
                                                           const Extracting& start, double span,
                                                           double estimateSeconds) {
    publish(start);
    const auto startTime = seams.now();
    // The installation blocks its own thread; this one keeps the bar moving.
    std::packaged_task<fs::path()> task(install);
    std::future<fs::path> installed = task.get_future();
    std::jthread worker(std::move(task));
    while (installed.wait_for(smootherTick) != std::future_status::ready) {
        std::chrono::duration<double> elapsed = seams.now() - startTime;
        Extracting moved = start;
        moved.overallProgress = ProgressAccounting::smootherValue(elapsed.count(), estimateSeconds,
                                                                  start.overallProgress, span);
        publish(moved);
    }
    return installed.get();
}
