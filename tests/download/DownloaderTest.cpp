#include "download/CorvelResumableDownloader.h"
#include "platform/Cancellation.h"
#include "platform/HttpClient.h"
#include "support/FileSizeLimit.h"
#include "support/ScriptedServer.h"
#include "support/TempHome.h"
#include "types/CorvelInstallError.h"

#include <FixtureServer.h>
#include <fmt/format.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

namespace fs = std::filesystem;
using std::chrono::seconds;
using namespace testsupport;

namespace {

std::string reply(const std::string& status, const std::string& headers, const std::string& body) {
    return "HTTP/1.1 " + status + "\r\n" + headers + "Connection: close\r\n\r\n" + body;
}

} // namespace

class Download : public ::testing::Test {
  protected:
    Download() { server.start(); }

    CVTAVAsset asset(const std::string& url) const {
        return {.name = "model-a", .url = *platform::Url::parse(url), .expectedBytes = known};
    }
    CacheSlot slot(const std::string& url) const { return cache::makeSlot(asset(url).url); }
    // Pauses are recorded instead of slept; at every progress call the sum of
    // the deltas must equal the bytes on disk.
    fs::path run(const std::string& url, seconds idleLimit = seconds(60)) {
        CorvelResumableDownloader::Timing timing;
        timing.pause = [this](seconds duration, std::stop_token) {
            pauses.push_back(duration);
            if (duringPause) duringPause();
            return true;
        };
        timing.idleLimit = idleLimit;
        current = slot(url);
        auto progress = [this](std::int64_t delta, ByteOrigin) {
            if ((sum += delta) != cache::existingPartBytes(current)) ++mismatches;
        };
        return CorvelResumableDownloader(timing).download(
            asset(url), progress, [this](std::int64_t t) { totals.push_back(t); });
    }
    // Occurrences of a text in the log written since `from`.
    int logged(const std::string& text, std::size_t from = 0) const {
        return static_cast<int>(countOf(logText().substr(std::max(from, logStart)), text));
    }

    const std::size_t logStart = testsupport::logText().size();
    testsupport::TempHome home;
    fixture::FixtureServer server;
    CacheSlot current;      // of the download under way
    std::int64_t known = 1; // expectedBytes of the asset
    std::vector<seconds> pauses;
    std::function<void()> duringPause; // runs inside each recorded pause
    std::vector<std::int64_t> totals;
    std::int64_t sum = 0;
    int mismatches = 0;
};

struct Case {
    const char* name;
    std::size_t size = 1000; // of the file served (patternBytes(size))
    fixture::Fault fault{};
    std::int64_t known = 1;             // the asset's size as HEAD told it (1: not told)
    std::vector<std::string> replies{}; // exact answers instead of the fixture server's
    bool local = false;                 // a file URL source instead of a server
    bool newVersionInPause = false;     // the served file changes between attempts
    seconds idleLimit{60};
    rlim_t diskLimit = 0;              // bytes that fit on the "disk" (0: no limit)
    std::int64_t kept = 0;             // bytes left in the part after a failure
    int seeded = -1;                   // bytes in the part beforehand (-1: no part file)
    bool foreign = false;              // those bytes belong to another file
    const char* meta = nullptr;        // meta.json beforehand; {URL}, {ETAG} filled in
    std::vector<std::string> ranges{}; // Range of each request (" if {TAG}": with If-Range)
    std::size_t pauses = 0;
    std::vector<seconds> pauseLengths{}; // empty: 2, 4, 8 s
    std::vector<std::string> lines{}; // log text that appears exactly once; {URL}, {PATH} filled in
    std::string error{};              // the failure's text begins so; empty: success with the file
};

TEST_F(Download, AnswersOfTheServerDecideBetweenResumeRestartAndFailure) {
    const std::string b = patternBytes(1000), partial = "206 Partial Content",
                      length = "Content-Length: 1000\r\n", v1 = "ETag: \"v1\"\r\n";
    const char* withETag = R"({"etag":{ETAG},"totalBytes":1000,"sourceURL":"{URL}"})";
    const char* onlyETag = R"({"etag":{ETAG},"sourceURL":"{URL}"})";
    const char* etagV1 = R"({"etag":"\"v1\"","sourceURL":"{URL}"})";
    const char* etagV1Total = R"({"etag":"\"v1\"","totalBytes":1000,"sourceURL":"{URL}"})";
    auto retry = [](int delay, int attempt) {
        return fmt::format(
            "[WARN]   ⟳ 瞬时网络错误，{}s 后重试 [model-a] (attempt {}/4): 网络错误：", delay,
            attempt);
    };
    // clang-format off
    const std::vector<Case> cases = {
        {.name = "fresh", .size = 300'000, .ranges = {""},
         .lines = {"[INFO] ▶ 开始下载 [model-a] 从头开始", "[INFO]   HTTP 200 OK [model-a] total=300000",
                   "[INFO] ✔ 下载完成 [model-a] 300 KB"}},
        {.name = "fresh without length", .size = 300'000, .fault = {.omitContentLength = true},
         .ranges = {""}, .lines = {"[INFO]   HTTP 200 OK [model-a] total=-1"}},
        {.name = "resume", .seeded = 400, .meta = withETag, .ranges = {"bytes=400- if {TAG}"},
         .lines = {"[INFO] ▶ 开始下载 [model-a] 续传自 400 bytes",
                   "[INFO]   HTTP 206 Partial [model-a] total=1000 从 400 续传"}},
        // Without a validator the file may have changed since: a range could splice two files.
        {.name = "part without validator: from zero", .seeded = 400, .foreign = true,
         .meta = R"({"totalBytes":1000,"sourceURL":"{URL}"})", .ranges = {""},
         .lines = {"[WARN]   🔧 part 没有 ETag 或 Last-Modified [model-a]，无法确认续传，丢弃本地 "
                   "400 bytes 从头下载"}},
        {.name = "validator that cannot be a header line: none, from zero", .seeded = 400,
         .meta = R"({"etag":"a\rb","sourceURL":"{URL}"})", .ranges = {""}},
        {.name = "server ignoring ranges", .fault = {.ignoreRanges = true}, .seeded = 400,
         .foreign = true, .meta = withETag, .ranges = {"bytes=400- if {TAG}"},
         .lines = {"[WARN]   HTTP 200 OK [model-a] 服务器拒绝 Range，丢弃本地 400 bytes 重新下载"}},
        {.name = "complete part without a recorded total", .seeded = 1000, .meta = onlyETag,
         .ranges = {"bytes=1000- if {TAG}", "bytes=0-0"},
         .lines = {"[INFO]   HTTP 416 恢复 [model-a] part 已完整 (1000B) 视为下载成功"}},
        {.name = "metadata without source ignored", .seeded = 1000,
         .meta = R"({"etag":{ETAG},"totalBytes":1000})", .ranges = {""}},
        {.name = "probe finds another total: emptied, no retry", .size = 1200,
         .fault = {.times = 1, .forceStatus = 416}, .seeded = 1000, .foreign = true,
         .meta = etagV1, .ranges = {"bytes=1000- if \"v1\"", "bytes=0-0"},
         .lines = {"[WARN]   HTTP 416 [model-a] 本地 1000B 与服务器 1200B 不符，清空重下"},
         .error = "网络错误：本地缓存与服务器文件不一致，已清理请重试 — {URL}"},
        {.name = "cache hit", .seeded = 1000, .meta = withETag,
         .lines = {"[INFO]   缓存命中 [model-a] part 已完整 (1000/1000) 跳过网络"}},
        {.name = "total 0 is never a hit", .seeded = 0,
         .meta = R"({"totalBytes":0,"sourceURL":"{URL}"})", .ranges = {""}},
        {.name = "part longer than the recorded total", .size = 999, .seeded = 1000,
         .foreign = true, .meta = R"({"totalBytes":999,"sourceURL":"{URL}"})", .ranges = {""},
         .lines = {"[WARN]   🔧 part 超出记录的大小 [model-a] (1000/999) 清空重下"}},
        {.name = "503 twice, then success", .fault = {.times = 2, .forceStatus = 503},
         .ranges = {"", "", ""}, .pauses = 2, .lines = {retry(2, 1) + "HTTP 503 — {URL}\n"}},
        {.name = "404: no retry", .fault = {.forceStatus = 404}, .ranges = {""},
         .error = "网络错误：HTTP 404 — {URL}"},
        {.name = "Retry-After is honoured up to a minute",
         .replies = {reply("429 Too Many Requests", "Retry-After: 30\r\nContent-Length: 0\r\n", ""),
                     reply("503 Unavailable", "Retry-After: 600\r\nContent-Length: 0\r\n", ""),
                     reply("200 OK", length, b)},
         .ranges = {"", "", ""}, .pauses = 2, .pauseLengths = {seconds(30), seconds(60)}},
        {.name = "time-outs on attempts 0-2, then success",
         .fault = {.times = 3, .stallBeforeBody = seconds(20)}, .idleLimit = seconds(1),
         .ranges = {"", "", "", ""}, .pauses = 3,
         .lines = {retry(2, 1), retry(4, 2), retry(8, 3)}},
        {.name = "a fourth time-out fails", .fault = {.stallBeforeBody = seconds(20)},
         .idleLimit = seconds(1), .ranges = {"", "", "", ""}, .pauses = 3,
         .error = "网络错误：Operation too slow"},
        {.name = "connection dropped mid-body: resumed", .size = 2'000'000,
         .fault = {.times = 1, .closeAfterBytes = 700'000},
         .ranges = {"", "bytes=700000- if {TAG}"}, .pauses = 1},
        {.name = "new version between attempts: If-Range mismatch, clean restart",
         .size = 2'000'000, .fault = {.times = 1, .closeAfterBytes = 700'000},
         .newVersionInPause = true, .ranges = {"", "bytes=700000- if {TAG}"}, .pauses = 1,
         .lines = {"[WARN]   HTTP 200 OK [model-a] 服务器拒绝 Range，丢弃本地 700000 bytes 重新下载"}},
        // A body of another size than HEAD told is never taken for the file.
        {.name = "cut short without a length: resumed up to the known size", .known = 1000,
         .replies = {reply("200 OK", v1, b.substr(0, 400)),
                     reply(partial, v1 + "Content-Range: bytes 400-999/1000\r\n", b.substr(400))},
         .ranges = {"", "bytes=400- if \"v1\""}, .pauses = 1},
        {.name = "a compressed body: refused before a byte is written",
         .replies = {"HTTP/1.1 206 Partial Content\r\nETag: \"v1\"\r\nContent-Encoding: gzip\r\n"
                     "Content-Range: bytes 400-999/1000\r\nConnection: close\r\n\r\n" +
                     std::string(37, 'z')},
         .kept = 400, .seeded = 400, .meta = etagV1Total, .ranges = {"bytes=400- if \"v1\""},
         .error = "网络错误：服务器返回了编码过的内容 (Content-Encoding: gzip) — {URL}"},
        {.name = "an HTML page instead of the file: a clear failure, nothing kept", .known = 1000,
         .replies = std::vector<std::string>(4, reply("200 OK", "Content-Length: 57\r\n",
                                                      std::string(57, 'h'))),
         .ranges = {"", "", "", ""}, .pauses = 3,
         .error = "网络错误：HTTP 200 的大小 57B 与已知的大小 1000B 不符 — {URL}"},
        {.name = "206 of another version (If-Range ignored): restarted from zero",
         .replies = {reply(partial, "ETag: \"v2\"\r\nContent-Range: bytes 400-999/1000\r\n",
                           b.substr(400)),
                     reply("200 OK", "ETag: \"v2\"\r\n" + length, b)},
         .seeded = 400, .foreign = true, .meta = etagV1, .ranges = {"bytes=400- if \"v1\"", ""},
         .lines = {"[WARN]   HTTP 206 Partial [model-a] 文件版本已变 (ETag \"v2\" ≠ \"v1\")，丢弃本地 "
                   "400 bytes 重新下载"}},
        {.name = "full disk: the error, the part kept for a later run", .size = 2'000'000,
         .diskLimit = 500'000, .kept = 500'000, .ranges = {""},
         .error = "filesystem error: cannot write part file: File too large"},
        {.name = "file source", .local = true,
         .lines = {"[INFO] ▶ 本地源 [model-a] {PATH}\n"}},
        {.name = "missing file source", .local = true, .error = "网络错误：本地文件不存在: {PATH}"},
        // Exact answers the fixture server does not give.
        {.name = "redirect and interim answer: only the final head counts",
         .replies = {reply("301 Moved", "Location: /final\r\nContent-Length: 5\r\n", "moved"),
                     "HTTP/1.1 100 Continue\r\n\r\n" + reply("200 OK", length, b)},
         .ranges = {"", ""}, .lines = {"[INFO]   HTTP 200 OK [model-a] total=1000\n"}},
        {.name = "206 without Content-Range",
         .replies = {reply(partial, "Content-Length: 600\r\n", b.substr(400))},
         .seeded = 400, .meta = etagV1, .ranges = {"bytes=400- if \"v1\""},
         .lines = {"[INFO]   HTTP 206 Partial [model-a] total=1000 从 400 续传"}},
        {.name = "206 without length cut short: resumed, never taken as complete",
         .replies = {reply(partial, v1 + "Content-Range: bytes 400-999/1000\r\n", b.substr(400, 300)),
                     reply(partial, v1 + "Content-Range: bytes 700-999/1000\r\n", b.substr(700))},
         .seeded = 400, .meta = etagV1, .ranges = {"bytes=400- if \"v1\"", "bytes=700- if \"v1\""},
         .pauses = 1, .lines = {retry(2, 1)}},
        {.name = "206 of another size than the asset's, no total recorded: not appended",
         .known = 1000,
         .replies = {reply(partial, v1 + "Content-Range: bytes 400-1199/1200\r\n",
                           patternBytes(1200).substr(400)),
                     reply(partial, v1 + "Content-Range: bytes 400-999/1000\r\n", b.substr(400))},
         .seeded = 400, .meta = etagV1, .ranges = {"bytes=400- if \"v1\"", "bytes=400- if \"v1\""},
         .pauses = 1, .lines = {retry(2, 1) + "HTTP 206 的大小 1200B 与已知的大小 1000B 不符"}},
        {.name = "206 with a length no file can have",
         .replies = {reply(partial, "Content-Length: 9223372036854775807\r\n", "x")},
         .kept = 400, .seeded = 400, .meta = etagV1, .ranges = {"bytes=400- if \"v1\""},
         .error = "网络错误：HTTP 206 的 Content-Length 无效 (9223372036854775807) — {URL}"},
        {.name = "range from elsewhere: fetched whole at once",
         .replies = {reply(partial, "Content-Range: bytes 500-999/1000\r\n", b.substr(500)),
                     reply("200 OK", length, b)},
         .seeded = 400, .meta = etagV1, .ranges = {"bytes=400- if \"v1\"", ""}},
        {.name = "range of a file of another size: fetched whole at once", .size = 1500,
         .replies = {reply(partial, "Content-Range: bytes 400-1499/1500\r\n",
                           patternBytes(1500).substr(400)),
                     reply("200 OK", "Content-Length: 1500\r\n", patternBytes(1500))},
         .seeded = 400, .foreign = true, .meta = etagV1Total,
         .ranges = {"bytes=400- if \"v1\"", ""}},
        {.name = "body longer than the recorded total: fetched whole at once",
         .replies = {reply(partial, "", b.substr(400) + "excess"), reply("200 OK", "", b)},
         .seeded = 400, .meta = etagV1Total, .ranges = {"bytes=400- if \"v1\"", ""},
         .lines = {"[WARN]   HTTP 206 [model-a] 响应体超出声明的大小 1000B，清空 part"}},
    };
    // clang-format on
    for (std::size_t i = 0; i < cases.size(); ++i) {
        const Case& c = cases[i];
        SCOPED_TRACE(c.name);
        const std::size_t logMark = testsupport::logText().size();
        totals.clear(), pauses.clear(), sum = 0, mismatches = 0, known = c.known;
        const std::string path = fmt::format("/{}.bin", i);
        std::string body = patternBytes(c.size), url = server.url(path), etag;
        const fs::path source = home.path() / "src dir" / path.substr(1);
        std::optional<testsupport::ScriptedServer> scripted;
        if (c.local) {
            url = platform::Url::fromFilePath(source).absoluteString();
            if (c.error.empty()) writeFile(source, body);
        } else if (c.replies.empty()) {
            server.setFile(path, body);
            server.setFault(path, c.fault);
            auto head =
                platform::performHttp({.method = "HEAD", .url = url, .headers = {}}, {}).head;
            etag = head.header("ETag").value_or("");
            server.clearRequests();
        } else {
            url = scripted.emplace(c.replies).url(path);
        }
        auto fill = [&](std::string text) {
            const std::pair<std::string, std::string> keys[] = {
                {"{URL}", url}, {"{ETAG}", nlohmann::json(etag).dump()}, {"{PATH}", source}};
            for (const auto& [key, value] : keys)
                for (auto at = text.find(key); at != std::string::npos; at = text.find(key))
                    text.replace(at, key.size(), value);
            return text;
        };
        if (c.seeded >= 0)
            writeFile(slot(url).partURL,
                      c.foreign ? patternBytes(c.seeded, 2) : body.substr(0, c.seeded));
        if (c.meta) writeFile(slot(url).metaURL, fill(c.meta));
        duringPause = [&] {
            if (c.newVersionInPause) server.setFile(path, body = patternBytes(c.size + 100, 3));
        };

        if (c.error.empty()) {
            EXPECT_EQ(run(url, c.idleLimit), slot(url).partURL);
            EXPECT_TRUE(readFile(slot(url).partURL) == body);
            // No total is known when no answer announced the length.
            EXPECT_EQ(totals.empty() ? -1 : totals.back(),
                      c.fault.omitContentLength ? -1 : std::ssize(body));
        } else {
            std::string what;
            try {
                FileSizeLimit limit(c.diskLimit);
                run(url, c.idleLimit);
            } catch (const std::exception& error) {
                what = error.what();
            }
            EXPECT_TRUE(what.starts_with(fill(c.error))) << what;
            EXPECT_EQ(logged("[ERROR] ✘ 下载失败 [model-a] " + what + "\n", logMark),
                      c.local ? 0 : 1);
            EXPECT_EQ(cache::existingPartBytes(slot(url)), c.kept);
        }
        server.releaseStalls();
        std::vector<std::string> sent;
        auto note = [&](std::string range, std::string ifRange) {
            if (!ifRange.empty()) range += " if " + (ifRange == etag ? "{TAG}" : ifRange);
            sent.push_back(range);
        };
        if (scripted)
            for (auto& head : scripted->requests()) {
                note(headerOf(head, "Range"), headerOf(head, "If-Range"));
                if (headerOf(head, "Range") != "bytes=0-0") {
                    EXPECT_EQ(headerOf(head, "Accept-Encoding"), "identity");
                }
            }
        for (auto& r : server.requests(path))
            note(r.header("Range"), r.header("If-Range"));
        EXPECT_EQ(sent, c.ranges);
        EXPECT_EQ(pauses.size(), c.pauses);
        for (std::size_t k = 0; k < pauses.size(); ++k)
            EXPECT_EQ(pauses[k], c.pauseLengths.empty() ? seconds(2 << k) : c.pauseLengths[k]);
        EXPECT_TRUE(mismatches == 0 && sum == cache::existingPartBytes(current));
        for (const auto& line : c.lines)
            EXPECT_EQ(logged(" " + fill(line), logMark), 1) << line;
    }
}

// A stop while the server stalls, or during the real pause between attempts
// (which wakes at once), ends as cancellation: no retry, no failure line.
TEST_F(Download, StopEndsAsCancellation) {
    for (bool inPause : {false, true}) {
        SCOPED_TRACE(inPause);
        const std::string path = inPause ? "/cut.bin" : "/stalled.bin";
        server.setFile(path, patternBytes(100'000, 24));
        server.setFault(path, inPause ? fixture::Fault{.closeAfterBytes = 1000}
                                      : fixture::Fault{.stallBeforeBody = std::chrono::hours(1)});
        std::exception_ptr outcome;
        std::jthread worker([&](std::stop_token stop) {
            try {
                CorvelResumableDownloader().download(asset(server.url(path)), {}, {}, stop);
            } catch (...) {
                outcome = std::current_exception();
            }
        });
        ASSERT_TRUE(testsupport::waitUntil([&] {
            return inPause ? logged("⟳ 瞬时网络错误，2s 后重试") == 1
                           : server.requests(path).size() == 1;
        }));
        worker.request_stop();
        worker.join();
        EXPECT_THROW(std::rethrow_exception(outcome), platform::CancelledError);
        EXPECT_EQ(server.requests(path).size(), 1u);
    }
    EXPECT_EQ(logged("下载失败"), 0);
}
