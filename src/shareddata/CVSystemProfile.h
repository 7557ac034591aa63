#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

// Facts about the machine that the run reports (memory) and checks (free space).

enum class MemoryTier { highMemory, lowMemory };

// "highMemory" or "lowMemory".
const char* memoryTierName(MemoryTier tier);

// highMemory from 16 GiB (2^34 bytes) up.
MemoryTier memoryTierFor(std::uint64_t physicalMemoryBytes);

// Physical memory in bytes (pages times page size).
std::uint64_t physicalMemoryBytes();

MemoryTier currentMemoryTier();

struct CVSystemProfile {
    std::string arch; // the architecture this binary was built for ("arm64" on aarch64)
    MemoryTier memTier = MemoryTier::lowMemory;
    std::uint64_t ram = 0;

    static CVSystemProfile current();

    // "CVSystemProfile(arch=arm64, memTier=highMemory, ram=24.0GB)"; GB stands for 2^30 bytes.
    std::string description() const;
};

// The architecture name used in the profile.
const char* buildArchitecture();

// The description of a fresh reading.
std::string systemProfileDescription();

// The standard-output line of a run: the text "[CorvelSetup] " and the
// description in quotes, as a debug print shows a string, plus a newline.
std::string systemProfileLine(const std::string& description);

// Free bytes for the user on the volume of the home directory; 0 when unknown.
std::int64_t availableDiskBytes();
// The same for any path on the volume in question.
std::int64_t availableDiskBytes(const std::filesystem::path& path);

// `path` itself unless it is missing, else its nearest existing ancestor: the
// folder whose volume a folder not yet created will be on.
std::filesystem::path nearestExistingFolder(const std::filesystem::path& path);

// The file system (device) holding `path` or its nearest existing ancestor.
std::optional<std::uint64_t> volumeId(const std::filesystem::path& path);
