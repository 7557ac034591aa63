#pragma once

#include "Corvel/CarouselImage.h"
#include "Corvel/CorvelClock.h"

#include <QProgressBar>
#include <QString>
#include <QWidget>

#include <chrono>
#include <cstdint>
#include <functional>

class CorvelCarousel;
class QLabel;
class QPushButton;

// The percentage beside the bar: 100 above 1, 0 below 0, otherwise rounded
// to the nearest whole percent with halves away from zero.
QString percentText(double overallProgress);

// How much of a track of `trackWidth` the fill covers.
double progressFillWidth(double trackWidth, double overallProgress);

// The thin capsule bar: track and fill, 4 high. A progress bar underneath, so
// assistive technology finds it with its value in whole percent.
class CorvelProgressBar : public QProgressBar {
    Q_OBJECT
  public:
    static constexpr int barHeight = 4;

    explicit CorvelProgressBar(QWidget* parent = nullptr);
    void setProgress(double overallProgress);
    double fillWidth() const { return progressFillWidth(width(), progress_); }

  protected:
    void paintEvent(QPaintEvent* event) override;

  private:
    double progress_ = 0;
};

// What the window shows while the run downloads, installs or has succeeded:
// the carousel over a bottom bar with the progress and its percentage.
class CorvelDownloadView : public QWidget {
    Q_OBJECT
  public:
    enum class Stage { downloading, extracting, success };
    struct Values {
        double overallProgress = 0;
        // Carried for completeness; the layout shows the overall progress only.
        QString assetName;
        std::int64_t currentBytes = 0;
        std::int64_t totalBytes = 0;
        Stage stage = Stage::downloading;
        // The line under the bar, worded by the caller: bytes, speed and
        // time left, or the asset being installed.
        QString status = {};
        bool paused = false;
    };

    static constexpr int bottomBarHeight = 48;
    static constexpr int statusHeight = 22;
    static constexpr int sideInset = 24;
    static constexpr int barTextSpacing = 9;
    static constexpr std::chrono::milliseconds defaultInterval{3000};

    explicit CorvelDownloadView(QList<CarouselImage> images = bundledCarouselImages(),
                                std::chrono::milliseconds interval = defaultInterval,
                                CorvelClock& clock = CorvelClock::system(),
                                QWidget* parent = nullptr);

    // The pause button or Space: the run should pause, or resume when paused.
    std::function<void(bool pause)> onPause;

    // Progress changes keep the carousel where it is; a change of stage starts
    // it afresh, as a new view would.
    void setValues(const Values& values);
    const Values& values() const { return values_; }

    CorvelCarousel* carousel() const { return carousel_; }
    CorvelProgressBar* progressBar() const { return bar_; }
    QLabel* percentageLabel() const { return percent_; }
    QLabel* statusLabel() const { return status_; }
    QPushButton* pauseButton() const { return pause_; }

  private:
    void showPauseState();

    Values values_;
    CorvelCarousel* carousel_;
    CorvelProgressBar* bar_;
    QLabel* percent_;
    QLabel* status_;
    QPushButton* pause_;
};
