#include "pipeline/SetupPlan.h"

#include "log/ByteCount.h"
#include "log/CorvelSetupLogger.h"
#include "record/CorvelSetupManifest.h"
#include "shareddata/CVSharedDataPaths.h"
#include "types/CorvelInstallError.h"

#include <fmt/format.h>

#include <algorithm>
#include <set>
#include <string>

namespace fs = std::filesystem;

namespace SetupPlan {

namespace {

std::int64_t saturatingAdd(std::int64_t a, std::int64_t b) {
    std::int64_t sum = 0;
    return __builtin_add_overflow(a, b, &sum) ? INT64_MAX : sum;
}

bool zipProductIn(const fs::path& root, const std::string& name) {
    using namespace CVSharedDataPaths;
    if (name == "ggml-base.zip")
        return (hasContent(root / "ggml-base.bin") &&
                hasContent(root / "ggml-base-encoder.mlmodelc")) ||
               (hasContent(root / "ggml-base" / "ggml-base.bin") &&
                hasContent(root / "ggml-base" / "ggml-base-encoder.mlmodelc"));
    if (name.size() <= 4) return false;
    std::string stem = name.substr(0, name.size() - 4);
    if (isNonEmptyDirectory(root / stem)) return true;
    if (name == "i2t_v3.zip")
        return isNonEmptyDirectory(root / "FastVLM") || isNonEmptyDirectory(root / "Qwen3VL");
    return false;
}

} // namespace

bool productOnDisk(const CVTAVAsset& asset) {
    auto format = CVSharedDataPaths::inferRemoteFormat(asset.url);
    if (format == CVTAVAsset::Format::tarGz) return false;
    if (format == CVTAVAsset::Format::raw && asset.relativePath.empty()) return false;
    const std::string name = asset.url.lastPathComponent();
    for (const fs::path& root : CVSharedDataPaths::llmDataSearchRoots()) {
        bool found = format == CVTAVAsset::Format::zip
                         ? zipProductIn(root, name)
                         : CVSharedDataPaths::rawFileLooksComplete(root / asset.relativePath,
                                                                   asset.expectedBytes);
        if (found) return true;
    }
    return false;
}

Plan makePlan(const std::vector<CVTAVAsset>& assets, const std::vector<std::string>& repair) {
    Plan plan;
    std::set<std::string> plannedURLs;
    for (const auto& asset : assets) {
        const std::int64_t counted = std::max<std::int64_t>(asset.expectedBytes, 1);
        if (!repair.empty()) {
            const bool damaged =
                std::find(repair.begin(), repair.end(), asset.url.absoluteString()) != repair.end();
            if (!damaged) {
                plan.skippedBytes = saturatingAdd(plan.skippedBytes, counted);
                continue;
            }
            log(LogLevel::info, "🔧 修复: " + asset.name);
        } else if (CorvelSetupManifest::isHit(asset)) {
            log(LogLevel::info, "⏭ SetupManifest.json 命中（URL + 产物都在），跳过: " + asset.name);
            // A run killed after recording and before deleting the archive left it here.
            plan.staleSlots.push_back(asset.url);
            plan.skippedBytes = saturatingAdd(plan.skippedBytes, counted);
            continue;
        } else if (CVSharedDataPaths::sameLLMDataDestination(asset.destination,
                                                             CVTAVAsset::llmDataDirectory()) &&
                   productOnDisk(asset)) {
            fs::path installed = CorvelSetupManifest::expectedInstalledURL(asset);
            plan.found.push_back(Found{asset, installed});
            plan.staleSlots.push_back(asset.url);
            log(LogLevel::info, "⏭ 物理产物已存在（补录 SetupManifest.json），跳过: " + asset.name +
                                    " → " + installed.string());
            plan.skippedBytes = saturatingAdd(plan.skippedBytes, counted);
            continue;
        }
        if (!plannedURLs.insert(asset.url.absoluteString()).second) {
            log(LogLevel::warn, fmt::format("⚠ 清单中重复的下载地址，只下载一次，忽略 [{}]: {}",
                                            asset.name, asset.url.absoluteString()));
            continue;
        }
        plan.assets.push_back(asset);
        plan.neededBytes = saturatingAdd(plan.neededBytes, asset.expectedBytes);
        plan.plannedBytes = saturatingAdd(plan.plannedBytes, counted);
    }
    return plan;
}

void requireFreeSpace(std::int64_t neededBytes, std::int64_t availableBytes,
                      const fs::path& volume) {
    std::int64_t required = saturatingAdd(neededBytes, freeSpaceMargin);
    if (availableBytes < required)
        throw CorvelInstallError::diskSpaceInsufficient(required, availableBytes, volume.string());
}

std::vector<VolumeNeed>
volumeNeeds(const std::vector<CVTAVAsset>& plan, const fs::path& cache,
            const std::function<std::optional<std::uint64_t>(const fs::path&)>& volumeOf) {
    std::vector<VolumeNeed> needs;
    if (plan.empty()) return needs;
    const std::optional<std::uint64_t> cacheVolume = volumeOf(cache);
    std::vector<std::optional<std::uint64_t>> volumes{cacheVolume};
    needs.push_back(VolumeNeed{cache, 0});
    for (const auto& asset : plan) {
        const std::int64_t bytes = std::max<std::int64_t>(asset.expectedBytes, 0);
        needs.front().bytes = saturatingAdd(needs.front().bytes, bytes);
        std::optional<std::uint64_t> volume = volumeOf(asset.destination);
        if (!volume || !cacheVolume || volume == cacheVolume) {
            // The archive stays until its product is unpacked beside it; a raw
            // download is renamed into place.
            if (asset.format != CVTAVAsset::Format::raw)
                needs.front().bytes = saturatingAdd(needs.front().bytes, bytes);
            continue;
        }
        auto known = std::find(volumes.begin(), volumes.end(), volume);
        if (known == volumes.end()) {
            volumes.push_back(volume);
            needs.push_back(VolumeNeed{asset.destination, 0});
            known = volumes.end() - 1;
        }
        VolumeNeed& need = needs[static_cast<std::size_t>(known - volumes.begin())];
        need.bytes = saturatingAdd(need.bytes, bytes);
    }
    return needs;
}

void requireFreeSpace(const std::vector<VolumeNeed>& needs,
                      const std::function<std::int64_t(const fs::path&)>& available) {
    for (const auto& need : needs) {
        std::int64_t free = available(need.folder);
        if (free < saturatingAdd(need.bytes, freeSpaceMargin))
            log(LogLevel::error,
                fmt::format("✘ 磁盘空间不足: {} 需要 {}，可用 {}", need.folder.string(),
                            formatByteCount(saturatingAdd(need.bytes, freeSpaceMargin)),
                            formatByteCount(free)));
        requireFreeSpace(need.bytes, free, needs.size() > 1 ? need.folder : fs::path());
    }
}

} // namespace SetupPlan
