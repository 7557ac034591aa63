#include "download/CorvelResumableDownloader.h"
#include "download/HttpHeaderValues.h"
#include "download/SegmentTable.h"
#include "download/SegmentedTransfer.h"
#include "platform/Cancellation.h"
#include "platform/HttpClient.h"
#include "platform/UniqueFd.h"
#include "support/CliProcess.h"
#include "support/Privileges.h"
#include "support/ScriptedServer.h"
#include "support/SyscallFilter.h"
#include "support/TempHome.h"
#include "types/CorvelInstallError.h"

#include <FixtureServer.h>
#include <fmt/format.h>
#include <gtest/gtest.h>

#include <atomic>
#include <fcntl.h>
#include <mutex>
#include <thread>

namespace fs = std::filesystem;
using std::chrono::seconds;
using namespace testsupport;

namespace {

std::string reply(const std::string& status, const std::string& headers, const std::string& body) {
    return fmt::format("HTTP/1.1 {}\r\n{}Content-Length: {}\r\nConnection: close\r\n\r\n{}", status,
                       headers, body.size(), body);
}

std::string ranged(const std::string& body, std::size_t first, std::size_t last,
                   const std::string& etag = "\"v1\"", std::size_t total = 0) {
    return reply("206 Partial Content",
                 fmt::format("ETag: {}\r\nContent-Range: bytes {}-{}/{}\r\n", etag, first, last,
                             total ? total : body.size()),
                 body.substr(first, last - first + 1));
}

// How the ranges of a file were asked for: "bytes=A-B" plus " if <If-Range>".
std::vector<std::string> rangesAsked(const std::vector<fixture::RecordedRequest>& requests) {
    std::vector<std::string> asked;
    for (const auto& r : requests) {
        if (r.method != "GET") continue;
        std::string range = r.header("Range");
        if (!r.header("If-Range").empty()) range += " if";
        asked.push_back(range);
    }
    std::sort(asked.begin(), asked.end());
    return asked;
}

} // namespace

// Planning, claiming and taking over ranges never leaves a byte without a
// range or in two; the record read back is refused unless it says exactly that.
TEST(SegmentTable, EveryByteBelongsToExactlyOneRange) {
    for (auto [total, connections, minRange, count] :
         {std::tuple<std::int64_t, std::size_t, std::int64_t, std::size_t>{1'000'003, 8, 1000, 8},
          {1, 8, 1000, 1},
          {5000, 8, 1000, 5},
          {999, 8, 1000, 1},
          {150'000, 4, 65'536, 2}}) {
        auto ranges = SegmentTable::plan(total, connections, minRange);
        EXPECT_EQ(ranges.size(), count) << total;
        EXPECT_TRUE(SegmentTable::coversInOrder(total, ranges));
        EXPECT_LE(ranges.front().size() - ranges.back().size(), 1);
    }

    SegmentTable table(4000, SegmentTable::plan(4000, 2, 1000), 1000);
    EXPECT_EQ(table.claim(), 0u);
    EXPECT_EQ(table.claim(), 1u);
    auto first = table.reserve(0, 1000);
    EXPECT_EQ(first.offset, 0);
    table.commit(0, first.count);
    // Range 0 has 1000 left, range 1 all 2000: the second half of range 1 is taken over.
    EXPECT_EQ(table.claim(), 2u);
    EXPECT_EQ(table.end(1), 3000);
    EXPECT_EQ(table.position(2), 3000);
    // Bytes that arrive for range 1 beyond its new end are not its own any more.
    auto over = table.reserve(1, 1500);
    EXPECT_EQ(over.count, 1000);
    table.commit(1, over.count);
    EXPECT_FALSE(table.claim()); // nothing left that splits into two halves of 1000
    EXPECT_EQ(table.contiguousPrefix(), 1000);
    auto rest = table.reserve(0, 5000);
    table.commit(0, rest.count);
    EXPECT_EQ(table.contiguousPrefix(), 3000);
    EXPECT_EQ(table.doneBytes(), 3000);

    // Bytes handed out but not yet written stay with the range that is split.
    SegmentTable reserved(4000, SegmentTable::plan(4000, 2, 500), 500);
    reserved.claim();
    reserved.claim();
    reserved.reserve(0, 1500);
    reserved.reserve(1, 1000);
    EXPECT_EQ(reserved.claim(), 2u);
    EXPECT_EQ(reserved.position(2), 3500);

    auto decoded = SegmentTable::decode(SegmentTable::encode(4000, table.snapshot()));
    ASSERT_TRUE(decoded);
    EXPECT_EQ(decoded->ranges, table.snapshot());
    for (const char* bad : {R"({"totalBytes":10,"ranges":[[0,5,0],[6,10,0]]})",
                            R"({"totalBytes":10,"ranges":[[0,6,0],[5,10,0]]})",
                            R"({"totalBytes":10,"ranges":[[0,5,6],[5,10,0]]})",
                            R"({"totalBytes":10,"ranges":[[0,5,0]]})",
                            R"({"totalBytes":10,"ranges":[[0,5,-1],[5,10,0]]})",
                            R"({"ranges":[[0,10,0]]})", "[]", "not json"})
        EXPECT_FALSE(SegmentTable::decode(bad)) << bad;
}

// Below the minimum, a free connection takes over what a slow connection
// would end last: its share by pace, all of it when nothing comes; a range
// taken over before its first byte leaves no empty range in the record.
TEST(SegmentTable, TheEndNeverWaitsOnOneSlowConnection) {
    static constexpr std::int64_t half = 2'000'000;
    // Two claimed ranges, timed from here on: `first` and `second` bytes written a second later.
    auto started = [](std::int64_t first, std::int64_t second) {
        auto table =
            std::make_unique<SegmentTable>(2 * half, SegmentTable::plan(2 * half, 2, half), half);
        table->claim();
        table->claim();
        table->samplePace(1.0);
        table->commit(0, table->reserve(0, first).count);
        table->commit(1, table->reserve(1, second).count);
        table->samplePace(1.0);
        return table;
    };
    auto table = started(1'500'000, 100'000);
    table->commit(0, table->reserve(0, half).count);
    EXPECT_EQ(table->claim(), 2u);
    EXPECT_EQ(table->position(2), half + 100'000 + 118'750); // 1.9 MB at 100 kB/s : 1.5 MB/s
    table->samplePace(1.0);
    EXPECT_EQ(table->claim(), 3u); // range 1 brought nothing: all of its rest
    EXPECT_EQ(table->position(3), half + 100'000);
    EXPECT_FALSE(table->claim()); // the new connections are not timed yet

    // Both ending within a second: nothing to take over.
    EXPECT_FALSE(started(1'500'000, 1'000'000)->hasClaimable());
    auto whole = started(1'000'000, 0);
    EXPECT_EQ(whole->claim(), 2u);
    EXPECT_EQ(whole->reserve(1, 10).count, 0);
    auto record = SegmentTable::decode(SegmentTable::encode(2 * half, whole->snapshot()));
    ASSERT_TRUE(record);
    EXPECT_EQ(record->ranges,
              (std::vector<SegmentRange>{{0, half, 1'000'000}, {half, 2 * half, 0}}));
}

TEST(HttpHeaderValues, ContentRangeAndRetryAfterAreReadStrictly) {
    using HttpHeaderValues::ContentRange;
    EXPECT_EQ(HttpHeaderValues::parseContentRange("bytes 5-9/10"), (ContentRange{5, 9, 10}));
    for (const char* bad : {"bytes 5-10/10", "bytes 9-5/10", "bytes */10", "bytes 5-9/*",
                            "items 5-9/10", "bytes -5-9/10", "bytes 5-9"})
        EXPECT_FALSE(HttpHeaderValues::parseContentRange(bad)) << bad;

    platform::HttpResponseHead head;
    auto after = [&](const std::string& value) {
        head.headers = {{"Retry-After", value}};
        return HttpHeaderValues::retryAfter(
            head, std::chrono::system_clock::from_time_t(784111777)); // Sun, 06 Nov 1994 08:49:37
    };
    EXPECT_EQ(after("120"), seconds(120));
    EXPECT_EQ(after("Sun, 06 Nov 1994 08:50:07 GMT"), seconds(30));
    EXPECT_EQ(after("Sun, 06 Nov 1994 08:00:00 GMT"), seconds(0));
    EXPECT_FALSE(after("soon"));
    EXPECT_FALSE(after("Sun, 06 Nov 1994 08:50:07 CET"));
}

class Segmented : public ::testing::Test {
  protected:
    Segmented() { server.start(); }

    CVTAVAsset asset(const std::string& url, std::int64_t size) const {
        return {.name = "model-s",
                .url = *platform::Url::parse(url),
                .expectedBytes = sizeUnknown ? 0 : size};
    }
    CacheSlot slot(const std::string& url) const {
        return cache::makeSlot(*platform::Url::parse(url));
    }

    // Pauses are recorded instead of slept; the progress sum never leaves [0, size].
    fs::path run(const std::string& url, std::int64_t size, std::size_t connections,
                 std::int64_t minRange, std::stop_token stop = {},
                 std::shared_ptr<ConnectionBudget> budget = {}) {
        CorvelResumableDownloader::Timing timing;
        timing.pause = [this](seconds duration, std::stop_token) {
            std::lock_guard lock(mutex);
            pauses.push_back(duration);
            return true;
        };
        CorvelResumableDownloader downloader(timing);
        downloader.useSegments({connections, std::move(budget), minRange, minRange});
        std::int64_t ordered = 0;
        downloader.observeChunks([&](std::int64_t offset, const char*, std::size_t count) {
            if (offset != ordered) ++outOfOrder;
            ordered = offset + static_cast<std::int64_t>(count);
        });
        return downloader.download(
            asset(url, size),
            [this, size](std::int64_t delta, ByteOrigin origin) {
                if ((sum += delta) < 0 || sum > size) ++outOfBounds;
                if (origin == ByteOrigin::foundOnDisk) found += delta;
            },
            {}, stop);
    }
    int logged(const std::string& text) const {
        return static_cast<int>(countOf(logText().substr(logStart), text));
    }

    const std::size_t logStart = logText().size();
    TempHome home;
    fixture::FixtureServer server;
    std::mutex mutex;
    std::vector<seconds> pauses;
    bool sizeUnknown = false; // the manifest gives no size
    std::atomic<std::int64_t> sum = 0;
    std::atomic<std::int64_t> found = 0;
    int outOfBounds = 0;
    int outOfOrder = 0;
};

// Sizes that divide unevenly, that allow fewer ranges than connections, one
// byte, exactly the threshold: the assembled file is the served one, every
// range after the first asks with If-Range, and the bytes come out in order.
TEST_F(Segmented, RangesAssembleTheExactFile) {
    for (auto [size, ranges] :
         {std::pair<std::size_t, std::size_t>{1'000'003, 4}, {150'000, 2}, {1, 1}, {65'536, 1}}) {
        SCOPED_TRACE(size);
        const std::string path = fmt::format("/m{}.bin", size), body = patternBytes(size, 7);
        server.setFile(path, body);
        sum = 0;
        const std::string url = server.url(path);
        EXPECT_EQ(run(url, std::ssize(body), 4, 65'536), slot(url).partURL);
        EXPECT_TRUE(readFile(slot(url).partURL) == body);
        EXPECT_EQ(sum, std::ssize(body));
        EXPECT_FALSE(fs::exists(SegmentedTransfer::statePath(slot(url))));
        auto asked = rangesAsked(server.requests(path));
        // More requests than ranges when idle connections took over halves of others.
        EXPECT_GE(asked.size(), ranges);
        EXPECT_EQ(std::count_if(asked.begin(), asked.end(),
                                [](const std::string& r) { return !r.ends_with(" if"); }),
                  1);
    }
    EXPECT_EQ(logged("[INFO]   • 分段下载 [model-s] 4 个连接，每段 250 KB"), 1);
    EXPECT_EQ(outOfBounds + outOfOrder, 0);
}

// A stop mid-way keeps every written byte on record; the next run asks for
// exactly the rest, also over one connection. A
// claim over a hole (the bytes never reached the disk) shrinks to the data.
TEST_F(Segmented, AStoppedDownloadResumesRangeByRange) {
    const std::string path = "/big.bin", body = patternBytes(262'144, 3), url = server.url(path);
    server.setFile(path, body);
    server.setFault(path, {.throttleBytesPerSecond = 100'000});
    for (std::size_t connections : {2, 1}) {
        SCOPED_TRACE(connections);
        std::jthread worker([&](std::stop_token stop) {
            EXPECT_THROW(run(url, std::ssize(body), 2, 131'072, stop), platform::CancelledError);
        });
        ASSERT_TRUE(waitUntil([&] { return sum >= 40'000; }));
        worker.request_stop();
        worker.join();
        auto state = SegmentedTransfer::load(slot(url), cache::readMeta(slot(url)));
        ASSERT_TRUE(state);
        ASSERT_EQ(state->ranges.size(), 2u);
        SegmentRange a = state->ranges[0];
        SegmentRange b = state->ranges[1];
        EXPECT_EQ(sum, a.done + b.done);
        const std::string written = readFile(SegmentedTransfer::dataPath(slot(url)));
        EXPECT_TRUE(written.substr(0, a.done) == body.substr(0, a.done));
        EXPECT_TRUE(written.substr(b.start, b.done) == body.substr(b.start, b.done));
        if (connections == 2) {
            const SegmentRange& longer = a.done >= b.done ? a : b;
            ASSERT_GE(longer.done, 8192);
            platform::UniqueFd file(::open(SegmentedTransfer::dataPath(slot(url)).c_str(), O_RDWR));
            ASSERT_EQ(::fallocate(file.get(), FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE,
                                  longer.start + 4096, 4096),
                      0);
            file.reset();
            state = SegmentedTransfer::load(slot(url), cache::readMeta(slot(url)));
            ASSERT_TRUE(state);
            EXPECT_EQ(state->ranges[&longer == &a ? 0 : 1].done, 4096);
            a = state->ranges[0];
            b = state->ranges[1];
            EXPECT_EQ(logged("分段记录中有"), 1);
        }

        server.clearFault(path);
        server.clearRequests();
        sum = 0;
        found = 0;
        run(url, std::ssize(body), connections, 131'072);
        EXPECT_TRUE(readFile(slot(url).partURL) == body);
        // What was on disk is no speed of the link.
        EXPECT_EQ(found, a.done + b.done);
        std::vector<std::string> rest = {
            fmt::format("bytes={}-{} if", a.done, b.start - 1),
            fmt::format("bytes={}-{} if", b.start + b.done, b.end - 1)};
        std::sort(rest.begin(), rest.end());
        EXPECT_EQ(rangesAsked(server.requests(path)), rest);
        cache::purgeSlot(*platform::Url::parse(url));
        server.setFault(path, {.throttleBytesPerSecond = 100'000});
        server.clearRequests();
        sum = 0;
    }
    EXPECT_EQ(outOfBounds, 0);
}

// Answers that cannot be spliced into the file drop every range and fetch
// the file once more over one connection; a 416 whose probe shows another
// size ends the download with the ranges gone. A weak ETag never serves as
// If-Range: Last-Modified does, or one connection fetches the file.
TEST_F(Segmented, AnswersThatDoNotFitRestartFromZeroOverOneConnection) {
    const std::string b = patternBytes(1000, 5);
    const std::string whole = reply("200 OK", "ETag: \"v1\"\r\n", b);
    const std::string date = "Sun, 06 Nov 1994 08:49:37 GMT";
    auto weak = [&](std::size_t first, std::size_t last, bool dated) {
        return reply("206 Partial Content",
                     fmt::format("ETag: W/\"v1\"\r\n{}Content-Range: bytes {}-{}/1000\r\n",
                                 dated ? "Last-Modified: " + date + "\r\n" : "", first, last),
                     b.substr(first, last - first + 1));
    };
    struct Case {
        const char* name;
        std::vector<std::string> replies;
        const char* reason; // of the fallback; empty: none
        std::vector<std::string> asked{};
        bool fails = false;
    };
    const std::vector<std::string> usual = {"bytes=0-499", "bytes=500-999 if \"v1\"", ""};
    // clang-format off
    const std::vector<Case> cases = {
        {"200 to a range", {ranged(b, 0, 499), whole, whole}, "服务器对 Range 请求返回 HTTP 200"},
        {"bytes not asked for", {ranged(b, 0, 499), ranged(b, 400, 899), whole},
         "Content-Range 与请求不符 (bytes 400-899/1000"},
        {"longer than asked", {ranged(b, 0, 499), ranged(b, 400, 999), whole},
         "Content-Range 与请求不符 (bytes 400-999/1000"},
        {"total changed", {ranged(b, 0, 499), ranged(patternBytes(1200, 5), 500, 999), whole},
         "文件大小已变 (1000 → 1200)"},
        {"another version", {ranged(b, 0, 499), ranged(b, 500, 999, "\"v2\""), whole},
         "文件版本已变 (ETag \"v2\" ≠ \"v1\")"},
        {"compressed", {ranged(b, 0, 499), reply("206 Partial Content",
                        "Content-Encoding: gzip\r\nContent-Range: bytes 500-999/1000\r\n", "zz"), whole},
         "服务器返回了编码过的内容 (Content-Encoding: gzip)"},
        {"only a weak ETag", {weak(0, 499, false), whole}, "服务器没有给出强 ETag 或 Last-Modified",
         {"bytes=0-499", ""}},
        {"a weak ETag and a date", {weak(0, 499, true), weak(500, 999, true)}, "",
         {"bytes=0-499", "bytes=500-999 if " + date}},
        {"416, other size", {ranged(b, 0, 499), reply("416 Range Not Satisfiable", "", ""),
                             reply("206 Partial Content", "Content-Range: bytes 0-0/1200\r\n", "x")},
         "", {"bytes=0-499", "bytes=500-999 if \"v1\"", "bytes=0-0"}, true},
    };
    // clang-format on
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ScriptedServer scripted(c.replies);
        const std::string url = scripted.url(fmt::format("/{}.bin", &c - cases.data()));
        sum = 0;
        if (c.fails) {
            EXPECT_THROW(run(url, 1000, 2, 500), CorvelInstallError);
            EXPECT_EQ(logged("HTTP 416 [model-s] 本地 1000B 与服务器 1200B 不符"), 1);
            EXPECT_FALSE(fs::exists(SegmentedTransfer::dataPath(slot(url))));
        } else {
            const int fallbacks = logged("分段下载回退");
            run(url, 1000, 2, 500);
            EXPECT_TRUE(readFile(slot(url).partURL) == b);
            EXPECT_EQ(logged("分段下载回退") - fallbacks, *c.reason ? 1 : 0);
            if (*c.reason) {
                EXPECT_EQ(logged(fmt::format("[WARN]   ⚠ 分段下载回退 [model-s] {}", c.reason)), 1);
            }
        }
        std::vector<std::string> asked;
        for (const auto& head : scripted.requests())
            asked.push_back(headerOf(head, "Range") + (headerOf(head, "If-Range").empty()
                                                           ? ""
                                                           : " if " + headerOf(head, "If-Range")));
        EXPECT_EQ(asked, c.asked.empty() ? usual : c.asked);
        EXPECT_EQ(sum, c.fails ? 0 : 1000);
    }
    EXPECT_EQ(outOfBounds, 0);
}

// One range failing twice is retried alone, with the usual pauses; a range
// held up by a slow connection is split, and the idle connection takes its
// second half; a range that trickles below the minimum is taken over whole
// (the trickle alone would take over two minutes: the bound fails the test).
TEST_F(Segmented, ARangeRetriesAloneAndASlowRangeIsTakenOver) {
    const std::string path = "/r.bin", body = patternBytes(1'048'576, 9), url = server.url(path);
    server.setFile(path, body);
    server.setFault(path, {.times = 2, .forceStatus = 503, .rangeFrom = 524'288});
    run(url, std::ssize(body), 2, 65'536);
    EXPECT_TRUE(readFile(slot(url).partURL) == body);
    EXPECT_EQ(pauses, (std::vector<seconds>{seconds(2), seconds(4)}));
    // The failing range is asked for three times from its start (its end may
    // have moved for an idle connection meanwhile); the other range once.
    auto asked = rangesAsked(server.requests(path));
    auto from = [&](const std::string& prefix) {
        return std::count_if(asked.begin(), asked.end(),
                             [&](const std::string& r) { return r.starts_with(prefix); });
    };
    EXPECT_EQ(from("bytes=524288-"), 3);
    EXPECT_EQ(from("bytes=0-"), 1);

    for (auto [rate, slowFrom, connections, minRange] :
         {std::tuple<std::size_t, std::uint64_t, std::size_t, std::int64_t>{400'000, 524'288, 2,
                                                                            65'536},
          {2'000, 0, 4, 262'144}}) {
        SCOPED_TRACE(rate);
        cache::purgeSlot(*platform::Url::parse(url));
        server.clearRequests();
        server.setFault(path, {.throttleBytesPerSecond = rate, .rangeFrom = slowFrom});
        sum = 0;
        std::stop_source bound;
        {
            std::jthread watchdog([&](std::stop_token done) {
                if (!waitUntil([&] { return done.stop_requested(); }, seconds(60)))
                    bound.request_stop();
            });
            run(url, std::ssize(body), connections, minRange, bound.get_token());
        }
        EXPECT_TRUE(readFile(slot(url).partURL) == body);
        int takenOver = 0;
        for (const auto& r : server.requests(path)) {
            auto start =
                HttpHeaderValues::contentRangeStart("bytes " + r.header("Range").substr(6));
            if (start && *start > static_cast<std::int64_t>(slowFrom) &&
                *start < 262'144 + static_cast<std::int64_t>(slowFrom))
                ++takenOver;
        }
        EXPECT_GE(takenOver, 1);
    }
    EXPECT_EQ(outOfBounds + outOfOrder, 0);
}

// Two downloads side by side never hold more connections than the budget,
// counted where the server answers them, also when they share one.
TEST_F(Segmented, TwoDownloadsShareTheConnectionBudget) {
    const std::string a = patternBytes(262'144, 11), b = patternBytes(262'144, 12);
    server.setFile("/a.bin", a);
    server.setFile("/b.bin", b);
    for (const char* path : {"/a.bin", "/b.bin"})
        server.setFault(path, {.throttleBytesPerSecond = 400'000});
    for (std::size_t capacity : {3, 1}) {
        SCOPED_TRACE(capacity);
        for (const char* path : {"/a.bin", "/b.bin"})
            cache::purgeSlot(*platform::Url::parse(server.url(path)));
        auto budget = std::make_shared<ConnectionBudget>(capacity);
        server.resetPeakConcurrentRequests();
        {
            std::jthread other(
                [&] { run(server.url("/b.bin"), std::ssize(b), 3, 65'536, {}, budget); });
            run(server.url("/a.bin"), std::ssize(a), 3, 65'536, {}, budget);
        }
        EXPECT_TRUE(readFile(slot(server.url("/a.bin")).partURL) == a);
        EXPECT_TRUE(readFile(slot(server.url("/b.bin")).partURL) == b);
        EXPECT_LE(server.peakConcurrentRequests(), capacity);
        EXPECT_GE(server.peakConcurrentRequests(), std::min<std::size_t>(capacity, 2));
        EXPECT_LE(budget->peak(), capacity);
    }
}

// One connection: exactly the single request of a download as it always was.
TEST_F(Segmented, OneConnectionSendsTheUsualRequest) {
    const std::string path = "/one.bin", body = patternBytes(300'000, 4), url = server.url(path);
    server.setFile(path, body);
    run(url, std::ssize(body), 1, 65'536);
    EXPECT_TRUE(readFile(slot(url).partURL) == body);
    EXPECT_EQ(rangesAsked(server.requests(path)), std::vector<std::string>{""});
    EXPECT_EQ(logged("分段下载"), 0);
}

// A slot whose record cannot be trusted or read (a validator that is empty
// or holds a line break, a directory where a file belongs) is started over,
// with what was reported of it taken back, also when the size is unknown.
TEST_F(Segmented, ADamagedSlotStartsOver) {
    const std::string path = "/d.bin", body = patternBytes(300'000, 6), url = server.url(path);
    server.setFile(path, body);
    const std::string record =
        SegmentTable::encode(300'000, {{0, 150'000, 100'000}, {150'000, 300'000, 0}});
    struct Case {
        const char* name;
        const char* etag;
        const char* directory;        // in place of this file of the slot
        std::int64_t total = 300'000; // in meta.json
    };
    sizeUnknown = true;
    for (const Case& c : std::vector<Case>{{"empty validator", "", nullptr},
                                           {"line break", "\"v\"\r\nX: y", nullptr},
                                           {"record a directory", nullptr, "segments.json"},
                                           {"data a directory", nullptr, "payload.segmented"},
                                           {"another total", "\"v\"", nullptr, 300'001}}) {
        SCOPED_TRACE(c.name);
        const CacheSlot s = slot(url);
        cache::writeMeta(
            CacheMeta{c.etag ? std::optional<std::string>(c.etag) : std::nullopt,
                      c.etag ? std::nullopt
                             : std::optional<std::string>("Sun, 06 Nov 1994 08:49:37 GMT"),
                      c.total, url},
            s);
        writeFile(SegmentedTransfer::statePath(s), record);
        writeFile(SegmentedTransfer::dataPath(s), body.substr(0, 100'000));
        if (c.directory) {
            fs::remove(s.directory / c.directory);
            fs::create_directories(s.directory / c.directory / "inside");
        }
        sum = 0;
        found = 0;
        EXPECT_EQ(run(url, std::ssize(body), 4, 65'536), s.partURL);
        EXPECT_TRUE(readFile(s.partURL) == body);
        EXPECT_EQ(sum, std::ssize(body));
        EXPECT_EQ(found, 0); // nothing of the record was trusted
        cache::purgeSlot(*platform::Url::parse(url));
    }
    EXPECT_EQ(outOfBounds, 0);
}

// A full disk ends the download with the file system's own error; what the
// record claims is on disk and was reported, and a later run with room
// completes the file.
TEST_F(Segmented, AFullDiskFailsAndTheRangesStayResumable) {
    const std::string body = patternBytes(400'000, 8);
    // The child is forked from this process, whose other threads must then hold
    // no lock (the allocator's among them): the server is a process of its own.
    server.stop();
    writeFile(home.path() / "served" / "full.bin", body);
    CliProcess served(home.path(), {"--root", (home.path() / "served").string()},
                      "corvel-fixture-server");
    const std::string listening = "listening on ";
    ASSERT_TRUE(waitUntil([&] { return served.outSoFar().find('\n') != std::string::npos; }));
    const std::string announced = served.outSoFar();
    ASSERT_TRUE(announced.starts_with(listening)) << announced;
    const std::string url =
        announced.substr(listening.size(), announced.find('\n') - listening.size()) + "/full.bin";
    // In a child, writes into a file opened there fail past 150 000 bytes, as the disk fills.
    auto status = inFilteredChild(
        [](int next) {
            return failOnOwnDescriptors(next, __NR_pwrite64, 3, BPF_JGE, 150'000, ENOSPC);
        },
        [&] {
            try {
                run(url, std::ssize(body), 4, 65'536);
                return 1;
            } catch (const std::exception& error) {
                if (!std::string_view(error.what())
                         .starts_with("filesystem error: cannot write segmented file: No space "
                                      "left on device"))
                    return 2;
            }
            auto state = SegmentedTransfer::load(slot(url), cache::readMeta(slot(url)));
            if (!state) return 3;
            return sum == SegmentTable(state->total, state->ranges, 1).doneBytes() ? 0 : 4;
        });
    ASSERT_TRUE(status && WIFEXITED(*status));
    CORVEL_REQUIRE_CAPABILITY(WEXITSTATUS(*status) != 77, "seccomp system-call filters");
    EXPECT_EQ(WEXITSTATUS(*status), 0);
    const auto state = SegmentedTransfer::load(slot(url), cache::readMeta(slot(url)));
    ASSERT_TRUE(state);
    const std::string written = readFile(SegmentedTransfer::dataPath(slot(url)));
    for (const auto& range : state->ranges)
        if (range.done > 0) {
            EXPECT_TRUE(written.substr(range.start, range.done) ==
                        body.substr(range.start, range.done));
        }

    sum = 0;
    run(url, std::ssize(body), 4, 65'536);
    EXPECT_TRUE(readFile(slot(url).partURL) == body);
    EXPECT_EQ(outOfBounds, 0);
}
