#include "FixtureServer.h"
#include "platform/HttpClient.h"

#include <gtest/gtest.h>

using platform::HttpHandlers;
using platform::HttpRequest;
using platform::HttpResponseHead;

namespace {

struct Received {
    int heads = 0;
    HttpResponseHead head;
    std::string body;
};

HttpHandlers recordingInto(Received& received) {
    HttpHandlers handlers;
    handlers.onHead = [&received](const HttpResponseHead& head) {
        ++received.heads;
        received.head = head;
        return true;
    };
    handlers.onBody = [&received](const char* data, std::size_t size) {
        received.body.append(data, size);
    };
    return handlers;
}

} // namespace

TEST(HttpAgainstFixture, RangeAndIfRangeAreSentAndAnsweredPartially) {
    fixture::FixtureServer server;
    server.start();
    std::string body;
    for (int i = 0; i < 70000; ++i)
        body.push_back(static_cast<char>('a' + i % 26));
    server.setFile("/f.bin", body);

    Received first;
    HttpRequest request;
    request.url = server.url("/f.bin");
    platform::performHttp(request, recordingInto(first));
    ASSERT_EQ(first.head.status, 200);
    EXPECT_TRUE(first.body == body);
    auto etag = first.head.header("ETag");
    ASSERT_TRUE(etag);

    Received resumed;
    request.headers = {{"Range", "bytes=1000-"}, {"If-Range", *etag}};
    platform::performHttp(request, recordingInto(resumed));
    EXPECT_EQ(resumed.heads, 1);
    EXPECT_EQ(resumed.head.status, 206);
    EXPECT_EQ(resumed.head.header("content-range"),
              "bytes 1000-" + std::to_string(body.size() - 1) + "/" + std::to_string(body.size()));
    EXPECT_TRUE(resumed.body == body.substr(1000));
    auto recorded = server.requests("/f.bin").back();
    EXPECT_EQ(recorded.header("Range"), "bytes=1000-");
    EXPECT_EQ(recorded.header("If-Range"), *etag);
}
