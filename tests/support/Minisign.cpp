#include "support/Minisign.h"

#include "platform/Spawn.h"
#include "support/TempHome.h"

#include <sys/wait.h>
#include <unistd.h>

#include <stdexcept>

namespace fs = std::filesystem;

namespace testsupport {

int runMinisign(const std::vector<std::string>& arguments) {
    pid_t pid = platform::spawnProcess({toolOnPath("minisign"), arguments, -1, -1, -1});
    int status = platform::waitForExit(pid);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

MinisignKey::MinisignKey(const fs::path& folder) {
    fs::create_directories(folder);
    secretFile_ = folder / "minisign.key";
    publicFile_ = folder / "minisign.pub";
    if (runMinisign({"-G", "-W", "-f", "-p", publicFile_.string(), "-s", secretFile_.string()}) !=
        0)
        throw std::runtime_error("minisign -G failed");
    std::string text = readFile(publicFile_);
    auto newline = text.find('\n');
    std::string comment = text.substr(0, newline);
    keyId_ = comment.substr(comment.rfind(' ') + 1);
    publicKey_ = text.substr(newline + 1);
    while (!publicKey_.empty() && (publicKey_.back() == '\n' || publicKey_.back() == '\r'))
        publicKey_.pop_back();
}

std::string MinisignKey::sign(const fs::path& file, std::vector<std::string> extra,
                              fs::path signature) const {
    if (signature.empty()) signature = file.string() + ".minisig";
    std::vector<std::string> arguments = {"-S",          "-s", secretFile_.string(), "-m",
                                          file.string(), "-x", signature.string()};
    arguments.insert(arguments.end(), extra.begin(), extra.end());
    if (runMinisign(arguments) != 0) throw std::runtime_error("minisign -S failed");
    return readFile(signature);
}

} // namespace testsupport
