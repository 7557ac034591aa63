// The desktop's services as a session bus shows them, with this program
// standing in for the desktop: it records every notification, inhibitor and
// dock update. Runs inside its own bus (dbus-run-session).

#include "desktop/DesktopSession.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusObjectPath>
#include <QElapsedTimer>
#include <QVariantMap>
#include <gtest/gtest.h>

#include <chrono>

namespace {

using namespace std::chrono_literals;
using VM = CorvelDownloadViewModel;

// The desktop's own connection, apart from the one the code under test uses.
QDBusConnection desktopBus() {
    return QDBusConnection::connectToBus(QDBusConnection::SessionBus, "desktop");
}

// What the desktop was asked for, since the last Desktop was set up.
struct Recorded {
    QStringList calls;
    QList<QVariantMap> launcher;
    QStringList notifications;
} recorded;

class Recorder : public QObject {
    Q_OBJECT
  public slots:
    void onUpdate(const QString& app, const QVariantMap& properties) {
        if (app == "application://com.tavrin.setup.desktop") recorded.launcher.append(properties);
    }
};

class FakeRequest : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.portal.Request")
  public slots:
    Q_SCRIPTABLE void Close() { recorded.calls.append("portal Close"); }
};

class FakePortal : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.portal.Inhibit")
  public:
    FakePortal() {
        desktopBus().registerObject("/org/freedesktop/portal/desktop/request/1_1/corvel", &request,
                                    QDBusConnection::ExportScriptableSlots);
    }
    FakeRequest request;
  public slots:
    Q_SCRIPTABLE QDBusObjectPath Inhibit(const QString&, uint flags, const QVariantMap& options) {
        recorded.calls.append(QString("portal Inhibit %1 %2").arg(flags).arg(!options.isEmpty()));
        return QDBusObjectPath("/org/freedesktop/portal/desktop/request/1_1/corvel");
    }
};

class FakeScreenSaver : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.ScreenSaver")
  public slots:
    Q_SCRIPTABLE uint Inhibit(const QString&, const QString&) {
        recorded.calls.append("Inhibit");
        return 41;
    }
    Q_SCRIPTABLE void UnInhibit(uint cookie) {
        recorded.calls.append(QString("UnInhibit %1").arg(cookie));
    }
};

class FakeNotifications : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.Notifications")
  public slots:
    Q_SCRIPTABLE uint Notify(const QString&, uint, const QString&, const QString& summary,
                             const QString& body, const QStringList&, const QVariantMap&, int) {
        recorded.notifications.append(summary + ": " + body);
        return 1;
    }
};

template <class Service> void offer(Service& service, const char* name, const char* path) {
    QDBusConnection bus = desktopBus();
    ASSERT_TRUE(bus.registerObject(path, &service, QDBusConnection::ExportScriptableSlots));
    ASSERT_TRUE(bus.registerService(name));
}

void withdraw(const char* name, const char* path) {
    QDBusConnection bus = desktopBus();
    bus.unregisterObject(path);
    bus.unregisterService(name);
}

bool waitFor(const std::function<bool()>& condition) {
    QElapsedTimer waited;
    waited.start();
    while (!condition()) {
        if (waited.elapsed() > 30'000) return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    }
    return true;
}

// Lets every message already sent arrive and be answered.
void settle() {
    QDBusConnection::sessionBus().interface()->isServiceRegistered("org.freedesktop.DBus");
    desktopBus().interface()->isServiceRegistered("org.freedesktop.DBus");
    for (int i = 0; i < 5; ++i)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
}

struct Desktop {
    Desktop(bool portal, bool screenSaver) {
        recorded = {};
        desktopBus().connect("", "", "com.canonical.Unity.LauncherEntry", "Update", &recorder,
                             SLOT(onUpdate(QString, QVariantMap)));
        if (portal)
            offer(portalService, "org.freedesktop.portal.Desktop",
                  "/org/freedesktop/portal/desktop");
        if (screenSaver)
            offer(saver, "org.freedesktop.ScreenSaver", "/org/freedesktop/ScreenSaver");
        offer(notes, "org.freedesktop.Notifications", "/org/freedesktop/Notifications");
    }
    ~Desktop() {
        withdraw("org.freedesktop.portal.Desktop", "/org/freedesktop/portal/desktop");
        desktopBus().unregisterObject("/org/freedesktop/portal/desktop/request/1_1/corvel");
        withdraw("org.freedesktop.ScreenSaver", "/org/freedesktop/ScreenSaver");
        withdraw("org.freedesktop.Notifications", "/org/freedesktop/Notifications");
        desktopBus().disconnect("", "", "com.canonical.Unity.LauncherEntry", "Update", &recorder,
                                SLOT(onUpdate(QString, QVariantMap)));
    }
    Recorder recorder;
    FakePortal portalService;
    FakeScreenSaver saver;
    FakeNotifications notes;
};

struct FrontEnd {
    std::chrono::steady_clock::time_point now{};
    bool active = false;
    DesktopSession session{DesktopSession::Options{.notifyAfter = 20s,
                                                   .windowActive = [this] { return active; },
                                                   .now = [this] { return now; }}};
};

TEST(DesktopBus, ARunHoldsOffSleepShowsItsProgressAndSaysWhenItEndsUnseen) {
    ASSERT_TRUE(QDBusConnection::sessionBus().isConnected()) << "run inside dbus-run-session";
    struct Row {
        const char* what;
        bool portal;
        std::chrono::seconds lasted;
        bool active;
        VM::State end;
        QStringList calls;
        QStringList notifications;
    };
    const QStringList saver{"Inhibit", "UnInhibit 41"};
    // clang-format off
    for (const Row& row : std::vector<Row>{
             {"long, unseen", false, 21s, false, VM::Success{}, saver,
              {"Corvel is installed: Setup has finished."}},
             {"long, failed", false, 60s, false, VM::Failed{"网络错误"}, saver,
              {"Corvel setup failed: 网络错误"}},
             {"short", false, 19s, false, VM::Success{}, saver, {}},
             {"watched", false, 60s, true, VM::Success{}, saver, {}},
             {"portal first", true, 1s, false, VM::Success{}, {"portal Inhibit 12 1", "portal Close"}, {}}}) {
        // clang-format on
        SCOPED_TRACE(row.what);
        Desktop desktop(row.portal, true);
        FrontEnd run;
        run.active = row.active;
        run.session.show(VM::Downloading{0, "", 0, 0});
        ASSERT_TRUE(waitFor([&] { return !recorded.calls.isEmpty(); }));
        run.session.show(VM::Downloading{0.421, "2 assets", 1, 2});
        run.session.show(VM::Downloading{0.424, "2 assets", 1, 2}); // the same percent
        run.session.show(VM::Extracting{0.95, "a", 1, 1});
        run.now += row.lasted;
        run.session.show(row.end);
        ASSERT_TRUE(waitFor([&] { return recorded.calls.size() == 2; }));
        settle();
        EXPECT_EQ(recorded.calls, row.calls);
        EXPECT_EQ(recorded.notifications, row.notifications);
        ASSERT_EQ(recorded.launcher.size(), 4);
        EXPECT_EQ(recorded.launcher[1].value("progress").toDouble(), 0.42);
        EXPECT_TRUE(recorded.launcher[2].value("progress-visible").toBool());
        EXPECT_FALSE(recorded.launcher[3].value("progress-visible").toBool());
        EXPECT_FALSE(run.session.inhibiting());
    }
}

TEST(DesktopBus, TheInhibitorIsReleasedOnEveryEnding) {
    // A cancellation, a release while the desktop has not answered yet, and
    // the front-end going away in the middle of a run.
    for (int ending = 0; ending < 3; ++ending) {
        SCOPED_TRACE(ending);
        Desktop desktop(false, true);
        {
            FrontEnd run;
            run.session.show(VM::Downloading{0.1, "", 0, 0});
            if (ending != 1) {
                ASSERT_TRUE(waitFor([&] { return !recorded.calls.isEmpty(); }));
            }
            if (ending < 2) run.session.release();
            if (ending == 1) {
                ASSERT_TRUE(waitFor([&] { return !run.session.inhibiting(); }));
            }
        }
        ASSERT_TRUE(waitFor([&] { return recorded.calls.size() == 2; }));
        EXPECT_EQ(recorded.calls, (QStringList{"Inhibit", "UnInhibit 41"}));
    }
}

TEST(DesktopBus, NobodyListeningIsNoError) {
    FrontEnd run;
    run.session.show(VM::Downloading{0.5, "", 0, 0});
    ASSERT_TRUE(waitFor([&] { return !run.session.inhibiting(); }));
    run.now += 60s;
    run.session.show(VM::Success{});
    EXPECT_FALSE(run.session.inhibiting());
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}

#include "DesktopBusTest.moc"
