#include "pipeline/TransferRate.h"

#include <cmath>

void TransferRate::reset() {
    counted_ = 0;
    samples_.clear();
    latest_.reset();
}

void TransferRate::record(Clock::time_point at, std::int64_t delta, ByteOrigin origin) {
    if (delta < 0) {
        reset();
        return;
    }
    if (origin == ByteOrigin::network) counted_ += delta;
    latest_ = Sample{at, counted_};
    if (samples_.empty() || at - samples_.back().at >= sampleSpacing) samples_.push_back(*latest_);
    // Keep one sample at or before the window's start, so the average always
    // spans the full window once the history is that long.
    while (samples_.size() > 1 && at - samples_[1].at >= window)
        samples_.pop_front();
}

std::optional<double> TransferRate::bytesPerSecond() const {
    if (!latest_ || samples_.empty()) return std::nullopt;
    const Sample& oldest = samples_.front();
    const std::chrono::duration<double> span = latest_->at - oldest.at;
    if (span < minimumSpan) return std::nullopt;
    return static_cast<double>(latest_->bytes - oldest.bytes) / span.count();
}

std::optional<std::int64_t> TransferRate::secondsLeft(std::int64_t remainingBytes) const {
    auto rate = bytesPerSecond();
    if (!rate || !(*rate > 0) || remainingBytes < 0) return std::nullopt;
    return static_cast<std::int64_t>(std::ceil(static_cast<double>(remainingBytes) / *rate));
}
