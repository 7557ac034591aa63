#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

// What the setup program put on this machine, read from its setup record, and
// taking it away again. Only what the program made goes: the application
// bundle and its desktop entry, the products the record names, the download
// cache and the record itself. Everything else in the data directory stays.
namespace SetupRemoval {

struct Installed {
    std::string name;
    std::filesystem::path path;
    std::int64_t bytesOnDisk = 0; // 0 when it is gone
    std::string url;
    std::string when; // as recorded, ISO 8601 UTC
};

// The record's entries in its order.
std::vector<Installed> installed();

struct Plan {
    std::vector<std::filesystem::path> remove;
    // Named by the record but outside the data directory and the applications
    // folder (or one of those folders itself): never touched.
    std::vector<std::filesystem::path> refused;
};

// What removing would take away, for a desktop entry named
// `<bundleIdentifier>.desktop`. Paths that do not exist are left out.
Plan plan(const std::string& bundleIdentifier);

struct Outcome {
    std::vector<std::filesystem::path> removed;
    std::vector<std::pair<std::filesystem::path, std::string>> failed; // with the reason
    // What is left in the data directory afterwards, by name.
    std::vector<std::filesystem::path> kept;
};

// Removes what `plan` lists, the record last, so an interrupted removal can
// be run again. The caller holds the run's lock.
Outcome remove(const Plan& plan);

// Whether `path` lies inside `folder` (not the folder itself), following links
// in the folders above it, so a link cannot lead out.
bool isInside(const std::filesystem::path& path, const std::filesystem::path& folder);

} // namespace SetupRemoval
