#include "download/RangeProbe.h"

#include "download/CorvelResumableDownloader.h"
#include "download/HttpHeaderValues.h"
#include "platform/DomainError.h"

#include <fmt/format.h>

#include <optional>

namespace RangeProbe {

namespace {
constexpr std::chrono::seconds connectLimit{60};
}

platform::HttpRequest transferRequest(const std::string& url,
                                      std::chrono::milliseconds transferLimit,
                                      std::chrono::seconds idleLimit) {
    platform::HttpRequest request;
    request.url = url;
    request.timeout = transferLimit;
    request.connectTimeout = connectLimit;
    request.lowSpeedLimit = 1;
    request.lowSpeedTime = idleLimit;
    return request;
}

Answer afterRefusedRange(const std::string& url, std::chrono::milliseconds transferLimit,
                         std::chrono::seconds idleLimit, std::stop_token stop) {
    platform::HttpRequest request = transferRequest(url, transferLimit, idleLimit);
    request.headers.emplace_back("Range", "bytes=0-0");

    std::optional<platform::HttpResponseHead> head;
    platform::HttpHandlers handlers;
    // Only the head matters; a server that ignores the range must not send us the file.
    handlers.onHead = [&head](const platform::HttpResponseHead& response) {
        head = response;
        return false;
    };
    handlers.onBody = [](const char*, std::size_t) {};
    auto outcome = platform::performHttp(request, handlers, stop);
    if (!head) head = outcome.head;

    const auto domain = CorvelResumableDownloader::errorDomain;
    if (head->status == 0) throw DomainError(domain, 416, "HTTP 416 后探测请求无有效响应 — " + url);
    auto total = HttpHeaderValues::resolveTotalBytes(*head);
    if (!total)
        throw DomainError(
            domain, 416,
            fmt::format("HTTP 416 后无法确认文件大小（探测响应 {}） — {}", head->status, url));
    return Answer{*head, *total};
}

} // namespace RangeProbe
