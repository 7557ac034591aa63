// Answers the fixture server does not give: 206 without Content-Range, ranges
// that do not continue the part, bodies cut short without an announced length.

#include "DownloaderTestSupport.h"

#include "install/CorvelInstallError.h"
#include "support/ScriptedServer.h"

namespace fs = std::filesystem;
using namespace downloadtest;
using testsupport::readFile;
using testsupport::writeFile;

namespace {

std::string reply(const std::string& statusLine, const std::string& headers,
                  const std::string& body) {
    return "HTTP/1.1 " + statusLine + "\r\n" + headers + "Connection: close\r\n\r\n" + body;
}

class ExactAnswers : public ::testing::Test {
  protected:
    fs::path run(testsupport::ScriptedServer& server, const std::string& seeded,
                 std::optional<CacheMeta> meta = std::nullopt) {
        asset_.emplace(CVTAVAsset{"model-b",
                                  *platform::Url::parse(server.url("/b.bin")),
                                  "",
                                  1,
                                  {},
                                  "",
                                  CVTAVAsset::Format::raw});
        auto slot = cache::makeSlot(asset_->url);
        writeFile(slot.partURL, seeded);
        if (meta) cache::writeMeta(*meta, slot);
        recorder.part = slot.partURL;
        CorvelResumableDownloader::Timing timing;
        timing.pause = [this](std::chrono::seconds d, std::stop_token) {
            pauses.push_back(d);
            return true;
        };
        return CorvelResumableDownloader(timing).download(*asset_, recorder.progress(),
                                                          recorder.total());
    }

    testsupport::TempHome home;
    std::optional<CVTAVAsset> asset_;
    ProgressRecorder recorder;
    std::vector<std::chrono::seconds> pauses;
    LogCapture logs;
    const std::string body = makeBody(1000, 31);
};

} // namespace

TEST_F(ExactAnswers, PartialWithoutContentRangeTakesTheTotalFromTheLength) {
    testsupport::ScriptedServer server(
        {reply("206 Partial Content", "Content-Length: 600\r\n", body.substr(400))});
    auto file = run(server, body.substr(0, 400));
    EXPECT_EQ(readFile(file), body);
    EXPECT_EQ(recorder.totals, std::vector<std::int64_t>{1000});
    EXPECT_TRUE(logs.contains("  HTTP 206 Partial [model-b] total=1000 从 400 续传"));
    EXPECT_NE(server.requests().at(0).find("Range: bytes=400-"), std::string::npos);
}

// A close-delimited body that ends before the stated total is a lost
// connection; the next attempt resumes where the bytes on disk end.
TEST_F(ExactAnswers, BodyEndingBeforeTheTotalIsResumed) {
    testsupport::ScriptedServer server(
        {reply("206 Partial Content", "Content-Range: bytes 400-999/1000\r\n",
               body.substr(400, 300)),
         reply("206 Partial Content",
               "Content-Range: bytes 700-999/1000\r\nContent-Length: 300\r\n", body.substr(700))});
    auto file = run(server, body.substr(0, 400));
    EXPECT_EQ(readFile(file), body);
    EXPECT_EQ(pauses.size(), 1u);
    EXPECT_NE(server.requests().at(1).find("Range: bytes=700-"), std::string::npos);
    EXPECT_EQ(recorder.sum, 1000);
    EXPECT_EQ(recorder.mismatches, 0);
    EXPECT_EQ(logs.count("(attempt 1/4): 网络错误："), 1);
}

TEST_F(ExactAnswers, RangeFromZeroReplacesThePart) {
    testsupport::ScriptedServer server(
        {reply("206 Partial Content", "Content-Range: bytes 0-999/1000\r\nContent-Length: 1000\r\n",
               body)});
    auto file = run(server, makeBody(400, 32));
    EXPECT_EQ(readFile(file), body);
    EXPECT_EQ(recorder.deltas.at(1), -400);
    EXPECT_EQ(recorder.sum, 1000);
    EXPECT_EQ(recorder.mismatches, 0);
}

TEST_F(ExactAnswers, RangeFromElsewhereIsDiscardedAndFetchedWhole) {
    testsupport::ScriptedServer server(
        {reply("206 Partial Content",
               "Content-Range: bytes 500-999/1000\r\nContent-Length: 500\r\n", body.substr(500)),
         reply("200 OK", "Content-Length: 1000\r\n", body)});
    auto file = run(server, body.substr(0, 400));
    EXPECT_EQ(readFile(file), body);
    EXPECT_TRUE(pauses.empty());
    EXPECT_EQ(server.requests().at(1).find("Range:"), std::string::npos);
    EXPECT_EQ(recorder.sum, 1000);
    EXPECT_EQ(recorder.mismatches, 0);
}

TEST_F(ExactAnswers, ProbeWithoutATotalFails) {
    testsupport::ScriptedServer server(
        {reply("416 Range Not Satisfiable", "Content-Length: 0\r\n", ""),
         reply("206 Partial Content", "Content-Range: bytes 0-0/*\r\nContent-Length: 1\r\n", "x")});
    try {
        run(server, body);
        ADD_FAILURE() << "no error";
    } catch (const CorvelInstallError& error) {
        EXPECT_EQ(std::string(error.what()),
                  "网络错误：HTTP 416 后无法确认文件大小（探测响应 206） — " +
                      asset_->url.absoluteString());
    }
    EXPECT_NE(server.requests().at(1).find("Range: bytes=0-0"), std::string::npos);
    EXPECT_EQ(cache::existingPartBytes(cache::makeSlot(asset_->url)), 1000);
}
