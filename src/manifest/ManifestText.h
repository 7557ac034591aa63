#pragma once

#include <string>
#include <string_view>

namespace CorvelRemoteManifest {

// Strips white space and line breaks from both ends: the ASCII ones and the
// Unicode space separators (no-break space, ideographic space, line and
// paragraph separators, ...), as people paste them into variables and JSON.
std::string_view trimWhitespaceAndNewlines(std::string_view text);

// Whether the bytes are well-formed UTF-8 as a whole (no overlong forms, no
// surrogates, no sequence cut off at the end).
bool isValidUtf8(std::string_view bytes);

// The text with every byte that is not part of well-formed UTF-8 replaced by
// U+FFFD, so a message built from remote bytes can be logged and stored as JSON.
std::string sanitizedUtf8(std::string_view bytes);

} // namespace CorvelRemoteManifest
