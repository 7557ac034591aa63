#include "ProgressText.h"

#include "log/ByteCount.h"

#include <fmt/format.h>

#include <algorithm>
#include <cmath>
#include <type_traits>

namespace ProgressText {

namespace {

using VM = CorvelDownloadViewModel;

double overallOf(const VM::State& state) {
    if (auto* d = std::get_if<VM::Downloading>(&state)) return d->overallProgress;
    if (auto* e = std::get_if<VM::Extracting>(&state)) return e->overallProgress;
    return std::holds_alternative<VM::Success>(state) ? 1.0 : 0.0;
}

// What follows the percentage: bytes and label, the step, or the outcome.
std::string detailOf(const VM::State& state) {
    return std::visit(
        [](const auto& s) -> std::string {
            using T = std::decay_t<decltype(s)>;
            if constexpr (std::is_same_v<T, VM::Downloading>) {
                if (s.totalBytes <= 0) return "准备中";
                return fmt::format("{} / {}  {}  下载中", formatByteCount(s.currentBytes),
                                   formatByteCount(s.totalBytes), s.currentAsset);
            } else if constexpr (std::is_same_v<T, VM::Extracting>) {
                return fmt::format("安装 {}/{}  {}", s.stepIndex, s.stepTotal, s.currentAsset);
            } else if constexpr (std::is_same_v<T, VM::Failed>) {
                return "失败";
            } else {
                return "完成";
            }
        },
        state);
}

// Display columns of UTF-8 text: CJK ideographs and full-width forms take two.
int columnsOf(const std::string& text) {
    int columns = 0;
    for (std::size_t i = 0; i < text.size();) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        std::size_t length = c < 0x80 ? 1 : c < 0xE0 ? 2 : c < 0xF0 ? 3 : 4;
        columns += length == 3 ? 2 : 1;
        i += length;
    }
    return columns;
}

} // namespace

int percentOf(const VM::State& state) {
    return static_cast<int>(std::clamp(std::lround(overallOf(state) * 100), 0L, 100L));
}

std::string barLine(const VM::State& state, int width) {
    const int percent = percentOf(state);
    const std::string detail = detailOf(state);
    // The bar takes what the text leaves, between 10 and 40 cells.
    const int text = 7 + columnsOf(detail);
    const int cells = std::clamp(width - text - 3, 10, 40);
    const int filled =
        static_cast<int>(std::lround(cells * std::clamp(overallOf(state), 0.0, 1.0)));
    std::string line = "[" + std::string(static_cast<std::size_t>(filled), '#') +
                       std::string(static_cast<std::size_t>(cells - filled), '.') + "]";
    line += fmt::format(" {:>3}%  {}", percent, detail);
    // A line longer than the terminal would wrap and no longer redraw in place.
    while (columnsOf(line) > width - 1 && !line.empty()) {
        std::size_t cut = line.size() - 1;
        while (cut > 0 && (static_cast<unsigned char>(line[cut]) & 0xC0) == 0x80)
            --cut;
        line.erase(cut);
    }
    return line;
}

std::optional<std::string> plainLine(const VM::State& state,
                                     const std::optional<VM::State>& previous) {
    if (previous && previous->index() == state.index() && percentOf(*previous) == percentOf(state))
        return std::nullopt;
    return fmt::format("[{}] {:>3}%  {}", stageName(state), percentOf(state), detailOf(state));
}

} // namespace ProgressText
