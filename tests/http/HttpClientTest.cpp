#include "platform/HttpClient.h"
#include "support/ScriptedServer.h"
#include "support/TempHome.h"

#include <curl/curl.h>
#include <gtest/gtest.h>

#include <atomic>
#include <optional>
#include <thread>
#include <vector>

using platform::HttpHandlers;
using platform::HttpRequest;
using platform::performHttp;
using platform::TransportError;
using platform::TransportErrorKind;

namespace {

using testsupport::LoopbackListener;
using testsupport::ScriptedServer;

TransportErrorKind kindOf(int code) {
    return platform::transportErrorKindFor(code);
}

} // namespace

TEST(TransportErrorKindTable, MapsCurlCodesToKinds) {
    EXPECT_EQ(kindOf(CURLE_OPERATION_TIMEDOUT), TransportErrorKind::timedOut);
    EXPECT_EQ(kindOf(CURLE_COULDNT_RESOLVE_HOST), TransportErrorKind::cannotFindHost);
    EXPECT_EQ(kindOf(CURLE_COULDNT_CONNECT), TransportErrorKind::cannotConnect);
    for (int code : {CURLE_RECV_ERROR, CURLE_SEND_ERROR, CURLE_PARTIAL_FILE, CURLE_GOT_NOTHING})
        EXPECT_EQ(kindOf(code), TransportErrorKind::connectionLost) << code;
    EXPECT_EQ(kindOf(CURLE_COULDNT_RESOLVE_PROXY), TransportErrorKind::dnsFailure);
    EXPECT_EQ(kindOf(CURLE_SSL_CONNECT_ERROR), TransportErrorKind::secureConnectionFailed);
    EXPECT_EQ(kindOf(CURLE_PEER_FAILED_VERIFICATION), TransportErrorKind::certificateUntrusted);
    EXPECT_EQ(kindOf(CURLE_ABORTED_BY_CALLBACK), TransportErrorKind::cancelled);
    EXPECT_EQ(kindOf(CURLE_WEIRD_SERVER_REPLY), TransportErrorKind::badServerResponse);
    EXPECT_EQ(kindOf(CURLE_BAD_CONTENT_ENCODING), TransportErrorKind::badServerResponse);
    EXPECT_EQ(kindOf(CURLE_UNSUPPORTED_PROTOCOL), TransportErrorKind::other);
    EXPECT_EQ(kindOf(CURLE_WRITE_ERROR), TransportErrorKind::other);
    EXPECT_EQ(kindOf(9999), TransportErrorKind::other);
}

TEST(HttpClient, ClosedLoopbackPortIsCannotConnectWithCurlText) {
    LoopbackListener closed(false);
    HttpRequest request;
    request.url = closed.url("/x");
    try {
        performHttp(request, {});
        FAIL() << "no error";
    } catch (const TransportError& error) {
        EXPECT_EQ(error.kind(), TransportErrorKind::cannotConnect);
        EXPECT_EQ(error.curlCode(), CURLE_COULDNT_CONNECT);
        EXPECT_NE(std::string(error.what()), "");
    }
}

TEST(HttpClient, OnlyHttpAndHttpsReachCurl) {
    testsupport::TempHome home;
    testsupport::writeFile(home.path() / "secret.txt", "secret");
    HttpRequest request;
    request.url = "file://" + (home.path() / "secret.txt").string();
    bool bodySeen = false;
    HttpHandlers handlers;
    handlers.onBody = [&](const char*, std::size_t) { bodySeen = true; };
    EXPECT_THROW(performHttp(request, handlers), TransportError);
    EXPECT_FALSE(bodySeen);

    request.url = "http://127.0.0.1:1/x";
    request.headers = {{"X-Smuggled", "a\r\nHost: elsewhere"}};
    EXPECT_THROW(performHttp(request, handlers), std::invalid_argument);
}

TEST(HttpClient, StopAbortsATransferThatReceivesNothing) {
    LoopbackListener silent;
    HttpRequest request;
    request.url = silent.url("/stalled");
    std::stop_source stop;
    std::atomic<bool> finished = false;
    std::optional<TransportErrorKind> kind;
    std::jthread client([&] {
        try {
            performHttp(request, {}, stop.get_token());
        } catch (const TransportError& error) {
            kind = error.kind();
        }
        finished = true;
    });
    auto connection = silent.acceptOne();
    ASSERT_TRUE(connection);
    stop.request_stop();
    ASSERT_TRUE(testsupport::waitUntil([&] { return finished.load(); }));
    client.join();
    EXPECT_EQ(kind, TransportErrorKind::cancelled);
}

TEST(HttpClient, HeadComesFromTheFinalResponseOnlyAndBodyArrivesWhole) {
    std::string body(100000, '\0');
    for (std::size_t i = 0; i < body.size(); ++i)
        body[i] = static_cast<char>(i * 7 % 251);
    ScriptedServer server({"HTTP/1.1 301 Moved\r\nLocation: /final\r\nX-Hop: first\r\n"
                           "Content-Length: 5\r\nConnection: close\r\n\r\nmoved",
                           "HTTP/1.1 100 Continue\r\nX-Interim: yes\r\n\r\n"
                           "HTTP/1.1 200 OK\r\nContent-Length: " +
                               std::to_string(body.size()) +
                               "\r\nETag:   \"v1\"  \r\nConnection: close\r\n\r\n" + body});
    HttpRequest request;
    request.url = server.url("/start");
    int heads = 0;
    platform::HttpResponseHead seen;
    std::string received;
    HttpHandlers handlers;
    handlers.onHead = [&](const platform::HttpResponseHead& head) {
        ++heads;
        seen = head;
        EXPECT_TRUE(received.empty());
        return true;
    };
    handlers.onBody = [&](const char* data, std::size_t size) { received.append(data, size); };
    auto outcome = performHttp(request, handlers);
    EXPECT_EQ(heads, 1);
    EXPECT_EQ(seen.status, 200);
    EXPECT_EQ(seen.header("etag"), "\"v1\"");
    EXPECT_FALSE(seen.header("X-Hop"));
    EXPECT_FALSE(seen.header("X-Interim"));
    EXPECT_EQ(outcome.head.status, 200);
    EXPECT_FALSE(outcome.stoppedByHandler);
    EXPECT_TRUE(received == body) << received.size();
    auto requests = server.requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_TRUE(requests[1].starts_with("GET /final ")) << requests[1];
}

TEST(HttpClient, HandlerExceptionIsRethrownUnchanged) {
    struct DiskFull : std::runtime_error {
        DiskFull() : std::runtime_error("disk full") {}
    };
    ScriptedServer server({"HTTP/1.1 200 OK\r\nContent-Length: 3\r\n\r\nabc"});
    HttpRequest request;
    request.url = server.url("/x");
    HttpHandlers handlers;
    handlers.onBody = [](const char*, std::size_t) { throw DiskFull(); };
    EXPECT_THROW(performHttp(request, handlers), DiskFull);
}

TEST(HttpClient, OnHeadReturningFalseStopsQuietly) {
    ScriptedServer server({"HTTP/1.1 416 Range Not Satisfiable\r\nContent-Range: bytes */10\r\n"
                           "Content-Length: 4\r\n\r\nnope"});
    HttpRequest request;
    request.url = server.url("/x");
    request.headers = {{"Range", "bytes=10-"}, {"If-Range", "\"v1\""}};
    bool bodySeen = false;
    HttpHandlers handlers;
    handlers.onHead = [](const platform::HttpResponseHead&) { return false; };
    handlers.onBody = [&](const char*, std::size_t) { bodySeen = true; };
    auto outcome = performHttp(request, handlers);
    EXPECT_TRUE(outcome.stoppedByHandler);
    EXPECT_EQ(outcome.head.status, 416);
    EXPECT_FALSE(bodySeen);
    const std::string& sent = server.requests().at(0);
    EXPECT_NE(sent.find("\r\nRange: bytes=10-\r\n"), std::string::npos) << sent;
    EXPECT_NE(sent.find("\r\nIf-Range: \"v1\"\r\n"), std::string::npos) << sent;
}
