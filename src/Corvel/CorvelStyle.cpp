#include "Corvel/CorvelStyle.h"

#include <QString>

QColor colorFromHex(QStringView text) {
    QString digits;
    for (QChar c : text)
        if (c.isLetterOrNumber()) digits.append(c);
    bool ok = false;
    const quint64 value = digits.toULongLong(&ok, 16);
    if (!ok) return QColor(0, 0, 0);
    switch (digits.size()) {
    case 8:
        return QColor::fromRgb(int((value >> 16) & 0xFF), int((value >> 8) & 0xFF),
                               int(value & 0xFF), int((value >> 24) & 0xFF));
    case 6:
        return QColor::fromRgb(int((value >> 16) & 0xFF), int((value >> 8) & 0xFF),
                               int(value & 0xFF));
    case 3:
        return QColor::fromRgb(int((value >> 8) & 0xF) * 17, int((value >> 4) & 0xF) * 17,
                               int(value & 0xF) * 17);
    default:
        return QColor(0, 0, 0);
    }
}

namespace {
QFont makeFont(int pixelSize, QFont::Weight weight) {
    QFont font;
    font.setPixelSize(pixelSize);
    font.setWeight(weight);
    return font;
}
} // namespace

namespace CorvelFonts {
const QFont& medium14() {
    static const QFont font = makeFont(14, QFont::Medium);
    return font;
}
const QFont& semibold18() {
    static const QFont font = makeFont(18, QFont::DemiBold);
    return font;
}
const QFont& regular14() {
    static const QFont font = makeFont(14, QFont::Normal);
    return font;
}
const QFont& medium16() {
    static const QFont font = makeFont(16, QFont::Medium);
    return font;
}
const QFont& regular12() {
    static const QFont font = makeFont(12, QFont::Normal);
    return font;
}
} // namespace CorvelFonts
