#include "log/CorvelSetupLogger.h"

#include <gtest/gtest.h>

#include <regex>
#include <set>
#include <thread>
#include <vector>

namespace {

const std::regex
    kLine(R"(^\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}\.\d{3} \[(INFO|WARN|ERROR)\] (.*)\n$)");

std::vector<std::string> splitLines(const std::string& text) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    while (start < text.size()) {
        auto end = text.find('\n', start);
        lines.push_back(text.substr(start, end - start + 1));
        start = end + 1;
    }
    return lines;
}

} // namespace

TEST(Logger, LineFormatHasTimestampLevelAndMessage) {
    auto line = CorvelSetupLogger::formatLine(0, LogLevel::info, "abc");
    std::smatch match;
    ASSERT_TRUE(std::regex_match(line, match, kLine)) << line;
    EXPECT_EQ(match[1], "INFO");
    EXPECT_EQ(match[2], "abc");
    EXPECT_TRUE(
        std::regex_match(CorvelSetupLogger::formatLine(1733500000123, LogLevel::warn, "x"), kLine));
    EXPECT_NE(
        CorvelSetupLogger::formatLine(1733500000123, LogLevel::error, "").find(".123 [ERROR] \n"),
        std::string::npos);
}

TEST(Logger, LinesReachTheBufferInOrderAndAMessageWithALineFeedStaysWhole) {
    log(LogLevel::info, "第一行");
    log(LogLevel::warn, "two\nlines");
    auto text = CorvelSetupLogger::shared().persistedText();
    auto first = text.find("[INFO] 第一行\n");
    auto second = text.find("[WARN] two\nlines\n");
    ASSERT_NE(first, std::string::npos) << text;
    ASSERT_NE(second, std::string::npos) << text;
    EXPECT_LT(first, second);
}

TEST(Logger, ConcurrentCallersLoseNoLineAndInterleaveNone) {
    constexpr int threads = 8;
    constexpr int perThread = 200; // stays under the persisted cap
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t)
        workers.emplace_back([t] {
            for (int i = 0; i < perThread; ++i)
                log(LogLevel::info,
                    "worker " + std::to_string(t) + " line " + std::to_string(i) + " 完");
        });
    for (auto& w : workers)
        w.join();
    auto lines = splitLines(CorvelSetupLogger::shared().persistedText());
    std::set<std::string> seen;
    for (const auto& line : lines) {
        std::smatch match;
        ASSERT_TRUE(std::regex_match(line, match, kLine)) << line;
        EXPECT_TRUE(seen.insert(match[2]).second) << "duplicate " << line;
    }
    EXPECT_EQ(seen.size(), static_cast<std::size_t>(threads * perThread));
}

TEST(Logger, CapCountsUserPerceivedCharacters) {
    // 200000 characters of mixed CJK and multi-code-point emoji are kept whole.
    std::string family = "👨‍👩‍👧"; // one character, five code points
    std::string exact;
    for (int i = 0; i < 100000; ++i)
        exact += (i % 2 == 0) ? "中" : family;
    ASSERT_EQ(countGraphemes(exact), 100000u);
    exact += exact;
    EXPECT_EQ(CorvelSetupLogger::capPersistedText(exact), exact);

    // One more character drops exactly the first one.
    std::string over = "字" + exact;
    auto capped = CorvelSetupLogger::capPersistedText(over);
    std::string notice = "… (已截断 1 字符，仅保留最近 200000 字符) …\n";
    ASSERT_EQ(capped.substr(0, notice.size()), notice);
    EXPECT_EQ(capped.substr(notice.size()), exact);

    // A combining sequence is not split when it sits on the boundary.
    std::string combining = "e\xCC\x81"; // e + combining acute: one character
    EXPECT_EQ(CorvelSetupLogger::capPersistedText("ab" + combining, 1),
              "… (已截断 2 字符，仅保留最近 1 字符) …\n" + combining);
}

TEST(Logger, BannerComesInItsFourLines) {
    CorvelSetupLogger::shared().logStartupBanner();
    auto lines = splitLines(CorvelSetupLogger::shared().persistedText());
    ASSERT_GE(lines.size(), 4u);
    EXPECT_NE(lines[0].find("==================== Corvel Setup 启动 ===================="),
              std::string::npos);
    EXPECT_NE(lines[1].find("[INFO] Bundle: /"), std::string::npos);
    EXPECT_TRUE(std::regex_search(
        lines[2], std::regex(R"(\[INFO\] Version: \d+\.\d+\.\d+ \(build [^)]+\)\n$)")))
        << lines[2];
    EXPECT_NE(lines[3].find("[INFO] PID: " + std::to_string(::getpid()) + "\n"), std::string::npos);
}
