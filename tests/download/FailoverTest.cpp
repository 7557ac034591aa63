#include "download/CorvelResumableDownloader.h"
#include "download/SegmentedTransfer.h"
#include "download/SourcePool.h"
#include "support/TempHome.h"

#include <FixtureServer.h>
#include <fmt/format.h>
#include <gtest/gtest.h>

namespace fs = std::filesystem;
using std::chrono::seconds;
using namespace testsupport;

namespace {

platform::Url urlOf(const std::string& text) {
    return *platform::Url::parse(text);
}

// One way a source fails, and what is expected of it.
struct SourceFault {
    const char* name;
    fixture::Fault fault{};
    std::string reason; // in the line that gives the source up
    bool wholeHost = false;
    int pauses = 0;
    bool dead = false, otherSize = false, compressed = false;
    seconds idleLimit{60};
};

} // namespace

// Source `a` misbehaves, `b` serves the file: `a` is given up with one line
// and `b` finishes the exact file, from the bytes on disk when a digest will
// check them.
class Failover : public ::testing::Test {
  protected:
    Failover() {
        a.start();
        b.start();
    }

    fs::path run(const std::vector<std::string>& sources, bool digest, std::int64_t known,
                 std::size_t connections = 1, seconds idleLimit = seconds(60)) {
        CorvelResumableDownloader::Timing timing;
        timing.pause = [this](seconds, std::stop_token) { return ++pauses, true; };
        timing.idleLimit = idleLimit;
        CorvelResumableDownloader downloader(timing);
        downloader.useSegments({connections, {}, 65'536, 65'536, health});
        CVTAVAsset asset{.name = "model-f",
                         .url = urlOf(sources.front()),
                         .sha256 = digest ? std::string(64, 'a') : "",
                         .expectedBytes = known};
        for (const auto& source : sources)
            asset.sources.push_back(urlOf(source));
        sum = 0;
        return downloader.download(asset, [this](std::int64_t delta, ByteOrigin) { sum += delta; });
    }
    std::string dropLine(const std::string& source) const {
        return fmt::format("[WARN]   ⚠ 放弃下载源 [model-f] {}: ", source);
    }
    int logged(const std::string& text) const {
        return static_cast<int>(countOf(logText().substr(logStart), text));
    }
    std::vector<std::string> asked(const fixture::FixtureServer& server) const {
        std::vector<std::string> ranges;
        for (const auto& r : server.requests())
            if (r.method == "GET")
                ranges.push_back(r.header("Range") + (r.header("If-Range").empty() ? "" : " if"));
        return ranges;
    }

    const std::size_t logStart = logText().size();
    TempHome home;
    fixture::FixtureServer a, b;
    int pauses = 0;
    std::int64_t sum = 0;
    std::shared_ptr<SourceHealth> health; // the run's; none: each download its own
};

TEST_F(Failover, EachFailureOfASourceMovesOnToTheNext) {
    const std::string body = patternBytes(1000, 5);
    const std::vector<SourceFault> cases = {
        {.name = "404", .fault = {.forceStatus = 404}, .reason = "HTTP 404"},
        {.name = "503 after its retries",
         .fault = {.forceStatus = 503},
         .reason = "HTTP 503",
         .pauses = 3},
        {.name = "stall",
         .fault = {.stallBeforeBody = seconds(30)},
         .reason = "Operation too slow",
         .pauses = 3,
         .idleLimit = seconds(1)},
        {.name = "another size",
         .reason = "HTTP 200 的大小 1200B 与已知的大小 1000B 不符",
         .pauses = 3,
         .otherSize = true},
        {.name = "compressed answer",
         .reason = "服务器返回了编码过的内容 (Content-Encoding: gzip)",
         .compressed = true},
        // Last: the server stays down.
        {.name = "refused connection", .reason = "Failed to connect", .dead = true},
    };
    for (std::size_t i = 0; i < cases.size(); ++i) {
        const SourceFault& c = cases[i];
        SCOPED_TRACE(c.name);
        const std::string path = fmt::format("/{}.bin", i);
        a.setFile(path, c.otherSize ? patternBytes(1200, 5) : body);
        a.setFault(path, c.fault);
        if (c.compressed) a.setHeader(path, "Content-Encoding", "gzip");
        b.setFile(path, body);
        b.clearRequests();
        pauses = 0;
        if (c.dead) a.stop();
        const std::string from = a.url(path);
        const std::size_t mark = logText().size();
        const fs::path part = run({from, b.url(path)}, true, 1000, 1, c.idleLimit);
        a.releaseStalls();
        EXPECT_TRUE(readFile(part) == body);
        EXPECT_EQ(sum, 1000);
        EXPECT_EQ(pauses, c.pauses);
        EXPECT_EQ(asked(b), std::vector<std::string>{""});
        const std::string log = logText().substr(mark);
        EXPECT_EQ(countOf(log, "放弃下载源"), 1u);
        EXPECT_EQ(countOf(log, dropLine(from) + c.reason), 1u) << log;
        EXPECT_EQ(countOf(log, "下载失败"), 0u);
    }
}

TEST_F(Failover, WhenEverySourceFailsOneMessageNamesEach) {
    a.setFile("/f.bin", patternBytes(1000));
    a.setDefaultFault(fixture::Fault{.forceStatus = 404});
    const std::string first = a.url("/f.bin"), second = b.url("/f.bin");
    b.stop();
    std::string what;
    try {
        run({first, second}, true, 1000);
    } catch (const std::exception& error) {
        what = error.what();
    }
    const std::string expected =
        fmt::format("网络错误：所有下载源都失败了: {} (HTTP 404 — {}); {} (Failed to connect",
                    first, first, second);
    EXPECT_TRUE(what.starts_with(expected)) << what;
    EXPECT_EQ(logged("[ERROR] ✘ 下载失败 [model-f] " + what + "\n"), 1);
    EXPECT_EQ(logged("放弃下载源"), 2);
}

// What an earlier run left from a source that is gone now: the next source
// continues the part (or the ranges) when the digest will check the joined
// bytes, and starts over when nothing would.
TEST_F(Failover, AnInterruptedDownloadContinuesFromAnotherSource) {
    const std::string body = patternBytes(1'048'576, 6);
    a.stop();
    for (auto [connections, digest] :
         {std::pair<std::size_t, bool>{1, true}, {1, false}, {2, true}, {2, false}}) {
        SCOPED_TRACE(fmt::format("{} connections, digest {}", connections, digest));
        const std::string path = fmt::format("/{}{}.bin", connections, digest);
        b.setFile(path, body);
        b.clearRequests();
        const std::string gone = a.url(path), next = b.url(path);
        const CacheSlot slot = cache::makeSlot(urlOf(gone));
        cache::writeMeta({"\"gone\"", std::nullopt, std::ssize(body), gone}, slot);
        const std::int64_t half = 524'288;
        if (connections == 1) {
            writeFile(slot.partURL, body.substr(0, 400'000));
        } else {
            // The first range written, the second not begun.
            writeFile(SegmentedTransfer::dataPath(slot), body.substr(0, half));
            SegmentedTransfer::writeRecord(slot, std::ssize(body),
                                           {{0, half, half}, {half, 2 * half, 0}});
        }
        const std::size_t mark = logText().size();
        pauses = 0;
        EXPECT_TRUE(readFile(run({gone, next}, digest, std::ssize(body), connections)) == body);
        EXPECT_EQ(sum, std::ssize(body));
        // Nobody answers there: no retries before the next source.
        EXPECT_EQ(pauses, 0);
        EXPECT_EQ(countOf(logText().substr(mark), dropLine(gone)), 1u);
        const auto ranges = asked(b);
        ASSERT_FALSE(ranges.empty());
        if (!digest)
            EXPECT_TRUE(ranges.front().empty() || ranges.front().starts_with("bytes=0-"));
        else if (connections == 1)
            EXPECT_EQ(ranges, std::vector<std::string>{"bytes=400000-"});
        else
            for (const auto& range : ranges)
                EXPECT_GE(std::stoll(range.substr(6)), half) << range;
    }
}

// A source that fails while serving a range: the ranges it had not finished
// come from the next source, the bytes already written stay.
TEST_F(Failover, RangesASourceFailsOnContinueFromTheNext) {
    const std::string body = patternBytes(1'048'576, 8), first = a.url("/r.bin");
    a.setFile("/r.bin", body);
    a.setFault("/r.bin", {.forceStatus = 404, .rangeFrom = 524'288});
    b.setFile("/r.bin", body);
    EXPECT_TRUE(readFile(run({first, b.url("/r.bin")}, true, std::ssize(body), 2)) == body);
    EXPECT_EQ(sum, std::ssize(body));
    EXPECT_EQ(logged(dropLine(first) + "HTTP 404"), 1);
    for (const auto& range : asked(b))
        EXPECT_FALSE(range.empty()) << "the whole file again";
}

// A file with a digest fetched in ranges from several sources at once.
class ManySources : public Failover {
  protected:
    ManySources() {
        c.start();
        health = std::make_shared<SourceHealth>();
    }

    fixture::FixtureServer c;
};

TEST_F(ManySources, RangesComeFromEverySourceAtOnceEachAskedWithItsOwnVersion) {
    const std::string body = patternBytes(4 << 20, 9);
    for (auto* server : {&a, &b, &c}) {
        server->setFile("/m.bin", body);
        // Slow enough that every connection opens before the file is done.
        server->setFault("/m.bin", {.throttleBytesPerSecond = 256 << 10});
    }
    b.changeETag("/m.bin");
    c.changeETag("/m.bin");
    c.changeETag("/m.bin");
    const auto part =
        run({a.url("/m.bin"), b.url("/m.bin"), c.url("/m.bin")}, true, std::ssize(body), 12);
    EXPECT_TRUE(readFile(part) == body);
    EXPECT_EQ(sum, std::ssize(body));
    for (auto* server : {&a, &b, &c}) {
        EXPECT_GE(server->requests("/m.bin").size(), 2u);
        EXPECT_LE(server->peakConcurrentRequests(), SourceHealth::connectionsPerHost);
        // Its first answer names its version; a range asks only for that one.
        for (const auto& request : server->requests("/m.bin"))
            if (!request.header("If-Range").empty()) {
                EXPECT_EQ(request.header("If-Range"), server->etag("/m.bin"));
            }
    }
    EXPECT_FALSE(a.requests("/m.bin").back().header("If-Range").empty());
    EXPECT_EQ(logged("放弃下载源"), 0);
}

// The first source fails at once; the others bring the whole file between
// them, and the run does not ask a failed host for its next file.
TEST_F(ManySources, AFailingSourceIsGivenUpForTheRunAndTheOthersTakeItsRanges) {
    const std::string body = patternBytes(1 << 20, 10);
    const std::vector<SourceFault> cases = {
        {.name = "404", .fault = {.forceStatus = 404}, .reason = "HTTP 404"},
        {.name = "503 after its retries",
         .fault = {.forceStatus = 503},
         .reason = "HTTP 503",
         .pauses = 3},
        {.name = "no ranges",
         .fault = {.ignoreRanges = true},
         .reason = "服务器对 Range 请求返回 HTTP 200"},
        {.name = "another size", .reason = "文件大小已变 (1048576 → 1048577)", .otherSize = true},
        {.name = "stall",
         .fault = {.stallBeforeBody = seconds(30)},
         .reason = "Operation too slow",
         .wholeHost = true,
         .idleLimit = seconds(1)},
        {.name = "refused connection",
         .reason = "Failed to connect",
         .wholeHost = true,
         .dead = true},
    };
    for (std::size_t i = 0; i < cases.size(); ++i) {
        const SourceFault& k = cases[i];
        SCOPED_TRACE(k.name);
        health = std::make_shared<SourceHealth>();
        const std::string path = fmt::format("/{}.bin", i), next = fmt::format("/{}n.bin", i);
        a.setFile(path, k.otherSize ? body + "x" : body);
        a.setFault(path, k.fault);
        a.setFile(next, body);
        for (auto* server : {&b, &c}) {
            server->setFile(path, body);
            server->setFile(next, body);
        }
        if (k.dead) a.stop();
        a.clearRequests();
        pauses = 0;
        const std::size_t mark = logText().size();
        const std::string failing = a.url(path);
        EXPECT_TRUE(readFile(run({failing, b.url(path), c.url(path)}, true, std::ssize(body), 4,
                                 k.idleLimit)) == body);
        a.releaseStalls();
        EXPECT_EQ(sum, std::ssize(body));
        EXPECT_EQ(pauses, k.pauses);
        const std::string log = logText().substr(mark);
        EXPECT_EQ(countOf(log, "放弃下载源"), 1u) << log;
        EXPECT_EQ(countOf(log, dropLine(failing) + k.reason), 1u) << log;
        EXPECT_EQ(countOf(log, "下载失败"), 0u);
        // The next file of the run: a host that did not answer is not asked again.
        EXPECT_TRUE(readFile(run({a.url(next), b.url(next)}, true, std::ssize(body), 4)) == body);
        EXPECT_EQ(a.requests(next).empty(), k.wholeHost);
    }
}

// The last source left cannot serve ranges: the file comes whole from it.
TEST_F(ManySources, TheLastSourceWithoutRangesServesTheWholeFile) {
    const std::string body = patternBytes(1 << 20, 11), dead = a.url("/w.bin");
    b.setFile("/w.bin", body);
    b.setFault("/w.bin", {.ignoreRanges = true});
    a.stop();
    EXPECT_TRUE(readFile(run({dead, b.url("/w.bin")}, true, std::ssize(body), 4)) == body);
    EXPECT_EQ(sum, std::ssize(body));
    EXPECT_EQ(logged("放弃下载源"), 1);
    EXPECT_EQ(logged(dropLine(dead)), 1);
}
