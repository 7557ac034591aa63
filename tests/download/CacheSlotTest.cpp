#include "download/CacheSlot.h"

#include "support/TempHome.h"

#include <gtest/gtest.h>

namespace fs = std::filesystem;
using testsupport::readFile;
using testsupport::writeFile;

TEST(CacheSlot, SlotNamedByTheUrlDigestWithMetaThatIsReadBackOrIgnoredWhenInvalid) {
    testsupport::TempHome home;
    auto slot = cache::makeSlot(*platform::Url::parse("http://127.0.0.1/a"));
    // printf %s 'http://127.0.0.1/a' | sha256sum
    EXPECT_EQ(slot.partURL, home.path() / ".cache/com.tavrin.setup/downloads" /
                                "531148f00659831be56937120911a7a18eb87760236d14c6334349d14a73d3ec" /
                                "payload.part");
    // A link at the part path is replaced, never written through.
    writeFile(home.path() / "victim", "keep");
    fs::create_symlink(home.path() / "victim", slot.partURL);
    cache::resetPart(slot);
    EXPECT_FALSE(fs::is_symlink(slot.partURL));
    EXPECT_EQ(cache::existingPartBytes(slot), 0);
    EXPECT_EQ(readFile(home.path() / "victim"), "keep");

    CacheMeta full{"W/\"abc\"", "Sun, 06 Dec 2026 10:00:00 GMT", 5'000'000'000, "http://x/a"};
    cache::writeMeta(full, slot);
    EXPECT_EQ(cache::readMeta(slot), full);
    cache::writeMeta({"\"\xff\"", {}, 7, "http://x/a"}, slot); // a header that is not UTF-8
    EXPECT_EQ(cache::readMeta(slot)->totalBytes, 7);
    for (const char* text :
         {R"({"etag":"\"e\"","totalBytes":1000})", R"({"sourceURL":"u","totalBytes":"1000"})",
          R"({"sourceURL":"u","totalBytes":18446744073709551615})", "{", "null"})
        EXPECT_FALSE(cache::decodeMeta(text)) << text;
    EXPECT_EQ(cache::decodeMeta(R"({"sourceURL":"u","etag":null,"other":[1,2]})"),
              (CacheMeta{{}, {}, {}, "u"}));
    // Unwritable metadata is ignored, not thrown.
    fs::remove_all(slot.directory);
    EXPECT_NO_THROW(cache::writeMeta(full, slot));
    EXPECT_FALSE(cache::readMeta(slot));
}

TEST(CacheSlot, PruningRemovesOnlyOldSlotsOfUrlsNoLongerListed) {
    testsupport::TempHome home;
    auto slotOf = [](const std::string& url) {
        return cache::makeSlot(*platform::Url::parse(url));
    };
    const auto weekAgo = fs::file_time_type::clock::now() - std::chrono::hours(24 * 7);
    auto age = [&](const CacheSlot& slot, std::chrono::hours by) {
        writeFile(slot.partURL, "bytes");
        for (const auto& path : {slot.partURL, slot.directory})
            fs::last_write_time(path, weekAgo - by);
    };
    CacheSlot gone = slotOf("https://h/gone.zip");
    CacheSlot listed = slotOf("https://h/listed.zip");
    CacheSlot recent = slotOf("https://h/recent.zip");
    age(gone, std::chrono::hours(1));
    age(listed, std::chrono::hours(1));
    writeFile(recent.partURL, "bytes");
    fs::path notASlot = cache::downloadsRoot() / "notes";
    writeFile(notASlot / "keep.txt", "mine");
    fs::last_write_time(notASlot, weekAgo - std::chrono::hours(1));

    EXPECT_EQ(cache::pruneSlots({cache::slotName(*platform::Url::parse("https://h/listed.zip"))},
                                weekAgo),
              1);
    EXPECT_FALSE(fs::exists(gone.directory));
    for (const auto& kept : {listed.partURL, recent.partURL, notASlot / "keep.txt"})
        EXPECT_TRUE(fs::exists(kept)) << kept;
}
