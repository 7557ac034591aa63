#pragma once

#include "Corvel/CorvelClock.h"
#include "desktop/DesktopSession.h"
#include "pipeline/CorvelDownloadViewModel.h"
#include "pipeline/StateMailbox.h"

#include <QObject>
#include <QString>
#include <QTimer>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>

class CorvelRootView;
class CorvelWindowChrome;

// "42% · Corvel" while the run works, "Corvel" otherwise.
QString windowTitle(const CorvelDownloadViewModel::State& state);

// "1.0.0" when the build carries no version.
QString aboutVersion(const QString& buildVersion);

// The application: one view model, one window, and the rules that start a run,
// retry it and end the program.
class CorvelSetupApp : public QObject {
    Q_OBJECT
  public:
    static constexpr std::chrono::milliseconds quitDelay{1500};

    struct Options {
        CorvelDownloadViewModel::Options viewModel;
        CorvelClock* clock = &CorvelClock::system();
        // Ends the program with a status; the event loop's exit by default.
        std::function<void(int)> exit;
    };

    explicit CorvelSetupApp(Options options);
    ~CorvelSetupApp() override;

    // Opens the window; the run starts once its content is first shown.
    void show();

    // Starts a run unless one is in progress.
    void retry();

    CorvelWindowChrome& window() const { return *window_; }
    CorvelRootView& rootView() const { return *root_; }
    CorvelDownloadViewModel& viewModel() { return viewModel_; }

    // Hands a published state to the GUI thread; callable from any thread.
    // The run's observer calls it.
    void receive(const CorvelDownloadViewModel::State& state);

    // Everything received so far reaches the views now, without waiting for
    // the redraw interval.
    void deliverNow();

    // How many times received states have reached the views.
    int redrawCount() const { return redraws_; }

  protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

  private:
    void deliverPending();
    void apply(const CorvelDownloadViewModel::State& state);
    void closeRequested();
    // Whether the run has published its success; the views may not know yet.
    bool runSucceeded() const;
    void finish(int status);
    void showAbout();

    Options options_;
    std::unique_ptr<CorvelWindowChrome> window_;
    CorvelRootView* root_;
    StateMailbox mailbox_;
    std::optional<std::chrono::milliseconds> lastRedraw_;
    std::unique_ptr<CorvelTimer> redrawTimer_;
    int redraws_ = 0;
    QTimer stopPoll_;
    std::unique_ptr<CorvelTimer> quitTimer_;
    std::unique_ptr<DesktopSession> desktop_;
    bool succeeded_ = false; // the views have shown the success
    bool finished_ = false;
    // Last: destroyed first, so the run is stopped and joined before anything
    // its observer reaches goes away.
    CorvelDownloadViewModel viewModel_;
};
