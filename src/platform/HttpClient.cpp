#include "platform/HttpClient.h"

#include "platform/RateLimit.h"

#include <curl/curl.h>

#include <algorithm>
#include <csignal>
#include <exception>
#include <memory>
#include <mutex>
#include <new>
#include <stdexcept>
#include <sys/socket.h>

namespace platform {

namespace {

struct EasyDeleter {
    void operator()(CURL* handle) const { curl_easy_cleanup(handle); }
};
using EasyHandle = std::unique_ptr<CURL, EasyDeleter>;

// Owns a curl_slist; curl only borrows it, so it must outlive the transfer.
class HeaderList {
  public:
    HeaderList() = default;
    ~HeaderList() { curl_slist_free_all(list_); }
    HeaderList(const HeaderList&) = delete;
    HeaderList& operator=(const HeaderList&) = delete;

    void append(const std::string& line) {
        curl_slist* grown = curl_slist_append(list_, line.c_str());
        if (grown == nullptr) throw std::bad_alloc();
        list_ = grown;
    }
    curl_slist* get() const { return list_; }

  private:
    curl_slist* list_ = nullptr;
};

bool isBlank(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

std::string_view trim(std::string_view text) {
    while (!text.empty() && isBlank(text.front()))
        text.remove_prefix(1);
    while (!text.empty() && isBlank(text.back()))
        text.remove_suffix(1);
    return text;
}

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        auto lower = [](char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c; };
        if (lower(a[i]) != lower(b[i])) return false;
    }
    return true;
}

// A header line may carry no CR/LF of its own: it would smuggle a second header.
void checkHeaderText(std::string_view text) {
    if (text.find_first_of("\r\n") != std::string_view::npos || text.find('\0') != text.npos)
        throw std::invalid_argument("HTTP header contains a line break");
}

struct Transfer {
    const HttpHandlers* handlers = nullptr;
    std::stop_token stop;
    HttpResponseHead head; // of the response whose headers are arriving
    bool headDelivered = false;
    bool stoppedByHandler = false;
    bool cancelled = false;
    std::exception_ptr handlerError;

    // Returns false when the transfer should end (handler said so or threw).
    bool deliverHead() {
        if (headDelivered) return true;
        headDelivered = true;
        if (!handlers->onHead) return true;
        try {
            if (!handlers->onHead(head)) {
                stoppedByHandler = true;
                return false;
            }
        } catch (...) {
            handlerError = std::current_exception();
            return false;
        }
        return true;
    }
};

std::size_t onHeaderLine(char* data, std::size_t size, std::size_t count, void* user) {
    auto* transfer = static_cast<Transfer*>(user);
    std::size_t length = size * count;
    // Trailers of a chunked body arrive after the head was handed out; they
    // are not part of it.
    if (transfer->headDelivered) return length;
    std::string_view line(data, length);
    if (line.starts_with("HTTP/")) {
        // Every status line starts a new response (1xx, redirects, proxy CONNECT).
        transfer->head = HttpResponseHead{};
        auto space = line.find(' ');
        if (space != std::string_view::npos) {
            long status = 0;
            std::size_t i = space + 1;
            int digits = 0;
            while (i < line.size() && line[i] >= '0' && line[i] <= '9' && digits < 3) {
                status = status * 10 + (line[i] - '0');
                ++i;
                ++digits;
            }
            transfer->head.status = digits == 3 ? status : 0;
        }
        return length;
    }
    std::string_view content = line;
    while (!content.empty() && (content.back() == '\r' || content.back() == '\n'))
        content.remove_suffix(1);
    if (content.empty()) return length;
    if ((content.front() == ' ' || content.front() == '\t') && !transfer->head.headers.empty()) {
        // Obsolete line folding continues the previous value.
        auto& value = transfer->head.headers.back().second;
        value += ' ';
        value += trim(content);
        return length;
    }
    auto colon = content.find(':');
    if (colon == std::string_view::npos) return length;
    transfer->head.headers.emplace_back(std::string(trim(content.substr(0, colon))),
                                        std::string(trim(content.substr(colon + 1))));
    return length;
}

std::size_t onBodyChunk(char* data, std::size_t size, std::size_t count, void* user) {
    auto* transfer = static_cast<Transfer*>(user);
    std::size_t length = size * count;
    if (transfer->stop.stop_requested()) {
        transfer->cancelled = true;
        // What arrived is kept: the server sent it once, and the next attempt
        // resumes after it instead of asking for it again.
        if (transfer->headDelivered && length > 0 && transfer->handlers->onBody) try {
                transfer->handlers->onBody(data, length);
            } catch (...) {
                // Cancelled anyway: the stop is what the caller hears about.
            }
        return CURL_WRITEFUNC_ERROR;
    }
    if (!transfer->deliverHead()) return CURL_WRITEFUNC_ERROR;
    if (length == 0 || !transfer->handlers->onBody) return length;
    try {
        transfer->handlers->onBody(data, length);
        // Every connection's bytes pass here: the one place the user's speed
        // limit holds for all of them together.
        throttleBody(static_cast<std::int64_t>(length), transfer->stop);
    } catch (...) {
        transfer->handlerError = std::current_exception();
        return CURL_WRITEFUNC_ERROR;
    }
    return length;
}

// libcurl calls this at least about once a second even when nothing moves,
// which bounds how long a stop request waits.
int onProgress(void* user, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
    auto* transfer = static_cast<Transfer*>(user);
    if (transfer->stop.stop_requested()) {
        transfer->cancelled = true;
        return 1;
    }
    return 0;
}

// curl opens its sockets without close-on-exec; a process spawned while a
// transfer runs must not inherit the connection.
curl_socket_t openSocket(void*, curlsocktype, curl_sockaddr* address) {
    const curl_socket_t socket =
        ::socket(address->family, address->socktype | SOCK_CLOEXEC, address->protocol);
    // Under a speed limit the kernel would otherwise keep reading ahead, megabytes
    // per connection, and the server would send far faster than the limit.
    if (const std::int64_t limit = bodyRateLimit(); limit > 0 && socket >= 0) {
        const int buffer = int(std::clamp<std::int64_t>(limit / 16, 32 * 1024, 4 << 20));
        ::setsockopt(socket, SOL_SOCKET, SO_RCVBUF, &buffer, sizeof buffer);
    }
    return socket;
}

template <typename T> void setOption(CURL* handle, CURLoption option, T value) {
    CURLcode code = curl_easy_setopt(handle, option, value);
    if (code != CURLE_OK)
        throw TransportError(transportErrorKindFor(code), code, curl_easy_strerror(code));
}

// curl_easy_perform notices a stop only with the next bytes or its next
// progress call, up to a second later; meanwhile a server that paces its
// bytes sends its next burst, which the closed connection then throws away.
// A multi handle is woken at once.
CURLcode performWakeable(CURL* handle, const std::stop_token& stop, bool& cancelled) {
    struct Multi {
        CURLM* multi = curl_multi_init();
        ~Multi() { curl_multi_cleanup(multi); }
    } owner;
    if (owner.multi == nullptr)
        throw TransportError(TransportErrorKind::other, CURLE_FAILED_INIT,
                             "curl_multi_init failed");
    auto check = [](CURLMcode code) {
        if (code != CURLM_OK)
            throw TransportError(TransportErrorKind::other, CURLE_FAILED_INIT,
                                 curl_multi_strerror(code));
    };
    check(curl_multi_add_handle(owner.multi, handle));
    struct Added {
        CURLM* multi;
        CURL* handle;
        ~Added() { curl_multi_remove_handle(multi, handle); }
    } added{owner.multi, handle};
    std::stop_callback wake(stop, [multi = owner.multi] { curl_multi_wakeup(multi); });
    for (int running = 1;;) {
        check(curl_multi_perform(owner.multi, &running));
        if (running == 0) break;
        if (stop.stop_requested()) {
            cancelled = true;
            return CURLE_ABORTED_BY_CALLBACK;
        }
        check(curl_multi_poll(owner.multi, nullptr, 0, 1000, nullptr));
    }
    int left = 0;
    while (CURLMsg* message = curl_multi_info_read(owner.multi, &left))
        if (message->msg == CURLMSG_DONE) return message->data.result;
    return CURLE_OK;
}

TransportError cancelledError() {
    return TransportError(TransportErrorKind::cancelled, CURLE_ABORTED_BY_CALLBACK,
                          curl_easy_strerror(CURLE_ABORTED_BY_CALLBACK));
}

} // namespace

TransportErrorKind transportErrorKindFor(int curlCode) {
    switch (static_cast<CURLcode>(curlCode)) {
    case CURLE_OPERATION_TIMEDOUT:
        return TransportErrorKind::timedOut;
    case CURLE_COULDNT_RESOLVE_HOST:
        return TransportErrorKind::cannotFindHost;
    case CURLE_COULDNT_CONNECT:
    case CURLE_PROXY:
        return TransportErrorKind::cannotConnect;
    case CURLE_RECV_ERROR:
    case CURLE_SEND_ERROR:
    case CURLE_PARTIAL_FILE:
    case CURLE_GOT_NOTHING:
    case CURLE_HTTP2_STREAM:
        return TransportErrorKind::connectionLost;
    case CURLE_COULDNT_RESOLVE_PROXY:
        return TransportErrorKind::dnsFailure;
    case CURLE_REMOTE_FILE_NOT_FOUND:
        return TransportErrorKind::resourceUnavailable;
    case CURLE_INTERFACE_FAILED:
        return TransportErrorKind::notConnected;
    case CURLE_SSL_CONNECT_ERROR:
    case CURLE_SSL_CIPHER:
    case CURLE_SSL_CERTPROBLEM:
    case CURLE_USE_SSL_FAILED:
        return TransportErrorKind::secureConnectionFailed;
    case CURLE_PEER_FAILED_VERIFICATION:
    case CURLE_SSL_CACERT_BADFILE:
    case CURLE_SSL_ISSUER_ERROR:
    case CURLE_SSL_PINNEDPUBKEYNOTMATCH:
    case CURLE_SSL_INVALIDCERTSTATUS:
        return TransportErrorKind::certificateUntrusted;
    case CURLE_ABORTED_BY_CALLBACK:
        return TransportErrorKind::cancelled;
    case CURLE_WEIRD_SERVER_REPLY:
    case CURLE_BAD_CONTENT_ENCODING:
    case CURLE_HTTP2:
        return TransportErrorKind::badServerResponse;
    default:
        return TransportErrorKind::other;
    }
}

const char* transportErrorKindName(TransportErrorKind kind) {
    switch (kind) {
    case TransportErrorKind::timedOut:
        return "timedOut";
    case TransportErrorKind::cannotFindHost:
        return "cannotFindHost";
    case TransportErrorKind::cannotConnect:
        return "cannotConnect";
    case TransportErrorKind::connectionLost:
        return "connectionLost";
    case TransportErrorKind::dnsFailure:
        return "dnsFailure";
    case TransportErrorKind::resourceUnavailable:
        return "resourceUnavailable";
    case TransportErrorKind::notConnected:
        return "notConnected";
    case TransportErrorKind::secureConnectionFailed:
        return "secureConnectionFailed";
    case TransportErrorKind::certificateUntrusted:
        return "certificateUntrusted";
    case TransportErrorKind::cancelled:
        return "cancelled";
    case TransportErrorKind::badServerResponse:
        return "badServerResponse";
    case TransportErrorKind::other:
        return "other";
    }
    return "other";
}

std::optional<std::string> HttpResponseHead::header(std::string_view name) const {
    for (const auto& [key, value] : headers) {
        if (equalsIgnoringCase(key, name)) return std::string(trim(value));
    }
    return std::nullopt;
}

void initializeHttp() {
    static std::once_flag once;
    std::call_once(once, [] {
        // A peer closing a socket must not kill the process; curl is told not
        // to touch signals itself (CURLOPT_NOSIGNAL).
        std::signal(SIGPIPE, SIG_IGN);
        CURLcode code = curl_global_init(CURL_GLOBAL_DEFAULT);
        if (code != CURLE_OK)
            throw TransportError(TransportErrorKind::other, code, curl_easy_strerror(code));
    });
}

HttpOutcome performHttp(const HttpRequest& request, const HttpHandlers& handlers,
                        std::stop_token stop) {
    initializeHttp();
    if (request.method != "GET" && request.method != "HEAD")
        throw std::invalid_argument("unsupported HTTP method: " + request.method);
    if (stop.stop_requested()) throw cancelledError();

    // curl keeps pointers to these until the handle is cleaned up, so they are
    // declared before it and outlive it.
    char errorText[CURL_ERROR_SIZE] = {};
    Transfer transfer;
    transfer.handlers = &handlers;
    transfer.stop = stop;

    HeaderList headerList;
    for (const auto& [name, value] : request.headers) {
        checkHeaderText(name);
        checkHeaderText(value);
        // "Name;" is curl's way of sending a header with an empty value.
        headerList.append(value.empty() ? name + ";" : name + ": " + value);
    }

    EasyHandle easy(curl_easy_init());
    if (!easy)
        throw TransportError(TransportErrorKind::other, CURLE_FAILED_INIT, "curl_easy_init failed");
    CURL* handle = easy.get();

    setOption(handle, CURLOPT_ERRORBUFFER, errorText);
    setOption(handle, CURLOPT_URL, request.url.c_str());
    setOption(handle, CURLOPT_PROTOCOLS_STR, "http,https");
    setOption(handle, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
    setOption(handle, CURLOPT_NOSIGNAL, 1L);
    setOption(handle, CURLOPT_OPENSOCKETFUNCTION, &openSocket);
    setOption(handle, CURLOPT_SSL_VERIFYPEER, 1L);
    setOption(handle, CURLOPT_SSL_VERIFYHOST, 2L);
    if (request.method == "HEAD")
        setOption(handle, CURLOPT_NOBODY, 1L);
    else
        setOption(handle, CURLOPT_HTTPGET, 1L);
    if (headerList.get() != nullptr) setOption(handle, CURLOPT_HTTPHEADER, headerList.get());
    if (request.followRedirects) {
        setOption(handle, CURLOPT_FOLLOWLOCATION, 1L);
        setOption(handle, CURLOPT_MAXREDIRS, 16L);
    }
    if (request.timeout.count() > 0)
        setOption(handle, CURLOPT_TIMEOUT_MS, static_cast<long>(request.timeout.count()));
    if (request.connectTimeout.count() > 0)
        setOption(handle, CURLOPT_CONNECTTIMEOUT_MS,
                  static_cast<long>(request.connectTimeout.count()));
    if (request.lowSpeedLimit > 0 && request.lowSpeedTime.count() > 0) {
        setOption(handle, CURLOPT_LOW_SPEED_LIMIT, request.lowSpeedLimit);
        setOption(handle, CURLOPT_LOW_SPEED_TIME, static_cast<long>(request.lowSpeedTime.count()));
    }
    if (request.receiveBufferSize > 0)
        setOption(handle, CURLOPT_BUFFERSIZE, request.receiveBufferSize);

    setOption(handle, CURLOPT_HEADERFUNCTION, &onHeaderLine);
    setOption(handle, CURLOPT_HEADERDATA, static_cast<void*>(&transfer));
    setOption(handle, CURLOPT_WRITEFUNCTION, &onBodyChunk);
    setOption(handle, CURLOPT_WRITEDATA, static_cast<void*>(&transfer));
    setOption(handle, CURLOPT_NOPROGRESS, 0L);
    setOption(handle, CURLOPT_XFERINFOFUNCTION, &onProgress);
    setOption(handle, CURLOPT_XFERINFODATA, static_cast<void*>(&transfer));

    CURLcode code = performWakeable(handle, stop, transfer.cancelled);

    if (transfer.handlerError) std::rethrow_exception(transfer.handlerError);
    if (transfer.cancelled) throw cancelledError();

    HttpOutcome outcome;
    if (transfer.stoppedByHandler) {
        outcome.head = std::move(transfer.head);
        outcome.stoppedByHandler = true;
        return outcome;
    }
    if (code != CURLE_OK) {
        std::string text = errorText[0] != '\0' ? std::string(errorText) : curl_easy_strerror(code);
        throw TransportError(transportErrorKindFor(code), code, text);
    }
    if (!transfer.headDelivered) {
        // No body arrived (HEAD, 204, empty file): the head is still due.
        if (!transfer.deliverHead() && transfer.handlerError)
            std::rethrow_exception(transfer.handlerError);
        outcome.stoppedByHandler = transfer.stoppedByHandler;
    }
    outcome.head = std::move(transfer.head);
    return outcome;
}

} // namespace platform
