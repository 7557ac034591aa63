// The command line's progress wording, called directly.

#include "ProgressText.h"

#include <gtest/gtest.h>

#include <clocale>
#include <cwchar>
#include <map>
#include <string>
#include <vector>

namespace {

using VM = CorvelDownloadViewModel;

// Stands in for the front-ends' catalogue: wide characters in the status line.
std::string chinese(const char* source) {
    const std::map<std::string, std::string> catalogue{
        {"{} h {} min left", "剩余 {} 小时 {} 分钟"},
        {"Installing %1 ({} of {})", "正在安装 %1（{}/{}）"},
        {"Done", "安装完成"},
        {"failed", "失败"}};
    auto found = catalogue.find(source);
    return found == catalogue.end() ? std::string(source) : found->second;
}

// The C library's idea of the columns, as a terminal would draw them.
int terminalColumns(const std::string& text) {
    std::setlocale(LC_CTYPE, "C.UTF-8");
    std::wstring wide(text.size() + 1, L'\0');
    std::size_t count = std::mbstowcs(wide.data(), text.c_str(), wide.size());
    EXPECT_NE(count, static_cast<std::size_t>(-1)) << text;
    wide.resize(count);
    return ::wcswidth(wide.c_str(), wide.size());
}

TEST(ProgressText, TheBarNeverFillsTheTerminalLineEvenWithChineseText) {
    // Only a terminal that takes escape sequences gets the bar.
    EXPECT_TRUE(ProgressText::drawsBar(true, "xterm-256color"));
    for (const char* term : {"dumb", "", static_cast<const char*>(nullptr)})
        EXPECT_FALSE(ProgressText::drawsBar(true, term)) << (term ? term : "unset");
    EXPECT_FALSE(ProgressText::drawsBar(false, "xterm"));

    VM::Downloading downloading{0.42, "3 assets", 0, 0};
    downloading.transfer = {1'234'567'890, 3'400'000'000, 18'500'000, 7265};
    const std::vector<VM::State> states{
        downloading, VM::Extracting{0.93, "语音识别模型（大型）🎙", 2, 3},
        VM::Extracting{0.97, std::string(30, 'x'), 3, 3}, VM::Success{}, VM::Failed{"网络错误"}};
    for (const StatusText::Translate& language :
         {StatusText::Translate(chinese), StatusText::Translate()})
        for (const auto& state : states)
            for (int width = 1; width <= 160; ++width) {
                std::string line = ProgressText::barLine(state, width, language);
                EXPECT_LT(terminalColumns(line), std::max(width, 1)) << width << ": " << line;
                EXPECT_EQ(ProgressText::columnsOf(line), terminalColumns(line)) << line;
            }
    // Wide enough, nothing is cut and the status line is all there.
    EXPECT_EQ(ProgressText::barLine(downloading, 120, chinese),
              "[#################.......................]  42%  "
              "1.23 GB / 3.4 GB · 18.5 MB/s · 剩余 2 小时 2 分钟");
}

VM::Downloading downloading(double progress, std::int64_t done) {
    VM::Downloading state{progress, "2 assets", done, 10};
    state.transfer = {done, 10, std::nullopt, std::nullopt};
    return state;
}

TEST(ProgressText, PlainLinesShowEachPercentOncePerStageAndNeverGoBack) {
    const std::vector<VM::State> states{VM::Downloading{0, "", 0, 0},
                                        downloading(0.001, 0),
                                        downloading(0.05, 5),
                                        downloading(0.04, 4),
                                        downloading(0.054, 5),
                                        downloading(0.9, 10),
                                        VM::Extracting{0.9, "a", 1, 2},
                                        VM::Extracting{0.95, "a", 1, 2},
                                        VM::Extracting{0.95, "b", 2, 2},
                                        VM::Success{}};
    std::vector<std::string> lines;
    std::optional<VM::State> lastShown;
    for (const auto& state : states)
        if (auto line = ProgressText::plainLine(state, lastShown, {})) {
            lines.push_back(*line);
            lastShown = state;
        }
    EXPECT_EQ(lines, (std::vector<std::string>{
                         "[downloading]   0%  Preparing…", "[downloading]   5%  5 bytes / 10 bytes",
                         "[downloading]  90%  10 bytes / 10 bytes",
                         "[extracting]  90%  Installing a (1 of 2)",
                         "[extracting]  95%  Installing a (1 of 2)", "[success] 100%  Done"}));
}

} // namespace
