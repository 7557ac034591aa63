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

// Processes of this user, never this one, whose executable lies inside
// `bundle`, or whose argv[0] is a shell or script interpreter (by base name)
// and whose argv[1] (resolved against the process's working directory when
// relative) lies inside it. A launcher script is run by /bin/sh, so the
// executable alone would miss it; a tail or an editor on a file of the bundle
// is no copy.
std::vector<RunningCopy> findRunningCopies(const std::filesystem::path& bundle);

// Asks every running copy of `bundle` to quit (SIGTERM), waits until none runs
// or `grace` has passed, then kills (SIGKILL) every copy running then, also
// one started during the wait. Returns without waiting for the killed ones to end.
void stopRunningCopies(const std::filesystem::path& bundle,
                       std::chrono::milliseconds grace = std::chrono::seconds(3));

} // namespace RunningApplications
