#include "install/RunningApplications.h"

#include "log/CorvelSetupLogger.h"

#include <fmt/format.h>

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <optional>
#include <poll.h>
#include <string>
#include <string_view>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace RunningApplications {

namespace {

// Direct system calls: this C library's pidfd header lacks C linkage for C++.
int pidfdOpen(pid_t pid) {
    return static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
}

void pidfdSendSignal(int pidfd, int signal) {
    ::syscall(SYS_pidfd_send_signal, pidfd, signal, nullptr, 0);
}

std::optional<fs::path> readLink(const fs::path& link) {
    std::error_code error;
    fs::path target = fs::read_symlink(link, error);
    if (error) return std::nullopt;
    return target;
}

std::vector<std::string> commandLine(const fs::path& processDirectory) {
    std::string text;
    platform::UniqueFd fd(::open((processDirectory / "cmdline").c_str(), O_RDONLY | O_CLOEXEC));
    if (fd) {
        char buffer[4096];
        for (;;) {
            ssize_t n = ::read(fd.get(), buffer, sizeof buffer);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) break;
            text.append(buffer, static_cast<std::size_t>(n));
        }
    }
    std::vector<std::string> arguments;
    std::size_t start = 0;
    while (start < text.size() && arguments.size() < 2) {
        std::size_t end = text.find('\0', start);
        if (end == std::string::npos) end = text.size();
        arguments.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return arguments;
}

fs::path resolved(const fs::path& path) {
    std::error_code error;
    fs::path result = fs::weakly_canonical(path, error);
    return error ? path.lexically_normal() : result;
}

bool isInside(const fs::path& candidate, const fs::path& root) {
    const std::string& text = candidate.native();
    const std::string& base = root.native();
    return text == base || (text.size() > base.size() && text.compare(0, base.size(), base) == 0 &&
                            text[base.size()] == '/');
}

// Shells and script interpreters, by the base name they run under ("-bash"
// for a login shell, "python3.11" for a versioned one).
bool isInterpreter(const std::string& argument0) {
    std::string name = fs::path(argument0).filename().string();
    if (name.starts_with('-')) name.erase(0, 1);
    for (std::string_view shell : {"sh", "bash", "dash", "zsh", "ksh", "mksh", "ash"})
        if (name == shell) return true;
    for (std::string_view interpreter : {"python", "perl", "ruby", "node", "lua", "tclsh"}) {
        if (!name.starts_with(interpreter)) continue;
        std::string_view version = std::string_view(name).substr(interpreter.size());
        if (version.find_first_not_of("0123456789.") == std::string_view::npos) return true;
    }
    return false;
}

bool matches(pid_t pid, const fs::path& bundle) {
    fs::path directory = fs::path("/proc") / std::to_string(pid);
    struct stat info {};
    if (::stat(directory.c_str(), &info) != 0 || info.st_uid != ::geteuid()) return false;

    if (auto executable = readLink(directory / "exe")) {
        std::string text = executable->native();
        const std::string deleted = " (deleted)";
        if (text.size() > deleted.size() && text.ends_with(deleted))
            text.resize(text.size() - deleted.size());
        if (isInside(fs::path(text), bundle)) return true;
    }
    // A script of the bundle runs under an interpreter that lies elsewhere. Any
    // other program given a file of the bundle (tail, an editor) is no copy.
    auto arguments = commandLine(directory);
    if (arguments.size() < 2 || !isInterpreter(arguments[0])) return false;
    fs::path script(arguments[1]);
    if (script.empty() || arguments[1].starts_with('-')) return false; // an option, not a file
    if (script.is_relative()) {
        auto workingDirectory = readLink(directory / "cwd");
        if (!workingDirectory) return false;
        script = *workingDirectory / script;
    }
    return isInside(resolved(script), bundle);
}

bool hasEnded(int pidfd) {
    pollfd fd{pidfd, POLLIN, 0};
    return ::poll(&fd, 1, 0) > 0;
}

} // namespace

std::vector<RunningCopy> findRunningCopies(const fs::path& bundle) {
    fs::path target = resolved(bundle);
    std::vector<RunningCopy> copies;
    std::error_code error;
    fs::directory_iterator it("/proc", error);
    if (error) return copies;
    pid_t self = ::getpid();
    for (; it != fs::directory_iterator(); it.increment(error)) {
        if (error) break;
        const std::string name = it->path().filename().string();
        if (name.empty() || name.find_first_not_of("0123456789") != std::string::npos) continue;
        pid_t pid = static_cast<pid_t>(std::stol(name));
        if (pid == self || !matches(pid, target)) continue;
        // Pin the process, then check again: if it is still alive after the
        // second check, that check described the pinned process.
        platform::UniqueFd pidfd(pidfdOpen(pid));
        if (!pidfd || !matches(pid, target) || hasEnded(pidfd.get())) continue;
        copies.push_back(RunningCopy{pid, std::move(pidfd)});
    }
    return copies;
}

void stopRunningCopies(const fs::path& bundle, std::chrono::milliseconds grace) {
    std::vector<RunningCopy> copies = findRunningCopies(bundle);
    if (copies.empty()) return;
    for (const auto& copy : copies) {
        log(LogLevel::info, fmt::format("  • 终止运行中的 Corvel（PID {}）", copy.pid));
        pidfdSendSignal(copy.pidfd.get(), SIGTERM);
    }

    auto deadline = std::chrono::steady_clock::now() + grace;
    for (;;) {
        std::erase_if(copies, [](const RunningCopy& copy) { return hasEnded(copy.pidfd.get()); });
        // A copy may have started another before it quit: look again before ending the wait.
        if (copies.empty()) copies = findRunningCopies(bundle);
        if (copies.empty()) return;
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) break;
        // Wakes as soon as any of them ends.
        std::vector<pollfd> fds;
        for (const auto& copy : copies)
            fds.push_back(pollfd{copy.pidfd.get(), POLLIN, 0});
        int timeout = static_cast<int>(std::min<long long>(left.count() + 1, 100));
        if (::poll(fds.data(), fds.size(), timeout) < 0 && errno != EINTR) break;
    }
    // Whatever runs now is forced, also a copy that was started during the wait.
    copies = findRunningCopies(bundle);
    for (const auto& copy : copies) {
        log(LogLevel::warn, fmt::format("  • 强制终止 Corvel（PID {}）", copy.pid));
        pidfdSendSignal(copy.pidfd.get(), SIGKILL);
    }
}

} // namespace RunningApplications
