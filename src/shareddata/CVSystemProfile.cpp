#include "shareddata/CVSystemProfile.h"

#include "platform/Directories.h"

#include <fmt/format.h>

#include <limits>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

const char* memoryTierName(MemoryTier tier) {
    return tier == MemoryTier::highMemory ? "highMemory" : "lowMemory";
}

MemoryTier memoryTierFor(std::uint64_t physicalMemoryBytes) {
    return physicalMemoryBytes >= (std::uint64_t{1} << 34) ? MemoryTier::highMemory
                                                           : MemoryTier::lowMemory;
}

std::uint64_t physicalMemoryBytes() {
    long pages = ::sysconf(_SC_PHYS_PAGES);
    long pageSize = ::sysconf(_SC_PAGESIZE);
    if (pages <= 0 || pageSize <= 0) return 0;
    return static_cast<std::uint64_t>(pages) * static_cast<std::uint64_t>(pageSize);
}

MemoryTier currentMemoryTier() {
    return memoryTierFor(physicalMemoryBytes());
}

const char* buildArchitecture() {
#if defined(__aarch64__)
    return "arm64";
#elif defined(__x86_64__)
    return "x86_64";
#elif defined(__i386__)
    return "i386";
#elif defined(__arm__)
    return "arm";
#elif defined(__riscv) && __riscv_xlen == 64
    return "riscv64";
#elif defined(__powerpc64__)
    return "ppc64";
#elif defined(__s390x__)
    return "s390x";
#else
    return "unknown";
#endif
}

CVSystemProfile CVSystemProfile::current() {
    // Read twice, as the tier and the figure are separate readings.
    return CVSystemProfile{buildArchitecture(), currentMemoryTier(), physicalMemoryBytes()};
}

std::string CVSystemProfile::description() const {
    double gib = static_cast<double>(ram) / static_cast<double>(std::uint64_t{1} << 30);
    return fmt::format("CVSystemProfile(arch={}, memTier={}, ram={:.1f}GB)", arch,
                       memoryTierName(memTier), gib);
}

std::string systemProfileDescription() {
    return CVSystemProfile::current().description();
}

std::string systemProfileLine(const std::string& description) {
    std::string quoted = "\"";
    for (char c : "[CorvelSetup] " + description) {
        if (c == '"' || c == '\\') quoted += '\\';
        quoted += c;
    }
    return quoted + "\"\n";
}

std::filesystem::path nearestExistingFolder(const std::filesystem::path& path) {
    std::filesystem::path here = path;
    for (;;) {
        // Only a missing folder is looked past; one that cannot be examined is measured as it is.
        std::error_code error;
        auto status = std::filesystem::status(here, error);
        if (status.type() != std::filesystem::file_type::not_found || !here.has_relative_path() ||
            here.parent_path() == here)
            return here;
        here = here.parent_path();
    }
}

std::optional<std::uint64_t> volumeId(const std::filesystem::path& path) {
    struct stat info {};
    if (::stat(nearestExistingFolder(path).c_str(), &info) != 0) return std::nullopt;
    return static_cast<std::uint64_t>(info.st_dev);
}

std::int64_t availableDiskBytes(const std::filesystem::path& path) {
    struct statvfs info {};
    if (::statvfs(path.c_str(), &info) != 0) return 0;
    // Blocks available to an unprivileged user: root's reserve is not the user's to fill.
    constexpr auto max = static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());
    std::uint64_t blocks = info.f_bavail;
    std::uint64_t blockSize = info.f_frsize;
    if (blockSize != 0 && blocks > max / blockSize) return static_cast<std::int64_t>(max);
    return static_cast<std::int64_t>(blocks * blockSize);
}

std::int64_t availableDiskBytes() {
    return availableDiskBytes(platform::homeDirectory());
}
