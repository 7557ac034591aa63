#pragma once

#include <sys/types.h>

#include <filesystem>
#include <string>
#include <vector>

namespace testsupport {

struct Outcome {
    int exitCode = -1; // 128 + the signal when one ended it
    std::string out;
    std::string err;

    std::string lastErrLine() const;
};

// One corvel-setup-cli process (or another program found next to the test
// program) with its output in files under `home`. Killed if still running
// when destroyed.
class CliProcess {
  public:
    explicit CliProcess(const std::filesystem::path& home, std::vector<std::string> arguments,
                        const std::string& program = "corvel-setup-cli");
    ~CliProcess();
    CliProcess(const CliProcess&) = delete;
    CliProcess& operator=(const CliProcess&) = delete;

    void signal(int number);
    pid_t pid() const { return pid_; }
    std::string errSoFar() const;
    std::string outSoFar() const;
    // Waits (bounded) for the exit; a process that hangs is killed and fails the test.
    Outcome finish();

  private:
    pid_t pid_ = -1;
    std::filesystem::path outPath_;
    std::filesystem::path errPath_;
};

} // namespace testsupport
