#include "download/CorvelResumableDownloader.h"

#include "download/DownloadHandler.h"
#include "download/HttpHeaderValues.h"
#include "download/RangeProbe.h"
#include "download/SegmentedTransfer.h"
#include "download/SourcePool.h"

#include "log/ByteCount.h"
#include "log/CorvelSetupLogger.h"
#include "platform/Cancellation.h"
#include "platform/DomainError.h"
#include "platform/FileOps.h"
#include "platform/HttpClient.h"
#include "platform/ProxyEnvironment.h"
#include "platform/UniqueFd.h"
#include "types/CorvelInstallError.h"

#include <curl/curl.h>
#include <fmt/format.h>

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <limits>

#include <sys/stat.h>
#include <system_error>
#include <unistd.h>

namespace fs = std::filesystem;
using namespace HttpHeaderValues;
using platform::HttpResponseHead;
using platform::TransportError;
using platform::TransportErrorKind;

namespace {

// Large enough that a fast local transfer is not dominated by callbacks and
// write calls; the only buffer between the socket and the part file.
constexpr long receiveBufferBytes = 1 << 20;

void logDownloadStart(const std::string& name, std::int64_t existing) {
    if (existing < 1)
        log(LogLevel::info, fmt::format("▶ 开始下载 [{}] 从头开始", name));
    else
        log(LogLevel::info,
            fmt::format("▶ 开始下载 [{}] 续传自 {}", name, formatByteCount(existing)));
}

void logDownloadDone(const std::string& name, std::int64_t size) {
    log(LogLevel::info, fmt::format("✔ 下载完成 [{}] {}", name, formatByteCount(size)));
}

void logDownloadFailed(const std::string& name, const std::string& description) {
    log(LogLevel::error, fmt::format("✘ 下载失败 [{}] {}", name, description));
}

DomainError downloadError(long code, const std::string& message) {
    return DomainError(CorvelResumableDownloader::errorDomain, code, message);
}

std::exception_ptr asNetworkError(std::exception_ptr error) {
    try {
        std::rethrow_exception(error);
    } catch (const CorvelInstallError&) {
        return error;
    } catch (const std::system_error&) {
        // A file that cannot be written is no network failure: it travels as
        // itself, so a full disk reads as one.
        return error;
    } catch (...) {
        return std::make_exception_ptr(CorvelInstallError::network(error));
    }
}

// The failure of the transfer itself: what a network error wraps, the error as
// it is when it wraps nothing, nothing for an install error of another kind.
std::exception_ptr transferFailure(const std::exception_ptr& error) {
    try {
        std::rethrow_exception(error);
    } catch (const CorvelInstallError& wrapped) {
        auto* network = std::get_if<CorvelInstallError::Network>(&wrapped.value());
        return network ? network->underlying : nullptr;
    } catch (...) {
        return error;
    }
}

// A failure of the source rather than of this machine: another source may do better.
bool isSourceFailure(const std::exception_ptr& error) {
    try {
        std::rethrow_exception(error);
    } catch (const CorvelInstallError& wrapped) {
        return std::holds_alternative<CorvelInstallError::Network>(wrapped.value());
    } catch (...) {
        return false;
    }
}

} // namespace

std::filesystem::path
CorvelResumableDownloader::download(const CVTAVAsset& asset, const ProgressHandler& onProgress,
                                    const TotalBytesHandler& onTotalBytesResolved,
                                    std::stop_token stop) {
    platform::throwIfStopped(stop);
    SourceHealth ownHealth;
    SourceHealth& health = segments_.health ? *segments_.health : ownHealth;
    health_ = &health;
    SourcePool pool(asset.fetchSources(), health);
    if (pool.exhausted()) {
        auto all = std::make_exception_ptr(CorvelInstallError::network(
            std::make_exception_ptr(downloadError(-1, pool.failureMessage()))));
        logDownloadFailed(asset.name, describeError(all));
        std::rethrow_exception(all);
    }
    // What this download has reported so far: the next source goes on from there.
    std::int64_t counted = 0;
    const ProgressHandler counting = [&counted, &onProgress](std::int64_t delta,
                                                             ByteOrigin origin) {
        counted += delta;
        if (onProgress) onProgress(delta, origin);
    };
    for (;;) {
        const platform::Url source = pool.current();
        moreSources_ = pool.hasNext();
        rangeSources_ = {source.absoluteString()};
        // Bytes from several hosts can be joined only when the digest checks the result.
        if (!asset.sha256.empty())
            for (const auto& other : pool.healthy())
                if (!other.isFile() && other != source)
                    rangeSources_.push_back(other.absoluteString());
        try {
            if (source.isFile()) {
                log(LogLevel::info,
                    fmt::format("▶ 本地源 [{}] {}", asset.name, source.filePath().string()));
                return copyLocalFile(asset, source, counting, counted, onTotalBytesResolved, stop);
            }
            return downloadFromNetwork(asset, source, counting, counted, onTotalBytesResolved,
                                       stop);
        } catch (const platform::CancelledError&) {
            throw;
        } catch (...) {
            // After a stop, whatever broke is a consequence of it.
            if (stop.stop_requested()) throw platform::CancelledError();
            auto error = asNetworkError(std::current_exception());
            if (!pool.hasAlternatives() || !isSourceFailure(error)) {
                if (!source.isFile()) logDownloadFailed(asset.name, describeError(error));
                std::rethrow_exception(error);
            }
            // Ranges from several sources end in a failure only once the last of
            // them has failed; the others were given up, and said so, already.
            std::string failed = source.absoluteString();
            for (const auto& url : rangeSources_)
                if (!health.droppedReason(url)) {
                    failed = url;
                    break;
                }
            if (!health.droppedReason(failed)) {
                const auto failure = transferFailure(error);
                log(LogLevel::warn,
                    pool.drop(asset.name, failed, describeError(failure), isHostFailure(failure)));
            }
            if (pool.exhausted()) {
                auto all = std::make_exception_ptr(CorvelInstallError::network(
                    std::make_exception_ptr(downloadError(-1, pool.failureMessage()))));
                logDownloadFailed(asset.name, describeError(all));
                std::rethrow_exception(all);
            }
            // Bytes from two hosts can only be joined when the digest checks the result.
            if (asset.sha256.empty() && counted != 0) {
                const CacheSlot slot = cache::makeSlot(asset.url);
                SegmentedTransfer::discard(slot);
                cache::resetPart(slot);
                counting(-counted, ByteOrigin::network);
            }
        }
    }
}

fs::path CorvelResumableDownloader::copyLocalFile(const CVTAVAsset& asset,
                                                  const platform::Url& from,
                                                  const ProgressHandler& onProgress,
                                                  std::int64_t counted,
                                                  const TotalBytesHandler& onTotalBytesResolved,
                                                  const std::stop_token& stop) {
    const fs::path source = from.filePath();
    std::error_code missing;
    if (!fs::exists(source, missing))
        throw CorvelInstallError::network(
            std::make_exception_ptr(downloadError(-1, "本地文件不存在: " + source.string())));
    CacheSlot slot = cache::makeSlot(asset.url);
    platform::throwIfStopped(stop);
    fs::remove(slot.partURL);
    // Follows a linked source: the slot must hold the content, not a link to it.
    platform::copyFileContents(source, slot.partURL, 0644);
    std::int64_t size = cache::existingPartBytes(slot);
    if (size >= 1 && onTotalBytesResolved) onTotalBytesResolved(size);
    if (onProgress && size != counted) onProgress(size - counted, ByteOrigin::foundOnDisk);
    return slot.partURL;
}

fs::path CorvelResumableDownloader::downloadFromNetwork(
    const CVTAVAsset& asset, const platform::Url& source, const ProgressHandler& onProgress,
    std::int64_t counted, const TotalBytesHandler& onTotalBytesResolved,
    const std::stop_token& stop) {
    const CacheSlot slot = cache::makeSlot(asset.url);
    std::string sourceText = source.absoluteString();
    // Bytes another source wrote: its validator means nothing here, the digest checks them.
    auto fromOtherSource = [&](const std::optional<CacheMeta>& meta) {
        return !asset.sha256.empty() && meta && meta->sourceURL != sourceText;
    };
    const auto metaAtStart = cache::readMeta(slot);
    auto resumed = SegmentedTransfer::load(slot, metaAtStart);
    // A caching proxy stores plain GETs only: behind one, range requests would
    // pull every byte from the origin again for each machine.
    const bool oneConnection = segments_.connections <= 1 || platform::proxyFor(source).has_value();
    std::int64_t existing = resumed ? SegmentTable(resumed->total, resumed->ranges, 1).doneBytes()
                                    : cache::existingPartBytes(slot);
    logDownloadStart(asset.name, existing);
    if (existing != counted && onProgress) onProgress(existing - counted, ByteOrigin::foundOnDisk);

    // The first connection of this download; more come in ranges when free.
    std::shared_ptr<ConnectionBudget> budget = segments_.budget;
    if (!budget && (segments_.connections > 1 || resumed))
        budget = std::make_shared<ConnectionBudget>(segments_.connections);
    if (budget && !budget->acquire(stop)) throw platform::CancelledError();
    struct Lease {
        ConnectionBudget* budget;
        ~Lease() {
            if (budget) budget->release();
        }
    } lease{budget.get()};

    const auto known = DownloadHandler::knownTotalOf(asset);
    // Ranges of an earlier run (or blocks found in an older copy) go on as
    // ranges even over one connection: only the missing bytes are fetched.
    if (resumed || (!oneConnection && existing == 0 && known && *known >= segments_.threshold)) {
        try {
            if (fetchInSegments(asset, slot, std::move(resumed),
                                oneConnection ? 1 : segments_.connections, *budget, onProgress,
                                onTotalBytesResolved, stop)) {
                logDownloadDone(asset.name, cache::existingPartBytes(slot));
                return slot.partURL;
            }
        } catch (...) {
            if (stop.stop_requested()) throw platform::CancelledError();
            std::rethrow_exception(asNetworkError(std::current_exception()));
        }
        existing = cache::existingPartBytes(slot);
        // The ranges gave this source up before another one's answer ended them:
        // the one connection goes to the first source still at hand.
        for (const auto& url : rangeSources_)
            if (!health_->droppedReason(url)) {
                sourceText = url;
                break;
            }
    }

    for (int attempt = 0; attempt < maxAttempts; ++attempt) {
        try {
            if (attempt > 0) existing = cache::existingPartBytes(slot);
            auto meta = cache::readMeta(slot);
            const bool carried = fromOtherSource(meta);
            if (carried) {
                meta->etag.reset();
                meta->lastModified.reset();
            }
            if (cache::isOversized(meta, existing)) {
                log(LogLevel::warn, fmt::format("  🔧 part 超出记录的大小 [{}] ({}/{}) 清空重下",
                                                asset.name, existing, *meta->totalBytes));
                cache::resetPart(slot);
                if (onProgress) onProgress(-existing, ByteOrigin::network);
                existing = 0;
            }
            if (cache::isCacheHit(meta, existing)) {
                log(LogLevel::info, fmt::format("  缓存命中 [{}] part 已完整 ({}/{}) 跳过网络",
                                                asset.name, existing, *meta->totalBytes));
                if (onTotalBytesResolved) onTotalBytesResolved(*meta->totalBytes);
                break;
            }
            // Without a validator a range cannot tell whether the file changed since
            // the part was written: appending could splice two files into one.
            if (existing >= 1 && !carried && !DownloadHandler::usableValidator(meta)) {
                log(LogLevel::warn,
                    fmt::format("  🔧 part 没有 ETag 或 Last-Modified [{}]，无法确认续传，丢弃本地 "
                                "{} bytes 从头下载",
                                asset.name, existing));
                cache::resetPart(slot);
                if (onProgress) onProgress(-existing, ByteOrigin::network);
                existing = 0;
            }
            platform::throwIfStopped(stop);
            DownloadHandler transfer{asset, slot, existing, meta, onProgress, onTotalBytesResolved};
            transfer.chunkObserver = &chunkObserver_;
            transfer.knownTotal = DownloadHandler::knownTotalOf(asset);
            transfer.source = sourceText;
            if (performHTTPDownload(transfer, stop) == AttemptResult::restartFromZero) {
                DownloadHandler fresh{asset,        slot,       0,
                                      std::nullopt, onProgress, onTotalBytesResolved};
                fresh.chunkObserver = &chunkObserver_;
                fresh.knownTotal = DownloadHandler::knownTotalOf(asset);
                fresh.source = sourceText;
                performHTTPDownload(fresh, stop);
            }
            break;
        } catch (...) {
            if (stop.stop_requested()) throw platform::CancelledError();
            auto error = asNetworkError(std::current_exception());
            if (attempt + 1 < maxAttempts && isTransientNetworkError(error) &&
                !(moreSources_ && isUnreachable(error))) {
                const std::chrono::seconds delay = retryDelay(attempt, error);
                log(LogLevel::warn,
                    fmt::format("  ⟳ 瞬时网络错误，{}s 后重试 [{}] (attempt {}/{}): {}",
                                delay.count(), asset.name, attempt + 1, maxAttempts,
                                describeNetworkError(error)));
                if (!pause(delay, stop)) throw platform::CancelledError();
                continue;
            }
            std::rethrow_exception(error);
        }
    }

    logDownloadDone(asset.name, cache::existingPartBytes(slot));
    return slot.partURL;
}

CorvelResumableDownloader::AttemptResult
CorvelResumableDownloader::performHTTPDownload(DownloadHandler& attempt,
                                               const std::stop_token& stop) {
    platform::HttpRequest request =
        RangeProbe::transferRequest(attempt.url(), timing_.transferLimit, timing_.idleLimit);
    request.receiveBufferSize = receiveBufferBytes;
    // The bytes of the file itself: a compressed body would be taken for it.
    request.headers.emplace_back("Accept-Encoding", "identity");
    if (attempt.existingBytes >= 1) {
        request.headers.emplace_back("Range", fmt::format("bytes={}-", attempt.existingBytes));
        if (auto validator = DownloadHandler::usableValidator(attempt.previousMeta))
            request.headers.emplace_back("If-Range", *validator);
    }

    platform::HttpHandlers handlers;
    handlers.onHead = [&attempt](const HttpResponseHead& head) {
        return attempt.acceptResponse(head);
    };
    handlers.onBody = [&attempt](const char* data, std::size_t size) {
        attempt.appendChunk(data, size);
    };
    try {
        platform::performHttp(request, handlers, stop);
    } catch (const DownloadHandler::BodyOverrun&) {
        attempt.fileHandle.reset();
        // Which bytes are wrong cannot be told: the part goes, and a ranged
        // attempt is repeated once as a whole download, as for a foreign range.
        log(LogLevel::warn,
            fmt::format("  HTTP {} [{}] 响应体超出声明的大小 {}B，清空 part", attempt.status,
                        attempt.asset.name, *attempt.serverTotalBytes));
        cache::resetPart(attempt.slot);
        attempt.progress(-attempt.bytesOnDisk);
        if (attempt.requestedFrom > 0) return AttemptResult::restartFromZero;
        throw TransportError(TransportErrorKind::connectionLost, CURLE_PARTIAL_FILE,
                             fmt::format("HTTP {} 响应体超出声明的大小 {}B — {}", attempt.status,
                                         *attempt.serverTotalBytes, attempt.url()));
    }
    attempt.fileHandle.reset();

    if (attempt.recoveringFrom416) {
        probeAfter416(attempt, stop);
        return AttemptResult::complete;
    }
    if (attempt.restartFromZero) return AttemptResult::restartFromZero;
    if (!attempt.sawResponse)
        throw TransportError(TransportErrorKind::badServerResponse, CURLE_WEIRD_SERVER_REPLY,
                             curl_easy_strerror(CURLE_WEIRD_SERVER_REPLY));

    // A body that ends early (a close-delimited or chunked one cut off) is a lost
    // connection, never a finished download: the next attempt resumes.
    if (attempt.serverTotalBytes && *attempt.serverTotalBytes >= 0) {
        std::int64_t onDisk = cache::existingPartBytes(attempt.slot);
        if (onDisk < *attempt.serverTotalBytes)
            throw TransportError(TransportErrorKind::connectionLost, CURLE_PARTIAL_FILE,
                                 fmt::format("{} ({}/{} bytes)",
                                             curl_easy_strerror(CURLE_PARTIAL_FILE), onDisk,
                                             *attempt.serverTotalBytes));
    }
    return AttemptResult::complete;
}

void CorvelResumableDownloader::probeAfter416(DownloadHandler& attempt,
                                              const std::stop_token& stop) {
    const std::string& url = attempt.url();
    auto [head, total] =
        RangeProbe::afterRefusedRange(url, timing_.transferLimit, timing_.idleLimit, stop);
    const std::int64_t existing = attempt.existingBytes;
    if (total != existing) {
        log(LogLevel::warn, fmt::format("  HTTP 416 [{}] 本地 {}B 与服务器 {}B 不符，清空重下",
                                        attempt.asset.name, existing, total));
        attempt.discardLocalBytes();
        throw downloadError(416, "本地缓存与服务器文件不一致，已清理请重试 — " + url);
    }
    cache::writeMeta(CacheMeta{head.header("ETag"), head.header("Last-Modified"), total, url},
                     attempt.slot);
    attempt.reportTotal(total);
    log(LogLevel::info, fmt::format("  HTTP 416 恢复 [{}] part 已完整 ({}B) 视为下载成功",
                                    attempt.asset.name, total));
}

bool CorvelResumableDownloader::fetchInSegments(const CVTAVAsset& asset, const CacheSlot& slot,
                                                std::optional<SegmentTable::Decoded> resumed,
                                                std::size_t connections, ConnectionBudget& budget,
                                                const ProgressHandler& onProgress,
                                                const TotalBytesHandler& onTotalBytesResolved,
                                                const std::stop_token& stop) {
    std::optional<CacheMeta> version;
    SegmentTable::Decoded state;
    bool kept = false;
    if (resumed) {
        auto meta = cache::readMeta(slot);
        const bool listed =
            meta && std::ranges::find(rangeSources_, meta->sourceURL) != rangeSources_.end();
        // Ranges a source not at hand wrote are kept only when the digest will check them;
        // the first answer then names the version.
        if (listed || !asset.sha256.empty()) {
            if (listed) version = std::move(meta);
            state = std::move(*resumed);
            kept = true;
        }
    }
    if (!kept) {
        // A fresh start: the first range's answer names the version.
        const std::int64_t total = *DownloadHandler::knownTotalOf(asset);
        SegmentedTransfer::discard(slot);
        cache::resetPart(slot);
        state = {total, SegmentTable::plan(total, connections, segments_.minRange)};
    }
    if (onTotalBytesResolved) onTotalBytesResolved(state.total);

    SegmentedTransfer::Settings settings;
    settings.sources = rangeSources_;
    settings.health = health_;
    settings.anotherSource = moreSources_;
    settings.connections = connections;
    settings.minRange = segments_.minRange;
    settings.budget = &budget;
    settings.idleLimit = timing_.idleLimit;
    settings.transferLimit = timing_.transferLimit;
    settings.pause = [this](std::chrono::seconds duration, std::stop_token wake) {
        return pause(duration, wake);
    };
    settings.onProgress = onProgress;
    settings.onOrderedBytes = chunkObserver_;
    auto outcome =
        SegmentedTransfer::run(asset, slot, std::move(state), std::move(version), settings, stop);
    if (outcome.complete) return true;
    log(LogLevel::warn,
        fmt::format("  ⚠ 分段下载回退 [{}] {}，丢弃分段数据 {} bytes，改用单连接从头下载",
                    asset.name, outcome.fallbackReason, outcome.discardedBytes));
    return false;
}

bool CorvelResumableDownloader::pause(std::chrono::seconds duration,
                                      const std::stop_token& stop) const {
    if (timing_.pause) return timing_.pause(duration, stop);
    return platform::waitFor(duration, stop);
}

bool CorvelResumableDownloader::isTransientNetworkError(const std::exception_ptr& error) {
    std::exception_ptr carried = transferFailure(error);
    if (!carried) return false;
    try {
        std::rethrow_exception(carried);
    } catch (const HttpStatusError& status) {
        return isTransientStatus(status.code());
    } catch (const TransportError& transport) {
        switch (transport.kind()) {
        case TransportErrorKind::timedOut:
        case TransportErrorKind::cannotFindHost:
        case TransportErrorKind::cannotConnect:
        case TransportErrorKind::connectionLost:
        case TransportErrorKind::dnsFailure:
        case TransportErrorKind::resourceUnavailable:
        case TransportErrorKind::notConnected:
        case TransportErrorKind::secureConnectionFailed:
            return true;
        default:
            return false;
        }
    } catch (...) {
        return false;
    }
}

std::chrono::seconds CorvelResumableDownloader::retryDelay(int attempt,
                                                           const std::exception_ptr& error) {
    std::chrono::seconds delay(2 << attempt);
    std::exception_ptr carried = transferFailure(error);
    try {
        if (carried) std::rethrow_exception(carried);
    } catch (const HttpStatusError& status) {
        if (status.retryAfter) delay = std::max(delay, std::min(*status.retryAfter, maxRetryAfter));
    } catch (...) {
    }
    return delay;
}

bool CorvelResumableDownloader::isStatusError(const std::exception_ptr& error) {
    try {
        if (auto carried = transferFailure(error)) std::rethrow_exception(carried);
    } catch (const HttpStatusError&) {
        return true;
    } catch (...) {
    }
    return false;
}

bool CorvelResumableDownloader::isHostFailure(const std::exception_ptr& error) {
    if (isUnreachable(error)) return true;
    try {
        if (auto carried = transferFailure(error)) std::rethrow_exception(carried);
    } catch (const TransportError& transport) {
        return transport.kind() == TransportErrorKind::timedOut ||
               transport.kind() == TransportErrorKind::secureConnectionFailed;
    } catch (...) {
    }
    return false;
}

bool CorvelResumableDownloader::isUnreachable(const std::exception_ptr& error) {
    try {
        if (auto carried = transferFailure(error)) std::rethrow_exception(carried);
    } catch (const TransportError& transport) {
        return transport.kind() == TransportErrorKind::cannotFindHost ||
               transport.kind() == TransportErrorKind::cannotConnect ||
               transport.kind() == TransportErrorKind::dnsFailure;
    } catch (...) {
    }
    return false;
}

std::exception_ptr CorvelResumableDownloader::underlyingFailure(const std::exception_ptr& error) {
    return transferFailure(error);
}

std::exception_ptr CorvelResumableDownloader::asTransferError(const std::exception_ptr& error) {
    return asNetworkError(error);
}

std::string CorvelResumableDownloader::describeNetworkError(const std::exception_ptr& error) {
    // This HTTP stack has no separate TLS status code to append.
    return describeError(error);
}
