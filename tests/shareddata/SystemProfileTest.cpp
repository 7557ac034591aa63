#include "shareddata/CVSystemProfile.h"
#include "support/TempHome.h"

#include <gtest/gtest.h>

#include <climits>

namespace fs = std::filesystem;
using testsupport::TempHome;

TEST(SystemProfile, MemoryTierBoundary) {
    EXPECT_EQ(memoryTierFor(17'179'869'184ull), MemoryTier::highMemory);
    EXPECT_EQ(memoryTierFor(17'179'869'183ull), MemoryTier::lowMemory);
    EXPECT_STREQ(memoryTierName(MemoryTier::highMemory), "highMemory");
    EXPECT_STREQ(memoryTierName(MemoryTier::lowMemory), "lowMemory");
    EXPECT_GT(physicalMemoryBytes(), 0u);
    EXPECT_EQ(currentMemoryTier(), memoryTierFor(physicalMemoryBytes()));
}

TEST(SystemProfile, DescriptionAndStandardOutputLine) {
    CVSystemProfile profile{"arm64", MemoryTier::highMemory, 24ull << 30};
    EXPECT_EQ(profile.description(), "CVSystemProfile(arch=arm64, memTier=highMemory, ram=24.0GB)");
    EXPECT_EQ(systemProfileLine(profile.description()),
              "\"[CorvelSetup] CVSystemProfile(arch=arm64, memTier=highMemory, ram=24.0GB)\"\n");
    profile = {"arm64", MemoryTier::lowMemory, (16ull << 30) - (1ull << 27)}; // 15.875 GiB
    EXPECT_EQ(profile.description(), "CVSystemProfile(arch=arm64, memTier=lowMemory, ram=15.9GB)");
    EXPECT_EQ(systemProfileLine("a\"b\\"), "\"[CorvelSetup] a\\\"b\\\\\"\n");

    auto current = CVSystemProfile::current();
    EXPECT_EQ(current.arch, buildArchitecture());
#if defined(__aarch64__)
    EXPECT_EQ(current.arch, "arm64");
#endif
    EXPECT_EQ(systemProfileDescription(), current.description());
}

TEST(SystemProfile, AvailableDiskBytesOfTheHomeVolumeOrZero) {
    TempHome home;
    EXPECT_GT(availableDiskBytes(), 0);
    EXPECT_EQ(availableDiskBytes(home.path() / "missing"), 0);
    EXPECT_EQ(availableDiskBytes(home.path() / std::string(NAME_MAX + 1, 'x')), 0);
    ::setenv("HOME", (home.path() / "missing").c_str(), 1);
    EXPECT_EQ(availableDiskBytes(), 0);
}
