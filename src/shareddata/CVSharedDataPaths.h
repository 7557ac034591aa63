#pragma once

#include "platform/Url.h"
#include "types/CVTAVAsset.h"

#include <cstdint>
#include <filesystem>
#include <set>
#include <string>
#include <string_view>
#include <vector>

// Stateless operations on the data directory shared with the installed
// application: where things live, moving the former layout into the current
// one, and what an installed product looks like on disk. Every location is
// derived from the environment at call time, so nothing here is cached.
namespace CVSharedDataPaths {

namespace fs = std::filesystem;

// ---------------------------------------------------------------------------
// Remote formats

// The same cases as CVTAVAsset::Format, in the same order.
using InferredRemoteFormat = CVTAVAsset::Format;

// zip, tarGz or raw from the URL's file name; the one rule shared with the
// asset model (inferFormat), never a second copy of it.
InferredRemoteFormat inferRemoteFormat(const platform::Url& url);

// ---------------------------------------------------------------------------
// Locations

// Stands in for Application Support (the platform layer's data home).
fs::path applicationSupportDirectory();
fs::path dataRoot();       // Application Support / com.corvel.data
fs::path legacyDataRoot(); // Application Support / com.tavrin.data
fs::path dataDirectory(std::string_view name);
fs::path legacyDataDirectory(std::string_view name);
fs::path llmDataDirectory();       // dataRoot / LLMData (same as CVTAVAsset::llmDataDirectory)
fs::path legacyLLMDataDirectory(); // legacyDataRoot / LLMData

// llmDataDirectory, then legacyLLMDataDirectory unless both standardize to one path.
std::vector<fs::path> llmDataSearchRoots();

// Equal after standardizing, or both one of the current and former LLM data directories.
bool sameLLMDataDestination(const fs::path& a, const fs::path& b);

// Rewrites a path recorded under the former layout into the current one. Pure text.
std::string remapLegacyPath(std::string_view path);

// ---------------------------------------------------------------------------
// Migration of the former layout

enum class RootOutcome { noLegacy, migrated, legacyGone, bothPresent };

struct MigrationResult {
    RootOutcome rootOutcome = RootOutcome::noLegacy;
    bool dataFolderMoved = false;
    bool appFolderMigrated = false;
    bool buildFolderMigrated = false;
};

// Runs every migration step; never throws, failures only show in the result.
MigrationResult migrateLegacyData() noexcept;

// Migrates (result ignored), then creates llmDataDirectory with its parents.
// Throws std::filesystem::filesystem_error when it cannot be created.
void ensureLLMDataDirectory();

// The primitives the migration is built from.
RootOutcome migrateDataRoot() noexcept;
bool migrateDirectory(const fs::path& source, const fs::path& target) noexcept;
bool moveDirectoryIntoPlace(const fs::path& source, const fs::path& target) noexcept;
// Nothing but .DS_Store and .localized inside. A target that cannot be listed
// (for example a plain file) is not empty, so nothing ever removes it.
bool isEffectivelyEmpty(const fs::path& directory) noexcept;
// Copies what the target lacks; the target's files win and nothing is deleted
// on either side. Symlinks are copied as links, never followed. Throws on the
// first failure, keeping what was copied so far.
void mergeDirectory(const fs::path& source, const fs::path& target);
void migrateStorageID() noexcept;

// A merged entry is copied under this prefix and a UUID, then renamed into place.
inline constexpr std::string_view mergeTemporaryPrefix = ".corvel-merge-";
bool isMergeTemporaryName(std::string_view name);

// ---------------------------------------------------------------------------
// Installed products

// What is needed to locate one model asset's product.
struct LLMCacheAssetDescriptor {
    platform::Url url;
    InferredRemoteFormat format = InferredRemoteFormat::raw;
    std::string relativePath; // raw only: product below destination; empty: the file name
    fs::path destination;
    std::int64_t expectedBytes = 1;
};

fs::path expectedProductPath(const LLMCacheAssetDescriptor& descriptor);

// Predicates never throw: a failure to stat or list counts as absence.
bool hasContent(const fs::path& path) noexcept;
bool isNonEmptyDirectory(const fs::path& path) noexcept;
bool ggmlBasePresent(const fs::path& directory) noexcept;
bool rawFileLooksComplete(const fs::path& file, std::int64_t expectedBytes) noexcept;
bool recordedProductIsPresent(std::string_view formatName, std::string_view recordedPath,
                              std::string_view sourceUrl, std::int64_t expectedBytes) noexcept;

// ---------------------------------------------------------------------------
// Staging moves

// Entry names (hidden included) without __MACOSX and .DS_Store; empty when unlistable.
std::set<std::string> topLevelEntryNames(const fs::path& directory);

// Moves every entry of staging (but __MACOSX and .DS_Store) into the existing
// destination, replacing what is there under the same name. Throws the
// file-system error of the first failed step, or a DomainError when staging
// holds nothing usable. Nothing is rolled back.
void moveStagingEntries(const fs::path& staging, const fs::path& destination);

// The product an extraction left in destination: the one new entry, else the
// most recently modified entry when nothing is new, else destination itself.
fs::path pickExtractedEntry(const fs::path& destination, const std::set<std::string>& namesBefore);

// Moves the content of directory/ggml-base up into directory and removes the
// emptied folder. Throws the file-system error of a failed move or removal.
void flattenGgmlBase(const fs::path& directory);

} // namespace CVSharedDataPaths
