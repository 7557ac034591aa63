#include "TestArchives.h"
#include "install/CorvelAssetExtractor.h"
#include "install/CorvelInstallError.h"
#include "log/CorvelSetupLogger.h"
#include "platform/Cancellation.h"
#include "support/TempHome.h"

#include <fmt/format.h>
#include <gtest/gtest.h>

#include <openssl/evp.h>
#include <sys/stat.h>
#include <utime.h>

namespace fs = std::filesystem;
using CVTAVAsset::Format::tarGz;
using CVTAVAsset::Format::zip;
using testarchives::deviceNode;
using testarchives::directory;
using testarchives::Entry;
using testarchives::file;
using testarchives::hardLink;
using testarchives::softLink;
using testsupport::readFile;
using testsupport::TempHome;
using testsupport::writeFile;

namespace {

class AssetExtraction : public ::testing::Test {
  protected:
    TempHome home;
    fs::path data = home.path() / "data";
    fs::path destination = data / "LLMData";
    fs::path archive = home.path() / "cache" / "payload.part";

    CVTAVAsset asset(CVTAVAsset::Format format, const std::string& url = "https://h/pack.bin",
                     const std::string& relativePath = "") {
        return CVTAVAsset{.name = "资产",
                          .url = *platform::Url::parse(url),
                          .sha256 = "",
                          .expectedBytes = 1,
                          .destination = destination,
                          .relativePath = relativePath,
                          .format = format};
    }

    fs::path unpack(CVTAVAsset::Format format, const std::vector<Entry>& entries) {
        fs::create_directories(archive.parent_path());
        testarchives::write(archive, format, entries);
        return CorvelAssetExtractor::extract(archive, asset(format));
    }

    // The reason of the extractFailed that unpacking raises.
    std::string refusal(CVTAVAsset::Format format, const std::vector<Entry>& entries) {
        try {
            unpack(format, entries);
        } catch (const CorvelInstallError& e) {
            return std::get<CorvelInstallError::ExtractFailed>(e.value()).stderrText;
        }
        return "(no failure)";
    }

    bool noTemporaryLeft() const {
        for (const auto& entry : fs::directory_iterator(data))
            if (entry.path().filename().string().starts_with("corvel-extract-")) return false;
        return true;
    }
};

void setModified(const fs::path& path, std::time_t when) {
    struct utimbuf times {
        when, when
    };
    ::utime(path.c_str(), &times);
}

} // namespace

TEST_F(AssetExtraction, ZipOfOnlyMacMetadataIsEmpty) {
    EXPECT_EQ(refusal(zip, {file("__MACOSX/._x", "meta"), file(".DS_Store", "ds")}),
              "解压结果为空（staging 无有效条目）");
    EXPECT_TRUE(noTemporaryLeft());
    EXPECT_TRUE(fs::exists(archive)); // kept for a later attempt
}

TEST_F(AssetExtraction, OneNewFolderAmongExistingEntriesIsTheProduct) {
    writeFile(destination / "other" / "keep.bin", "old");
    fs::path product =
        unpack(tarGz, {directory("model"), file("model/weights.bin", "w", 04755),
                       file("model/run.sh", "#!/bin/sh\n", 0755), file("model/数据.txt", "中文")});
    EXPECT_EQ(product, destination / "model");
    EXPECT_EQ(readFile(destination / "model" / "weights.bin"), "w");
    EXPECT_EQ(readFile(destination / "model" / "数据.txt"), "中文");
    EXPECT_EQ(readFile(destination / "other" / "keep.bin"), "old");
    EXPECT_FALSE(fs::exists(archive));
    EXPECT_TRUE(noTemporaryLeft());
    // Executable bits survive; set-user-ID does not.
    struct stat info {};
    ASSERT_EQ(::stat((destination / "model" / "weights.bin").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & S_ISUID, 0u);
    EXPECT_NE(info.st_mode & S_IXUSR, 0u);
    ASSERT_EQ(::stat((destination / "model" / "run.sh").c_str(), &info), 0);
    EXPECT_NE(info.st_mode & S_IXUSR, 0u);

    CorvelSetupLogger::shared().flush();
    std::string text = CorvelSetupLogger::shared().persistedText();
    EXPECT_NE(text.find("  • [tarGz] 解压 payload.part → 临时目录，再移入 " + destination.string()),
              std::string::npos);
    EXPECT_NE(text.find("  • 已移入 LLMData\n"), std::string::npos);
    EXPECT_NE(text.find("  • 已删除归档: payload.part\n"), std::string::npos);
    EXPECT_NE(text.find("  • 解压产物: " + (destination / "model").string() + "\n"),
              std::string::npos);
}

TEST_F(AssetExtraction, ReinstallPicksTheMovedEntryOrTheNewestButNeverTheRecord) {
    writeFile(destination / "model" / "old.bin", "old");
    writeFile(destination / "SetupManifest.json", "{}"); // rewritten just now: the newest entry
    // One entry moved: it is the product even though its name was already there.
    EXPECT_EQ(unpack(zip, {file("model/new.bin", "new")}), destination / "model");
    EXPECT_EQ(readFile(destination / "model" / "new.bin"), "new");
    EXPECT_FALSE(fs::exists(destination / "model" / "old.bin")); // replaced whole

    // Several entries, none new: the newest of the destination, dates from the archive.
    writeFile(destination / "b", "x");
    Entry older = file("a/x", "1");
    older.modified = 1600000000;
    Entry newer = file("b", "2");
    newer.modified = 1700000000;
    Entry olderDirectory = directory("a");
    olderDirectory.modified = 1600000000;
    writeFile(destination / "a" / "x", "0");
    setModified(destination / "model", 1500000000);
    EXPECT_EQ(unpack(zip, {olderDirectory, older, newer}), destination / "b");
}

TEST_F(AssetExtraction, TwoNewEntriesGiveTheDestinationAndGgmlBaseIsFlattened) {
    EXPECT_EQ(unpack(tarGz, {file("one.bin", "1"), file("two.bin", "2")}), destination);
    EXPECT_EQ(unpack(zip, {file("中文模型/权重.bin", "w")}), destination / "中文模型");
    EXPECT_EQ(readFile(destination / "中文模型" / "权重.bin"), "w");

    fs::path product = unpack(zip, {file("ggml-base/ggml-base.bin", "model"),
                                    file("ggml-base/ggml-base-encoder.mlmodelc/weights", "enc")});
    EXPECT_EQ(product, destination / "ggml-base.bin");
    EXPECT_EQ(readFile(destination / "ggml-base.bin"), "model");
    EXPECT_EQ(readFile(destination / "ggml-base-encoder.mlmodelc" / "weights"), "enc");
    EXPECT_FALSE(fs::exists(destination / "ggml-base"));
}

TEST_F(AssetExtraction, HostileEntriesAreRefusedAndWriteNothingOutside) {
    Entry fifo = deviceNode("pipe", Entry::Kind::fifo);
    Entry device = deviceNode("null", Entry::Kind::characterDevice);
    Entry escapingHardlink = hardLink("h", "../../outside.txt");
    Entry unknownHardlink = hardLink("h", "missing");
    writeFile(home.path() / "outside.txt", "secret");
    const std::vector<std::pair<std::string, std::vector<Entry>>> cases = {
        {"..", {file("../evil", "x")}},
        {"..", {file("a/../../evil", "x")}},
        {"绝对路径", {file("/evil", "x")}},
        {"SetupManifest.json", {file("SetupManifest.json", "{}")}},
        {"SetupManifest.json", {file("./SetupManifest.json", "{}")}},
        {"绝对路径", {softLink("link", "/etc")}},
        {"归档之外", {softLink("link", "../..")}},
        {"归档之外", {softLink("deep/link", "../../x")}},
        // Each link stays inside as written; followed through the first, the second leaves.
        {"归档之外", {softLink("a/b/up", "../.."), softLink("t", "a/b/up/..")}},
        {"link", {softLink("link", "inner"), directory("inner"), file("link/through", "x")}},
        {"设备文件", {fifo}},
        {"设备文件", {device}},
        {"硬链接", {escapingHardlink}},
        {"硬链接", {unknownHardlink}},
    };
    for (const auto& [expected, entries] : cases) {
        for (auto format : {tarGz, zip}) {
            if (format == zip && entries.front().kind != Entry::Kind::file &&
                entries.front().kind != Entry::Kind::symlink)
                continue; // zip has no devices, FIFOs or hard links
            std::string reason = refusal(format, entries);
            EXPECT_NE(reason.find(expected), std::string::npos)
                << entries.back().name << " (" << formatName(format) << "): " << reason;
            EXPECT_TRUE(noTemporaryLeft());
            EXPECT_FALSE(fs::exists(home.path() / "evil"));
            EXPECT_FALSE(fs::exists(data / "evil"));
            EXPECT_FALSE(fs::exists(destination / "SetupManifest.json"));
        }
    }
    EXPECT_EQ(readFile(home.path() / "outside.txt"), "secret");
    EXPECT_TRUE(!fs::exists(destination) || fs::is_empty(destination));
}

TEST_F(AssetExtraction, SafeLinksAreKept) {
    fs::path product = unpack(tarGz, {directory("pkg"), file("pkg/real.bin", "r"),
                                      softLink("pkg/alias.bin", "real.bin"),
                                      hardLink("pkg/hard.bin", "pkg/real.bin")});
    EXPECT_EQ(product, destination / "pkg");
    EXPECT_EQ(fs::read_symlink(destination / "pkg" / "alias.bin"), "real.bin");
    EXPECT_EQ(readFile(destination / "pkg" / "hard.bin"), "r");
}

TEST_F(AssetExtraction, CancelledBeforeMovingLeavesDestinationAlone) {
    fs::create_directories(archive.parent_path());
    testarchives::write(archive, zip, {file("model/a.bin", "a")});
    std::stop_source stop;
    stop.request_stop();
    EXPECT_THROW(CorvelAssetExtractor::extract(archive, asset(zip), stop.get_token()),
                 platform::CancelledError);
    EXPECT_TRUE(fs::is_empty(destination));
    EXPECT_TRUE(noTemporaryLeft());
    EXPECT_TRUE(fs::exists(archive));
}

TEST_F(AssetExtraction, RawFilesGoWhereTheProductChecksLook) {
    auto move = [&](const std::string& url, const std::string& relativePath) {
        writeFile(archive, "payload " + url);
        return CorvelAssetExtractor::extract(archive,
                                             asset(CVTAVAsset::Format::raw, url, relativePath));
    };
    EXPECT_EQ(move("https://h/m/My%20Model.bin?x=1", ""), destination / "My Model.bin");
    EXPECT_EQ(move("https://h/w", "sub/dir/w.bin"), destination / "sub/dir/w.bin");
    EXPECT_EQ(readFile(destination / "sub/dir/w.bin"), "payload https://h/w");
    // An existing target is replaced.
    EXPECT_EQ(move("https://h/v2", "sub/dir/w.bin"), destination / "sub/dir/w.bin");
    EXPECT_EQ(readFile(destination / "sub/dir/w.bin"), "payload https://h/v2");
    EXPECT_FALSE(fs::exists(archive));
}

TEST_F(AssetExtraction, UnsafeRawNamesAreRefusedWithMoveFailed) {
    fs::create_directories(destination);
    fs::create_directory_symlink(home.path(), destination / "escape");
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"https://h/a%2Fb", ""},      {"https://h/%2E%2E", ""},  {"https://h/", ""},
        {"https://h/x", "../x"},      {"https://h/x", "/etc/x"}, {"https://h/x", "."},
        {"https://h/x", "a/../../x"}, {"https://h/x", "sub/"},   {"https://h/x", "escape/x"},
    };
    for (const auto& [url, relativePath] : cases) {
        writeFile(archive, "payload");
        try {
            CorvelAssetExtractor::extract(archive,
                                          asset(CVTAVAsset::Format::raw, url, relativePath));
            ADD_FAILURE() << url << " " << relativePath << " was accepted";
        } catch (const CorvelInstallError& e) {
            EXPECT_TRUE(std::holds_alternative<CorvelInstallError::MoveFailed>(e.value()));
        }
        EXPECT_EQ(readFile(archive), "payload");
    }
    EXPECT_FALSE(fs::exists(home.path() / "x"));
    EXPECT_FALSE(fs::exists(data / "x"));
}

TEST(Sha256OfFile, DigestsAcrossChunkBoundaries) {
    TempHome home;
    writeFile(home.path() / "empty", "");
    EXPECT_EQ(CorvelAssetExtractor::sha256OfFile(home.path() / "empty"),
              "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    for (std::size_t size : {std::size_t{1} << 20, (std::size_t{3} << 20) + 7}) {
        std::string content(size, '\0');
        for (std::size_t i = 0; i < size; ++i)
            content[i] = static_cast<char>(i * 7 + i / 4096);
        writeFile(home.path() / "big", content);
        unsigned char digest[32];
        unsigned int length = 0;
        EVP_Digest(content.data(), content.size(), digest, &length, EVP_sha256(), nullptr);
        std::string expected;
        for (unsigned char b : digest)
            expected += fmt::format("{:02x}", b);
        EXPECT_EQ(CorvelAssetExtractor::sha256OfFile(home.path() / "big"), expected);
    }
    EXPECT_THROW(CorvelAssetExtractor::sha256OfFile(home.path() / "missing"), fs::filesystem_error);
    std::stop_source stop;
    stop.request_stop();
    EXPECT_THROW(CorvelAssetExtractor::sha256OfFile(home.path() / "big", stop.get_token()),
                 platform::CancelledError);
}
