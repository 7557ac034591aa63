#pragma once

#include "types/CVTAVAsset.h"

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// The setup record: SetupManifest.json in the LLM data directory lists every
// installed asset and keeps the tail of the last run's log, so the next run
// skips what is already there. Every operation reads the file afresh.
namespace CorvelSetupManifest {

// One installed asset.
struct Entry {
    std::string url; // the lookup key: the asset's absolute URL string
    std::string name;
    std::string sha256;
    std::int64_t expectedBytes = 1;
    std::string format; // "zip", "tarGz" or "raw"
    std::string destination;
    std::string installedPath;
    std::string completedAt; // ISO 8601 UTC, whole seconds

    friend bool operator==(const Entry&, const Entry&) = default;
};

struct Root {
    std::int64_t version = 1;
    std::vector<Entry> entries;
    std::optional<std::string> lastSetupLog;
    std::optional<std::string> lastSetupLogAt;

    friend bool operator==(const Root&, const Root&) = default;
};

// Where the record is written, and the former location that is only read.
std::filesystem::path manifestPath();
std::filesystem::path legacyManifestPath();

// Strict: a missing key or a value of the wrong type anywhere gives nothing,
// and so does a document nested over 64 levels or holding over 100000 values.
std::optional<Root> decode(std::string_view json);
// Pretty-printed, keys sorted, optional log fields left out when absent.
// Invalid UTF-8 is replaced rather than making the record unwritable.
std::string encode(const Root& root);

// "2025-06-01T08:30:00Z".
std::string iso8601(std::chrono::system_clock::time_point time);

// The current record, else the legacy one, else an empty record. Never fails.
Root load();

// Writes atomically to manifestPath(); its directory must exist. A current
// file that does not decode is first renamed to SetupManifest.json.corrupt-
// <UTC time> so the write never destroys it. Throws on failure; the previous
// file is then intact.
void save(const Root& root);

std::optional<Entry> entryForURL(std::string_view url);

// Recorded, for the same destination, with a product that still looks complete.
bool isHit(const CVTAVAsset& asset);

// Where a completed installation of the asset would leave its product.
std::filesystem::path expectedInstalledURL(const CVTAVAsset& asset);

// Records the asset as installed at installed, replacing its earlier entry,
// and stores the log. Failures are logged, never raised.
void record(const CVTAVAsset& asset, const std::filesystem::path& installed) noexcept;

// Stores the log of this run. Failures go straight to standard error.
void persistSessionLog() noexcept;

} // namespace CorvelSetupManifest
