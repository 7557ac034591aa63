#pragma once

#include "types/CVTAVAsset.h"
#include "zsync/ZsyncControl.h"

#include <filesystem>
#include <optional>
#include <stop_token>
#include <string>
#include <vector>

// Updates that fetch only what changed: when the publisher made a zsync
// control file for an asset and an older copy is at hand, the blocks the copy
// already holds are written into the download's cache slot as finished
// ranges, so the resumable download fetches only the rest (and resumes that
// after a kill like any ranged download).
namespace DeltaUpdate {

// Older copies of the asset's file: the installed raw file it replaces, the
// installed file of an earlier version of the same model, the kept
// application archive; plus `extra`. Only non-empty regular files.
std::vector<std::filesystem::path> seedsFor(const CVTAVAsset& asset,
                                            const std::vector<std::filesystem::path>& extra = {});

// Prepares the asset's cache slot from the seeds; the control file when it
// did (the caller checks the finished file against its SHA-1), nothing when
// the download should go on as usual: no control file, no seed, a slot that
// already holds a download, or any fault on the way (logged as a warning).
// Throws platform::CancelledError on a stop.
std::optional<ZsyncControl> prepare(const CVTAVAsset& asset,
                                    const std::vector<std::filesystem::path>& seeds,
                                    std::stop_token stop);

// Whether the file assembled from seeds and ranges is the one published: its
// SHA-256 (already computed while downloading) when the manifest names one,
// else the control file's SHA-1. Logs a warning when it is not.
bool assembledSoundly(const CVTAVAsset& asset, const ZsyncControl& control,
                      const std::filesystem::path& file, const std::optional<std::string>& sha256);

} // namespace DeltaUpdate
