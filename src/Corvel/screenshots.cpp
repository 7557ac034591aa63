// Renders the setup window in each of its states into PNG files, so the look
// can be checked without running a setup.
#include "Corvel/CorvelCarousel.h"
#include "Corvel/CorvelDownloadView.h"
#include "Corvel/CorvelRootView.h"
#include "Corvel/CorvelWindowChrome.h"
#include "desktop/Translations.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QDir>
#include <QElapsedTimer>
#include <QPixmap>

#include <algorithm>
#include <cstdio>
#include <vector>

namespace {

using VM = CorvelDownloadViewModel;

struct Shot {
    QString name;
    VM::State state;
    QStringList languages;
    int firstSlide = 0; // shows the slides from this one on, to see each of them
};

std::vector<Shot> shots() {
    const QStringList zh{QStringLiteral("zh-CN")};
    const QStringList en{QStringLiteral("en-US")};
    VM::Downloading midway{0.42, "3 assets", 1'430'000'000, 3'400'000'000};
    midway.transfer = {1'230'000'000, 3'400'000'000, 18'500'000, 118};
    return {
        {QStringLiteral("downloading-0"), VM::Downloading{0, "3 assets", 0, 0}, zh},
        {QStringLiteral("downloading-42"), midway, zh},
        {QStringLiteral("downloading-42-en"), midway, en},
        {QStringLiteral("extracting"), VM::Extracting{0.95, "qwen-7b", 2, 3}, zh, 1},
        {QStringLiteral("extracting-en"), VM::Extracting{0.95, "qwen-7b", 2, 3}, en, 1},
        {QStringLiteral("success"), VM::Success{}, zh, 2},
        {QStringLiteral("failed-zh"),
         VM::Failed{"网络错误：无法连接到服务器（https://example.invalid/api/v1/system/"
                    "latest-resources）。请检查网络连接后重新打开安装程序。"},
         zh},
        {QStringLiteral("failed-en"),
         VM::Failed{"Network error: could not connect to the server. Check your connection and "
                    "open the installer again."},
         en},
        {QStringLiteral("failed-empty-zh"), VM::Failed{""}, zh},
        {QStringLiteral("failed-long-en"),
         VM::Failed{
             "line 1\nline 2\nline 3\nline 4\nline 5\nline 6\nline 7\nline 8\nline 9\nline 10"},
         en},
    };
}

} // namespace

int main(int argc, char* argv[]) {
    QApplication app(argc, argv);
    QCommandLineParser parser;
    parser.addHelpOption();
    const QCommandLineOption dir(QStringLiteral("dir"), QStringLiteral("Write into <dir>."),
                                 QStringLiteral("dir"), QStringLiteral("build/screenshots"));
    const QCommandLineOption only(QStringLiteral("only"), QStringLiteral("Render only <name>."),
                                  QStringLiteral("name"));
    const QCommandLineOption suffix(QStringLiteral("suffix"),
                                    QStringLiteral("Append <suffix> to each file name."),
                                    QStringLiteral("suffix"));
    parser.addOptions({dir, only, suffix});
    parser.process(app);

    QDir().mkpath(parser.value(dir));
    int written = 0;
    for (const Shot& shot : shots()) {
        if (parser.isSet(only) && parser.value(only) != shot.name) continue;
        CorvelWindowChrome window;
        CorvelRootView::Setup setup;
        Translations::use(shot.languages);
        const QList<CarouselImage>& slides = bundledCarouselImages();
        const qsizetype first = std::min<qsizetype>(shot.firstSlide, slides.size());
        setup.images = slides.mid(first) + slides.mid(0, first);
        auto* root = new CorvelRootView(setup);
        window.setContent(root);
        root->setState(shot.state);
        window.show();
        // Slides are rendered on a worker thread; wait for them, within reason.
        QElapsedTimer waited;
        waited.start();
        while (!root->downloadView()->carousel()->slidesReady() && waited.elapsed() < 10000)
            QApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
        QApplication::processEvents();
        const QString path =
            QDir(parser.value(dir)).filePath(shot.name + parser.value(suffix) + ".png");
        if (!window.grab().save(path)) {
            std::fprintf(stderr, "cannot write %s\n", qPrintable(path));
            return 1;
        }
        std::printf("%s\n", qPrintable(path));
        ++written;
    }
    return written > 0 ? 0 : 1;
}
