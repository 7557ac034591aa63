#include "download/DownloadHandler.h"

#include "download/HttpHeaderValues.h"
#include "log/CorvelSetupLogger.h"
#include "platform/DomainError.h"
#include "platform/FileOps.h"

#include <curl/curl.h>
#include <fmt/format.h>

#include <cerrno>
#include <fcntl.h>
#include <limits>
#include <string_view>
#include <system_error>
#include <unistd.h>

namespace fs = std::filesystem;
using namespace HttpHeaderValues;
using platform::HttpResponseHead;
using platform::TransportError;
using platform::TransportErrorKind;

namespace {

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

} // namespace

std::optional<std::string> DownloadHandler::usableValidator(const std::optional<CacheMeta>& meta) {
    return cache::resumeValidator(meta);
}

std::optional<std::int64_t> DownloadHandler::knownTotalOf(const CVTAVAsset& asset) {
    if (asset.expectedBytes > 1) return asset.expectedBytes;
    return std::nullopt;
}

bool DownloadHandler::acceptResponse(const HttpResponseHead& head) {
    sawResponse = true;
    status = head.status;
    if (status == 416) {
        recoveringFrom416 = true;
        return false;
    }
    if (status < 200 || status > 299) throw statusError(head, url());
    // Compressed bytes kept as the file would be spliced with plain ones later.
    if (auto coding = foreignContentEncoding(head))
        throw downloadError(
            status,
            fmt::format("服务器返回了编码过的内容 (Content-Encoding: {}) — {}", *coding, url()));

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
    if (!fileHandle) platform::throwFileError("cannot open part file", slot.partURL, errno);
    off_t end = ::lseek(fileHandle.get(), 0, SEEK_END);
    if (end < 0) platform::throwFileError("cannot seek part file", slot.partURL, errno);
    bytesOnDisk = end;

    cache::writeMeta(CacheMeta{etag, lastModified, serverTotalBytes, url()}, slot);
    if (serverTotalBytes) reportTotal(*serverTotalBytes);
    return true;
}

std::optional<std::string> DownloadHandler::changedValidator(const HttpResponseHead& head) const {
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

void DownloadHandler::appendChunk(const char* data, std::size_t size) {
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
            platform::throwFileError("cannot write part file", slot.partURL, errno);
        }
        if (written == 0) platform::throwFileError("cannot write part file", slot.partURL, ENOSPC);
        if (chunkObserver && *chunkObserver)
            (*chunkObserver)(bytesOnDisk, data, static_cast<std::size_t>(written));
        data += written;
        size -= static_cast<std::size_t>(written);
        bytesOnDisk += written;
        progress(written);
    }
}
