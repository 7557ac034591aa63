#pragma once

#include <filesystem>
#include <string>
#include <vector>

// Runs system tools for the installer, one at a time and synchronously.
namespace SubprocessRunner {

// Starts the tool with the installer's environment and working directory,
// discards its standard output, keeps all of its standard error, waits for it
// and logs the command, the exit status and the duration. There is no time
// limit. A failure to start or a non-zero exit raises
// CorvelInstallError::extractFailed with `name` as the asset; `displayCommand`
// only appears in the log.
void run(const std::filesystem::path& executable, const std::vector<std::string>& arguments,
         const std::string& name, const std::string& displayCommand);

// The first `count` user-perceived characters of valid UTF-8 text.
std::string graphemePrefix(const std::string& text, std::size_t count);

// Whether the bytes are well-formed UTF-8.
bool isValidUtf8(const std::string& bytes);

} // namespace SubprocessRunner
