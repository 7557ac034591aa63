#include "TestArchives.h"
#include "install/ApplicationLauncher.h"
#include "install/CorvelAppInstaller.h"
#include "install/CorvelInstallError.h"
#include "log/CorvelSetupLogger.h"
#include "platform/Cancellation.h"
#include "platform/Spawn.h"
#include "support/TempHome.h"

#include <gtest/gtest.h>

#include <csignal>
#include <fmt/format.h>
#include <sys/wait.h>
#include <unistd.h>

namespace fs = std::filesystem;
using CVTAVAsset::Format::zip;
using testarchives::Entry;
using testarchives::file;
using testarchives::softLink;
using testsupport::readFile;
using testsupport::TempHome;
using testsupport::waitUntil;
using testsupport::writeFile;

namespace {

std::string logText() {
    CorvelSetupLogger::shared().flush();
    return CorvelSetupLogger::shared().persistedText();
}

class AppInstall : public ::testing::Test {
  protected:
    TempHome home;
    fs::path applications = home.path() / "Applications";
    fs::path archive = home.path() / "cache" / "Corvel.zip";

    void writeArchive(const std::vector<Entry>& entries) {
        fs::create_directories(archive.parent_path());
        testarchives::write(archive, zip, entries);
    }

    fs::path install(const fs::path& destination) {
        return CorvelAppInstaller::installAppBundle(archive, destination, "Corvel.app",
                                                    "com.tavrin.app", "Corvel");
    }

    std::string extractFailure(const fs::path& destination) {
        try {
            install(destination);
        } catch (const CorvelInstallError& e) {
            return std::get<CorvelInstallError::ExtractFailed>(e.value()).stderrText;
        }
        return "(no failure)";
    }

    bool noStagingLeft(const fs::path& destination) const {
        for (const auto& entry : fs::directory_iterator(destination))
            if (entry.path().filename().string().starts_with(".tavrin-setup-stage-")) return false;
        return true;
    }

    // An old bundle whose AppRun traps SIGTERM with `onTerm` and reports when it is ready.
    pid_t startOldCopy(const fs::path& bundle, const std::string& onTerm) {
        fs::path ready = home.path() / "ready";
        writeFile(bundle / "AppRun", "#!/bin/sh\ntrap '" + onTerm +
                                         "' TERM\necho up > \"$1\"\n"
                                         "while :; do sleep 0.05; done\n");
        fs::permissions(bundle / "AppRun", fs::perms::owner_all);
        platform::SpawnOptions options;
        options.executable = bundle / "AppRun";
        options.arguments = {ready.string()};
        pid_t pid = platform::spawnProcess(options);
        EXPECT_TRUE(waitUntil([&] { return fs::exists(ready); }));
        return pid;
    }
};

const std::string missingBundle = "归档解压后未找到任何 *.app bundle（检查打包结构）";

} // namespace

TEST_F(AppInstall, VersionedBundleOneFolderDeepInstallsAsCorvelApp) {
    writeArchive({file("dist/Corvel-2.1.0.app/AppRun", "#!/bin/sh\n", 0755),
                  file("dist/Corvel-2.1.0.app/.DirIcon", "png"), file("dist/README", "r")});
    fs::path installed = install(applications);
    EXPECT_EQ(installed, applications / "Corvel.app");
    EXPECT_EQ(readFile(installed / "AppRun"), "#!/bin/sh\n");
    EXPECT_NE(fs::status(installed / "AppRun").permissions() & fs::perms::owner_exec,
              fs::perms::none);
    EXPECT_FALSE(fs::exists(archive));
    EXPECT_TRUE(noStagingLeft(applications));
    // ~/Applications is the destination here: its "stale copies" are the new bundle.
    EXPECT_TRUE(fs::exists(installed));

    std::string desktop =
        readFile(home.path() / ".local/share/applications/com.tavrin.app.desktop");
    EXPECT_NE(desktop.find("Exec=\"" + (installed / "AppRun").string() + "\"\n"),
              std::string::npos);
    EXPECT_NE(desktop.find("Icon=" + (installed / ".DirIcon").string() + "\n"), std::string::npos);

    std::string text = logText();
    for (const std::string& line : std::vector<std::string>{
             "▶ 安装 app bundle [Corvel]\n",
             "  • 定位到 bundle: Corvel-2.1.0.app → 规范化为 Corvel.app\n",
             "  • 无旧 app bundle，跳过清理\n", "  ✔ 已安装到: " + installed.string() + "\n",
             "  ✔ 已刷新 Launch Services 注册\n", "  • 已删除归档: Corvel.zip\n",
             "  • 已清理 staging\n"})
        EXPECT_NE(text.find(line), std::string::npos) << line;
}

TEST_F(AppInstall, ExecPathWithBlanksAndQuotesIsQuoted) {
    fs::path odd = home.path() / "my \"apps\" $x";
    std::string text = CorvelAppInstaller::desktopEntryText(odd / "Corvel.app", "Corvel");
    EXPECT_NE(text.find("Exec=\"" + home.path().string() +
                        "/my \\\\\"apps\\\\\" \\\\$x/Corvel.app/AppRun\"\n"),
              std::string::npos)
        << text;
}

TEST_F(AppInstall, BundlesThatAreNotFoundFailAndKeepTheOldOne) {
    writeFile(applications / "Corvel.app" / "AppRun", "old");
    const std::vector<std::vector<Entry>> cases = {
        {file("a/b/Corvel.app/AppRun", "new")}, // two folders deep
        {file("Corvel.APP/AppRun", "new")},     // the extension is case-sensitive
        {file("real/AppRun", "new"), softLink("Corvel.app", "real")}, // a link is not a bundle
        {file("Corvel.app", "a file")},
    };
    for (const auto& entries : cases) {
        writeArchive(entries);
        EXPECT_EQ(extractFailure(applications), missingBundle) << entries.front().name;
        EXPECT_EQ(readFile(applications / "Corvel.app" / "AppRun"), "old");
        EXPECT_TRUE(fs::exists(archive));
        EXPECT_TRUE(noStagingLeft(applications));
    }
    EXPECT_NE(logText().find("[ERROR]   ✘ 归档里没有找到任何 *.app bundle\n"), std::string::npos);
}

TEST_F(AppInstall, ReplacesBothNamesAndCleansUserCopies) {
    fs::path destination = home.path() / "system-apps";
    writeFile(destination / "TAVRIN.app" / "AppRun", "former");
    writeFile(destination / "Corvel.app" / "AppRun", "old");
    writeFile(destination / "Corvel.app" / "stale-file", "gone after the update");
    writeFile(applications / "TAVRIN.app" / "AppRun", "user copy");
    writeFile(applications / "Corvel.app" / "AppRun", "user copy");
    writeFile(applications / "Other.app" / "AppRun", "unrelated");
    writeArchive({file("Corvel.app/AppRun", "new", 0755)});

    fs::path installed = install(destination);
    EXPECT_EQ(readFile(installed / "AppRun"), "new");
    EXPECT_FALSE(fs::exists(installed / "stale-file"));
    EXPECT_FALSE(fs::exists(destination / "TAVRIN.app"));
    EXPECT_FALSE(fs::exists(applications / "TAVRIN.app"));
    EXPECT_FALSE(fs::exists(applications / "Corvel.app"));
    EXPECT_TRUE(fs::exists(applications / "Other.app"));
    EXPECT_TRUE(noStagingLeft(destination));
    std::string text = logText();
    EXPECT_NE(text.find("  ✔ 已移除旧 TAVRIN.app\n"), std::string::npos);
    EXPECT_NE(text.find("  ✔ 已移除旧 Corvel.app\n"), std::string::npos);
    EXPECT_NE(
        text.find("  • 已清理 ~/Applications 历史副本: " + (applications / "Corvel.app").string()),
        std::string::npos);
}

TEST_F(AppInstall, FailingMoveOfTheNewBundlePutsTheOldOneBack) {
    writeFile(applications / "TAVRIN.app" / "AppRun", "former");
    writeArchive({file("Corvel.app/AppRun", "new", 0755)});
    // A name the file system cannot hold: the final move fails after the old bundle was set aside.
    std::string tooLong = std::string(300, 'C') + ".app";
    try {
        CorvelAppInstaller::installAppBundle(archive, applications, tooLong, "com.tavrin.app",
                                             "Corvel");
        FAIL() << "expected moveFailed";
    } catch (const CorvelInstallError& e) {
        EXPECT_TRUE(std::holds_alternative<CorvelInstallError::MoveFailed>(e.value()));
    }
    EXPECT_EQ(readFile(applications / "TAVRIN.app" / "AppRun"), "former");
    EXPECT_TRUE(fs::exists(archive));
    EXPECT_TRUE(noStagingLeft(applications));
    EXPECT_NE(logText().find("[ERROR]   ✘ 搬运到目标失败: "), std::string::npos);
}

TEST_F(AppInstall, RunningCopyThatQuitsIsNeverKilled) {
    pid_t pid = startOldCopy(applications / "Corvel.app", "exit 0");
    writeArchive({file("Corvel.app/AppRun", "new", 0755)});
    install(applications);
    int status = platform::waitForExit(pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    std::string text = logText();
    EXPECT_NE(text.find(fmt::format("  • 终止运行中的 Corvel（PID {}）\n", pid)),
              std::string::npos);
    EXPECT_EQ(text.find("强制终止"), std::string::npos);
    EXPECT_EQ(readFile(applications / "Corvel.app" / "AppRun"), "new");
}

TEST_F(AppInstall, RunningCopyThatIgnoresTerminationIsKilled) {
    pid_t pid = startOldCopy(applications / "Corvel.app", "");
    writeArchive({file("Corvel.app/AppRun", "new", 0755)});
    install(applications);
    int status = platform::waitForExit(pid);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << status;
    EXPECT_NE(logText().find(fmt::format("[WARN]   • 强制终止 Corvel（PID {}）\n", pid)),
              std::string::npos);
    EXPECT_EQ(readFile(applications / "Corvel.app" / "AppRun"), "new");
}

TEST_F(AppInstall, LaunchIsDetachedWithNothingInherited) {
    fs::path bundle = applications / "Corvel.app";
    writeFile(bundle / "AppRun", "#!/bin/sh\nexec sleep 30\n");
    fs::permissions(bundle / "AppRun", fs::perms::owner_all);
    pid_t pid = ApplicationLauncher::launch(bundle);
    fs::path proc = fs::path("/proc") / std::to_string(pid);
    ASSERT_TRUE(waitUntil([&] { return readFile(proc / "comm") == "sleep\n"; }));
    EXPECT_EQ(::getsid(pid), pid);
    std::vector<std::string> descriptors;
    for (const auto& entry : fs::directory_iterator(proc / "fd")) {
        descriptors.push_back(entry.path().filename().string());
        EXPECT_EQ(fs::read_symlink(entry.path()), "/dev/null") << entry.path();
    }
    EXPECT_EQ(descriptors.size(), 3u);
    ::kill(pid, SIGKILL);
    platform::waitForExit(pid);
}

TEST_F(AppInstall, CancelledInstallLeavesTheOldBundleAlone) {
    writeFile(applications / "Corvel.app" / "AppRun", "old");
    writeArchive({file("Corvel.app/AppRun", "new", 0755)});
    std::stop_source stop;
    stop.request_stop();
    EXPECT_THROW(CorvelAppInstaller::installAppBundle(archive, applications, "Corvel.app",
                                                      "com.tavrin.app", "Corvel", stop.get_token()),
                 platform::CancelledError);
    EXPECT_EQ(readFile(applications / "Corvel.app" / "AppRun"), "old");
    EXPECT_TRUE(fs::exists(archive));
    EXPECT_TRUE(noStagingLeft(applications));
}
