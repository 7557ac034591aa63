#include "download/SegmentedConnection.h"

#include "download/CorvelResumableDownloader.h"
#include "download/HttpHeaderValues.h"
#include "download/RangeProbe.h"
#include "log/CorvelSetupLogger.h"
#include "platform/Cancellation.h"
#include "platform/FileOps.h"
#include "types/CorvelInstallError.h"

#include <curl/curl.h>
#include <fmt/format.h>

#include <cerrno>
#include <system_error>
#include <unistd.h>

using platform::HttpResponseHead;
using platform::TransportError;
using platform::TransportErrorKind;

namespace SegmentedTransfer::detail {

namespace {

constexpr long receiveBufferBytes = 256 * 1024;

// ETags are quoted; anything else sent as If-Range is a date.
const char* validatorHeader(const std::string& validator) {
    return validator.starts_with('"') ? "ETag" : "Last-Modified";
}

// Why a source failed, as its log line says it.
std::string reasonOf(const std::exception_ptr& error) {
    try {
        std::rethrow_exception(error);
    } catch (const Fallback& fallback) {
        return fallback.reason;
    } catch (const Inconsistent& inconsistent) {
        return inconsistent.error.what();
    } catch (...) {
        return describeError(error);
    }
}

// A failure of the source rather than of this machine or of the run.
bool failsTheSource(const std::exception_ptr& error) {
    try {
        std::rethrow_exception(error);
    } catch (const Fallback&) {
        return true;
    } catch (const Inconsistent&) {
        return true;
    } catch (const std::system_error&) {
        return false;
    } catch (const platform::CancelledError&) {
        return false;
    } catch (...) {
        return true;
    }
}

} // namespace

bool Transfer::acceptHead(std::int64_t from, std::int64_t to, std::size_t source,
                          const HttpResponseHead& head) {
    const std::string origin = url(source);
    if (head.status == 416) return false;
    if (head.status == 200 || (head.status > 200 && head.status < 300 && head.status != 206))
        throw Fallback{fmt::format("服务器对 Range 请求返回 HTTP {}", head.status)};
    if (head.status != 206)
        throw CorvelResumableDownloader::HttpStatusError(
            head.status, fmt::format("HTTP {} — {}", head.status, origin),
            HttpHeaderValues::retryAfter(head));
    if (auto coding = HttpHeaderValues::foreignContentEncoding(head))
        throw Fallback{fmt::format("服务器返回了编码过的内容 (Content-Encoding: {})", *coding)};
    // Before a byte is written: a source serves this file only when it has its size.
    const std::string value = head.header("Content-Range").value_or("");
    auto range = HttpHeaderValues::parseContentRange(value);
    if (range && range->total != table.total())
        throw Fallback{fmt::format("文件大小已变 ({} → {})", table.total(), range->total)};
    if (!range || range->first != from || range->last != to)
        throw Fallback{fmt::format("Content-Range 与请求不符 ({} ≠ bytes {}-{})",
                                   value.empty() ? "无" : value, from, to)};

    auto etag = head.header("ETag");
    auto lastModified = head.header("Last-Modified");
    std::unique_lock lock(mutex);
    if (auto& known = sources[source].validator) {
        const char* name = validatorHeader(*known);
        auto received = head.header(name);
        if (received && *received != *known)
            throw Fallback{fmt::format("文件版本已变 ({} {} ≠ {})", name, *received, *known)};
        return true;
    }
    // A source's first answer names the version every later range from it must match.
    const CacheMeta meta{etag, lastModified, table.total(), origin};
    auto chosen = cache::resumeValidator(meta);
    // Another source's bytes without a version of their own are still checked by the digest.
    if (!chosen && !(named && many())) throw Fallback{"服务器没有给出强 ETag 或 Last-Modified"};
    sources[source].validator = chosen;
    if (named) return true;
    // The first range of a fresh download names the version the record is kept under.
    named = true;
    lock.unlock();
    cache::writeMeta(meta, slot);
    checkpoint();
    logPlan();
    notify();
    return true;
}

void Transfer::writeBody(std::size_t index, const char* data, std::size_t size) {
    while (size > 0) {
        auto slice = table.reserve(index, static_cast<std::int64_t>(size));
        // Past the range's end (it was shortened for another connection): done here.
        if (slice.count == 0) throw RangeDone{};
        std::int64_t left = slice.count;
        const char* at = data;
        std::int64_t offset = slice.offset;
        while (left > 0) {
            ssize_t written = ::pwrite(file.get(), at, static_cast<std::size_t>(left), offset);
            if (written < 0 && errno == EINTR) continue;
            if (written <= 0) {
                int error = written < 0 ? errno : ENOSPC;
                table.commit(index, slice.count - left);
                platform::throwFileError("cannot write segmented file", dataPath(slot), error);
            }
            at += written;
            offset += written;
            left -= written;
        }
        table.commit(index, slice.count);
        data += slice.count;
        size -= static_cast<std::size_t>(slice.count);
    }
}

void Transfer::probeAfter416(std::size_t source, std::stop_token stop) {
    const std::string at = url(source);
    const std::int64_t total =
        RangeProbe::afterRefusedRange(at, settings.transferLimit, settings.idleLimit, stop).total;
    const auto domain = CorvelResumableDownloader::errorDomain;
    if (total == table.total()) throw Fallback{"服务器拒绝了文件范围之内的 Range (HTTP 416)"};
    log(LogLevel::warn, fmt::format("  HTTP 416 [{}] 本地 {}B 与服务器 {}B 不符，清空重下",
                                    asset.name, table.total(), total));
    throw Inconsistent{
        DomainError(domain, 416, "本地缓存与服务器文件不一致，已清理请重试 — " + at)};
}

void Transfer::attemptRange(std::size_t index, std::size_t source, std::stop_token stop) {
    const std::int64_t from = table.position(index), end = table.end(index);
    if (from >= end) return;
    platform::HttpRequest request =
        RangeProbe::transferRequest(url(source), settings.transferLimit, settings.idleLimit);
    request.receiveBufferSize = receiveBufferBytes;
    request.headers.emplace_back("Accept-Encoding", "identity");
    request.headers.emplace_back("Range", fmt::format("bytes={}-{}", from, end - 1));
    {
        std::lock_guard lock(mutex);
        if (auto& validator = sources[source].validator)
            request.headers.emplace_back("If-Range", *validator);
    }
    bool refused = false;
    platform::HttpHandlers handlers;
    handlers.onHead = [&](const HttpResponseHead& head) {
        refused = !acceptHead(from, end - 1, source, head);
        return !refused;
    };
    handlers.onBody = [&](const char* data, std::size_t size) { writeBody(index, data, size); };
    try {
        platform::performHttp(request, handlers, stop);
    } catch (const RangeDone&) {
        return;
    }
    if (refused) probeAfter416(source, stop);
    if (table.position(index) < table.end(index))
        throw TransportError(TransportErrorKind::connectionLost, CURLE_PARTIAL_FILE,
                             fmt::format("{} (bytes {}-{} 只收到 {})",
                                         curl_easy_strerror(CURLE_PARTIAL_FILE), from, end - 1,
                                         table.position(index) - from));
}

void Transfer::fetchRange(std::size_t index, std::size_t source) {
    const auto stop = stopWorkers.get_token();
    for (int attempt = 0;; ++attempt) {
        try {
            attemptRange(index, source, stop);
            return;
        } catch (const Fallback&) {
            throw;
        } catch (const Inconsistent&) {
            throw;
        } catch (...) {
            if (stop.stop_requested()) throw platform::CancelledError();
            auto error = CorvelResumableDownloader::asTransferError(std::current_exception());
            // With other sources at hand a host that does not answer is not waited for.
            const bool othersWait = settings.anotherSource || many();
            if (attempt + 1 >= CorvelResumableDownloader::maxAttempts ||
                !CorvelResumableDownloader::isTransientNetworkError(error) ||
                (othersWait && CorvelResumableDownloader::isUnreachable(error)) ||
                (many() && CorvelResumableDownloader::isHostFailure(std::current_exception())))
                std::rethrow_exception(error);
            // A connection lost with other sources at hand is tried again at once: a host
            // that went away then refuses it and is given up, one that did not goes on.
            const bool lost = many() && !CorvelResumableDownloader::isStatusError(error);
            auto delay = lost ? std::chrono::seconds(0)
                              : CorvelResumableDownloader::retryDelay(attempt, error);
            log(LogLevel::warn,
                fmt::format("  ⟳ 瞬时网络错误，{}s 后重试 [{}] (attempt {}/{}): {}", delay.count(),
                            asset.name, attempt + 1, CorvelResumableDownloader::maxAttempts,
                            CorvelResumableDownloader::describeNetworkError(error)));
            bool waited =
                settings.pause ? settings.pause(delay, stop) : platform::waitFor(delay, stop);
            if (!waited) throw platform::CancelledError();
        }
    }
}

// A source that failed is given up while another is left, and the range goes
// back to the table for the others; the last one's failure is the transfer's.
bool Transfer::giveUp(std::size_t source, const std::exception_ptr& error) {
    std::unique_lock lock(mutex);
    if (!many() || stopWorkers.stop_requested()) return false;
    bool another = false;
    for (std::size_t i = 0; i < sources.size(); ++i)
        another = another || (i != source && usable(i));
    if (!another) return false;
    sources[source].dropped = true;
    const std::string at = sources[source].url;
    lock.unlock();
    // The innermost failure names the cause, as the single-source path does.
    std::exception_ptr cause = CorvelResumableDownloader::underlyingFailure(error);
    if (!cause) cause = error;
    const std::string reason = reasonOf(cause);
    // Said once for the run, whichever download gave the source up first.
    if (health.drop(at, reason, CorvelResumableDownloader::isHostFailure(cause)))
        log(LogLevel::warn, sourceDroppedLine(asset.name, at, reason));
    return true;
}

void Transfer::work(std::size_t index, bool primary, std::size_t source) {
    try {
        for (;;) {
            try {
                fetchRange(index, source);
            } catch (...) {
                auto error = std::current_exception();
                if (!failsTheSource(error) || !giveUp(source, error)) throw;
                table.unclaim(index);
                break;
            }
            if (stopWorkers.stop_requested()) break;
            // A download waiting for its first connection gets this one.
            if (!primary && settings.budget && settings.budget->hasWaiters()) break;
            {
                // A source given up on finishes its range but takes no other.
                std::lock_guard lock(mutex);
                if (!usable(source)) break;
            }
            auto next = table.claim();
            if (!next) break;
            index = *next;
            notify();
        }
    } catch (const Fallback& reason) {
        std::lock_guard lock(mutex);
        if (!fallback && !failure) fallback = reason.reason;
    } catch (const Inconsistent& error) {
        std::lock_guard lock(mutex);
        if (!inconsistent) inconsistent = error.error;
    } catch (...) {
        std::lock_guard lock(mutex);
        if (!failure && !stopWorkers.stop_requested()) failure = std::current_exception();
    }
    if (!primary && settings.budget) settings.budget->release();
    {
        std::lock_guard lock(mutex);
        --active;
        --sources[source].active;
        health.close(sources[source].url);
        if (primary) primaryBusy = false;
        event = true;
    }
    changed.notify_all();
}

} // namespace SegmentedTransfer::detail
