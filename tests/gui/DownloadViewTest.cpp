#include "GuiTestMain.h"
#include "ManualClock.h"

#include "Corvel/CorvelCarousel.h"
#include "Corvel/CorvelDownloadView.h"
#include "Corvel/CorvelStyle.h"
#include "desktop/Translations.h"

#include <QFile>
#include <QLabel>
#include <QMouseEvent>
#include <QRegularExpression>

#include <algorithm>
#include <limits>

using namespace std::chrono_literals;

namespace {

QList<CarouselImage> solidImages(int count) {
    QList<CarouselImage> images;
    for (int i = 0; i < count; ++i) {
        QImage image(40, 20, QImage::Format_RGB32);
        image.fill(QColor::fromHsv(i * 90, 200, 200));
        images.append(CarouselImage::fromImage(image));
    }
    return images;
}

void sendMouse(QWidget* widget, QEvent::Type type, QPointF at, Qt::MouseButtons buttons) {
    QMouseEvent event(type, at, widget->mapToGlobal(at), Qt::LeftButton, buttons, Qt::NoModifier);
    QCoreApplication::sendEvent(widget, &event);
}

// A horizontal drag by `dx` from the middle of the widget; `check` runs while
// the button is still down.
void swipe(QWidget* widget, double dx, const std::function<void()>& check = {}) {
    const QPointF start(widget->width() / 2.0, widget->height() / 2.0);
    sendMouse(widget, QEvent::MouseButtonPress, start, Qt::LeftButton);
    sendMouse(widget, QEvent::MouseMove, start + QPointF(dx, 0), Qt::LeftButton);
    if (check) check();
    sendMouse(widget, QEvent::MouseButtonRelease, start + QPointF(dx, 0), Qt::NoButton);
}

} // namespace

class DownloadViewTest : public QObject {
    Q_OBJECT
  private slots:
    void percentageAndFill() {
        ManualClock clock;
        CorvelDownloadView view({}, 3000ms, clock);
        view.resize(680, 400);
        view.show();
        const double nan = std::numeric_limits<double>::quiet_NaN();
        // The progress, its text and its fill of a 200-wide track.
        for (auto [progress, text, fill] :
             std::vector<std::tuple<double, QString, double>>{{0.004, "0%", 0.8},
                                                              {0.005, "1%", 1.0},
                                                              {0.995, "100%", 199.0},
                                                              {1.2, "100%", 200.0},
                                                              {-0.1, "0%", 0.0},
                                                              {nan, "0%", 0.0}}) {
            QCOMPARE(percentText(progress), text);
            QCOMPARE(progressFillWidth(200, progress), fill);
            view.setValues({progress, "3 assets", 0, 0, CorvelDownloadView::Stage::downloading});
            QCOMPARE(view.percentageLabel()->text(), text);
            const double track = view.progressBar()->width();
            QCOMPARE(view.progressBar()->fillWidth(), progressFillWidth(track, progress));
        }
        // The box fits the widest text, so no value is ever cut off.
        QVERIFY(view.percentageLabel()->width() >=
                view.percentageLabel()->fontMetrics().horizontalAdvance("100%"));
    }

    void colorsFromHex() {
        QCOMPARE(colorFromHex(u"#D9A766"), QColor(0xD9, 0xA7, 0x66, 0xFF));
        QCOMPARE(colorFromHex(u"80ff0000"), QColor(0xFF, 0, 0, 0x80));
        QCOMPARE(colorFromHex(u"#abc"), QColor(0xAA, 0xBB, 0xCC));
        QCOMPARE(colorFromHex(u" #E5-E2 DA "), QColor(0xE5, 0xE2, 0xDA));
        QCOMPARE(colorFromHex(u"#12345"), QColor(0, 0, 0));
        QCOMPARE(colorFromHex(u"#xyzxyz"), QColor(0, 0, 0));
        QCOMPARE(colorFromHex(u""), QColor(0, 0, 0));
    }

    void withoutImagesOrWithOne() {
        for (int count : {0, 1}) {
            ManualClock clock;
            CorvelCarousel carousel(solidImages(count), 3000ms, clock);
            carousel.resize(680, 352);
            carousel.show();
            QVERIFY(!carousel.isAutoAdvancing());
            QCOMPARE(clock.pendingCount(), std::size_t(0));
            swipe(&carousel, -300, [&] { QCOMPARE(carousel.dragOffset(), 0.0); });
            QCOMPARE(carousel.currentIndex(), 0);

            // Nothing but the background without images; the image covers all with one.
            QTRY_VERIFY_WITH_TIMEOUT(carousel.slidesReady(), 30000);
            const QImage shot = carousel.grab().toImage();
            const QColor expected =
                count == 0 ? colorFromHex(u"#F9FAFB") : QColor::fromHsv(0, 200, 200);
            for (QPoint p : {QPoint(1, 1), QPoint(340, 176), QPoint(678, 350)})
                QCOMPARE(shot.pixelColor(p).rgb(), expected.rgb());
        }
    }

    void swipesWrapAroundAndNeedMoreThanAFifth() {
        ManualClock clock;
        CorvelCarousel carousel(solidImages(3), 3000ms, clock);
        carousel.resize(680, 352); // a fifth is 136
        carousel.show();

        swipe(&carousel, 60, [&] { QCOMPARE(carousel.dragOffset(), 60.0); });
        QCOMPARE(carousel.currentIndex(), 0);
        QCOMPARE(carousel.dragOffset(), 0.0);

        // Right from the first wraps to the last, left from there back to the
        // first; exactly a fifth springs back; under the drag distance is no drag.
        for (auto [dx, index] : std::vector<std::pair<double, int>>{
                 {137, 2}, {-137, 0}, {-136, 0}, {136, 0}, {-9, 0}}) {
            swipe(&carousel, dx);
            QCOMPARE(carousel.currentIndex(), index);
            QCOMPARE(carousel.dragOffset(), 0.0);
        }
    }

    void autoAdvanceKeepsOrderAndASwipeRestartsTheWait() {
        ManualClock clock;
        CorvelCarousel carousel(solidImages(4), 3000ms, clock);
        carousel.resize(680, 352);
        carousel.show();
        QList<int> seen;
        for (int i = 0; i < 5; ++i) {
            clock.advance(2999ms);
            QCOMPARE(carousel.currentIndex(), seen.isEmpty() ? 0 : seen.last());
            clock.advance(1ms);
            seen.append(carousel.currentIndex());
        }
        QCOMPARE(seen, (QList<int>{1, 2, 3, 0, 1}));

        clock.advance(2000ms);
        swipe(&carousel, -200);
        QCOMPARE(carousel.currentIndex(), 2);
        clock.advance(2999ms); // the old deadline has passed without a change
        QCOMPARE(carousel.currentIndex(), 2);
        clock.advance(1ms);
        QCOMPARE(carousel.currentIndex(), 3);

        carousel.hide();
        QVERIFY(!carousel.isAutoAdvancing());
        clock.advance(10000ms);
        QCOMPARE(carousel.currentIndex(), 3);
        carousel.show();
        QVERIFY(carousel.isAutoAdvancing());
    }

    void progressKeepsTheCarouselAndAStageChangeStartsItAfresh() {
        ManualClock clock;
        CorvelDownloadView view(solidImages(3), 3000ms, clock);
        view.resize(680, 400);
        view.show();
        using Stage = CorvelDownloadView::Stage;
        clock.advance(3000ms);
        clock.advance(2000ms);
        QCOMPARE(view.carousel()->currentIndex(), 1);

        view.setValues({0.3, "3 assets", 10, 20, Stage::downloading});
        view.setValues({0.5, "3 assets", 15, 20, Stage::downloading});
        QCOMPARE(view.carousel()->currentIndex(), 1);
        clock.advance(1000ms); // the running wait was not restarted
        QCOMPARE(view.carousel()->currentIndex(), 2);

        view.setValues({0.92, "model", 0, 0, Stage::extracting});
        QCOMPARE(view.carousel()->currentIndex(), 0);
        clock.advance(2999ms);
        QCOMPARE(view.carousel()->currentIndex(), 0);
        clock.advance(1ms);
        QCOMPARE(view.carousel()->currentIndex(), 1);
    }

    void slidesArriveFromAWorkerEvenForAViewThatIsGone() {
        const QList<CarouselImage> images = loadCarouselImages(":/images/carousel_");
        ManualClock clock;
        {
            CorvelCarousel gone(images, 3000ms, clock);
            gone.resize(300, 200);
            gone.show();
        } // its renderings are still on their way
        CorvelCarousel carousel(images, 3000ms, clock);
        carousel.resize(300, 200);
        carousel.show();
        QTRY_VERIFY_WITH_TIMEOUT(carousel.slidesReady(), 30000);
        carousel.resize(400, 200);
        QVERIFY(!carousel.slidesReady());
        // Meanwhile the earlier rendering stands in for the slide.
        QVERIFY(carousel.grab().toImage().pixelColor(1, 1) != colorFromHex(u"#F9FAFB"));
        QTRY_VERIFY_WITH_TIMEOUT(carousel.slidesReady(), 30000);
    }

    void bundledSlidesRenderSharpAtTheirArea() {
        const QList<CarouselImage>& slides = bundledCarouselImages();
        QVERIFY(slides.size() >= 3);
        QVERIFY(slides.size() <= 64);
        // Covered edge to edge at twice the pixel density, and in a shape
        // other than its own.
        for (QSize size : {QSize(1360, 704), QSize(900, 900)}) {
            const QImage rendered = slides.first().renderCover(size);
            QCOMPARE(rendered.size(), size);
            for (QPoint p : {QPoint(0, 0), QPoint(size.width() - 1, size.height() - 1)})
                QCOMPARE(rendered.pixelColor(p).alpha(), 255);
        }
    }

    // Every word drawn in the art speaks the language in use; without a
    // catalogue the art stays as drawn.
    void slideWordsAreTranslated() {
        const QRegularExpression text("<text[^>]*>([^<]*)</text>");
        for (int k = 1;; ++k) {
            QFile file(QStringLiteral(":/images/carousel_%1").arg(k));
            if (!file.open(QIODevice::ReadOnly)) {
                QVERIFY(k > 3);
                break;
            }
            const QByteArray art = file.readAll();
            Translations::use({"zh-CN"});
            const QString chinese = QString::fromUtf8(translatedSlideArt(art));
            int words = 0;
            for (auto it = text.globalMatch(chinese); it.hasNext(); ++words) {
                const QString drawn = it.next().captured(1);
                QVERIFY2(std::any_of(drawn.begin(), drawn.end(),
                                     [](QChar c) { return c.unicode() > 0x7f; }),
                         qPrintable(drawn));
            }
            QVERIFY(words >= 2);
            Translations::use({});
            QCOMPARE(translatedSlideArt(art), art);
        }
    }
};

CORVEL_GUI_TEST_MAIN(DownloadViewTest)
#include "DownloadViewTest.moc"
