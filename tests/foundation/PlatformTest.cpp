#include "platform/Directories.h"
#include "platform/FileOps.h"
#include "platform/Spawn.h"
#include "platform/Url.h"
#include "support/TempHome.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fcntl.h>
#include <sys/wait.h>

namespace fs = std::filesystem;
using platform::Url;
using testsupport::readFile;
using testsupport::TempHome;
using testsupport::writeFile;

TEST(Directories, FollowHomeAndIgnoreEmptyOrRelativeXdg) {
    TempHome home;
    EXPECT_EQ(platform::homeDirectory(), home.path());
    EXPECT_EQ(platform::dataHome(), home.path() / ".local/share");
    EXPECT_EQ(platform::cacheHome(), home.path() / ".cache");
    EXPECT_EQ(platform::applicationsDirectory(), home.path() / "Applications");
    ::setenv("XDG_DATA_HOME", "", 1);
    ::setenv("XDG_CACHE_HOME", "relative/cache", 1);
    EXPECT_EQ(platform::dataHome(), home.path() / ".local/share");
    EXPECT_EQ(platform::cacheHome(), home.path() / ".cache");
    ::setenv("XDG_DATA_HOME", (home.path() / "data").c_str(), 1);
    EXPECT_EQ(platform::dataHome(), home.path() / "data");
}

TEST(Url, ParsesOnlyAbsoluteHttpHttpsAndFile) {
    EXPECT_TRUE(Url::parse("https://example.invalid/a/b.zip"));
    EXPECT_TRUE(Url::parse("http://127.0.0.1:8080/x"));
    EXPECT_TRUE(Url::parse("file:///tmp/x"));
    EXPECT_FALSE(Url::parse(""));
    EXPECT_FALSE(Url::parse("/relative/path"));
    EXPECT_FALSE(Url::parse("ftp://h/x"));
    EXPECT_FALSE(Url::parse("https://"));
    EXPECT_FALSE(Url::parse("not a url"));
    EXPECT_FALSE(Url::parse(std::string_view("https://h/a\0b", 13)));
}

TEST(Url, ComponentsAndQueryItems) {
    auto url = *Url::parse("https://h/dir/My%20Model.tar.gz?x=1&name=a%26b&flag");
    EXPECT_EQ(url.scheme(), "https");
    EXPECT_FALSE(url.isFile());
    EXPECT_EQ(url.lastPathComponent(), "My Model.tar.gz");
    auto items = url.queryItems();
    ASSERT_EQ(items.size(), 3u);
    EXPECT_EQ(items[1], (Url::QueryItem{"name", "a&b"}));
    EXPECT_EQ(items[2], (Url::QueryItem{"flag", ""}));

    auto appended = url.appendingQueryItem("v", "12 3");
    EXPECT_EQ(appended.absoluteString(), url.absoluteString() + "&v=12%203");
    EXPECT_EQ(appended.queryItems().back(), (Url::QueryItem{"v", "12 3"}));
    EXPECT_EQ(Url::parse("https://h/p")->appendingQueryItem("v", "1").absoluteString(),
              "https://h/p?v=1");

    EXPECT_EQ(Url::parse("https://h/a/b/")->lastPathComponent(), "b");
    EXPECT_EQ(Url::parse("https://h/a%2Fb")->lastPathComponent(), "a/b");
}

TEST(Url, FileUrlsRoundTripPaths) {
    fs::path path = "/tmp/dir with space/файл#1.bin";
    auto url = Url::fromFilePath(path);
    EXPECT_TRUE(url.isFile());
    EXPECT_EQ(url.filePath(), path);
    auto reparsed = Url::parse(url.absoluteString());
    ASSERT_TRUE(reparsed);
    EXPECT_EQ(reparsed->filePath(), path);
    EXPECT_EQ(reparsed->lastPathComponent(), "файл#1.bin");
}

TEST(FileOps, AtomicWriteReplacesWholeAndLeavesOldFileOnFailure) {
    TempHome home;
    auto target = home.path() / "record.json";
    platform::atomicWriteFile(target, "one");
    platform::atomicWriteFile(target, "two");
    EXPECT_EQ(readFile(target), "two");
    // A directory in the way of the rename: the write fails and leaves no temp file behind.
    auto blocked = home.path() / "blocked";
    fs::create_directories(blocked / "inner");
    EXPECT_THROW(platform::atomicWriteFile(blocked, "x"), fs::filesystem_error);
    std::size_t entries = 0;
    for ([[maybe_unused]] auto& e : fs::directory_iterator(home.path()))
        ++entries;
    EXPECT_EQ(entries, 2u);
}

TEST(FileOps, CopyKeepsSymlinksAsLinksAndMoveRefusesExistingTarget) {
    TempHome home;
    auto src = home.path() / "src";
    writeFile(src / "a.txt", "A");
    writeFile(home.path() / "outside.txt", "secret");
    fs::create_symlink("../outside.txt", src / "link");
    fs::create_directory_symlink(home.path(), src / "loop");
    platform::copyItem(src, home.path() / "copy");
    EXPECT_TRUE(fs::is_symlink(home.path() / "copy/link"));
    EXPECT_EQ(fs::read_symlink(home.path() / "copy/link"), "../outside.txt");
    EXPECT_TRUE(fs::is_symlink(home.path() / "copy/loop"));
    EXPECT_EQ(readFile(home.path() / "copy/a.txt"), "A");

    EXPECT_THROW(platform::moveItem(src, home.path() / "copy"), fs::filesystem_error);
    platform::moveItem(src, home.path() / "moved");
    EXPECT_FALSE(fs::exists(src));
    EXPECT_EQ(readFile(home.path() / "moved/a.txt"), "A");
    EXPECT_THROW(platform::moveItem(home.path() / "missing", home.path() / "x"),
                 fs::filesystem_error);
}

TEST(Spawn, ChildInheritsOnlyItsStandardStreams) {
    TempHome home;
    // A descriptor opened without O_CLOEXEC must still not reach the child.
    int leaky = ::open(home.path().c_str(), O_RDONLY | O_DIRECTORY);
    ASSERT_GE(leaky, 0);
    auto pipe = platform::makePipe();
    pid_t pid = platform::spawnProcess(
        {"/bin/sh", {"-c", "ls /proc/self/fd | wc -l"}, -1, pipe.write.get(), -1, true});
    pipe.write.reset();
    std::string out;
    char buffer[64];
    ssize_t n;
    while ((n = ::read(pipe.read.get(), buffer, sizeof buffer)) > 0)
        out.append(buffer, static_cast<std::size_t>(n));
    int status = platform::waitForExit(pid);
    ::close(leaky);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    // 0, 1, 2 and the descriptor ls opens for the listing.
    EXPECT_EQ(std::stoi(out), 4);
    EXPECT_THROW(platform::spawnProcess({home.path() / "missing", {}, -1, -1, -1, false}),
                 std::system_error);
}
