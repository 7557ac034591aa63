// Which recorded paths removal may touch.

#include "support/TempHome.h"
#include "uninstall/SetupRemoval.h"

#include <gtest/gtest.h>

namespace fs = std::filesystem;

namespace {

TEST(SetupRemoval, OnlyPathsInsideTheFolderEvenThroughLinks) {
    testsupport::TempHome home;
    const fs::path root = home.path() / "data";
    fs::create_directories(root / "models");
    fs::create_directories(home.path() / "elsewhere");
    fs::create_directory_symlink(home.path() / "elsewhere", root / "escape");
    fs::create_symlink(home.path() / "elsewhere", root / "link");
    for (const auto& [path, inside] : std::vector<std::pair<fs::path, bool>>{
             {root / "models" / "a", true},
             {root / "link", true}, // the link goes, not what it points at
             {root / "models" / ".." / "b", true},
             {root, false},
             {root / ".", false},
             {root / "models" / ".." / ".." / "x", false},
             {root / "escape" / "file", false},
             {home.path() / "data2" / "x", false},
             {"relative/x", false}})
        EXPECT_EQ(SetupRemoval::isInside(path, root), inside) << path;
}

} // namespace
