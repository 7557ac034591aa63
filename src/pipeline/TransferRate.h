#pragma once

#include "types/ByteOrigin.h"

#include <chrono>
#include <cstdint>
#include <deque>
#include <optional>

// The recent download speed as a moving average over a few seconds, and the
// time left that follows from it. Pure: every call carries its own moment.
class TransferRate {
  public:
    using Clock = std::chrono::steady_clock;

    static constexpr std::chrono::seconds window{5};
    // Below this much history a rate says more about the first chunk than the link.
    static constexpr std::chrono::milliseconds minimumSpan{2000};
    static constexpr std::chrono::milliseconds sampleSpacing{100};

    void reset();

    // One progress delta at `at`; bytes found on disk move no average. A
    // negative one (a download restarted from zero) starts the average afresh.
    void record(Clock::time_point at, std::int64_t delta, ByteOrigin origin = ByteOrigin::network);

    // Bytes per second over the window; nothing until the history is long enough.
    std::optional<double> bytesPerSecond() const;

    // Whole seconds for `remainingBytes` at the current rate, rounded up;
    // nothing while the rate is unknown or zero.
    std::optional<std::int64_t> secondsLeft(std::int64_t remainingBytes) const;

  private:
    struct Sample {
        Clock::time_point at;
        std::int64_t bytes; // counted transfer bytes up to this moment
    };
    std::int64_t counted_ = 0;
    std::deque<Sample> samples_; // oldest first, at least sampleSpacing apart
    std::optional<Sample> latest_;
};
