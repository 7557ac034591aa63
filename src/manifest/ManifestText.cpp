#include "manifest/ManifestText.h"

#include <utf8proc.h>

#include <array>

namespace CorvelRemoteManifest {

namespace {

// Space separators, line and paragraph separators and NEL, beyond ASCII.
constexpr std::array<std::string_view, 19> unicodeSpaces = {
    "\u0085", "\u00A0", "\u1680", "\u2000", "\u2001", "\u2002", "\u2003",
    "\u2004", "\u2005", "\u2006", "\u2007", "\u2008", "\u2009", "\u200A",
    "\u2028", "\u2029", "\u202F", "\u205F", "\u3000"};

bool isAsciiSpace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

// Byte length of the white-space character that text starts with; 0 for none.
std::size_t leadingSpace(std::string_view text) {
    if (text.empty()) return 0;
    if (isAsciiSpace(text.front())) return 1;
    for (auto space : unicodeSpaces)
        if (text.starts_with(space)) return space.size();
    return 0;
}

std::size_t trailingSpace(std::string_view text) {
    if (text.empty()) return 0;
    if (isAsciiSpace(text.back())) return 1;
    for (auto space : unicodeSpaces)
        if (text.ends_with(space)) return space.size();
    return 0;
}

} // namespace

std::string_view trimWhitespaceAndNewlines(std::string_view text) {
    while (std::size_t n = leadingSpace(text))
        text.remove_prefix(n);
    while (std::size_t n = trailingSpace(text))
        text.remove_suffix(n);
    return text;
}

bool isValidUtf8(std::string_view bytes) {
    const auto* data = reinterpret_cast<const utf8proc_uint8_t*>(bytes.data());
    auto remaining = static_cast<utf8proc_ssize_t>(bytes.size());
    while (remaining > 0) {
        utf8proc_int32_t codepoint = 0;
        utf8proc_ssize_t used = utf8proc_iterate(data, remaining, &codepoint);
        if (used <= 0) return false;
        data += used;
        remaining -= used;
    }
    return true;
}

std::string sanitizedUtf8(std::string_view bytes) {
    std::string out;
    out.reserve(bytes.size());
    const auto* data = reinterpret_cast<const utf8proc_uint8_t*>(bytes.data());
    auto remaining = static_cast<utf8proc_ssize_t>(bytes.size());
    while (remaining > 0) {
        utf8proc_int32_t codepoint = 0;
        utf8proc_ssize_t used = utf8proc_iterate(data, remaining, &codepoint);
        if (used <= 0) {
            out += "\uFFFD";
            used = 1;
        } else {
            out.append(reinterpret_cast<const char*>(data), static_cast<std::size_t>(used));
        }
        data += used;
        remaining -= used;
    }
    return out;
}

} // namespace CorvelRemoteManifest
