#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <optional>
#include <stdexcept>
#include <stop_token>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace platform {

// Why a transfer failed below HTTP, in the categories the retry policy and the
// log care about.
enum class TransportErrorKind {
    timedOut,
    cannotFindHost,
    cannotConnect,
    connectionLost,
    dnsFailure,
    resourceUnavailable,
    notConnected,
    secureConnectionFailed,
    certificateUntrusted,
    cancelled,
    badServerResponse,
    other
};

// The kind for a CURLcode (taken as int so callers need not include curl).
TransportErrorKind transportErrorKindFor(int curlCode);

// The lower-camel-case name of a kind, for logs and test output.
const char* transportErrorKindName(TransportErrorKind kind);

// A transfer that failed below HTTP. what() is curl's own text.
class TransportError : public std::runtime_error {
  public:
    TransportError(TransportErrorKind kind, int curlCode, const std::string& text)
        : std::runtime_error(text), kind_(kind), curlCode_(curlCode) {}

    TransportErrorKind kind() const noexcept { return kind_; }
    int curlCode() const noexcept { return curlCode_; }

  private:
    TransportErrorKind kind_;
    int curlCode_;
};

struct HttpRequest {
    std::string method = "GET"; // "GET" or "HEAD"
    std::string url;            // absolute http or https
    std::vector<std::pair<std::string, std::string>> headers;
    std::chrono::milliseconds timeout{0};        // whole transfer; 0 = none
    std::chrono::milliseconds connectTimeout{0}; // 0 = curl's default
    long lowSpeedLimit = 0;                      // bytes per second, with lowSpeedTime
    std::chrono::seconds lowSpeedTime{0};
    bool followRedirects = true;
    long receiveBufferSize = 0; // CURLOPT_BUFFERSIZE when > 0
};

// Status and headers of the final response (redirects and 1xx answers are
// left behind).
struct HttpResponseHead {
    long status = 0;
    std::vector<std::pair<std::string, std::string>> headers; // in order, names as received

    // The first header of that name, compared case-insensitively; value trimmed.
    std::optional<std::string> header(std::string_view name) const;
};

struct HttpHandlers {
    // Called once, just before the first body byte (or after the transfer when
    // there is no body). Returning false ends the transfer quietly.
    std::function<bool(const HttpResponseHead&)> onHead;
    // Each body chunk in order; may throw to abort the transfer.
    std::function<void(const char* data, std::size_t size)> onBody;
};

struct HttpOutcome {
    HttpResponseHead head;
    bool stoppedByHandler = false;
};

// Runs one request on a fresh easy handle. An exception thrown by a handler
// aborts the transfer and is rethrown from here unchanged. A stop requested on
// the token aborts a transfer in flight with TransportError(cancelled).
// Transport failures throw TransportError. TLS is always verified; proxies
// come from the environment as libcurl reads them.
HttpOutcome performHttp(const HttpRequest& request, const HttpHandlers& handlers,
                        std::stop_token stop = {});

// curl_global_init and SIGPIPE ignored, once per process. Programs call it from
// main before starting threads; performHttp calls it too.
void initializeHttp();

} // namespace platform
