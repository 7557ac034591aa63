// corvel-setup-cli: one setup run without a window, for terminals, scripts
// and machines without a desktop session.

#include "BuildInfo.h"
#include "ProgressText.h"
#include "Removal.h"
#include "VerifyCommand.h"
#include "desktop/DesktopSession.h"
#include "desktop/Translations.h"
#include "log/CorvelSetupLogger.h"
#include "manifest/CorvelRemoteManifest.h"
#include "manifest/ManifestKeys.h"
#include "pipeline/CorvelDownloadViewModel.h"
#include "pipeline/StateMailbox.h"
#include "pipeline/StatusText.h"
#include "platform/HttpClient.h"
#include "platform/RateLimit.h"
#include "sources/MirrorRules.h"

#include <CLI/CLI.hpp>
#include <QCoreApplication>
#include <fmt/format.h>

#include <signal.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <optional>
#include <string>
#include <vector>

namespace {

constexpr int exitFailure = 1;
constexpr int exitUsage = 2;
constexpr int exitInterrupted = 130;
// How long a second interrupt waits for queued log lines before the exit.
constexpr std::chrono::milliseconds lastFlushBound{1000};

int terminalWidth() {
    winsize size{};
    if (::ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0) return size.ws_col;
    return 80;
}

void writeOut(const std::string& text) {
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fflush(stdout);
}

// Draws the states it is given: a bar redrawn in place on a terminal, else
// one line per new whole percent on standard output (none when quiet).
class ProgressDisplay {
  public:
    explicit ProgressDisplay(bool quiet)
        : terminal_(ProgressText::drawsBar(::isatty(STDERR_FILENO) == 1, std::getenv("TERM"))),
          quiet_(quiet), words_(Translations::statusWords()) {}

    void show(const CorvelDownloadViewModel::State& state) {
        if (terminal_) {
            CorvelSetupLogger::shared().setStatusLine(
                ProgressText::barLine(state, terminalWidth(), words_));
        } else if (quiet_) {
            return;
        } else if (auto line = ProgressText::plainLine(state, lastShown_, words_)) {
            writeOut(*line + "\n");
            lastShown_ = state;
        }
    }

    void finish() {
        if (terminal_) CorvelSetupLogger::shared().setStatusLine("");
    }

  private:
    bool terminal_;
    bool quiet_;
    StatusText::Translate words_;
    std::optional<CorvelDownloadViewModel::State> lastShown_;
};

} // namespace

int main(int argc, char** argv) {
    // Before any thread exists, so every thread inherits the mask and the
    // signals reach only the wait below: a stop becomes a clean cancellation.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    // Ctrl+Z and fg: the run pauses before the process stops, and resumes.
    sigaddset(&stopSignals, SIGTSTP);
    sigaddset(&stopSignals, SIGCONT);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    CLI::App app{"Installs the Corvel application and the model data it needs, without a window.",
                 "corvel-setup-cli"};
    std::vector<std::string> manifestURLs;
    std::vector<std::string> manifestKeys;
    std::vector<std::string> mirrors;
    bool noLaunch = false;
    bool quiet = false;
    bool verbose = false;
    app.set_version_flag(
        "--version", fmt::format("corvel-setup-cli {} ({})", CORVEL_VERSION, CORVEL_GIT_REVISION));
    app.add_option("--manifest-url", manifestURLs,
                   fmt::format("Where the resource manifest is fetched from; repeatable: tried in "
                               "order, each with the same signature checks, the first that passes "
                               "wins (overrides {}, which may hold several, blank-separated)",
                               CorvelRemoteManifest::endpointVariable))
        ->type_name("URL")
        ->allow_extra_args(false);
    app.add_option("--mirror", mirrors,
                   fmt::format("Fetch every URL that starts with FROM (the manifest and its "
                               "signature, each file and its zsync control file) from TO followed "
                               "by the rest of the URL, before the publisher's own; TO is an "
                               "http(s) mirror or a file:// folder laid out like the host. Every "
                               "file is still checked against the manifest. Repeatable; the "
                               "longest FROM wins; replaces {} (blank-separated FROM=TO pairs). "
                               "Examples: --mirror "
                               "https://cdn.example.com/=https://mirror.example.cn/corvel/ or, "
                               "offline from a disk, --mirror "
                               "https://cdn.example.com/=file:///media/usb/corvel/",
                               MirrorRules::environmentVariable))
        ->type_name("FROM=TO")
        ->allow_extra_args(false);
    app.add_option("--manifest-key", manifestKeys,
                   fmt::format("A minisign public key (RW...) or public key file that may sign the "
                               "manifest; repeatable; replaces {}, the system key file and the "
                               "built-in keys",
                               ManifestKeys::keyVariable))
        ->type_name("KEY_OR_FILE");
    app.add_flag("--no-launch", noLaunch,
                 "Do not start the installed application at the end (for machines without a "
                 "desktop session)");
    app.add_flag("-q,--quiet", quiet,
                 "No log lines on standard error: only the progress bar on a terminal, and the "
                 "reason as the last line if setup fails. The full log is still kept in the setup "
                 "record");
    app.add_flag("--verbose", verbose,
                 "Every log line on standard error as it happens (the default)");
    bool verifyOnly = false;
    app.add_flag("--verify", verifyOnly,
                 "Check every installed product against what was installed (sizes and SHA-256 "
                 "of each file) and print one line per damaged, missing, changed or extra file; "
                 "changes nothing. Exit status 0 when everything matches, 1 otherwise");
    bool repair = false;
    app.add_flag("--repair", repair,
                 "Check as --verify does, install exactly the damaged products again (a damaged "
                 "file is the starting point of its download, so a flipped byte costs a block "
                 "where the publisher made zsync control files), then check again. Exit status "
                 "0 only when everything matches afterwards")
        ->excludes("--verify");
    std::string connections = std::to_string(CorvelDownloadViewModel::Options{}.connections);
    app.add_option("--connections", connections,
                   "Connections open to the servers at once for the whole run. Files of 16 MiB "
                   "and more come in ranges over several connections when the server allows it; "
                   "1 fetches every file over one connection")
        ->type_name("1-64")
        ->check(CLI::Validator(
            [](const std::string& text) {
                // Decimal only: CLI11's own integers would read 010 as octal, 0x10 as hex.
                return parseConnectionCount(text)
                           ? std::string()
                           : "a decimal number from 1 to 64, not '" + text + "'";
            },
            "", "decimal 1-64"))
        ->default_val(connections);
    bool list = false;
    bool uninstall = false;
    bool assumeYes = false;
    auto* listFlag = app.add_flag("--list", list,
                                  "Show what setup installed (name, size on disk, source, when) "
                                  "from its setup record, and exit");
    auto* uninstallFlag =
        app.add_flag("--uninstall", uninstall,
                     "Remove what setup installed: the application, its desktop entry, the model "
                     "data named in the setup record, the download cache and the record. Asks "
                     "first; other files in the data directory stay");
    listFlag->excludes(uninstallFlag);
    app.add_flag("-y,--yes", assumeYes, "With --uninstall: remove without asking");
    std::optional<std::string> limitRate;
    app.add_option("--limit-rate", limitRate,
                   fmt::format("Download at most RATE bytes per second over all connections "
                               "together, as curl counts it: 500K, 2M, 1G (also {})",
                               platform::rateVariable))
        ->type_name("RATE");
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& error) {
        int code = app.exit(error);
        return code == 0 ? 0 : exitUsage;
    }
    if (list) return listInstalled();
    if (uninstall) return uninstallInstalled(assumeYes);
    if (quiet && verbose) {
        std::fputs("--quiet and --verbose exclude each other\nRun with --help for more "
                   "information.\n",
                   stderr);
        return exitUsage;
    }

    CorvelDownloadViewModel::Options options;
    try {
        platform::limitBodyRate(platform::chosenRate(limitRate));
        if (!manifestURLs.empty())
            ::setenv(CorvelRemoteManifest::endpointVariable,
                     CorvelRemoteManifest::endpointList(manifestURLs).c_str(), 1);
        options.mirrors =
            MirrorRules::resolve(mirrors, std::getenv(MirrorRules::environmentVariable));
    } catch (const std::invalid_argument& error) {
        std::fprintf(stderr, "corvel-setup-cli: %s\n",
                     escapeControlCharacters(error.what()).c_str());
        return exitUsage;
    }
    for (const std::string& key : manifestKeys) {
        try {
            auto keys = ManifestKeys::fromKeyOrFile(key);
            options.manifestKeys.insert(options.manifestKeys.end(), keys.begin(), keys.end());
        } catch (const std::exception& error) {
            std::fprintf(stderr, "corvel-setup-cli: --manifest-key: %s\n",
                         escapeControlCharacters(error.what()).c_str());
            return exitUsage;
        }
    }
    // Qt only for the desktop's services: the shared catalogue of the window's
    // words and the session bus. No event loop runs.
    QCoreApplication qtCore(argc, argv);
    Translations::use(Translations::preferredLanguages());
    platform::initializeHttp();
    if (quiet) CorvelSetupLogger::shared().setEchoToStandardError(false);
    CorvelSetupLogger::shared().logStartupBanner();
    if (verifyOnly) return runVerify(stopSignals);
    if (repair) {
        int status = runVerify(stopSignals, &options.repairUrls);
        if (status != 1 || options.repairUrls.empty()) return status;
    }

    options.launchApplication = !noLaunch;
    options.pacedRise = false;
    options.connections = *parseConnectionCount(connections);
    CorvelDownloadViewModel viewModel(options);
    StateMailbox mailbox;
    viewModel.addObserver(
        [&mailbox](const CorvelDownloadViewModel::State& state) { mailbox.post(state); });

    ProgressDisplay display(quiet);
    // No window: no dock and no notification, only no sleep half-way.
    DesktopSession desktop({.launcherEntry = false, .notify = false});
    bool interrupted = false;
    viewModel.start();
    const timespec tick{0, std::chrono::nanoseconds(StateMailbox::redrawInterval).count()};
    for (;;) {
        bool ended = !viewModel.isRunning();
        for (const auto& state : mailbox.take()) {
            display.show(state);
            desktop.show(state);
        }
        // The session bus's answers.
        QCoreApplication::processEvents();
        if (ended) break;
        int signal = ::sigtimedwait(&stopSignals, nullptr, &tick);
        if (signal == SIGTSTP) {
            // Every connection closes before the process stops, so no server
            // waits on a stalled one; the bar leaves the line to the shell.
            viewModel.pause();
            if (!viewModel.waitUntilTransfersEnd(std::chrono::seconds(10)))
                log(LogLevel::warn, "⚠ 暂停时仍有连接未关闭");
            display.finish();
            CorvelSetupLogger::shared().flush();
            ::kill(::getpid(), SIGSTOP);
        } else if (signal == SIGCONT) {
            viewModel.resume();
            display.show(viewModel.state());
        } else if (signal == SIGINT || signal == SIGTERM) {
            if (interrupted) {
                // Asked twice: leave now, without waiting for the run to wind
                // down (the part files stay resumable). Nothing is torn down
                // under the running threads; only the log gets a bounded moment.
                log(LogLevel::warn,
                    signal == SIGINT ? "再次收到 SIGINT，立即退出" : "再次收到 SIGTERM，立即退出");
                display.finish();
                CorvelSetupLogger::shared().flushFor(lastFlushBound);
                ::_exit(exitInterrupted);
            }
            interrupted = true;
            log(LogLevel::warn,
                signal == SIGINT ? "收到 SIGINT，正在取消…" : "收到 SIGTERM，正在取消…");
            viewModel.cancel();
        }
    }
    viewModel.wait();
    display.finish();
    desktop.release();

    CorvelDownloadViewModel::State final = viewModel.state();
    CorvelSetupLogger::shared().flush();
    if (std::holds_alternative<CorvelDownloadViewModel::Success>(final))
        return repair ? runVerify(stopSignals) : 0;
    if (auto* failed = std::get_if<CorvelDownloadViewModel::Failed>(&final)) {
        // The last line of standard error, after every queued log line.
        std::string line = escapeControlCharacters(failed->message) + "\n";
        std::fwrite(line.data(), 1, line.size(), stderr);
        std::fflush(stderr);
    }
    return interrupted ? exitInterrupted : exitFailure;
}
