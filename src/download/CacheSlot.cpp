#include "download/CacheSlot.h"

#include "log/Hex.h"
#include "platform/Directories.h"
#include "platform/FileOps.h"
#include "platform/UniqueFd.h"

#include <nlohmann/json.hpp>
#include <openssl/evp.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <fcntl.h>
#include <limits>
#include <stdexcept>
#include <system_error>
#include <unistd.h>

namespace fs = std::filesystem;
using nlohmann::json;

namespace cache {

fs::path downloadsRoot() {
    fs::path caches = platform::cacheHome();
    if (caches.empty())
        throw fs::filesystem_error("cannot locate the cache directory", caches,
                                   std::make_error_code(std::errc::no_such_file_or_directory));
    return caches / "com.tavrin.setup" / "downloads";
}

std::string slotName(const platform::Url& source) {
    const std::string& text = source.absoluteString();
    std::array<std::uint8_t, EVP_MAX_MD_SIZE> digest{};
    unsigned int length = 0;
    if (EVP_Digest(text.data(), text.size(), digest.data(), &length, EVP_sha256(), nullptr) != 1)
        throw std::runtime_error("SHA-256 unavailable");
    return lowerHex(std::span<const std::uint8_t>(digest.data(), length));
}

namespace {

CacheSlot slotFor(const platform::Url& source) {
    fs::path directory = downloadsRoot() / slotName(source);
    return CacheSlot{directory, directory / "payload.part", directory / "meta.json"};
}

} // namespace

CacheSlot makeSlot(const platform::Url& source) {
    CacheSlot slot = slotFor(source);
    fs::create_directories(slot.directory);
    return slot;
}

std::int64_t existingPartBytes(const CacheSlot& slot) {
    std::error_code error;
    auto size = fs::file_size(slot.partURL, error);
    if (error || size > static_cast<std::uintmax_t>(std::numeric_limits<std::int64_t>::max()))
        return 0;
    return static_cast<std::int64_t>(size);
}

void resetPart(const CacheSlot& slot) {
    // Deleting rather than truncating replaces whatever sits at the path (a
    // link included) with a plain file of our own.
    fs::remove(slot.partURL);
    platform::UniqueFd fd(
        ::open(slot.partURL.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0644));
    if (!fd)
        throw fs::filesystem_error("cannot create part file", slot.partURL,
                                   std::error_code(errno, std::generic_category()));
}

std::string encodeMeta(const CacheMeta& meta) {
    json object = json::object();
    if (meta.etag) object["etag"] = *meta.etag;
    if (meta.lastModified) object["lastModified"] = *meta.lastModified;
    if (meta.totalBytes) object["totalBytes"] = *meta.totalBytes;
    object["sourceURL"] = meta.sourceURL;
    // A header that is not UTF-8 must not keep the older record in place: its
    // total and validators describe bytes that are gone. A replaced validator
    // simply never matches, so the next range request gets the whole file.
    return object.dump(-1, ' ', false, json::error_handler_t::replace);
}

namespace {

// A present key must hold a string; null counts as absent.
bool readOptionalString(const json& object, const char* key, std::optional<std::string>& out) {
    auto it = object.find(key);
    if (it == object.end() || it->is_null()) return true;
    if (!it->is_string()) return false;
    out = it->get<std::string>();
    return true;
}

} // namespace

std::optional<CacheMeta> decodeMeta(const std::string& text) {
    json object = json::parse(text, nullptr, false);
    if (object.is_discarded() || !object.is_object()) return std::nullopt;
    CacheMeta meta;
    if (!readOptionalString(object, "etag", meta.etag)) return std::nullopt;
    if (!readOptionalString(object, "lastModified", meta.lastModified)) return std::nullopt;
    if (auto it = object.find("totalBytes"); it != object.end() && !it->is_null()) {
        if (it->is_number_unsigned()) {
            auto value = it->get<std::uint64_t>();
            if (value > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()))
                return std::nullopt;
            meta.totalBytes = static_cast<std::int64_t>(value);
        } else if (it->is_number_integer()) {
            meta.totalBytes = it->get<std::int64_t>();
        } else {
            return std::nullopt;
        }
    }
    auto source = object.find("sourceURL");
    if (source == object.end() || !source->is_string()) return std::nullopt;
    meta.sourceURL = source->get<std::string>();
    return meta;
}

std::optional<CacheMeta> readMeta(const CacheSlot& slot) {
    // Our metadata is a few hundred bytes; anything far larger is not ours.
    constexpr std::size_t maxMetaBytes = 1 << 20;
    std::error_code ignored;
    auto text = platform::readFileContents(slot.metaURL, maxMetaBytes, ignored);
    if (!text) return std::nullopt;
    return decodeMeta(*text);
}

void writeMeta(const CacheMeta& meta, const CacheSlot& slot) {
    try {
        platform::atomicWriteFile(slot.metaURL, encodeMeta(meta));
    } catch (const std::exception&) {
        // Metadata only speeds up the next attempt; the transfer goes on without it.
    }
}

bool isCacheHit(const std::optional<CacheMeta>& meta, std::int64_t partBytes) {
    return meta && meta->totalBytes && *meta->totalBytes >= 1 && partBytes == *meta->totalBytes;
}

bool isOversized(const std::optional<CacheMeta>& meta, std::int64_t partBytes) {
    return meta && meta->totalBytes && *meta->totalBytes >= 1 && partBytes > *meta->totalBytes;
}

bool isUsableValidator(const std::optional<std::string>& value) {
    return value && !value->empty() &&
           value->find_first_of(std::string_view("\r\n\0", 3)) == std::string::npos;
}

std::optional<std::string> resumeValidator(const std::optional<CacheMeta>& meta) {
    if (!meta) return std::nullopt;
    // A weak ETag never makes If-Range hold: a server answers every range with the whole file.
    if (isUsableValidator(meta->etag) && !meta->etag->starts_with("W/")) return meta->etag;
    if (isUsableValidator(meta->lastModified)) return meta->lastModified;
    return std::nullopt;
}

bool purgeSlot(const platform::Url& source) noexcept {
    try {
        CacheSlot slot = slotFor(source);
        std::error_code partError;
        std::error_code metaError;
        fs::remove(slot.partURL, partError);
        fs::remove(slot.metaURL, metaError);
        // What a download in ranges keeps beside them until it is complete.
        std::error_code rangesError;
        fs::remove(slot.directory / "payload.segmented", rangesError);
        fs::remove(slot.directory / "segments.json", rangesError);
        return !partError && !metaError;
    } catch (...) {
        return false;
    }
}

} // namespace cache

namespace cache {

bool removeSlot(const platform::Url& source) noexcept {
    try {
        std::error_code error;
        platform::removeTree(slotFor(source).directory, error);
        return !error;
    } catch (...) {
        return false;
    }
}

int pruneSlots(const std::set<std::string>& keep, fs::file_time_type olderThan) noexcept {
    int removed = 0;
    try {
        std::error_code error;
        for (fs::directory_iterator it(downloadsRoot(), error), end; !error && it != end;
             it.increment(error)) {
            const std::string name = it->path().filename().string();
            std::error_code entryError;
            // Only folders named as a slot: nothing else in the cache is ours to judge.
            if (name.size() != 64 || name.find_first_not_of("0123456789abcdef") != name.npos ||
                keep.contains(name) || !it->is_directory(entryError) || it->is_symlink(entryError))
                continue;
            // The newest change inside counts: a resumed download touches its part file.
            fs::file_time_type newest = fs::last_write_time(it->path(), entryError);
            for (fs::directory_iterator inside(it->path(), entryError), last;
                 !entryError && inside != last; inside.increment(entryError)) {
                std::error_code timeError;
                auto changed = fs::last_write_time(inside->path(), timeError);
                if (!timeError) newest = std::max(newest, changed);
            }
            if (entryError || newest >= olderThan) continue;
            std::error_code removeError;
            platform::removeTree(it->path(), removeError);
            if (!removeError) ++removed;
        }
    } catch (...) {
        // The cache is only an optimisation: what stays is removed another time.
    }
    return removed;
}

} // namespace cache
