#include "GuiTestMain.h"
#include "ManualClock.h"

#include "Corvel/CorvelElidedText.h"
#include "Corvel/CorvelFailureView.h"
#include "Corvel/CorvelRootView.h"
#include "Corvel/CorvelSetupApp.h"
#include "Corvel/CorvelWindowChrome.h"
#include "manifest/CorvelRemoteManifest.h"
#include "platform/HttpClient.h"

#include <QTcpServer>
#include <QTcpSocket>

#include <atomic>

using namespace std::chrono_literals;
using VM = CorvelDownloadViewModel;

namespace {

constexpr int bound = 60000; // ms; generous for a loaded machine

struct Exits {
    QList<int> statuses;
    std::function<void(int)> recorder() {
        return [this](int status) { statuses.append(status); };
    }
};

// Takes connections on 127.0.0.1 and never answers, which keeps a run in its
// manifest request until it is cancelled; the manifest address points here
// for the life of the object.
class SilentServer {
  public:
    SilentServer() {
        if (!server_.listen(QHostAddress::LocalHost)) qFatal("cannot listen on 127.0.0.1");
        QObject::connect(&server_, &QTcpServer::newConnection, [this] {
            while (QTcpSocket* socket = server_.nextPendingConnection())
                held_.append(socket);
        });
        qputenv(CorvelRemoteManifest::endpointVariable,
                "http://127.0.0.1:" + QByteArray::number(server_.serverPort()) + "/");
    }
    ~SilentServer() { qunsetenv(CorvelRemoteManifest::endpointVariable); }
    int connections() const { return int(held_.size()); }

  private:
    QTcpServer server_;
    QList<QTcpSocket*> held_; // owned by the server
};

} // namespace

class ShellTest : public QObject {
    Q_OBJECT
  private slots:
    void initTestCase() { platform::initializeHttp(); }

    void aboutShowsTheBuildVersionOrAFallback() {
        QCOMPARE(aboutVersion("0.1.0"), QString("0.1.0"));
        QCOMPARE(aboutVersion(""), QString("1.0.0"));
        QCOMPARE(aboutVersion("  "), QString("1.0.0"));
    }

    void successQuitsAfterOneAndAHalfSeconds() {
        ManualClock clock;
        Exits exits;
        CorvelSetupApp app({{}, &clock, exits.recorder()});
        app.receive(VM::Extracting{0.95, "model", 1, 1});
        app.receive(VM::Success{});
        app.deliverNow();
        clock.advance(1499ms);
        QCOMPARE(exits.statuses, QList<int>{});
        // A repeated success does not move the deadline.
        app.receive(VM::Success{});
        app.deliverNow();
        clock.advance(1ms);
        QCOMPARE(exits.statuses, QList<int>{0});
        clock.advance(5000ms);
        QCOMPARE(exits.statuses, QList<int>{0});
    }

    void retryTwiceStartsOneRunAndTheFailureButtonQuits() {
        SilentServer server;
        ManualClock clock;
        Exits exits;
        CorvelSetupApp app({{}, &clock, exits.recorder()});
        std::atomic<int> failures = 0;
        app.viewModel().addObserver([&](const VM::State& state) {
            if (std::holds_alternative<VM::Failed>(state)) ++failures;
        });
        // The run waits on the silent server until it is cancelled, so the
        // second retry certainly meets the first run.
        app.retry();
        app.retry();
        QTRY_COMPARE_WITH_TIMEOUT(server.connections(), 1, bound);
        QVERIFY(app.viewModel().isRunning());
        app.viewModel().cancel();
        QTRY_VERIFY_WITH_TIMEOUT(!app.viewModel().isRunning(), bound);
        QCOMPARE(failures.load(), 1);
        QCOMPARE(server.connections(), 1);

        // Once the run has ended, a retry starts the next one.
        app.retry();
        QTRY_COMPARE_WITH_TIMEOUT(server.connections(), 2, bound);
        app.viewModel().cancel();
        QTRY_VERIFY_WITH_TIMEOUT(!app.viewModel().isRunning(), bound);

        app.deliverNow();
        auto* failure = app.rootView().failureView();
        QVERIFY(failure);
        QVERIFY(!failure->messageText()->text().isEmpty());
        QTest::mouseClick(failure->button(), Qt::LeftButton);
        QCOMPARE(exits.statuses, QList<int>{1});
    }

    void closingHidesAtOnceAndQuitsWhenTheRunHasStopped() {
        SilentServer server;

        ManualClock clock;
        Exits exits;
        CorvelSetupApp app({{}, &clock, exits.recorder()});
        app.show(); // the first show starts the run
        QTRY_COMPARE_WITH_TIMEOUT(server.connections(), 1, bound);
        QVERIFY(app.viewModel().isRunning());

        app.window().close();
        QVERIFY(!app.window().isVisible());
        QTRY_COMPARE_WITH_TIMEOUT(exits.statuses, QList<int>{1}, bound);
        QVERIFY(!app.viewModel().isRunning());
    }
};

CORVEL_GUI_TEST_MAIN(ShellTest)
#include "ShellTest.moc"
