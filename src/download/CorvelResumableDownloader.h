#pragma once

#include "download/CacheSlot.h"
#include "download/ConnectionBudget.h"
#include "download/SegmentTable.h"
#include "download/SourcePool.h"
#include "platform/DomainError.h"
#include "types/ByteOrigin.h"
#include "types/CVTAVAsset.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <stop_token>
#include <string>
#include <vector>

struct DownloadHandler;

// Brings one asset into its cache slot and returns the complete payload.part.
// Network sources resume from the bytes already on disk with range requests;
// file URL sources are copied. The asset's sources are tried best first: one
// that fails is given up for the run and the next one continues, from the
// bytes on disk when the asset's digest will check them, else from zero. A
// file with a digest fetched in ranges takes them from every source left at
// once. Every transfer failure
// is thrown as CorvelInstallError::network; a stop requested on the token ends any failure (and
// every pause between attempts) as platform::CancelledError.
//
// Progress: onProgress receives signed deltas whose running sum is always the
// number of bytes of this asset on disk (+existing bytes at the start, +n per
// chunk written, -existing bytes when the local part is discarded). Bytes
// already on disk at the start and copies of local files come as foundOnDisk.
// onTotalBytesResolved receives the full size once it is known (at least 1).
// Both are called on the thread that called download.
class CorvelResumableDownloader {
  public:
    static constexpr const char* errorDomain = "CorvelResumableDownloader";

    using ProgressHandler = std::function<void(std::int64_t delta, ByteOrigin origin)>;
    using TotalBytesHandler = std::function<void(std::int64_t total)>;
    // Sees each chunk right after it is written to the part file, with the
    // chunk's offset in that file, on the thread that called download. Lets a
    // caller hash the bytes while they arrive instead of reading them back.
    using ChunkObserver =
        std::function<void(std::int64_t offset, const char* data, std::size_t size)>;

    // Waits the given time between attempts; returns false at once when a stop is
    // requested on the token.
    using Pause = std::function<bool(std::chrono::seconds, std::stop_token)>;

    struct Timing {
        Pause pause;                        // empty: a real wait that wakes on a stop
        std::chrono::seconds idleLimit{60}; // no byte for this long: timed out
        std::chrono::milliseconds transferLimit{std::chrono::hours(4)}; // one attempt at most
    };

    // An HTTP status that ends an attempt; 429 and the passing 5xx come with
    // the server's Retry-After, when it gave one.
    class HttpStatusError : public DomainError {
      public:
        HttpStatusError(long status, const std::string& message,
                        std::optional<std::chrono::seconds> retryAfter)
            : DomainError(errorDomain, status, message), retryAfter(retryAfter) {}
        std::optional<std::chrono::seconds> retryAfter;
    };

    static constexpr int maxAttempts = 4;
    // A server asking for a longer pause than this is not waited for longer.
    static constexpr std::chrono::seconds maxRetryAfter{60};

    // Large files from servers that honour ranges and name a version (ETag
    // or Last-Modified) are fetched in ranges over several connections.
    struct Segments {
        std::size_t connections = 1; // of one download; 1: one connection, as always
        // Shared by the downloads of a run; empty: this download has its own.
        std::shared_ptr<ConnectionBudget> budget;
        std::int64_t threshold = std::int64_t{16} << 20; // smaller files use one connection
        // Ranges are not split below this: every split cuts a connection short,
        // and the bytes it had in flight are sent for nothing.
        std::int64_t minRange = std::int64_t{4} << 20;
        // The sources the run has given up on; empty: this download keeps its own.
        std::shared_ptr<SourceHealth> health = {};
    };

    CorvelResumableDownloader() = default;
    explicit CorvelResumableDownloader(Timing timing) : timing_(std::move(timing)) {}

    // With segments the chunks arrive in file order from the file itself, once
    // the bytes before them are written.
    void observeChunks(ChunkObserver observer) { chunkObserver_ = std::move(observer); }
    void useSegments(Segments segments) { segments_ = std::move(segments); }

    std::filesystem::path download(const CVTAVAsset& asset, const ProgressHandler& onProgress,
                                   const TotalBytesHandler& onTotalBytesResolved = {},
                                   std::stop_token stop = {});

    // Worth another attempt: time-outs, lost or refused connections, name
    // resolution and TLS handshake failures, HTTP 429, 500, 502, 503 and 504,
    // also when wrapped as network.
    static bool isTransientNetworkError(const std::exception_ptr& error);
    // Nobody answers at that address (no such host, connection refused):
    // seconds later nobody will either, so with another source at hand the
    // download moves on at once instead of retrying.
    static bool isUnreachable(const std::exception_ptr& error);
    // The host rather than the file failed (unreachable, no TLS, no bytes for
    // the idle limit): the run gives up every URL on it.
    static bool isHostFailure(const std::exception_ptr& error);
    // An HTTP status ended the attempt (the server answered).
    static bool isStatusError(const std::exception_ptr& error);
    // The pause before attempt + 1: 2, 4, 8 s, or longer when the server said
    // so in Retry-After (up to maxRetryAfter).
    static std::chrono::seconds retryDelay(int attempt, const std::exception_ptr& error);
    static std::string describeNetworkError(const std::exception_ptr& error);
    // A transfer's failure as the caller sees it: file errors as themselves,
    // everything else as CorvelInstallError::network.
    static std::exception_ptr asTransferError(const std::exception_ptr& error);
    // What a network error wraps, the error itself when it wraps nothing,
    // nothing for an install error of another kind.
    static std::exception_ptr underlyingFailure(const std::exception_ptr& error);

  private:
    enum class AttemptResult { complete, restartFromZero };

    // `counted`: the bytes this download has reported already (from an earlier source).
    std::filesystem::path copyLocalFile(const CVTAVAsset& asset, const platform::Url& source,
                                        const ProgressHandler& onProgress, std::int64_t counted,
                                        const TotalBytesHandler& onTotalBytesResolved,
                                        const std::stop_token& stop);
    std::filesystem::path downloadFromNetwork(const CVTAVAsset& asset, const platform::Url& source,
                                              const ProgressHandler& onProgress,
                                              std::int64_t counted,
                                              const TotalBytesHandler& onTotalBytesResolved,
                                              const std::stop_token& stop);
    AttemptResult performHTTPDownload(DownloadHandler& attempt, const std::stop_token& stop);
    void probeAfter416(DownloadHandler& attempt, const std::stop_token& stop);
    bool pause(std::chrono::seconds duration, const std::stop_token& stop) const;
    bool fetchInSegments(const CVTAVAsset& asset, const CacheSlot& slot,
                         std::optional<SegmentTable::Decoded> resumed, std::size_t connections,
                         ConnectionBudget& budget, const ProgressHandler& onProgress,
                         const TotalBytesHandler& onTotalBytesResolved,
                         const std::stop_token& stop);

    Timing timing_;
    ChunkObserver chunkObserver_;
    Segments segments_;
    bool moreSources_ = false; // of the download under way
    // Where its ranges may come from: with a digest every source left, else the current one.
    std::vector<std::string> rangeSources_;
    SourceHealth* health_ = nullptr; // of the download under way
};
