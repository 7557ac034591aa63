#pragma once

#include "platform/HttpClient.h"

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

// What the downloader reads from response headers. Lenient where servers
// differ harmlessly, strict where a wrong reading would splice two files.
namespace HttpHeaderValues {

// The coding a body is sent in when it is not the file's own bytes (anything
// but identity); nothing for a body of the file itself.
std::optional<std::string> foreignContentEncoding(const platform::HttpResponseHead& head);

// A signed decimal with an optional leading sign and nothing else.
std::optional<std::int64_t> parseInt64(std::string_view text);
std::optional<std::int64_t> parseInt64(const std::optional<std::string>& text);

std::string_view trimSpacesAndTabs(std::string_view text);

// The total after the last "/" of a Content-Range value ("bytes 0-0/1000",
// "bytes */1000"); empty pieces between slashes are skipped.
std::optional<std::int64_t> contentRangeTotal(std::string_view value);

// The first byte position of "bytes A-B/T"; nothing when the value is not of that form.
std::optional<std::int64_t> contentRangeStart(std::string_view value);

// "bytes A-B/T" read whole, every piece a plain decimal and T known.
struct ContentRange {
    std::int64_t first = 0;
    std::int64_t last = 0;
    std::int64_t total = 0;
    friend bool operator==(const ContentRange&, const ContentRange&) = default;
};
std::optional<ContentRange> parseContentRange(std::string_view value);

// The full size a probe response states: Content-Range's total, else a 200's length.
std::optional<std::int64_t> resolveTotalBytes(const platform::HttpResponseHead& head);

// Retry-After as delta-seconds or an HTTP date, measured from `now`; a date in
// the past is zero. Nothing when absent or unreadable.
std::optional<std::chrono::seconds>
retryAfter(const platform::HttpResponseHead& head,
           std::chrono::system_clock::time_point now = std::chrono::system_clock::now());

// Statuses that say "later" rather than "never": too many requests and the
// server-side failures that pass.
bool isTransientStatus(long status);

} // namespace HttpHeaderValues
