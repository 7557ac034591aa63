#include "HttpValues.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cstdio>
#include <ctime>
#include <optional>

namespace fixture {

namespace {

std::optional<std::uint64_t> parseDigits(std::string_view text, bool& overflow) {
    overflow = false;
    if (text.empty()) return std::nullopt;
    std::uint64_t value = 0;
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (end != text.data() + text.size()) return std::nullopt;
    if (error == std::errc::result_out_of_range) {
        overflow = true;
        return UINT64_MAX;
    }
    if (error != std::errc()) return std::nullopt;
    return value;
}

} // namespace

std::string lowered(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

std::string trimmed(std::string_view text) {
    auto isSpace = [](char c) { return c == ' ' || c == '\t'; };
    while (!text.empty() && isSpace(text.front()))
        text.remove_prefix(1);
    while (!text.empty() && isSpace(text.back()))
        text.remove_suffix(1);
    return std::string(text);
}

std::string httpDate(std::chrono::system_clock::time_point when) {
    static constexpr const char* days[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
    static constexpr const char* months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                             "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    std::time_t seconds = std::chrono::system_clock::to_time_t(when);
    std::tm tm{};
    ::gmtime_r(&seconds, &tm);
    char buffer[40];
    std::snprintf(buffer, sizeof buffer, "%s, %02d %s %04d %02d:%02d:%02d GMT", days[tm.tm_wday],
                  tm.tm_mday, months[tm.tm_mon], tm.tm_year + 1900, tm.tm_hour, tm.tm_min,
                  tm.tm_sec);
    return buffer;
}

ByteRange parseRange(const std::string& header, std::uint64_t size) {
    std::string value = trimmed(header);
    if (lowered(value.substr(0, 6)) != "bytes=") return {};
    std::string_view rangeSet = std::string_view(value).substr(6);
    if (rangeSet.find(',') != std::string_view::npos) return {};
    auto dash = rangeSet.find('-');
    if (dash == std::string_view::npos) return {};
    std::string firstText = trimmed(rangeSet.substr(0, dash));
    std::string lastText = trimmed(rangeSet.substr(dash + 1));
    bool overflow = false;

    if (firstText.empty()) { // suffix: the last N bytes
        auto suffix = parseDigits(lastText, overflow);
        if (!suffix) return {};
        if (*suffix == 0 || size == 0) return {ByteRange::Kind::unsatisfiable};
        return {ByteRange::Kind::satisfiable, size - std::min(*suffix, size), size - 1};
    }
    auto first = parseDigits(firstText, overflow);
    if (!first) return {};
    std::uint64_t last = UINT64_MAX;
    if (!lastText.empty()) {
        bool lastOverflow = false;
        auto parsed = parseDigits(lastText, lastOverflow);
        if (!parsed || *parsed < *first) return {};
        last = *parsed;
    }
    if (*first >= size) return {ByteRange::Kind::unsatisfiable};
    return {ByteRange::Kind::satisfiable, *first, std::min(last, size - 1)};
}

bool ifRangeHolds(const std::string& header, const std::string& etag,
                  const std::string& lastModified) {
    std::string validator = trimmed(header);
    return validator == etag || (!validator.empty() && validator.front() != '"' &&
                                 validator.rfind("W/", 0) != 0 && validator == lastModified);
}

} // namespace fixture
