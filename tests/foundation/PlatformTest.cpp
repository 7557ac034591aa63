#include "platform/Directories.h"
#include "platform/FileOps.h"
#include "platform/Url.h"
#include "support/Privileges.h"
#include "support/TempHome.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstdlib>

namespace fs = std::filesystem;
using platform::Url;
using testsupport::readFile;

TEST(Directories, FollowHomeAndIgnoreEmptyOrRelativeXdg) {
    testsupport::TempHome home;
    EXPECT_EQ(platform::applicationsDirectory(), home.path() / "Applications");
    ::setenv("XDG_DATA_HOME", "", 1);
    ::setenv("XDG_CACHE_HOME", "relative/cache", 1);
    EXPECT_EQ(platform::dataHome(), home.path() / ".local/share");
    EXPECT_EQ(platform::cacheHome(), home.path() / ".cache");
    ::setenv("XDG_DATA_HOME", (home.path() / "data").c_str(), 1);
    EXPECT_EQ(platform::dataHome(), home.path() / "data");
}

TEST(Directories, AHomeThatCannotServeIsNamedAndARelativeOneMadeAbsolute) {
    testsupport::TempHome home;
    EXPECT_FALSE(platform::homeProblem());
    testsupport::writeFile(home.path() / "file", "x");
    for (const fs::path& bad : {home.path() / "file", home.path() / "missing"}) {
        ::setenv("HOME", bad.c_str(), 1);
        auto problem = platform::homeProblem();
        ASSERT_TRUE(problem) << bad;
        EXPECT_NE(problem->find("HOME=" + bad.string()), std::string::npos) << *problem;
    }

    fs::path before = fs::current_path();
    fs::current_path(home.path());
    ::setenv("HOME", "./sub/../rel", 1);
    fs::create_directories(home.path() / "rel");
    EXPECT_EQ(platform::homeDirectory(), home.path() / "rel");
    EXPECT_EQ(platform::applicationsDirectory(), home.path() / "rel" / "Applications");
    EXPECT_FALSE(platform::homeProblem());
    fs::current_path(before);
}

TEST(Url, ParsesOnlyAbsoluteHttpHttpsAndFileAndDecodesItsParts) {
    for (std::string_view text : {"https://example.invalid/a/b.zip", "http://127.0.0.1:8080/x"})
        EXPECT_TRUE(Url::parse(text)) << text;
    for (std::string_view text : std::vector<std::string_view>{
             "", "/relative/path", "ftp://h/x", "https://", "not a url", {"https://h/a\0b", 13}})
        EXPECT_FALSE(Url::parse(text)) << text;
    auto url = *Url::parse("https://h/dir/?x=1&name=a%26b&flag");
    EXPECT_EQ(url.lastPathComponent(), "dir");
    EXPECT_EQ(url.queryItems(),
              (std::vector<Url::QueryItem>{{"x", "1"}, {"name", "a&b"}, {"flag", ""}}));
    fs::path path = "/tmp/dir with space/файл#1.bin";
    auto file = Url::parse(Url::fromFilePath(path).absoluteString());
    ASSERT_TRUE(file && file->isFile());
    EXPECT_EQ(file->filePath(), path);
    EXPECT_EQ(file->lastPathComponent(), "файл#1.bin");
}

TEST(FileOps, AtomicWriteCopyAndMoveNeitherLoseNorFollow) {
    testsupport::TempHome home;
    auto target = home.path() / "record.json";
    platform::atomicWriteFile(target, "one");
    platform::atomicWriteFile(target, "two");
    EXPECT_EQ(readFile(target), "two");
    // A directory in the way of the rename: the write fails and leaves no temp file behind.
    fs::create_directories(home.path() / "blocked/inner");
    EXPECT_THROW(platform::atomicWriteFile(home.path() / "blocked", "x"), fs::filesystem_error);
    EXPECT_EQ(std::distance(fs::directory_iterator(home.path()), fs::directory_iterator()), 2);

    auto src = home.path() / "src";
    testsupport::writeFile(src / "a.txt", "A");
    fs::create_symlink("../record.json", src / "link");
    fs::create_directory_symlink(home.path(), src / "loop");
    fs::permissions(src / "a.txt", fs::perms::owner_all);
    platform::copyItem(src, home.path() / "copy");
    EXPECT_EQ(fs::status(home.path() / "copy/a.txt").permissions(), fs::perms::owner_all);
    // A FIFO is no data: copying it is refused instead of blocking on it.
    ASSERT_EQ(::mkfifo((home.path() / "fifo").c_str(), 0600), 0);
    EXPECT_THROW(platform::copyFileContents(home.path() / "fifo", home.path() / "f2"),
                 fs::filesystem_error);
    EXPECT_EQ(fs::read_symlink(home.path() / "copy/link"), "../record.json");
    EXPECT_TRUE(fs::is_symlink(home.path() / "copy/loop"));
    EXPECT_EQ(readFile(home.path() / "copy/a.txt"), "A");
    EXPECT_THROW(platform::moveItem(src, home.path() / "copy"), fs::filesystem_error);
    EXPECT_EQ(readFile(src / "a.txt"), "A");
    platform::moveItem(src, home.path() / "moved");
    EXPECT_FALSE(fs::exists(src));
    EXPECT_EQ(readFile(home.path() / "moved/a.txt"), "A");
}

TEST(FileOps, ReadOnlyFoldersAreCopiedAndRemovedWithoutPrivileges) {
    testsupport::TempHome home;
    auto src = home.path() / "src";
    testsupport::writeFile(src / "ro/inner/b.txt", "B");
    testsupport::writeFile(src / "ro/a.txt", "A");
    fs::permissions(src / "ro/inner", fs::perms::owner_read | fs::perms::owner_exec);
    fs::permissions(src / "ro", fs::perms::owner_read | fs::perms::owner_exec |
                                    fs::perms::group_read | fs::perms::group_exec);
    auto copy = home.path() / "copy";
    std::error_code removed;
    bool ran = testsupport::runWithoutFileModeOverride(home.path(), [&] {
        platform::copyItem(src, copy);
        platform::removeTree(src, removed);
    });
    CORVEL_REQUIRE_CAPABILITY(ran, "dropping CAP_DAC_OVERRIDE from a thread");
    EXPECT_EQ(readFile(copy / "ro/a.txt"), "A");
    EXPECT_EQ(readFile(copy / "ro/inner/b.txt"), "B");
    EXPECT_EQ(fs::status(copy / "ro").permissions(), fs::perms::owner_read | fs::perms::owner_exec |
                                                         fs::perms::group_read |
                                                         fs::perms::group_exec);
    EXPECT_EQ(fs::status(copy / "ro/inner").permissions(),
              fs::perms::owner_read | fs::perms::owner_exec);
    EXPECT_FALSE(removed) << removed.message();
    EXPECT_FALSE(fs::exists(src));
    std::error_code ignored; // the temporary home must stay removable without privileges too
    platform::removeTree(copy, ignored);
}
