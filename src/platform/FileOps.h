#pragma once

#include <filesystem>
#include <string_view>

namespace platform {

// Writes the file so that readers see either the old or the new content:
// a temporary file in the same directory, fsync, rename over the target.
// Throws std::filesystem::filesystem_error; the old file is intact on failure.
void atomicWriteFile(const std::filesystem::path& target, std::string_view content);

// Moves a file, link or directory tree. A rename when possible; across file
// systems a copy (symlinks copied as links, never followed) and then removal
// of the source. The target must not exist. Throws filesystem_error.
void moveItem(const std::filesystem::path& from, const std::filesystem::path& to);

// Copies a file, link or directory tree; symlinks are copied as links and
// never followed or descended into. The target must not exist.
void copyItem(const std::filesystem::path& from, const std::filesystem::path& to);

// A fresh upper-case UUID for temporary and staging names.
std::string makeUuidString();

} // namespace platform
