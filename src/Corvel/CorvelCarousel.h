#pragma once

#include "Corvel/CarouselImage.h"
#include "Corvel/CorvelClock.h"

#include <QPointF>
#include <QVariantAnimation>
#include <QWidget>

#include <chrono>
#include <memory>
#include <optional>

// One dot under the slides, for assistive technology: it draws nothing (the
// carousel paints the dots) and lets every click through.
class CorvelCarouselDot : public QWidget {
    Q_OBJECT
  public:
    explicit CorvelCarouselDot(QWidget* parent);
    bool isCurrent() const { return current_; }
    void setCurrent(bool current) { current_ = current; }

  private:
    bool current_ = false;
};

// The image carousel of the progress view: a strip of slides that advances by
// itself, can be swiped, and shows a row of dots when there is more than one.
class CorvelCarousel : public QWidget {
    Q_OBJECT
  public:
    static constexpr double swipeThreshold = 0.2;   // of the width
    static constexpr double dragStartDistance = 10; // before a drag counts
    static constexpr std::chrono::milliseconds slideDuration{350};
    static constexpr double dotSize = 6;
    static constexpr double dotSpacing = 8;
    static constexpr double dotBottomMargin = 8;

    CorvelCarousel(QList<CarouselImage> images, std::chrono::milliseconds interval,
                   CorvelClock& clock, QWidget* parent = nullptr);
    ~CorvelCarousel() override;

    int currentIndex() const { return index_; }
    double dragOffset() const { return dragOffset_; }
    bool isAutoAdvancing() const { return autoTimer_ != nullptr; }
    // Every slide has been rendered for the current size and pixel density.
    bool slidesReady() const;

    // Back to the first slide with a full interval before the next change, as
    // a carousel that has just been created.
    void startFresh();

  protected:
    void paintEvent(QPaintEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;

  private:
    void restartAutoAdvance();
    void slideTo(int index);
    void endDrag(double translation);
    void paintDots(QPainter& painter);
    // Puts the accessible dots where the dots rest once a slide has settled.
    void layoutDots();
    void prepareSlides();
    int count() const { return int(images_.size()); }

    QList<CarouselImage> images_;
    std::chrono::milliseconds interval_;
    CorvelClock& clock_;
    std::unique_ptr<CorvelTimer> autoTimer_;

    int index_ = 0;
    double dragOffset_ = 0;
    // Where the strip is drawn, in slides; follows index_ through the animation.
    double position_ = 0;
    QVariantAnimation slide_;

    QList<CorvelCarouselDot*> dots_;
    std::optional<QPointF> pressAt_;
    bool dragging_ = false;
};
