// The speed limit's arithmetic, on times the test chooses.

#include "platform/RateLimit.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

namespace {

using namespace std::chrono_literals;
using platform::TokenBucket;

TEST(RateLimit, CurlsRateSyntax) {
    for (const auto& [text, bytes] :
         std::vector<std::pair<std::string, std::int64_t>>{{"1", 1},
                                                           {"500", 500},
                                                           {"500K", 512'000},
                                                           {"500k", 512'000},
                                                           {"2M", 2 << 20},
                                                           {"1G", 1 << 30},
                                                           {"1.5M", 3 << 19},
                                                           {"0.5K", 512},
                                                           {".5k", 512},
                                                           {"1T", 1LL << 40}})
        EXPECT_EQ(platform::parseRate(text), bytes) << text;
    for (const char* bad : {"", "abc", "0", "0K", "0.0001", "-1", "-2M", "2MB", "3X", "1..2", "K",
                            " 2M", "2M ", "99999999999T"})
        EXPECT_FALSE(platform::parseRate(bad)) << bad;
}

TEST(RateLimit, ABurstPassesThenTheDebtIsWaitedOff) {
    const TokenBucket::Clock::time_point t0{};
    TokenBucket bucket(1000, 100, t0);
    EXPECT_EQ(bucket.take(100, t0), 0ns);       // the saved-up burst
    EXPECT_EQ(bucket.take(100, t0), 100ms);     // a tenth of a second's worth owed
    EXPECT_EQ(bucket.take(0, t0 + 100ms), 0ns); // paid off
    // Idle time saves up no more than the burst.
    EXPECT_EQ(bucket.take(300, t0 + 10s), 200ms);
    // A clock that seems to go back is taken as standing still.
    EXPECT_EQ(bucket.take(100, t0 + 5s), 300ms);
}

TEST(RateLimit, ConnectionsTogetherGetTheRateNotEachOfThem) {
    // Eight connections read chunks of different sizes, each waiting off what
    // the bucket tells it; over a simulated minute they share the rate.
    const std::int64_t rate = 4 << 20;
    const TokenBucket::Clock::time_point t0{};
    TokenBucket bucket(rate, rate / 10, t0);
    std::vector<TokenBucket::Clock::time_point> ready(8, t0);
    std::int64_t taken = 0;
    for (;;) {
        auto next = std::min_element(ready.begin(), ready.end());
        if (*next - t0 >= 60s) break;
        const std::int64_t chunk = 16384 * (1 + (next - ready.begin()) % 4);
        *next += bucket.take(chunk, *next);
        taken += chunk;
    }
    const double seconds = 60;
    EXPECT_NEAR(double(taken) / seconds, double(rate), rate * 0.01);
}

} // namespace
