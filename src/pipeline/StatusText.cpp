#include "pipeline/StatusText.h"

#include "log/ByteCount.h"

#include <fmt/format.h>

#include <cmath>
#include <type_traits>

// Marks a sentence for Qt's lupdate, which files it in the front-ends'
// catalogue under the context; here it is the sentence itself.
#define QT_TRANSLATE_NOOP(scope, text) text

namespace StatusText {

namespace {

using VM = CorvelDownloadViewModel;

std::string transferLine(const VM::Transfer& t, const Translate& translate) {
    std::string text =
        fmt::format("{} / {}", formatByteCount(t.doneBytes), formatByteCount(t.totalBytes));
    if (t.bytesPerSecond)
        text += fmt::format(" · {}/s", formatByteCount(std::llround(*t.bytesPerSecond)));
    if (t.secondsLeft) text += " · " + timeLeft(*t.secondsLeft, translate);
    return text;
}

} // namespace

std::string worded(const Translate& translate, const char* source, std::int64_t a, std::int64_t b) {
    if (translate) {
        // A catalogue is data: a translation that lost or added a placeholder
        // must not take the status line down with it.
        try {
            return fmt::format(fmt::runtime(translate(source)), a, b);
        } catch (const fmt::format_error&) {
        }
    }
    return fmt::format(fmt::runtime(source), a, b);
}

std::string timeLeft(std::int64_t seconds, const Translate& translate) {
    if (seconds < 60)
        return worded(translate, QT_TRANSLATE_NOOP("StatusText", "{} s left"), seconds);
    const std::int64_t minutes = (seconds + 59) / 60;
    if (minutes < 60)
        return worded(translate, QT_TRANSLATE_NOOP("StatusText", "{} min left"), minutes);
    const std::int64_t hours = minutes / 60;
    const std::int64_t rest = minutes % 60;
    if (rest == 0) return worded(translate, QT_TRANSLATE_NOOP("StatusText", "{} h left"), hours);
    return worded(translate, QT_TRANSLATE_NOOP("StatusText", "{} h {} min left"), hours, rest);
}

std::string line(const VM::State& state, const Translate& translate) {
    const bool paused = std::visit(
        [](const auto& s) {
            if constexpr (requires { s.paused; })
                return s.paused;
            else
                return false;
        },
        state);
    std::string text = std::visit(
        [&](const auto& s) -> std::string {
            using T = std::decay_t<decltype(s)>;
            if constexpr (std::is_same_v<T, VM::Downloading>) {
                if (s.transfer.totalBytes <= 0)
                    return worded(translate, QT_TRANSLATE_NOOP("StatusText", "Preparing…"));
                return transferLine(s.transfer, translate);
            } else if constexpr (std::is_same_v<T, VM::Extracting>) {
                // The name is not a placeholder: an asset named "{}" stays as it is.
                const std::string format =
                    worded(translate, QT_TRANSLATE_NOOP("StatusText", "Installing %1 ({} of {})"),
                           s.stepIndex, s.stepTotal);
                std::string text = format;
                if (auto at = text.find("%1"); at != std::string::npos)
                    text.replace(at, 2, s.currentAsset);
                return text;
            } else if constexpr (std::is_same_v<T, VM::Success>) {
                return worded(translate, QT_TRANSLATE_NOOP("StatusText", "Done"));
            } else {
                return "";
            }
        },
        state);
    if (!paused) return text;
    return worded(translate, QT_TRANSLATE_NOOP("StatusText", "Paused")) + " · " + text;
}

} // namespace StatusText
