#include "GuiTestMain.h"

#include "Corvel/CorvelElidedText.h"
#include "Corvel/CorvelFailureView.h"
#include "desktop/Translations.h"

#include <QLabel>

class FailureViewTest : public QObject {
    Q_OBJECT
  private slots:
    // Which language wins has its own test; here the view follows the choice.
    void languageChoosesTheTexts() {
        for (bool chinese : {true, false}) {
            Translations::use({chinese ? "zh-CN" : "fr"});
            CorvelFailureView view("boom", {}, {});
            QCOMPARE(view.titleLabel()->text(),
                     QString(chinese ? "安装失败" : "Installation Failed"));
            QCOMPARE(view.button()->text(), QString(chinese ? "好" : "OK"));
            QCOMPARE(view.messageText()->text(), QString("boom"));
        }
    }

    void emptyMessageShowsTheDiskSpaceText() {
        Translations::use({"zh-CN"});
        CorvelFailureView zh("", {}, {});
        QCOMPARE(
            zh.messageText()->text(),
            QString(
                "磁盘空间不足！\n至少需要 1000 MB，但当前仅剩 120 MB。\n请清理一些空间后重试。"));
        Translations::use({"en"});
        CorvelFailureView en("", {}, {});
        QCOMPARE(en.messageText()->text(),
                 QString("Insufficient disk space!\nAt least 1000 MB is required, but only 120 MB "
                         "is available.\nPlease clear some space and try again."));
    }

    void longMessagesStopAtSixLinesWithAnEllipsis() {
        QStringList ten;
        for (int i = 1; i <= 10; ++i)
            ten << QString("line %1").arg(i);
        Translations::use({});
        CorvelFailureView view(ten.join('\n'), {}, {});
        view.resize(680, 400);
        view.show();
        QCOMPARE(view.messageText()->visibleLines(),
                 (QStringList{"line 1", "line 2", "line 3", "line 4", "line 5", "line 6…"}));
        // All six are laid out, not squeezed.
        QVERIFY(view.messageText()->height() >=
                6 * view.messageText()->fontMetrics().lineSpacing() - 1);

        // A single long paragraph wraps and is cut the same way.
        CorvelElidedText text(6);
        text.resize(200, 10);
        text.setText(QString("word ").repeated(200));
        const QStringList lines = text.visibleLines();
        QCOMPARE(lines.size(), 6);
        QVERIFY(lines.last().endsWith(QChar(0x2026)));
        for (const QString& line : lines)
            QVERIFY(text.fontMetrics().horizontalAdvance(line) <= 200);

        text.setText("short");
        QCOMPARE(text.visibleLines(), QStringList{"short"});
    }

    void eachPressQuitsOnceAndNothingRetries() {
        int quits = 0, retries = 0;
        CorvelFailureView view(
            "x", [&] { ++retries; }, [&] { ++quits; });
        view.resize(680, 400);
        view.show();
        QTest::mouseClick(view.button(), Qt::LeftButton);
        QCOMPARE(quits, 1);
        QTest::mouseClick(view.button(), Qt::LeftButton);
        QCOMPARE(quits, 2);
        QTest::mousePress(view.button(), Qt::LeftButton);
        QCOMPARE(quits, 2); // a press counts once it is released on the button
        QTest::mouseRelease(view.button(), Qt::LeftButton);
        QCOMPARE(quits, 3);
        // The keyboard alone: the view hands its focus to the button.
        view.activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(&view));
        view.setFocus();
        QCOMPARE(QApplication::focusWidget(), view.button());
        QTest::keyClick(view.button(), Qt::Key_Space);
        QTest::keyClick(view.button(), Qt::Key_Return);
        QTRY_COMPARE(quits, 5);
        QCOMPARE(retries, 0);
    }
};

CORVEL_GUI_TEST_MAIN(FailureViewTest)
#include "FailureViewTest.moc"
