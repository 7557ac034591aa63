#include "pipeline/ProgressAccounting.h"

#include "log/ByteCount.h"
#include "log/CorvelSetupLogger.h"

#include <fmt/format.h>

#include <algorithm>
#include <cmath>
#include <random>

namespace {

using Downloading = CorvelDownloadViewModel::Downloading;

double uniformRiseFraction() {
    thread_local std::mt19937_64 engine{std::random_device{}()};
    // nextafter makes the upper bound part of the range.
    std::uniform_real_distribution<double> fraction(
        ProgressAccounting::riseLow, std::nextafter(ProgressAccounting::riseHigh, 1.0));
    return fraction(engine);
}

int initialLoggedPercent(double target) {
    return std::max(std::min(ProgressAccounting::nearest(target * 100),
                             ProgressAccounting::highestInitialLoggedPercent) -
                        1,
                    -1);
}

} // namespace

int ProgressAccounting::nearest(double value) {
    return static_cast<int>(std::lround(value));
}

std::string ProgressAccounting::assetCountLabel(std::size_t count) {
    return fmt::format("{} assets", count);
}

void ProgressAccounting::reset() {
    aggregatedBytes_ = 0;
    totalBytesExpected_ = 0;
    assetContributionByURL_.clear();
    displayedDownloadRatio_ = 0;
    lastLoggedProgressPercent_ = -1;
    downloadedBytes_ = 0;
    rate_.reset();
}

CorvelDownloadViewModel::Transfer ProgressAccounting::transfer() const {
    CorvelDownloadViewModel::Transfer figures;
    figures.totalBytes = std::max<std::int64_t>(totalBytesExpected_, 0);
    figures.doneBytes = std::min(downloadedBytes_, figures.totalBytes);
    figures.bytesPerSecond = rate_.bytesPerSecond();
    if (figures.doneBytes < figures.totalBytes)
        figures.secondsLeft = rate_.secondsLeft(figures.totalBytes - figures.doneBytes);
    return figures;
}

ProgressAccounting::Initial ProgressAccounting::initialProgress(const std::vector<CVTAVAsset>& plan,
                                                                std::int64_t skippedBytes) {
    std::int64_t total = 0;
    for (const auto& asset : plan) {
        std::int64_t contribution = std::max<std::int64_t>(asset.expectedBytes, 1);
        assetContributionByURL_[asset.url.absoluteString()] = contribution;
        total += contribution;
    }
    aggregatedBytes_ = skippedBytes;
    downloadedBytes_ = 0;
    rate_.reset();
    if (plan.empty()) {
        totalBytesExpected_ = 0;
        displayedDownloadRatio_ = 0;
        lastLoggedProgressPercent_ = -1;
        return {};
    }
    totalBytesExpected_ = total;
    double ratio = static_cast<double>(skippedBytes) / static_cast<double>(total);
    double target = ratio >= 1.0 ? downloadShare : downloadShare * ratio;
    double shownRatio = ratio >= 1.0 ? 1.0 : ratio;
    std::string label = assetCountLabel(plan.size());

    Initial initial;
    if (ratio >= 1.0 || target > headStartThreshold) {
        for (double value : riseValues(riseCount, target, draw ? draw : uniformRiseFraction))
            initial.rise.push_back(
                Downloading{value, label, skippedBytes, totalBytesExpected_, transfer()});
    }
    displayedDownloadRatio_ = shownRatio;
    lastLoggedProgressPercent_ = initialLoggedPercent(target);
    initial.target = Downloading{target, label, aggregatedBytes_, totalBytesExpected_, transfer()};
    return initial;
}

std::vector<double> ProgressAccounting::riseValues(int count, double target,
                                                   const std::function<double()>& draw) {
    std::vector<double> values;
    if (!(target > 0) || count < 1) return values;
    for (int i = 0; i < count; ++i)
        values.push_back(draw());
    std::sort(values.begin(), values.end());
    for (double& value : values)
        value = target * value * riseScale;
    const double step = std::max(target * 0.02, 0.003);
    const double cap = target - step;
    for (std::size_t i = 0; i + 1 < values.size(); ++i)
        if (values[i + 1] <= values[i]) values[i + 1] = std::min(values[i] + step, cap);
    return values;
}

ProgressAccounting::State ProgressAccounting::applyDelta(std::int64_t delta, std::size_t assetCount,
                                                         ByteOrigin origin) {
    // Saturating: a hostile size report must not wrap the count around.
    std::int64_t sum = 0;
    if (__builtin_add_overflow(aggregatedBytes_, delta, &sum)) sum = delta > 0 ? INT64_MAX : 0;
    aggregatedBytes_ = std::max<std::int64_t>(sum, 0);
    if (__builtin_add_overflow(downloadedBytes_, delta, &sum)) sum = delta > 0 ? INT64_MAX : 0;
    downloadedBytes_ = std::max<std::int64_t>(sum, 0);
    rate_.record(now ? now() : TransferRate::Clock::now(), delta, origin);
    const std::int64_t denominator = std::max<std::int64_t>(totalBytesExpected_, 1);
    double ratio =
        std::min(static_cast<double>(aggregatedBytes_) / static_cast<double>(denominator), 1.0);
    displayedDownloadRatio_ = std::max(displayedDownloadRatio_, ratio);
    double overall = displayedDownloadRatio_ * downloadShare;

    int percent = nearest(overall * 100);
    if (percent > lastLoggedProgressPercent_) {
        lastLoggedProgressPercent_ = percent;
        log(LogLevel::info,
            fmt::format("  进度 {}%（下载 {}%）  {} / {}", percent,
                        nearest(displayedDownloadRatio_ * 100), formatByteCount(aggregatedBytes_),
                        formatByteCount(denominator)));
    }
    return Downloading{overall, assetCountLabel(assetCount), aggregatedBytes_, denominator,
                       transfer()};
}

std::optional<ProgressAccounting::State>
ProgressAccounting::correctDenominator(const CVTAVAsset& asset, std::int64_t totalBytes) {
    if (totalBytes < 1) return std::nullopt;
    const std::string& key = asset.url.absoluteString();
    auto found = assetContributionByURL_.find(key);
    std::int64_t old = found != assetContributionByURL_.end()
                           ? found->second
                           : std::max<std::int64_t>(asset.expectedBytes, 1);
    if (old == totalBytes) return std::nullopt;
    assetContributionByURL_[key] = totalBytes;
    std::int64_t previous = totalBytesExpected_;
    std::int64_t corrected = 0;
    if (__builtin_sub_overflow(previous, old, &corrected) ||
        __builtin_add_overflow(corrected, totalBytes, &corrected))
        corrected = INT64_MAX;
    totalBytesExpected_ = std::max<std::int64_t>(corrected, 1);
    log(LogLevel::warn,
        fmt::format("  🔧 HEAD 未覆盖此 asset，按响应头兜底纠正分母 [{}] {} → {}；总量 {} → {}",
                    asset.name, formatByteCount(old), formatByteCount(totalBytes),
                    formatByteCount(previous), formatByteCount(totalBytesExpected_)));
    return applyDelta(0, assetContributionByURL_.size());
}

double ProgressAccounting::installEstimateSeconds(std::int64_t expectedBytes) {
    return std::max(static_cast<double>(expectedBytes) / 200'000'000.0, 5.0);
}

double ProgressAccounting::smootherValue(double elapsedSeconds, double estimateSeconds, double base,
                                         double span) {
    double fraction = estimateSeconds > 0 ? elapsedSeconds / estimateSeconds : smootherCap;
    fraction = std::clamp(fraction, 0.0, smootherCap);
    return base + span * fraction;
}
