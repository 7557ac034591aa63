#pragma once

#include "platform/Url.h"

#include <cstdint>
#include <filesystem>
#include <optional>
#include <set>
#include <string>

// One download's place in the cache: the bytes received so far and the
// validators of the response that wrote them. Slots survive failures and
// restarts, so a later attempt resumes with a range request or skips the
// network when the part file is already complete.
struct CacheSlot {
    std::filesystem::path directory;
    std::filesystem::path partURL; // directory / "payload.part"; the finished download itself
    std::filesystem::path metaURL; // directory / "meta.json"
};

// The content of meta.json.
struct CacheMeta {
    std::optional<std::string> etag;         // as received, quotes and any W/ prefix kept
    std::optional<std::string> lastModified; // as received
    std::optional<std::int64_t> totalBytes;  // full size of the remote file, when known
    std::string sourceURL;                   // absolute string of the source URL; required

    friend bool operator==(const CacheMeta&, const CacheMeta&) = default;
};

namespace cache {

// cache home / com.tavrin.setup/downloads, derived from the environment at each
// call so a sandboxed HOME applies. Not created here.
std::filesystem::path downloadsRoot();

// 64 lower-case hex digits: SHA-256 of the URL's absolute string.
std::string slotName(const platform::Url& source);

// Creates the slot directory (and its parents). Throws filesystem_error.
CacheSlot makeSlot(const platform::Url& source);

// Size of payload.part; 0 when it is missing or cannot be examined.
std::int64_t existingPartBytes(const CacheSlot& slot);

// Deletes payload.part and creates it empty. Throws filesystem_error; when the
// deletion fails the part file is left as it was.
void resetPart(const CacheSlot& slot);

// Deletes payload.part and meta.json of the URL's slot, so a download that
// proved bad is fetched again instead of being a cache hit. Never throws;
// false when either could not be removed.
bool purgeSlot(const platform::Url& source) noexcept;

// Removes the URL's whole slot once its asset is installed and recorded.
// Never throws; false when it could not be removed (a missing slot is removed).
bool removeSlot(const platform::Url& source) noexcept;

// Removes the slots of downloadsRoot that are not named in `keep` and were
// last changed before `olderThan`: downloads of URLs the manifest no longer
// lists. Never throws; returns how many it removed.
int pruneSlots(const std::set<std::string>& keep,
               std::filesystem::file_time_type olderThan) noexcept;

// Nothing when meta.json is missing, unreadable, not JSON, has a key of the
// wrong type or lacks "sourceURL". Never throws.
std::optional<CacheMeta> readMeta(const CacheSlot& slot);

// Writes meta.json atomically. Failures are ignored: a later attempt simply
// finds older or no metadata.
void writeMeta(const CacheMeta& meta, const CacheSlot& slot);

std::string encodeMeta(const CacheMeta& meta);
std::optional<CacheMeta> decodeMeta(const std::string& text);

// The part file holds exactly the recorded total (at least 1 byte). A longer
// part file is corrupt, not complete; see isOversized.
bool isCacheHit(const std::optional<CacheMeta>& meta, std::int64_t partBytes);

// The part file is longer than the recorded total: its bytes cannot be trusted.
bool isOversized(const std::optional<CacheMeta>& meta, std::int64_t partBytes);

// The If-Range value for a range request: a strong ETag, else Last-Modified,
// else none. An empty value or one with a line break or NUL is none.
std::optional<std::string> resumeValidator(const std::optional<CacheMeta>& meta);
bool isUsableValidator(const std::optional<std::string>& value);

} // namespace cache
