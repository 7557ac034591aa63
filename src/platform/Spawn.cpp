#include "platform/Spawn.h"

#include <cerrno>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <system_error>
#include <unistd.h>

extern char** environ;

namespace platform {

namespace {

class FileActions {
  public:
    FileActions() { posix_spawn_file_actions_init(&actions_); }
    ~FileActions() { posix_spawn_file_actions_destroy(&actions_); }
    posix_spawn_file_actions_t* get() { return &actions_; }

  private:
    posix_spawn_file_actions_t actions_{};
};

class SpawnAttributes {
  public:
    SpawnAttributes() { posix_spawnattr_init(&attributes_); }
    ~SpawnAttributes() { posix_spawnattr_destroy(&attributes_); }
    posix_spawnattr_t* get() { return &attributes_; }

  private:
    posix_spawnattr_t attributes_{};
};

void mapStream(posix_spawn_file_actions_t* actions, int source, int target) {
    if (source < 0)
        posix_spawn_file_actions_addopen(actions, target, "/dev/null",
                                         target == 0 ? O_RDONLY : O_WRONLY, 0);
    else
        posix_spawn_file_actions_adddup2(actions, source, target);
}

} // namespace

pid_t spawnProcess(const SpawnOptions& options) {
    FileActions actions;
    mapStream(actions.get(), options.stdinFd, 0);
    mapStream(actions.get(), options.stdoutFd, 1);
    mapStream(actions.get(), options.stderrFd, 2);
    // Belt and braces: even a descriptor someone opened without O_CLOEXEC stays with us.
    posix_spawn_file_actions_addclosefrom_np(actions.get(), 3);

    SpawnAttributes attributes;
    sigset_t defaults;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);
    sigaddset(&defaults, SIGTERM);
    sigaddset(&defaults, SIGINT);
    sigset_t noMask;
    sigemptyset(&noMask);
    short flags = POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK;
    if (options.newSession) flags |= POSIX_SPAWN_SETSID;
    posix_spawnattr_setsigdefault(attributes.get(), &defaults);
    posix_spawnattr_setsigmask(attributes.get(), &noMask);
    posix_spawnattr_setflags(attributes.get(), flags);

    std::string path = options.executable.string();
    std::vector<char*> argv;
    argv.push_back(path.data());
    std::vector<std::string> arguments = options.arguments;
    for (auto& argument : arguments)
        argv.push_back(argument.data());
    argv.push_back(nullptr);

    pid_t pid = -1;
    int error =
        ::posix_spawn(&pid, path.c_str(), actions.get(), attributes.get(), argv.data(), environ);
    if (error != 0) throw std::system_error(error, std::generic_category(), "cannot start " + path);
    return pid;
}

Pipe makePipe() {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0)
        throw std::system_error(errno, std::generic_category(), "pipe");
    return Pipe{UniqueFd(fds[0]), UniqueFd(fds[1])};
}

int waitForExit(pid_t pid) {
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) return -1;
    }
    return status;
}

} // namespace platform
