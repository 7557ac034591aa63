#pragma once

#include "log/CorvelSetupLogger.h"
#include "support/TempHome.h"

#include <csignal>
#include <cstddef>
#include <fcntl.h>
#include <functional>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <optional>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

// Work run in a child process under a system-call filter, so that a system
// call can fail as it would on a full disk without filling one.
namespace testsupport {

// The child's wait status once it has ended; nothing when it still runs after
// a generous bound (it is then killed and reaped, so a test never hangs).
inline std::optional<int> exitStatus(pid_t pid) {
    int status = 0;
    if (waitUntil([&] { return ::waitpid(pid, &status, WNOHANG) == pid; })) return status;
    ::kill(pid, SIGKILL);
    ::waitpid(pid, &status, 0);
    return std::nullopt;
}

// Runs `work` in a child process under a system-call filter: `rules`, given
// the first descriptor number free in the child, ends in either an errno
// return or a fall-through to "allow". The child's wait status; exit code 77
// when the system cannot filter system calls.
inline std::optional<int> inFilteredChild(const std::function<std::vector<sock_filter>(int)>& rules,
                                          const std::function<int()>& work) {
    CorvelSetupLogger::shared().flush(); // its writer then holds no lock the child needs
    pid_t child = ::fork();
    if (child == 0) {
        int next = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
        ::close(next);
        std::vector<sock_filter> filter = rules(next);
        filter.push_back(BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW));
        sock_fprog program{static_cast<unsigned short>(filter.size()), filter.data()};
        if (::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0 ||
            ::prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) != 0)
            ::_exit(77);
        ::_exit(work());
    }
    return exitStatus(child);
}

inline sock_filter failWith(int error) {
    return BPF_STMT(BPF_RET | BPF_K,
                    SECCOMP_RET_ERRNO | (static_cast<unsigned>(error) & SECCOMP_RET_DATA));
}

// System call `call` on a descriptor opened in the child (at least `next`)
// fails with `error` when the low word of its argument `arg` compares as
// `comparison` (BPF_JEQ, BPF_JGE, ...) with `value`.
inline std::vector<sock_filter> failOnOwnDescriptors(int next, unsigned call, unsigned arg,
                                                     unsigned comparison, unsigned value,
                                                     int error) {
    return {BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
            BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, call, 0, 5),
            BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, args[0])),
            BPF_JUMP(BPF_JMP | BPF_JGE | BPF_K, static_cast<unsigned>(next), 0, 3),
            BPF_STMT(BPF_LD | BPF_W | BPF_ABS,
                     static_cast<unsigned>(offsetof(seccomp_data, args) + arg * sizeof(__u64))),
            BPF_JUMP(BPF_JMP | comparison | BPF_K, value, 0, 1),
            failWith(error)};
}

} // namespace testsupport
