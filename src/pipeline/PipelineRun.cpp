#include "pipeline/PipelineRun.h"

#include "pipeline/StreamingDigest.h"

#include "BuildInfo.h"
#include "download/CacheSlot.h"
#include "install/ApplicationLauncher.h"
#include "install/CorvelAppInstaller.h"
#include "install/CorvelAssetExtractor.h"
#include "log/CorvelSetupLogger.h"
#include "manifest/ManifestKeys.h"
#include "pipeline/PipelineLogSections.h"
#include "pipeline/SetupSession.h"
#include "platform/Cancellation.h"
#include "platform/Directories.h"
#include "platform/KillPoint.h"
#include "record/AcceptedManifestTime.h"
#include "record/CorvelSetupManifest.h"
#include "record/InstalledFiles.h"
#include "shareddata/CVSharedDataPaths.h"
#include "shareddata/CVSystemProfile.h"
#include "types/CorvelInstallError.h"

#include <fmt/format.h>

#include <algorithm>
#include <set>
#include <variant>

namespace fs = std::filesystem;
using State = CorvelDownloadViewModel::State;

namespace {

constexpr const char* appBundleName = "Corvel.app";
constexpr const char* bundleIdentifier = "com.tavrin.app";

} // namespace

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

void CorvelDownloadViewModel::Run::execute() {
    // Every path derives from HOME: without a usable one nothing can work.
    if (auto problem = platform::homeProblem()) {
        log(LogLevel::error, "✘ " + *problem);
        publish(Failed{*problem});
        return;
    }
    std::optional<SetupLock> lock;
    try {
        lock = SetupLock::tryAcquire();
    } catch (...) {
        // Without the lock nothing may be cleaned up or installed.
        const std::string reason = describeError(std::current_exception());
        log(LogLevel::error, "✘ 无法创建安装锁文件: " + reason);
        publish(Failed{escapeControlCharacters("无法创建安装锁文件: " + reason)});
        return;
    }
    if (!lock) {
        // Another process is installing: leave everything to it, the record included.
        log(LogLevel::error, "✘ 另一个 Corvel Setup 正在运行，本次未做任何改动");
        publish(Failed{"另一个 Corvel Setup 正在运行，请等它结束后再试"});
        return;
    }
    try {
        runSteps();
    } catch (...) {
        auto error = std::current_exception();
        // Only the stop's own ending is a cancellation: a step that failed
        // anyway, window closed or not, is reported as what happened.
        if (isCancellation(error)) {
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
        CorvelRemoteManifest::fetchAssets(manifestTrust(), options().mirrors, stop);
    const std::vector<CVTAVAsset>& assets = fetched.assets;

    SetupPlan::Plan plan = SetupPlan::makePlan(assets, options().repairUrls);
    settle(plan);
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

void CorvelDownloadViewModel::Run::settle(const SetupPlan::Plan& plan) {
    // Recorded before their downloads go: a kill in between leaves a record hit
    // whose slot the next plan lists again.
    for (const auto& found : plan.found)
        CorvelSetupManifest::record(found.asset, found.product);
    for (const auto& url : plan.staleSlots)
        cache::removeSlot(url);
}

CorvelRemoteManifest::ManifestTrust CorvelDownloadViewModel::Run::manifestTrust() const {
    const Options& given = options();
    const fs::path systemFile =
        given.systemKeyFile.empty() ? ManifestKeys::systemKeyFile() : given.systemKeyFile;
    ManifestKeys::Trusted trusted;
    try {
        trusted =
            ManifestKeys::resolve(given.manifestKeys, systemFile, CORVEL_MANIFEST_PUBLIC_KEYS);
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

void CorvelDownloadViewModel::Run::verify(const std::vector<AssetResult>& results,
                                          const std::vector<std::optional<std::string>>& digests) {
    for (std::size_t i = 0; i < results.size(); ++i) {
        platform::throwIfStopped(stop);
        const CVTAVAsset& asset = results[i].asset;
        if (asset.sha256.empty()) continue;
        const std::string computed =
            digests[i] ? *digests[i]
                       : CorvelAssetExtractor::sha256OfFile(results[i].localArchive, stop);
        if (sameDigest(computed, asset.sha256)) {
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
        // A pause lets the asset being installed finish and holds the next.
        if (!owner.pause_.waitWhilePaused(stop)) throw platform::CancelledError();
        platform::throwIfStopped(stop);
        const AssetResult& result = results[i];
        const double span = ProgressAccounting::installShare / static_cast<double>(n);
        const double start = ProgressAccounting::downloadShare + span * static_cast<double>(i);
        const int step = static_cast<int>(i) + 1;
        const int total = static_cast<int>(n);
        const std::string& name = result.asset.name;
        log(LogLevel::info, "▶ 解压中 [" + name + "]");
        log(LogLevel::info,
            fmt::format("  步骤 {}/{} 开始，整体进度 {:.1f}%", step, total, start * 100));
        const double estimate =
            ProgressAccounting::installEstimateSeconds(result.asset.expectedBytes);
        log(LogLevel::info,
            fmt::format("  估算解压耗时 {:.1f}s（仅用于 UI 平滑，不影响实际完成）", estimate));
        const auto startTime = seams.now();
        fs::path product;
        try {
            product = installWithProgress([&result, this] { return installOne(result); },
                                          Extracting{start, name, step, total}, span, estimate);
        } catch (...) {
            // A cancellation is not a failed step: the run logs it once.
            auto error = std::current_exception();
            if (!isCancellation(error))
                log(LogLevel::error, fmt::format("✘ 步骤 {}/{} 失败 [{}]: {}", step, total, name,
                                                 describeError(error)));
            throw;
        }
        CorvelSetupManifest::record(result.asset, product);
        InstalledFiles::remember(result.asset, product, stop);
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
    if (result.asset.isApplicationBundleAsset() && result.asset.zsyncUrl) {
        // The next version of the application is assembled from this one.
        std::error_code error;
        fs::rename(result.localArchive, InstalledFiles::keptAppArchive(), error);
        if (error)
            log(LogLevel::warn, fmt::format("  ⚠ 无法保留应用归档 {}: {}",
                                            result.localArchive.string(), error.message()));
    }
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
    if (!options().launchApplication) {
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
