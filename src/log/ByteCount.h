#pragma once

#include <cstdint>
#include <string>

// Byte counts for people, in the style of a file-size display with decimal
// units (1 KB = 1000 bytes):
//   0            -> "Zero KB"
//   1            -> "1 byte"
//   2 .. 999     -> "N bytes"
//   KB           -> no decimals          ("12 KB")
//   MB           -> at most 1 decimal    ("1.5 MB", "2 MB")
//   GB, TB, PB   -> at most 2 decimals   ("1.23 GB"); trailing zeros are dropped
// Values are rounded half away from zero; a value that rounds up to 1000 of a
// unit moves to the next unit. Negative counts carry a leading "-".
std::string formatByteCount(std::int64_t bytes);
