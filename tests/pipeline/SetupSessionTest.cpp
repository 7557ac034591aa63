#include "pipeline/SetupSession.h"
#include "download/CacheSlot.h"
#include "platform/FolderHold.h"
#include "shareddata/CVSharedDataPaths.h"
#include "support/TempHome.h"

#include <gtest/gtest.h>

#include <cstdlib>

namespace {

namespace fs = std::filesystem;
using namespace testsupport;

const std::string id = "0123ABCD-4567-89EF-0123-456789ABCDEF";

TEST(SetupLock, RunsSharingAnyFolderExcludeEachOtherRunsOfOtherHomesDoNot) {
    TempHome first;
    auto held = SetupLock::tryAcquire();
    ASSERT_TRUE(held);

    // The same data directory and applications folder under another cache folder.
    ::setenv("XDG_CACHE_HOME", (first.path() / "other-cache").c_str(), 1);
    EXPECT_FALSE(SetupLock::tryAcquire());
    // The same cache under another data home still shares the applications folder.
    ::setenv("XDG_DATA_HOME", (first.path() / "other-data").c_str(), 1);
    EXPECT_FALSE(SetupLock::tryAcquire());

    {
        TempHome second;
        EXPECT_TRUE(SetupLock::tryAcquire());
    }
    held.reset();
    ::unsetenv("XDG_CACHE_HOME");
    ::unsetenv("XDG_DATA_HOME");
    EXPECT_TRUE(SetupLock::tryAcquire());

    // Homes whose applications or data folder are links to one shared folder.
    const fs::path shared = first.path() / "shared";
    for (const char* linked : {"Applications", ".local/share/com.corvel.data"}) {
        fs::create_directories(shared / linked);
        TempHome one, two;
        for (TempHome* home : {&one, &two}) {
            fs::create_directories((home->path() / linked).parent_path());
            fs::create_directory_symlink(shared / linked, home->path() / linked);
        }
        ::setenv("HOME", one.path().c_str(), 1);
        auto mine = SetupLock::tryAcquire();
        ASSERT_TRUE(mine) << linked;
        ::setenv("HOME", two.path().c_str(), 1);
        EXPECT_FALSE(SetupLock::tryAcquire()) << linked;
    }

    // A lock that cannot be taken fails rather than letting a run go on without it.
    TempHome broken;
    writeFile(broken.path() / ".cache", "a file where the cache folder belongs");
    EXPECT_THROW(SetupLock::tryAcquire(), std::filesystem::filesystem_error);
}

TEST(Leftovers, TemporariesOfKilledWritesAndStagingGoTheAppComesBackStrangersStay) {
    TempHome home;
    const fs::path data = CVSharedDataPaths::llmDataDirectory();
    const fs::path entries = home.path() / ".local/share/applications";
    const fs::path slot = cache::makeSlot(*platform::Url::parse("https://h/a.zip")).directory;
    const fs::path applications = home.path() / "Applications";
    const fs::path killedSwap = applications / (".tavrin-setup-stage-" + id);
    const fs::path emptyAside = applications / (".tavrin-setup-stage-" + id.substr(0, 35) + "0");
    std::vector<fs::path> leftovers{
        data / (".SetupManifest.json." + id + ".tmp"), data / (".ManifestSignedAt." + id + ".tmp"),
        entries / (".com.tavrin.app.desktop." + id + ".tmp"), slot / (".meta.json." + id + ".tmp"),
        slot / (".segments.json." + id)};
    std::vector<fs::path> strangers{
        data / (".SetupManifest.json." + id + ".tmp.keep"), data / (".other.json." + id + ".tmp"),
        entries / (".com.tavrin.app.desktop.mine.tmp"), slot / "payload.part"};
    for (const auto& path : leftovers)
        writeFile(path, "half");
    for (const auto& path : strangers)
        writeFile(path, "mine");
    writeFile(killedSwap / (".previous-" + id) / "Corvel.app" / "AppRun", "old");
    fs::create_directories(emptyAside / (".previous-" + id));
    // Folders a live run holds (another home's, through a shared folder) stay.
    const fs::path liveSwap = applications / (".tavrin-setup-stage-" + id.substr(0, 35) + "1");
    const fs::path liveUnpack = data.parent_path() / ("corvel-extract-" + id);
    auto swapHold = platform::createHeldFolder(liveSwap);
    auto unpackHold = platform::createHeldFolder(liveUnpack);
    writeFile(liveSwap / (".previous-" + id) / "Corvel.app" / "AppRun", "theirs");

    EXPECT_EQ(removeLeftovers("Corvel.app", "com.tavrin.app"), 7);
    for (const auto& path : leftovers)
        EXPECT_FALSE(fs::exists(path)) << path;
    for (const auto& path : strangers)
        EXPECT_EQ(readFile(path), "mine") << path;
    EXPECT_EQ(readFile(applications / "Corvel.app" / "AppRun"), "old");
    EXPECT_FALSE(fs::exists(killedSwap));
    EXPECT_FALSE(fs::exists(emptyAside));
    EXPECT_TRUE(fs::exists(liveSwap / (".previous-" + id) / "Corvel.app" / "AppRun"));
    EXPECT_TRUE(fs::exists(liveUnpack));
}

} // namespace
