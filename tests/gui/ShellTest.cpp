#include "GuiTestMain.h"
#include "ManualClock.h"

#include "Corvel/CorvelDownloadView.h"
#include "Corvel/CorvelElidedText.h"
#include "Corvel/CorvelFailureView.h"
#include "Corvel/CorvelRootView.h"
#include "Corvel/CorvelSetupApp.h"
#include "Corvel/CorvelWindowChrome.h"
#include "FixtureServer.h"
#include "install/InstallTestSupport.h"
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

    // States that arrive inside the redraw interval wait for the timer and
    // reach the views together; once the interval has passed they go at once.
    void redrawsAreThrottledButNeverLost() {
        ManualClock clock;
        Exits exits;
        CorvelSetupApp app({{}, &clock, exits.recorder()});
        auto shown = [&] { return app.rootView().downloadView()->values().overallProgress; };
        app.receive(VM::Downloading{0.1, "2 assets", 1, 10});
        QCoreApplication::processEvents();
        QCOMPARE(app.redrawCount(), 1);
        QCOMPARE(shown(), 0.1);

        clock.advance(10ms);
        app.receive(VM::Downloading{0.2, "2 assets", 2, 10});
        app.receive(VM::Downloading{0.3, "2 assets", 3, 10});
        QCoreApplication::processEvents();
        QCOMPARE(app.redrawCount(), 1);
        clock.advance(39ms);
        QCOMPARE(app.redrawCount(), 1);
        clock.advance(1ms); // 50 ms after the last redraw
        QCOMPARE(app.redrawCount(), 2);
        QCOMPARE(shown(), 0.3);
        QCOMPARE(clock.pendingCount(), std::size_t(0));

        // Past the interval (also far past it), a state is drawn without a timer.
        clock.advance(5000ms);
        app.receive(VM::Extracting{0.95, "model", 1, 1});
        QCoreApplication::processEvents();
        QCOMPARE(app.redrawCount(), 3);
        QCOMPARE(app.rootView().downloadView()->values().stage,
                 CorvelDownloadView::Stage::extracting);
        QCOMPARE(clock.pendingCount(), std::size_t(0));
    }

    // The run succeeds before the window has drawn it; closing the window then
    // must not turn the success into a failure.
    void closingAfterSuccessExitsZero() {
        fixture::FixtureServer server;
        server.setFile("/Corvel.zip", bundleArchive());
        server.setTemplate("/manifest", R"({"status":"success","data":{
            "app":{"download_url":"{BASE}/Corvel.zip"},"models":[]}})");
        server.start();
        qputenv(CorvelRemoteManifest::endpointVariable, server.url("/manifest").c_str());

        ManualClock clock;
        Exits exits;
        CorvelSetupApp::Options options{{}, &clock, exits.recorder()};
        options.viewModel.launchApplication = false;
        CorvelSetupApp app(std::move(options));
        app.retry();
        app.viewModel().wait(); // the GUI thread sees none of the states meanwhile
        QVERIFY(std::holds_alternative<VM::Success>(app.viewModel().state()));
        app.window().close();
        QCOMPARE(exits.statuses, QList<int>{0});
        qunsetenv(CorvelRemoteManifest::endpointVariable);
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
