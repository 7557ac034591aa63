#include "download/CorvelResumableDownloader.h"

#include "download/HttpHeaderValues.h"
#include "download/SegmentedTransfer.h"

#include "log/ByteCount.h"
#include "log/CorvelSetupLogger.h"
#include "platform/Cancellation.h"
#include "platform/DomainError.h"
#include "platform/FileOps.h"
#include "platform/HttpClient.h"
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
constexpr std::chrono::seconds connectLimit{60};

// Thrown through a transfer whose body runs past the stated total.
struct BodyOverrun {};

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

[[noreturn]] void throwFileError(const char* what, const fs::path& path, int error) {
    throw fs::filesystem_error(what, path, std::error_code(error, std::generic_category()));
}

// The If-Range value. An empty one identifies nothing; one that cannot travel
// as a header line (from a broken server or an edited file) counts as none too:
// sending it would fail this slot on every run before any request is made.
std::optional<std::string> usableValidator(const std::optional<CacheMeta>& meta) {
    auto validator = cache::resumeValidator(meta);
    if (validator && (validator->empty() ||
                      validator->find_first_of(std::string_view("\r\n\0", 3)) != std::string::npos))
        return std::nullopt;
    return validator;
}

DomainError downloadError(long code, const std::string& message) {
    return DomainError(CorvelResumableDownloader::errorDomain, code, message);
}

CorvelResumableDownloader::HttpStatusError statusError(const HttpResponseHead& head,
                                                       const std::string& url) {
    return CorvelResumableDownloader::HttpStatusError(
        head.status, fmt::format("HTTP {} — {}", head.status, url), retryAfter(head));
}

// A body of another size than the file is known to have is not that file
// (an error page, a compressed or cut-down copy). Nothing of it is written;
// like a cut connection it is worth another attempt, and then a clear failure.
TransportError sizeMismatch(long status, std::int64_t stated, std::int64_t known,
                            const std::string& url) {
    return TransportError(
        TransportErrorKind::connectionLost, CURLE_PARTIAL_FILE,
        fmt::format("HTTP {} 的大小 {}B 与已知的大小 {}B 不符 — {}", status, stated, known, url));
}

// One byte is also what an asset gets when neither HEAD nor the manifest told
// its size, so it says nothing.
std::optional<std::int64_t> knownTotal(const CVTAVAsset& asset) {
    if (asset.expectedBytes > 1) return asset.expectedBytes;
    return std::nullopt;
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

} // namespace

// One transfer attempt: what the response handlers share.
struct CorvelResumableDownloader::Attempt {
    Attempt(const CVTAVAsset& asset, const CacheSlot& slot, std::int64_t existingBytes,
            std::optional<CacheMeta> previousMeta, const ProgressHandler& onProgress,
            const TotalBytesHandler& onTotalBytesResolved)
        : asset(asset), slot(slot), existingBytes(existingBytes), requestedFrom(existingBytes),
          previousMeta(std::move(previousMeta)), onProgress(onProgress),
          onTotalBytesResolved(onTotalBytesResolved) {}

    const CVTAVAsset& asset;
    const CacheSlot& slot;
    std::int64_t existingBytes;
    const std::int64_t requestedFrom; // the range asked for; existingBytes may be discarded
    std::optional<CacheMeta> previousMeta;
    const ProgressHandler& onProgress;
    const TotalBytesHandler& onTotalBytesResolved;
    const ChunkObserver* chunkObserver = nullptr;
    std::optional<std::int64_t> knownTotal; // from HEAD or the manifest, when they told it

    platform::UniqueFd fileHandle;
    std::int64_t bytesOnDisk = 0; // size of the part file while the body is written
    long status = 0;
    std::optional<std::int64_t> serverTotalBytes;
    bool sawResponse = false;
    bool didReportTotalBytes = false;
    bool recoveringFrom416 = false;
    bool restartFromZero = false;

    const std::string& url() const { return asset.url.absoluteString(); }

    void progress(std::int64_t delta) const {
        if (onProgress) onProgress(delta);
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
    bool acceptResponse(const HttpResponseHead& head);
    // "ETag A ≠ B" when the 206 names another version than the one If-Range asked for.
    std::optional<std::string> changedValidator(const HttpResponseHead& head) const;
    void appendChunk(const char* data, std::size_t size);
};

bool CorvelResumableDownloader::Attempt::acceptResponse(const HttpResponseHead& head) {
    sawResponse = true;
    status = head.status;
    if (status == 416) {
        recoveringFrom416 = true;
        return false;
    }
    if (status < 200 || status > 299) throw statusError(head, url());

    auto etag = head.header("ETag");
    auto lastModified = head.header("Last-Modified");
    auto contentLength = parseInt64(head.header("Content-Length"));
    bool writeFromZero = true;

    if (status == 206) {
        // An empty Content-Range counts as absent.
        const std::string contentRange = head.header("Content-Range").value_or("");
        serverTotalBytes = contentRange.empty() ? std::nullopt : contentRangeTotal(contentRange);
        if (!serverTotalBytes && contentLength) {
            // A length no file can have next to the bytes asked past is a lie, not a size.
            if (*contentLength < 0 ||
                *contentLength > std::numeric_limits<std::int64_t>::max() - requestedFrom)
                throw downloadError(206, fmt::format("HTTP 206 的 Content-Length 无效 ({}) — {}",
                                                     *contentLength, url()));
            serverTotalBytes = requestedFrom + *contentLength;
        }
        // A range of the file we hold a part of: its size is the one recorded with that part.
        auto recorded = previousMeta ? previousMeta->totalBytes : std::nullopt;
        if (!serverTotalBytes && requestedFrom > 0 && recorded && *recorded >= 1)
            serverTotalBytes = recorded;
        log(LogLevel::info, fmt::format("  HTTP 206 Partial [{}] total={} 从 {} 续传", asset.name,
                                        serverTotalBytes.value_or(-1), requestedFrom));
        if (knownTotal && serverTotalBytes && *serverTotalBytes != *knownTotal)
            throw sizeMismatch(status, *serverTotalBytes, *knownTotal, url());

        // A server that ignores If-Range answers with a range of whatever it has now.
        if (auto changed = changedValidator(head)) {
            log(LogLevel::warn,
                fmt::format("  HTTP 206 Partial [{}] 文件版本已变 ({})，丢弃本地 {} "
                            "bytes 重新下载",
                            asset.name, *changed, requestedFrom));
            discardLocalBytes();
            restartFromZero = true;
            return false;
        }

        // Appending a range that does not continue our bytes, or that belongs to a
        // file of another size, would splice a corrupt file.
        auto start = contentRange.empty() ? requestedFrom : contentRangeStart(contentRange);
        bool totalMatches = requestedFrom == 0 || !recorded || *recorded < 1 || !serverTotalBytes ||
                            *serverTotalBytes == *recorded;
        if (start == requestedFrom && totalMatches) {
            writeFromZero = false;
        } else if (start != 0) {
            if (requestedFrom == 0)
                throw downloadError(206, fmt::format("HTTP 206 返回的范围与请求不符 ({}) — {}",
                                                     contentRange, url()));
            log(LogLevel::warn,
                fmt::format("  HTTP 206 Partial [{}] 返回的范围与本地不符 ({})，丢弃本地 {} "
                            "bytes 重新下载",
                            asset.name, contentRange.empty() ? "无 Content-Range" : contentRange,
                            requestedFrom));
            discardLocalBytes();
            restartFromZero = true;
            return false;
        } else {
            log(LogLevel::warn,
                fmt::format("  HTTP 206 Partial [{}] 返回的范围从 0 开始 ({})，丢弃本地 {} bytes "
                            "重新下载",
                            asset.name, contentRange, requestedFrom));
        }
    } else {
        serverTotalBytes = contentLength;
        if (knownTotal && contentLength && *contentLength != *knownTotal)
            throw sizeMismatch(status, *contentLength, *knownTotal, url());
        if (requestedFrom < 1)
            log(LogLevel::info,
                fmt::format("  HTTP 200 OK [{}] total={}", asset.name, contentLength.value_or(-1)));
        else
            log(LogLevel::warn,
                fmt::format("  HTTP 200 OK [{}] 服务器拒绝 Range，丢弃本地 {} bytes 重新下载",
                            asset.name, requestedFrom));
    }
    if (writeFromZero) discardLocalBytes();
    // Without a stated length the known one bounds the body and tells a cut from the end.
    if (!serverTotalBytes) serverTotalBytes = knownTotal;

    fileHandle =
        platform::UniqueFd(::open(slot.partURL.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644));
    if (!fileHandle) throwFileError("cannot open part file", slot.partURL, errno);
    off_t end = ::lseek(fileHandle.get(), 0, SEEK_END);
    if (end < 0) throwFileError("cannot seek part file", slot.partURL, errno);
    bytesOnDisk = end;

    cache::writeMeta(CacheMeta{etag, lastModified, serverTotalBytes, url()}, slot);
    if (serverTotalBytes) reportTotal(*serverTotalBytes);
    return true;
}

std::optional<std::string>
CorvelResumableDownloader::Attempt::changedValidator(const HttpResponseHead& head) const {
    if (requestedFrom < 1) return std::nullopt;
    auto sent = usableValidator(previousMeta);
    if (!sent) return std::nullopt;
    const bool byETag = previousMeta->etag && *previousMeta->etag == *sent;
    const char* name = byETag ? "ETag" : "Last-Modified";
    auto received = head.header(name);
    // A 206 without the header cannot be compared; the range checks still apply.
    if (!received || *received == *sent) return std::nullopt;
    return fmt::format("{} {} ≠ {}", name, *received, *sent);
}

void CorvelResumableDownloader::Attempt::appendChunk(const char* data, std::size_t size) {
    if (!fileHandle) return;
    // Bytes past the stated total mean the body is not the file it claims to be;
    // none of them are written, so the part never grows beyond the total.
    if (serverTotalBytes && *serverTotalBytes >= 0 &&
        static_cast<std::uint64_t>(bytesOnDisk) + size >
            static_cast<std::uint64_t>(*serverTotalBytes))
        throw BodyOverrun{};
    while (size > 0) {
        ssize_t written = ::write(fileHandle.get(), data, size);
        if (written < 0) {
            if (errno == EINTR) continue;
            // Thrown through the transfer; the bytes written so far stay for a resume.
            throwFileError("cannot write part file", slot.partURL, errno);
        }
        if (written == 0) throwFileError("cannot write part file", slot.partURL, ENOSPC);
        if (chunkObserver && *chunkObserver)
            (*chunkObserver)(bytesOnDisk, data, static_cast<std::size_t>(written));
        data += written;
        size -= static_cast<std::size_t>(written);
        bytesOnDisk += written;
        progress(written);
    }
}

std::filesystem::path
CorvelResumableDownloader::download(const CVTAVAsset& asset, const ProgressHandler& onProgress,
                                    const TotalBytesHandler& onTotalBytesResolved,
                                    std::stop_token stop) {
    platform::throwIfStopped(stop);
    try {
        if (asset.url.isFile()) {
            log(LogLevel::info,
                fmt::format("▶ 本地源 [{}] {}", asset.name, asset.url.filePath().string()));
            return copyLocalFile(asset, onProgress, onTotalBytesResolved, stop);
        }
        return downloadFromNetwork(asset, onProgress, onTotalBytesResolved, stop);
    } catch (const platform::CancelledError&) {
        throw;
    } catch (...) {
        // After a stop, whatever broke is a consequence of it.
        if (stop.stop_requested()) throw platform::CancelledError();
        throw;
    }
}

fs::path CorvelResumableDownloader::copyLocalFile(const CVTAVAsset& asset,
                                                  const ProgressHandler& onProgress,
                                                  const TotalBytesHandler& onTotalBytesResolved,
                                                  const std::stop_token& stop) {
    const fs::path source = asset.url.filePath();
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
    if (onProgress) onProgress(size);
    return slot.partURL;
}

fs::path CorvelResumableDownloader::downloadFromNetwork(
    const CVTAVAsset& asset, const ProgressHandler& onProgress,
    const TotalBytesHandler& onTotalBytesResolved, const std::stop_token& stop) {
    const CacheSlot slot = cache::makeSlot(asset.url);
    auto resumed = SegmentedTransfer::load(slot, cache::readMeta(slot));
    if (resumed && segments_.connections <= 1) {
        // Ranges of an earlier run: one connection continues from the first gap.
        SegmentedTransfer::keepPrefixAsPart(slot, *resumed);
        resumed.reset();
    }
    std::int64_t existing = resumed ? SegmentTable(resumed->total, resumed->ranges, 1).doneBytes()
                                    : cache::existingPartBytes(slot);
    logDownloadStart(asset.name, existing);
    if (existing >= 1 && onProgress) onProgress(existing);

    // The first connection of this download; more come in ranges when free.
    std::shared_ptr<ConnectionBudget> budget = segments_.budget;
    if (!budget && segments_.connections > 1)
        budget = std::make_shared<ConnectionBudget>(segments_.connections);
    if (budget && !budget->acquire(stop)) throw platform::CancelledError();
    struct Lease {
        ConnectionBudget* budget;
        ~Lease() {
            if (budget) budget->release();
        }
    } lease{budget.get()};

    const auto known = knownTotal(asset);
    if (segments_.connections > 1 &&
        (resumed || (existing == 0 && known && *known >= segments_.threshold))) {
        try {
            if (fetchInSegments(asset, slot, std::move(resumed), *budget, onProgress,
                                onTotalBytesResolved, stop)) {
                logDownloadDone(asset.name, cache::existingPartBytes(slot));
                return slot.partURL;
            }
        } catch (...) {
            if (stop.stop_requested()) throw platform::CancelledError();
            auto error = asNetworkError(std::current_exception());
            logDownloadFailed(asset.name, describeError(error));
            std::rethrow_exception(error);
        }
        existing = cache::existingPartBytes(slot);
    }

    for (int attempt = 0; attempt < maxAttempts; ++attempt) {
        try {
            if (attempt > 0) existing = cache::existingPartBytes(slot);
            auto meta = cache::readMeta(slot);
            if (cache::isOversized(meta, existing)) {
                log(LogLevel::warn, fmt::format("  🔧 part 超出记录的大小 [{}] ({}/{}) 清空重下",
                                                asset.name, existing, *meta->totalBytes));
                cache::resetPart(slot);
                if (onProgress) onProgress(-existing);
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
            if (existing >= 1 && !usableValidator(meta)) {
                log(LogLevel::warn,
                    fmt::format("  🔧 part 没有 ETag 或 Last-Modified [{}]，无法确认续传，丢弃本地 "
                                "{} bytes 从头下载",
                                asset.name, existing));
                cache::resetPart(slot);
                if (onProgress) onProgress(-existing);
                existing = 0;
            }
            platform::throwIfStopped(stop);
            Attempt transfer{asset, slot, existing, meta, onProgress, onTotalBytesResolved};
            transfer.chunkObserver = &chunkObserver_;
            transfer.knownTotal = knownTotal(asset);
            if (performHTTPDownload(transfer, stop) == AttemptResult::restartFromZero) {
                Attempt fresh{asset, slot, 0, std::nullopt, onProgress, onTotalBytesResolved};
                fresh.chunkObserver = &chunkObserver_;
                fresh.knownTotal = knownTotal(asset);
                performHTTPDownload(fresh, stop);
            }
            break;
        } catch (...) {
            if (stop.stop_requested()) throw platform::CancelledError();
            auto error = asNetworkError(std::current_exception());
            if (attempt + 1 < maxAttempts && isTransientNetworkError(error)) {
                const std::chrono::seconds delay = retryDelay(attempt, error);
                log(LogLevel::warn,
                    fmt::format("  ⟳ 瞬时网络错误，{}s 后重试 [{}] (attempt {}/{}): {}",
                                delay.count(), asset.name, attempt + 1, maxAttempts,
                                describeNetworkError(error)));
                if (!pause(delay, stop)) throw platform::CancelledError();
                continue;
            }
            logDownloadFailed(asset.name, describeError(error));
            std::rethrow_exception(error);
        }
    }

    logDownloadDone(asset.name, cache::existingPartBytes(slot));
    return slot.partURL;
}

CorvelResumableDownloader::AttemptResult
CorvelResumableDownloader::performHTTPDownload(Attempt& attempt, const std::stop_token& stop) {
    platform::HttpRequest request;
    request.url = attempt.url();
    request.timeout = timing_.transferLimit;
    request.connectTimeout = connectLimit;
    request.lowSpeedLimit = 1;
    request.lowSpeedTime = timing_.idleLimit;
    request.receiveBufferSize = receiveBufferBytes;
    // The bytes of the file itself: a compressed body would be taken for it.
    request.headers.emplace_back("Accept-Encoding", "identity");
    if (attempt.existingBytes >= 1) {
        request.headers.emplace_back("Range", fmt::format("bytes={}-", attempt.existingBytes));
        if (auto validator = usableValidator(attempt.previousMeta))
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
    } catch (const BodyOverrun&) {
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

void CorvelResumableDownloader::probeAfter416(Attempt& attempt, const std::stop_token& stop) {
    platform::HttpRequest request;
    request.url = attempt.url();
    request.headers.emplace_back("Range", "bytes=0-0");
    request.timeout = timing_.transferLimit;
    request.connectTimeout = connectLimit;
    request.lowSpeedLimit = 1;
    request.lowSpeedTime = timing_.idleLimit;

    std::optional<HttpResponseHead> head;
    platform::HttpHandlers handlers;
    // Only the head matters; a server that ignores the range must not send us the file.
    handlers.onHead = [&head](const HttpResponseHead& response) {
        head = response;
        return false;
    };
    handlers.onBody = [](const char*, std::size_t) {};
    auto outcome = platform::performHttp(request, handlers, stop);
    if (!head) head = outcome.head;

    const std::string& url = attempt.url();
    if (head->status == 0) throw downloadError(416, "HTTP 416 后探测请求无有效响应 — " + url);
    auto total = resolveTotalBytes(*head);
    if (!total)
        throw downloadError(
            416, fmt::format("HTTP 416 后无法确认文件大小（探测响应 {}） — {}", head->status, url));
    const std::int64_t existing = attempt.existingBytes;
    if (*total != existing) {
        log(LogLevel::warn, fmt::format("  HTTP 416 [{}] 本地 {}B 与服务器 {}B 不符，清空重下",
                                        attempt.asset.name, existing, *total));
        attempt.discardLocalBytes();
        throw downloadError(416, "本地缓存与服务器文件不一致，已清理请重试 — " + url);
    }
    cache::writeMeta(CacheMeta{head->header("ETag"), head->header("Last-Modified"), *total, url},
                     attempt.slot);
    attempt.reportTotal(*total);
    log(LogLevel::info, fmt::format("  HTTP 416 恢复 [{}] part 已完整 ({}B) 视为下载成功",
                                    attempt.asset.name, *total));
}

bool CorvelResumableDownloader::fetchInSegments(const CVTAVAsset& asset, const CacheSlot& slot,
                                                std::optional<SegmentTable::Decoded> resumed,
                                                ConnectionBudget& budget,
                                                const ProgressHandler& onProgress,
                                                const TotalBytesHandler& onTotalBytesResolved,
                                                const std::stop_token& stop) {
    std::optional<std::string> validator;
    SegmentTable::Decoded state;
    if (resumed) {
        validator = usableValidator(cache::readMeta(slot));
        state = std::move(*resumed);
    }
    if (!validator) {
        // A fresh start: the first range's answer names the version.
        const std::int64_t total = *knownTotal(asset);
        SegmentedTransfer::discard(slot);
        cache::resetPart(slot);
        state = {total, SegmentTable::plan(total, segments_.connections, segments_.minRange)};
    }
    if (onTotalBytesResolved) onTotalBytesResolved(state.total);

    SegmentedTransfer::Settings settings;
    settings.connections = segments_.connections;
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
        SegmentedTransfer::run(asset, slot, std::move(state), std::move(validator), settings, stop);
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
    std::exception_ptr carried = error;
    try {
        std::rethrow_exception(error);
    } catch (const CorvelInstallError& wrapped) {
        if (auto* network = std::get_if<CorvelInstallError::Network>(&wrapped.value()))
            carried = network->underlying;
        else
            return false;
    } catch (...) {
    }
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
    std::exception_ptr carried = error;
    try {
        std::rethrow_exception(error);
    } catch (const CorvelInstallError& wrapped) {
        if (auto* network = std::get_if<CorvelInstallError::Network>(&wrapped.value()))
            carried = network->underlying;
    } catch (...) {
    }
    try {
        if (carried) std::rethrow_exception(carried);
    } catch (const HttpStatusError& status) {
        if (status.retryAfter) delay = std::max(delay, std::min(*status.retryAfter, maxRetryAfter));
    } catch (...) {
    }
    return delay;
}

std::exception_ptr CorvelResumableDownloader::asTransferError(const std::exception_ptr& error) {
    return asNetworkError(error);
}

std::string CorvelResumableDownloader::describeNetworkError(const std::exception_ptr& error) {
    // This HTTP stack has no separate TLS status code to append.
    return describeError(error);
}
