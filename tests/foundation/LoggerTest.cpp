#include "log/CorvelSetupLogger.h"

#include <fmt/format.h>
#include <gtest/gtest.h>

#include <regex>
#include <set>
#include <thread>
#include <vector>

namespace {

const std::regex
    kLine(R"(^\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}\.\d{3} \[(INFO|WARN|ERROR)\] (.*)\n$)");

// The persisted lines from the last one containing `from` on: other tests of
// the same process log into the same buffer before this one.
std::vector<std::string> persistedLines(const std::string& from = "") {
    std::string text = CorvelSetupLogger::shared().persistedText();
    std::vector<std::string> lines;
    std::size_t first = from.empty() ? 0 : text.rfind(from);
    if (first == std::string::npos) return lines;
    for (std::size_t start = text.rfind('\n', first) + 1, end; start < text.size();
         start = end + 1) {
        end = text.find('\n', start);
        lines.push_back(text.substr(start, end - start + 1));
    }
    return lines;
}

} // namespace

TEST(Logger, BannerThenLinesInOrderWithTimestampAndLevel) {
    CorvelSetupLogger::shared().logStartupBanner();
    // Remote text cannot forge a line or drive the terminal: controls are escaped.
    log(LogLevel::warn, "two\nlines\r\x1b[2J\a\t\u0085 \\ 中");
    auto lines = persistedLines("==================== Corvel Setup 启动");
    ASSERT_EQ(lines.size(), 5u);
    EXPECT_NE(lines[0].find("] ==================== Corvel Setup 启动 ===================="),
              std::string::npos);
    EXPECT_NE(lines[1].find("[INFO] Bundle: /"), std::string::npos);
    EXPECT_TRUE(std::regex_search(
        lines[2], std::regex(R"(\[INFO\] Version: \d+\.\d+\.\d+ \(build [^)]+\)\n$)")))
        << lines[2];
    EXPECT_NE(lines[3].find("[INFO] PID: " + std::to_string(::getpid()) + "\n"), std::string::npos);
    EXPECT_TRUE(std::regex_match(lines[4], kLine)) << lines[4];
    EXPECT_TRUE(lines[4].ends_with(" [WARN] two\\nlines\\r\\x1b[2J\\x07\\t\\u0085 \\ 中\n"))
        << lines[4];
    auto line = CorvelSetupLogger::formatLine(1733500000123, LogLevel::error, "错");
    EXPECT_TRUE(std::regex_match(line, kLine)) << line;
    EXPECT_NE(line.find(".123 [ERROR] 错\n"), std::string::npos);
}

TEST(Logger, ConcurrentCallersLoseNoLineAndInterleaveNone) {
    constexpr int threads = 8, perThread = 200; // stays under the persisted cap
    log(LogLevel::info, "concurrent callers begin");
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t)
        workers.emplace_back([t] {
            for (int i = 0; i < perThread; ++i)
                log(LogLevel::info, fmt::format("worker {} line {} 完", t, i));
        });
    for (auto& w : workers)
        w.join();
    std::set<std::string> seen;
    auto lines = persistedLines("concurrent callers begin");
    ASSERT_FALSE(lines.empty());
    for (const auto& line : std::vector(lines.begin() + 1, lines.end())) {
        std::smatch match;
        ASSERT_TRUE(std::regex_match(line, match, kLine)) << line;
        EXPECT_TRUE(seen.insert(match[2]).second) << "duplicate " << line;
    }
    EXPECT_EQ(seen.size(), std::size_t{threads * perThread});
}

TEST(Logger, CapCountsUserPerceivedCharacters) {
    std::string exact; // 200000 characters of CJK and five-code-point emoji
    for (int i = 0; i < 200000; ++i)
        exact += (i % 2 == 0) ? "中" : "👨‍👩‍👧";
    ASSERT_EQ(countGraphemes(exact), 200000u);
    EXPECT_EQ(CorvelSetupLogger::capPersistedText(exact), exact);
    EXPECT_EQ(CorvelSetupLogger::capPersistedText("字" + exact),
              "… (已截断 1 字符，仅保留最近 200000 字符) …\n" + exact);
    std::string combining = "e\xCC\x81"; // one character on the boundary stays whole
    EXPECT_EQ(CorvelSetupLogger::capPersistedText("ab" + combining, 1),
              "… (已截断 2 字符，仅保留最近 1 字符) …\n" + combining);
}
