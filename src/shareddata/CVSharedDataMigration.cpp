// Moves the former layout (com.tavrin.data, TAVRIN_DATA, ...) into the current
// one. Every step is retried on every run, so a step that fails leaves both
// layouts complete and a later run finishes the job.
#include "shareddata/CVSharedDataPaths.h"

#include "platform/Directories.h"
#include "platform/FileOps.h"
#include "shareddata/DirectoryListing.h"

#include <algorithm>
#include <cerrno>
#include <system_error>

namespace CVSharedDataPaths {

namespace {

using detail::existsAsAnything;

bool existsFollowing(const fs::path& path) {
    std::error_code error;
    return fs::exists(fs::status(path, error));
}

bool isDirectory(const fs::path& path) {
    std::error_code error;
    return fs::is_directory(fs::status(path, error));
}

// A copy cut short (disk full, an unreadable entry) must not be left at its
// final name: the next run would take the half copy for the target's own,
// keep it and remove the complete source. So it is made under a temporary
// name and renamed into place only when whole.
void copyWhole(const fs::path& from, const fs::path& to) {
    fs::path temporary = to.parent_path() / platform::temporaryName(mergeTemporaryPrefix);
    try {
        platform::copyItem(from, temporary);
        fs::rename(temporary, to);
    } catch (...) {
        std::error_code ignored;
        platform::removeTree(temporary, ignored);
        throw;
    }
}

// The top-level locations are the program's own and may be links the user set
// up (a data root on another disk), so they are followed; anything below them
// is content, and a link there is copied as a link and never descended into.
void mergeInto(const fs::path& source, const fs::path& target, bool followTarget) {
    std::error_code error;
    auto targetStatus =
        followTarget ? fs::status(target, error) : fs::symlink_status(target, error);
    if (!fs::is_directory(targetStatus))
        throw fs::filesystem_error("cannot merge into a non-directory", source, target,
                                   std::make_error_code(std::errc::not_a_directory));

    std::vector<fs::directory_entry> entries;
    for (const auto& entry : fs::directory_iterator(source))
        entries.push_back(entry);
    for (bool hiddenPass : {false, true}) {
        for (const auto& entry : entries) {
            std::string name = entry.path().filename().string();
            if ((name.front() == '.') != hiddenPass) continue;
            fs::path targetEntry = target / name;
            bool entryIsDirectory = entry.is_directory() && !entry.is_symlink();
            if (!existsAsAnything(targetEntry)) {
                copyWhole(entry.path(), targetEntry);
            } else if (entryIsDirectory) {
                mergeInto(entry.path(), targetEntry, false);
            } // a file the target already has: the target's copy wins
        }
    }
}

bool overlaps(const fs::path& source, const fs::path& target) {
    std::error_code error;
    fs::path from = fs::canonical(source, error);
    if (error) return true;
    fs::path to = fs::weakly_canonical(target, error);
    if (error) return true;
    auto [end, rest] = std::mismatch(from.begin(), from.end(), to.begin(), to.end());
    return end == from.end() || rest == to.end();
}

} // namespace

bool isEffectivelyEmpty(const fs::path& directory) noexcept {
    try {
        auto names = detail::listNames(directory);
        if (!names) return false;
        for (const auto& name : *names)
            if (name != ".DS_Store" && name != ".localized") return false;
        return true;
    } catch (...) {
        return false;
    }
}

void mergeDirectory(const fs::path& source, const fs::path& target) {
    if (!isDirectory(source)) return;
    if (!existsAsAnything(target)) {
        if (target.has_parent_path()) fs::create_directories(target.parent_path());
        copyWhole(source, target);
        return;
    }
    mergeInto(source, target, true);
}

bool moveDirectoryIntoPlace(const fs::path& source, const fs::path& target) noexcept {
    try {
        if (!isDirectory(source)) return false;
        std::error_code error;
        if (existsAsAnything(target)) {
            if (!isEffectivelyEmpty(target)) return false;
            fs::remove_all(target, error);
            if (error) return false;
        }
        if (target.has_parent_path()) {
            fs::create_directories(target.parent_path(), error);
            if (error) return false;
        }
        platform::moveItem(source, target);
        return true;
    } catch (...) {
        return false;
    }
}

bool migrateDirectory(const fs::path& source, const fs::path& target) noexcept {
    try {
        // A plain file where a former folder should be is not ours to move or delete.
        if (!isDirectory(source)) return false;
        if (moveDirectoryIntoPlace(source, target)) return true;
        if (!existsAsAnything(target)) return false;
        // When a link makes the target the source itself (or a place inside it),
        // removing the source after the merge would delete the target's content.
        if (overlaps(source, target)) return false;
        try {
            mergeDirectory(source, target);
        } catch (...) {
            return false; // the source stays complete for the next attempt
        }
        std::error_code error;
        platform::removeTree(source, error);
        return !error;
    } catch (...) {
        return false;
    }
}

RootOutcome migrateDataRoot() noexcept {
    fs::path legacy = legacyDataRoot();
    if (!existsFollowing(legacy)) return RootOutcome::noLegacy;
    if (migrateDirectory(legacy, dataRoot())) return RootOutcome::migrated;
    return existsAsAnything(legacy) ? RootOutcome::bothPresent : RootOutcome::legacyGone;
}

void migrateStorageID() noexcept {
    try {
        fs::path identity = dataDirectory(".corvel_storage_id");
        if (existsAsAnything(identity)) return;
        for (const auto& former :
             {dataDirectory(".tavrin_storage_id"), legacyDataDirectory(".tavrin_storage_id")}) {
            if (!existsAsAnything(former)) continue;
            try {
                platform::moveItem(former, identity);
            } catch (...) {
                // left for a later run; the data root is not created for it
            }
            return;
        }
    } catch (...) {
    }
}

MigrationResult migrateLegacyData() noexcept {
    MigrationResult result;
    try {
        result.rootOutcome = migrateDataRoot();
        fs::path dataFolder = dataDirectory("CORVEL_DATA");
        bool fromCurrentRoot = migrateDirectory(dataDirectory("TAVRIN_DATA"), dataFolder);
        bool fromLegacyRoot = migrateDirectory(legacyDataDirectory("TAVRIN_DATA"), dataFolder);
        result.dataFolderMoved = fromCurrentRoot || fromLegacyRoot;
        fs::path support = applicationSupportDirectory();
        result.appFolderMigrated = migrateDirectory(support / "TAVRIN", support / "Corvel");
        fs::path home = platform::homeDirectory();
        result.buildFolderMigrated =
            migrateDirectory(home / ".tavrin-build", home / ".corvel-build");
        migrateStorageID();
    } catch (...) {
        // path lookups allocate; nothing else can escape, and the result so far stands
    }
    return result;
}

bool isMergeTemporaryName(std::string_view name) {
    return platform::isTemporaryName(name, mergeTemporaryPrefix);
}

void ensureLLMDataDirectory() {
    migrateLegacyData();
    fs::create_directories(llmDataDirectory());
}

} // namespace CVSharedDataPaths
