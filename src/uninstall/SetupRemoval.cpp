#include "uninstall/SetupRemoval.h"

#include "download/CacheSlot.h"
#include "install/RunningApplications.h"
#include "platform/Directories.h"
#include "record/CorvelSetupManifest.h"
#include "record/InstalledFiles.h"
#include "shareddata/CVSharedDataPaths.h"
#include "types/CVTAVAsset.h"

#include <algorithm>
#include <system_error>

namespace fs = std::filesystem;

namespace SetupRemoval {

namespace {

// Bytes the files below `path` take, links not followed; 0 when it is gone.
std::int64_t bytesOnDisk(const fs::path& path) {
    std::error_code error;
    const fs::file_status status = fs::symlink_status(path, error);
    if (error || !fs::exists(status)) return 0;
    if (!fs::is_directory(status)) {
        const auto size = fs::is_regular_file(status) ? fs::file_size(path, error) : 0;
        return error ? 0 : static_cast<std::int64_t>(size);
    }
    std::int64_t total = 0;
    for (fs::recursive_directory_iterator it(path, error), end; !error && it != end;
         it.increment(error)) {
        std::error_code sizeError;
        if (it->is_regular_file(sizeError) && !it->is_symlink(sizeError)) {
            const auto size = it->file_size(sizeError);
            if (!sizeError) total += static_cast<std::int64_t>(size);
        }
    }
    return total;
}

bool present(const fs::path& path) {
    std::error_code error;
    return fs::exists(fs::symlink_status(path, error));
}

// The folder resolved, and the path with its parent resolved: the last
// component itself may be a link, which removing takes away, not its target.
fs::path resolvedParent(const fs::path& path) {
    std::error_code error;
    const fs::path parent = fs::weakly_canonical(path.parent_path(), error);
    return (error ? path.parent_path().lexically_normal() : parent) / path.filename();
}

} // namespace

bool isInside(const fs::path& path, const fs::path& folder) {
    if (!path.is_absolute() || path.filename().empty() || path.filename() == "." ||
        path.filename() == "..")
        return false;
    std::error_code error;
    fs::path root = fs::weakly_canonical(folder, error);
    if (error) return false;
    const fs::path candidate = resolvedParent(path.lexically_normal());
    auto r = root.begin();
    auto c = candidate.begin();
    for (; r != root.end() && !r->empty(); ++r, ++c)
        if (c == candidate.end() || *r != *c) return false;
    return c != candidate.end() && !c->empty();
}

std::vector<Installed> installed() {
    std::vector<Installed> items;
    for (const CorvelSetupManifest::Entry& entry : CorvelSetupManifest::load().entries)
        items.push_back({entry.name, entry.installedPath, bytesOnDisk(entry.installedPath),
                         entry.url, entry.completedAt});
    return items;
}

Plan plan(const std::string& bundleIdentifier) {
    Plan result;
    const std::vector<fs::path> allowed{CVSharedDataPaths::dataRoot(),
                                        CVTAVAsset::applicationsDirectory()};
    auto add = [&result](const fs::path& path) {
        if (present(path) &&
            std::find(result.remove.begin(), result.remove.end(), path) == result.remove.end())
            result.remove.push_back(path);
    };
    for (const CorvelSetupManifest::Entry& entry : CorvelSetupManifest::load().entries) {
        const fs::path path(entry.installedPath);
        const bool inside = std::any_of(allowed.begin(), allowed.end(),
                                        [&](const fs::path& root) { return isInside(path, root); });
        // The data directory's own folders hold the user's files too.
        const bool aFolderOfTheLayout =
            resolvedParent(path) == resolvedParent(CVSharedDataPaths::llmDataDirectory());
        if (inside && !aFolderOfTheLayout)
            add(path);
        else if (present(path) || !entry.installedPath.empty())
            result.refused.push_back(path);
    }
    add(platform::dataHome() / "applications" / (bundleIdentifier + ".desktop"));
    add(cache::downloadsRoot());
    add(InstalledFiles::keptAppArchive());
    add(InstalledFiles::listPath());
    add(CorvelSetupManifest::manifestPath());
    return result;
}

Outcome remove(const Plan& plan) {
    Outcome outcome;
    std::vector<fs::path> order = plan.remove;
    // The record goes last: until then a second try finds what is left.
    const auto record = std::find(order.begin(), order.end(), CorvelSetupManifest::manifestPath());
    if (record != order.end()) std::rotate(record, record + 1, order.end());
    for (const fs::path& path : order) {
        std::error_code error;
        // A copy still running from the bundle would keep its files open and
        // write into a folder that is no longer anybody's.
        if (fs::is_directory(fs::symlink_status(path, error)) &&
            isInside(path, CVTAVAsset::applicationsDirectory()))
            RunningApplications::stopRunningCopies(path);
        fs::remove_all(path, error);
        if (error)
            outcome.failed.emplace_back(path, error.message());
        else
            outcome.removed.push_back(path);
    }
    std::error_code error;
    for (fs::recursive_directory_iterator it(CVSharedDataPaths::dataRoot(), error), end;
         !error && it != end; it.increment(error))
        if (!it->is_directory() || it->is_symlink()) outcome.kept.push_back(it->path());
    std::sort(outcome.kept.begin(), outcome.kept.end());
    return outcome;
}

} // namespace SetupRemoval
