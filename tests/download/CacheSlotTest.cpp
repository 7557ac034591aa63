#include "download/CacheSlot.h"

#include "support/TempHome.h"

#include <gtest/gtest.h>

#include <cstdlib>

namespace fs = std::filesystem;
using testsupport::readFile;
using testsupport::TempHome;
using testsupport::writeFile;

namespace {

platform::Url url(const char* text) {
    return *platform::Url::parse(text);
}

} // namespace

TEST(CacheSlot, SlotLivesUnderTheCacheHomeNamedByTheDigestOfTheUrl) {
    TempHome home;
    auto slot = cache::makeSlot(url("http://127.0.0.1:8080/models/a.bin?v=1"));
    EXPECT_EQ(slot.directory.parent_path(), home.path() / ".cache/com.tavrin.setup/downloads");
    // printf %s 'http://127.0.0.1/a' | sha256sum
    EXPECT_EQ(cache::slotName(url("http://127.0.0.1/a")),
              "531148f00659831be56937120911a7a18eb87760236d14c6334349d14a73d3ec");
    EXPECT_TRUE(fs::is_directory(slot.directory));
    EXPECT_EQ(slot.partURL, slot.directory / "payload.part");
    EXPECT_EQ(slot.metaURL, slot.directory / "meta.json");
    EXPECT_FALSE(fs::exists(slot.partURL));

    // Same URL, same slot (an existing directory is fine); another query, another slot.
    EXPECT_EQ(cache::makeSlot(url("http://127.0.0.1:8080/models/a.bin?v=1")).directory,
              slot.directory);
    EXPECT_NE(cache::makeSlot(url("http://127.0.0.1:8080/models/a.bin?v=2")).directory,
              slot.directory);

    ::setenv("XDG_CACHE_HOME", (home.path() / "xdg").c_str(), 1);
    EXPECT_EQ(cache::downloadsRoot(), home.path() / "xdg/com.tavrin.setup/downloads");
    ::unsetenv("XDG_CACHE_HOME");
}

TEST(CacheSlot, MakeSlotPassesUpTheFileSystemError) {
    TempHome home;
    writeFile(home.path() / ".cache", "a file where the cache directory should be");
    EXPECT_THROW(cache::makeSlot(url("http://127.0.0.1/a")), fs::filesystem_error);
}

TEST(CacheSlot, PartFileSizeAndReset) {
    TempHome home;
    auto slot = cache::makeSlot(url("http://127.0.0.1/a"));
    EXPECT_EQ(cache::existingPartBytes(slot), 0);
    writeFile(slot.partURL, std::string(1000, 'x'));
    EXPECT_EQ(cache::existingPartBytes(slot), 1000);
    cache::resetPart(slot);
    EXPECT_TRUE(fs::is_regular_file(slot.partURL));
    EXPECT_EQ(cache::existingPartBytes(slot), 0);
    fs::remove(slot.partURL);
    cache::resetPart(slot);
    EXPECT_TRUE(fs::is_regular_file(slot.partURL));

    // A link at the part path is replaced, never written through.
    writeFile(home.path() / "victim", "keep");
    fs::remove(slot.partURL);
    fs::create_symlink(home.path() / "victim", slot.partURL);
    cache::resetPart(slot);
    EXPECT_FALSE(fs::is_symlink(slot.partURL));
    EXPECT_EQ(readFile(home.path() / "victim"), "keep");
}

TEST(CacheSlot, MetaRoundTripsAndOmitsAbsentKeys) {
    TempHome home;
    auto slot = cache::makeSlot(url("http://127.0.0.1/a"));
    CacheMeta full{"W/\"abc\"", "Sun, 06 Dec 2026 10:00:00 GMT", 5'000'000'000,
                   "http://127.0.0.1/a"};
    cache::writeMeta(full, slot);
    EXPECT_EQ(cache::readMeta(slot), full);

    cache::writeMeta(CacheMeta{{}, {}, {}, "http://127.0.0.1/a"}, slot);
    EXPECT_EQ(readFile(slot.metaURL), R"({"sourceURL":"http://127.0.0.1/a"})");
    auto onlySource = cache::readMeta(slot);
    ASSERT_TRUE(onlySource);
    EXPECT_FALSE(onlySource->etag || onlySource->lastModified || onlySource->totalBytes);

    // Unwritable metadata is ignored, not thrown.
    fs::remove_all(slot.directory);
    EXPECT_NO_THROW(cache::writeMeta(full, slot));
    EXPECT_FALSE(cache::readMeta(slot));
}

TEST(CacheSlot, InvalidMetaCountsAsNone) {
    for (const char* text :
         {R"({"etag":"\"e\"","totalBytes":1000})",                  // no sourceURL
          R"({"sourceURL":5})",                                     // wrong type
          R"({"sourceURL":"u","totalBytes":"1000"})",               // total as text
          R"({"sourceURL":"u","totalBytes":10.5})",                 // not an integer
          R"({"sourceURL":"u","etag":1})",                          // etag not a string
          R"({"sourceURL":"u","totalBytes":18446744073709551615})", // beyond 64-bit signed
          R"(["sourceURL"])", "", "{", "null"}) {
        EXPECT_FALSE(cache::decodeMeta(text)) << text;
    }
    auto tolerant = cache::decodeMeta(R"({"sourceURL":"u","etag":null,"other":[1,2]})");
    ASSERT_TRUE(tolerant);
    EXPECT_FALSE(tolerant->etag);

    TempHome home;
    auto slot = cache::makeSlot(url("http://127.0.0.1/a"));
    EXPECT_FALSE(cache::readMeta(slot)); // missing file
}
