#pragma once

#include "platform/UniqueFd.h"

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

// One setup at a time for everything a run shares with another: the download
// cache, the shared data directory and the applications folder. Each has its
// own advisory lock file, so two runs that share any one of them (say one data
// directory under two cache folders) never proceed together, while runs of
// different users or HOMEs do. The kernel releases the locks when the process
// ends, however it ends.
class SetupLock {
  public:
    // Nothing when another process holds one of the locks. Throws a file
    // error naming the lock that cannot be created or taken: a run without
    // its lock must not clean up or install.
    static std::optional<SetupLock> tryAcquire();

    // The lock files (and the one folder locked as itself), in the order they are taken.
    static std::vector<std::filesystem::path> lockPaths();

  private:
    explicit SetupLock(std::vector<platform::UniqueFd> fds) : fds_(std::move(fds)) {}
    std::vector<platform::UniqueFd> fds_;
};

// Repairs and removes what a killed run left behind: puts back an old
// application bundle that was set aside when none is in place (logged), then
// removes unpacking folders beside the data and applications destinations,
// bundle staging folders, half-copied migration entries and the temporary
// files of atomic writes (setup record, signing time, cache metadata, desktop
// entry). Only
// names that one of those layers makes are touched; a staging or unpacking
// folder that a live run holds (another home's run, through a shared folder)
// is left alone, and a staging folder whose set-aside bundle could not be put
// back is kept. Call it only while holding the SetupLock. Never throws; returns
// how many it removed.
int removeLeftovers(const std::string& appName, const std::string& bundleIdentifier) noexcept;
