#pragma once

#include "pipeline/CorvelDownloadViewModel.h"
#include "pipeline/TransferRate.h"
#include "types/CVTAVAsset.h"

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

// The arithmetic behind the one progress bar of a run: downloading fills it
// from 0 to 0.9 and installing from 0.9 to 1.0. It computes the values and
// writes the progress log lines; the view model publishes the states and does
// the waiting.
class ProgressAccounting {
  public:
    using State = CorvelDownloadViewModel::State;

    static constexpr double downloadShare = 0.9;
    static constexpr double installShare = 0.1;
    static constexpr double headStartThreshold = 0.015;
    static constexpr int riseCount = 5;
    static constexpr double riseLow = 0.06;
    static constexpr double riseHigh = 0.94;
    static constexpr double riseScale = 0.92;
    static constexpr double smootherCap = 0.95;
    static constexpr int highestInitialLoggedPercent = 89;

    // What the run shows before the downloads begin: each rise value is held
    // for two seconds, then `target` stays. No target: the plan is empty and
    // the state is left as it is.
    struct Initial {
        std::vector<State> rise;
        std::optional<State> target;
    };

    void reset();

    Initial initialProgress(const std::vector<CVTAVAsset>& plan, std::int64_t skippedBytes);

    // Folds one download's byte delta in; logs a line for each new whole percent.
    State applyDelta(std::int64_t delta, std::size_t assetCount,
                     ByteOrigin origin = ByteOrigin::network);

    // A size learnt from the response that differs from what the asset was
    // planned with replaces its share of the denominator (logged once).
    std::optional<State> correctDenominator(const CVTAVAsset& asset, std::int64_t totalBytes);

    // `count` values below `target` in ascending order, each `draw()` being a
    // uniform fraction in [riseLow, riseHigh].
    static std::vector<double> riseValues(int count, double target,
                                          const std::function<double()>& draw);

    // Seconds an installation step is assumed to take (200 MB/s, at least 5 s).
    static double installEstimateSeconds(std::int64_t expectedBytes);

    // Where the bar stands `elapsed` seconds into a step: never past 95 % of its span.
    static double smootherValue(double elapsedSeconds, double estimateSeconds, double base,
                                double span);

    // Nearest integer, halves away from zero.
    static int nearest(double value);

    static std::string assetCountLabel(std::size_t count);

    std::int64_t aggregatedBytes() const { return aggregatedBytes_; }
    std::int64_t totalBytesExpected() const { return totalBytesExpected_; }
    double displayedDownloadRatio() const { return displayedDownloadRatio_; }
    int lastLoggedProgressPercent() const { return lastLoggedProgressPercent_; }

    // Bytes of the planned assets reported so far (skipped ones not included).
    std::int64_t downloadedBytes() const { return downloadedBytes_; }

    // The uniform draw used outside tests.
    std::function<double()> draw;
    // When each delta arrives, for the speed; the steady clock when unset.
    std::function<TransferRate::Clock::time_point()> now;

  private:
    std::int64_t aggregatedBytes_ = 0;
    std::int64_t totalBytesExpected_ = 0;
    std::map<std::string, std::int64_t> assetContributionByURL_;
    double displayedDownloadRatio_ = 0;
    int lastLoggedProgressPercent_ = -1;
    std::int64_t downloadedBytes_ = 0;
    TransferRate rate_;

    CorvelDownloadViewModel::Transfer transfer() const;
};
