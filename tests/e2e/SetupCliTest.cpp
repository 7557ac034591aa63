// The real corvel-setup-cli against the fixture server, in a temporary HOME.

#include "BuildInfo.h"
#include "FixtureServer.h"
#include "download/CacheSlot.h"
#include "download/SegmentTable.h"
#include "download/SegmentedTransfer.h"
#include "install/InstallTestSupport.h"
#include "pipeline/CorvelDownloadViewModel.h"
#include "pipeline/SetupSession.h"
#include "platform/Directories.h"
#include "platform/FileOps.h"
#include "platform/Spawn.h"
#include "record/CorvelSetupManifest.h"
#include "shareddata/CVSharedDataPaths.h"
#include "support/CliProcess.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <map>
#include <sstream>

namespace {

using fixture::Fault;

constexpr std::size_t bigSize = 12 * 1024 * 1024;

// The plain progress lines of standard output: within a stage each percent at
// most once and rising (the byte figures in them have their unit tests).
void expectSoundProgressLines(const std::string& out) {
    std::map<std::string, int> lastPercent;
    std::istringstream lines(out);
    int count = 0;
    for (std::string line; std::getline(lines, line);) {
        if (!line.starts_with("[") || line.starts_with("[CorvelSetup]")) continue;
        ++count;
        std::string stage = line.substr(1, line.find(']') - 1);
        int percent = std::stoi(line.substr(line.find(']') + 1));
        if (lastPercent.contains(stage)) {
            EXPECT_GT(percent, lastPercent[stage]) << line;
        }
        lastPercent[stage] = percent;
    }
    EXPECT_GT(count, 2) << out;
}

class SetupCli : public ::testing::Test {
  protected:
    void SetUp() override {
        appArchive = bundleArchive("#!/bin/sh\necho started > \"$HOME/launched-marker\"\n");
        whisper = archiveBytes(
            CVTAVAsset::Format::tarGz,
            {directory("whisper/"), file("whisper/model.bin", patternBytes(300000, 3))});
        vision = archiveBytes(
            CVTAVAsset::Format::zip,
            {directory("vision/"), file("vision/weights.bin", patternBytes(200000, 4))});
        big = patternBytes(bigSize, 5);
        server.setFile("/files/Corvel.zip", appArchive);
        server.setFile("/files/whisper.tar.gz", whisper);
        server.setFile("/files/vision.zip", vision);
        server.setFile("/files/big.bin", big);
        setManifest(sha256Hex(appArchive));
        server.start();
    }

    void setManifest(const std::string& appHash,
                     const std::string& visionURL = "{BASE}/files/vision.zip") {
        server.setTemplate(
            "/manifest",
            R"({"status":"success","data":{"app":{"download_url":"{BASE}/files/Corvel.zip","file_hash":")" +
                appHash + R"("},"models":[
              {"model_name":"whisper","download_url":"{BASE}/files/whisper.tar.gz","file_name":"w","size":1},
              {"model_name":"vision","download_url":")" +
                visionURL + R"(","file_name":"v","size":1},
              {"model_name":"big","download_url":"{BASE}/files/big.bin","file_name":"b","size":1}]}})");
    }

    std::vector<std::string> args(std::vector<std::string> extra = {"--no-launch"}) const {
        extra.insert(extra.begin(), {"--manifest-url", server.url("/manifest")});
        return extra;
    }
    Outcome run(std::vector<std::string> extra = {"--no-launch"}) {
        return CliProcess(home.path(), args(std::move(extra))).finish();
    }
    // A run that found everything recorded asks only for the manifest and heads.
    void expectNothingFetched() const {
        for (const auto& request : server.requests())
            EXPECT_TRUE(request.method == "HEAD" || request.path == "/manifest") << request.path;
    }

    fs::path llmData() const { return CVSharedDataPaths::llmDataDirectory(); }
    fs::path slotOf(const std::string& path) const {
        return cache::downloadsRoot() / cache::slotName(*platform::Url::parse(server.url(path)));
    }
    fs::path bigPart() const { return slotOf("/files/big.bin") / "payload.part"; }
    std::int64_t bigPartBytes() const {
        std::error_code error;
        auto size = fs::file_size(bigPart(), error);
        return error ? 0 : static_cast<std::int64_t>(size);
    }
    std::vector<std::string> recordedNames() const {
        std::vector<std::string> names;
        for (const auto& entry : CorvelSetupManifest::load().entries)
            names.push_back(entry.name);
        std::sort(names.begin(), names.end());
        return names;
    }
    std::vector<std::string> rangesAsked(const std::string& path) const {
        std::vector<std::string> ranges;
        for (const auto& request : server.requests(path))
            if (request.method == "GET") ranges.push_back(request.header("Range"));
        return ranges;
    }

    TempHome home;
    fixture::FixtureServer server;
    std::string appArchive, whisper, vision, big;
};

TEST_F(SetupCli, InstallsEverythingLaunchesTheAppAndSkipsAllOfItOnTheNextRun) {
    Outcome first = run({});
    ASSERT_EQ(first.exitCode, 0) << first.err;
    expectSoundProgressLines(first.out);
    EXPECT_TRUE(waitUntil([&] { return fs::exists(home.path() / "launched-marker"); }));
    EXPECT_TRUE(fs::exists(home.path() / "Applications/Corvel.app/AppRun"));
    EXPECT_EQ(readFile(llmData() / "whisper/model.bin"), patternBytes(300000, 3));
    EXPECT_EQ(readFile(llmData() / "vision/weights.bin"), patternBytes(200000, 4));
    EXPECT_TRUE(readFile(llmData() / "big.bin") == big);
    EXPECT_EQ(recordedNames(),
              (std::vector<std::string>{"Corvel.app", "big", "vision", "whisper"}));
    // Progress lines share standard output; the profile line is one whole line of it.
    EXPECT_TRUE(first.out.starts_with("\"[CorvelSetup] CVSystemProfile(arch=") ||
                first.out.find("\n\"[CorvelSetup] CVSystemProfile(arch=") != std::string::npos)
        << first.out;
    expectContains(first.err,
                   {"==================== Corvel Setup 启动 ====================",
                    "✔ 校验通过 [Corvel.app] sha256=" + sha256Hex(appArchive).substr(0, 12) + "…",
                    "4 个资源需要解压/安装", "==================== 安装成功 ====================",
                    "✔ Corvel.app 已启动（PID "});
    // Two at a time: the third and fourth start only after one and two have ended.
    auto positions = [&](const std::string& text) {
        std::vector<std::size_t> found;
        for (auto at = first.err.find(text); at != std::string::npos;
             at = first.err.find(text, at + 1))
            found.push_back(at);
        return found;
    };
    auto starts = positions("▶ 开始下载"), ends = positions("✔ 下载完成");
    ASSERT_EQ(starts.size(), 4u);
    ASSERT_EQ(ends.size(), 4u);
    EXPECT_LT(ends[0], starts[2]);
    EXPECT_LT(ends[1], starts[3]);

    // A download left beside a recorded product goes with the next run.
    writeFile(bigPart(), "stale");
    server.clearRequests();
    Outcome second = run();
    ASSERT_EQ(second.exitCode, 0) << second.err;
    EXPECT_FALSE(fs::exists(slotOf("/files/big.bin")));
    expectContains(second.err, {"⏭ SetupManifest.json 命中（URL + 产物都在），跳过: big",
                                "共 0 个资源，预计 Zero KB", "无需解压（全部命中缓存）",
                                "⏭ 已按 --no-launch 跳过启动 Corvel.app"});
    expectNothingFetched();
}

// A large file comes in ranges; SIGKILL at any moment leaves a record that
// claims only bytes on disk, and the next run asks for none of them again.
TEST_F(SetupCli, AKilledDownloadInRangesResumesWithoutFetchingRecordedBytes) {
    big = patternBytes(20 * 1024 * 1024, 6);
    server.setFile("/files/big.bin", big);
    server.setFault("/files/big.bin", Fault{.throttleBytesPerSecond = 512 * 1024});
    const CacheSlot slot{bigPart().parent_path(), bigPart(), bigPart().parent_path() / "meta.json"};
    auto recorded = [&] {
        std::error_code error;
        auto text = platform::readFileContents(SegmentedTransfer::statePath(slot), 1 << 20, error);
        return text ? SegmentTable::decode(*text) : std::nullopt;
    };
    {
        CliProcess killed(home.path(), args());
        ASSERT_TRUE(waitUntil(
            [&] {
                auto state = recorded();
                return state && SegmentTable(state->total, state->ranges, 1).doneBytes() >= 2 << 20;
            },
            std::chrono::seconds(120)))
            << killed.errSoFar();
        killed.signal(SIGKILL);
        killed.finish();
    }
    auto state = recorded();
    ASSERT_TRUE(state);
    const std::string onDisk = readFile(SegmentedTransfer::dataPath(slot));
    for (const auto& range : state->ranges)
        if (range.done > 0) {
            EXPECT_TRUE(onDisk.substr(range.start, range.done) ==
                        big.substr(range.start, range.done));
        }

    server.clearFault("/files/big.bin");
    server.clearRequests();
    Outcome again = run();
    ASSERT_EQ(again.exitCode, 0) << again.err;
    EXPECT_TRUE(readFile(llmData() / "big.bin") == big);
    for (const std::string& asked : rangesAsked("/files/big.bin")) {
        long long first = 0, last = 0;
        ASSERT_EQ(std::sscanf(asked.c_str(), "bytes=%lld-%lld", &first, &last), 2) << asked;
        for (const auto& range : state->ranges)
            EXPECT_TRUE(last < range.start || first >= range.start + range.done) << asked;
    }
}

// Killed or interrupted, the next run asks for exactly the bytes not on disk.
TEST_F(SetupCli, AKilledOrInterruptedDownloadResumesWhereItStopped) {
    for (int signal : {SIGKILL, SIGINT}) {
        SCOPED_TRACE(signal);
        fs::remove(llmData() / "big.bin"); // recorded, yet missing: fetched again
        server.setFault("/files/big.bin", Fault{.times = 1, .throttleBytesPerSecond = 1 << 20});
        server.clearRequests();
        CliProcess stopped(home.path(), args());
        ASSERT_TRUE(waitUntil([&] { return bigPartBytes() >= 1 << 20; }, std::chrono::seconds(120)))
            << stopped.errSoFar();
        stopped.signal(signal);
        Outcome cancelled = stopped.finish();
        const std::int64_t before = bigPartBytes();
        EXPECT_FALSE(fs::exists(llmData() / "big.bin"));
        if (signal == SIGINT) {
            EXPECT_EQ(cancelled.exitCode, 130);
            EXPECT_EQ(cancelled.lastErrLine(), "已取消");
            expectContains(cancelled.err, {"[WARN] 任务被取消"});
            EXPECT_EQ(countOf(cancelled.err, "安装失败"), 0u);
            EXPECT_GE(before, 1 << 20);
        }
        server.clearFault("/files/big.bin");
        Outcome again = run();
        ASSERT_EQ(again.exitCode, 0) << again.err;
        EXPECT_EQ(rangesAsked("/files/big.bin"),
                  (std::vector<std::string>{"", "bytes=" + std::to_string(before) + "-"}));
        EXPECT_TRUE(readFile(llmData() / "big.bin") == big);
    }
}

// Both signals are pending when the program resumes, so the second one
// certainly meets a run that is still winding down.
TEST_F(SetupCli, ASecondSignalEndsTheProgramAtOnce) {
    server.setFault("/files/big.bin", Fault{.times = 1, .throttleBytesPerSecond = 256 * 1024});
    CliProcess interrupted(home.path(), args());
    ASSERT_TRUE(waitUntil([&] { return bigPartBytes() > 0; }, std::chrono::seconds(120)))
        << interrupted.errSoFar();
    interrupted.signal(SIGSTOP);
    interrupted.signal(SIGINT);
    interrupted.signal(SIGTERM);
    interrupted.signal(SIGCONT);
    Outcome outcome = interrupted.finish();
    EXPECT_EQ(outcome.exitCode, 130);
    expectContains(outcome.err,
                   {"[WARN] 收到 SIGINT，正在取消…", "[WARN] 再次收到 SIGTERM，立即退出"});
    EXPECT_EQ(outcome.err.find("AddressSanitizer"), std::string::npos) << outcome.err;
    EXPECT_FALSE(fs::exists(llmData() / "big.bin"));
}

// Quiet: only the reason on standard error, the whole log in the record.
TEST_F(SetupCli, ADigestMismatchInstallsNothingAndPurgesTheDownloadQuietlyWithTheLogKept) {
    setManifest(std::string(64, 'A'));
    Outcome failed = run({"--no-launch", "--quiet"});
    EXPECT_EQ(failed.exitCode, 1);
    EXPECT_EQ(failed.err, "Corvel.app 校验失败，文件可能已损坏\n");
    EXPECT_EQ(failed.out.find("[downloading]"), std::string::npos) << failed.out;
    expectContains(CorvelSetupManifest::load().lastSetupLog.value_or(""),
                   {"✘ 校验失败 [Corvel.app] expected=" + std::string(64, 'A') +
                        " got=" + sha256Hex(appArchive),
                    "==================== 安装失败 ====================",
                    "NSError: Error Domain=CorvelInstallError Code=2 "});
    EXPECT_FALSE(fs::exists(home.path() / "Applications/Corvel.app"));
    EXPECT_FALSE(fs::exists(llmData() / "big.bin"));
    EXPECT_TRUE(recordedNames().empty());
    fs::path slot = slotOf("/files/Corvel.zip");
    EXPECT_FALSE(fs::exists(slot / "payload.part"));
    EXPECT_FALSE(fs::exists(slot / "meta.json"));

    setManifest(sha256Hex(appArchive));
    Outcome succeeded = run({"--no-launch", "--quiet"});
    EXPECT_EQ(succeeded.exitCode, 0);
    EXPECT_EQ(succeeded.err, "");
    EXPECT_NE(CorvelSetupManifest::load().lastSetupLog.value_or("").find("安装成功"),
              std::string::npos);
}

TEST_F(SetupCli, AFailedInstallationKeepsWhatWasInstalledBeforeIt) {
    server.setFile("/files/broken.zip", "this is not a zip archive at all");
    setManifest(sha256Hex(appArchive), "{BASE}/files/broken.zip");
    Outcome failed = run();
    EXPECT_EQ(failed.exitCode, 1) << failed.err;

    auto failedAt = failed.err.find("失败 [vision]: vision 解压失败");
    ASSERT_NE(failedAt, std::string::npos) << failed.err;
    // Whatever was installed before the failure is recorded, nothing after it.
    std::size_t installedBefore = countOf(failed.err.substr(0, failedAt), "✔ 解压完成 [");
    EXPECT_EQ(recordedNames().size(), installedBefore);

    setManifest(sha256Hex(appArchive));
    Outcome again = run();
    ASSERT_EQ(again.exitCode, 0) << again.err;
    // Skipped assets are in neither byte figure.
    expectSoundProgressLines(again.out);
    EXPECT_EQ(countOf(again.err, "⏭ SetupManifest.json 命中"), installedBefore);
    EXPECT_EQ(recordedNames().size(), 4u);
}

TEST_F(SetupCli, KilledAfterUnpackingBeforeTheRecordTheNextRunReusesTheDownload) {
    server.setTemplate(
        "/manifest",
        R"({"status":"success","data":{"app":{"download_url":"{BASE}/files/Corvel.zip","file_hash":""},"models":[
          {"model_name":"whisper","download_url":"{BASE}/files/whisper.tar.gz","file_name":"w","size":1}]}})");
    ::setenv("CORVEL_KILL_POINT", "extract.moved", 1);
    Outcome killed = run();
    ::unsetenv("CORVEL_KILL_POINT");
    ASSERT_EQ(killed.exitCode, 128 + SIGKILL) << killed.err;

    server.clearRequests();
    Outcome again = run();
    ASSERT_EQ(again.exitCode, 0) << again.err;
    EXPECT_EQ(readFile(llmData() / "whisper/model.bin"), patternBytes(300000, 3));
    EXPECT_EQ(recordedNames(), (std::vector<std::string>{"Corvel.app", "whisper"}));
    expectNothingFetched();
    // Recorded, so its download is gone.
    EXPECT_FALSE(fs::exists(slotOf("/files/whisper.tar.gz")));
}

TEST_F(SetupCli, ManifestFailuresEndTheRunWithTheirReason) {
    server.setFile("/broken", "{\"status\":");
    struct Row {
        std::string url, lastLine;
    };
    for (const Row& row : {Row{server.url("/absent"), "网络错误：HTTP 404"},
                           Row{server.url("/broken"), "网络错误：JSON 解析失败: "},
                           Row{"http://127.0.0.1:1/manifest", "网络错误："}}) {
        Outcome outcome =
            CliProcess(home.path(), {"--manifest-url", row.url, "--no-launch"}).finish();
        EXPECT_EQ(outcome.exitCode, 1) << row.url;
        EXPECT_TRUE(outcome.lastErrLine().starts_with(row.lastLine)) << outcome.lastErrLine();
        expectContains(outcome.err, {"✘ 清单拉取/解析失败: ",
                                     "==================== 安装失败 ====================",
                                     "NSError: Error Domain=CorvelInstallError Code=1 "});
    }
}

TEST_F(SetupCli, ASecondSetupWhileOneRunsTouchesNothing) {
    server.setFault("/files/big.bin", Fault{.times = 1, .throttleBytesPerSecond = 64 * 1024});
    CliProcess first(home.path(), args());
    ASSERT_TRUE(waitUntil([&] { return bigPartBytes() > 0; }, std::chrono::seconds(120)))
        << first.errSoFar();
    auto recordBefore = CorvelSetupManifest::load();

    Outcome second = CliProcess(home.path(), args()).finish();
    EXPECT_EQ(second.exitCode, 1);
    EXPECT_EQ(second.lastErrLine(), "另一个 Corvel Setup 正在运行，请等它结束后再试");
    EXPECT_EQ(countOf(second.err, "拉取清单"), 0u);
    EXPECT_EQ(CorvelSetupManifest::load().entries.size(), recordBefore.entries.size())
        << first.errSoFar();

    first.signal(SIGTERM);
    EXPECT_EQ(first.finish().exitCode, 130);
}

TEST_F(SetupCli, LeftoversOfAKilledRunAndWeekOldDownloadsAreRemovedAndNothingElse) {
    const std::string id = "0123ABCD-4567-89EF-0123-456789ABCDEF";
    fs::path dataRoot = CVSharedDataPaths::dataRoot();
    std::vector<fs::path> leftovers{dataRoot / ("corvel-extract-" + id),
                                    home.path() / "Applications" / (".tavrin-setup-stage-" + id),
                                    dataRoot / "CORVEL_DATA" / "sub" / (".corvel-merge-" + id)};
    std::vector<fs::path> strangers{dataRoot / "corvel-extract-notes",
                                    dataRoot / ("corvel-extract-" + id + "x"),
                                    home.path() / "Applications" / ".tavrin-setup-stage-mine"};
    for (const auto& path : leftovers)
        writeFile(path / "partial.bin", "half");
    for (const auto& path : strangers)
        writeFile(path / "keep.txt", "mine");
    // Downloads of files no longer listed go once untouched for a week.
    auto oldSlot = [](const std::string& url, std::chrono::hours age) {
        fs::path slot = cache::makeSlot(*platform::Url::parse(url)).directory;
        writeFile(slot / "payload.part", "partial");
        for (const fs::path& path : {slot / "payload.part", slot})
            fs::last_write_time(path, fs::file_time_type::clock::now() - age);
        return slot;
    };
    const fs::path recent = oldSlot("http://127.0.0.1:1/recent.zip", std::chrono::hours(36));
    const fs::path stale = oldSlot("http://127.0.0.1:1/stale.zip", std::chrono::hours(8 * 24));

    Outcome outcome = run();
    ASSERT_EQ(outcome.exitCode, 0) << outcome.err;
    EXPECT_TRUE(fs::exists(recent));
    EXPECT_FALSE(fs::exists(stale));
    for (const auto& path : leftovers)
        EXPECT_FALSE(fs::exists(path)) << path;
    for (const auto& path : strangers)
        EXPECT_EQ(readFile(path / "keep.txt"), "mine") << path;
    EXPECT_EQ(countOf(outcome.err, "🔧 已清理上次中断留下的临时目录"), leftovers.size());
}

TEST_F(SetupCli, CtrlZPausesWithEveryConnectionClosedAndFgResumesFromTheBytesOnDisk) {
    server.setFault("/files/big.bin", Fault{.times = 1, .throttleBytesPerSecond = 1024 * 1024});
    CliProcess cli(home.path(), args());
    ASSERT_TRUE(waitUntil([&] { return bigPartBytes() >= 1024 * 1024; }, std::chrono::seconds(120)))
        << cli.errSoFar();
    cli.signal(SIGTSTP);
    auto stopped = [&] {
        const std::string stat = readFile("/proc/" + std::to_string(cli.pid()) + "/stat");
        return stat.substr(stat.rfind(')') + 2, 1) == "T";
    };
    ASSERT_TRUE(waitUntil(stopped, std::chrono::seconds(60))) << cli.errSoFar();
    ASSERT_TRUE(waitUntil([&] {
        server.resetPeakConcurrentRequests();
        return server.peakConcurrentRequests() == 0;
    })) << "a request is still being answered while paused";
    const std::int64_t paused = bigPartBytes();
    cli.signal(SIGCONT);
    Outcome outcome = cli.finish();
    ASSERT_EQ(outcome.exitCode, 0) << outcome.err;
    expectContains(outcome.err, {"⏸ 已暂停", "▶ 继续"});
    std::vector<std::string> ranges = rangesAsked("/files/big.bin");
    ASSERT_EQ(ranges.size(), 2u);
    EXPECT_EQ(ranges[1], "bytes=" + std::to_string(paused) + "-");
    EXPECT_TRUE(readFile(llmData() / "big.bin") == big);
}

TEST_F(SetupCli, VerifyFindsDamagedMissingChangedAndExtraFilesAndRepairMendsThem) {
    ASSERT_EQ(run().exitCode, 0);
    server.clearRequests();
    Outcome clean = run({"--verify"});
    EXPECT_EQ(clean.exitCode, 0) << clean.err;
    EXPECT_EQ(clean.out, "");
    expectContains(clean.err, {"✔ 校验完成：4 个产品全部一致"});
    expectContains(*CorvelSetupManifest::load().lastSetupLog, {"校验已安装的产品"});

    const fs::path app = home.path() / "Applications/Corvel.app";
    auto flipped = big;
    flipped[bigSize / 2] ^= 1;
    writeFile(llmData() / "big.bin", flipped);
    fs::remove(llmData() / "whisper/model.bin");
    writeFile(llmData() / "vision/weights.bin", patternBytes(200001, 4));
    writeFile(app / "extra.txt", "mine");
    const auto before = readFile(CVSharedDataPaths::llmDataDirectory() / "SetupFiles.json");
    const std::vector<std::string> lines{
        "已损坏 [big]: " + (llmData() / "big.bin").string(),
        "缺失 [whisper]: " + (llmData() / "whisper/model.bin").string(),
        "已改变 [vision]: " + (llmData() / "vision/weights.bin").string(),
        "多余的文件 [Corvel.app]: " + (app / "extra.txt").string()};
    for (bool quiet : {false, true}) {
        Outcome damaged = run(quiet ? std::vector<std::string>{"--verify", "--quiet"}
                                    : std::vector<std::string>{"--verify"});
        EXPECT_EQ(damaged.exitCode, 1);
        expectContains(damaged.out, lines);
        EXPECT_EQ(countOf(damaged.out, "\n"), lines.size());
        EXPECT_EQ(damaged.lastErrLine(), "校验完成：4 个产品中有 4 个不一致");
        if (quiet) {
            EXPECT_EQ(countOf(damaged.err, "\n"), 1u) << damaged.err;
        }
    }
    EXPECT_EQ(readFile(app / "extra.txt"), "mine");
    EXPECT_EQ(readFile(CVSharedDataPaths::llmDataDirectory() / "SetupFiles.json"), before);
    EXPECT_TRUE(server.requests().empty());

    // Exactly the damaged products come again; then everything matches.
    Outcome repaired = run({"--repair"});
    EXPECT_EQ(repaired.exitCode, 0) << repaired.err;
    expectContains(repaired.err, {"🔧 修复: big", "🔧 修复: whisper", "🔧 修复: vision",
                                  "🔧 修复: Corvel.app", "✔ 校验完成：4 个产品全部一致"});
    EXPECT_TRUE(readFile(llmData() / "big.bin") == big);
    EXPECT_EQ(readFile(llmData() / "whisper/model.bin"), patternBytes(300000, 3));
    EXPECT_FALSE(fs::exists(app / "extra.txt"));

    // Installed before lists were kept: present is all that can be said, and said so.
    fs::remove(llmData() / "whisper/model.bin");
    fs::remove(CVSharedDataPaths::llmDataDirectory() / "SetupFiles.json");
    Outcome unlisted = run({"--verify"});
    EXPECT_EQ(unlisted.exitCode, 1);
    expectContains(unlisted.out, {"仅检查了存在（安装时尚无文件清单） [Corvel.app]",
                                  "仅检查了存在（安装时尚无文件清单） [big]",
                                  "缺失 [whisper]: " + (llmData() / "whisper").string()});

    auto lock = SetupLock::tryAcquire();
    ASSERT_TRUE(lock);
    Outcome locked = run({"--verify"});
    EXPECT_EQ(locked.exitCode, 1);
    EXPECT_EQ(locked.lastErrLine(), "另一个 Corvel Setup 正在运行，请等它结束后再试");
}

TEST_F(SetupCli, ListAndUninstallTakeAwayOnlyWhatSetupMade) {
    ASSERT_EQ(run().exitCode, 0);
    // The user's files beside the products, and a record that names a path
    // outside the folders setup owns.
    const fs::path notes = llmData() / "my-notes.txt";
    const fs::path userData = CVSharedDataPaths::dataRoot() / "CORVEL_DATA" / "user.db";
    const fs::path precious = home.path() / "Documents" / "precious";
    for (const fs::path& path : {notes, userData, precious / "file"})
        writeFile(path, "mine");
    CorvelSetupManifest::Root root = CorvelSetupManifest::load();
    root.entries.push_back({"http://x/p", "p", "", 1, "", "", precious.string(), ""});
    CorvelSetupManifest::save(root);

    Outcome list = run({"--list"});
    ASSERT_EQ(list.exitCode, 0) << list.err;
    expectContains(list.out, {"Corvel.app", "big  12.6 MB  " + server.url("/files/big.bin"),
                              llmData().string() + "/whisper", "p  4 bytes  http://x/p"});

    const fs::path desktopEntry = home.path() / ".local/share/applications/com.tavrin.app.desktop";
    ASSERT_TRUE(fs::exists(desktopEntry));
    EXPECT_EQ(run({"--uninstall"}).exitCode, 2); // asks, and standard input is no terminal
    ASSERT_TRUE(fs::exists(llmData() / "big.bin"));

    // A copy of the application still running: it is asked to quit first.
    const fs::path bundle = home.path() / "Applications/Corvel.app";
    writeFile(bundle / "wait.sh", "read line\n");
    int idle[2];
    ASSERT_EQ(::pipe2(idle, O_CLOEXEC), 0);
    const pid_t copy =
        platform::spawnProcess({"/bin/sh", {(bundle / "wait.sh").string()}, idle[0]});
    ASSERT_TRUE(waitUntil([&] {
        return readFile(fs::path("/proc") / std::to_string(copy) / "cmdline").find("wait.sh") !=
               std::string::npos;
    }));
    Outcome removed = run({"--uninstall", "--yes"});
    ASSERT_EQ(removed.exitCode, 0) << removed.err;
    const auto status = exitStatus(copy);
    EXPECT_TRUE(status && WIFSIGNALED(*status) && WTERMSIG(*status) == SIGTERM);
    for (int end : idle)
        ::close(end);
    for (const fs::path& gone :
         {home.path() / "Applications/Corvel.app", llmData() / "big.bin", llmData() / "whisper",
          llmData() / "vision", CorvelSetupManifest::manifestPath(), cache::downloadsRoot(),
          desktopEntry})
        EXPECT_FALSE(fs::exists(gone)) << gone;
    for (const fs::path& kept : {notes, userData, precious / "file"})
        EXPECT_EQ(readFile(kept), "mine") << kept;
    expectContains(removed.out, {"Not removing (outside the data directory and the applications "
                                 "folder): " +
                                     precious.string(),
                                 "Kept in the data directory (not made by setup):", notes.string(),
                                 userData.string()});
    EXPECT_EQ(run({"--list"}).out, "Nothing is installed.\n");
}

TEST_F(SetupCli, TheSpeedLimitHoldsForAllConnectionsTogether) {
    // About 12.5 MB under 3 MiB/s takes about 4 s; without it, a fraction of that.
    const auto started = std::chrono::steady_clock::now();
    Outcome outcome = run({"--no-launch", "--limit-rate", "3M"});
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    ASSERT_EQ(outcome.exitCode, 0) << outcome.err;
    EXPECT_GE(seconds, double(bigSize) / (3 << 20) * 0.9);
}

TEST(SetupCliOptions, VersionHelpAndUsageErrorsTouchNothing) {
    TempHome home;
    struct Row {
        std::vector<std::string> arguments;
        int exitCode;
        std::vector<std::string> output = {};
        std::vector<std::string> errors = {}; // a usage error names the value, in one line
        std::pair<const char*, const char*> variable = {nullptr, nullptr};
    };
    const std::string missingKey = (home.path() / "missing.pub").string();
    // Values the parsers' own tests cover once each: here the message names the value.
    // clang-format off
    for (const Row& row :
         {Row{{"--version"}, 0, {"corvel-setup-cli " CORVEL_VERSION " ("}},
          Row{{"--help"}, 0, {"--manifest-url", "--mirror", "--quiet", "--verbose", "--connections",
                              "--limit-rate", "--verify", "--repair"}},
          Row{{"--quiet", "--verbose"}, 2}, Row{{"--bogus"}, 2}, Row{{"--manifest-url"}, 2},
          Row{{"--verify", "--repair"}, 2}, Row{{"--connections", "0"}, 2},
          Row{{"--connections", "0x10"}, 2},
          Row{{"--limit-rate", "abc"}, 2, {}, {"--limit-rate", "'abc'"}},
          Row{{"--limit-rate=-2M"}, 2, {}, {"'-2M'"}},
          Row{{}, 2, {}, {"CORVEL_LIMIT_RATE", "'fast'"}, {"CORVEL_LIMIT_RATE", "fast"}},
          Row{{"--manifest-url", "not a url"}, 2, {}, {"'not a url'"}},
          Row{{"--manifest-url", "http://"}, 2, {}, {"'http://'"}},
          Row{{"--manifest-url", "127.0.0.1:18083/x"}, 2, {}, {"'127.0.0.1:18083/x'"}},
          Row{{"--manifest-url", "   "}, 2, {}, {"'   '"}},
          Row{{"--mirror", "https://cdn.example.com/"}, 2, {}, {"'https://cdn.example.com/'"}},
          Row{{}, 2, {}, {"CORVEL_MIRRORS", "'https://c/=media'"}, {"CORVEL_MIRRORS", "https://c/=media"}},
          Row{{"--manifest-key", "RWnot-a-key"}, 2, {}, {"RWnot-a-key"}},
          Row{{"--manifest-key", missingKey}, 2, {}, {missingKey}}}) {
        // clang-format on
        if (row.variable.first) ::setenv(row.variable.first, row.variable.second, 1);
        Outcome outcome = CliProcess(home.path(), row.arguments).finish();
        if (row.variable.first) ::unsetenv(row.variable.first);
        EXPECT_EQ(outcome.exitCode, row.exitCode) << outcome.err;
        expectContains(outcome.out, row.output);
        expectContains(outcome.err, row.errors);
        if (!row.errors.empty()) {
            EXPECT_EQ(countOf(outcome.err, "\n"), 1u) << outcome.err;
        }
    }
    // The window reads its options before it opens: the same mistakes, the same code.
    const bool window = fs::exists(platform::executablePath().parent_path() / "corvel-setup");
    for (const auto& arguments :
         std::vector<std::vector<std::string>>{{"--bogus"},
                                               {"--connections", "65"},
                                               {"--connections", "0x10"},
                                               {"--manifest-url"},
                                               {"--mirror", "https://a/"}}) {
        if (!window) break;
        Outcome outcome = CliProcess(home.path(), arguments, "corvel-setup").finish();
        EXPECT_EQ(outcome.exitCode, 2) << arguments.back() << outcome.err;
    }
    EXPECT_FALSE(fs::exists(CVSharedDataPaths::dataRoot()));
    for (const auto& [text, count] :
         std::vector<std::pair<std::string, int>>{{"8", 8}, {"010", 10}, {"08", 8}, {"64", 64}})
        EXPECT_EQ(parseConnectionCount(text), count) << text;
    for (const char* text : {"65", "0x10", "+8", " 8", ""})
        EXPECT_EQ(parseConnectionCount(text), std::nullopt) << text;
}

} // namespace
