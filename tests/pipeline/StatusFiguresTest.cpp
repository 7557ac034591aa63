// The figures under the bar: the recent speed, the time left, and how they
// are worded.

#include "pipeline/StatusText.h"
#include "pipeline/TransferRate.h"

#include <gtest/gtest.h>

#include <map>

namespace {

using namespace std::chrono_literals;
using VM = CorvelDownloadViewModel;

TEST(StatusFigures, SpeedIsAMovingAverageAndIgnoresBytesFoundOnDisk) {
    using Clock = TransferRate::Clock;
    Clock::time_point t{};
    TransferRate rate;
    // A partial file found on disk arrives as one large delta at the start.
    rate.record(t, 900'000'000, ByteOrigin::foundOnDisk);
    EXPECT_FALSE(rate.bytesPerSecond());
    EXPECT_FALSE(rate.secondsLeft(1000));
    for (int i = 1; i <= 20; ++i) // 1 MB every 100 ms for 2 s: 10 MB/s
        rate.record(t + i * 100ms, 1'000'000);
    ASSERT_TRUE(rate.bytesPerSecond());
    EXPECT_NEAR(*rate.bytesPerSecond(), 10'000'000, 1);
    EXPECT_EQ(rate.secondsLeft(25'000'001), 3); // rounded up
    EXPECT_EQ(rate.secondsLeft(0), 0);

    // After the link slows to 1 MB/s, the old rate leaves the window within a few seconds.
    Clock::time_point at = t + 2s;
    for (int i = 1; i <= 80; ++i) // 100 KB every 100 ms for 8 s
        rate.record(at + i * 100ms, 100'000);
    EXPECT_NEAR(*rate.bytesPerSecond(), 1'000'000, 1);

    // A stall holds no bytes: the rate falls, and a zero rate gives no estimate.
    rate.record(at + 20s, 0);
    EXPECT_NEAR(*rate.bytesPerSecond(), 0, 1e-9);
    EXPECT_FALSE(rate.secondsLeft(1000));

    // A restart from zero starts the average afresh.
    rate.record(at + 21s, -5);
    EXPECT_FALSE(rate.bytesPerSecond());

    // Sparse steps of any size that crossed the network, averaged from the
    // last sample at or before the window's start: 33 MB in 6 s.
    at += 30s;
    rate.record(at, 0);
    rate.record(at + 3s, 3'000'000);
    rate.record(at + 6s, 30'000'000);
    EXPECT_NEAR(*rate.bytesPerSecond(), 5'500'000, 1);
}

TEST(StatusFigures, WordingAndItsTranslation) {
    VM::Downloading d{0.3, "3 assets", 0, 0};
    EXPECT_EQ(StatusText::line(d), "Preparing…");
    d.transfer = {1'200'000'000, 3'400'000'000, std::nullopt, std::nullopt};
    EXPECT_EQ(StatusText::line(d), "1.2 GB / 3.4 GB");
    d.transfer.bytesPerSecond = 18'500'000;
    d.transfer.secondsLeft = 119;
    EXPECT_EQ(StatusText::line(d), "1.2 GB / 3.4 GB · 18.5 MB/s · 2 min left");
    EXPECT_EQ(StatusText::line(VM::Extracting{0.95, "whisper {}", 2, 3}),
              "Installing whisper {} (2 of 3)");
    EXPECT_EQ(StatusText::line(VM::Failed{"x"}), "");
    for (const auto& [seconds, text] : std::vector<std::pair<std::int64_t, std::string>>{
             {59, "59 s left"}, {60, "1 min left"}, {3600, "1 h left"}, {3601, "1 h 1 min left"}})
        EXPECT_EQ(StatusText::timeLeft(seconds), text);

    // A catalogue's sentence takes the figures; one whose placeholders do not
    // fit falls back to the source instead of failing the status line.
    std::map<std::string, std::string> catalogue{
        {"{} min left", "剩余 {} 分钟"},
        {"Installing %1 ({} of {})", "正在安装 %1（{}/{}）"},
        {"{} s left", "{2} {"}};
    const StatusText::Translate translate = [&](const char* source) {
        auto found = catalogue.find(source);
        return found == catalogue.end() ? std::string(source) : found->second;
    };
    EXPECT_EQ(StatusText::line(d, translate), "1.2 GB / 3.4 GB · 18.5 MB/s · 剩余 2 分钟");
    EXPECT_EQ(StatusText::line(VM::Extracting{0.95, "whisper", 2, 3}, translate),
              "正在安装 whisper（2/3）");
    EXPECT_EQ(StatusText::timeLeft(5, translate), "5 s left");
}

} // namespace
