#include "Corvel/CorvelRootView.h"

#include "Corvel/CorvelCarousel.h"
#include "Corvel/CorvelDownloadView.h"
#include "Corvel/CorvelFailureView.h"
#include "Corvel/WindowFit.h"
#include "desktop/Translations.h"
#include "pipeline/StatusText.h"

#include <QStackedLayout>

namespace {
template <class... F> struct Overloaded : F... { using F::operator()...; };
template <class... F> Overloaded(F...) -> Overloaded<F...>;
} // namespace

CorvelRootView::CorvelRootView(Setup setup, QWidget* parent)
    : QWidget(parent), setup_(std::move(setup)), stack_(new QStackedLayout(this)),
      download_(new CorvelDownloadView(setup_.images, setup_.carouselInterval, *setup_.clock)) {
    setMinimumSize(WindowFit::minimumContent.toSize());
    download_->onPause = setup_.onPause;
    stack_->addWidget(download_);
}

QWidget* CorvelRootView::currentView() const {
    return stack_->currentWidget();
}

void CorvelRootView::setState(const State& state) {
    using Stage = CorvelDownloadView::Stage;
    auto showProgress = [&](CorvelDownloadView::Values values) {
        values.status =
            QString::fromStdString(StatusText::line(state, Translations::statusWords()));
        // A progress view that comes back after a failure starts afresh.
        const bool returning = stack_->currentWidget() != download_;
        download_->setValues(values);
        if (returning) {
            download_->carousel()->startFresh();
            stack_->setCurrentWidget(download_);
        }
        if (failure_) {
            stack_->removeWidget(failure_);
            failure_->deleteLater();
            failure_ = nullptr;
        }
    };
    std::visit(Overloaded{
                   [&](const CorvelDownloadViewModel::Downloading& s) {
                       showProgress({s.overallProgress,
                                     QString::fromStdString(s.currentAsset),
                                     s.currentBytes,
                                     s.totalBytes,
                                     Stage::downloading,
                                     {},
                                     s.paused});
                   },
                   [&](const CorvelDownloadViewModel::Extracting& s) {
                       showProgress({s.overallProgress,
                                     QString::fromStdString(s.currentAsset),
                                     0,
                                     0,
                                     Stage::extracting,
                                     {},
                                     s.paused});
                   },
                   [&](const CorvelDownloadViewModel::Success&) {
                       showProgress({1.0, QString(), 0, 0, Stage::success});
                   },
                   [&](const CorvelDownloadViewModel::Failed& s) {
                       if (failure_) {
                           stack_->removeWidget(failure_);
                           failure_->deleteLater();
                       }
                       failure_ = new CorvelFailureView(QString::fromStdString(s.message),
                                                        setup_.onRetry, setup_.onQuit);
                       stack_->addWidget(failure_);
                       stack_->setCurrentWidget(failure_);
                       failure_->setFocus();
                   },
               },
               state);
}

void CorvelRootView::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    if (shownBefore_) return;
    shownBefore_ = true;
    emit firstShown();
}
