#include "pipeline/CorvelDownloadViewModel.h"

#include "BuildInfo.h"
#include "download/CacheSlot.h"
#include "download/CorvelResumableDownloader.h"
#include "install/ApplicationLauncher.h"
#include "install/CorvelAppInstaller.h"
#include "install/CorvelAssetExtractor.h"
#include "log/CorvelSetupLogger.h"
#include "manifest/CorvelRemoteManifest.h"
#include "manifest/ManifestKeys.h"
#include "pipeline/PipelineLogSections.h"
#include "pipeline/ProgressAccounting.h"
#include "pipeline/SetupPlan.h"
#include "pipeline/SetupSession.h"
#include "pipeline/StreamingDigest.h"
#include "platform/BlockingQueue.h"
#include "platform/Cancellation.h"
#include "platform/Directories.h"
#include "platform/KillPoint.h"
#include "record/AcceptedManifestTime.h"
#include "record/CorvelSetupManifest.h"
#include "shareddata/CVSharedDataPaths.h"
#include "shareddata/CVSystemProfile.h"
#include "types/CorvelInstallError.h"

#include <fmt/format.h>

#include <algorithm>
#include <future>
#include <optional>
#include <set>
#include <variant>

namespace fs = std::filesystem;
using State = CorvelDownloadViewModel::State;

namespace {

constexpr const char* appBundleName = "Corvel.app";
constexpr const char* bundleIdentifier = "com.tavrin.app";
constexpr std::size_t maxConcurrentDownloads = 2;
constexpr std::chrono::milliseconds riseHold{2000};
constexpr std::chrono::milliseconds smootherTick{300};
constexpr std::chrono::milliseconds statusRefresh{1000};

CorvelDownloadViewModel::Seams withDefaults(CorvelDownloadViewModel::Seams seams) {
    if (!seams.now) seams.now = [] { return std::chrono::steady_clock::now(); };
    if (!seams.sleep)
        seams.sleep = [](std::chrono::milliseconds duration, std::stop_token stop) {
            return platform::waitFor(duration, stop);
        };
    return seams;
}

bool isCancellation(const std::exception_ptr& error) {
    try {
        std::rethrow_exception(error);
    } catch (const platform::CancelledError&) {
        return true;
    } catch (const CorvelInstallError& e) {
        return std::holds_alternative<CorvelInstallError::Cancelled>(e.value());
    } catch (...) {
        return false;
    }
}

// What download workers tell the run thread, in the order they happen.
struct DownloadEvent {
    enum class Kind { progress, total, finished };
    DownloadEvent(Kind kind, std::size_t index, std::int64_t bytes = 0)
        : kind(kind), index(index), bytes(bytes) {}

    Kind kind;
    std::size_t index;
    std::int64_t bytes;
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

} // namespace

const char* stageName(const State& state) {
    static constexpr const char* names[] = {"downloading", "extracting", "failed", "success"};
    return names[state.index()];
}

// One pipeline run on its own thread; it owns the progress members.
struct CorvelDownloadViewModel::Run {
    CorvelDownloadViewModel& owner;
    std::stop_token stop;
    Seams seams;
    ProgressAccounting progress;

    void publish(const State& state) { owner.publish(state); }
    void execute();
    void runSteps();
    CorvelRemoteManifest::ManifestTrust manifestTrust() const;
    void keepSigningTime(std::optional<std::int64_t> signedAt);
    void showInitialProgress(const SetupPlan::Plan& plan);
    std::vector<AssetResult> downloadAll(const std::vector<CVTAVAsset>& plan,
                                         std::vector<std::optional<std::string>>& digests);
    void verify(const std::vector<AssetResult>& results,
                const std::vector<std::optional<std::string>>& digests);
    void installAll(const std::vector<AssetResult>& results);
    fs::path installOne(const AssetResult& result);
    void removeArchive(const AssetResult& result);
    void pruneCache(const std::vector<CVTAVAsset>& assets);
    void launch();
};

void CorvelDownloadViewModel::Run::execute() {
    // Every path derives from HOME: without a usable one nothing can work.
    if (auto problem = platform::homeProblem()) {
        log(LogLevel::error, "✘ " + *problem);
        publish(Failed{*problem});
        return;
    }
    std::optional<SetupLock> lock;
    bool heldElsewhere = false;
    try {
        lock = SetupLock::tryAcquire();
        heldElsewhere = !lock;
    } catch (const std::exception& e) {
        // Without a cache folder the run fails soon enough, with its own reason.
        log(LogLevel::warn, std::string("  ⚠ 无法创建安装锁文件: ") + e.what());
    }
    if (heldElsewhere) {
        // Another process is installing: leave everything to it, the record included.
        log(LogLevel::error, "✘ 另一个 Corvel Setup 正在运行，本次未做任何改动");
        publish(Failed{"另一个 Corvel Setup 正在运行，请等它结束后再试"});
        return;
    }
    try {
        runSteps();
    } catch (...) {
        auto error = std::current_exception();
        if (isCancellation(error) || stop.stop_requested()) {
            log(LogLevel::warn, "任务被取消");
            publish(Failed{CorvelInstallError::cancelled().what()});
            return;
        }
        PipelineLogSections::logFailure(error);
        // Shown as one line, whatever a server or a tool put into the text.
        publish(Failed{escapeControlCharacters(describeError(error))});
    }
}

void CorvelDownloadViewModel::Run::runSteps() {
    progress.reset();
    progress.draw = seams.riseFraction;
    progress.now = seams.now;
    publish(Downloading{0, "", 0, 0});
    removeLeftovers(appBundleName, bundleIdentifier);

    PipelineLogSections::logMigrationResult(CVSharedDataPaths::migrateLegacyData());

    const std::uint64_t memory = physicalMemoryBytes();
    const MemoryTier tier = memoryTierFor(memory);
    CVSystemProfile profile{buildArchitecture(), tier, memory};
    CorvelSetupLogger::shared().writeOutput(systemProfileLine(profile.description()));

    CorvelRemoteManifest::FetchedAssets fetched =
        CorvelRemoteManifest::fetchAssets(manifestTrust(), owner.options_.mirrors, stop);
    const std::vector<CVTAVAsset>& assets = fetched.assets;

    SetupPlan::Plan plan = SetupPlan::makePlan(assets);
    PipelineLogSections::logEnvironment(tier, memory, plan.neededBytes, availableDiskBytes());
    SetupPlan::requireFreeSpace(
        SetupPlan::volumeNeeds(plan.assets, cache::downloadsRoot(), volumeId),
        [](const fs::path& folder) { return availableDiskBytes(nearestExistingFolder(folder)); });

    showInitialProgress(plan);
    PipelineLogSections::logPlan(plan.assets, plan.plannedBytes);

    std::vector<std::optional<std::string>> digests(plan.assets.size());
    std::vector<AssetResult> results = downloadAll(plan.assets, digests);
    verify(results, digests);
    installAll(results);
    keepSigningTime(fetched.signedAt);

    pruneCache(assets);
    publish(Success{});
    log(LogLevel::info, "==================== 安装成功 ====================");
    CorvelSetupManifest::persistSessionLog();
    launch();
}

CorvelRemoteManifest::ManifestTrust CorvelDownloadViewModel::Run::manifestTrust() const {
    const Options& options = owner.options_;
    const fs::path systemFile =
        options.systemKeyFile.empty() ? ManifestKeys::systemKeyFile() : options.systemKeyFile;
    ManifestKeys::Trusted trusted;
    try {
        trusted =
            ManifestKeys::resolve(options.manifestKeys, systemFile, CORVEL_MANIFEST_PUBLIC_KEYS);
    } catch (...) {
        log(LogLevel::error, "✘ 清单公钥配置无效: " + describeError(std::current_exception()));
        throw;
    }
    CorvelRemoteManifest::ManifestTrust trust;
    if (trusted.keys.empty()) return trust;
    trust.keys = std::move(trusted.keys);
    trust.origin = std::move(trusted.origin);
    trust.newestAccepted = AcceptedManifestTime::load();
    return trust;
}

void CorvelDownloadViewModel::Run::keepSigningTime(std::optional<std::int64_t> signedAt) {
    if (!signedAt) return;
    try {
        AcceptedManifestTime::store(*signedAt);
    } catch (...) {
        // The run itself succeeded; only the rollback guard stays where it was.
        log(LogLevel::warn, "  ⚠ 无法保存清单签名时间: " + describeError(std::current_exception()));
    }
}

void CorvelDownloadViewModel::Run::showInitialProgress(const SetupPlan::Plan& plan) {
    ProgressAccounting::Initial initial = progress.initialProgress(plan.assets, plan.skippedBytes);
    if (!owner.options_.pacedRise) initial.rise.clear();
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
    segments.connections = static_cast<std::size_t>(std::max(owner.options_.connections, 1));
    if (segments.connections > 1)
        segments.budget = std::make_shared<ConnectionBudget>(
            std::max(segments.connections, maxConcurrentDownloads));

    auto startNext = [&] {
        const std::size_t index = next++;
        ++running;
        workers.emplace_back(
            [&mailbox, &asset = plan[index], index, segments, token = children.get_token()] {
                DownloadEvent done(DownloadEvent::Kind::finished, index);
                try {
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
                    done.file = downloader.download(
                        asset,
                        [&mailbox](std::int64_t delta) {
                            mailbox.push(DownloadEvent(DownloadEvent::Kind::progress, 0, delta));
                        },
                        [&mailbox, index](std::int64_t total) {
                            mailbox.push(DownloadEvent(DownloadEvent::Kind::total, index, total));
                        },
                        token);
                    if (digest) done.digest = digest->finish(fileSize(done.file));
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
            publish(progress.applyDelta(event.bytes, plan.size()));
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

void CorvelDownloadViewModel::Run::verify(const std::vector<AssetResult>& results,
                                          const std::vector<std::optional<std::string>>& digests) {
    auto lower = [](std::string text) {
        std::transform(text.begin(), text.end(), text.begin(),
                       [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
        return text;
    };
    for (std::size_t i = 0; i < results.size(); ++i) {
        platform::throwIfStopped(stop);
        const CVTAVAsset& asset = results[i].asset;
        if (asset.sha256.empty()) continue;
        std::string computed =
            digests[i] ? *digests[i]
                       : CorvelAssetExtractor::sha256OfFile(results[i].localArchive, stop);
        computed = lower(computed);
        if (computed == lower(asset.sha256)) {
            log(LogLevel::info,
                fmt::format("✔ 校验通过 [{}] sha256={}…", asset.name, computed.substr(0, 12)));
            continue;
        }
        log(LogLevel::error,
            fmt::format("✘ 校验失败 [{}] expected={} got={}", asset.name, asset.sha256, computed));
        // Left in place, the bad file would be a cache hit and fail every later run.
        if (!cache::purgeSlot(asset.url))
            log(LogLevel::warn,
                "  ⚠ 无法删除校验失败的缓存文件: " + results[i].localArchive.string());
        throw CorvelInstallError::checksumMismatch(asset.name, asset.sha256, computed);
    }
}

void CorvelDownloadViewModel::Run::installAll(const std::vector<AssetResult>& results) {
    log(LogLevel::info, "-------------------- 解压阶段 --------------------");
    const std::size_t n = results.size();
    if (n == 0) {
        log(LogLevel::info, "无需解压（全部命中缓存）");
        return;
    }
    log(LogLevel::info, fmt::format("{} 个资源需要解压/安装", n));
    for (std::size_t i = 0; i < n; ++i) {
        platform::throwIfStopped(stop);
        const AssetResult& result = results[i];
        const double span = ProgressAccounting::installShare / static_cast<double>(n);
        const double start = ProgressAccounting::downloadShare + span * static_cast<double>(i);
        const int step = static_cast<int>(i) + 1;
        const int total = static_cast<int>(n);
        const std::string& name = result.asset.name;
        publish(Extracting{start, name, step, total});
        log(LogLevel::info, "▶ 解压中 [" + name + "]");
        log(LogLevel::info,
            fmt::format("  步骤 {}/{} 开始，整体进度 {:.1f}%", step, total, start * 100));
        const double estimate =
            ProgressAccounting::installEstimateSeconds(result.asset.expectedBytes);
        log(LogLevel::info,
            fmt::format("  估算解压耗时 {:.1f}s（仅用于 UI 平滑，不影响实际完成）", estimate));
        const auto startTime = seams.now();

        // The installation blocks its own thread; this one keeps the bar moving.
        std::packaged_task<fs::path()> task([&result, this] { return installOne(result); });
        std::future<fs::path> installed = task.get_future();
        std::jthread worker(std::move(task));
        while (installed.wait_for(smootherTick) != std::future_status::ready) {
            std::chrono::duration<double> elapsed = seams.now() - startTime;
            publish(Extracting{
                ProgressAccounting::smootherValue(elapsed.count(), estimate, start, span), name,
                step, total});
        }
        fs::path product;
        try {
            product = installed.get();
        } catch (...) {
            // A cancellation is not a failed step: the run logs it once.
            auto error = std::current_exception();
            if (!isCancellation(error) && !stop.stop_requested())
                log(LogLevel::error, fmt::format("✘ 步骤 {}/{} 失败 [{}]: {}", step, total, name,
                                                 describeError(error)));
            throw;
        }
        CorvelSetupManifest::record(result.asset, product);
        // Only now: a kill before the record leaves an archive the next run reuses.
        platform::killPoint("install.recorded");
        removeArchive(result);
        const double end = ProgressAccounting::downloadShare + span * static_cast<double>(i + 1);
        publish(Extracting{end, name, step, total});
        log(LogLevel::info, "✔ 解压完成 [" + name + "]");
        std::chrono::duration<double> took = seams.now() - startTime;
        log(LogLevel::info, fmt::format("  步骤 {}/{} 完成，实际耗时 {:.2f}s，整体进度 {:.1f}%",
                                        step, total, took.count(), end * 100));
    }
}

void CorvelDownloadViewModel::Run::removeArchive(const AssetResult& result) {
    cache::removeSlot(result.asset.url);
    // A raw asset's download was moved into place; only its metadata remained.
    if (result.asset.format != CVTAVAsset::Format::raw)
        log(LogLevel::info, "  • 已删除归档: " + result.localArchive.filename().string());
}

// Downloads of URLs that this manifest no longer lists, untouched for a week.
void CorvelDownloadViewModel::Run::pruneCache(const std::vector<CVTAVAsset>& assets) {
    constexpr auto maxAge = std::chrono::hours(24 * 7);
    std::set<std::string> current;
    for (const auto& asset : assets)
        current.insert(cache::slotName(asset.url));
    cache::pruneSlots(current, fs::file_time_type::clock::now() - maxAge);
}

fs::path CorvelDownloadViewModel::Run::installOne(const AssetResult& result) {
    const CVTAVAsset& asset = result.asset;
    if (asset.isApplicationBundleAsset())
        return CorvelAppInstaller::installAppBundle(result.localArchive, asset.destination,
                                                    appBundleName, bundleIdentifier, asset.name,
                                                    stop);
    return CorvelAssetExtractor::extract(result.localArchive, asset, stop);
}

void CorvelDownloadViewModel::Run::launch() {
    const fs::path target = CVTAVAsset::applicationsDirectory() / appBundleName;
    std::error_code error;
    if (!fs::exists(target, error)) {
        log(LogLevel::warn, "launchCorvelApp: 目标路径不存在，跳过启动: " + target.string());
        return;
    }
    if (!owner.options_.launchApplication) {
        log(LogLevel::info, "⏭ 已按 --no-launch 跳过启动 Corvel.app: " + target.string());
        return;
    }
    log(LogLevel::info, "▶ 启动 Corvel.app: " + target.string());
    try {
        pid_t pid = ApplicationLauncher::launch(target);
        log(LogLevel::info, fmt::format("✔ Corvel.app 已启动（PID {}）", pid));
    } catch (...) {
        auto failure = std::current_exception();
        log(LogLevel::error,
            fmt::format("✘ Corvel.app 启动失败: {} (NSError: {})", describeError(failure),
                        PipelineLogSections::errorDebugDescription(failure)));
    }
}

CorvelDownloadViewModel::CorvelDownloadViewModel() : CorvelDownloadViewModel(Options{}) {}

CorvelDownloadViewModel::CorvelDownloadViewModel(Options options) : options_(std::move(options)) {
    options_.seams = withDefaults(std::move(options_.seams));
}

CorvelDownloadViewModel::~CorvelDownloadViewModel() {
    if (thread_.joinable()) {
        thread_.request_stop();
        thread_.join();
    }
}

void CorvelDownloadViewModel::addObserver(Observer observer) {
    observers_.push_back(std::move(observer));
}

bool CorvelDownloadViewModel::start() {
    std::lock_guard lock(mutex_);
    if (running_) return false;
    if (thread_.joinable()) thread_.join(); // the previous run has published its end
    running_ = true;
    thread_ = std::jthread([this](std::stop_token stop) {
        Run run{*this, stop, options_.seams, {}};
        run.execute();
        std::lock_guard done(mutex_);
        running_ = false;
        finished_.notify_all();
    });
    return true;
}

void CorvelDownloadViewModel::cancel() {
    std::lock_guard lock(mutex_);
    if (thread_.joinable()) thread_.request_stop();
}

bool CorvelDownloadViewModel::isRunning() const {
    std::lock_guard lock(mutex_);
    return running_;
}

void CorvelDownloadViewModel::wait() {
    std::unique_lock lock(mutex_);
    finished_.wait(lock, [this] { return !running_; });
}

State CorvelDownloadViewModel::state() const {
    std::lock_guard lock(mutex_);
    return state_;
}

void CorvelDownloadViewModel::publish(const State& state) {
    {
        std::lock_guard lock(mutex_);
        state_ = state;
    }
    // Registered before the run started and never changed while it runs.
    for (const auto& observer : observers_)
        observer(state);
}
