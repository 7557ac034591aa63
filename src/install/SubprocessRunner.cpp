#include "install/SubprocessRunner.h"

#include "log/CorvelSetupLogger.h"
#include "platform/Spawn.h"
#include "types/CorvelInstallError.h"

#include <fmt/format.h>
#include <utf8proc.h>

#include <array>
#include <cerrno>
#include <chrono>
#include <poll.h>
#include <sys/wait.h>
#include <system_error>
#include <unistd.h>

namespace SubprocessRunner {

namespace {

// Reads both pipes until each reaches end of file. Polling them together means
// neither stream can fill up and block the tool while we wait on the other.
std::string drain(platform::UniqueFd& output, platform::UniqueFd& errors) {
    std::string captured;
    std::array<char, 65536> buffer;
    while (output || errors) {
        std::array<pollfd, 2> fds{};
        nfds_t count = 0;
        int outputIndex = -1;
        int errorsIndex = -1;
        if (output) {
            outputIndex = static_cast<int>(count);
            fds[count++] = pollfd{output.get(), POLLIN, 0};
        }
        if (errors) {
            errorsIndex = static_cast<int>(count);
            fds[count++] = pollfd{errors.get(), POLLIN, 0};
        }
        if (::poll(fds.data(), count, -1) < 0) {
            if (errno == EINTR) continue;
            throw std::system_error(errno, std::generic_category(), "poll");
        }
        auto service = [&](int index, platform::UniqueFd& fd, bool keep) {
            if (index < 0 || fds[static_cast<std::size_t>(index)].revents == 0) return;
            ssize_t n = ::read(fd.get(), buffer.data(), buffer.size());
            if (n < 0 && (errno == EINTR || errno == EAGAIN)) return;
            if (n <= 0) {
                fd.reset(); // end of file, or an error we cannot recover from
                return;
            }
            if (keep) captured.append(buffer.data(), static_cast<std::size_t>(n));
        };
        service(outputIndex, output, false);
        service(errorsIndex, errors, true);
    }
    return captured;
}

int terminationStatus(int waitStatus) {
    if (WIFEXITED(waitStatus)) return WEXITSTATUS(waitStatus);
    if (WIFSIGNALED(waitStatus)) return WTERMSIG(waitStatus);
    return waitStatus;
}

} // namespace

bool isValidUtf8(const std::string& bytes) {
    const auto* data = reinterpret_cast<const utf8proc_uint8_t*>(bytes.data());
    auto length = static_cast<utf8proc_ssize_t>(bytes.size());
    utf8proc_ssize_t position = 0;
    while (position < length) {
        utf8proc_int32_t codepoint = -1;
        utf8proc_ssize_t n = utf8proc_iterate(data + position, length - position, &codepoint);
        if (n <= 0) return false;
        position += n;
    }
    return true;
}

std::string graphemePrefix(const std::string& text, std::size_t count) {
    const auto* data = reinterpret_cast<const utf8proc_uint8_t*>(text.data());
    auto length = static_cast<utf8proc_ssize_t>(text.size());
    utf8proc_ssize_t position = 0;
    utf8proc_int32_t previous = -1;
    utf8proc_int32_t state = 0;
    std::size_t seen = 0;
    while (position < length) {
        utf8proc_int32_t codepoint = -1;
        utf8proc_ssize_t n = utf8proc_iterate(data + position, length - position, &codepoint);
        if (n <= 0) {
            n = 1; // not expected for valid text; count the byte on its own
            previous = -1;
            state = 0;
            if (++seen > count) break;
        } else {
            if (previous < 0 || utf8proc_grapheme_break_stateful(previous, codepoint, &state))
                if (++seen > count) break;
            previous = codepoint;
        }
        position += n;
    }
    return text.substr(0, static_cast<std::size_t>(position));
}

void run(const std::filesystem::path& executable, const std::vector<std::string>& arguments,
         const std::string& name, const std::string& displayCommand) {
    auto start = std::chrono::steady_clock::now();
    platform::Pipe errors = platform::makePipe();
    platform::Pipe output = platform::makePipe();

    log(LogLevel::info, "  $ " + displayCommand);

    pid_t pid = -1;
    try {
        pid = platform::spawnProcess(platform::SpawnOptions{
            executable, arguments, -1, output.write.get(), errors.write.get(), false});
    } catch (const std::system_error& e) {
        std::string description = e.what();
        log(LogLevel::error, "  ✘ 启动子进程失败: " + description);
        throw CorvelInstallError::extractFailed(name, description);
    }
    // Only the child may hold the write ends, or the reads below never end.
    output.write.reset();
    errors.write.reset();

    std::string captured;
    try {
        captured = drain(output.read, errors.read);
    } catch (...) {
        // A tool blocked on a full pipe only ends once nobody can read it.
        output.read.reset();
        errors.read.reset();
        platform::waitForExit(pid);
        throw;
    }
    int status = terminationStatus(platform::waitForExit(pid));
    double elapsed =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();

    if (status == 0) {
        log(LogLevel::info, fmt::format("  ✔ 子进程退出码 0，耗时 {:.2f}s", elapsed));
        return;
    }
    std::string text = isValidUtf8(captured) ? captured : fmt::format("exit {}", status);
    log(LogLevel::error, fmt::format("  ✘ 子进程退出码 {}，耗时 {:.2f}s：{}", status, elapsed,
                                     graphemePrefix(text, 500)));
    throw CorvelInstallError::extractFailed(name, text);
}

} // namespace SubprocessRunner
