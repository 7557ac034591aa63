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
    // An answer still on its way would hold the inhibitor past this object.
    while (inhibit_ == Inhibit::asking) {
        releaseWhenAnswered_ = true;
        asking_->waitForFinished();
        ++questions_;
        answered();
    }
    release();
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
    if (!session().isConnected()) return ask(Inhibit::logind);
    ask(Inhibit::portal);
}

void DesktopSession::ask(Inhibit which) {
    QDBusConnection bus = which == Inhibit::logind ? QDBusConnection::systemBus() : session();
    if (!bus.isConnected()) {
        inhibit_ = Inhibit::none;
        return;
    }
    QDBusMessage call;
    if (which == Inhibit::portal) {
        call = QDBusMessage::createMethodCall(QStringLiteral("org.freedesktop.portal.Desktop"),
                                              QStringLiteral("/org/freedesktop/portal/desktop"),
                                              QStringLiteral("org.freedesktop.portal.Inhibit"),
                                              QStringLiteral("Inhibit"));
        call << QString() << portalSuspendAndIdle
             << QVariantMap{{QStringLiteral("reason"), reason()}};
    } else if (which == Inhibit::screenSaver) {
        call = QDBusMessage::createMethodCall(QStringLiteral("org.freedesktop.ScreenSaver"),
                                              QStringLiteral("/org/freedesktop/ScreenSaver"),
                                              QStringLiteral("org.freedesktop.ScreenSaver"),
                                              QStringLiteral("Inhibit"));
        call << QCoreApplication::applicationName() << reason();
    } else {
        call = QDBusMessage::createMethodCall(
            QStringLiteral("org.freedesktop.login1"), QStringLiteral("/org/freedesktop/login1"),
            QStringLiteral("org.freedesktop.login1.Manager"), QStringLiteral("Inhibit"));
        call << QStringLiteral("sleep:idle") << QCoreApplication::applicationName() << reason()
             << QStringLiteral("block");
    }
    if (inhibit_ == Inhibit::none) releaseWhenAnswered_ = false;
    inhibit_ = Inhibit::asking;
    askingFor_ = which;
    asking_ = bus.asyncCall(call, callTimeoutMs);
    const int question = ++questions_;
    auto* watcher = new QDBusPendingCallWatcher(*asking_, this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [this, watcher, question] {
        watcher->deleteLater();
        if (question == questions_ && inhibit_ == Inhibit::asking) answered();
    });
}

void DesktopSession::answered() {
    const QDBusMessage reply = QDBusPendingReply<>(*asking_).reply();
    const bool failed = reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty();
    if (failed) {
        if (askingFor_ == Inhibit::portal) return ask(Inhibit::screenSaver);
        if (askingFor_ == Inhibit::screenSaver) return ask(Inhibit::logind);
        inhibit_ = Inhibit::none;
        return;
    }
    inhibit_ = askingFor_;
    const QVariant value = reply.arguments().first();
    if (askingFor_ == Inhibit::portal)
        portalHandle_ = qvariant_cast<QDBusObjectPath>(value).path();
    else if (askingFor_ == Inhibit::screenSaver)
        screenSaverCookie_ = value.toUInt();
    else
        logindLock_ = qvariant_cast<QDBusUnixFileDescriptor>(value);
    if (releaseWhenAnswered_) release();
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
