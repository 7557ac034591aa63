#include "shareddata/CVSystemProfile.h"
#include "support/TempHome.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdlib>

TEST(SystemProfile, TierDescriptionAndStandardOutputLine) {
    EXPECT_EQ(memoryTierFor(17'179'869'184ull), MemoryTier::highMemory);
    EXPECT_EQ(memoryTierFor(17'179'869'183ull), MemoryTier::lowMemory);
    EXPECT_EQ(CVSystemProfile({"arm64", MemoryTier::highMemory, 24ull << 30}).description(),
              "CVSystemProfile(arch=arm64, memTier=highMemory, ram=24.0GB)");
    EXPECT_EQ(systemProfileLine("a\"b\\"), "\"[CorvelSetup] a\\\"b\\\\\"\n");
}

TEST(SystemProfile, AvailableDiskBytesOfTheHomeVolumeOrZero) {
    testsupport::TempHome home;
    EXPECT_GT(availableDiskBytes(), 0);
    EXPECT_EQ(availableDiskBytes(home.path() / std::string(NAME_MAX + 1, 'x')), 0);
    ::setenv("HOME", (home.path() / "missing").c_str(), 1);
    EXPECT_EQ(availableDiskBytes(), 0);
}
