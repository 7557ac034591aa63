#include "ProgressText.h"

#include <fmt/format.h>
#include <utf8proc.h>

#include <algorithm>
#include <cmath>
#include <string_view>

// Marks a sentence for Qt's lupdate; it joins the window's catalogue.
#define QT_TRANSLATE_NOOP(scope, text) text

namespace ProgressText {

namespace {

using VM = CorvelDownloadViewModel;

double overallOf(const VM::State& state) {
    if (auto* d = std::get_if<VM::Downloading>(&state)) return d->overallProgress;
    if (auto* e = std::get_if<VM::Extracting>(&state)) return e->overallProgress;
    return std::holds_alternative<VM::Success>(state) ? 1.0 : 0.0;
}

// What follows the percentage: the status line, or the outcome of a failure.
std::string detailOf(const VM::State& state, const StatusText::Translate& translate) {
    if (std::holds_alternative<VM::Failed>(state))
        return StatusText::worded(translate, QT_TRANSLATE_NOOP("StatusText", "failed"));
    return StatusText::line(state, translate);
}

} // namespace

int columnsOf(const std::string& text) {
    const auto* bytes = reinterpret_cast<const utf8proc_uint8_t*>(text.data());
    const auto length = static_cast<utf8proc_ssize_t>(text.size());
    int columns = 0;
    for (utf8proc_ssize_t at = 0; at < length;) {
        utf8proc_int32_t codepoint = 0;
        utf8proc_ssize_t used = utf8proc_iterate(bytes + at, length - at, &codepoint);
        if (used <= 0) { // an invalid byte shows as one replacement character
            ++columns;
            ++at;
            continue;
        }
        columns += std::max(utf8proc_charwidth(codepoint), 0);
        at += used;
    }
    return columns;
}

bool drawsBar(bool stderrIsTerminal, const char* term) {
    return stderrIsTerminal && term != nullptr && *term != '\0' && std::string_view(term) != "dumb";
}

int percentOf(const VM::State& state) {
    return static_cast<int>(std::clamp(std::lround(overallOf(state) * 100), 0L, 100L));
}

std::string barLine(const VM::State& state, int width, const StatusText::Translate& translate) {
    const int percent = percentOf(state);
    const std::string detail = detailOf(state, translate);
    // The bar takes what the text leaves, between 10 and 40 cells.
    const int text = 7 + columnsOf(detail);
    const int cells = std::clamp(width - text - 3, 10, 40);
    const int filled =
        static_cast<int>(std::lround(cells * std::clamp(overallOf(state), 0.0, 1.0)));
    std::string line = "[" + std::string(static_cast<std::size_t>(filled), '#') +
                       std::string(static_cast<std::size_t>(cells - filled), '.') + "]";
    line += fmt::format(" {:>3}%  {}", percent, detail);
    // A line as wide as the terminal would wrap and no longer redraw in place.
    while (!line.empty() && columnsOf(line) > width - 1) {
        std::size_t cut = line.size() - 1;
        while (cut > 0 && (static_cast<unsigned char>(line[cut]) & 0xC0) == 0x80)
            --cut;
        line.erase(cut);
    }
    return line;
}

std::optional<std::string> plainLine(const VM::State& state,
                                     const std::optional<VM::State>& lastShown,
                                     const StatusText::Translate& translate) {
    if (lastShown && lastShown->index() == state.index() &&
        percentOf(state) <= percentOf(*lastShown))
        return std::nullopt;
    return fmt::format("[{}] {:>3}%  {}", stageName(state), percentOf(state),
                       detailOf(state, translate));
}

} // namespace ProgressText
