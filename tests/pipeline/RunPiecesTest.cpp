#include "FixtureServer.h"
#include "install/InstallTestSupport.h"
#include "pipeline/CorvelDownloadViewModel.h"
#include "pipeline/PipelineLogSections.h"
#include "pipeline/StateMailbox.h"
#include "pipeline/StreamingDigest.h"
#include "platform/DomainError.h"
#include "platform/HttpClient.h"
#include "support/TempHome.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <mutex>

namespace {

using namespace testsupport;
using VM = CorvelDownloadViewModel;

// The run's own errors are described in the whole run's failure block.
TEST(LogSections, ErrorsDescribedWithTheirDomainAndCode) {
    auto describe = [](auto error) {
        return PipelineLogSections::errorDebugDescription(std::make_exception_ptr(error));
    };
    EXPECT_EQ(describe(DomainError("CorvelRemoteManifest", -1, "HTTP 404")),
              "Error Domain=CorvelRemoteManifest Code=-1 \"HTTP 404\"");
    EXPECT_EQ(describe(platform::TransportError(platform::TransportErrorKind::cannotConnect, 7,
                                                "Couldn't connect")),
              "Error Domain=libcurl Code=7 \"Couldn't connect\"");
    EXPECT_TRUE(describe(std::filesystem::filesystem_error(
                             "cannot move", std::make_error_code(std::errc::no_space_on_device)))
                    .starts_with("Error Domain=std::filesystem Code=28 \""));
    EXPECT_TRUE(describe(std::system_error(EACCES, std::generic_category(), "spawn"))
                    .starts_with("Error Domain=POSIX Code=13 "));
}

TEST(StreamingDigest, VouchesOnlyForBytesSeenInOrderFromTheStart) {
    using Updates = std::vector<std::pair<std::int64_t, std::string>>;
    const std::string empty = "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855";
    const std::string abc = "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad";
    // The updates (offset, bytes), the size at the end, and the digest vouched for.
    for (const auto& [updates, size, digest] :
         std::vector<std::tuple<Updates, std::int64_t, std::optional<std::string>>>{
             {{}, 0, empty},
             {{{0, "xxxx"}, {0, "ab"}, {2, "c"}}, 3, abc}, // a restart from zero
             {{{5, "abc"}}, 8, std::nullopt},              // resumed: the start unseen
             {{{0, "ab"}, {3, "c"}}, 4, std::nullopt},     // a gap
             {{{0, "ab"}}, 3, std::nullopt}}) {            // fewer bytes than the file
        StreamingDigest streaming;
        for (const auto& [offset, bytes] : updates)
            streaming.update(offset, bytes.data(), bytes.size());
        EXPECT_EQ(streaming.finish(size), digest) << size;
    }
}

TEST(StateMailbox, CoalescesWithinAStageAndKeepsEveryStageChange) {
    StateMailbox mailbox;
    EXPECT_TRUE(mailbox.post(VM::Downloading{0.1, "2 assets", 1, 10}));
    EXPECT_FALSE(mailbox.post(VM::Downloading{0.2, "2 assets", 2, 10}));
    EXPECT_FALSE(mailbox.post(VM::Extracting{0.9, "a", 1, 1}));
    EXPECT_FALSE(mailbox.post(VM::Success{}));
    auto taken = mailbox.take();
    ASSERT_EQ(taken.size(), 3u);
    EXPECT_EQ(taken[0], VM::State(VM::Downloading{0.2, "2 assets", 2, 10}));
    EXPECT_EQ(taken[2], VM::State(VM::Success{}));
    EXPECT_TRUE(mailbox.take().empty());
    EXPECT_TRUE(mailbox.post(VM::Failed{"x"}));
}

// A run in-process against the fixture server; `withModel` adds a large model
// whose product is on disk already, a head start for the bar.
class ViewModel : public ::testing::Test {
  protected:
    void serve(const std::string& app, bool withModel) {
        server.setFile("/app.zip", app);
        server.setFile("/big.zip", std::string(1'000'000, 'b'));
        const std::string model =
            R"({"model_name":"big","download_url":"{BASE}/big.zip","file_name":"b","size":1})";
        server.setTemplate("/manifest", R"({"status":"success","data":{"app":{"download_url":)"
                                        R"("{BASE}/app.zip"},"models":[)" +
                                            (withModel ? model : "") + "]}}");
        server.start();
        ::setenv("CORVEL_MANIFEST_URL", server.url("/manifest").c_str(), 1);
        if (withModel) writeFile(CVTAVAsset::llmDataDirectory() / "big" / "weights", "w");
        options.launchApplication = false;
    }
    void TearDown() override { ::unsetenv("CORVEL_MANIFEST_URL"); }

    TempHome home;
    fixture::FixtureServer server;
    VM::Options options;
};

// A second start() is ignored while a run exists, and a stop during the paced
// rise ends as a cancellation, without a failure block.
TEST_F(ViewModel, StartIsIgnoredWhileRunningAndAStopIsACancellation) {
    serve(std::string(1000, 'a'), true);
    std::atomic<int> pauses{0};
    options.seams.riseFraction = [] { return 0.5; };
    options.seams.sleep = [&](std::chrono::milliseconds pause, std::stop_token stop) {
        EXPECT_EQ(pause, std::chrono::milliseconds(2000));
        ++pauses;
        waitUntil([&] { return stop.stop_requested(); }, std::chrono::seconds(120));
        return !stop.stop_requested();
    };
    VM viewModel(options);
    std::vector<VM::State> states;
    std::mutex statesMutex;
    viewModel.addObserver([&](const VM::State& state) {
        std::lock_guard lock(statesMutex);
        states.push_back(state);
    });

    ASSERT_TRUE(viewModel.start());
    ASSERT_TRUE(waitUntil([&] { return pauses.load() == 1; }));
    EXPECT_FALSE(viewModel.start());
    EXPECT_TRUE(viewModel.isRunning());
    std::string before = logText();
    viewModel.cancel();
    viewModel.wait();
    EXPECT_EQ(viewModel.state(), VM::State(VM::Failed{"已取消"}));
    std::string log = logText().substr(before.size());
    EXPECT_NE(log.find("[WARN] 任务被取消"), std::string::npos) << log;
    EXPECT_EQ(log.find("安装失败"), std::string::npos);
    std::lock_guard lock(statesMutex);
    ASSERT_GE(states.size(), 3u);
    EXPECT_EQ(states.front(), VM::State(VM::Downloading{0, "", 0, 0}));
    auto& rise = std::get<VM::Downloading>(states[states.size() - 2]);
    EXPECT_EQ(rise.currentAsset, "1 assets");
    EXPECT_GT(rise.overallProgress, 0.0);
    EXPECT_LT(rise.overallProgress, 0.9);
}

// Without the paced rise the run shows its head start at once and goes on.
// A stop that lands while a step installs is a cancellation only when the
// step ends as one: a step that fails anyway is reported and logged as failed.
TEST_F(ViewModel, NoPacedRiseWhenAskedAndAStopDuringInstallationIsOnlyACancellation) {
    // A sound bundle, which only the stop can end, and then a folder to install
    // into that fails the step before it looks at the stop.
    serve(bundleArchive(), true);
    for (const bool sound : {true, false}) {
        SCOPED_TRACE(sound ? "sound" : "broken");
        if (!sound) {
            fs::remove_all(home.path() / "Applications");
            writeFile(home.path() / "Applications", "a file where the folder belongs");
        }
        std::atomic<int> pauses{0};
        options.pacedRise = false;
        options.seams.sleep = [&](std::chrono::milliseconds, std::stop_token stop) {
            ++pauses;
            return !stop.stop_requested();
        };
        VM viewModel(options);
        std::vector<double> shown;
        // Observers run on the run thread, so the stop lands before the step's worker starts.
        viewModel.addObserver([&](const VM::State& state) {
            if (auto* d = std::get_if<VM::Downloading>(&state))
                if (!d->currentAsset.empty()) shown.push_back(d->overallProgress);
            if (std::holds_alternative<VM::Extracting>(state)) viewModel.cancel();
        });
        std::string before = logText();
        ASSERT_TRUE(viewModel.start());
        viewModel.wait();
        std::string log = logText().substr(before.size());
        EXPECT_EQ(pauses.load(), 0);
        ASSERT_FALSE(shown.empty());
        EXPECT_DOUBLE_EQ(shown.front(), 0.9); // the head start covers the whole plan
        if (sound) {
            EXPECT_EQ(viewModel.state(), VM::State(VM::Failed{"已取消"}));
            EXPECT_NE(log.find("[WARN] 任务被取消"), std::string::npos) << log;
            EXPECT_EQ(log.find("✘"), std::string::npos) << log;
            EXPECT_EQ(log.find("安装失败"), std::string::npos) << log;
        } else {
            EXPECT_NE(viewModel.state(), VM::State(VM::Failed{"已取消"}));
            expectContains(log, {"✘ 步骤 1/1 失败 [", "安装失败"});
        }
    }
}

// A transfer that stalls still gets fresh figures: the speed falls instead of
// showing its last value for as long as the stall lasts.
TEST_F(ViewModel, AStalledDownloadKeepsTheFiguresCurrent) {
    server.setFault("/app.zip", fixture::Fault{.stallBeforeBody = std::chrono::seconds(600)});
    serve(std::string(1000, 'a'), false);
    VM viewModel(options);
    std::atomic<int> planned{0};
    viewModel.addObserver([&](const VM::State& state) {
        if (auto* d = std::get_if<VM::Downloading>(&state))
            if (d->transfer.totalBytes > 0) ++planned;
    });
    ASSERT_TRUE(viewModel.start());
    // The target is published once; every further state comes from the refresh.
    EXPECT_TRUE(waitUntil([&] { return planned.load() >= 3; }, std::chrono::seconds(60)));
    viewModel.cancel();
    viewModel.wait();
}

} // namespace
