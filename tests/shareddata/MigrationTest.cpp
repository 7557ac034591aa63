#include "shareddata/CVSharedDataPaths.h"
#include "support/TempHome.h"

#include <gtest/gtest.h>

#include <climits>
#include <map>

namespace fs = std::filesystem;
namespace paths = CVSharedDataPaths;
using paths::RootOutcome;
using testsupport::readFile;
using testsupport::TempHome;
using testsupport::writeFile;

namespace {

fs::path support() {
    return paths::applicationSupportDirectory();
}

// Every path below root with its content ("->target" for links, "/" for folders).
std::map<std::string, std::string> snapshot(const fs::path& root) {
    std::map<std::string, std::string> result;
    for (auto it = fs::recursive_directory_iterator(root); it != fs::recursive_directory_iterator();
         ++it) {
        std::string rel = it->path().lexically_relative(root).string();
        if (it->is_symlink())
            result[rel] = "->" + fs::read_symlink(it->path()).string();
        else if (it->is_directory())
            result[rel] = "/";
        else
            result[rel] = readFile(it->path());
    }
    return result;
}

} // namespace

TEST(Migration, NeitherLayoutCreatesNothing) {
    TempHome home;
    auto result = paths::migrateLegacyData();
    EXPECT_EQ(result.rootOutcome, RootOutcome::noLegacy);
    EXPECT_FALSE(result.dataFolderMoved);
    EXPECT_FALSE(result.appFolderMigrated);
    EXPECT_FALSE(result.buildFolderMigrated);
    EXPECT_TRUE(fs::is_empty(home.path()));
}

TEST(Migration, LegacyRootMovedThenNothingToDo) {
    TempHome home;
    writeFile(paths::legacyLLMDataDirectory() / "Model/w.bin", "w");
    writeFile(paths::legacyDataDirectory(".hidden"), "h");
    auto result = paths::migrateLegacyData();
    EXPECT_EQ(result.rootOutcome, RootOutcome::migrated);
    EXPECT_FALSE(fs::exists(paths::legacyDataRoot()));
    EXPECT_EQ(readFile(paths::llmDataDirectory() / "Model/w.bin"), "w");
    EXPECT_EQ(readFile(paths::dataDirectory(".hidden")), "h");
    EXPECT_EQ(paths::migrateLegacyData().rootOutcome, RootOutcome::noLegacy);
}

TEST(Migration, CurrentRootHoldingOnlyFinderLitterIsReplaced) {
    TempHome home;
    writeFile(paths::dataDirectory(".DS_Store"), "");
    writeFile(paths::dataDirectory(".localized"), "");
    writeFile(paths::legacyDataDirectory("a.txt"), "a");
    EXPECT_EQ(paths::migrateLegacyData().rootOutcome, RootOutcome::migrated);
    EXPECT_EQ(snapshot(paths::dataRoot()), (std::map<std::string, std::string>{{"a.txt", "a"}}));
}

TEST(Migration, BothRootsMergeWithTheCurrentFilesWinning) {
    TempHome home;
    fs::path outside = home.path() / "outside";
    writeFile(outside / "big.bin", "outside");
    writeFile(paths::legacyDataDirectory("shared.txt"), "legacy");
    writeFile(paths::legacyDataDirectory("only-legacy.txt"), "L");
    writeFile(paths::legacyDataDirectory(".legacy-hidden"), "lh");
    writeFile(paths::legacyDataDirectory(".both-hidden"), "legacy");
    writeFile(paths::legacyLLMDataDirectory() / "Model/a.bin", "legacy-a");
    writeFile(paths::legacyLLMDataDirectory() / "Model/deep/b.bin", "legacy-b");
    fs::create_directory_symlink(outside, paths::legacyDataDirectory("linked"));
    writeFile(paths::dataDirectory("shared.txt"), "current");
    writeFile(paths::dataDirectory(".both-hidden"), "current");
    writeFile(paths::llmDataDirectory() / "Model/a.bin", "current-a");
    writeFile(paths::llmDataDirectory() / "Other/c.bin", "c");

    EXPECT_EQ(paths::migrateLegacyData().rootOutcome, RootOutcome::migrated);
    EXPECT_FALSE(fs::exists(paths::legacyDataRoot()));
    EXPECT_EQ(snapshot(paths::dataRoot()), (std::map<std::string, std::string>{
                                               {".both-hidden", "current"},
                                               {".legacy-hidden", "lh"},
                                               {"LLMData", "/"},
                                               {"LLMData/Model", "/"},
                                               {"LLMData/Model/a.bin", "current-a"},
                                               {"LLMData/Model/deep", "/"},
                                               {"LLMData/Model/deep/b.bin", "legacy-b"},
                                               {"LLMData/Other", "/"},
                                               {"LLMData/Other/c.bin", "c"},
                                               {"linked", "->" + outside.string()},
                                               {"only-legacy.txt", "L"},
                                               {"shared.txt", "current"},
                                           }));
    // The link was copied as a link; removing the former root did not reach through it.
    EXPECT_EQ(readFile(outside / "big.bin"), "outside");
}

TEST(Migration, FailedMergeKeepsTheLegacyRootComplete) {
    TempHome home;
    writeFile(paths::legacyLLMDataDirectory() / "Model/a.bin", "a");
    writeFile(paths::legacyDataDirectory("z-last.txt"), "z");
    writeFile(paths::legacyDataDirectory(".hidden"), "h");
    // A file where the merge needs a directory.
    writeFile(paths::llmDataDirectory() / "Model", "a file, not a folder");
    auto before = snapshot(paths::legacyDataRoot());

    EXPECT_EQ(paths::migrateLegacyData().rootOutcome, RootOutcome::bothPresent);
    EXPECT_EQ(snapshot(paths::legacyDataRoot()), before);
    EXPECT_EQ(readFile(paths::llmDataDirectory() / "Model"), "a file, not a folder");
    // Repeating the attempt changes nothing and loses nothing.
    EXPECT_EQ(paths::migrateLegacyData().rootOutcome, RootOutcome::bothPresent);
    EXPECT_EQ(snapshot(paths::legacyDataRoot()), before);
}

TEST(Migration, PlainFilesWhereFoldersBelongAreLeftAlone) {
    TempHome home;
    // The current root is a file: it cannot be listed, so it is not empty and is kept.
    writeFile(paths::dataRoot(), "current root as a file");
    writeFile(paths::legacyDataDirectory("a.txt"), "a");
    EXPECT_EQ(paths::migrateLegacyData().rootOutcome, RootOutcome::bothPresent);
    EXPECT_EQ(readFile(paths::dataRoot()), "current root as a file");
    EXPECT_EQ(readFile(paths::legacyDataDirectory("a.txt")), "a");
    EXPECT_THROW(paths::ensureLLMDataDirectory(), fs::filesystem_error);

    // A former folder that is a plain file is neither moved nor removed.
    writeFile(home.path() / ".tavrin-build", "not a folder");
    fs::create_directories(home.path() / ".corvel-build/x");
    EXPECT_FALSE(paths::migrateLegacyData().buildFolderMigrated);
    EXPECT_EQ(readFile(home.path() / ".tavrin-build"), "not a folder");
    EXPECT_FALSE(paths::migrateDirectory(home.path() / ".tavrin-build", home.path() / "fresh"));
    EXPECT_FALSE(fs::exists(home.path() / "fresh"));
}

TEST(Migration, DataFoldersFromBothRoots) {
    TempHome home;
    writeFile(paths::dataDirectory("TAVRIN_DATA/shared.txt"), "current");
    writeFile(paths::dataDirectory("TAVRIN_DATA/cur.txt"), "c");
    writeFile(paths::legacyDataDirectory("TAVRIN_DATA/shared.txt"), "legacy");
    writeFile(paths::legacyDataDirectory("TAVRIN_DATA/leg.txt"), "l");
    // Keep the former root in place so both data folders are still there for step two.
    writeFile(paths::legacyDataDirectory("block/x"), "x");
    writeFile(paths::dataDirectory("block"), "file");

    auto result = paths::migrateLegacyData();
    EXPECT_EQ(result.rootOutcome, RootOutcome::bothPresent);
    EXPECT_TRUE(result.dataFolderMoved);
    EXPECT_FALSE(fs::exists(paths::dataDirectory("TAVRIN_DATA")));
    EXPECT_FALSE(fs::exists(paths::legacyDataDirectory("TAVRIN_DATA")));
    EXPECT_EQ(snapshot(paths::dataDirectory("CORVEL_DATA")),
              (std::map<std::string, std::string>{
                  {"cur.txt", "c"}, {"leg.txt", "l"}, {"shared.txt", "current"}}));
}

TEST(Migration, ApplicationAndBuildFolders) {
    TempHome home;
    writeFile(support() / "TAVRIN/settings.json", "{}");
    writeFile(support() / "Corvel/.localized", "");
    writeFile(home.path() / ".tavrin-build/cache/o", "o");
    writeFile(home.path() / ".corvel-build/keep", "k");
    auto result = paths::migrateLegacyData();
    EXPECT_EQ(result.rootOutcome, RootOutcome::noLegacy);
    EXPECT_TRUE(result.appFolderMigrated);
    EXPECT_TRUE(result.buildFolderMigrated);
    EXPECT_EQ(snapshot(support() / "Corvel"),
              (std::map<std::string, std::string>{{"settings.json", "{}"}}));
    EXPECT_EQ(
        snapshot(home.path() / ".corvel-build"),
        (std::map<std::string, std::string>{{"cache", "/"}, {"cache/o", "o"}, {"keep", "k"}}));
    EXPECT_FALSE(fs::exists(support() / "TAVRIN"));
    EXPECT_FALSE(fs::exists(home.path() / ".tavrin-build"));
}

TEST(Migration, StorageIdentity) {
    {
        TempHome home;
        writeFile(paths::dataDirectory(".corvel_storage_id"), "current");
        writeFile(paths::dataDirectory(".tavrin_storage_id"), "former");
        paths::migrateStorageID();
        EXPECT_EQ(readFile(paths::dataDirectory(".corvel_storage_id")), "current");
        EXPECT_EQ(readFile(paths::dataDirectory(".tavrin_storage_id")), "former");
    }
    {
        TempHome home;
        writeFile(paths::dataDirectory(".tavrin_storage_id"), "in-current-root");
        writeFile(paths::legacyDataDirectory(".tavrin_storage_id"), "in-legacy-root");
        paths::migrateStorageID();
        EXPECT_EQ(readFile(paths::dataDirectory(".corvel_storage_id")), "in-current-root");
        EXPECT_FALSE(fs::exists(paths::dataDirectory(".tavrin_storage_id")));
        EXPECT_EQ(readFile(paths::legacyDataDirectory(".tavrin_storage_id")), "in-legacy-root");
    }
    {
        TempHome home;
        writeFile(paths::legacyDataDirectory(".tavrin_storage_id"), "legacy");
        paths::migrateStorageID(); // no data root: the move fails quietly and creates nothing
        EXPECT_FALSE(fs::exists(paths::dataRoot()));
        EXPECT_EQ(readFile(paths::legacyDataDirectory(".tavrin_storage_id")), "legacy");
        // Through the whole migration the former root moves first, taking its identity along.
        paths::migrateLegacyData();
        EXPECT_EQ(readFile(paths::dataDirectory(".corvel_storage_id")), "legacy");
    }
}

TEST(Migration, DirectoryPrimitives) {
    TempHome home;
    fs::path h = home.path();
    EXPECT_FALSE(paths::isEffectivelyEmpty(h / "missing"));
    writeFile(h / "file", "f");
    EXPECT_FALSE(paths::isEffectivelyEmpty(h / "file"));
    writeFile(h / "litter/.DS_Store", "");
    EXPECT_TRUE(paths::isEffectivelyEmpty(h / "litter"));
    writeFile(h / "litter/.other", "");
    EXPECT_FALSE(paths::isEffectivelyEmpty(h / "litter"));

    // A target name longer than NAME_MAX: the move fails, the source stays.
    writeFile(h / "src/a", "a");
    fs::path tooLong = h / std::string(NAME_MAX + 1, 'x');
    EXPECT_FALSE(paths::moveDirectoryIntoPlace(h / "src", tooLong));
    EXPECT_FALSE(paths::migrateDirectory(h / "src", tooLong));
    EXPECT_EQ(readFile(h / "src/a"), "a");

    // Merging into a missing target copies the whole tree, parents included.
    paths::mergeDirectory(h / "src", h / "new/parent/dst");
    EXPECT_EQ(readFile(h / "new/parent/dst/a"), "a");
    EXPECT_EQ(readFile(h / "src/a"), "a");
    EXPECT_NO_THROW(paths::mergeDirectory(h / "missing", h / "dst2"));
    EXPECT_FALSE(fs::exists(h / "dst2"));
}

TEST(Migration, EnsureLLMDataDirectoryMigratesAndCreates) {
    TempHome home;
    writeFile(paths::legacyLLMDataDirectory() / "SetupManifest.json", "{}");
    paths::ensureLLMDataDirectory();
    EXPECT_FALSE(fs::exists(paths::legacyDataRoot()));
    EXPECT_EQ(readFile(paths::llmDataDirectory() / "SetupManifest.json"), "{}");
    EXPECT_NO_THROW(paths::ensureLLMDataDirectory());

    TempHome other;
    paths::ensureLLMDataDirectory();
    EXPECT_TRUE(fs::is_directory(paths::llmDataDirectory()));
}

TEST(Migration, CurrentRootLinkedToTheFormerOneLosesNothing) {
    TempHome home;
    writeFile(paths::legacyLLMDataDirectory() / "m.bin", "m");
    fs::create_directory_symlink(paths::legacyDataRoot(), paths::dataRoot());
    EXPECT_EQ(paths::migrateLegacyData().rootOutcome, RootOutcome::bothPresent);
    EXPECT_EQ(readFile(paths::llmDataDirectory() / "m.bin"), "m");
    EXPECT_EQ(readFile(paths::legacyLLMDataDirectory() / "m.bin"), "m");
}
