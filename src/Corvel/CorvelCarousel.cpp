#include "Corvel/CorvelCarousel.h"

#include "Corvel/CorvelAccessibility.h"
#include "Corvel/CorvelStyle.h"

#include <QEasingCurve>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>

#include <algorithm>
#include <cmath>

namespace {

// The usual ease-in-out timing curve (control points 0.42,0 and 0.58,1).
QEasingCurve easeInOut() {
    QEasingCurve curve(QEasingCurve::BezierSpline);
    curve.addCubicBezierSegment(QPointF(0.42, 0), QPointF(0.58, 1), QPointF(1, 1));
    return curve;
}

QPainterPath capsule(const QRectF& rect) {
    QPainterPath path;
    const qreal radius = std::min(rect.width(), rect.height()) / 2;
    path.addRoundedRect(rect, radius, radius);
    return path;
}

} // namespace

CorvelCarouselDot::CorvelCarouselDot(QWidget* parent) : QWidget(parent) {
    setAttribute(Qt::WA_TransparentForMouseEvents);
    setAttribute(Qt::WA_NoSystemBackground);
}

CorvelCarousel::CorvelCarousel(QList<CarouselImage> images, std::chrono::milliseconds interval,
                               CorvelClock& clock, QWidget* parent)
    : QWidget(parent), images_(std::move(images)), interval_(interval), clock_(clock) {
    setAttribute(Qt::WA_OpaquePaintEvent);
    slide_.setDuration(int(slideDuration.count()));
    slide_.setEasingCurve(easeInOut());
    connect(&slide_, &QVariantAnimation::valueChanged, this, [this](const QVariant& value) {
        position_ = value.toDouble();
        update();
    });
    installCorvelAccessibility();
    setAccessibleName(tr("Pictures"));
    if (count() >= 2)
        for (int i = 0; i < count(); ++i) {
            auto* dot = new CorvelCarouselDot(this);
            dot->setAccessibleName(tr("Picture %1 of %2").arg(i + 1).arg(count()));
            dots_.append(dot);
        }
    layoutDots();
}

void CorvelCarousel::layoutDots() {
    if (dots_.isEmpty()) return;
    const double current = dotSize + 6;
    double x = (width() - (dotSize * (count() - 1) + current + dotSpacing * (count() - 1))) / 2;
    const double y = height() - dotBottomMargin - dotSize;
    for (int i = 0; i < count(); ++i) {
        const double w = i == index_ ? current : dotSize;
        dots_[i]->setCurrent(i == index_);
        dots_[i]->setGeometry(QRectF(x, y, w, dotSize).toAlignedRect());
        x += w + dotSpacing;
    }
}

CorvelCarousel::~CorvelCarousel() = default;

void CorvelCarousel::startFresh() {
    slide_.stop();
    index_ = 0;
    position_ = 0;
    dragOffset_ = 0;
    pressAt_.reset();
    dragging_ = false;
    if (isVisible()) restartAutoAdvance();
    layoutDots();
    update();
}

void CorvelCarousel::restartAutoAdvance() {
    autoTimer_.reset();
    if (count() < 2) return;
    autoTimer_ = clock_.after(interval_, [this] {
        slideTo((index_ + 1) % count());
        restartAutoAdvance();
    });
}

void CorvelCarousel::slideTo(int index) {
    // Start from where the strip is drawn now, drag included, so nothing jumps.
    const double from = position_ - (width() > 0 ? dragOffset_ / width() : 0);
    index_ = index;
    dragOffset_ = 0;
    slide_.stop();
    position_ = from;
    slide_.setStartValue(from);
    slide_.setEndValue(double(std::min(index_, std::max(count() - 1, 0))));
    slide_.start();
    layoutDots();
    update();
}

void CorvelCarousel::endDrag(double translation) {
    if (count() < 2) return;
    const double threshold = width() * swipeThreshold;
    int next = index_;
    if (translation < -threshold)
        next = (index_ + 1) % count();
    else if (translation > threshold)
        next = (index_ - 1 + count()) % count();
    slideTo(next);
    restartAutoAdvance();
}

void CorvelCarousel::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    if (index_ >= count() && count() >= 1) {
        index_ = 0;
        position_ = 0;
    }
    layoutDots();
    prepareSlides();
    restartAutoAdvance();
}

void CorvelCarousel::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    layoutDots();
    if (isVisible()) prepareSlides();
}

bool CorvelCarousel::slidesReady() const {
    return std::all_of(images_.begin(), images_.end(), [this](const CarouselImage& image) {
        return image.hasRendering(size(), devicePixelRatioF());
    });
}

void CorvelCarousel::prepareSlides() {
    // All of them, not only the one on screen: the next slide must be ready
    // before a swipe or the auto-advance brings it in.
    for (int k = 0; k < count(); ++k)
        images_[(index_ + k) % count()].prepare(size(), devicePixelRatioF(), this,
                                                [this] { update(); });
}

void CorvelCarousel::hideEvent(QHideEvent* event) {
    QWidget::hideEvent(event);
    autoTimer_.reset();
}

void CorvelCarousel::mousePressEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton) return QWidget::mousePressEvent(event);
    pressAt_ = event->position();
    dragging_ = false;
}

void CorvelCarousel::mouseMoveEvent(QMouseEvent* event) {
    if (!pressAt_) return QWidget::mouseMoveEvent(event);
    const QPointF delta = event->position() - *pressAt_;
    if (!dragging_ && std::hypot(delta.x(), delta.y()) >= dragStartDistance) dragging_ = true;
    if (dragging_ && count() >= 2) {
        dragOffset_ = delta.x();
        update();
    }
}

void CorvelCarousel::mouseReleaseEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton || !pressAt_) return QWidget::mouseReleaseEvent(event);
    const QPointF delta = event->position() - *pressAt_;
    const bool wasDragging = dragging_ || std::hypot(delta.x(), delta.y()) >= dragStartDistance;
    pressAt_.reset();
    dragging_ = false;
    if (wasDragging) endDrag(delta.x());
}

void CorvelCarousel::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    const QRectF area = rect();
    painter.fillRect(area, colorFromHex(u"#F9FAFB"));
    if (count() == 0) return;
    painter.setClipRect(area);
    const double w = area.width();
    const double shift = dragOffset_ - w * position_;
    for (int i = 0; i < count(); ++i) {
        const QRectF slot(std::round(i * w + shift), 0, w, area.height());
        // Until its rendering arrives from the worker, a slide shows the background.
        if (slot.intersects(area)) images_[i].paintCover(painter, slot, this, [this] { update(); });
    }
    if (count() >= 2) paintDots(painter);
}

void CorvelCarousel::paintDots(QPainter& painter) {
    // Each dot's share of "current" follows the strip, so the dots change with
    // the slide's easing instead of jumping.
    QList<double> weights;
    double total = dotSpacing * (count() - 1);
    for (int i = 0; i < count(); ++i) {
        weights.append(std::clamp(1 - std::abs(position_ - i), 0.0, 1.0));
        total += dotSize + 6 * weights.last();
    }
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(Qt::NoPen);
    double x = (width() - total) / 2;
    const double y = height() - dotBottomMargin - dotSize;
    for (int i = 0; i < count(); ++i) {
        const QRectF dot(x, y, dotSize + 6 * weights[i], dotSize);
        // A soft shadow one point down: black at 0.2, spread over about 2 points.
        for (int ring = 2; ring >= 0; --ring) {
            const double grow = ring * 0.75;
            painter.setBrush(QColor(0, 0, 0, ring == 0 ? 22 : 14));
            painter.drawPath(capsule(dot.translated(0, 1).adjusted(-grow, -grow, grow, grow)));
        }
        painter.setBrush(QColor(255, 255, 255, int(std::lround(255 * (0.4 + 0.6 * weights[i])))));
        painter.drawPath(capsule(dot));
        x += dot.width() + dotSpacing;
    }
}
