// Answers the fixture server does not give: 206 without Content-Range, ranges
// that do not continue the part, bodies cut short without an announced length.

#include "DownloaderTestSupport.h"

#include "install/CorvelInstallError.h"
#include "support/ScriptedServer.h"

namespace fs = std::filesystem;
using namespace downloadtest;
using testsupport::readFile;
using testsupport::ScriptedServer;

namespace {

std::string reply(const std::string& status, const std::string& headers, const std::string& body) {
    return "HTTP/1.1 " + status + "\r\n" + headers + "Connection: close\r\n\r\n" + body;
}

class ExactAnswers : public ::testing::Test {
  protected:
    // Downloads with `seeded` bytes already in the part file.
    fs::path run(ScriptedServer& server, const std::string& seeded) {
        asset.emplace(CVTAVAsset{"model-b",
                                 *platform::Url::parse(server.url("/b.bin")),
                                 "",
                                 1,
                                 {},
                                 "",
                                 CVTAVAsset::Format::raw});
        recorder.part = cache::makeSlot(asset->url).partURL;
        testsupport::writeFile(recorder.part, seeded);
        CorvelResumableDownloader::Timing timing;
        timing.pause = [this](std::chrono::seconds, std::stop_token) { return ++pauses, true; };
        return CorvelResumableDownloader(timing).download(*asset, recorder.progress(),
                                                          recorder.total());
    }

    testsupport::TempHome home;
    std::optional<CVTAVAsset> asset;
    ProgressRecorder recorder;
    int pauses = 0;
    LogCapture logs;
    const std::string body = makeBody(1000, 31);
};

} // namespace

TEST_F(ExactAnswers, PartialWithoutContentRangeTakesTheTotalFromTheLength) {
    ScriptedServer server(
        {reply("206 Partial Content", "Content-Length: 600\r\n", body.substr(400))});
    EXPECT_EQ(readFile(run(server, body.substr(0, 400))), body);
    EXPECT_EQ(recorder.totals, std::vector<std::int64_t>{1000});
    EXPECT_TRUE(logs.contains("[INFO]   HTTP 206 Partial [model-b] total=1000 从 400 续传"));
    EXPECT_NE(server.requests().at(0).find("Range: bytes=400-"), std::string::npos);
}

// A close-delimited body that ends before the stated total is a lost
// connection; the next attempt resumes where the bytes on disk end.
TEST_F(ExactAnswers, BodyEndingBeforeTheTotalIsResumed) {
    ScriptedServer server(
        {reply("206 Partial Content", "Content-Range: bytes 400-999/1000\r\n",
               body.substr(400, 300)),
         reply("206 Partial Content",
               "Content-Range: bytes 700-999/1000\r\nContent-Length: 300\r\n", body.substr(700))});
    EXPECT_EQ(readFile(run(server, body.substr(0, 400))), body);
    EXPECT_EQ(pauses, 1);
    EXPECT_NE(server.requests().at(1).find("Range: bytes=700-"), std::string::npos);
    EXPECT_TRUE(recorder.matchesDisk(1000));
}

TEST_F(ExactAnswers, RangesThatDoNotContinueThePartNeverSplice) {
    // From 0: the body replaces the part.
    ScriptedServer fromZero(
        {reply("206 Partial Content", "Content-Range: bytes 0-999/1000\r\nContent-Length: 1000\r\n",
               body)});
    EXPECT_EQ(readFile(run(fromZero, makeBody(400, 32))), body);
    EXPECT_EQ(recorder.deltas.at(1), -400);
    EXPECT_TRUE(recorder.matchesDisk(1000));

    // From elsewhere: the part is dropped and the file fetched whole, at once.
    recorder = ProgressRecorder{};
    ScriptedServer elsewhere(
        {reply("206 Partial Content",
               "Content-Range: bytes 500-999/1000\r\nContent-Length: 500\r\n", body.substr(500)),
         reply("200 OK", "Content-Length: 1000\r\n", body)});
    EXPECT_EQ(readFile(run(elsewhere, body.substr(0, 400))), body);
    EXPECT_EQ(pauses, 0);
    EXPECT_EQ(elsewhere.requests().at(1).find("Range:"), std::string::npos);
    EXPECT_TRUE(recorder.matchesDisk(1000));
}

TEST_F(ExactAnswers, ProbeWithoutATotalFails) {
    ScriptedServer server(
        {reply("416 Range Not Satisfiable", "Content-Length: 0\r\n", ""),
         reply("206 Partial Content", "Content-Range: bytes 0-0/*\r\nContent-Length: 1\r\n", "x")});
    EXPECT_THROW(run(server, body), CorvelInstallError);
    EXPECT_EQ(logs.count("[ERROR] ✘ 下载失败 [model-b] 网络错误：HTTP 416 "
                         "后无法确认文件大小（探测响应 206） — " +
                         asset->url.absoluteString()),
              1);
    EXPECT_NE(server.requests().at(1).find("Range: bytes=0-0"), std::string::npos);
    EXPECT_EQ(cache::existingPartBytes(cache::makeSlot(asset->url)), 1000);
}
