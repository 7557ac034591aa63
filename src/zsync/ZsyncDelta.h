#pragma once

#include "zsync/SeedScanner.h"
#include "zsync/ZsyncControl.h"

#include <filesystem>
#include <span>
#include <stop_token>
#include <string>
#include <vector>

namespace zsync {

// A control file fetched for an asset, trusted only when its SHA-256 is the
// one the manifest names and it describes a file of the asset's size.
// Throws DomainError ("ZsyncControl", -1) with the reason otherwise.
ZsyncControl readVerifiedControl(std::span<const std::uint8_t> bytes,
                                 const std::string& expectedSha256, std::int64_t expectedLength);

// Writes every block a seed holds into the open target file at its place;
// blocks that follow each other in the same seed are copied in one piece.
// Returns the bytes written. Throws std::system_error when a read or write
// fails (a seed that changed since it was scanned: the final digest decides).
std::int64_t copySeedBlocks(const ZsyncControl& control, const SeedScanner& scanner,
                            const std::vector<std::filesystem::path>& seeds, int targetFd,
                            std::stop_token stop = {});

// Whether the file's SHA-1 is the one the control file names.
bool sha1Matches(const ZsyncControl& control, const std::filesystem::path& file);

} // namespace zsync
