#include "GuiTestMain.h"
#include "ManualClock.h"

#include "Corvel/CorvelCarousel.h"
#include "Corvel/CorvelDownloadView.h"
#include "Corvel/CorvelElidedText.h"
#include "Corvel/CorvelFailureView.h"
#include "Corvel/CorvelRootView.h"
#include "Corvel/CorvelWindowChrome.h"
#include "Corvel/WindowFit.h"
#include "desktop/Translations.h"

#include <QLabel>
#include <QPushButton>
#include <QSignalSpy>

using namespace std::chrono_literals;
using VM = CorvelDownloadViewModel;
using Kind = CorvelTrafficButton::Kind;

class WindowTest : public QObject {
    Q_OBJECT
  private slots:
    void growsToTheMinimumAroundItsCentre() {
        const QSizeF minimum(680, 400);
        auto grown = WindowFit::growToMinimum(QRectF(100, 50, 600, 400), minimum);
        QVERIFY(grown);
        QCOMPARE(grown->size(), minimum);
        QCOMPARE(grown->center(), QRectF(100, 50, 600, 400).center());

        QVERIFY(!WindowFit::growToMinimum(QRectF(0, 0, 800, 500), minimum));
        QVERIFY(!WindowFit::growToMinimum(QRectF(0, 0, 679.6, 400), minimum));
        QVERIFY(WindowFit::growToMinimum(QRectF(0, 0, 679.4, 400), minimum));
        // Only the short side grows.
        QCOMPARE(WindowFit::growToMinimum(QRectF(0, 0, 900, 300), minimum)->size(),
                 QSizeF(900, 400));
    }

    void firstShowFitsTheScreen() {
        const QSizeF minimum(680, 400);
        const QRectF screen(0, 0, 1440, 900);
        auto shown = WindowFit::firstShow(QRectF(10, 10, 600, 380), minimum, screen);
        QVERIFY(shown);
        QCOMPARE(*shown, QRectF(380, 250, 680, 400));
        QVERIFY(!WindowFit::firstShow(QRectF(10, 10, 800, 500), minimum, screen));

        // A screen smaller than the minimum clips the target, not the minimum.
        const QRectF small(0, 20, 640, 360);
        QCOMPARE(*WindowFit::firstShow(QRectF(0, 0, 500, 300), minimum, small),
                 QRectF(0, 20, 640, 360));
        QVERIFY(!WindowFit::firstShow(QRectF(0, 0, 640, 360), minimum, small));

        // Without a screen the window grows where it is.
        QCOMPARE(*WindowFit::firstShow(QRectF(0, 0, 600, 400), minimum, std::nullopt),
                 QRectF(-40, 0, 680, 400));
    }

    void chromeKeepsTheContentAtItsMinimum() {
        CorvelWindowChrome window;
        auto* content = new QWidget;
        window.setContent(content);
        window.resize(300, 200);
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        QVERIFY(window.windowFlags() & Qt::FramelessWindowHint);
        QCOMPARE(window.titleBar()->height(), 36);
        QVERIFY(content->width() >= 680);
        QVERIFY(content->height() >= 400);

        // Content that asks for more grows the window around its centre.
        window.setGeometry(100, 100, 680, 436);
        const QPointF centre = QRectF(window.geometry()).center();
        window.requireContentSize(QSize(800, 500));
        QCOMPARE(window.size(), QSize(800, 536));
        QCOMPARE(QRectF(window.geometry()).center(), centre);
        QCOMPARE(window.minimumSize(), QSize(800, 536));
    }

    void trafficLightsHoverTogetherAndZoomNeverActs() {
        Translations::use({"zh-CN"});
        CorvelWindowChrome window;
        Translations::use({});
        window.show();
        CorvelTrafficLights* lights = window.titleBar()->lights();
        QCOMPARE(lights->button(Kind::close)->accessibleName(), QString("关闭"));
        QCOMPARE(lights->button(Kind::minimize)->accessibleName(), QString("最小化"));
        QCOMPARE(lights->button(Kind::zoomDisabled)->accessibleName(), QString("缩放（不可用）"));
        QCOMPARE(lights->x(), 20);

        // The pointer in the gap between two lights is over the group.
        const QPointF gap(CorvelTrafficButton::diameter + 4, 6);
        QEnterEvent enter(gap, lights->mapTo(&window, gap), lights->mapToGlobal(gap));
        QCoreApplication::sendEvent(lights, &enter);
        QVERIFY(lights->button(Kind::close)->showsGlyph());
        QVERIFY(lights->button(Kind::minimize)->showsGlyph());
        QVERIFY(!lights->button(Kind::zoomDisabled)->showsGlyph());
        QEvent leave(QEvent::Leave);
        QCoreApplication::sendEvent(lights, &leave);
        QVERIFY(!lights->button(Kind::close)->showsGlyph());

        QVERIFY(!lights->button(Kind::zoomDisabled)->isEnabled());
        QTest::mouseClick(lights->button(Kind::zoomDisabled), Qt::LeftButton);
        QVERIFY(window.isVisible());

        QTest::mouseClick(lights->button(Kind::close), Qt::LeftButton);
        QVERIFY(!window.isVisible());
    }

    void f1AsksForTheAboutBox() {
        CorvelWindowChrome window;
        window.show();
        window.activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(&window));
        QSignalSpy about(&window, &CorvelWindowChrome::aboutRequested);
        QTest::keyClick(&window, Qt::Key_F1);
        QCOMPARE(about.size(), 1);
    }

    void rootViewFollowsTheState() {
        ManualClock clock;
        int quits = 0;
        CorvelRootView::Setup setup;
        setup.onQuit = [&] { ++quits; };
        QImage slide(10, 10, QImage::Format_RGB32);
        slide.fill(Qt::red);
        setup.images = {CarouselImage::fromImage(slide), CarouselImage::fromImage(slide)};
        setup.clock = &clock;
        Translations::use({"en"});
        CorvelRootView root(setup);
        QSignalSpy shown(&root, &CorvelRootView::firstShown);
        root.show();
        root.hide();
        root.show();
        QCOMPARE(shown.size(), 1);

        root.setState(VM::Downloading{0.42, "3 assets", 1, 2});
        QCOMPARE(root.currentView(), root.downloadView());
        QCOMPARE(root.downloadView()->percentageLabel()->text(), QString("42%"));
        VM::Downloading figures{0.42, "3 assets", 1, 2};
        figures.transfer = {1'200'000'000, 3'400'000'000, 18'500'000, 119};
        root.setState(figures);
        QCOMPARE(root.downloadView()->statusLabel()->text(),
                 QString("1.2 GB / 3.4 GB · 18.5 MB/s · 2 min left"));
        // The pause button and Space ask for a pause, then for resuming.
        std::vector<bool> pauses;
        root.downloadView()->onPause = [&](bool pause) { pauses.push_back(pause); };
        QCOMPARE(root.downloadView()->pauseButton()->text(), QString("Pause"));
        QTest::mouseClick(root.downloadView()->pauseButton(), Qt::LeftButton);
        VM::Downloading paused = figures;
        paused.paused = true;
        paused.transfer.bytesPerSecond.reset();
        paused.transfer.secondsLeft.reset();
        root.setState(paused);
        QCOMPARE(root.downloadView()->statusLabel()->text(), QString("Paused · 1.2 GB / 3.4 GB"));
        QCOMPARE(root.downloadView()->pauseButton()->text(), QString("Resume"));
        root.activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(&root));
        QTest::keyClick(&root, Qt::Key_Space);
        QCOMPARE(pauses, (std::vector<bool>{true, false}));
        root.setState(VM::Extracting{0.95, "model", 1, 2});
        QCOMPARE(root.downloadView()->values().stage, CorvelDownloadView::Stage::extracting);
        QCOMPARE(root.downloadView()->values().currentBytes, 0);
        QCOMPARE(root.downloadView()->statusLabel()->text(), QString("Installing model (1 of 2)"));
        clock.advance(3000ms);
        QCOMPARE(root.downloadView()->carousel()->currentIndex(), 1);

        root.setState(VM::Failed{"网络错误"});
        QCOMPARE(root.currentView(), root.failureView());
        QCOMPARE(root.failureView()->messageText()->text(), QString("网络错误"));
        QTest::mouseClick(root.failureView()->button(), Qt::LeftButton);
        QCOMPARE(quits, 1);

        // A new run resets the state: the progress view is back, started afresh.
        root.setState(VM::Extracting{0.9, "model", 1, 2});
        QCOMPARE(root.currentView(), root.downloadView());
        QVERIFY(!root.failureView());
        QCOMPARE(root.downloadView()->carousel()->currentIndex(), 0);

        root.setState(VM::Success{});
        QCOMPARE(root.downloadView()->percentageLabel()->text(), QString("100%"));
        QCOMPARE(root.downloadView()->values().stage, CorvelDownloadView::Stage::success);

        // The status line speaks the failure view's language.
        Translations::use({"zh-CN", "en"});
        CorvelRootView chinese(setup);
        chinese.setState(figures);
        QCOMPARE(chinese.downloadView()->statusLabel()->text(),
                 QString("1.2 GB / 3.4 GB · 18.5 MB/s · 剩余 2 分钟"));
        Translations::use({});
    }
};

CORVEL_GUI_TEST_MAIN(WindowTest)
#include "WindowTest.moc"
