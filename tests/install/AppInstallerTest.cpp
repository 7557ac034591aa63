#include "InstallTestSupport.h"
#include "install/ApplicationLauncher.h"
#include "install/CorvelAppInstaller.h"
#include "install/RunningApplications.h"
#include "log/CorvelSetupLogger.h"
#include "platform/Spawn.h"
#include "support/Privileges.h"

#include <fmt/format.h>

#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <set>
#include <sys/wait.h>
#include <unistd.h>

namespace {

class AppInstall : public ::testing::Test {
  protected:
    testsupport::TempHome home;
    fs::path applications = home.path() / "Applications";
    fs::path archive = home.path() / "cache" / "Corvel.zip";

    fs::path install(const std::vector<Entry>& entries, const fs::path& destination,
                     const std::string& appName = "Corvel.app", std::stop_token stop = {}) {
        write(archive, CVTAVAsset::Format::zip, entries);
        return installArchive(destination, appName, stop);
    }
    fs::path installArchive(const fs::path& destination, const std::string& appName = "Corvel.app",
                            std::stop_token stop = {}) {
        return CorvelAppInstaller::installAppBundle(archive, destination, appName, "com.tavrin.app",
                                                    "Corvel", stop);
    }
    AppInstall() { EXPECT_EQ(::pipe2(idle, O_CLOEXEC), 0); }
    ~AppInstall() override {
        ::close(idle[0]);
        ::close(idle[1]);
    }

    // A script that waits without starting a process: a forked child, before
    // its exec, would be one more running copy of the bundle. It reads the
    // pipe `idle` (its standard input, kept on descriptor 3 for the copies it
    // starts in the background, whose standard input is /dev/null), which
    // never delivers, and writes its PID to $1 once its trap is set and its
    // argv final.
    void writeIdleScript(const fs::path& appRun, const std::string& onTerm = "") {
        writeFile(appRun, "#!/bin/bash\ntrap \"" + onTerm +
                              "\" TERM\n{ : <&3; } 2>/dev/null || exec 3<&0\necho $$ > \"$1\"\n"
                              "while :; do read -t 0.2 -u 3 _; done\n");
        fs::permissions(appRun, fs::perms::owner_all);
    }
    // A copy of the old bundle that runs $2 on SIGTERM ("": ignores it), once ready.
    pid_t startOldCopy(const std::string& onTerm, const std::string& ready) {
        fs::path appRun = applications / "Corvel.app" / "AppRun";
        if (!fs::exists(appRun)) writeIdleScript(appRun, "$2");
        pid_t pid =
            platform::spawnProcess({appRun, {(home.path() / ready).string(), onTerm}, idle[0]});
        EXPECT_TRUE(waitUntil([&] { return !readFile(home.path() / ready).empty(); }));
        return pid;
    }

    int idle[2] = {-1, -1};
};

} // namespace

TEST_F(AppInstall, VersionedBundleOneFolderDeepReplacesTheRunningOldOneAndIsRegistered) {
    pid_t quits = startOldCopy("exit 0", "quits");
    pid_t stays = startOldCopy("", "stays");
    fs::path installed =
        install({file("dist/Corvel-2.1.0.app/AppRun", "#!/bin/sh\n", 0755),
                 file("dist/Corvel-2.1.0.app/.DirIcon", "png"), file("dist/README", "r")},
                applications);
    // ~/Applications is the destination: its "stale copy" is the new bundle and stays.
    EXPECT_EQ(installed, applications / "Corvel.app");
    EXPECT_EQ(readFile(installed / "AppRun"), "#!/bin/sh\n");
    EXPECT_TRUE(fs::exists(archive)); // deleted by the run once the bundle is recorded
    EXPECT_TRUE(noneLeft(applications, ".tavrin-setup-stage-"));
    // The copy that quits on SIGTERM is never killed; the one ignoring it is, after the grace.
    EXPECT_EQ(exitStatus(quits), 0);
    auto status = exitStatus(stays);
    EXPECT_TRUE(status && WIFSIGNALED(*status) && WTERMSIG(*status) == SIGKILL) << *status;

    expectContains(readFile(home.path() / ".local/share/applications/com.tavrin.app.desktop"),
                   {"Exec=\"" + (installed / "AppRun").string() + "\"\n",
                    "Icon=" + (installed / ".DirIcon").string() + "\n"});
    expectContains(CorvelAppInstaller::desktopEntryText(home.path() / "a \"b\" $x/C.app", "C"),
                   {"Exec=\"" + home.path().string() + "/a \\\\\"b\\\\\" \\\\$x/C.app/AppRun\"\n"});
    expectLogged(
        {"▶ 安装 app bundle [Corvel]\n", fmt::format("  • 终止运行中的 Corvel（PID {}）\n", stays),
         fmt::format("[WARN]   • 强制终止 Corvel（PID {}）\n", stays),
         "  • 定位到 bundle: Corvel-2.1.0.app → 规范化为 Corvel.app\n", "  ✔ 已移除旧 Corvel.app\n",
         "  ✔ 已安装到: " + installed.string() + "\n", "  ✔ 已刷新 Launch Services 注册\n"});
}

TEST_F(AppInstall, EveryFailureKeepsTheOldBundlesAndTheArchive) {
    writeFile(applications / "TAVRIN.app" / "AppRun", "former");
    writeFile(applications / "Corvel.app" / "AppRun", "old");
    const std::string missing = "归档解压后未找到任何 *.app bundle（检查打包结构）";
    std::stop_source stopped;
    stopped.request_stop();
    struct Case {
        std::vector<Entry> entries;
        std::string expected;
        std::string appName = "Corvel.app";
        std::stop_token stop = {};
    };
    const std::vector<Case> cases = {
        {{file("a/b/Corvel.app/AppRun", "new")}, missing}, // two folders deep
        {{file("Corvel.APP/AppRun", "new")}, missing},     // the extension is case-sensitive
        {{file("real/AppRun", "new"), softLink("Corvel.app", "real")}, missing},
        // Bundles that could not start: no AppRun, one that is no program, one outside.
        {{file("Corvel.app/README", "new")}, "没有可执行的 AppRun"},
        {{file("Corvel.app/AppRun", "new", 0644)}, "没有可执行的 AppRun"},
        {{file("bin/run", "new", 0755), softLink("Corvel.app/AppRun", "../bin/run")},
         "没有可执行的 AppRun"},
        // A name the file system cannot hold: the final move fails after the old one was set aside.
        {{file("Corvel.app/AppRun", "new", 0755)}, "安装失败：", std::string(300, 'C') + ".app"},
        {{file("Corvel.app/AppRun", "new", 0755)}, "cancelled", "Corvel.app", stopped.get_token()},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.expected + " " + c.entries.back().name);
        std::string outcome = "(installed)";
        try {
            install(c.entries, applications, c.appName, c.stop);
        } catch (const CorvelInstallError& e) {
            auto* failure = std::get_if<CorvelInstallError::ExtractFailed>(&e.value());
            outcome = failure ? failure->stderrText : e.what();
        } catch (const platform::CancelledError&) {
            outcome = "cancelled";
        }
        EXPECT_NE(outcome.find(c.expected), std::string::npos) << outcome;
        EXPECT_EQ(readFile(applications / "TAVRIN.app" / "AppRun"), "former");
        EXPECT_EQ(readFile(applications / "Corvel.app" / "AppRun"), "old");
        EXPECT_TRUE(fs::exists(archive));
        EXPECT_TRUE(noneLeft(applications, ".tavrin-setup-stage-"));
    }
    expectLogged({"[ERROR]   ✘ 归档里没有找到任何 *.app bundle\n", "[ERROR]   ✘ 搬运到目标失败: "});
}

TEST_F(AppInstall, AWriteThatFailsWhileUnpackingKeepsTheOldBundle) {
    writeFile(applications / "Corvel.app" / "AppRun", "old");
    write(archive, CVTAVAsset::Format::zip,
          {file("Corvel.app/AppRun", "#!/bin/sh\n", 0755),
           file("Corvel.app/lib.so", patternBytes(777))});
    auto outcome = withFailingWrites(ENOSPC, 777, [&] {
        try {
            installArchive(applications);
            return 1;
        } catch (const CorvelInstallError& e) {
            return std::holds_alternative<CorvelInstallError::DiskFull>(e.value()) ? 0 : 2;
        }
    });
    CORVEL_REQUIRE_CAPABILITY(outcome != 77, "seccomp system-call filters");
    EXPECT_EQ(outcome, 0);
    EXPECT_EQ(readFile(applications / "Corvel.app" / "AppRun"), "old");
    EXPECT_TRUE(noneLeft(applications, ".tavrin-setup-stage-"));
}

// The installer killed between any two of its steps, where the file system
// exchanges and where it cannot, then the start of the next run: the user
// always has an application, and no staging folder stays.
TEST_F(AppInstall, KilledBetweenAnyTwoStepsTheUserKeepsAnApplication) {
    write(archive, CVTAVAsset::Format::zip, {file("dist/Corvel-2.app/AppRun", "new", 0755)});
    auto exchanging = [](int) { return std::vector<sock_filter>{}; };
    for (bool canExchange : {true, false}) {
        for (const char* point : {"app.unpacked", "app.formerSetAside", "app.exchanged",
                                  "app.betweenRenames", "app.installed"}) {
            SCOPED_TRACE(std::string(point) + (canExchange ? "" : " without exchange"));
            fs::remove_all(applications);
            writeFile(applications / "TAVRIN.app" / "AppRun", "former");
            writeFile(applications / "Corvel.app" / "AppRun", "old");
            auto status = inFilteredChild(
                canExchange ? std::function<std::vector<sock_filter>(int)>(exchanging)
                            : exchangeRefused,
                [&] {
                    ::setenv("CORVEL_KILL_POINT", point, 1);
                    try {
                        installArchive(applications);
                    } catch (...) {
                        return 3;
                    }
                    return 0;
                });
            ASSERT_TRUE(status);
            CORVEL_REQUIRE_CAPABILITY(!WIFEXITED(*status) || WEXITSTATUS(*status) != 77,
                                      "seccomp system-call filters");
            EXPECT_TRUE(WIFEXITED(*status) ? WEXITSTATUS(*status) == 0
                                           : WTERMSIG(*status) == SIGKILL)
                << *status;
            for (const auto& entry : fs::directory_iterator(applications))
                if (CorvelAppInstaller::isStagingFolderName(entry.path().filename().string()) &&
                    CorvelAppInstaller::restoreSetAsideBundles(entry.path(), applications,
                                                               "Corvel.app"))
                    fs::remove_all(entry.path());
            std::string app = readFile(applications / "Corvel.app" / "AppRun");
            EXPECT_TRUE(app == "old" || app == "new") << app;
            EXPECT_TRUE(noneLeft(applications, ".tavrin-setup-stage-"));
        }
    }
}

TEST_F(AppInstall, ASetAsideBundleGoesBackOnlyWhereNoneIsInPlace) {
    const std::string id = "0123ABCD-4567-89EF-0123-456789ABCDEF";
    fs::path staging = applications / (".tavrin-setup-stage-" + id);
    fs::path aside = staging / (".previous-" + id);
    writeFile(aside / "Corvel.app" / "AppRun", "old");
    writeFile(aside / "Notes.app" / "AppRun", "not ours");
    EXPECT_TRUE(CorvelAppInstaller::restoreSetAsideBundles(staging, applications, "Corvel.app"));
    EXPECT_EQ(readFile(applications / "Corvel.app" / "AppRun"), "old");
    EXPECT_FALSE(fs::exists(applications / "Notes.app"));
    expectLogged({"🔧 已恢复上次中断时移开的旧版 app: " + (applications / "Corvel.app").string()});

    // Beside a bundle in place, a set-aside one is stale.
    writeFile(aside / "TAVRIN.app" / "AppRun", "former");
    EXPECT_TRUE(CorvelAppInstaller::restoreSetAsideBundles(staging, applications, "Corvel.app"));
    EXPECT_FALSE(fs::exists(applications / "TAVRIN.app"));
}

TEST_F(AppInstall, AReinstallOverABundleWithReadOnlyFoldersLeavesNoStaging) {
    writeFile(applications / "Corvel.app" / "AppRun", "old");
    writeFile(applications / "Corvel.app" / "locked" / "data", "old");
    fs::permissions(applications / "Corvel.app" / "locked",
                    fs::perms::owner_read | fs::perms::owner_exec);
    write(archive, CVTAVAsset::Format::zip, {file("Corvel.app/AppRun", "new", 0755)});
    bool ran = runWithoutFileModeOverride(home.path(), [&] { installArchive(applications); });
    CORVEL_REQUIRE_CAPABILITY(ran, "dropping CAP_DAC_OVERRIDE from a thread");
    EXPECT_EQ(readFile(applications / "Corvel.app" / "AppRun"), "new");
    EXPECT_TRUE(noneLeft(applications, ".tavrin-setup-stage-"));
}

TEST_F(AppInstall, ReplacesBothNamesAndCleansUserCopies) {
    fs::path destination = home.path() / "system-apps";
    writeFile(destination / "TAVRIN.app" / "AppRun", "former");
    writeFile(destination / "Corvel.app" / "stale-file", "gone after the update");
    for (const char* name : {"TAVRIN.app", "Corvel.app", "Other.app"})
        writeFile(applications / name / "AppRun", "user copy");

    // Without the desktop database tool the entry is still written, and the log says so.
    std::string path = std::getenv("PATH");
    ::setenv("PATH", (home.path() / "no-tools").c_str(), 1);
    fs::path installed = install({file("Corvel.app/AppRun", "new", 0755)}, destination);
    ::setenv("PATH", path.c_str(), 1);
    EXPECT_TRUE(fs::exists(home.path() / ".local/share/applications/com.tavrin.app.desktop"));
    expectLogged({"[WARN]   • update-desktop-database 不存在，跳过桌面数据库更新\n"});
    EXPECT_EQ(readFile(installed / "AppRun"), "new");
    EXPECT_FALSE(fs::exists(installed / "stale-file"));
    for (const auto& gone :
         {destination / "TAVRIN.app", applications / "TAVRIN.app", applications / "Corvel.app"})
        EXPECT_FALSE(fs::exists(gone)) << gone;
    EXPECT_TRUE(fs::exists(applications / "Other.app"));
    EXPECT_TRUE(noneLeft(destination, ".tavrin-setup-stage-"));
    expectLogged({"  ✔ 已移除旧 TAVRIN.app\n", "  ✔ 已移除旧 Corvel.app\n",
                  "  • 已清理 ~/Applications 历史副本: " + (applications / "Corvel.app").string()});
}

TEST_F(AppInstall, OnlyCopiesOfTheBundleAreStoppedAlsoOnesStartedDuringTheWait) {
    // Asked to quit, this copy first starts another one, which ignores the request.
    pid_t first = startOldCopy("\"$0\" \"$1.next\" '' & exit 0", "first");
    fs::path bundle = applications / "Corvel.app";
    // `cd Corvel.app && bash AppRun`: the script is named relative to its folder.
    pid_t relative =
        platform::spawnProcess({"/bin/sh",
                                {"-c", "cd \"$0\" && exec bash AppRun \"$1\" \"$2\"",
                                 bundle.string(), (home.path() / "relative").string(), "exit 0"},
                                idle[0]});
    // No copies: a sibling that shares the name as a prefix, and a program of
    // the system given a file of the bundle.
    writeIdleScript(applications / "Corvel.app-old" / "AppRun");
    pid_t sibling = platform::spawnProcess({applications / "Corvel.app-old" / "AppRun",
                                            {(home.path() / "sibling").string()},
                                            idle[0]});
    writeFile(bundle / "log.txt", "");
    pid_t tail = platform::spawnProcess({"/usr/bin/tail", {(bundle / "log.txt").string(), "-f"}});
    ASSERT_TRUE(waitUntil([&] {
        std::error_code error;
        return !readFile(home.path() / "sibling").empty() &&
               !readFile(home.path() / "relative").empty() &&
               fs::read_symlink(fmt::format("/proc/{}/exe", tail), error) == "/usr/bin/tail";
    }));
    std::set<pid_t> copies;
    for (const auto& copy : RunningApplications::findRunningCopies(bundle))
        copies.insert(copy.pid);
    EXPECT_EQ(copies, (std::set<pid_t>{first, relative}));

    RunningApplications::stopRunningCopies(bundle);
    for (pid_t quits : {first, relative})
        EXPECT_EQ(exitStatus(quits), 0) << quits;
    ASSERT_TRUE(waitUntil([&] { return !readFile(home.path() / "first.next").empty(); }));
    pid_t next = std::stoi(readFile(home.path() / "first.next"));
    EXPECT_TRUE(waitUntil([&] { return hasEnded(next); }));
    expectLogged({fmt::format("[WARN]   • 强制终止 Corvel（PID {}）\n", next)});
    for (pid_t other : {sibling, tail}) {
        EXPECT_EQ(::waitpid(other, nullptr, WNOHANG), 0) << other; // still running
        ::kill(other, SIGKILL);
        EXPECT_TRUE(exitStatus(other));
    }
}

TEST_F(AppInstall, LaunchIsDetachedWithNothingInherited) {
    fs::path bundle = applications / "Corvel.app";
    writeFile(bundle / "AppRun", "#!/bin/sh\nexec sleep 30\n");
    fs::permissions(bundle / "AppRun", fs::perms::owner_all);
    int leaky = ::open(bundle.c_str(), O_RDONLY | O_DIRECTORY); // without O_CLOEXEC on purpose
    pid_t pid = ApplicationLauncher::launch(bundle);
    ::close(leaky);
    fs::path proc = fs::path("/proc") / std::to_string(pid);
    ASSERT_TRUE(waitUntil([&] { return readFile(proc / "comm") == "sleep\n"; }));
    EXPECT_EQ(::getsid(pid), pid);
    // sleep may open and close files of its own while it starts (locale data);
    // an inherited descriptor would stay open for its whole life.
    auto openFiles = [&] {
        std::vector<std::string> targets;
        std::error_code error;
        for (fs::directory_iterator it(proc / "fd", error), end; !error && it != end;
             it.increment(error)) {
            std::error_code gone;
            fs::path target = fs::read_symlink(it->path(), gone);
            if (!gone) targets.push_back(target.string());
        }
        return targets;
    };
    EXPECT_TRUE(waitUntil([&] { return openFiles() == std::vector<std::string>(3, "/dev/null"); }))
        << ::testing::PrintToString(openFiles());
    ::kill(pid, SIGKILL);
    platform::waitForExit(pid);
}
