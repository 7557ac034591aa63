#include "pipeline/SetupPlan.h"
#include "download/CacheSlot.h"
#include "record/CorvelSetupManifest.h"
#include "shareddata/CVSharedDataPaths.h"
#include "support/TempHome.h"
#include "types/CorvelInstallError.h"

#include <gtest/gtest.h>

namespace {

namespace fs = std::filesystem;
using namespace testsupport;

CVTAVAsset model(const std::string& file, std::int64_t bytes = 1000, std::string relative = "") {
    auto url = *platform::Url::parse("https://example.invalid/models/" + file);
    auto format = inferFormat(url);
    return {file, url, "", bytes, CVTAVAsset::llmDataDirectory(), std::move(relative), format};
}

void makeTree(const fs::path& path, std::size_t entries) {
    fs::create_directories(path);
    for (std::size_t i = 0; i < entries; ++i)
        writeFile(path / ("f" + std::to_string(i)), "x");
}

void resize(const fs::path& path, std::uintmax_t size) {
    writeFile(path, "");
    fs::resize_file(path, size);
}

TEST(SetupPlan, ProductsFoundOnDisk) {
    TempHome home;
    fs::path data = CVTAVAsset::llmDataDirectory();
    fs::path legacy = CVSharedDataPaths::legacyLLMDataDirectory();

    makeTree(data / "Foo", 0);
    EXPECT_FALSE(SetupPlan::productOnDisk(model("Foo.ZIP"))) << "an empty folder";
    makeTree(data / "Foo", 1);
    EXPECT_TRUE(SetupPlan::productOnDisk(model("Foo.ZIP")));
    EXPECT_FALSE(SetupPlan::productOnDisk(model(".zip")));

    EXPECT_FALSE(SetupPlan::productOnDisk(model("i2t_v3.zip")));
    makeTree(legacy / "Qwen3VL", 1);
    EXPECT_TRUE(SetupPlan::productOnDisk(model("i2t_v3.zip"))) << "the former root is searched too";

    makeTree(data / "ggml-base", 0);
    writeFile(data / "ggml-base" / "ggml-base.bin", "w");
    EXPECT_FALSE(SetupPlan::productOnDisk(model("ggml-base.zip")));
    makeTree(data / "ggml-base" / "ggml-base-encoder.mlmodelc", 1);
    EXPECT_TRUE(SetupPlan::productOnDisk(model("ggml-base.zip")));

    resize(data / "weights.bin", 9'000'000);
    EXPECT_TRUE(SetupPlan::productOnDisk(model("weights.bin", 10'000'000, "weights.bin")));
    resize(data / "weights.bin", 8'999'999);
    EXPECT_FALSE(SetupPlan::productOnDisk(model("weights.bin", 10'000'000, "weights.bin")));
    resize(data / "weights.bin", 10'000'000);
    EXPECT_FALSE(SetupPlan::productOnDisk(model("weights.bin", 10'000'000))) << "no relative path";

    makeTree(data / "speech", 3);
    EXPECT_FALSE(SetupPlan::productOnDisk(model("speech.tar.gz"))) << "tar.gz is never probed";
}

TEST(SetupPlan, SkipsRecordedAndPresentProductsPlansEachURLOnceAndChangesNothing) {
    TempHome home;
    fs::path data = CVTAVAsset::llmDataDirectory();
    makeTree(data / "present", 2);
    makeTree(data / "recorded", 1);
    CVTAVAsset present = model("present.zip", 500);
    CVTAVAsset recorded = model("recorded.tar.gz", 300);
    CorvelSetupManifest::record(recorded, data / "recorded");
    CVTAVAsset fresh = model("fresh.tar.gz", 0);
    CVTAVAsset twice = fresh;
    twice.name = "again";
    CVTAVAsset app = model("Corvel.zip", 700);
    app.destination = CVTAVAsset::applicationsDirectory();
    makeTree(CVTAVAsset::applicationsDirectory() / "Corvel", 1); // only models are probed
    std::vector<fs::path> slots;
    for (const auto& asset : {present, recorded}) {
        CacheSlot slot = cache::makeSlot(asset.url);
        writeFile(slot.partURL, std::string(500, 'z'));
        slots.push_back(slot.directory);
    }

    SetupPlan::Plan plan = SetupPlan::makePlan({app, present, recorded, fresh, twice});
    ASSERT_EQ(plan.assets.size(), 2u);
    EXPECT_EQ(plan.assets[0].name, "Corvel.zip");
    EXPECT_EQ(plan.assets[1].name, "fresh.tar.gz");
    EXPECT_EQ(plan.skippedBytes, 800);
    EXPECT_EQ(plan.neededBytes, 700);
    EXPECT_EQ(plan.plannedBytes, 701);
    ASSERT_EQ(plan.found.size(), 1u);
    EXPECT_EQ(plan.found[0].product, data / "present");
    EXPECT_EQ(plan.staleSlots, (std::vector<platform::Url>{present.url, recorded.url}));
    expectContains(logText(), {"⏭ 物理产物已存在（补录 SetupManifest.json），跳过: present.zip → " +
                                   (data / "present").string(),
                               "⏭ SetupManifest.json 命中（URL + 产物都在），跳过: recorded",
                               "[WARN] ⚠ 清单中重复的下载地址，只下载一次，忽略 [again]"});
    // Planning alone records and removes nothing: that is the run's to do.
    EXPECT_EQ(CorvelSetupManifest::load().entries.size(), 1u);
    for (const auto& slot : slots)
        EXPECT_TRUE(fs::exists(slot)) << slot;
}

TEST(SetupPlan, FreeSpaceMustCoverThePlanAndOneGiB) {
    const std::int64_t needed = 5'000'000 + 1073741824;
    EXPECT_NO_THROW(SetupPlan::requireFreeSpace(5'000'000, needed));
    try {
        SetupPlan::requireFreeSpace(5'000'000, needed - 1);
        FAIL() << "one byte short passed";
    } catch (const CorvelInstallError& error) {
        auto* space = std::get_if<CorvelInstallError::DiskSpaceInsufficient>(&error.value());
        ASSERT_NE(space, nullptr);
        EXPECT_EQ(std::pair(space->needed, space->available), std::pair(needed, needed - 1));
    }
    EXPECT_THROW(SetupPlan::requireFreeSpace(INT64_MAX, INT64_MAX - 1), CorvelInstallError);
}

TEST(SetupPlan, EachFileSystemMustHoldWhatItReceivesAndAnEmptyPlanNothing) {
    auto at = [](CVTAVAsset asset, const char* destination) {
        asset.destination = destination;
        return asset;
    };
    const CVTAVAsset app = at(model("Corvel.zip", 700), "/apps"),
                     weights = at(model("weights.bin", 2000), "/data/LLMData"),
                     speech = at(model("speech.tar.gz", 300), "/data/LLMData"),
                     tokens = at(model("tokens.bin", 50), "/apps");
    // The cache and the applications folder share a file system; the data lies on another.
    auto volumeOf = [](const fs::path& path) -> std::optional<std::uint64_t> {
        return path.string().starts_with("/data") ? 2 : 1;
    };
    auto needs = SetupPlan::volumeNeeds({app, weights, speech, tokens}, "/cache", volumeOf);
    ASSERT_EQ(needs.size(), 2u);
    EXPECT_EQ(needs[0].folder, "/cache");
    EXPECT_EQ(needs[0].bytes, 3750); // the bundle unpacked beside its archive, a raw file moved
    EXPECT_EQ(needs[1].folder, "/data/LLMData");
    EXPECT_EQ(needs[1].bytes, 2300);

    // The data's file system is the short one, and the message names it.
    auto available = [](const fs::path& folder) -> std::int64_t {
        return folder == "/cache" ? 1073741824 + 3750 : 1073741824 + 2299;
    };
    EXPECT_NE(
        thrownText([&] { SetupPlan::requireFreeSpace(needs, available); }).find("/data/LLMData"),
        std::string::npos);

    EXPECT_TRUE(SetupPlan::volumeNeeds({}, "/cache", volumeOf).empty());
    EXPECT_NO_THROW(SetupPlan::requireFreeSpace({}, [](const fs::path&) { return 0; }));
}

} // namespace
