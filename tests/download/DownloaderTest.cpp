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

namespace {

constexpr const char* kPath = "/models/a.bin";

// Runs the download and hands the error carried by its network failure to check.
template <typename Inner>
void expectNetworkError(const std::function<void()>& run,
                        const std::function<void(const Inner&)>& check) {
    try {
        run();
        ADD_FAILURE() << "no error";
    } catch (const CorvelInstallError& error) {
        auto* network = std::get_if<CorvelInstallError::Network>(&error.value());
        ASSERT_NE(network, nullptr) << error.what();
        try {
            std::rethrow_exception(network->underlying);
        } catch (const Inner& inner) {
            check(inner);
        } catch (const std::exception& other) {
            ADD_FAILURE() << "unexpected underlying error: " << other.what();
        }
    }
}

} // namespace

class Download : public ::testing::Test {
  protected:
    Download() { server.start(); }
    ~Download() override { server.stop(); }

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
    CVTAVAsset asset(const std::string& path) const {
        return CVTAVAsset{"model-a",
                          *platform::Url::parse(server.url(path)),
                          "",
                          1,
                          {},
                          "",
                          CVTAVAsset::Format::raw};
    }
    CacheSlot slotFor(const std::string& path) const { return cache::makeSlot(asset(path).url); }
    std::vector<fixture::RecordedRequest> gets(const std::string& path) const {
        std::vector<fixture::RecordedRequest> result;
        for (auto& r : server.requests(path))
            if (r.method == "GET") result.push_back(r);
        return result;
    }
    fs::path run(CorvelResumableDownloader d, const std::string& path = kPath,
                 std::stop_token stop = {}) {
        recorder.part = slotFor(path).partURL;
        return d.download(asset(path), recorder.progress(), recorder.total(), stop);
    }
    void seedPart(const std::string& bytes, const std::optional<CacheMeta>& meta = std::nullopt) {
        auto slot = slotFor(kPath);
        writeFile(slot.partURL, bytes);
        if (meta) cache::writeMeta(*meta, slot);
    }
    std::string url() const { return server.url(kPath); }

    testsupport::TempHome home;
    fixture::FixtureServer server;
    std::vector<std::chrono::seconds> pauses;
    std::function<void()> duringPause; // runs inside each recorded pause
    ProgressRecorder recorder;
    LogCapture logs;
};

TEST_F(Download, FreshDownloadWithContentLength) {
    auto body = makeBody(300'000, 1);
    server.setFile(kPath, body);
    auto file = run(downloader());

    EXPECT_EQ(file, slotFor(kPath).partURL);
    EXPECT_EQ(readFile(file), body);
    auto requests = gets(kPath);
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].header("Range"), "");
    EXPECT_EQ(requests[0].header("If-Range"), "");
    EXPECT_EQ(recorder.totals, std::vector<std::int64_t>{300'000});
    EXPECT_EQ(recorder.sum, 300'000);
    EXPECT_EQ(recorder.mismatches, 0);
    auto meta = cache::readMeta(slotFor(kPath));
    ASSERT_TRUE(meta);
    EXPECT_EQ(meta->totalBytes, 300'000);
    EXPECT_EQ(meta->sourceURL, url());
    EXPECT_TRUE(meta->etag && meta->lastModified);
    EXPECT_TRUE(logs.contains("▶ 开始下载 [model-a] 从头开始"));
    EXPECT_TRUE(logs.contains("  HTTP 200 OK [model-a] total=300000"));
    EXPECT_TRUE(logs.contains("✔ 下载完成 [model-a] 300 KB"));
}

TEST_F(Download, FreshDownloadWithoutContentLength) {
    auto body = makeBody(100'000, 2);
    server.setFile(kPath, body);
    server.setFault(kPath, fixture::Fault{.omitContentLength = true});
    auto file = run(downloader());

    EXPECT_EQ(readFile(file), body);
    EXPECT_TRUE(recorder.totals.empty());
    EXPECT_EQ(recorder.sum, 100'000);
    EXPECT_EQ(recorder.mismatches, 0);
    auto meta = cache::readMeta(slotFor(kPath));
    ASSERT_TRUE(meta);
    EXPECT_FALSE(meta->totalBytes);
    EXPECT_TRUE(logs.contains("  HTTP 200 OK [model-a] total=-1"));
}

TEST_F(Download, ResumesWithRangeAndIfRange) {
    auto body = makeBody(1000, 3);
    server.setFile(kPath, body);
    run(downloader());
    // An earlier run stopped after 400 bytes, its metadata intact.
    auto slot = slotFor(kPath);
    auto etag = cache::readMeta(slot)->etag;
    fs::resize_file(slot.partURL, 400);
    server.clearRequests();
    recorder = ProgressRecorder{};

    auto file = run(downloader());
    EXPECT_EQ(readFile(file), body);
    auto requests = gets(kPath);
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].header("Range"), "bytes=400-");
    EXPECT_EQ(requests[0].header("If-Range"), *etag);
    EXPECT_EQ(recorder.deltas.front(), 400);
    EXPECT_EQ(recorder.sum, 1000);
    EXPECT_EQ(recorder.mismatches, 0);
    EXPECT_EQ(recorder.totals, std::vector<std::int64_t>{1000});
    EXPECT_TRUE(logs.contains("▶ 开始下载 [model-a] 续传自 400 bytes"));
    EXPECT_TRUE(logs.contains("  HTTP 206 Partial [model-a] total=1000 从 400 续传"));
}

// Metadata that holds only the source URL still allows a range, just unvalidated.
TEST_F(Download, MetadataWithOnlyTheSourceUrlResumesWithoutValidator) {
    auto body = makeBody(1000, 4);
    server.setFile(kPath, body);
    seedPart(body.substr(0, 400), CacheMeta{{}, {}, {}, url()});

    auto file = run(downloader());
    EXPECT_EQ(readFile(file), body);
    auto requests = gets(kPath);
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].header("Range"), "bytes=400-");
    EXPECT_EQ(requests[0].header("If-Range"), "");
    EXPECT_EQ(recorder.totals, std::vector<std::int64_t>{1000});
    EXPECT_EQ(cache::readMeta(slotFor(kPath))->totalBytes, 1000);
}

TEST_F(Download, ServerIgnoringRangesRestartsThePartAtZero) {
    auto body = makeBody(1000, 5);
    server.setFile(kPath, body);
    server.setFault(kPath, fixture::Fault{.ignoreRanges = true});
    seedPart(makeBody(400, 99), CacheMeta{"\"old\"", {}, 1000, url()});

    auto file = run(downloader());
    EXPECT_EQ(readFile(file), body);
    EXPECT_EQ(recorder.deltas.front(), 400);
    EXPECT_EQ(recorder.deltas[1], -400);
    EXPECT_EQ(recorder.sum, 1000);
    EXPECT_EQ(recorder.mismatches, 0);
    EXPECT_TRUE(
        logs.contains("  HTTP 200 OK [model-a] 服务器拒绝 Range，丢弃本地 400 bytes 重新下载"));
    EXPECT_TRUE(logs.text().find("[WARN]   HTTP 200 OK [model-a] 服务器拒绝") != std::string::npos);
}

TEST_F(Download, CompletePartWithoutMetadataIsConfirmedByTheProbe) {
    auto body = makeBody(1000, 6);
    server.setFile(kPath, body);
    seedPart(body);

    auto file = run(downloader());
    EXPECT_EQ(readFile(file), body);
    auto requests = gets(kPath);
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0].header("Range"), "bytes=1000-");
    EXPECT_EQ(requests[1].header("Range"), "bytes=0-0");
    EXPECT_EQ(recorder.deltas, std::vector<std::int64_t>{1000}); // not a byte downloaded
    EXPECT_EQ(recorder.totals, std::vector<std::int64_t>{1000});
    auto meta = cache::readMeta(slotFor(kPath));
    ASSERT_TRUE(meta);
    EXPECT_EQ(meta->totalBytes, 1000);
    EXPECT_TRUE(meta->etag);
    EXPECT_TRUE(logs.contains("  HTTP 416 恢复 [model-a] part 已完整 (1000B) 视为下载成功"));
    EXPECT_TRUE(logs.contains("✔ 下载完成 [model-a] 1 KB"));
}

// Metadata without sourceURL is no metadata: no hit, no If-Range.
TEST_F(Download, MetadataWithoutSourceUrlIsIgnored) {
    auto body = makeBody(1000, 7);
    server.setFile(kPath, body);
    seedPart(body);
    writeFile(slotFor(kPath).metaURL, R"({"etag":"\"x\"","totalBytes":1000})");

    run(downloader());
    auto requests = gets(kPath);
    ASSERT_FALSE(requests.empty());
    EXPECT_EQ(requests[0].header("Range"), "bytes=1000-");
    EXPECT_EQ(requests[0].header("If-Range"), "");
    EXPECT_FALSE(logs.contains("缓存命中"));
}

TEST_F(Download, ProbeWithAnotherTotalEmptiesThePartAndFailsWithoutRetry) {
    server.setFile(kPath, makeBody(1200, 8));
    server.setFault(kPath, fixture::Fault{.times = 1, .forceStatus = 416});
    seedPart(makeBody(1000, 8));

    expectNetworkError<DomainError>(
        [&] { run(downloader()); },
        [&](const DomainError& e) {
            EXPECT_EQ(e.domain(), "CorvelResumableDownloader");
            EXPECT_EQ(e.code(), 416);
            EXPECT_EQ(std::string(e.what()), "本地缓存与服务器文件不一致，已清理请重试 — " + url());
        });
    EXPECT_EQ(cache::existingPartBytes(slotFor(kPath)), 0);
    EXPECT_EQ(recorder.deltas, (std::vector<std::int64_t>{1000, -1000}));
    EXPECT_EQ(recorder.mismatches, 0);
    EXPECT_TRUE(pauses.empty());
    EXPECT_EQ(gets(kPath).size(), 2u);
    EXPECT_TRUE(logs.contains("  HTTP 416 [model-a] 本地 1000B 与服务器 1200B 不符，清空重下"));
    EXPECT_TRUE(logs.contains("✘ 下载失败 [model-a] 网络错误：本地缓存与服务器文件不一致，已清理请"
                              "重试 — " +
                              url()));
}

TEST_F(Download, CacheHitMakesNoRequest) {
    auto body = makeBody(1000, 9);
    server.setFile(kPath, body);
    seedPart(body, CacheMeta{"\"e\"", {}, 1000, url()});

    auto file = run(downloader());
    EXPECT_EQ(readFile(file), body);
    EXPECT_TRUE(server.requests().empty());
    EXPECT_EQ(recorder.deltas, std::vector<std::int64_t>{1000});
    EXPECT_EQ(recorder.totals, std::vector<std::int64_t>{1000});
    auto text = logs.text();
    auto start = text.find("▶ 开始下载 [model-a] 续传自 1 KB\n");
    auto hit = text.find("  缓存命中 [model-a] part 已完整 (1000/1000) 跳过网络\n");
    auto done = text.find("✔ 下载完成 [model-a] 1 KB\n");
    ASSERT_NE(start, std::string::npos) << text;
    ASSERT_NE(hit, std::string::npos) << text;
    ASSERT_NE(done, std::string::npos) << text;
    EXPECT_LT(start, hit);
    EXPECT_LT(hit, done);
}

TEST_F(Download, ZeroTotalIsNeverAHit) {
    auto body = makeBody(1000, 10);
    server.setFile(kPath, body);
    seedPart("", CacheMeta{{}, {}, 0, url()});
    EXPECT_EQ(readFile(run(downloader())), body);
    EXPECT_EQ(gets(kPath).size(), 1u);
}

// A part longer than the recorded total cannot be the file: it is downloaded again.
TEST_F(Download, PartLongerThanTheRecordedTotalIsDownloadedAgain) {
    auto body = makeBody(999, 11);
    server.setFile(kPath, body);
    seedPart(makeBody(1000, 12), CacheMeta{{}, {}, 999, url()});

    EXPECT_EQ(readFile(run(downloader())), body);
    EXPECT_FALSE(logs.contains("缓存命中"));
    EXPECT_EQ(recorder.deltas[0], 1000);
    EXPECT_EQ(recorder.deltas[1], -1000);
    EXPECT_EQ(recorder.sum, 999);
    EXPECT_EQ(recorder.mismatches, 0);
    EXPECT_EQ(gets(kPath).at(0).header("Range"), "");
}

// A range of a file of another size (no validator to catch the change) would
// splice two versions; the part starts over instead.
TEST_F(Download, RangeOfAChangedFileRestartsFromZero) {
    auto body = makeBody(1500, 13);
    server.setFile(kPath, body);
    seedPart(makeBody(400, 14), CacheMeta{{}, {}, 1000, url()});

    EXPECT_EQ(readFile(run(downloader())), body);
    auto requests = gets(kPath);
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0].header("Range"), "bytes=400-");
    EXPECT_EQ(requests[1].header("Range"), "");
    EXPECT_EQ(recorder.deltas[1], -400);
    EXPECT_EQ(recorder.sum, 1500);
    EXPECT_EQ(recorder.mismatches, 0);
    EXPECT_TRUE(pauses.empty());
    EXPECT_EQ(cache::readMeta(slotFor(kPath))->totalBytes, 1500);
}

TEST_F(Download, TimeOutsThenSuccessPauseTwoFourEightSeconds) {
    auto body = makeBody(1000, 15);
    server.setFile(kPath, body);
    server.setFault(kPath, fixture::Fault{.times = 3, .stallBeforeBody = std::chrono::seconds(20)});

    auto file = run(downloader(std::chrono::seconds(1)));
    EXPECT_EQ(readFile(file), body);
    using std::chrono::seconds;
    EXPECT_EQ(pauses, (std::vector<seconds>{seconds(2), seconds(4), seconds(8)}));
    EXPECT_EQ(gets(kPath).size(), 4u);
    for (int n = 1; n <= 3; ++n)
        EXPECT_EQ(logs.count(fmt::format("s 后重试 [model-a] (attempt {}/4): 网络错误：", n)), 1);
    EXPECT_TRUE(logs.text().find("[WARN]   ⟳ 瞬时网络错误，2s 后重试 [model-a] (attempt 1/4)") !=
                std::string::npos);
    EXPECT_EQ(recorder.sum, 1000);
    EXPECT_EQ(recorder.mismatches, 0);
    EXPECT_FALSE(logs.contains("下载失败"));
}

TEST_F(Download, FourthTimeOutFails) {
    server.setFile(kPath, makeBody(1000, 16));
    server.setFault(kPath, fixture::Fault{.stallBeforeBody = std::chrono::seconds(20)});

    expectNetworkError<platform::TransportError>(
        [&] { run(downloader(std::chrono::seconds(1))); },
        [](const platform::TransportError& e) {
            EXPECT_EQ(e.kind(), platform::TransportErrorKind::timedOut);
        });
    EXPECT_EQ(pauses.size(), 3u);
    EXPECT_EQ(gets(kPath).size(), 4u);
    EXPECT_EQ(logs.count("✘ 下载失败 [model-a] 网络错误："), 1);
}

TEST_F(Download, HttpErrorStatusIsNotRetried) {
    server.setFile(kPath, makeBody(1000, 17));
    server.setFault(kPath, fixture::Fault{.forceStatus = 503});

    expectNetworkError<DomainError>([&] { run(downloader()); },
                                    [&](const DomainError& e) {
                                        EXPECT_EQ(e.code(), 503);
                                        EXPECT_EQ(std::string(e.what()), "HTTP 503 — " + url());
                                    });
    EXPECT_TRUE(pauses.empty());
    EXPECT_EQ(gets(kPath).size(), 1u);
    EXPECT_TRUE(logs.contains("✘ 下载失败 [model-a] 网络错误：HTTP 503 — " + url()));
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

        auto file = run(downloader(), path);
        EXPECT_EQ(sha256Hex(readFile(file)), sha256Hex(body));
        auto requests = gets(path);
        ASSERT_EQ(requests.size(), 2u);
        EXPECT_EQ(requests[1].header("Range"), "bytes=700000-");
        EXPECT_EQ(pauses.size(), 1u);
        EXPECT_EQ(recorder.sum, 2'000'000);
        EXPECT_EQ(recorder.mismatches, 0);
    }
}

TEST_F(Download, ChangedETagBetweenAttemptsRestartsCleanly) {
    auto first = makeBody(1'000'000, 19);
    auto second = makeBody(1'200'000, 20);
    server.setFile(kPath, first);
    server.setFault(kPath, fixture::Fault{.times = 1, .closeAfterBytes = 300'000});
    duringPause = [&] { server.setFile(kPath, second); };

    auto file = run(downloader());
    EXPECT_EQ(sha256Hex(readFile(file)), sha256Hex(second));
    auto requests = gets(kPath);
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[1].header("Range"), "bytes=300000-");
    EXPECT_NE(requests[1].header("If-Range"), "");
    EXPECT_TRUE(
        logs.contains("  HTTP 200 OK [model-a] 服务器拒绝 Range，丢弃本地 300000 bytes 重新下载"));
    EXPECT_EQ(recorder.sum, 1'200'000);
    EXPECT_EQ(recorder.mismatches, 0);
    EXPECT_EQ(cache::readMeta(slotFor(kPath))->totalBytes, 1'200'000);
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
    EXPECT_EQ(recorder.deltas, std::vector<std::int64_t>{5000});
    EXPECT_EQ(recorder.totals, std::vector<std::int64_t>{5000});
    EXPECT_TRUE(logs.contains("▶ 本地源 [local-model] " + source.string()));
    EXPECT_FALSE(logs.contains("开始下载"));
    EXPECT_FALSE(logs.contains("下载完成"));

    fs::remove(source);
    expectNetworkError<DomainError>(
        [&] { downloader().download(local, recorder.progress(), recorder.total()); },
        [&](const DomainError& e) {
            EXPECT_EQ(e.code(), -1);
            EXPECT_EQ(std::string(e.what()), "本地文件不存在: " + source.string());
        });
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
    bool sawFileError = false;
    try {
        run(downloader());
    } catch (const CorvelInstallError& error) {
        auto* network = std::get_if<CorvelInstallError::Network>(&error.value());
        ASSERT_NE(network, nullptr);
        try {
            std::rethrow_exception(network->underlying);
        } catch (const fs::filesystem_error& e) {
            sawFileError = e.code() == std::errc::file_too_large;
        } catch (...) {
        }
    }
    ::setrlimit(RLIMIT_FSIZE, &saved);
    EXPECT_TRUE(sawFileError);
    EXPECT_EQ(cache::existingPartBytes(slotFor(kPath)), 500'000);
    EXPECT_EQ(recorder.sum, 500'000);
    EXPECT_EQ(recorder.mismatches, 0);
    EXPECT_TRUE(pauses.empty());
    EXPECT_EQ(logs.count("✘ 下载失败 [model-a] 网络错误："), 1);

    // The kept bytes are resumed later.
    recorder = ProgressRecorder{};
    EXPECT_EQ(sha256Hex(readFile(run(downloader()))), sha256Hex(body));
    EXPECT_EQ(gets(kPath).back().header("Range"), "bytes=500000-");
}

TEST_F(Download, StopDuringTheTransferEndsAsCancellation) {
    server.setFile(kPath, makeBody(2'000'000, 23));
    server.setFault(kPath, fixture::Fault{.throttleBytesPerSecond = 200'000});
    std::stop_source stop;
    recorder.part = slotFor(kPath).partURL;
    auto progress = recorder.progress();
    auto d = downloader();
    EXPECT_THROW(d.download(
                     asset(kPath),
                     [&](std::int64_t delta) {
                         progress(delta);
                         stop.request_stop();
                     },
                     {}, stop.get_token()),
                 platform::CancelledError);
    EXPECT_TRUE(pauses.empty());
    EXPECT_EQ(gets(kPath).size(), 1u);
    EXPECT_EQ(recorder.sum, cache::existingPartBytes(slotFor(kPath)));
    EXPECT_EQ(recorder.mismatches, 0);
    EXPECT_FALSE(logs.contains("下载失败"));
}

// The real pause between attempts wakes as soon as a stop is requested.
TEST_F(Download, StopDuringThePauseEndsAsCancellation) {
    server.setFile(kPath, makeBody(100'000, 24));
    server.setFault(kPath, fixture::Fault{.closeAfterBytes = 1000});
    std::stop_source stop;
    std::exception_ptr outcome;
    std::jthread worker([&] {
        try {
            CorvelResumableDownloader::Timing timing;
            timing.pause = {};
            CorvelResumableDownloader(timing).download(asset(kPath), {}, {}, stop.get_token());
        } catch (...) {
            outcome = std::current_exception();
        }
    });
    ASSERT_TRUE(
        testsupport::waitUntil([&] { return logs.count("⟳ 瞬时网络错误，2s 后重试") == 1; }));
    stop.request_stop();
    worker.join();
    ASSERT_TRUE(outcome);
    EXPECT_THROW(std::rethrow_exception(outcome), platform::CancelledError);
    EXPECT_EQ(gets(kPath).size(), 1u);
    EXPECT_FALSE(logs.contains("下载失败"));
}

TEST(DownloaderErrors, TransientSetFollowsTheTransportKind) {
    using platform::TransportError;
    using K = platform::TransportErrorKind;
    auto wrapped = [](K kind) {
        return std::make_exception_ptr(
            CorvelInstallError::network(std::make_exception_ptr(TransportError(kind, 0, "x"))));
    };
    for (K kind :
         {K::timedOut, K::cannotFindHost, K::cannotConnect, K::connectionLost, K::dnsFailure,
          K::resourceUnavailable, K::notConnected, K::secureConnectionFailed})
        EXPECT_TRUE(CorvelResumableDownloader::isTransientNetworkError(wrapped(kind)));
    for (K kind : {K::certificateUntrusted, K::cancelled, K::badServerResponse, K::other})
        EXPECT_FALSE(CorvelResumableDownloader::isTransientNetworkError(wrapped(kind)));
    EXPECT_TRUE(CorvelResumableDownloader::isTransientNetworkError(
        std::make_exception_ptr(TransportError(K::timedOut, 28, "x"))));
    EXPECT_FALSE(CorvelResumableDownloader::isTransientNetworkError(std::make_exception_ptr(
        CorvelInstallError::network(std::make_exception_ptr(DomainError("d", 503, "x"))))));
}
