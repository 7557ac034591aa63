#include "log/ByteCount.h"
#include "support/TempHome.h"
#include "types/CVTAVAsset.h"
#include "types/CorvelInstallError.h"

#include <gtest/gtest.h>

TEST(AssetModel, FormatIsInferredFromTheDecodedLowerCasedName) {
    using F = CVTAVAsset::Format;
    const std::vector<std::pair<const char*, F>> cases = {
        {"https://h/m/Model.TAR.GZ", F::tarGz},
        {"https://h/a.tgz", F::tarGz},
        {"https://h/a.ZIP", F::zip},
        {"https://h/a.bin", F::raw},
        {"https://h/noextension", F::raw},
        {"https://h/a.zip?token=x.bin", F::zip},
        {"https://h/a%2Etar%2Egz", F::tarGz},
    };
    for (const auto& [url, format] : cases)
        EXPECT_EQ(inferFormat(*platform::Url::parse(url)), format) << url;
}

TEST(AssetModel, BundlePredicateComparesStandardizedDirectories) {
    testsupport::TempHome home;
    auto isBundle = [](std::filesystem::path destination, CVTAVAsset::Format format) {
        return CVTAVAsset{.name = "Corvel.app",
                          .url = *platform::Url::parse("https://h/app.zip"),
                          .destination = destination,
                          .format = format}
            .isApplicationBundleAsset();
    };
    auto applications = CVTAVAsset::applicationsDirectory();
    EXPECT_TRUE(isBundle(applications.string() + "/", CVTAVAsset::Format::zip));
    EXPECT_TRUE(isBundle(applications, CVTAVAsset::Format::zip));
    EXPECT_FALSE(isBundle(applications, CVTAVAsset::Format::tarGz));
    EXPECT_FALSE(isBundle(applications, CVTAVAsset::Format::raw));
    EXPECT_FALSE(isBundle(CVTAVAsset::llmDataDirectory(), CVTAVAsset::Format::zip));
    EXPECT_EQ(CVTAVAsset::llmDataDirectory(), home.path() / ".local/share/com.corvel.data/LLMData");
}

TEST(ByteCount, FileStyleWithDecimalUnits) {
    const std::vector<std::pair<std::int64_t, const char*>> cases = {
        {0, "Zero KB"},      {1, "1 byte"},           {999, "999 bytes"},
        {1000, "1 KB"},      {999499, "999 KB"},      {999500, "1 MB"},
        {1500000, "1.5 MB"}, {1230000000, "1.23 GB"}, {-1500000, "-1.5 MB"},
    };
    for (const auto& [bytes, text] : cases)
        EXPECT_EQ(formatByteCount(bytes), text) << bytes;
    EXPECT_FALSE(formatByteCount(INT64_MIN).empty());
    EXPECT_FALSE(formatByteCount(INT64_MAX).empty());
}

// The whole run shows the network, checksum and cancellation texts.
TEST(InstallError, EveryCaseDescribesItself) {
    using E = CorvelInstallError;
    auto inner = std::make_exception_ptr(E::extractFailed("x", "y"));
    const std::vector<std::pair<E, const char*>> cases = {
        {E::diskSpaceInsufficient(1500000, 1230000000), "磁盘空间不足：需要 1.5 MB，可用 1.23 GB"},
        {E::network(inner), "网络错误：x 解压失败：y"},
        {E::extractFailed("m.tar.gz", ""), "m.tar.gz 解压失败："},
        {E::extractFailed("m.tar.gz", "bad"), "m.tar.gz 解压失败：bad"},
        {E::moveFailed("Corvel.app", inner), "Corvel.app 安装失败：x 解压失败：y"},
    };
    for (const auto& [error, text] : cases)
        EXPECT_STREQ(error.what(), text);
}

TEST(InstallError, OnlyAFullDiskOrQuotaBecomesDiskFull) {
    auto fileError = [](int code) {
        return std::make_exception_ptr(
            std::filesystem::filesystem_error("cannot write part file", "/c/payload.part",
                                              std::error_code(code, std::generic_category())));
    };
    for (int code : {ENOSPC, EDQUOT}) {
        auto mapped = asDiskFull(fileError(code), "m.bin");
        EXPECT_TRUE(describeError(mapped).starts_with("m.bin 安装失败：磁盘空间不足（")) << code;
    }
    for (auto other : {fileError(EACCES), fileError(EIO),
                       std::make_exception_ptr(CorvelInstallError::cancelled())}) {
        EXPECT_EQ(asDiskFull(other, "m.bin"), other);
    }
}
