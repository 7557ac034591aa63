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
    if (home != nullptr && home[0] != '\0') {
        fs::path path(home);
        if (path.is_absolute()) return path;
        std::error_code error;
        fs::path absolute = fs::absolute(path, error);
        return error ? path : absolute.lexically_normal();
    }
    long size = ::sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> storage(size > 0 ? static_cast<std::size_t>(size) : 16384);
    passwd entry{};
    passwd* result = nullptr;
    if (::getpwuid_r(::getuid(), &entry, storage.data(), storage.size(), &result) == 0 &&
        result != nullptr && result->pw_dir != nullptr)
        return fs::path(result->pw_dir);
    return fs::path("/");
}

std::optional<std::string> homeProblem() {
    const char* variable = std::getenv("HOME");
    std::string shown = variable != nullptr && variable[0] != '\0'
                            ? "HOME=" + std::string(variable)
                            : "HOME 未设置，用户数据库中的主目录 " + homeDirectory().string();
    fs::path home = homeDirectory();
    std::error_code error;
    auto status = fs::status(home, error);
    if (error || !fs::exists(status)) return "主目录不存在（" + shown + "）";
    if (!fs::is_directory(status)) return "主目录不是文件夹（" + shown + "）";
    if (::access(home.c_str(), W_OK | X_OK) != 0) return "主目录不可写（" + shown + "）";
    return std::nullopt;
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
