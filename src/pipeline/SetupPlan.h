#pragma once

#include "types/CVTAVAsset.h"

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

// Deciding what a run downloads: what the setup record or the disk already
// has is skipped, and the free space must cover the rest plus a margin.
namespace SetupPlan {

inline constexpr std::int64_t freeSpaceMargin = 1'073'741'824; // 1 GiB

// A model product found on disk without a record of it.
struct Found {
    CVTAVAsset asset;
    std::filesystem::path product;
};

struct Plan {
    std::vector<CVTAVAsset> assets; // to download, in manifest order
    std::int64_t skippedBytes = 0;  // counted as done from the start
    std::int64_t neededBytes = 0;   // sum of expectedBytes over the plan
    std::int64_t plannedBytes = 0;  // the same, each at least 1
    std::vector<Found> found;       // to record
    // Cache slots of skipped assets: a download of them, whole or partial,
    // is no longer needed.
    std::vector<platform::Url> staleSlots;
};

// Whether a model product of the asset is already on disk in one of the
// model data directories. The format comes from the URL, not the manifest.
bool productOnDisk(const CVTAVAsset& asset);

// Skips assets the record lists with their product present, and model assets
// whose product is found on disk. A URL already planned is planned once: both
// would share one cache slot, and the first installation consumes the
// download. Changes nothing: what the plan found is the run's to record and
// remove. With `repair` URLs, exactly those assets are planned and no other.
Plan makePlan(const std::vector<CVTAVAsset>& assets, const std::vector<std::string>& repair = {});

// Throws CorvelInstallError::diskSpaceInsufficient (naming `volume` when
// given) when available is below needed plus the margin.
void requireFreeSpace(std::int64_t neededBytes, std::int64_t availableBytes,
                      const std::filesystem::path& volume = {});

// What one file system must receive for the plan.
struct VolumeNeed {
    std::filesystem::path folder; // the first destination met on that file system
    std::int64_t bytes = 0;
};

// Downloads land in the cache, unpacked products in their destinations (the
// bundle in the applications folder). Each asset counts on the cache's file
// system and on its destination's, twice where they are one (archive and
// product side by side; a raw file is renamed, once); its archive size stands
// in for the unpacked size, which is unknown. Folders
// whose volume cannot be told apart count as one with the cache. Nothing for
// an empty plan: a run with nothing to download has nothing to check.
std::vector<VolumeNeed> volumeNeeds(
    const std::vector<CVTAVAsset>& plan, const std::filesystem::path& cache,
    const std::function<std::optional<std::uint64_t>(const std::filesystem::path&)>& volumeOf);

// Every volume must hold its need plus the margin.
void requireFreeSpace(const std::vector<VolumeNeed>& needs,
                      const std::function<std::int64_t(const std::filesystem::path&)>& available);

} // namespace SetupPlan
