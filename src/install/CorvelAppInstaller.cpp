#include "install/CorvelAppInstaller.h"

#include "install/ArchiveExtractor.h"
#include "install/RunningApplications.h"
#include "install/SubprocessRunner.h"
#include "log/CorvelSetupLogger.h"
#include "platform/Cancellation.h"
#include "platform/Directories.h"
#include "platform/FileOps.h"
#include "platform/FolderHold.h"
#include "platform/KillPoint.h"
#include "types/CorvelInstallError.h"

#include <fmt/format.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;

namespace CorvelAppInstaller {

namespace {

const std::string formerAppName = "TAVRIN.app";

// Creates and holds the staging folder, and removes it on every way out,
// unless it holds an old bundle that could not be put back.
class StagingCleanup {
  public:
    explicit StagingCleanup(fs::path staging)
        : staging_(std::move(staging)), hold_(platform::createHeldFolder(staging_)) {}
    ~StagingCleanup() {
        if (keep_) return;
        // removeTree: a bundle with read-only folders would otherwise stay here for good.
        std::error_code ignored;
        platform::removeTree(staging_, ignored);
        log(LogLevel::info, "  • 已清理 staging");
    }
    void keep() { keep_ = true; }
    StagingCleanup(const StagingCleanup&) = delete;
    StagingCleanup& operator=(const StagingCleanup&) = delete;

  private:
    fs::path staging_;
    platform::UniqueFd hold_; // released after the removal
    bool keep_ = false;
};

bool isRealDirectory(const fs::path& path) {
    std::error_code error;
    return fs::symlink_status(path, error).type() == fs::file_type::directory;
}

bool existsAsAnything(const fs::path& path) {
    std::error_code error;
    return fs::symlink_status(path, error).type() != fs::file_type::not_found && !error;
}

std::vector<fs::path> sortedEntries(const fs::path& directory) {
    std::vector<fs::path> entries;
    std::error_code error;
    for (fs::directory_iterator it(directory, error), end; !error && it != end; it.increment(error))
        entries.push_back(it->path());
    if (error) return {};
    std::sort(entries.begin(), entries.end());
    return entries;
}

bool isBundleName(const fs::path& path) {
    return path.extension() == ".app";
}

// AppRun (or what it links to within the bundle) is an executable file.
bool isLaunchable(const fs::path& bundle) {
    std::error_code error;
    fs::path appRun = fs::canonical(bundle / "AppRun", error);
    fs::path root = fs::canonical(bundle, error);
    if (error || !appRun.string().starts_with(root.string() + "/")) return false;
    return fs::is_regular_file(appRun, error) && ::access(appRun.c_str(), X_OK) == 0;
}

std::vector<std::string> bundleNames(const std::string& appName) {
    if (appName == formerAppName) return {formerAppName};
    return {formerAppName, appName};
}

struct SetAside {
    fs::path original;
    fs::path aside;
};

void putBack(const std::vector<SetAside>& moved, StagingCleanup& cleanup) {
    for (const auto& item : moved) {
        try {
            platform::moveItem(item.aside, item.original);
        } catch (const std::exception& e) {
            cleanup.keep();
            log(LogLevel::error, "  ✘ 无法恢复旧 " + item.original.filename().string() +
                                     "，它仍在 " + item.aside.string() + "：" + e.what());
        }
    }
}

// Stops running copies of the old bundles and moves the one under the former
// name out of the way; it stays in staging until the new bundle is in place,
// so a failed install never leaves the user without one. The bundle under
// appName stays where it is: the new one replaces it in one step.
std::vector<SetAside> setAsideOldBundles(const fs::path& destinationDirectory,
                                         const std::string& appName, const fs::path& staging,
                                         StagingCleanup& cleanup) {
    std::vector<fs::path> candidates;
    for (const auto& bundleName : bundleNames(appName))
        if (existsAsAnything(destinationDirectory / bundleName))
            candidates.push_back(destinationDirectory / bundleName);
    if (candidates.empty()) {
        log(LogLevel::info, "  • 无旧 app bundle，跳过清理");
        return {};
    }
    for (const auto& candidate : candidates)
        RunningApplications::stopRunningCopies(candidate);

    std::vector<SetAside> moved;
    fs::path asideDirectory;
    for (const auto& candidate : candidates) {
        if (candidate.filename() == appName) continue;
        if (asideDirectory.empty()) {
            asideDirectory = staging / platform::temporaryName(setAsideFolderPrefix);
            fs::create_directory(asideDirectory);
        }
        fs::path aside = asideDirectory / candidate.filename();
        try {
            platform::moveItem(candidate, aside);
        } catch (const std::exception& e) {
            log(LogLevel::error,
                "  ✘ 移除旧 " + candidate.filename().string() + " 失败：" + e.what());
            putBack(moved, cleanup);
            throw;
        }
        moved.push_back(SetAside{candidate, aside});
        log(LogLevel::info, "  ✔ 已移除旧 " + candidate.filename().string());
        platform::killPoint("app.formerSetAside");
    }
    return moved;
}

bool refusesExchange(int error) {
    return error == EINVAL || error == ENOSYS || error == ENOTSUP || error == EXDEV;
}

// Puts `bundle` at `installed`. Where an old bundle is there, both trade
// places in one step (the old one then lies in staging), so there is no
// moment without an application; where the file system cannot exchange, the
// old one is set aside first and put back if the new one cannot follow.
void replaceBundle(const fs::path& bundle, const fs::path& installed, const fs::path& staging,
                   std::vector<SetAside>& moved) {
    if (!existsAsAnything(installed)) {
        platform::moveItem(bundle, installed);
        return;
    }
    if (::renameat2(AT_FDCWD, bundle.c_str(), AT_FDCWD, installed.c_str(), RENAME_EXCHANGE) == 0) {
        platform::killPoint("app.exchanged");
        log(LogLevel::info, "  ✔ 已移除旧 " + installed.filename().string());
        return;
    }
    int error = errno;
    if (!refusesExchange(error))
        throw fs::filesystem_error("cannot exchange", bundle, installed,
                                   std::error_code(error, std::generic_category()));
    fs::path asideDirectory = staging / platform::temporaryName(setAsideFolderPrefix);
    fs::create_directory(asideDirectory);
    fs::path aside = asideDirectory / installed.filename();
    try {
        platform::moveItem(installed, aside);
    } catch (const std::exception& e) {
        log(LogLevel::error, "  ✘ 移除旧 " + installed.filename().string() + " 失败：" + e.what());
        throw;
    }
    moved.push_back(SetAside{installed, aside});
    log(LogLevel::info, "  ✔ 已移除旧 " + installed.filename().string());
    platform::killPoint("app.betweenRenames");
    platform::moveItem(bundle, installed);
}

std::optional<fs::path> findInPath(const std::string& tool) {
    const char* path = std::getenv("PATH");
    std::string text = path != nullptr ? path : "/usr/local/bin:/usr/bin:/bin";
    std::size_t start = 0;
    while (start <= text.size()) {
        std::size_t end = text.find(':', start);
        if (end == std::string::npos) end = text.size();
        std::string directory = text.substr(start, end - start);
        start = end + 1;
        if (directory.empty() || directory.front() != '/') continue;
        fs::path candidate = fs::path(directory) / tool;
        std::error_code error;
        if (fs::is_regular_file(candidate, error) && ::access(candidate.c_str(), X_OK) == 0)
            return candidate;
    }
    return std::nullopt;
}

// Quoting of one Exec argument, then the escaping every string value needs.
std::string execValue(const fs::path& program) {
    std::string quoted = "\"";
    for (char c : program.string()) {
        if (c == '"' || c == '`' || c == '$' || c == '\\') quoted += '\\';
        if (c == '%') quoted += '%';
        quoted += c;
    }
    quoted += '"';
    std::string value;
    for (char c : quoted) {
        if (c == '\\') value += '\\';
        value += c;
    }
    return value;
}

std::string stringValue(const std::string& text) {
    std::string value;
    for (char c : text) {
        if (c == '\\')
            value += "\\\\";
        else
            value += c;
    }
    return value;
}

void cleanUserCopies(const std::string& appName, const fs::path& destinationDirectory) {
    fs::path userApplications = platform::homeDirectory() / "Applications";
    std::error_code error;
    // Here the user's folder is the install target itself: never delete the new bundle.
    if (fs::equivalent(userApplications, destinationDirectory, error) ||
        standardizedPath(userApplications) == standardizedPath(destinationDirectory))
        return;
    for (const auto& bundleName : bundleNames(appName)) {
        fs::path copy = userApplications / bundleName;
        if (!existsAsAnything(copy)) continue;
        fs::remove_all(copy, error);
        if (error)
            log(LogLevel::warn, "  ⚠ 清理 ~/Applications 历史副本失败（可手动删除）: " +
                                    copy.string() + " — " + error.message());
        else
            log(LogLevel::info, "  • 已清理 ~/Applications 历史副本: " + copy.string());
    }
}

} // namespace

bool isStagingFolderName(std::string_view name) {
    return platform::isTemporaryName(name, stagingFolderPrefix);
}

bool isSetAsideFolderName(std::string_view name) {
    return platform::isTemporaryName(name, setAsideFolderPrefix);
}

bool restoreSetAsideBundles(const fs::path& staging, const fs::path& destinationDirectory,
                            const std::string& appName) {
    std::vector<std::string> names = bundleNames(appName);
    bool anyInPlace = std::any_of(names.begin(), names.end(), [&](const std::string& bundleName) {
        return existsAsAnything(destinationDirectory / bundleName);
    });
    bool allDone = true;
    for (const auto& aside : sortedEntries(staging)) {
        if (!isSetAsideFolderName(aside.filename().string())) continue;
        for (const auto& bundle : sortedEntries(aside)) {
            fs::path original = destinationDirectory / bundle.filename();
            // Only a bundle of ours goes back, and only where the user has none now.
            if (anyInPlace ||
                std::find(names.begin(), names.end(), bundle.filename()) == names.end() ||
                existsAsAnything(original))
                continue;
            try {
                platform::moveItem(bundle, original);
                log(LogLevel::info, "🔧 已恢复上次中断时移开的旧版 app: " + original.string());
            } catch (const std::exception& e) {
                allDone = false;
                log(LogLevel::warn, "  ⚠ 无法恢复上次中断时移开的旧版 app，它仍在 " +
                                        bundle.string() + "：" + e.what());
            }
        }
    }
    return allDone;
}

std::optional<fs::path> findBundle(const fs::path& staging) {
    std::vector<fs::path> entries = sortedEntries(staging);
    for (const auto& entry : entries)
        if (isBundleName(entry) && isRealDirectory(entry)) return entry;
    for (const auto& entry : entries) {
        if (isBundleName(entry) || !isRealDirectory(entry)) continue;
        for (const auto& child : sortedEntries(entry))
            if (isBundleName(child) && isRealDirectory(child)) return child;
    }
    return std::nullopt;
}

std::string desktopEntryText(const fs::path& bundle, const std::string& displayName) {
    std::string text = "[Desktop Entry]\n"
                       "Type=Application\n"
                       "Name=" +
                       stringValue(displayName) + "\n" + "Exec=" + execValue(bundle / "AppRun") +
                       "\n" + "Path=" + stringValue(bundle.string()) + "\n";
    std::error_code error;
    if (fs::exists(bundle / ".DirIcon", error))
        text += "Icon=" + stringValue((bundle / ".DirIcon").string()) + "\n";
    text += "Terminal=false\n"
            "Categories=Utility;\n";
    return text;
}

void registerBundle(const fs::path& bundle, const std::string& bundleIdentifier) {
    fs::path applications = platform::dataHome() / "applications";
    std::string bundlePath = bundle.string();
    try {
        if (bundlePath.find_first_of("\n\r") != std::string::npos)
            throw std::runtime_error("路径含有换行符，无法写入桌面项: " + bundlePath);
        fs::create_directories(applications);
        platform::atomicWriteFile(applications / (bundleIdentifier + ".desktop"),
                                  desktopEntryText(bundle, bundle.stem().string()));
    } catch (const std::exception& e) {
        log(LogLevel::warn, std::string("  • lsregister 失败（忽略）: ") + e.what());
        return;
    }
    auto tool = findInPath("update-desktop-database");
    if (!tool) {
        // The desktop entry is already written: only the database refresh is skipped.
        log(LogLevel::warn, "  • update-desktop-database 不存在，跳过桌面数据库更新");
        return;
    }
    try {
        SubprocessRunner::run(*tool, {applications.string()}, bundle.filename().string(),
                              "update-desktop-database " + applications.string());
        log(LogLevel::info, "  ✔ 已刷新 Launch Services 注册");
    } catch (const std::exception& e) {
        log(LogLevel::warn, std::string("  • lsregister 失败（忽略）: ") + e.what());
    }
}

fs::path installAppBundle(const fs::path& archive, const fs::path& destinationDirectory,
                          const std::string& appName, const std::string& bundleIdentifier,
                          const std::string& name, std::stop_token stop) {
    fs::create_directories(destinationDirectory);
    fs::path installed = destinationDirectory / appName;
    log(LogLevel::info, "▶ 安装 app bundle [" + name + "]");
    log(LogLevel::info, "  • 归档: " + archive.string());
    log(LogLevel::info, "  • 目标: " + installed.string());

    fs::path staging = destinationDirectory / platform::temporaryName(stagingFolderPrefix);
    StagingCleanup cleanup(staging);
    log(LogLevel::info, "  • staging 目录: " + staging.string());

    auto start = std::chrono::steady_clock::now();
    ArchiveExtractor::extractArchive(archive, staging, CVTAVAsset::Format::zip, name, stop);
    double elapsed =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    log(LogLevel::info, fmt::format("  ✔ 解压完成，耗时 {:.2f}s", elapsed));

    auto bundle = findBundle(staging);
    if (!bundle) {
        log(LogLevel::error, "  ✘ 归档里没有找到任何 *.app bundle");
        throw CorvelInstallError::extractFailed(
            name, "归档解压后未找到任何 *.app bundle（检查打包结构）");
    }
    // One that cannot start must not replace one that can.
    if (!isLaunchable(*bundle)) {
        log(LogLevel::error, "  ✘ " + bundle->filename().string() + " 里没有可执行的 AppRun");
        throw CorvelInstallError::extractFailed(name, "归档中的 " + bundle->filename().string() +
                                                          " 没有可执行的 AppRun（无法启动）");
    }
    log(LogLevel::info,
        "  • 定位到 bundle: " + bundle->filename().string() + " → 规范化为 " + appName);

    // Last chance to stop: from here the old bundle is moved and must be replaced.
    platform::throwIfStopped(stop);
    platform::killPoint("app.unpacked");
    std::vector<SetAside> old = setAsideOldBundles(destinationDirectory, appName, staging, cleanup);
    try {
        replaceBundle(*bundle, installed, staging, old);
    } catch (const std::exception& e) {
        log(LogLevel::error, std::string("  ✘ 搬运到目标失败: ") + e.what());
        putBack(old, cleanup);
        throw CorvelInstallError::moveFailed(name, std::current_exception());
    }
    log(LogLevel::info, "  ✔ 已安装到: " + installed.string());
    platform::killPoint("app.installed");

    registerBundle(installed, bundleIdentifier);
    cleanUserCopies(appName, destinationDirectory);
    return installed;
}

} // namespace CorvelAppInstaller
