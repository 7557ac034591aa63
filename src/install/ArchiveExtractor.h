#pragma once

#include "types/CVTAVAsset.h"

#include <filesystem>
#include <stop_token>
#include <string>

// Unpacks zip and tar.gz archives in process with libarchive. Archives are
// treated as hostile: nothing is ever written outside the target directory.
namespace ArchiveExtractor {

// Unpacks `archive` (format zip or tarGz) into the existing directory
// `directory`. Refuses, with CorvelInstallError::extractFailed(name, reason):
// absolute entry names and names with "..", a top-level entry named
// SetupManifest.json, device files, FIFOs and sockets, symlinks whose target is
// absolute or leads outside the directory, hard links to anything but a file
// unpacked before. Set-user-ID and set-group-ID bits are dropped; executable
// bits and modification times are kept. Damaged data (a zip entry's CRC, a
// gzip member's CRC-32 or length) fails like a refusal, with the library's
// message. A write that does not reach the disk fails the same way, or as
// CorvelInstallError::diskFull when the file system is out of space or quota.
// Throws platform::CancelledError when
// `stop` is requested (checked per entry and per data block). A refused or
// failed archive may leave part of its content in `directory`.
void extractArchive(const std::filesystem::path& archive, const std::filesystem::path& directory,
                    CVTAVAsset::Format format, const std::string& name, std::stop_token stop = {});

} // namespace ArchiveExtractor
