#include "pipeline/ProgressAccounting.h"
#include "support/TempHome.h"

#include <gtest/gtest.h>

namespace {

using Downloading = CorvelDownloadViewModel::Downloading;
using Extracting = CorvelDownloadViewModel::Extracting;
using testsupport::logText;

CVTAVAsset asset(const std::string& name, std::int64_t bytes) {
    auto url = *platform::Url::parse("https://example.invalid/" + name);
    return {.name = name, .url = url, .expectedBytes = bytes};
}

Downloading downloading(const CorvelDownloadViewModel::State& state) {
    EXPECT_TRUE(std::holds_alternative<Downloading>(state));
    return std::get<Downloading>(state);
}

ProgressAccounting accounting(double fraction = 0.5) {
    ProgressAccounting progress;
    progress.draw = [fraction] { return fraction; };
    return progress;
}

// Whether a head start is shown as the paced rise, and where the bar then stands.
TEST(ProgressAccounting, InitialProgressAndThePacedRise) {
    struct Row {
        std::int64_t skipped, planned;
        std::size_t riseValues;
        double target, shownRatio;
        int lastLogged;
    };
    for (const Row& row :
         {Row{0, 1'000'000, 0, 0.0, 0.0, -1}, Row{10'000, 1'000'000, 0, 0.009, 0.01, 0},
          Row{20'000, 1'000'000, 5, 0.018, 0.02, 1}, Row{2'000'000, 1'000'000, 5, 0.9, 1.0, 88}}) {
        ProgressAccounting progress = accounting();
        auto initial = progress.initialProgress({asset("a", row.planned)}, row.skipped);
        EXPECT_EQ(initial.rise.size(), row.riseValues) << row.skipped;
        ASSERT_TRUE(initial.target);
        Downloading target = downloading(*initial.target);
        EXPECT_NEAR(target.overallProgress, row.target, 1e-12);
        EXPECT_EQ(target.currentAsset, "1 assets");
        EXPECT_EQ(target.currentBytes, row.skipped);
        EXPECT_EQ(target.totalBytes, row.planned);
        EXPECT_NEAR(progress.displayedDownloadRatio(), row.shownRatio, 1e-12);
        EXPECT_EQ(progress.lastLoggedProgressPercent(), row.lastLogged);
        for (const auto& value : initial.rise)
            EXPECT_LT(downloading(value).overallProgress, row.target);
    }
    // Skipped twice the plan: deltas cannot raise the bar past 0.9.
    ProgressAccounting full = accounting();
    full.initialProgress({asset("a", 1'000'000)}, 2'000'000);
    EXPECT_DOUBLE_EQ(downloading(full.applyDelta(500'000, 1)).overallProgress, 0.9);

    // An empty plan leaves the state alone.
    ProgressAccounting empty = accounting();
    auto none = empty.initialProgress({}, 5'000);
    EXPECT_FALSE(none.target);
    EXPECT_TRUE(none.rise.empty());
    EXPECT_EQ(empty.aggregatedBytes(), 5'000);
}

TEST(ProgressAccounting, RiseValuesAreSortedScaledAndStrictlyIncreasing) {
    std::vector<double> draws{0.9, 0.06, 0.5, 0.5, 0.5};
    std::size_t next = 0;
    auto values = ProgressAccounting::riseValues(5, 0.5, [&] { return draws[next++]; });
    ASSERT_EQ(values.size(), 5u);
    EXPECT_DOUBLE_EQ(values[0], 0.5 * 0.06 * 0.92);
    EXPECT_DOUBLE_EQ(values[1], 0.5 * 0.5 * 0.92);
    EXPECT_DOUBLE_EQ(values[2], values[1] + 0.01); // equal draws are pushed apart by the step
    EXPECT_DOUBLE_EQ(values[3], values[2] + 0.01);
    EXPECT_DOUBLE_EQ(values[4], 0.5 * 0.9 * 0.92);
    // Near the top the step is capped below the target.
    auto capped = ProgressAccounting::riseValues(5, 0.1, [] { return 0.94; });
    EXPECT_DOUBLE_EQ(capped[3], 0.1 * 0.94 * 0.92 + 3 * 0.003);
    EXPECT_DOUBLE_EQ(capped[4], 0.1 - 0.003);
    EXPECT_TRUE(ProgressAccounting::riseValues(5, 0.0, [] { return 0.5; }).empty());
    EXPECT_TRUE(ProgressAccounting::riseValues(0, 0.5, [] { return 0.5; }).empty());
}

TEST(ProgressAccounting, DeltasNeverMoveTheBarBackAndLogEachNewPercentOnce) {
    ProgressAccounting progress = accounting();
    progress.initialProgress({asset("a", 1'000'000)}, 0);
    std::string before = logText();
    EXPECT_EQ(downloading(progress.applyDelta(0, 1)).overallProgress, 0.0);
    EXPECT_NE(logText().find("  进度 0%（下载 0%）  Zero KB / 1 MB", before.size()),
              std::string::npos);
    auto half = downloading(progress.applyDelta(500'000, 1));
    EXPECT_DOUBLE_EQ(half.overallProgress, 0.45);
    // A restart from zero lowers the count, never the bar, and never below 0.
    auto restarted = downloading(progress.applyDelta(-2'000'000, 1));
    EXPECT_EQ(restarted.currentBytes, 0);
    EXPECT_DOUBLE_EQ(restarted.overallProgress, 0.45);
    std::string log = logText().substr(before.size());
    EXPECT_NE(log.find("  进度 45%（下载 50%）  500 KB / 1 MB"), std::string::npos);
    EXPECT_EQ(log.find("  进度 45%", log.find("  进度 45%") + 1), std::string::npos);
    // A hostile delta saturates instead of wrapping around.
    EXPECT_DOUBLE_EQ(downloading(progress.applyDelta(INT64_MAX, 1)).overallProgress, 0.9);
    EXPECT_EQ(progress.aggregatedBytes(), INT64_MAX);
}

TEST(ProgressAccounting, DenominatorCorrectionIsAppliedAndLoggedOnce) {
    ProgressAccounting progress = accounting();
    CVTAVAsset small = asset("late", 1);
    progress.initialProgress({small, asset("other", 1'000)}, 0);
    std::string before = logText();
    auto corrected = progress.correctDenominator(small, 50'000'000);
    ASSERT_TRUE(corrected);
    EXPECT_EQ(downloading(*corrected).totalBytes, 50'001'000);
    EXPECT_EQ(downloading(*corrected).currentAsset, "2 assets");
    EXPECT_FALSE(progress.correctDenominator(small, 50'000'000));
    EXPECT_FALSE(progress.correctDenominator(small, 0));
    std::string log = logText().substr(before.size());
    const std::string line = "[WARN]   🔧 HEAD 未覆盖此 asset，按响应头兜底纠正分母 [late] 1 byte → "
                             "50 MB；总量 1 KB → 50 MB";
    EXPECT_NE(log.find(line), std::string::npos) << log;
    EXPECT_EQ(log.find("🔧", log.find("🔧") + 1), std::string::npos);
}

// A skipped asset must not appear in the figures under the bar: done never
// exceeds total, even when deltas overshoot a total corrected downwards.
TEST(ProgressAccounting, FiguresDescribeThePlannedAssetsOnly) {
    ProgressAccounting progress = accounting();
    auto initial = progress.initialProgress({asset("a", 8'400'000)}, 3'100'000);
    using Figures = std::pair<std::int64_t, std::int64_t>; // done, total
    auto figures = [](const CorvelDownloadViewModel::State& state) {
        const auto& transfer = downloading(state).transfer;
        return Figures{transfer.doneBytes, transfer.totalBytes};
    };
    EXPECT_EQ(figures(*initial.target), (Figures{0, 8'400'000}));
    auto state = downloading(progress.applyDelta(8'400'000, 1));
    EXPECT_EQ(state.currentBytes, 11'500'000); // the bar's count keeps the head start
    EXPECT_EQ(figures(state), (Figures{8'400'000, 8'400'000}));
    EXPECT_FALSE(state.transfer.secondsLeft);
    auto corrected = progress.correctDenominator(asset("a", 8'400'000), 5'000'000);
    ASSERT_TRUE(corrected);
    EXPECT_EQ(figures(*corrected), (Figures{5'000'000, 5'000'000}));
    // A restart from zero lowers the done figure again.
    EXPECT_EQ(figures(progress.applyDelta(-8'400'000, 1)).first, 0);
}

TEST(ProgressAccounting, InstallationSmootherAndEstimates) {
    // Step 3 of 4 runs from 0.95 to 0.975.
    EXPECT_DOUBLE_EQ(ProgressAccounting::smootherValue(5, 10, 0.95, 0.025), 0.95 + 0.025 * 0.5);
    EXPECT_DOUBLE_EQ(ProgressAccounting::smootherValue(60, 10, 0.95, 0.025), 0.95 + 0.025 * 0.95);
    EXPECT_DOUBLE_EQ(ProgressAccounting::installEstimateSeconds(100'000'000), 5.0);
    EXPECT_DOUBLE_EQ(ProgressAccounting::installEstimateSeconds(3'000'000'000), 15.0);
    EXPECT_EQ(ProgressAccounting::nearest(0.5), 1);
    EXPECT_EQ(ProgressAccounting::nearest(-0.5), -1);
}

} // namespace
