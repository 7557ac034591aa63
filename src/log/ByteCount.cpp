#include "log/ByteCount.h"

#include <fmt/format.h>

#include <array>
#include <cmath>

std::string formatByteCount(std::int64_t bytes) {
    if (bytes == 0) return "Zero KB";
    const bool negative = bytes < 0;
    // Work in unsigned magnitude so INT64_MIN does not overflow.
    const auto magnitude =
        negative ? static_cast<std::uint64_t>(-(bytes + 1)) + 1 : static_cast<std::uint64_t>(bytes);
    const std::string sign = negative ? "-" : "";
    if (magnitude < 1000)
        return fmt::format("{}{} {}", sign, magnitude, magnitude == 1 ? "byte" : "bytes");

    struct Unit {
        const char* word;
        int decimals;
    };
    constexpr std::array<Unit, 6> units{
        {{"KB", 0}, {"MB", 1}, {"GB", 2}, {"TB", 2}, {"PB", 2}, {"EB", 2}}};
    double value = static_cast<double>(magnitude) / 1000.0;
    std::size_t index = 0;
    for (;;) {
        const double scale = std::pow(10.0, units[index].decimals);
        const double rounded = std::round(value * scale) / scale;
        if (rounded >= 1000.0 && index + 1 < units.size()) {
            value /= 1000.0;
            ++index;
            continue;
        }
        std::string text = fmt::format("{:.{}f}", rounded, units[index].decimals);
        if (text.find('.') != std::string::npos) {
            while (text.back() == '0')
                text.pop_back();
            if (text.back() == '.') text.pop_back();
        }
        return fmt::format("{}{} {}", sign, text, units[index].word);
    }
}
