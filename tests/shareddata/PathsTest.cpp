#include "pipeline/CVTAVAsset.h"
#include "shareddata/CVSharedDataPaths.h"
#include "support/TempHome.h"

#include <gtest/gtest.h>

#include <cstdlib>

namespace fs = std::filesystem;
namespace paths = CVSharedDataPaths;
using testsupport::TempHome;

TEST(SharedDataPaths, LLMDataDirectoryIsTheAssetModelOne) {
    TempHome home;
    EXPECT_EQ(paths::llmDataDirectory(), CVTAVAsset::llmDataDirectory());
    EXPECT_EQ(paths::llmDataSearchRoots(),
              (std::vector<fs::path>{paths::llmDataDirectory(), paths::legacyLLMDataDirectory()}));
    ::setenv("XDG_DATA_HOME", (home.path() / "xdg").c_str(), 1);
    EXPECT_EQ(paths::llmDataDirectory(), home.path() / "xdg/com.corvel.data/LLMData");
    EXPECT_EQ(paths::llmDataDirectory(), CVTAVAsset::llmDataDirectory());
}

TEST(SharedDataPaths, SameLLMDataDestination) {
    TempHome home;
    fs::path current = paths::llmDataDirectory();
    fs::path former = paths::legacyLLMDataDirectory();
    EXPECT_TRUE(paths::sameLLMDataDestination(current, former));
    EXPECT_TRUE(paths::sameLLMDataDestination(former.string() + "/", current / "x" / ".."));
    EXPECT_TRUE(paths::sameLLMDataDestination(former, former));
    EXPECT_FALSE(paths::sameLLMDataDestination(current, CVTAVAsset::applicationsDirectory()));
    EXPECT_FALSE(paths::sameLLMDataDestination(current, current / "sub"));
    EXPECT_TRUE(paths::sameLLMDataDestination("/srv/a/../b", "/srv/b/"));
    EXPECT_FALSE(paths::sameLLMDataDestination("/srv/a", "/srv/b"));
}

TEST(SharedDataPaths, RemapLegacyPath) {
    TempHome home;
    std::string legacy = paths::legacyDataRoot().string();
    std::string current = paths::dataRoot().string();
    EXPECT_EQ(paths::remapLegacyPath(""), "");
    EXPECT_EQ(paths::remapLegacyPath(legacy + "/LLMData/Model"), current + "/LLMData/Model");
    EXPECT_EQ(paths::remapLegacyPath(legacy), current);
    EXPECT_EQ(paths::remapLegacyPath(legacy + "/TAVRIN_DATA"), current + "/CORVEL_DATA");
    EXPECT_EQ(paths::remapLegacyPath("/x/TAVRIN_DATA/TAVRIN_DATA/y"),
              "/x/CORVEL_DATA/TAVRIN_DATA/y");
    EXPECT_EQ(paths::remapLegacyPath("/x/TAVRIN_DATA"), "/x/CORVEL_DATA");
    EXPECT_EQ(paths::remapLegacyPath("/x/MY_TAVRIN_DATA"), "/x/MY_TAVRIN_DATA");
    EXPECT_EQ(paths::remapLegacyPath("/opt/models/a.bin"), "/opt/models/a.bin");
    // A sibling whose name merely starts like the former root is another folder.
    EXPECT_EQ(paths::remapLegacyPath(legacy + "-backup/x"), legacy + "-backup/x");
}
