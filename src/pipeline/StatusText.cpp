#include "pipeline/StatusText.h"

#include "log/ByteCount.h"

#include <fmt/format.h>

#include <cmath>
#include <cstdlib>
#include <type_traits>

namespace StatusText {

namespace {

using VM = CorvelDownloadViewModel;

bool isPosixLocale(const std::string& value) {
    return value == "C" || value.starts_with("C.") || value == "POSIX";
}

bool isChineseTag(const std::string& tag) {
    return tag.size() >= 2 && (tag[0] == 'z' || tag[0] == 'Z') && (tag[1] == 'h' || tag[1] == 'H');
}

std::string transferLine(const VM::Transfer& t, Language language) {
    std::string text =
        fmt::format("{} / {}", formatByteCount(t.doneBytes), formatByteCount(t.totalBytes));
    if (t.bytesPerSecond)
        text += fmt::format(" · {}/s", formatByteCount(std::llround(*t.bytesPerSecond)));
    if (t.secondsLeft) text += " · " + timeLeft(*t.secondsLeft, language);
    return text;
}

} // namespace

Language languageFromEnvironment(const EnvironmentLookup& lookup) {
    auto get = [&](const char* name) { return lookup(name).value_or(std::string()); };
    std::string locale = get("LC_ALL");
    if (locale.empty()) locale = get("LC_MESSAGES");
    if (locale.empty()) locale = get("LANG");
    if (isPosixLocale(locale)) return Language::english;
    std::string first = get("LANGUAGE");
    first = first.substr(0, first.find(':'));
    if (first.empty()) first = locale;
    return isChineseTag(first) ? Language::chinese : Language::english;
}

Language languageFromEnvironment() {
    return languageFromEnvironment([](const char* name) -> std::optional<std::string> {
        if (const char* value = std::getenv(name)) return std::string(value);
        return std::nullopt;
    });
}

std::string timeLeft(std::int64_t seconds, Language language) {
    const bool zh = language == Language::chinese;
    if (seconds < 60)
        return zh ? fmt::format("剩余 {} 秒", seconds) : fmt::format("{} s left", seconds);
    const std::int64_t minutes = (seconds + 59) / 60;
    if (minutes < 60)
        return zh ? fmt::format("剩余 {} 分钟", minutes) : fmt::format("{} min left", minutes);
    const std::int64_t hours = minutes / 60;
    const std::int64_t rest = minutes % 60;
    if (rest == 0) return zh ? fmt::format("剩余 {} 小时", hours) : fmt::format("{} h left", hours);
    return zh ? fmt::format("剩余 {} 小时 {} 分钟", hours, rest)
              : fmt::format("{} h {} min left", hours, rest);
}

std::string line(const VM::State& state, Language language) {
    const bool zh = language == Language::chinese;
    return std::visit(
        [&](const auto& s) -> std::string {
            using T = std::decay_t<decltype(s)>;
            if constexpr (std::is_same_v<T, VM::Downloading>) {
                if (s.transfer.totalBytes <= 0) return zh ? "准备中…" : "Preparing…";
                return transferLine(s.transfer, language);
            } else if constexpr (std::is_same_v<T, VM::Extracting>) {
                return zh ? fmt::format("正在安装 {}（{}/{}）", s.currentAsset, s.stepIndex,
                                        s.stepTotal)
                          : fmt::format("Installing {} ({} of {})", s.currentAsset, s.stepIndex,
                                        s.stepTotal);
            } else if constexpr (std::is_same_v<T, VM::Success>) {
                return zh ? "安装完成" : "Done";
            } else {
                return "";
            }
        },
        state);
}

} // namespace StatusText
