#include "platform/RateLimit.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <condition_variable>
#include <cstdlib>
#include <limits>
#include <memory>
#include <stdexcept>

namespace platform {

std::optional<std::int64_t> parseRate(std::string_view text) {
    std::size_t at = 0;
    double whole = 0;
    bool digits = false;
    while (at < text.size() && text[at] >= '0' && text[at] <= '9') {
        whole = whole * 10 + (text[at++] - '0');
        digits = true;
    }
    if (at < text.size() && text[at] == '.') {
        double scale = 0.1;
        for (++at; at < text.size() && text[at] >= '0' && text[at] <= '9'; ++at, scale /= 10) {
            whole += (text[at] - '0') * scale;
            digits = true;
        }
    }
    if (!digits) return std::nullopt;
    double unit = 1;
    if (at < text.size()) {
        switch (text[at++]) {
        case 'k':
        case 'K':
            unit = 1024.0;
            break;
        case 'm':
        case 'M':
            unit = 1024.0 * 1024;
            break;
        case 'g':
        case 'G':
            unit = 1024.0 * 1024 * 1024;
            break;
        case 't':
        case 'T':
            unit = 1024.0 * 1024 * 1024 * 1024;
            break;
        default:
            return std::nullopt;
        }
    }
    if (at != text.size()) return std::nullopt;
    const double bytes = std::floor(whole * unit);
    if (!(bytes >= 1) || bytes > double(std::numeric_limits<std::int64_t>::max() / 2))
        return std::nullopt;
    return static_cast<std::int64_t>(bytes);
}

std::int64_t chosenRate(const std::optional<std::string>& option) {
    const char* variable = std::getenv(rateVariable);
    if (!option && (!variable || !*variable)) return 0;
    const std::string text = option ? *option : std::string(variable);
    if (auto rate = parseRate(text)) return *rate;
    throw std::invalid_argument(
        std::string(option ? "--limit-rate" : rateVariable) + ": not a speed: '" + text +
        "' (bytes per second, more than 0, with K, M or G for 1024, 1024², 1024³: 500K, 2M, 1G)");
}

TokenBucket::TokenBucket(std::int64_t rate, std::int64_t burst, Clock::time_point now)
    : rate_(std::max<std::int64_t>(rate, 1)), burst_(double(std::max<std::int64_t>(burst, 1))),
      tokens_(burst_), last_(now) {}

std::chrono::nanoseconds TokenBucket::take(std::int64_t bytes, Clock::time_point now) {
    if (now > last_) {
        const double seconds = std::chrono::duration<double>(now - last_).count();
        tokens_ = std::min(burst_, tokens_ + seconds * double(rate_));
        last_ = now;
    }
    tokens_ -= double(bytes);
    if (tokens_ >= 0) return std::chrono::nanoseconds(0);
    return std::chrono::nanoseconds(std::llround(-tokens_ / double(rate_) * 1e9));
}

namespace {

struct SharedLimit {
    std::mutex mutex;
    std::unique_ptr<TokenBucket> bucket;
};

SharedLimit& shared() {
    static SharedLimit limit;
    return limit;
}

std::atomic<std::int64_t> currentLimit{0};

} // namespace

void limitBodyRate(std::int64_t bytesPerSecond) {
    std::lock_guard lock(shared().mutex);
    currentLimit = std::max<std::int64_t>(bytesPerSecond, 0);
    // A tenth of a second's worth saved up at most, and never less than a
    // network read: a burst is what the limit lets through at once.
    if (bytesPerSecond > 0)
        shared().bucket = std::make_unique<TokenBucket>(
            bytesPerSecond, std::max<std::int64_t>(bytesPerSecond / 10, 16 * 1024),
            TokenBucket::Clock::now());
    else
        shared().bucket.reset();
}

std::int64_t bodyRateLimit() {
    return currentLimit;
}

void throttleBody(std::int64_t bytes, std::stop_token stop) {
    if (currentLimit == 0) return;
    std::chrono::nanoseconds wait;
    {
        std::lock_guard lock(shared().mutex);
        if (!shared().bucket) return;
        wait = shared().bucket->take(bytes, TokenBucket::Clock::now());
    }
    if (wait <= std::chrono::nanoseconds(0)) return;
    std::mutex mutex;
    std::condition_variable_any woken;
    std::unique_lock lock(mutex);
    woken.wait_for(lock, stop, wait, [] { return false; });
}

} // namespace platform
