#include "pipeline/SetupPlan.h"

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

Plan makePlan(const std::vector<CVTAVAsset>& assets) {
    Plan plan;
    std::set<std::string> plannedURLs;
    for (const auto& asset : assets) {
        const std::int64_t counted = std::max<std::int64_t>(asset.expectedBytes, 1);
        if (CorvelSetupManifest::isHit(asset)) {
            log(LogLevel::info, "⏭ SetupManifest.json 命中（URL + 产物都在），跳过: " + asset.name);
            plan.skippedBytes = saturatingAdd(plan.skippedBytes, counted);
            continue;
        }
        if (CVSharedDataPaths::sameLLMDataDestination(asset.destination,
                                                      CVTAVAsset::llmDataDirectory()) &&
            productOnDisk(asset)) {
            fs::path installed = CorvelSetupManifest::expectedInstalledURL(asset);
            CorvelSetupManifest::record(asset, installed);
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

void requireFreeSpace(std::int64_t neededBytes, std::int64_t availableBytes) {
    std::int64_t required = saturatingAdd(neededBytes, freeSpaceMargin);
    if (availableBytes < required)
        throw CorvelInstallError::diskSpaceInsufficient(required, availableBytes);
}

} // namespace SetupPlan
