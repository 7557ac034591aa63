#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>

// The header values the fixture server reads and writes itself: names
// compared without case, HTTP dates, one byte range and If-Range.
namespace fixture {

std::string lowered(std::string text);
// Without the blanks and tabs at either end.
std::string trimmed(std::string_view text);
// "Sun, 06 Nov 1994 08:49:37 GMT".
std::string httpDate(std::chrono::system_clock::time_point when);

struct ByteRange {
    enum class Kind { none, satisfiable, unsatisfiable } kind = Kind::none;
    std::uint64_t first = 0;
    std::uint64_t last = 0; // inclusive
};

// One byte range of the "bytes" unit. Several ranges, other units and
// malformed values yield Kind::none, which means: answer with the whole body,
// as a server may ignore any Range it does not want to serve.
ByteRange parseRange(const std::string& header, std::uint64_t size);

// Whether an If-Range value keeps the range: only a strong validator equal to
// the current ETag, or a date equal to the current Last-Modified.
bool ifRangeHolds(const std::string& header, const std::string& etag,
                  const std::string& lastModified);

} // namespace fixture
