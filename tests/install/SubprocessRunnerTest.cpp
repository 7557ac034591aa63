#include "install/SubprocessRunner.h"
#include "install/CorvelInstallError.h"
#include "log/CorvelSetupLogger.h"

#include <gtest/gtest.h>

#include <regex>

namespace {

std::string logText() {
    CorvelSetupLogger::shared().flush();
    return CorvelSetupLogger::shared().persistedText();
}

// Runs a shell snippet; returns the extractFailed payload, or nothing on success.
std::optional<CorvelInstallError::ExtractFailed> runShell(const std::string& script) {
    try {
        SubprocessRunner::run("/bin/sh", {"-c", script}, "tool", "sh snippet");
    } catch (const CorvelInstallError& e) {
        return std::get<CorvelInstallError::ExtractFailed>(e.value());
    }
    return std::nullopt;
}

} // namespace

TEST(SubprocessRunner, SuccessLogsCommandAndTwoDecimalDuration) {
    EXPECT_FALSE(runShell("echo only-stdout"));
    std::string text = logText();
    EXPECT_NE(text.find("[INFO]   $ sh snippet\n"), std::string::npos);
    EXPECT_TRUE(std::regex_search(
        text, std::regex("\\[INFO\\]   ✔ 子进程退出码 0，耗时 [0-9]+\\.[0-9]{2}s\n")));
    EXPECT_EQ(text.find("only-stdout"), std::string::npos);
}

TEST(SubprocessRunner, TenMegabytesOnEachStreamNeitherBlocksNorIsLost) {
    auto failure =
        runShell("head -c 10000000 /dev/zero; head -c 10000000 /dev/zero | tr '\\0' a >&2; "
                 "head -c 10000000 /dev/zero; exit 1");
    ASSERT_TRUE(failure);
    EXPECT_EQ(failure->asset, "tool");
    EXPECT_EQ(failure->stderrText.size(), 10000000u);
    EXPECT_EQ(failure->stderrText.find_first_not_of('a'), std::string::npos);
    // The log keeps only the first 500 characters.
    EXPECT_TRUE(std::regex_search(
        logText(),
        std::regex("\\[ERROR\\]   ✘ 子进程退出码 1，耗时 [0-9]+\\.[0-9]{2}s：a{500}\n")));
}

TEST(SubprocessRunner, FailureTextsAndTheirCuts) {
    auto empty = runShell("exit 1");
    ASSERT_TRUE(empty);
    EXPECT_EQ(empty->stderrText, "");
    EXPECT_TRUE(std::regex_search(logText(), std::regex("子进程退出码 1，耗时 [0-9.]+s：\n")));

    auto invalid = runShell("printf 'bad \\377\\376 bytes' >&2; exit 3");
    ASSERT_TRUE(invalid);
    EXPECT_EQ(invalid->stderrText, "exit 3");

    // 600 characters of three bytes each: the cut counts characters, not bytes.
    auto wide = runShell("i=0; while [ $i -lt 600 ]; do printf '错' >&2; i=$((i+1)); done; exit 2");
    ASSERT_TRUE(wide);
    EXPECT_EQ(wide->stderrText.size(), 1800u);
    std::string cut;
    for (int i = 0; i < 500; ++i)
        cut += "错";
    EXPECT_NE(logText().find("：" + cut + "\n"), std::string::npos);
}

TEST(SubprocessRunner, MissingExecutableFailsAtStartWithTheSameText) {
    try {
        SubprocessRunner::run("/nonexistent/tool", {}, "tool", "tool");
        FAIL() << "expected a failure";
    } catch (const CorvelInstallError& e) {
        const auto& failure = std::get<CorvelInstallError::ExtractFailed>(e.value());
        EXPECT_FALSE(failure.stderrText.empty());
        EXPECT_NE(logText().find("[ERROR]   ✘ 启动子进程失败: " + failure.stderrText + "\n"),
                  std::string::npos);
        EXPECT_EQ(std::string(e.what()), "tool 解压失败：" + failure.stderrText);
    }
}

TEST(SubprocessRunner, GraphemePrefixKeepsClustersWhole) {
    std::string accented = "e\xCC\x81"; // e + combining acute: one character
    EXPECT_EQ(SubprocessRunner::graphemePrefix(accented + accented + "x", 2), accented + accented);
    EXPECT_EQ(SubprocessRunner::graphemePrefix("abc", 10), "abc");
    EXPECT_EQ(SubprocessRunner::graphemePrefix("abc", 0), "");
}
