#pragma once

#include "download/CacheSlot.h"
#include "download/CorvelResumableDownloader.h"
#include "platform/HttpClient.h"
#include "platform/UniqueFd.h"
#include "types/CVTAVAsset.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

// One transfer attempt over one connection: what the response handlers share,
// and the decisions on the response head and on each chunk of the body.
struct DownloadHandler {
    // Thrown through a transfer whose body runs past the stated total.
    struct BodyOverrun {};

    // The If-Range value. An empty one identifies nothing; one that cannot travel
    // as a header line (from a broken server or an edited file) counts as none too:
    // sending it would fail this slot on every run before any request is made.
    static std::optional<std::string> usableValidator(const std::optional<CacheMeta>& meta);
    // The asset's size when HEAD or the manifest told it. One byte is also what
    // an asset gets when neither did, so it says nothing.
    static std::optional<std::int64_t> knownTotalOf(const CVTAVAsset& asset);

    DownloadHandler(const CVTAVAsset& asset, const CacheSlot& slot, std::int64_t existingBytes,
                    std::optional<CacheMeta> previousMeta,
                    const CorvelResumableDownloader::ProgressHandler& onProgress,
                    const CorvelResumableDownloader::TotalBytesHandler& onTotalBytesResolved)
        : asset(asset), slot(slot), existingBytes(existingBytes), requestedFrom(existingBytes),
          previousMeta(std::move(previousMeta)), onProgress(onProgress),
          onTotalBytesResolved(onTotalBytesResolved) {}

    const CVTAVAsset& asset;
    const CacheSlot& slot;
    std::int64_t existingBytes;
    const std::int64_t requestedFrom; // the range asked for; existingBytes may be discarded
    std::optional<CacheMeta> previousMeta;
    const CorvelResumableDownloader::ProgressHandler& onProgress;
    const CorvelResumableDownloader::TotalBytesHandler& onTotalBytesResolved;
    const CorvelResumableDownloader::ChunkObserver* chunkObserver = nullptr;
    std::optional<std::int64_t> knownTotal; // from HEAD or the manifest, when they told it
    std::string source; // where this attempt fetches from; empty: the first source

    platform::UniqueFd fileHandle;
    std::int64_t bytesOnDisk = 0; // size of the part file while the body is written
    long status = 0;
    std::optional<std::int64_t> serverTotalBytes;
    bool sawResponse = false;
    bool didReportTotalBytes = false;
    bool recoveringFrom416 = false;
    bool restartFromZero = false;

    std::string url() const {
        return source.empty() ? asset.fetchSources().front().absoluteString() : source;
    }

    void progress(std::int64_t delta) const {
        if (onProgress) onProgress(delta, ByteOrigin::network);
    }

    void reportTotal(std::int64_t total) {
        if (total < 1 || didReportTotalBytes) return;
        didReportTotalBytes = true;
        if (onTotalBytesResolved) onTotalBytesResolved(total);
    }

    // The local bytes are no longer part of the download.
    void discardLocalBytes() {
        cache::resetPart(slot);
        if (existingBytes > 0) progress(-existingBytes);
        existingBytes = 0;
    }

    // Decides, from the final response's head, whether the body goes to the part file.
    bool acceptResponse(const platform::HttpResponseHead& head);
    // "ETag A ≠ B" when the 206 names another version than the one If-Range asked for.
    std::optional<std::string> changedValidator(const platform::HttpResponseHead& head) const;
    void appendChunk(const char* data, std::size_t size);
};
