#pragma once

#include "pipeline/CorvelDownloadViewModel.h"

#include <QDBusPendingCall>
#include <QDBusUnixFileDescriptor>
#include <QObject>
#include <QString>

#include <chrono>
#include <functional>
#include <optional>

// What the desktop around a front-end learns of a run, over the session bus:
// the machine does not sleep while it downloads or installs, the dock shows
// its progress, and a long run that ends unseen raises a notification. With
// no bus, or no service on it, nothing happens and nothing fails.
//
// Lives on the front-end's Qt thread; every call there returns at once, the
// bus replies arrive through its event loop.
class DesktopSession : public QObject {
    Q_OBJECT
  public:
    using Clock = std::function<std::chrono::steady_clock::time_point()>;

    struct Options {
        // The desktop file the dock knows the window by, without ".desktop".
        QString desktopEntry = QStringLiteral("com.tavrin.setup");
        bool launcherEntry = true; // the dock's progress (a window only)
        bool notify = true;        // the notification at the end (a window only)
        // A run shorter than this ends without a notification: the user is
        // still looking.
        std::chrono::milliseconds notifyAfter{20'000};
        // Whether the user is looking at the window; no notification then.
        std::function<bool()> windowActive = [] { return false; };
        Clock now = [] { return std::chrono::steady_clock::now(); };
    };

    explicit DesktopSession(Options options, QObject* parent = nullptr);
    // Releases what is still held and waits, briefly, for the bus to hear it.
    ~DesktopSession() override;

    // Each state the front-end shows, in order.
    void show(const CorvelDownloadViewModel::State& state);

    // The run is over however it ended (a close, a cancellation): nothing is
    // held any more.
    void release();

    // Whether a sleep inhibitor is held or being asked for.
    bool inhibiting() const { return inhibit_ != Inhibit::none; }

  private:
    enum class Inhibit { none, asking, portal, screenSaver, logind };

    void acquire();
    void ask(Inhibit which);
    void answered();
    void updateLauncher(std::optional<double> progress);
    void notifyEnd(bool success, const QString& message);

    Options options_;
    Inhibit inhibit_ = Inhibit::none;
    bool releaseWhenAnswered_ = false;
    Inhibit askingFor_ = Inhibit::none;
    std::optional<QDBusPendingCall> asking_;
    int questions_ = 0; // which answer the watchers wait for
    QString portalHandle_;
    uint screenSaverCookie_ = 0;
    QDBusUnixFileDescriptor logindLock_;
    std::optional<std::chrono::steady_clock::time_point> runStarted_;
    int shownPercent_ = -1;
    QList<QDBusPendingCall> pending_;
};
