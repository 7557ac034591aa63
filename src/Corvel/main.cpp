#include "BuildInfo.h"
#include "Corvel/CorvelSetupApp.h"
#include "Corvel/CorvelStallProbe.h"
#include "desktop/Translations.h"
#include "log/CorvelSetupLogger.h"
#include "manifest/CorvelRemoteManifest.h"
#include "manifest/ManifestKeys.h"
#include "pipeline/CorvelDownloadViewModel.h"
#include "platform/HttpClient.h"
#include "platform/RateLimit.h"
#include "sources/MirrorRules.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QIcon>

#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <vector>

int main(int argc, char* argv[]) {
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments.append(QString::fromLocal8Bit(argv[i]));

    // Parsed before the application object exists, so --help and --version
    // work without a display. Qt's own options (-platform, ...) are not
    // offered for the same reason: the QT_QPA_* variables do that job.
    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Installs Corvel and its model data, then starts it."));
    const QCommandLineOption help({QStringLiteral("h"), QStringLiteral("help")},
                                  QStringLiteral("Show this help and exit."));
    const QCommandLineOption version({QStringLiteral("v"), QStringLiteral("version")},
                                     QStringLiteral("Show the version and exit."));
    const QCommandLineOption manifestUrl(
        QStringLiteral("manifest-url"),
        QStringLiteral("Fetch the resource manifest from <url> instead of the built-in address; "
                       "repeatable: tried in order, each with the same signature checks, the "
                       "first that passes wins."),
        QStringLiteral("url"));
    const QCommandLineOption mirror(
        QStringLiteral("mirror"),
        QStringLiteral("Fetch every URL that starts with FROM (the manifest, its signature and "
                       "each file) from TO followed by the rest of the URL, before the "
                       "publisher's own; TO is an http(s) mirror or a file:// folder laid out "
                       "like the host. Every file is still checked against the manifest. "
                       "Repeatable; the longest FROM wins; replaces CORVEL_MIRRORS. Examples: "
                       "--mirror https://cdn.example.com/=https://mirror.example.cn/corvel/ or, "
                       "offline from a disk, --mirror "
                       "https://cdn.example.com/=file:///media/usb/corvel/"),
        QStringLiteral("from=to"));
    const QCommandLineOption manifestKey(
        QStringLiteral("manifest-key"),
        QStringLiteral("A minisign public key (RW...) or public key file that may sign the "
                       "manifest; repeatable; replaces CORVEL_MANIFEST_KEY, the system key file "
                       "and the built-in keys."),
        QStringLiteral("key-or-file"));
    const QCommandLineOption noLaunch(QStringLiteral("no-launch"),
                                      QStringLiteral("Do not start Corvel when setup is done."));
    const QCommandLineOption connections(
        QStringLiteral("connections"),
        QStringLiteral("Open at most <n> connections to the servers at once (1-64, default 8). "
                       "Files of 16 MiB and more come in ranges over several connections when "
                       "the server allows it; 1 fetches every file over one connection."),
        QStringLiteral("n"));
    const QCommandLineOption limitRate(
        QStringLiteral("limit-rate"),
        QStringLiteral("Download at most <rate> bytes per second over all connections together, "
                       "as curl counts it: 500K, 2M, 1G (also CORVEL_LIMIT_RATE)."),
        QStringLiteral("rate"));
    QCommandLineOption stallReport(QStringLiteral("stall-report"));
    stallReport.setFlags(QCommandLineOption::HiddenFromHelp);
    parser.addOptions({help, version, manifestUrl, mirror, manifestKey, noLaunch, connections,
                       limitRate, stallReport});

    if (!parser.parse(arguments)) {
        std::fprintf(stderr, "corvel-setup: %s\n", qPrintable(parser.errorText()));
        std::fprintf(stderr, "Try 'corvel-setup --help'.\n");
        return 2;
    }
    if (!parser.positionalArguments().isEmpty()) {
        std::fprintf(stderr, "corvel-setup: unexpected argument '%s'\n",
                     qPrintable(parser.positionalArguments().first()));
        return 2;
    }
    if (parser.isSet(help)) {
        QString text = parser.helpText();
        text.replace(QStringLiteral("<executable_name>"), QStringLiteral("corvel-setup"));
        std::fputs(qPrintable(text), stdout);
        return 0;
    }
    if (parser.isSet(version)) {
        std::printf("corvel-setup %s (%s)\n", CORVEL_VERSION, CORVEL_GIT_REVISION);
        return 0;
    }
    int connectionCount = CorvelDownloadViewModel::Options{}.connections;
    if (parser.isSet(connections)) {
        const auto given = parseConnectionCount(parser.value(connections).toStdString());
        connectionCount = given.value_or(0);
        if (!given) {
            std::fprintf(stderr,
                         "corvel-setup: --connections wants a number from 1 to 64, not '%s'\n",
                         qPrintable(parser.value(connections)));
            return 2;
        }
    }
    // The core reads the endpoint from the environment when the run starts.
    std::vector<std::string> endpoints, mirrorValues;
    for (const QString& value : parser.values(manifestUrl))
        endpoints.push_back(value.toLocal8Bit().toStdString());
    for (const QString& value : parser.values(mirror))
        mirrorValues.push_back(value.toLocal8Bit().toStdString());
    std::vector<MirrorRules::Rule> mirrors;
    try {
        platform::limitBodyRate(platform::chosenRate(
            parser.isSet(limitRate)
                ? std::optional<std::string>(parser.value(limitRate).toLocal8Bit().toStdString())
                : std::nullopt));
        if (!endpoints.empty())
            qputenv(CorvelRemoteManifest::endpointVariable,
                    QByteArray::fromStdString(CorvelRemoteManifest::endpointList(endpoints)));
        mirrors = MirrorRules::resolve(mirrorValues, std::getenv(MirrorRules::environmentVariable));
    } catch (const std::invalid_argument& error) {
        std::fprintf(stderr, "corvel-setup: %s\n", escapeControlCharacters(error.what()).c_str());
        return 2;
    }
    std::vector<ManifestSignature::PublicKey> manifestKeys;
    for (const QString& value : parser.values(manifestKey)) {
        try {
            auto keys = ManifestKeys::fromKeyOrFile(value.toLocal8Bit().toStdString());
            manifestKeys.insert(manifestKeys.end(), keys.begin(), keys.end());
        } catch (const std::exception& error) {
            std::fprintf(stderr, "corvel-setup: --manifest-key: %s\n",
                         escapeControlCharacters(error.what()).c_str());
            return 2;
        }
    }
    const bool reportStalls =
        parser.isSet(stallReport) || qEnvironmentVariableIsSet("CORVEL_STALL_REPORT");

    platform::initializeHttp();
    CorvelSetupLogger::shared().logStartupBanner();

    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Corvel"));
    QApplication::setApplicationVersion(QStringLiteral(CORVEL_VERSION));
    // Matches the installed desktop entry, so docks group the window under it.
    QApplication::setDesktopFileName(QStringLiteral("com.tavrin.setup"));
    Translations::use(Translations::preferredLanguages());
    QApplication::setWindowIcon(QIcon(QStringLiteral(":/icons/com.tavrin.setup.svg")));
    // The shell ends the program itself: closing the window must first stop
    // the run, and the exit status depends on how the run ended.
    QApplication::setQuitOnLastWindowClosed(false);

    CorvelSetupApp::Options options;
    options.viewModel.launchApplication = !parser.isSet(noLaunch);
    options.viewModel.manifestKeys = std::move(manifestKeys);
    options.viewModel.connections = connectionCount;
    options.viewModel.mirrors = std::move(mirrors);
    CorvelSetupApp setup(std::move(options));

    CorvelStallProbe probe;
    if (reportStalls) probe.start();
    setup.show();
    const int status = QApplication::exec();
    CorvelSetupLogger::shared().flush();
    if (reportStalls)
        std::fprintf(stderr,
                     "corvel-setup: worst GUI stall %.1f ms (GUI thread busy %.1f ms of it) at "
                     "%lld ms, %d samples\n",
                     double(probe.worstStall().count()) / 1000.0,
                     double(probe.worstStallBusy().count()) / 1000.0,
                     static_cast<long long>(probe.worstAt().count()), probe.samples());
    return status;
}
