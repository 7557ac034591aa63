#include "download/HttpHeaderValues.h"

#include <cctype>
#include <charconv>
#include <ctime>

namespace HttpHeaderValues {

std::optional<std::string> foreignContentEncoding(const platform::HttpResponseHead& head) {
    auto coding = head.header("Content-Encoding");
    if (!coding) return std::nullopt;
    std::string trimmed = *coding;
    trimmed.erase(0, trimmed.find_first_not_of(" \t"));
    trimmed.erase(trimmed.find_last_not_of(" \t") + 1);
    std::string lowered;
    for (char c : trimmed)
        lowered += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (lowered.empty() || lowered == "identity") return std::nullopt;
    return trimmed;
}

namespace {

bool allDigits(std::string_view text) {
    return !text.empty() && text.find_first_not_of("0123456789") == std::string_view::npos;
}

} // namespace

std::optional<std::int64_t> parseInt64(std::string_view text) {
    if (!text.empty() && text.front() == '+') text.remove_prefix(1);
    std::string_view digits = text;
    if (!digits.empty() && digits.front() == '-') digits.remove_prefix(1);
    if (!allDigits(digits)) return std::nullopt;
    std::int64_t value = 0;
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size()) return std::nullopt;
    return value;
}

std::optional<std::int64_t> parseInt64(const std::optional<std::string>& text) {
    return text ? parseInt64(std::string_view(*text)) : std::nullopt;
}

std::string_view trimSpacesAndTabs(std::string_view text) {
    auto first = text.find_first_not_of(" \t");
    if (first == std::string_view::npos) return {};
    auto last = text.find_last_not_of(" \t");
    return text.substr(first, last - first + 1);
}

std::optional<std::int64_t> contentRangeTotal(std::string_view value) {
    while (!value.empty() && value.back() == '/')
        value.remove_suffix(1);
    auto slash = value.rfind('/');
    if (slash == std::string_view::npos) return std::nullopt;
    return parseInt64(trimSpacesAndTabs(value.substr(slash + 1)));
}

std::optional<std::int64_t> contentRangeStart(std::string_view value) {
    value = trimSpacesAndTabs(value);
    constexpr std::string_view unit = "bytes";
    if (value.size() <= unit.size() || value.substr(0, unit.size()) != unit) return std::nullopt;
    value = trimSpacesAndTabs(value.substr(unit.size()));
    auto dash = value.find('-');
    if (dash == std::string_view::npos || dash == 0) return std::nullopt;
    auto start = value.substr(0, dash);
    if (!allDigits(start)) return std::nullopt;
    return parseInt64(start);
}

std::optional<ContentRange> parseContentRange(std::string_view value) {
    value = trimSpacesAndTabs(value);
    constexpr std::string_view unit = "bytes ";
    if (!value.starts_with(unit)) return std::nullopt;
    value = trimSpacesAndTabs(value.substr(unit.size()));
    auto dash = value.find('-');
    auto slash = value.find('/');
    if (dash == std::string_view::npos || slash == std::string_view::npos || slash < dash)
        return std::nullopt;
    auto first = value.substr(0, dash), last = value.substr(dash + 1, slash - dash - 1),
         total = value.substr(slash + 1);
    if (!allDigits(first) || !allDigits(last) || !allDigits(total)) return std::nullopt;
    auto a = parseInt64(first), b = parseInt64(last), t = parseInt64(total);
    if (!a || !b || !t || *a > *b || *b >= *t) return std::nullopt;
    return ContentRange{*a, *b, *t};
}

std::optional<std::int64_t> resolveTotalBytes(const platform::HttpResponseHead& head) {
    if (auto range = head.header("Content-Range")) return contentRangeTotal(*range);
    if (head.status == 200) return parseInt64(head.header("Content-Length"));
    return std::nullopt;
}

std::optional<std::chrono::seconds> retryAfter(const platform::HttpResponseHead& head,
                                               std::chrono::system_clock::time_point now) {
    auto value = head.header("Retry-After");
    if (!value || value->empty()) return std::nullopt;
    if (allDigits(*value)) {
        // Anything beyond a day is as good as "a long time"; the caller caps it anyway.
        if (value->size() > 6) return std::chrono::seconds(86400);
        return std::chrono::seconds(std::stol(*value));
    }
    // IMF-fixdate ("Sun, 06 Nov 1994 08:49:37 GMT"), read by hand: strptime's
    // names follow the locale, which a window program sets from the user's.
    static constexpr std::string_view months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                                  "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    std::string_view text(*value);
    auto comma = text.find(", ");
    if (comma == std::string_view::npos || text.size() != comma + 2 + 24) return std::nullopt;
    text.remove_prefix(comma + 2); // "06 Nov 1994 08:49:37 GMT"
    auto number = [&](std::size_t at, std::size_t length) -> std::optional<int> {
        auto piece = text.substr(at, length);
        if (!allDigits(piece)) return std::nullopt;
        return std::stoi(std::string(piece));
    };
    std::tm parts{};
    auto day = number(0, 2), year = number(7, 4), hour = number(12, 2), minute = number(15, 2),
         second = number(18, 2);
    int month = -1;
    for (int m = 0; m < 12; ++m)
        if (text.substr(3, 3) == months[m]) month = m;
    if (!day || !year || !hour || !minute || !second || month < 0 || text.substr(21) != "GMT")
        return std::nullopt;
    parts.tm_mday = *day;
    parts.tm_mon = month;
    parts.tm_year = *year - 1900;
    parts.tm_hour = *hour;
    parts.tm_min = *minute;
    parts.tm_sec = *second;
    auto at = std::chrono::system_clock::from_time_t(::timegm(&parts));
    if (at <= now) return std::chrono::seconds(0);
    return std::chrono::duration_cast<std::chrono::seconds>(at - now);
}

bool isTransientStatus(long status) {
    return status == 429 || status == 500 || status == 502 || status == 503 || status == 504;
}

} // namespace HttpHeaderValues
