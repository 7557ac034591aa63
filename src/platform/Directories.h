#pragma once

#include <filesystem>
#include <optional>
#include <string>

// The user's directories, read from the environment at every call so that a
// test or the demo sandboxes the whole program by setting HOME and XDG_*.
namespace platform {

// $HOME, else the password database entry of the current user; a relative
// HOME is made absolute against the working directory, so nothing recorded or
// written into a desktop entry depends on where the program was started.
std::filesystem::path homeDirectory();

// Why the home directory cannot hold this user's files (missing, not a
// directory, not writable), naming HOME; nothing when it can.
std::optional<std::string> homeProblem();

// Stands in for Application Support: $XDG_DATA_HOME, else ~/.local/share.
std::filesystem::path dataHome();

// Stands in for Caches: $XDG_CACHE_HOME, else ~/.cache.
std::filesystem::path cacheHome();

// Stands in for /Applications: ~/Applications (per user, no root needed).
std::filesystem::path applicationsDirectory();

// The running executable, empty when it cannot be resolved.
std::filesystem::path executablePath();

} // namespace platform
