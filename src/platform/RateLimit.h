#pragma once

#include <chrono>
#include <cstdint>
#include <mutex>
#include <optional>
#include <stop_token>
#include <string>
#include <string_view>

namespace platform {

// curl's rate syntax: a positive number of bytes per second, whole or with a
// fraction, optionally followed by K, M, G or T (powers of 1024, either
// case): "500K", "2M", "1.5G". Nothing for anything else, zero included.
std::optional<std::int64_t> parseRate(std::string_view text);

// The environment variable that sets the limit when no option does.
inline constexpr const char* rateVariable = "CORVEL_LIMIT_RATE";

// The limit a front-end was given: `option` when set, else the variable; 0 for
// none. Throws std::invalid_argument naming the source and the value when
// it is not a rate.
std::int64_t chosenRate(const std::optional<std::string>& option);

// A token bucket: `rate` tokens a second, at most `burst` saved up. A taker
// may overdraw it; the debt is what it waits off before going on, so every
// taker together never gets more than burst + rate × elapsed. Pure
// arithmetic on the times it is given.
class TokenBucket {
  public:
    using Clock = std::chrono::steady_clock;

    TokenBucket(std::int64_t rate, std::int64_t burst, Clock::time_point now);

    // Takes `bytes`; how long the taker waits before going on (zero when the
    // bucket held enough).
    std::chrono::nanoseconds take(std::int64_t bytes, Clock::time_point now);

    std::int64_t rate() const { return rate_; }

  private:
    std::int64_t rate_;
    double burst_;
    double tokens_;
    Clock::time_point last_;
};

// The limit on body bytes that every HTTP transfer of this process shares,
// whatever its connection: the user's speed limit over the whole run. 0 lifts
// it. Set before transfers start.
void limitBodyRate(std::int64_t bytesPerSecond);
std::int64_t bodyRateLimit();

// Waits off `bytes` just received under the shared limit; returns at once
// without one, and early when `stop` is requested.
void throttleBody(std::int64_t bytes, std::stop_token stop);

} // namespace platform
