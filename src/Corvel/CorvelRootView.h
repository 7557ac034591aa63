#pragma once

#include "Corvel/CarouselImage.h"
#include "Corvel/CorvelClock.h"
#include "pipeline/CorvelDownloadViewModel.h"

#include <QStringList>
#include <QWidget>

#include <chrono>
#include <functional>

class CorvelDownloadView;
class CorvelFailureView;
class QStackedLayout;

// Turns the run's published state into the progress view or the failure view.
class CorvelRootView : public QWidget {
    Q_OBJECT
  public:
    using State = CorvelDownloadViewModel::State;

    struct Setup {
        std::function<void()> onRetry;
        std::function<void()> onQuit;
        std::function<void(bool pause)> onPause;
        QList<CarouselImage> images = bundledCarouselImages();
        std::chrono::milliseconds carouselInterval{3000};
        CorvelClock* clock = &CorvelClock::system();
    };

    explicit CorvelRootView(Setup setup, QWidget* parent = nullptr);

    void setState(const State& state);

    // The view on screen: the progress view or the failure view.
    QWidget* currentView() const;
    CorvelDownloadView* downloadView() const { return download_; }
    CorvelFailureView* failureView() const { return failure_; }

  signals:
    // Once, when the view is shown for the first time; the shell starts the run.
    void firstShown();

  protected:
    void showEvent(QShowEvent* event) override;

  private:
    Setup setup_;
    QStackedLayout* stack_;
    CorvelDownloadView* download_;
    CorvelFailureView* failure_ = nullptr;
    bool shownBefore_ = false;
};
