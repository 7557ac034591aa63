#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>

// The signing time of the newest signed manifest this user installed from,
// kept in a small file of its own beside the setup record (older builds never
// read it, and rewriting the record cannot lose it). A manifest signed before
// it is a rollback.
namespace AcceptedManifestTime {

// ManifestSignedAt beside SetupManifest.json: decimal Unix seconds and a line feed.
std::filesystem::path path();

// Nothing when the file is absent or does not hold a plain number. Never throws.
std::optional<std::int64_t> load();

// Keeps `seconds` unless a newer time is stored already; written atomically,
// the data directory created if needed. Throws on failure, the old file intact.
void store(std::int64_t seconds);

} // namespace AcceptedManifestTime
