#include "DownloaderTestSupport.h"

#include "install/CorvelInstallError.h"
#include "platform/Cancellation.h"
#include "platform/DomainError.h"
#include "platform/HttpClient.h"

#include <FixtureServer.h>
#include <fmt/format.h>

#include <csignal>
#include <sys/resource.h>

namespace fs = std::filesystem;
using namespace downloadtest;
using testsupport::readFile;
using testsupport::writeFile;
using Deltas = std::vector<std::int64_t>;

namespace {

constexpr const char* kPath = "/models/a.bin";

// The error a failed download carries inside CorvelInstallError::network.
template <typename Inner> Inner carriedError(const std::function<void()>& run) {
    try {
        run();
    } catch (const CorvelInstallError& error) {
        if (auto* network = std::get_if<CorvelInstallError::Network>(&error.value())) {
            try {
                std::rethrow_exception(network->underlying);
            } catch (const Inner& inner) {
                return inner;
            } catch (...) {
            }
        }
    }
    throw std::runtime_error("the download did not fail with the expected error");
}

} // namespace

class Download : public ::testing::Test {
  protected:
    Download() { server.start(); }

    // A downloader whose pauses are recorded instead of slept.
    CorvelResumableDownloader
    downloader(std::chrono::seconds idleLimit = std::chrono::seconds(60)) {
        CorvelResumableDownloader::Timing timing;
        timing.pause = [this](std::chrono::seconds duration, std::stop_token stop) {
            pauses.push_back(duration);
            if (duringPause) duringPause();
            return !stop.stop_requested();
        };
        timing.idleLimit = idleLimit;
        return CorvelResumableDownloader(timing);
    }
    CVTAVAsset asset(const std::string& path = kPath) const {
        return CVTAVAsset{"model-a",
                          *platform::Url::parse(server.url(path)),
                          "",
                          1,
                          {},
                          "",
                          CVTAVAsset::Format::raw};
    }
    CacheSlot slot(const std::string& path = kPath) const {
        return cache::makeSlot(asset(path).url);
    }
    std::vector<std::string> ranges(const std::string& path = kPath) const {
        std::vector<std::string> result;
        for (auto& r : server.requests(path))
            if (r.method == "GET") result.push_back(r.header("Range"));
        return result;
    }
    fs::path run(CorvelResumableDownloader d, const std::string& path = kPath,
                 std::stop_token stop = {}) {
        recorder.part = slot(path).partURL;
        return d.download(asset(path), recorder.progress(), recorder.total(), stop);
    }
    void seedPart(const std::string& bytes, const std::optional<CacheMeta>& meta = std::nullopt) {
        writeFile(slot().partURL, bytes);
        if (meta) cache::writeMeta(*meta, slot());
    }
    std::string url() const { return server.url(kPath); }

    testsupport::TempHome home;
    fixture::FixtureServer server;
    std::vector<std::chrono::seconds> pauses;
    std::function<void()> duringPause; // runs inside each recorded pause
    ProgressRecorder recorder;
    LogCapture logs;
};

TEST_F(Download, FreshDownloadWithAndWithoutContentLength) {
    auto body = makeBody(300'000, 1);
    server.setFile(kPath, body);
    auto file = run(downloader());
    EXPECT_EQ(file, slot().partURL);
    EXPECT_EQ(readFile(file), body);
    EXPECT_EQ(ranges(), std::vector<std::string>{""});
    EXPECT_EQ(server.requests().at(0).header("If-Range"), "");
    EXPECT_EQ(recorder.totals, Deltas{300'000});
    EXPECT_TRUE(recorder.matchesDisk(300'000));
    auto meta = cache::readMeta(slot());
    ASSERT_TRUE(meta);
    EXPECT_EQ(meta->totalBytes, 300'000);
    EXPECT_EQ(meta->sourceURL, url());
    EXPECT_TRUE(meta->etag && meta->lastModified);
    EXPECT_TRUE(logs.contains("[INFO] ▶ 开始下载 [model-a] 从头开始"));
    EXPECT_TRUE(logs.contains("[INFO]   HTTP 200 OK [model-a] total=300000"));
    EXPECT_TRUE(logs.contains("[INFO] ✔ 下载完成 [model-a] 300 KB"));

    server.setFile("/chunked", body);
    server.setFault("/chunked", fixture::Fault{.omitContentLength = true});
    recorder = ProgressRecorder{};
    EXPECT_EQ(readFile(run(downloader(), "/chunked")), body);
    EXPECT_TRUE(recorder.totals.empty());
    EXPECT_TRUE(recorder.matchesDisk(300'000));
    EXPECT_FALSE(cache::readMeta(slot("/chunked"))->totalBytes);
    EXPECT_TRUE(logs.contains("[INFO]   HTTP 200 OK [model-a] total=-1"));
}

TEST_F(Download, ResumesWithRangeAndIfRange) {
    auto body = makeBody(1000, 3);
    server.setFile(kPath, body);
    run(downloader());
    // An earlier run stopped after 400 bytes, its metadata intact.
    auto etag = cache::readMeta(slot())->etag;
    fs::resize_file(slot().partURL, 400);
    server.clearRequests();
    recorder = ProgressRecorder{};

    EXPECT_EQ(readFile(run(downloader())), body);
    EXPECT_EQ(ranges(), std::vector<std::string>{"bytes=400-"});
    EXPECT_EQ(server.requests().at(0).header("If-Range"), *etag);
    EXPECT_EQ(recorder.deltas.front(), 400);
    EXPECT_TRUE(recorder.matchesDisk(1000));
    EXPECT_EQ(recorder.totals, Deltas{1000});
    EXPECT_TRUE(logs.contains("[INFO] ▶ 开始下载 [model-a] 续传自 400 bytes"));
    EXPECT_TRUE(logs.contains("[INFO]   HTTP 206 Partial [model-a] total=1000 从 400 续传"));
}

// Metadata holding only the source URL allows a range, just without a validator.
TEST_F(Download, MetadataWithOnlyTheSourceUrlResumesWithoutValidator) {
    auto body = makeBody(1000, 4);
    server.setFile(kPath, body);
    seedPart(body.substr(0, 400), CacheMeta{{}, {}, {}, url()});
    EXPECT_EQ(readFile(run(downloader())), body);
    EXPECT_EQ(ranges(), std::vector<std::string>{"bytes=400-"});
    EXPECT_EQ(server.requests().at(0).header("If-Range"), "");
}

TEST_F(Download, ServerIgnoringRangesRestartsThePartAtZero) {
    auto body = makeBody(1000, 5);
    server.setFile(kPath, body);
    server.setFault(kPath, fixture::Fault{.ignoreRanges = true});
    seedPart(makeBody(400, 99), CacheMeta{"\"old\"", {}, 1000, url()});

    EXPECT_EQ(readFile(run(downloader())), body);
    EXPECT_EQ(Deltas(recorder.deltas.begin(), recorder.deltas.begin() + 2), (Deltas{400, -400}));
    EXPECT_TRUE(recorder.matchesDisk(1000));
    EXPECT_TRUE(logs.contains(
        "[WARN]   HTTP 200 OK [model-a] 服务器拒绝 Range，丢弃本地 400 bytes 重新下载"));
}

TEST_F(Download, CompletePartWithoutMetadataIsConfirmedByTheProbe) {
    auto body = makeBody(1000, 6);
    server.setFile(kPath, body);
    seedPart(body);

    EXPECT_EQ(readFile(run(downloader())), body);
    EXPECT_EQ(ranges(), (std::vector<std::string>{"bytes=1000-", "bytes=0-0"}));
    EXPECT_EQ(recorder.deltas, Deltas{1000}); // not a byte downloaded
    EXPECT_EQ(recorder.totals, Deltas{1000});
    auto meta = cache::readMeta(slot());
    EXPECT_EQ(meta->totalBytes, 1000);
    EXPECT_TRUE(meta->etag);
    EXPECT_TRUE(logs.contains("[INFO]   HTTP 416 恢复 [model-a] part 已完整 (1000B) 视为下载成功"));
    EXPECT_TRUE(logs.contains("[INFO] ✔ 下载完成 [model-a] 1 KB"));
}

TEST_F(Download, ProbeWithAnotherTotalEmptiesThePartAndFailsWithoutRetry) {
    server.setFile(kPath, makeBody(1200, 8));
    server.setFault(kPath, fixture::Fault{.times = 1, .forceStatus = 416});
    seedPart(makeBody(1000, 8));

    auto error = carriedError<DomainError>([&] { run(downloader()); });
    EXPECT_EQ(error.domain(), "CorvelResumableDownloader");
    EXPECT_EQ(error.code(), 416);
    EXPECT_EQ(std::string(error.what()), "本地缓存与服务器文件不一致，已清理请重试 — " + url());
    EXPECT_EQ(cache::existingPartBytes(slot()), 0);
    EXPECT_EQ(recorder.deltas, (Deltas{1000, -1000}));
    EXPECT_TRUE(recorder.matchesDisk(0));
    EXPECT_TRUE(pauses.empty());
    EXPECT_EQ(ranges().size(), 2u);
    EXPECT_TRUE(
        logs.contains("[WARN]   HTTP 416 [model-a] 本地 1000B 与服务器 1200B 不符，清空重下"));
    EXPECT_TRUE(
        logs.contains("[ERROR] ✘ 下载失败 [model-a] 网络错误：" + std::string(error.what())));
}

TEST_F(Download, CacheHitMakesNoRequest) {
    auto body = makeBody(1000, 9);
    server.setFile(kPath, body);
    seedPart(body, CacheMeta{"\"e\"", {}, 1000, url()});

    EXPECT_EQ(readFile(run(downloader())), body);
    EXPECT_TRUE(server.requests().empty());
    EXPECT_EQ(recorder.deltas, Deltas{1000});
    EXPECT_EQ(recorder.totals, Deltas{1000});
    auto text = logs.text();
    auto start = text.find("[INFO] ▶ 开始下载 [model-a] 续传自 1 KB\n");
    auto hit = text.find("[INFO]   缓存命中 [model-a] part 已完整 (1000/1000) 跳过网络\n");
    auto done = text.find("[INFO] ✔ 下载完成 [model-a] 1 KB\n");
    EXPECT_TRUE(start < hit && hit < done && done != std::string::npos) << text;
}

// Not a hit: metadata without sourceURL (no If-Range either), a total of 0, and a
// part longer than the recorded total, which is corrupt and downloaded again.
TEST_F(Download, MetadataThatDoesNotMakeAHit) {
    auto body = makeBody(1000, 7);
    server.setFile(kPath, body);
    seedPart(body);
    writeFile(slot().metaURL, R"({"etag":"\"x\"","totalBytes":1000})");
    run(downloader());
    EXPECT_EQ(ranges().at(0), "bytes=1000-");
    EXPECT_EQ(server.requests().at(0).header("If-Range"), "");

    server.clearRequests();
    seedPart("", CacheMeta{{}, {}, 0, url()});
    run(downloader());
    EXPECT_EQ(ranges(), std::vector<std::string>{""});

    server.clearRequests();
    recorder = ProgressRecorder{};
    server.setFile(kPath, body.substr(0, 999));
    seedPart(makeBody(1000, 12), CacheMeta{{}, {}, 999, url()});
    EXPECT_EQ(readFile(run(downloader())), body.substr(0, 999));
    EXPECT_EQ(ranges(), std::vector<std::string>{""});
    EXPECT_EQ(Deltas(recorder.deltas.begin(), recorder.deltas.begin() + 2), (Deltas{1000, -1000}));
    EXPECT_TRUE(recorder.matchesDisk(999));
    EXPECT_EQ(logs.count("缓存命中"), 0);
}

// A range of a file of another size (no validator to catch the change) would
// splice two versions; the part starts over instead.
TEST_F(Download, RangeOfAChangedFileRestartsFromZero) {
    auto body = makeBody(1500, 13);
    server.setFile(kPath, body);
    seedPart(makeBody(400, 14), CacheMeta{{}, {}, 1000, url()});

    EXPECT_EQ(readFile(run(downloader())), body);
    EXPECT_EQ(ranges(), (std::vector<std::string>{"bytes=400-", ""}));
    EXPECT_EQ(recorder.deltas.at(1), -400);
    EXPECT_TRUE(recorder.matchesDisk(1500));
    EXPECT_TRUE(pauses.empty());
    EXPECT_EQ(cache::readMeta(slot())->totalBytes, 1500);
}

TEST_F(Download, TimeOutsThenSuccessPauseTwoFourEightSeconds) {
    auto body = makeBody(1000, 15);
    server.setFile(kPath, body);
    server.setFault(kPath, fixture::Fault{.times = 3, .stallBeforeBody = std::chrono::seconds(20)});

    EXPECT_EQ(readFile(run(downloader(std::chrono::seconds(1)))), body);
    using std::chrono::seconds;
    EXPECT_EQ(pauses, (std::vector<seconds>{seconds(2), seconds(4), seconds(8)}));
    EXPECT_EQ(ranges().size(), 4u);
    for (int n = 1; n <= 3; ++n)
        EXPECT_EQ(logs.count(fmt::format("[WARN]   ⟳ 瞬时网络错误，{}s 后重试 [model-a] (attempt "
                                         "{}/4): 网络错误：",
                                         2 << (n - 1), n)),
                  1);
    EXPECT_TRUE(recorder.matchesDisk(1000));
    EXPECT_EQ(logs.count("下载失败"), 0);
}

TEST_F(Download, FourthTimeOutFails) {
    server.setFile(kPath, makeBody(1000, 16));
    server.setFault(kPath, fixture::Fault{.stallBeforeBody = std::chrono::seconds(20)});

    auto error =
        carriedError<platform::TransportError>([&] { run(downloader(std::chrono::seconds(1))); });
    EXPECT_EQ(error.kind(), platform::TransportErrorKind::timedOut);
    EXPECT_EQ(pauses.size(), 3u);
    EXPECT_EQ(ranges().size(), 4u);
    EXPECT_EQ(logs.count("[ERROR] ✘ 下载失败 [model-a] 网络错误："), 1);
}

TEST_F(Download, HttpErrorStatusIsNotRetried) {
    server.setFile(kPath, makeBody(1000, 17));
    server.setFault(kPath, fixture::Fault{.forceStatus = 503});

    auto error = carriedError<DomainError>([&] { run(downloader()); });
    EXPECT_EQ(error.code(), 503);
    EXPECT_EQ(std::string(error.what()), "HTTP 503 — " + url());
    EXPECT_TRUE(pauses.empty());
    EXPECT_EQ(ranges().size(), 1u);
    EXPECT_TRUE(logs.contains("[ERROR] ✘ 下载失败 [model-a] 网络错误：HTTP 503 — " + url()));
}

// A connection dropped mid-body is resumed from the bytes on disk, announced
// length or not.
TEST_F(Download, DroppedConnectionIsResumedToACorrectFile) {
    for (bool chunked : {false, true}) {
        SCOPED_TRACE(chunked ? "chunked" : "with Content-Length");
        std::string path = chunked ? "/chunked.bin" : kPath;
        auto body = makeBody(2'000'000, 18);
        server.setFile(path, body);
        server.setFault(
            path,
            fixture::Fault{.times = 1, .omitContentLength = chunked, .closeAfterBytes = 700'000});
        recorder = ProgressRecorder{};
        pauses.clear();

        EXPECT_EQ(sha256Hex(readFile(run(downloader(), path))), sha256Hex(body));
        EXPECT_EQ(ranges(path), (std::vector<std::string>{"", "bytes=700000-"}));
        EXPECT_EQ(pauses.size(), 1u);
        EXPECT_TRUE(recorder.matchesDisk(2'000'000));
    }
}

TEST_F(Download, ChangedETagBetweenAttemptsRestartsCleanly) {
    auto second = makeBody(1'200'000, 20);
    server.setFile(kPath, makeBody(1'000'000, 19));
    server.setFault(kPath, fixture::Fault{.times = 1, .closeAfterBytes = 300'000});
    duringPause = [&] { server.setFile(kPath, second); };

    EXPECT_EQ(sha256Hex(readFile(run(downloader()))), sha256Hex(second));
    EXPECT_EQ(ranges(), (std::vector<std::string>{"", "bytes=300000-"}));
    EXPECT_NE(server.requests().at(1).header("If-Range"), "");
    EXPECT_TRUE(logs.contains(
        "[WARN]   HTTP 200 OK [model-a] 服务器拒绝 Range，丢弃本地 300000 bytes 重新下载"));
    EXPECT_TRUE(recorder.matchesDisk(1'200'000));
    EXPECT_EQ(cache::readMeta(slot())->totalBytes, 1'200'000);
}

TEST_F(Download, LocalFileSourceIsCopiedIntoTheSlot) {
    auto body = makeBody(5000, 21);
    auto source = home.path() / "src dir/model.bin";
    writeFile(source, body);
    CVTAVAsset local{"local-model",          platform::Url::fromFilePath(source), "", 1, {}, "",
                     CVTAVAsset::Format::raw};
    recorder.part = cache::makeSlot(local.url).partURL;

    auto file = downloader().download(local, recorder.progress(), recorder.total());
    EXPECT_EQ(file, recorder.part);
    EXPECT_EQ(readFile(file), body);
    EXPECT_EQ(recorder.deltas, Deltas{5000});
    EXPECT_EQ(recorder.totals, Deltas{5000});
    EXPECT_TRUE(logs.contains("[INFO] ▶ 本地源 [local-model] " + source.string()));
    EXPECT_EQ(logs.count("下载"), 0);

    fs::remove(source);
    auto error = carriedError<DomainError>([&] { downloader().download(local, {}, {}); });
    EXPECT_EQ(error.code(), -1);
    EXPECT_EQ(std::string(error.what()), "本地文件不存在: " + source.string());
}

TEST_F(Download, WriteFailureKeepsThePartAndIsNotRetried) {
    auto body = makeBody(2'000'000, 22);
    server.setFile(kPath, body);
    // A file-size limit stands in for a full disk: writes past it fail.
    std::signal(SIGXFSZ, SIG_IGN);
    rlimit saved{};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &saved), 0);
    rlimit limited = saved;
    limited.rlim_cur = 500'000;
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &limited), 0);
    std::error_code code;
    try {
        code = carriedError<fs::filesystem_error>([&] { run(downloader()); }).code();
    } catch (...) {
    }
    ::setrlimit(RLIMIT_FSIZE, &saved);
    EXPECT_EQ(code, std::errc::file_too_large);
    EXPECT_EQ(cache::existingPartBytes(slot()), 500'000);
    EXPECT_TRUE(recorder.matchesDisk(500'000));
    EXPECT_TRUE(pauses.empty());
    EXPECT_EQ(logs.count("[ERROR] ✘ 下载失败 [model-a] 网络错误："), 1);

    // The kept bytes are resumed later.
    recorder = ProgressRecorder{};
    EXPECT_EQ(sha256Hex(readFile(run(downloader()))), sha256Hex(body));
    EXPECT_EQ(ranges().back(), "bytes=500000-");
}

TEST_F(Download, StopDuringTheTransferEndsAsCancellation) {
    server.setFile(kPath, makeBody(2'000'000, 23));
    server.setFault(kPath, fixture::Fault{.throttleBytesPerSecond = 200'000});
    std::stop_source stop;
    recorder.part = slot().partURL;
    auto progress = recorder.progress();
    auto stopAtFirstBytes = [&](std::int64_t delta) {
        progress(delta);
        stop.request_stop();
    };
    EXPECT_THROW(downloader().download(asset(), stopAtFirstBytes, {}, stop.get_token()),
                 platform::CancelledError);
    EXPECT_TRUE(pauses.empty());
    EXPECT_EQ(ranges().size(), 1u);
    EXPECT_TRUE(recorder.matchesDisk(cache::existingPartBytes(slot())));
    EXPECT_EQ(logs.count("下载失败"), 0);
}

// The real pause between attempts wakes as soon as a stop is requested.
TEST_F(Download, StopDuringThePauseEndsAsCancellation) {
    server.setFile(kPath, makeBody(100'000, 24));
    server.setFault(kPath, fixture::Fault{.closeAfterBytes = 1000});
    std::stop_source stop;
    std::exception_ptr outcome;
    std::jthread worker([&] {
        try {
            CorvelResumableDownloader().download(asset(), {}, {}, stop.get_token());
        } catch (...) {
            outcome = std::current_exception();
        }
    });
    ASSERT_TRUE(
        testsupport::waitUntil([&] { return logs.count("⟳ 瞬时网络错误，2s 后重试") == 1; }));
    stop.request_stop();
    worker.join();
    EXPECT_THROW(std::rethrow_exception(outcome), platform::CancelledError);
    EXPECT_EQ(ranges().size(), 1u);
    EXPECT_EQ(logs.count("下载失败"), 0);
}
