#include "platform/HttpClient.h"
#include "support/ScriptedServer.h"
#include "support/TempHome.h"

#include <curl/curl.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>

using namespace platform;

TEST(HttpClient, CurlCodesMapToKinds) {
    using K = TransportErrorKind;
    // clang-format off
    const std::vector<std::pair<int, K>> table = {
        {CURLE_OPERATION_TIMEDOUT, K::timedOut}, {CURLE_COULDNT_RESOLVE_HOST, K::cannotFindHost},
        {CURLE_COULDNT_CONNECT, K::cannotConnect}, {CURLE_RECV_ERROR, K::connectionLost},
        {CURLE_SEND_ERROR, K::connectionLost}, {CURLE_PARTIAL_FILE, K::connectionLost},
        {CURLE_GOT_NOTHING, K::connectionLost}, {CURLE_COULDNT_RESOLVE_PROXY, K::dnsFailure},
        {CURLE_SSL_CONNECT_ERROR, K::secureConnectionFailed}, {CURLE_WRITE_ERROR, K::other},
        {CURLE_PEER_FAILED_VERIFICATION, K::certificateUntrusted},
        {CURLE_ABORTED_BY_CALLBACK, K::cancelled}, {CURLE_WEIRD_SERVER_REPLY, K::badServerResponse}};
    // clang-format on
    for (auto [code, kind] : table)
        EXPECT_EQ(transportErrorKindFor(code), kind) << code;
}

// Nothing but http(s) reaches curl, and no header can smuggle another line.
TEST(HttpClient, RefusesOtherSchemesAndHeaderInjection) {
    testsupport::TempHome home;
    const std::string secret = "file://" + (home.path() / "secret.txt").string();
    testsupport::writeFile(home.path() / "secret.txt", "secret");
    bool bodySeen = false;
    HttpHandlers handlers;
    handlers.onBody = [&](const char*, std::size_t) { bodySeen = true; };
    EXPECT_THROW(performHttp({.url = secret, .headers = {}}, handlers), TransportError);
    EXPECT_FALSE(bodySeen);
    const HttpRequest smuggling{.url = "http://127.0.0.1:1/x",
                                .headers = {{"X-A", "a\r\nHost: x"}}};
    EXPECT_THROW(performHttp(smuggling, {}), std::invalid_argument);
}

// A process spawned while a transfer runs must not inherit its connection
// (curl's internal wake-up socket pair has no hook and is left out).
TEST(HttpClient, ConnectionsAreCloseOnExec) {
    testsupport::ScriptedServer server({"HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok"});
    int inherited = 0;
    HttpHandlers handlers;
    handlers.onHead = [&](const HttpResponseHead&) {
        for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
            int fd = std::stoi(entry.path().filename().string()), domain = 0;
            socklen_t size = sizeof domain;
            if (::getsockopt(fd, SOL_SOCKET, SO_DOMAIN, &domain, &size) == 0 &&
                (domain == AF_INET || domain == AF_INET6) && !(::fcntl(fd, F_GETFD) & FD_CLOEXEC))
                ++inherited;
        }
        return true;
    };
    performHttp({.url = server.url("/x"), .headers = {}}, handlers);
    EXPECT_EQ(inherited, 0);
}
