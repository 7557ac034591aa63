#include "desktop/DesktopSession.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QVariantMap>

#include <cmath>

namespace {

// A reply that never comes must not hold anything up for long.
constexpr int callTimeoutMs = 2000;
// What the inhibitors ask the desktop to hold off: suspend and idle.
constexpr uint portalSuspendAndIdle = 4 | 8;

QDBusConnection session() {
    return QDBusConnection::sessionBus();
}

QString reason() {
    return QCoreApplication::translate("DesktopSession", "Downloading and installing Corvel");
}

} // namespace

DesktopSession::DesktopSession(Options options, QObject* parent)
    : QObject(parent), options_(std::move(options)) {}

DesktopSession::~DesktopSession() {
    release();
    // Each answer may ask the next service, which sets asking_ again.
    while (inhibit_ == Inhibit::asking && asking_)
        asking_->waitForFinished();
    for (QDBusPendingCall& call : pending_)
        call.waitForFinished();
}

void DesktopSession::show(const CorvelDownloadViewModel::State& state) {
    using VM = CorvelDownloadViewModel;
    const auto* failed = std::get_if<VM::Failed>(&state);
    if (failed || std::holds_alternative<VM::Success>(state)) {
        if (!runStarted_) return;
        const bool long_ = options_.now() - *runStarted_ >= options_.notifyAfter;
        runStarted_.reset();
        release();
        if (options_.notify && long_ && !options_.windowActive())
            notifyEnd(!failed, failed ? QString::fromStdString(failed->message) : QString());
        return;
    }
    if (!runStarted_) {
        runStarted_ = options_.now();
        shownPercent_ = -1;
    }
    if (inhibit_ == Inhibit::none) acquire();
    const double progress = std::holds_alternative<VM::Downloading>(state)
                                ? std::get<VM::Downloading>(state).overallProgress
                                : std::get<VM::Extracting>(state).overallProgress;
    updateLauncher(std::clamp(progress, 0.0, 1.0));
}

void DesktopSession::acquire() {
    if (!session().isConnected()) return askLogind();
    inhibit_ = Inhibit::asking;
    releaseWhenAnswered_ = false;
    QDBusMessage call = QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.portal.Desktop"),
        QStringLiteral("/org/freedesktop/portal/desktop"),
        QStringLiteral("org.freedesktop.portal.Inhibit"), QStringLiteral("Inhibit"));
    call << QString() << portalSuspendAndIdle << QVariantMap{{QStringLiteral("reason"), reason()}};
    auto* watcher = new QDBusPendingCallWatcher(session().asyncCall(call, callTimeoutMs), this);
    asking_ = watcher;
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [this, watcher] {
        watcher->deleteLater();
        QDBusPendingReply<QDBusObjectPath> reply = *watcher;
        if (reply.isError()) return askScreenSaver();
        inhibit_ = Inhibit::portal;
        portalHandle_ = reply.value().path();
        if (releaseWhenAnswered_) release();
    });
}

void DesktopSession::askScreenSaver() {
    QDBusMessage call = QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.ScreenSaver"),
        QStringLiteral("/org/freedesktop/ScreenSaver"),
        QStringLiteral("org.freedesktop.ScreenSaver"), QStringLiteral("Inhibit"));
    call << QCoreApplication::applicationName() << reason();
    auto* watcher = new QDBusPendingCallWatcher(session().asyncCall(call, callTimeoutMs), this);
    asking_ = watcher;
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [this, watcher] {
        watcher->deleteLater();
        QDBusPendingReply<uint> reply = *watcher;
        if (reply.isError()) return askLogind();
        inhibit_ = Inhibit::screenSaver;
        screenSaverCookie_ = reply.value();
        if (releaseWhenAnswered_) release();
    });
}

void DesktopSession::askLogind() {
    QDBusConnection system = QDBusConnection::systemBus();
    if (!system.isConnected()) {
        inhibit_ = Inhibit::none;
        return;
    }
    inhibit_ = Inhibit::asking;
    QDBusMessage call = QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.login1"), QStringLiteral("/org/freedesktop/login1"),
        QStringLiteral("org.freedesktop.login1.Manager"), QStringLiteral("Inhibit"));
    call << QStringLiteral("sleep:idle") << QCoreApplication::applicationName() << reason()
         << QStringLiteral("block");
    auto* watcher = new QDBusPendingCallWatcher(system.asyncCall(call, callTimeoutMs), this);
    asking_ = watcher;
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [this, watcher] {
        watcher->deleteLater();
        QDBusPendingReply<QDBusUnixFileDescriptor> reply = *watcher;
        if (reply.isError() || releaseWhenAnswered_) {
            // Dropping the descriptor is logind's release.
            inhibit_ = Inhibit::none;
            return;
        }
        inhibit_ = Inhibit::logind;
        logindLock_ = reply.value();
    });
}

void DesktopSession::release() {
    switch (inhibit_) {
    case Inhibit::none:
        break;
    case Inhibit::asking:
        releaseWhenAnswered_ = true;
        return;
    case Inhibit::portal: {
        QDBusMessage close = QDBusMessage::createMethodCall(
            QStringLiteral("org.freedesktop.portal.Desktop"), portalHandle_,
            QStringLiteral("org.freedesktop.portal.Request"), QStringLiteral("Close"));
        pending_.append(session().asyncCall(close, callTimeoutMs));
        break;
    }
    case Inhibit::screenSaver: {
        QDBusMessage unInhibit = QDBusMessage::createMethodCall(
            QStringLiteral("org.freedesktop.ScreenSaver"),
            QStringLiteral("/org/freedesktop/ScreenSaver"),
            QStringLiteral("org.freedesktop.ScreenSaver"), QStringLiteral("UnInhibit"));
        unInhibit << screenSaverCookie_;
        pending_.append(session().asyncCall(unInhibit, callTimeoutMs));
        break;
    }
    case Inhibit::logind:
        logindLock_ = QDBusUnixFileDescriptor();
        break;
    }
    inhibit_ = Inhibit::none;
    if (shownPercent_ >= 0) updateLauncher(std::nullopt);
}

void DesktopSession::updateLauncher(std::optional<double> progress) {
    if (!options_.launcherEntry || !session().isConnected()) return;
    // One signal per whole percent: docks redraw on each.
    const int percent = progress ? int(std::lround(*progress * 100)) : -1;
    if (percent == shownPercent_) return;
    shownPercent_ = percent;
    QDBusMessage update = QDBusMessage::createSignal(
        QStringLiteral("/com/canonical/unity/launcherentry/corvel"),
        QStringLiteral("com.canonical.Unity.LauncherEntry"), QStringLiteral("Update"));
    QVariantMap properties{{QStringLiteral("progress-visible"), progress.has_value()}};
    if (progress) properties.insert(QStringLiteral("progress"), percent / 100.0);
    update << QStringLiteral("application://%1.desktop").arg(options_.desktopEntry) << properties;
    session().send(update);
}

void DesktopSession::notifyEnd(bool success, const QString& message) {
    if (!session().isConnected()) return;
    QDBusMessage notify = QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.Notifications"),
        QStringLiteral("/org/freedesktop/Notifications"),
        QStringLiteral("org.freedesktop.Notifications"), QStringLiteral("Notify"));
    const QString summary = success ? tr("Corvel is installed") : tr("Corvel setup failed");
    const QString body = success ? tr("Setup has finished.") : message;
    notify << QCoreApplication::applicationName() << uint(0) << options_.desktopEntry << summary
           << body << QStringList()
           << QVariantMap{{QStringLiteral("desktop-entry"), options_.desktopEntry}} << int(-1);
    pending_.append(session().asyncCall(notify, callTimeoutMs));
}
