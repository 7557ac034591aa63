#include "pipeline/SetupSession.h"

#include "download/CacheSlot.h"
#include "install/CorvelAppInstaller.h"
#include "install/CorvelAssetExtractor.h"
#include "log/CorvelSetupLogger.h"
#include "platform/Directories.h"
#include "shareddata/CVSharedDataPaths.h"
#include "types/CVTAVAsset.h"

#include <fcntl.h>
#include <sys/file.h>

#include <cerrno>
#include <functional>
#include <string_view>
#include <system_error>
#include <vector>

namespace fs = std::filesystem;

std::filesystem::path SetupLock::lockPath() {
    return cache::downloadsRoot().parent_path() / "setup.lock";
}

std::optional<SetupLock> SetupLock::tryAcquire() {
    fs::path path = lockPath();
    fs::create_directories(path.parent_path());
    platform::UniqueFd fd(::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0644));
    if (!fd)
        throw std::system_error(errno, std::generic_category(), "cannot open " + path.string());
    while (::flock(fd.get(), LOCK_EX | LOCK_NB) != 0) {
        if (errno == EINTR) continue;
        if (errno == EWOULDBLOCK) return std::nullopt;
        throw std::system_error(errno, std::generic_category(), "cannot lock " + path.string());
    }
    return SetupLock(std::move(fd));
}

namespace {

bool removeLogged(const fs::path& path) {
    std::error_code error;
    fs::remove_all(path, error);
    if (error) {
        log(LogLevel::warn,
            "  ⚠ 无法清理上次中断留下的临时目录: " + path.string() + " — " + error.message());
        return false;
    }
    log(LogLevel::info, "🔧 已清理上次中断留下的临时目录: " + path.string());
    return true;
}

// Entries of `directory` that are real folders (never links) with a matching name.
std::vector<fs::path> matchingFolders(const fs::path& directory,
                                      const std::function<bool(std::string_view)>& matches) {
    std::vector<fs::path> found;
    std::error_code error;
    for (fs::directory_iterator it(directory, error), end; !error && it != end;
         it.increment(error)) {
        std::error_code statusError;
        if (matches(it->path().filename().string()) && it->is_directory(statusError) &&
            !it->is_symlink(statusError))
            found.push_back(it->path());
    }
    return found;
}

bool holdsSetAsideBundle(const fs::path& staging) {
    return !matchingFolders(staging, CorvelAppInstaller::isSetAsideFolderName).empty();
}

// Half-copied entries of a merge may sit at any depth of the merged trees.
int removeMergeTemporaries(const fs::path& root) {
    int removed = 0;
    std::error_code error;
    fs::recursive_directory_iterator it(root, fs::directory_options::skip_permission_denied, error);
    for (fs::recursive_directory_iterator end; !error && it != end; it.increment(error)) {
        if (!CVSharedDataPaths::isMergeTemporaryName(it->path().filename().string())) continue;
        it.disable_recursion_pending();
        std::error_code linkError;
        if (it->is_symlink(linkError)) continue;
        removed += removeLogged(it->path()) ? 1 : 0;
    }
    return removed;
}

} // namespace

int removeLeftovers() noexcept {
    int removed = 0;
    try {
        const fs::path applications = CVTAVAsset::applicationsDirectory();
        for (const fs::path& beside :
             {standardizedPath(CVTAVAsset::llmDataDirectory()).parent_path(),
              standardizedPath(applications).parent_path()})
            for (const fs::path& folder :
                 matchingFolders(beside, CorvelAssetExtractor::isExtractionFolderName))
                removed += removeLogged(folder) ? 1 : 0;

        for (const fs::path& staging :
             matchingFolders(applications, CorvelAppInstaller::isStagingFolderName)) {
            if (holdsSetAsideBundle(staging)) {
                log(LogLevel::warn,
                    "  ⚠ 保留含有旧版 app 的 staging 目录（未能放回原处）: " + staging.string());
                continue;
            }
            removed += removeLogged(staging) ? 1 : 0;
        }

        const fs::path support = CVSharedDataPaths::applicationSupportDirectory();
        for (const fs::path& root : {CVSharedDataPaths::dataRoot(), support / "Corvel",
                                     platform::homeDirectory() / ".corvel-build"})
            removed += removeMergeTemporaries(root);
    } catch (...) {
        // A path lookup that fails leaves the rest for the next run.
    }
    return removed;
}
