#pragma once

#include <QColor>
#include <QFont>
#include <QStringView>

// Colours from hexadecimal text: 8 digits are AARRGGBB, 6 are RRGGBB, 3 are RGB
// with each digit doubled; anything else (after dropping every character that
// is not a letter or digit) is opaque black.
QColor colorFromHex(QStringView text);

// The few fonts the views use, each built once. Sizes are pixels: the design's
// sizes are points at 72 per inch, which a point size here would render about
// a third larger.
namespace CorvelFonts {
const QFont& medium14();   // the percentage
const QFont& semibold18(); // the failure title
const QFont& regular14();  // the failure message
const QFont& medium16();   // the failure button
const QFont& regular12();  // the status line under the bar
} // namespace CorvelFonts
