#include "Corvel/CorvelSetupApp.h"

#include "BuildInfo.h"
#include "Corvel/CorvelDownloadView.h"
#include "Corvel/CorvelRootView.h"
#include "Corvel/CorvelWindowChrome.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QMessageBox>

QString windowTitle(const CorvelDownloadViewModel::State& state) {
    // The taskbar shows the title: the percentage is readable there too.
    double progress = -1;
    if (auto* d = std::get_if<CorvelDownloadViewModel::Downloading>(&state))
        progress = d->overallProgress;
    else if (auto* e = std::get_if<CorvelDownloadViewModel::Extracting>(&state))
        progress = e->overallProgress;
    if (progress < 0) return QStringLiteral("Corvel");
    return QStringLiteral("%1 · Corvel").arg(percentText(progress));
}

QString aboutVersion(const QString& buildVersion) {
    return buildVersion.trimmed().isEmpty() ? QStringLiteral("1.0.0") : buildVersion.trimmed();
}

CorvelSetupApp::CorvelSetupApp(Options options)
    : options_(std::move(options)), window_(std::make_unique<CorvelWindowChrome>()),
      viewModel_(options_.viewModel) {
    if (!options_.exit) options_.exit = [](int status) { QCoreApplication::exit(status); };

    CorvelRootView::Setup setup;
    setup.onRetry = [this] { retry(); };
    setup.onQuit = [this] { finish(1); };
    setup.onPause = [this](bool pause) { pause ? viewModel_.pause() : viewModel_.resume(); };
    setup.clock = options_.clock;
    root_ = new CorvelRootView(std::move(setup));
    window_->setContent(root_);
    window_->installEventFilter(this);
    connect(window_.get(), &CorvelWindowChrome::aboutRequested, this, &CorvelSetupApp::showAbout);
    connect(root_, &CorvelRootView::firstShown, this, [this] { viewModel_.start(); });

    stopPoll_.setInterval(10);
    connect(&stopPoll_, &QTimer::timeout, this, [this] {
        if (!viewModel_.isRunning()) finish(runSucceeded() ? 0 : 1);
    });

    // The dock, the notification and the sleep inhibitor.
    desktop_ = std::make_unique<DesktopSession>(
        DesktopSession::Options{.windowActive = [this] { return window_->isActiveWindow(); }});

    viewModel_.addObserver([this](const CorvelDownloadViewModel::State& state) { receive(state); });
}

void CorvelSetupApp::receive(const CorvelDownloadViewModel::State& state) {
    // Wake the GUI thread only when the mailbox was empty, so a burst of
    // progress costs one wake-up; the GUI thread never waits for the run.
    if (mailbox_.post(state))
        QMetaObject::invokeMethod(this, &CorvelSetupApp::deliverPending, Qt::QueuedConnection);
}

CorvelSetupApp::~CorvelSetupApp() {
    // The run must end before the window goes: its observer posts into this
    // object. After success it is only launching the application, which must
    // not be cut short.
    if (!runSucceeded()) viewModel_.cancel();
    viewModel_.wait();
}

void CorvelSetupApp::show() {
    window_->show();
}

void CorvelSetupApp::retry() {
    viewModel_.start();
}

void CorvelSetupApp::deliverPending() {
    if (redrawTimer_) return; // it delivers everything pending when it fires
    // One reading of the clock: a second one could land past the interval and
    // ask for a negative wait, and a wake-up that never comes would leave the
    // window at its last state for good.
    const std::chrono::milliseconds now = options_.clock->now();
    const std::chrono::milliseconds wait = lastRedraw_
                                               ? StateMailbox::redrawInterval - (now - *lastRedraw_)
                                               : std::chrono::milliseconds(0);
    if (wait <= std::chrono::milliseconds(0)) return deliverNow();
    redrawTimer_ = options_.clock->after(std::min(wait, StateMailbox::redrawInterval),
                                         [this] { deliverNow(); });
}

void CorvelSetupApp::deliverNow() {
    redrawTimer_.reset();
    lastRedraw_ = options_.clock->now();
    ++redraws_;
    for (const CorvelDownloadViewModel::State& state : mailbox_.take())
        apply(state);
}

void CorvelSetupApp::apply(const CorvelDownloadViewModel::State& state) {
    if (finished_) return;
    const bool success = std::holds_alternative<CorvelDownloadViewModel::Success>(state);
    if (success && !succeeded_) {
        quitTimer_ = options_.clock->after(quitDelay, [this] { finish(0); });
    }
    succeeded_ = success;
    root_->setState(state);
    desktop_->show(state);
    window_->setWindowTitle(windowTitle(state));
}

bool CorvelSetupApp::eventFilter(QObject* watched, QEvent* event) {
    if (watched == window_.get() && event->type() == QEvent::Close) {
        event->accept();
        closeRequested();
        return true;
    }
    return QObject::eventFilter(watched, event);
}

void CorvelSetupApp::closeRequested() {
    // Gone from the screen at once; the program ends as soon as the run has
    // wound down, which the GUI thread checks without waiting on it.
    window_->hide();
    // The status says how the run ended, not what the window had shown of it:
    // a run that has succeeded is only launching the application, which a
    // close neither cancels nor turns into a failure.
    if (!viewModel_.isRunning()) return finish(runSucceeded() ? 0 : 1);
    if (!runSucceeded()) viewModel_.cancel();
    stopPoll_.start();
}

bool CorvelSetupApp::runSucceeded() const {
    return std::holds_alternative<CorvelDownloadViewModel::Success>(viewModel_.state());
}

void CorvelSetupApp::finish(int status) {
    if (finished_) return;
    finished_ = true;
    stopPoll_.stop();
    desktop_->release();
    quitTimer_.reset();
    window_->hide();
    options_.exit(status);
}

void CorvelSetupApp::showAbout() {
    const QString version = aboutVersion(QStringLiteral(CORVEL_VERSION));
    QMessageBox::about(window_.get(), tr("About Corvel"),
                       tr("<b>Corvel</b><p>Version %1</p>"
                          "<p>Copyright © 2025 Tavrin. All rights reserved.</p>")
                           .arg(version.toHtmlEscaped()));
}
