// Two windows for the accessibility walk: the progress view midway and the
// failure view. Pressing the failure view's button ends the program with 7.

#include "Corvel/CorvelRootView.h"
#include "Corvel/CorvelWindowChrome.h"
#include "desktop/Translations.h"

#include <QApplication>

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    Translations::use(Translations::preferredLanguages());
    using VM = CorvelDownloadViewModel;

    CorvelWindowChrome progress;
    auto* progressRoot = new CorvelRootView({});
    progress.setContent(progressRoot);
    VM::Downloading midway{0.42, "3 assets", 1'430'000'000, 3'400'000'000};
    midway.transfer = {1'230'000'000, 3'400'000'000, 18'500'000, 118};
    progressRoot->setState(midway);
    progress.show();

    CorvelWindowChrome failure;
    CorvelRootView::Setup setup;
    setup.onQuit = [] { QCoreApplication::exit(7); };
    auto* failureRoot = new CorvelRootView(setup);
    failure.setContent(failureRoot);
    failureRoot->setState(VM::Failed{"boom"});
    failure.show();
    return QApplication::exec();
}
