#include "platform/FileOps.h"
#include "shareddata/Layout.h"
#include "support/Privileges.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdlib>

using paths::RootOutcome;

TEST(Migration, LayoutsAndTheirResults) {
    // moved: d data folder, a application folder, b build folder; after "same": unchanged.
    for (const auto& [name, before, outcome, moved, after] :
         std::vector<std::tuple<const char*, const char*, RootOutcome, const char*, const char*>>{
             {"neither layout: nothing created", "", RootOutcome::noLegacy, "---", "same"},
             {"former root moved", "L/LLMData/Model/w.bin=w L/.hidden=h", RootOutcome::migrated,
              "---", "D/LLMData/Model/w.bin=w D/.hidden=h"},
             {"current root holding only Finder litter is replaced",
              "D/.DS_Store= D/.localized= L/a.txt=a", RootOutcome::migrated, "---", "D/a.txt=a"},
             {"both roots merge: current files win, hidden and nested merged, links kept",
              "~/outside/big.bin=outside L/shared.txt=legacy L/only-legacy.txt=L "
              "L/.legacy-hidden=lh L/.both-hidden=legacy L/LLMData/Model/a.bin=legacy-a "
              "L/LLMData/Model/deep/b.bin=legacy-b L/linked=->~/outside D/shared.txt=current "
              "D/.both-hidden=current D/LLMData/Model/a.bin=current-a D/LLMData/Other/c.bin=c",
              RootOutcome::migrated, "---",
              "~/outside/big.bin=outside D/shared.txt=current D/only-legacy.txt=L "
              "D/.legacy-hidden=lh D/.both-hidden=current D/LLMData/Model/a.bin=current-a "
              "D/LLMData/Model/deep/b.bin=legacy-b D/LLMData/Other/c.bin=c D/linked=->~/outside"},
             {"failed merge keeps the former root complete",
              "L/LLMData/Model/a.bin=a L/.hidden=h D/LLMData/Model=file", RootOutcome::bothPresent,
              "---", "same"},
             {"a copy that fails part way leaves no half-copied folder behind",
              "L/LLMData/New/a.bin=a L/LLMData/New/pipe=| D/LLMData/keep=k",
              RootOutcome::bothPresent, "---", "same"},
             {"current root is a plain file", "D=file L/a.txt=a", RootOutcome::bothPresent, "---",
              "same"},
             {"current root linked to the former one", "D=->L L/LLMData/m.bin=m",
              RootOutcome::bothPresent, "---", "same"},
             {"data folders of both roots (the former root kept in place by a clash)",
              "D/TAVRIN_DATA/shared.txt=current D/TAVRIN_DATA/cur.txt=c L/TAVRIN_DATA/leg.txt=l "
              "L/TAVRIN_DATA/shared.txt=legacy L/block/x=x D/block=file",
              RootOutcome::bothPresent, "d--",
              "D/CORVEL_DATA/shared.txt=current D/CORVEL_DATA/cur.txt=c D/CORVEL_DATA/leg.txt=l "
              "L/block/x=x D/block=file"},
             {"application and build folders",
              "S/TAVRIN/settings.json={} S/Corvel/.localized= ~/.tavrin-build/cache/o=o "
              "~/.corvel-build/keep=k",
              RootOutcome::noLegacy, "-ab",
              "S/Corvel/settings.json={} ~/.corvel-build/cache/o=o ~/.corvel-build/keep=k"},
             {"former folder that is a plain file is kept",
              "~/.tavrin-build=not-a-folder ~/.corvel-build/x=/", RootOutcome::noLegacy, "---",
              "same"},
             {"storage identity present: left alone",
              "D/.corvel_storage_id=current D/.tavrin_storage_id=former", RootOutcome::noLegacy,
              "---", "same"},
             {"former identity travels with the former root", "L/.tavrin_storage_id=legacy",
              RootOutcome::migrated, "---", "D/.corvel_storage_id=legacy"}}) {
        SCOPED_TRACE(name);
        TempHome home;
        apply(layout(before));
        auto result = paths::migrateLegacyData();
        EXPECT_EQ(result.rootOutcome, outcome);
        EXPECT_EQ(std::string(result.dataFolderMoved ? "d" : "-") +
                      (result.appFolderMigrated ? "a" : "-") +
                      (result.buildFolderMigrated ? "b" : "-"),
                  moved);
        Layout tree = snapshot();
        EXPECT_EQ(tree, layout(std::string_view(after) == "same" ? before : after));
        // Idempotent: a second run finds nothing more to do and loses nothing.
        paths::migrateLegacyData();
        EXPECT_EQ(snapshot(), tree);
    }
}

TEST(Migration, EnsureLLMDataDirectoryAndFailedMoves) {
    for (const auto& [before, after] : std::vector<std::pair<const char*, const char*>>{
             {"L/LLMData/SetupManifest.json={}", "D/LLMData/SetupManifest.json={}"},
             {"", "D/LLMData=/"},
             {"D/LLMData/a=a", "D/LLMData/a=a"}}) {
        TempHome home;
        apply(layout(before));
        paths::ensureLLMDataDirectory();
        EXPECT_EQ(snapshot(), layout(after)) << before;
    }
    TempHome home;
    apply(layout("~/src/a=a D=file"));
    EXPECT_THROW(paths::ensureLLMDataDirectory(), fs::filesystem_error);
    // A target name longer than NAME_MAX: the move fails and the source stays.
    EXPECT_FALSE(
        paths::migrateDirectory(home.path() / "src", home.path() / std::string(NAME_MAX + 1, 'x')));
    EXPECT_EQ(snapshot(), layout("~/src/a=a D=file"));
}

// Read-only folders are merged and the former root removed, also for a user
// who meets file modes (CI runs as root, which would not).
TEST(Migration, ReadOnlyFoldersMergeWithoutPrivileges) {
    TempHome home;
    apply(layout("L/LLMData/ro/inner/w.bin=w D/LLMData/keep=k"));
    const auto readOnly = fs::perms::owner_read | fs::perms::owner_exec;
    for (const char* folder : {"L/LLMData/ro/inner", "L/LLMData/ro"})
        fs::permissions(expand(folder), readOnly);
    paths::MigrationResult result;
    CORVEL_REQUIRE_CAPABILITY(testsupport::runWithoutFileModeOverride(
                                  home.path(), [&] { result = paths::migrateLegacyData(); }),
                              "dropping CAP_DAC_OVERRIDE from a thread");
    EXPECT_EQ(result.rootOutcome, RootOutcome::migrated);
    EXPECT_EQ(readFile(expand("D/LLMData/ro/inner/w.bin")), "w");
    EXPECT_EQ(fs::status(expand("D/LLMData/ro")).permissions(), readOnly);
    EXPECT_FALSE(fs::exists(expand("L")));
    std::error_code ignored;
    platform::removeTree(expand("D"), ignored);
}

TEST(SharedDataPaths, LocationsAndTheirComparison) {
    TempHome home;
    fs::path current = paths::llmDataDirectory();
    fs::path former = paths::legacyLLMDataDirectory();
    EXPECT_EQ(paths::llmDataSearchRoots(), (std::vector<fs::path>{current, former}));
    EXPECT_TRUE(paths::sameLLMDataDestination(former.string() + "/", current / "x" / ".."));
    EXPECT_FALSE(paths::sameLLMDataDestination(current, current / "sub"));
    EXPECT_TRUE(paths::sameLLMDataDestination("/srv/a/../b", "/srv/b/"));
    EXPECT_FALSE(paths::sameLLMDataDestination("/srv/a", "/srv/b"));

    std::string legacy = paths::legacyDataRoot().string();
    std::string root = paths::dataRoot().string();
    for (const auto& [path, remapped] : std::vector<std::pair<std::string, std::string>>{
             {legacy + "/LLMData/Model", root + "/LLMData/Model"},
             {legacy + "/TAVRIN_DATA", root + "/CORVEL_DATA"},
             {"/x/TAVRIN_DATA/TAVRIN_DATA/y", "/x/CORVEL_DATA/TAVRIN_DATA/y"},
             {"/x/MY_TAVRIN_DATA", "/x/MY_TAVRIN_DATA"},
             // A sibling whose name merely starts like the former root is another folder.
             {legacy + "-backup/x", legacy + "-backup/x"}}) {
        EXPECT_EQ(paths::remapLegacyPath(path), remapped) << path;
    }

    ::setenv("XDG_DATA_HOME", (home.path() / "xdg").c_str(), 1);
    EXPECT_EQ(paths::llmDataDirectory(), CVTAVAsset::llmDataDirectory());
}
