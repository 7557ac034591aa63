#pragma once

#include <filesystem>

// The user's directories, read from the environment at every call so that a
// test or the demo sandboxes the whole program by setting HOME and XDG_*.
namespace platform {

// $HOME, else the password database entry of the current user.
std::filesystem::path homeDirectory();

// Stands in for Application Support: $XDG_DATA_HOME, else ~/.local/share.
std::filesystem::path dataHome();

// Stands in for Caches: $XDG_CACHE_HOME, else ~/.cache.
std::filesystem::path cacheHome();

// Stands in for /Applications: ~/Applications (per user, no root needed).
std::filesystem::path applicationsDirectory();

// The running executable, empty when it cannot be resolved.
std::filesystem::path executablePath();

} // namespace platform
