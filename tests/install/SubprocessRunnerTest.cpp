#include "install/SubprocessRunner.h"
#include "InstallTestSupport.h"

#include <fmt/format.h>

#include <regex>

TEST(SubprocessRunner, LogsEveryOutcomeAndKeepsAllOfAFailuresStderr) {
    std::string wide; // three bytes a character: the log's cut counts characters
    for (int i = 0; i < 600; ++i)
        wide += "错";
    // {script, exit status, stderr kept in the failure, stderr shown in the log}
    const std::vector<std::tuple<std::string, int, std::string, std::string>> cases = {
        {"echo only-stdout", 0, "", ""},
        {"printf 'bad \\377\\376 bytes' >&2; exit 3", 3, "exit 3", "exit 3"},
        {"printf '" + wide + "' >&2; exit 2", 2, wide, wide.substr(0, 1500)},
        // Neither full pipe may block the child while the other is drained.
        {"head -c 10000000 /dev/zero; head -c 10000000 /dev/zero | tr '\\0' a >&2; "
         "head -c 10000000 /dev/zero; exit 1",
         1, std::string(10000000, 'a'), std::string(500, 'a')},
    };
    for (const auto& [script, status, stderrText, logged] : cases) {
        SCOPED_TRACE(script.substr(0, 40));
        std::optional<CorvelInstallError::ExtractFailed> failure;
        try {
            SubprocessRunner::run("/bin/sh", {"-c", script}, "tool", "sh snippet");
        } catch (const CorvelInstallError& e) {
            failure = std::get<CorvelInstallError::ExtractFailed>(e.value());
        }
        ASSERT_EQ(failure.has_value(), status != 0);
        if (failure) {
            EXPECT_EQ(failure->asset, "tool");
            EXPECT_TRUE(failure->stderrText == stderrText) << failure->stderrText.size();
        }
        std::string text = logText(), last = text.substr(text.rfind('\n', text.size() - 2) + 1);
        EXPECT_TRUE(std::regex_search(
            last, std::regex(fmt::format("\\[{}\\]   {} 子进程退出码 {}，耗时 [0-9]+\\.[0-9]{{2}}s",
                                         status ? "ERROR" : "INFO", status ? "✘" : "✔", status))));
        EXPECT_TRUE(last.ends_with(status ? "s：" + logged + "\n" : "s\n")) << last;
    }
    EXPECT_NE(logText().find("[INFO]   $ sh snippet\n"), std::string::npos);
    EXPECT_EQ(logText().find("only-stdout"), std::string::npos);
}

TEST(SubprocessRunner, MissingExecutableFailsAtStartWithTheSameText) {
    try {
        SubprocessRunner::run("/nonexistent/tool", {}, "tool", "tool");
        FAIL() << "expected a failure";
    } catch (const CorvelInstallError& e) {
        const auto& failure = std::get<CorvelInstallError::ExtractFailed>(e.value());
        EXPECT_FALSE(failure.stderrText.empty());
        expectLogged({"[ERROR]   ✘ 启动子进程失败: " + failure.stderrText + "\n"});
        EXPECT_EQ(std::string(e.what()), "tool 解压失败：" + failure.stderrText);
    }
}
