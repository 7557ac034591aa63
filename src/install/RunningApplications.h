#pragma once

#include "platform/UniqueFd.h"

#include <chrono>
#include <filesystem>
#include <sys/types.h>
#include <vector>

// Running copies of an application bundle, found through /proc.
namespace RunningApplications {

// A matching process, pinned by a pidfd so that signals never reach a later
// process that happens to reuse its PID.
struct RunningCopy {
    pid_t pid = -1;
    platform::UniqueFd pidfd;
};

// Processes of this user, never this one, whose executable or whose argv[0] or
// argv[1] (resolved against the process's working directory when relative and
// containing a "/") lies inside `bundle`. A launcher script is run by /bin/sh,
// so the executable alone would miss it.
std::vector<RunningCopy> findRunningCopies(const std::filesystem::path& bundle);

// Asks every running copy of `bundle` to quit (SIGTERM), waits until all have
// ended or `grace` has passed, then kills (SIGKILL) those still running.
// Returns without waiting for the killed ones to end.
void stopRunningCopies(const std::filesystem::path& bundle,
                       std::chrono::milliseconds grace = std::chrono::seconds(3));

} // namespace RunningApplications
