#include "pipeline/SetupPlan.h"
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
    return CVTAVAsset{file,
                      url,
                      "",
                      bytes,
                      CVTAVAsset::llmDataDirectory(),
                      std::move(relative),
                      inferFormat(url)};
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

TEST(SetupPlan, SkipsRecordedAndPresentProductsAndPlansEachURLOnce) {
    TempHome home;
    fs::path data = CVTAVAsset::llmDataDirectory();
    makeTree(data / "present", 2);
    CVTAVAsset present = model("present.zip", 500);
    CVTAVAsset fresh = model("fresh.tar.gz", 0);
    CVTAVAsset twice = fresh;
    twice.name = "again";
    CVTAVAsset app = model("Corvel.zip", 700);
    app.destination = CVTAVAsset::applicationsDirectory();
    makeTree(CVTAVAsset::applicationsDirectory() / "Corvel", 1); // only models are probed

    SetupPlan::Plan plan = SetupPlan::makePlan({app, present, fresh, twice});
    ASSERT_EQ(plan.assets.size(), 2u);
    EXPECT_EQ(plan.assets[0].name, "Corvel.zip");
    EXPECT_EQ(plan.assets[1].name, "fresh.tar.gz");
    EXPECT_EQ(plan.skippedBytes, 500);
    EXPECT_EQ(plan.neededBytes, 700);
    EXPECT_EQ(plan.plannedBytes, 701);
    expectContains(logText(), {"⏭ 物理产物已存在（补录 SetupManifest.json），跳过: present.zip → " +
                                   (data / "present").string(),
                               "[WARN] ⚠ 清单中重复的下载地址，只下载一次，忽略 [again]"});

    // The product found on disk was recorded, so the next plan skips it through the record.
    SetupPlan::Plan next = SetupPlan::makePlan({present});
    EXPECT_TRUE(next.assets.empty());
    expectContains(logText(), {"⏭ SetupManifest.json 命中（URL + 产物都在），跳过: present.zip"});
}

TEST(SetupPlan, FreeSpaceMustCoverThePlanAndOneGiB) {
    const std::int64_t needed = 5'000'000;
    EXPECT_NO_THROW(SetupPlan::requireFreeSpace(needed, needed + SetupPlan::freeSpaceMargin));
    try {
        SetupPlan::requireFreeSpace(needed, needed + SetupPlan::freeSpaceMargin - 1);
        FAIL() << "one byte short passed";
    } catch (const CorvelInstallError& error) {
        auto* space = std::get_if<CorvelInstallError::DiskSpaceInsufficient>(&error.value());
        ASSERT_NE(space, nullptr);
        EXPECT_EQ(space->needed, needed + SetupPlan::freeSpaceMargin);
        EXPECT_EQ(space->available, needed + SetupPlan::freeSpaceMargin - 1);
    }
    EXPECT_THROW(SetupPlan::requireFreeSpace(0, SetupPlan::freeSpaceMargin - 1),
                 CorvelInstallError);
    EXPECT_THROW(SetupPlan::requireFreeSpace(INT64_MAX, INT64_MAX - 1), CorvelInstallError);
}

} // namespace
