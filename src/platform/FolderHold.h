#pragma once

#include "platform/UniqueFd.h"

#include <filesystem>
#include <optional>

// Temporary folders that a run uses for a while (unpacking, staging a bundle)
// are held by an advisory lock on the folder itself for as long as they are in
// use. Another run whose folders are the same through a link then tells a
// live folder from a killed run's leftover by the lock, not by its name.
namespace platform {

// Creates `path` (as create_directory would) and holds it. Throws
// a filesystem error when it exists already or cannot be made, and when a
// leftover cleanup removed it before the hold was taken.
UniqueFd createHeldFolder(const std::filesystem::path& path);

// The folder's hold when no live process has it; nothing while one does. An
// empty descriptor when it cannot be opened as a folder (a link, gone): the
// caller's removal then meets the reason.
std::optional<UniqueFd> tryHoldFolder(const std::filesystem::path& path);

} // namespace platform
