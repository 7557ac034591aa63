#include "Corvel/WindowFit.h"

#include <algorithm>

namespace WindowFit {

namespace {
bool fallsShort(const QSizeF& size, const QSizeF& target) {
    return size.width() < target.width() - tolerance || size.height() < target.height() - tolerance;
}
} // namespace

std::optional<QRectF> growToMinimum(const QRectF& frame, const QSizeF& requested) {
    if (!fallsShort(frame.size(), requested)) return std::nullopt;
    QRectF grown(QPointF(0, 0), frame.size().expandedTo(requested));
    grown.moveCenter(frame.center());
    return grown;
}

std::optional<QRectF> firstShow(const QRectF& frame, const QSizeF& requested,
                                const std::optional<QRectF>& screenAvailable) {
    const QSizeF target =
        screenAvailable ? requested.boundedTo(screenAvailable->size()) : requested;
    if (!fallsShort(frame.size(), target)) return std::nullopt;
    QRectF grown(QPointF(0, 0), frame.size().expandedTo(target));
    grown.moveCenter(screenAvailable ? screenAvailable->center() : frame.center());
    return grown;
}

} // namespace WindowFit
