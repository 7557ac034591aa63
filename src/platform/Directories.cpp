#include "platform/Directories.h"

#include <cstdlib>
#include <pwd.h>
#include <system_error>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;

namespace platform {

namespace {

// XDG base directories must be absolute; an empty or relative value is ignored.
fs::path xdgOr(const char* variable, const fs::path& fallback) {
    const char* value = std::getenv(variable);
    if (value != nullptr && value[0] == '/') return fs::path(value);
    return fallback;
}

} // namespace

fs::path homeDirectory() {
    const char* home = std::getenv("HOME");
    if (home != nullptr && home[0] != '\0') return fs::path(home);
    long size = ::sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> storage(size > 0 ? static_cast<std::size_t>(size) : 16384);
    passwd entry{};
    passwd* result = nullptr;
    if (::getpwuid_r(::getuid(), &entry, storage.data(), storage.size(), &result) == 0 &&
        result != nullptr && result->pw_dir != nullptr)
        return fs::path(result->pw_dir);
    return fs::path("/");
}

fs::path dataHome() {
    return xdgOr("XDG_DATA_HOME", homeDirectory() / ".local" / "share");
}

fs::path cacheHome() {
    return xdgOr("XDG_CACHE_HOME", homeDirectory() / ".cache");
}

fs::path applicationsDirectory() {
    return homeDirectory() / "Applications";
}

fs::path executablePath() {
    std::error_code error;
    auto path = fs::read_symlink("/proc/self/exe", error);
    return error ? fs::path() : path;
}

} // namespace platform
