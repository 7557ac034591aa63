#include "install/CorvelInstallError.h"
#include "log/ByteCount.h"
#include "pipeline/CVTAVAsset.h"
#include "platform/DomainError.h"
#include "support/TempHome.h"

#include <gtest/gtest.h>

using platform::Url;

namespace {
Url url(const char* text) {
    auto parsed = Url::parse(text);
    if (!parsed) throw std::runtime_error(std::string("bad url ") + text);
    return *parsed;
}
} // namespace

TEST(AssetModel, FormatIsInferredFromTheLowerCasedName) {
    using F = CVTAVAsset::Format;
    EXPECT_EQ(inferFormat(url("https://h/m/Model.TAR.GZ")), F::tarGz);
    EXPECT_EQ(inferFormat(url("https://h/a.tgz")), F::tarGz);
    EXPECT_EQ(inferFormat(url("https://h/a.ZIP")), F::zip);
    EXPECT_EQ(inferFormat(url("https://h/a.bin")), F::raw);
    EXPECT_EQ(inferFormat(url("https://h/noextension")), F::raw);
    EXPECT_EQ(inferFormat(url("https://h/a.zip?token=x.bin")), F::zip);
    EXPECT_EQ(inferFormat(url("https://h/a%2Etar%2Egz")), F::tarGz);
}

TEST(AssetModel, BundlePredicateComparesStandardizedDirectories) {
    testsupport::TempHome home;
    CVTAVAsset asset{"Corvel.app",
                     url("https://h/app.zip"),
                     "",
                     1,
                     CVTAVAsset::applicationsDirectory().string() + "/",
                     "",
                     CVTAVAsset::Format::zip};
    EXPECT_TRUE(asset.isApplicationBundleAsset());
    asset.destination = CVTAVAsset::applicationsDirectory();
    EXPECT_TRUE(asset.isApplicationBundleAsset());
    asset.format = CVTAVAsset::Format::raw;
    EXPECT_FALSE(asset.isApplicationBundleAsset());
    asset.format = CVTAVAsset::Format::zip;
    asset.destination = CVTAVAsset::llmDataDirectory();
    EXPECT_FALSE(asset.isApplicationBundleAsset());
    EXPECT_EQ(CVTAVAsset::llmDataDirectory(), home.path() / ".local/share/com.corvel.data/LLMData");
}

TEST(ByteCount, FileStyleWithDecimalUnits) {
    EXPECT_EQ(formatByteCount(0), "Zero KB");
    EXPECT_EQ(formatByteCount(1), "1 byte");
    EXPECT_EQ(formatByteCount(999), "999 bytes");
    EXPECT_EQ(formatByteCount(1000), "1 KB");
    EXPECT_EQ(formatByteCount(999499), "999 KB");
    EXPECT_EQ(formatByteCount(999500), "1 MB");
    EXPECT_EQ(formatByteCount(1500000), "1.5 MB");
    EXPECT_EQ(formatByteCount(1230000000), "1.23 GB");
    EXPECT_EQ(formatByteCount(-1500000), "-1.5 MB");
    EXPECT_FALSE(formatByteCount(INT64_MIN).empty());
    EXPECT_FALSE(formatByteCount(INT64_MAX).empty());
}

TEST(InstallError, EveryCaseDescribesItself) {
    EXPECT_STREQ(CorvelInstallError::diskSpaceInsufficient(0, 0).what(),
                 "磁盘空间不足：需要 Zero KB，可用 Zero KB");
    EXPECT_STREQ(CorvelInstallError::diskSpaceInsufficient(1500000, 1230000000).what(),
                 "磁盘空间不足：需要 1.5 MB，可用 1.23 GB");
    auto domain =
        std::make_exception_ptr(DomainError("CorvelRemoteManifest", -1, "manifest status=FAIL"));
    EXPECT_STREQ(CorvelInstallError::network(domain).what(), "网络错误：manifest status=FAIL");
    EXPECT_STREQ(CorvelInstallError::checksumMismatch("a.zip", "AA", "bb").what(),
                 "a.zip 校验失败，文件可能已损坏");
    EXPECT_EQ(CorvelInstallError::checksumMismatch("a.zip", "x", "y").errorDescription(),
              CorvelInstallError::checksumMismatch("a.zip", "AA", "bb").errorDescription());
    EXPECT_STREQ(CorvelInstallError::extractFailed("m.tar.gz", "").what(), "m.tar.gz 解压失败：");
    EXPECT_STREQ(CorvelInstallError::extractFailed("m.tar.gz", "bad").what(),
                 "m.tar.gz 解压失败：bad");
    auto inner = std::make_exception_ptr(CorvelInstallError::extractFailed("x", "y"));
    EXPECT_STREQ(CorvelInstallError::moveFailed("Corvel.app", inner).what(),
                 "Corvel.app 安装失败：x 解压失败：y");
    EXPECT_STREQ(CorvelInstallError::network(inner).what(), "网络错误：x 解压失败：y");
    EXPECT_STREQ(CorvelInstallError::cancelled().what(), "已取消");
}
