#include "Corvel/CorvelElidedText.h"

#include "Corvel/CorvelAccessibility.h"

#include <QAccessible>
#include <QFontMetricsF>
#include <QPainter>
#include <QTextLayout>

#include <cmath>

CorvelElidedText::CorvelElidedText(int maxLines, QWidget* parent)
    : QWidget(parent), maxLines_(maxLines) {
    QSizePolicy policy(QSizePolicy::Preferred, QSizePolicy::Minimum);
    policy.setHeightForWidth(true);
    setSizePolicy(policy);
    installCorvelAccessibility();
}

void CorvelElidedText::setText(const QString& text) {
    if (text == text_) return;
    text_ = text;
    QAccessibleEvent changed(this, QAccessible::NameChanged);
    QAccessible::updateAccessibility(&changed);
    updateGeometry();
    update();
}

QStringList CorvelElidedText::linesFor(int width) const {
    QStringList lines;
    if (text_.isEmpty() || width <= 0) return lines;
    QString text = text_;
    text.replace(u'\n', QChar::LineSeparator);
    QTextLayout layout(text, font());
    QTextOption option;
    option.setWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
    layout.setTextOption(option);
    layout.beginLayout();
    bool more = false;
    for (;;) {
        QTextLine line = layout.createLine();
        if (!line.isValid()) break;
        line.setLineWidth(width);
        if (lines.size() == maxLines_) {
            more = true;
            break;
        }
        QString part = text.mid(line.textStart(), line.textLength());
        while (part.endsWith(QChar::LineSeparator) || part.endsWith(u' '))
            part.chop(1);
        lines.append(part);
    }
    layout.endLayout();
    if (more && !lines.isEmpty()) {
        const QFontMetricsF metrics(font());
        const QString ellipsis(QChar(0x2026));
        QString last = lines.last();
        while (!last.isEmpty() && metrics.horizontalAdvance(last + ellipsis) > width)
            last.chop(1);
        lines.last() = last + ellipsis;
    }
    return lines;
}

int CorvelElidedText::heightForWidth(int width) const {
    const qsizetype count = linesFor(width).size();
    return int(std::ceil(QFontMetricsF(font()).lineSpacing() * double(count)));
}

QSize CorvelElidedText::sizeHint() const {
    const int w = width() > 0 ? width() : 400;
    return {w, heightForWidth(w)};
}

QSize CorvelElidedText::minimumSizeHint() const {
    return {0, heightForWidth(width())};
}

void CorvelElidedText::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setPen(palette().color(QPalette::WindowText));
    painter.setFont(font());
    const QFontMetricsF metrics(font());
    double y = metrics.ascent();
    for (const QString& line : visibleLines()) {
        painter.drawText(QPointF(0, y), line);
        y += metrics.lineSpacing();
    }
}
