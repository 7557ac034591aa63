#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>

namespace platform {

// Throws the file-system error of a failed system call: `error` is its errno.
[[noreturn]] void throwFileError(const char* what, const std::filesystem::path& path, int error);

// Writes the file so that readers see either the old or the new content:
// a temporary file in the same directory, fsync, rename over the target.
// Throws std::filesystem::filesystem_error; the old file is intact on failure.
void atomicWriteFile(const std::filesystem::path& target, std::string_view content);

// Moves a file, link or directory tree. A rename when possible; across file
// systems a copy (symlinks copied as links, never followed) and then removal
// of the source. The target must not exist. Throws filesystem_error.
void moveItem(const std::filesystem::path& from, const std::filesystem::path& to);

// Copies a file, link or directory tree; symlinks are copied as links and
// never followed or descended into. The target must not exist. Folders keep
// their mode, read-only ones included.
void copyItem(const std::filesystem::path& from, const std::filesystem::path& to);

// Removes a file, link or directory tree like remove_all; when a read-only
// folder refuses the removal of its entries, the folders of the tree are made
// writable (never through links) and the removal is tried once more.
void removeTree(const std::filesystem::path& path, std::error_code& error);

// The content of source (links followed) into a new file at target, which must
// not exist and is never a link written through. Refuses anything but a regular
// source file. The new file gets `mode`, or the source's permissions when it is 0.
void copyFileContents(const std::filesystem::path& source, const std::filesystem::path& target,
                      unsigned int mode = 0);

// The whole content of a regular file, read through a close-on-exec,
// non-blocking descriptor, so a FIFO in its place cannot hang the open.
// Nothing, with `error` set, when it cannot be opened or read, is not a
// regular file (EINVAL) or holds more than maxBytes (EFBIG).
std::optional<std::string> readFileContents(const std::filesystem::path& path, std::size_t maxBytes,
                                            std::error_code& error);

// A fresh upper-case UUID for temporary and staging names.
std::string makeUuidString();

// prefix + a fresh UUID; isTemporaryName recognises exactly such a name, so a
// cleanup of what a killed run left behind never takes anything else.
std::string temporaryName(std::string_view prefix);
bool isTemporaryName(std::string_view name, std::string_view prefix);

// The name atomicWriteFile gives its temporary file for a target named
// `targetName`: "." + targetName + "." + a UUID + ".tmp"; recognised exactly,
// so a killed writer's leftover can be removed and nothing else.
bool isAtomicWriteTemporaryName(std::string_view name, std::string_view targetName);

} // namespace platform
