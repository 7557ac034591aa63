#include "pipeline/SetupSession.h"

#include "download/CacheSlot.h"
#include "download/SegmentedTransfer.h"
#include "install/CorvelAppInstaller.h"
#include "install/CorvelAssetExtractor.h"
#include "log/CorvelSetupLogger.h"
#include "platform/Directories.h"
#include "platform/FileOps.h"
#include "platform/FolderHold.h"
#include "shareddata/CVSharedDataPaths.h"
#include "shareddata/CVSystemProfile.h"
#include "types/CVTAVAsset.h"

#include <fcntl.h>
#include <sys/file.h>

#include <cerrno>
#include <cstring>
#include <functional>
#include <set>
#include <string_view>
#include <sys/stat.h>
#include <system_error>
#include <vector>

namespace fs = std::filesystem;

std::vector<fs::path> SetupLock::lockPaths() {
    // On the real folders: two homes whose folders are links to one shared
    // folder share its lock. The applications folder is guarded through the
    // folder that holds it, locked as a directory: a lock file inside it would
    // create ~/Applications (and leave a file there) even for a run that is
    // refused before installing.
    auto real = [](const fs::path& path) {
        std::error_code error;
        fs::path resolved = fs::weakly_canonical(path, error);
        return error ? path : resolved;
    };
    // The data folder likewise, through the nearest folder above it that
    // exists: a link to a shared data folder makes that the shared one.
    return {real(cache::downloadsRoot().parent_path()) / "setup.lock",
            real(CVSharedDataPaths::applicationSupportDirectory()) / ".com.corvel.data.setup.lock",
            real(CVTAVAsset::applicationsDirectory()).parent_path(),
            nearestExistingFolder(real(CVTAVAsset::llmDataDirectory()).parent_path())};
}

std::optional<SetupLock> SetupLock::tryAcquire() {
    std::vector<platform::UniqueFd> held;
    std::set<std::pair<dev_t, ino_t>> files;
    for (const fs::path& path : lockPaths()) {
        std::error_code error;
        platform::UniqueFd fd;
        if (fs::is_directory(path, error)) {
            fd = platform::UniqueFd(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        } else {
            fs::create_directories(path.parent_path(), error);
            fd = platform::UniqueFd(
                ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0644));
        }
        struct stat info {};
        if (!fd || ::fstat(fd.get(), &info) != 0)
            platform::throwFileError("cannot create the setup lock", path, errno);
        // Folders that coincide share one lock: a second flock of the same file
        // through another descriptor would refuse this very run.
        if (!files.insert({info.st_dev, info.st_ino}).second) continue;
        for (;;) {
            if (::flock(fd.get(), LOCK_EX | LOCK_NB) == 0) break;
            if (errno == EINTR) continue;
            if (errno == EWOULDBLOCK) return std::nullopt;
            platform::throwFileError("cannot lock the setup lock", path, errno);
        }
        held.push_back(std::move(fd));
    }
    return SetupLock(std::move(held));
}

namespace {

bool removeLogged(const fs::path& path) {
    std::error_code error;
    platform::removeTree(path, error);
    if (error) {
        log(LogLevel::warn,
            "  ⚠ 无法清理上次中断留下的临时目录: " + path.string() + " — " + error.message());
        return false;
    }
    log(LogLevel::info, "🔧 已清理上次中断留下的临时目录: " + path.string());
    return true;
}

// Temporary files an atomic write of `targetName` left in `directory`.
int removeWriteTemporaries(const fs::path& directory, const std::string& targetName) {
    int removed = 0;
    std::error_code error;
    for (fs::directory_iterator it(directory, error), end; !error && it != end;
         it.increment(error)) {
        std::error_code statusError;
        if (!platform::isAtomicWriteTemporaryName(it->path().filename().string(), targetName) ||
            !it->is_regular_file(statusError) || it->is_symlink(statusError))
            continue;
        std::error_code removeError;
        if (fs::remove(it->path(), removeError)) {
            log(LogLevel::info, "🔧 已清理上次中断留下的临时文件: " + it->path().string());
            ++removed;
        }
    }
    return removed;
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

int removeLeftovers(const std::string& appName, const std::string& bundleIdentifier) noexcept {
    int removed = 0;
    try {
        const fs::path applications = CVTAVAsset::applicationsDirectory();
        // First the user's application: a kill mid-swap may have left it set aside.
        for (const fs::path& staging :
             matchingFolders(applications, CorvelAppInstaller::isStagingFolderName)) {
            // A live run of another home that shares this folder holds its own.
            auto hold = platform::tryHoldFolder(staging);
            if (!hold) continue;
            if (!CorvelAppInstaller::restoreSetAsideBundles(staging, applications, appName)) {
                log(LogLevel::warn,
                    "  ⚠ 保留含有旧版 app 的 staging 目录（未能放回原处）: " + staging.string());
                continue;
            }
            removed += removeLogged(staging) ? 1 : 0;
        }

        for (const fs::path& beside :
             {standardizedPath(CVTAVAsset::llmDataDirectory()).parent_path(),
              standardizedPath(applications).parent_path()})
            for (const fs::path& folder :
                 matchingFolders(beside, CorvelAssetExtractor::isExtractionFolderName))
                if (auto hold = platform::tryHoldFolder(folder))
                    removed += removeLogged(folder) ? 1 : 0;

        const fs::path support = CVSharedDataPaths::applicationSupportDirectory();
        for (const fs::path& root : {CVSharedDataPaths::dataRoot(), support / "Corvel",
                                     platform::homeDirectory() / ".corvel-build"})
            removed += removeMergeTemporaries(root);

        for (const char* written : {"SetupManifest.json", "ManifestSignedAt", "SetupFiles.json"})
            removed += removeWriteTemporaries(CVSharedDataPaths::llmDataDirectory(), written);
        removed += removeWriteTemporaries(platform::dataHome() / "applications",
                                          bundleIdentifier + ".desktop");
        std::error_code error;
        for (fs::directory_iterator it(cache::downloadsRoot(), error), end; !error && it != end;
             it.increment(error)) {
            removed += removeWriteTemporaries(it->path(), "meta.json");
            removed += SegmentedTransfer::removeRecordTemporaries(it->path());
        }
    } catch (...) {
        // A path lookup that fails leaves the rest for the next run.
    }
    return removed;
}
