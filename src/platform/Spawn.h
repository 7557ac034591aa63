#pragma once

#include "platform/UniqueFd.h"

#include <filesystem>
#include <string>
#include <sys/types.h>
#include <vector>

namespace platform {

struct SpawnOptions {
    std::filesystem::path executable;
    // argv[1...]; argv[0] is the executable path.
    std::vector<std::string> arguments;
    // Descriptors for the child's standard streams; -1 means /dev/null.
    int stdinFd = -1;
    int stdoutFd = -1;
    int stderrFd = -1;
    // Start the child in a session of its own (detached from our terminal and signals).
    bool newSession = false;
};

// Starts a process. The child inherits no descriptor but its three standard
// streams. Throws std::system_error when the process cannot be started
// (including a missing or non-executable file).
pid_t spawnProcess(const SpawnOptions& options);

// A pipe whose both ends are close-on-exec.
struct Pipe {
    UniqueFd read;
    UniqueFd write;
};
Pipe makePipe();

// Waits for the child and returns its wait status (as from waitpid), retrying on EINTR.
int waitForExit(pid_t pid);

} // namespace platform
