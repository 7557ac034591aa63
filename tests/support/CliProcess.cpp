#include "support/CliProcess.h"

#include "platform/Directories.h"
#include "platform/Spawn.h"
#include "platform/UniqueFd.h"
#include "support/TempHome.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/wait.h>

#include <csignal>

namespace testsupport {

std::string Outcome::lastErrLine() const {
    std::string text = err;
    while (!text.empty() && text.back() == '\n')
        text.pop_back();
    auto newline = text.rfind('\n');
    return newline == std::string::npos ? text : text.substr(newline + 1);
}

CliProcess::CliProcess(const std::filesystem::path& home, std::vector<std::string> arguments,
                       const std::string& program) {
    static int counter = 0;
    std::string stem = "run" + std::to_string(++counter);
    outPath_ = home / (stem + ".out");
    errPath_ = home / (stem + ".err");
    auto create = [](const std::filesystem::path& path) {
        return platform::UniqueFd(
            ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
    };
    platform::UniqueFd out = create(outPath_), err = create(errPath_);
    pid_ = platform::spawnProcess({platform::executablePath().parent_path() / program,
                                   std::move(arguments), -1, out.get(), err.get()});
}

CliProcess::~CliProcess() {
    if (pid_ > 0) {
        ::kill(pid_, SIGKILL);
        platform::waitForExit(pid_);
    }
}

void CliProcess::signal(int number) {
    ::kill(pid_, number);
}

std::string CliProcess::errSoFar() const {
    return readFile(errPath_);
}

std::string CliProcess::outSoFar() const {
    return readFile(outPath_);
}

Outcome CliProcess::finish() {
    int status = 0;
    if (!waitUntil([&] { return ::waitpid(pid_, &status, WNOHANG) == pid_; },
                   std::chrono::seconds(240))) {
        ADD_FAILURE() << "corvel-setup-cli did not end; its log:\n" << errSoFar();
        ::kill(pid_, SIGKILL);
        platform::waitForExit(pid_);
    }
    pid_ = -1;
    Outcome outcome;
    outcome.exitCode = WIFEXITED(status)     ? WEXITSTATUS(status)
                       : WIFSIGNALED(status) ? 128 + WTERMSIG(status)
                                             : -1;
    outcome.out = readFile(outPath_);
    outcome.err = readFile(errPath_);
    return outcome;
}

} // namespace testsupport
