#pragma once

#include "types/CVTAVAsset.h"

#include <cstdint>
#include <filesystem>
#include <vector>

// Deciding what a run downloads: what the setup record or the disk already
// has is skipped, and the free space must cover the rest plus a margin.
namespace SetupPlan {

inline constexpr std::int64_t freeSpaceMargin = 1'073'741'824; // 1 GiB

struct Plan {
    std::vector<CVTAVAsset> assets; // to download, in manifest order
    std::int64_t skippedBytes = 0;  // counted as done from the start
    std::int64_t neededBytes = 0;   // sum of expectedBytes over the plan
    std::int64_t plannedBytes = 0;  // the same, each at least 1
};

// Whether a model product of the asset is already on disk in one of the
// model data directories. The format comes from the URL, not the manifest.
bool productOnDisk(const CVTAVAsset& asset);

// Skips assets the record lists with their product present, and model assets
// whose product is found on disk (recording them). A URL already planned is
// planned once: both would share one cache slot, and the first installation
// consumes the download.
Plan makePlan(const std::vector<CVTAVAsset>& assets);

// Throws CorvelInstallError::diskSpaceInsufficient when available is below
// needed plus the margin; the margin applies to an empty plan too.
void requireFreeSpace(std::int64_t neededBytes, std::int64_t availableBytes);

} // namespace SetupPlan
