#include "log/CorvelSetupLogger.h"
#include "record/CorvelSetupManifest.h"
#include "shareddata/CVSharedDataPaths.h"
#include "support/TempHome.h"

#include <gtest/gtest.h>

#include <fstream>

namespace fs = std::filesystem;
namespace record = CorvelSetupManifest;
using testsupport::readFile;
using testsupport::TempHome;
using testsupport::writeFile;

namespace {

CVTAVAsset modelAsset(const std::string& url, const std::string& name = "model") {
    auto parsed = *platform::Url::parse(url);
    return CVTAVAsset{
        name, parsed, "", 2000, CVTAVAsset::llmDataDirectory(), "", inferFormat(parsed)};
}

CVTAVAsset appAsset(const std::string& url) {
    return CVTAVAsset{"Corvel",
                      *platform::Url::parse(url),
                      std::string(64, 'a'),
                      1,
                      CVTAVAsset::applicationsDirectory(),
                      "",
                      CVTAVAsset::Format::zip};
}

std::string logText() {
    CorvelSetupLogger::shared().flush();
    return CorvelSetupLogger::shared().persistedText();
}

const char* validRecord = R"({"version": 7, "entries": [{"url": "https:\/\/h\/m.bin", "name": "m",
    "sha256": "", "expectedBytes": 5, "format": "raw", "destination": "\/d", "installedPath":
    "\/d\/m.bin", "completedAt": "2025-06-01T08:30:00Z", "extra": true}], "lastSetupLog": null})";

} // namespace

TEST(SetupRecordCoding, StrictDecoding) {
    auto root = record::decode(validRecord);
    ASSERT_TRUE(root);
    EXPECT_EQ(root->version, 7);
    ASSERT_EQ(root->entries.size(), 1u);
    EXPECT_EQ(root->entries[0].url, "https://h/m.bin");
    EXPECT_EQ(root->entries[0].expectedBytes, 5);
    EXPECT_FALSE(root->lastSetupLog);

    const std::string entry =
        R"({"url":"u","name":"n","sha256":"","expectedBytes":1,"format":"raw",)"
        R"("destination":"/d","installedPath":"/d/f","completedAt":"t"})";
    EXPECT_TRUE(record::decode(R"({"version":1,"entries":[)" + entry + "]}"));
    for (std::string broken : {
             std::string(""),
             std::string("not json"),
             std::string(validRecord).substr(0, 60),
             std::string("[]"),
             std::string(R"({"entries":[]})"),
             std::string(R"({"version":1})"),
             std::string(R"({"version":"1","entries":[]})"),
             std::string(R"({"version":1.5,"entries":[]})"),
             std::string(R"({"version":18446744073709551615,"entries":[]})"),
             std::string(R"({"version":1,"entries":{}})"),
             std::string(R"({"version":1,"entries":[1]})"),
             std::string(R"({"version":1,"entries":[],"lastSetupLog":5})"),
             std::string(R"({"version":1,"entries":[],"lastSetupLogAt":[]})"),
             std::string("{\"version\":1,\"entries\":[],\"lastSetupLog\":\"\xff\"}"),
             R"({"version":1,"entries":[)" + entry.substr(0, entry.find(",\"completedAt")) + "}]}",
             R"({"version":1,"entries":[)" +
                 std::string(entry).replace(entry.find("1,"), 1, "\"1\"") + "]}",
         }) {
        EXPECT_FALSE(record::decode(broken)) << broken;
    }
}

TEST(SetupRecordCoding, SortedKeysOptionalLogAndReplacedInvalidUtf8) {
    record::Root root;
    root.entries.push_back(
        {"https://h/m.bin", "m", "", 3, "raw", "/d", "/d/m.bin", "2025-06-01T08:30:00Z"});
    std::string text = record::encode(root);
    EXPECT_EQ(text.find("lastSetupLog"), std::string::npos);
    auto order = [&text](std::initializer_list<const char*> keys) {
        std::size_t last = 0;
        for (const char* key : keys) {
            std::size_t at = text.find(std::string("\"") + key + "\"");
            if (at == std::string::npos || at < last) return false;
            last = at;
        }
        return true;
    };
    EXPECT_TRUE(order({"entries", "completedAt", "destination", "expectedBytes", "format",
                       "installedPath", "name", "sha256", "url", "version"}));
    EXPECT_EQ(record::decode(text), root);

    root.lastSetupLog = "line \xff\xfe end";
    root.lastSetupLogAt = "2025-06-01T08:30:00Z";
    text = record::encode(root);
    EXPECT_TRUE(order({"entries", "lastSetupLog", "lastSetupLogAt", "version"}));
    auto back = record::decode(text);
    ASSERT_TRUE(back);
    EXPECT_EQ(*back->lastSetupLog, "line \xEF\xBF\xBD\xEF\xBF\xBD end");

    EXPECT_EQ(record::iso8601(std::chrono::system_clock::time_point(
                  std::chrono::seconds(1748766600) + std::chrono::milliseconds(999))),
              "2025-06-01T08:30:00Z");
}

TEST(SetupRecord, LoadFromNothingAndNoHit) {
    TempHome home;
    EXPECT_EQ(record::load(), record::Root{});
    std::string before = logText();
    EXPECT_FALSE(record::isHit(modelAsset("https://h/m.bin")));
    EXPECT_EQ(logText(), before);
    EXPECT_FALSE(fs::exists(CVTAVAsset::llmDataDirectory()));
}

TEST(SetupRecord, BrokenCurrentFileFallsBackToLegacyAndIsKeptAside) {
    TempHome home;
    writeFile(record::legacyManifestPath(), validRecord);
    writeFile(record::manifestPath(), "{\"version\": 1, \"entr");
    EXPECT_EQ(record::load().version, 7);

    auto asset = modelAsset("https://h/new.bin", "new");
    record::record(asset, asset.destination / "new.bin");
    auto root = record::decode(readFile(record::manifestPath()));
    ASSERT_TRUE(root);
    EXPECT_EQ(root->version, 7);
    ASSERT_EQ(root->entries.size(), 2u);
    EXPECT_EQ(root->entries[0].url, "https://h/m.bin");
    EXPECT_EQ(root->entries[1].url, "https://h/new.bin");
    // The migration merged the former root away; its entries live on in the record.
    EXPECT_FALSE(fs::exists(CVSharedDataPaths::legacyDataRoot()));

    std::vector<fs::path> aside;
    for (const auto& entry : fs::directory_iterator(CVTAVAsset::llmDataDirectory()))
        if (entry.path().filename().string().starts_with("SetupManifest.json.corrupt-"))
            aside.push_back(entry.path());
    ASSERT_EQ(aside.size(), 1u);
    EXPECT_EQ(readFile(aside[0]), "{\"version\": 1, \"entr");
    EXPECT_NE(root->lastSetupLog->find("[WARN] ⚠ SetupManifest.json 无法解析，已另存为 " +
                                       aside[0].string()),
              std::string::npos);
}

TEST(SetupRecord, HugeUndecodableFileIsSetAsideNotLost) {
    TempHome home;
    fs::create_directories(CVTAVAsset::llmDataDirectory());
    {
        std::ofstream out(record::manifestPath(), std::ios::binary);
        out << R"({"version":1,"entries":[],"lastSetupLog":")";
        std::string chunk(1 << 20, 'x');
        for (int i = 0; i < 100; ++i)
            out << chunk;
    }
    auto size = fs::file_size(record::manifestPath());
    EXPECT_EQ(record::load(), record::Root{});
    record::persistSessionLog();
    auto root = record::decode(readFile(record::manifestPath()));
    ASSERT_TRUE(root);
    EXPECT_TRUE(root->lastSetupLog);
    bool keptAside = false;
    for (const auto& entry : fs::directory_iterator(CVTAVAsset::llmDataDirectory()))
        keptAside |= entry.path().filename().string().starts_with("SetupManifest.json.corrupt-") &&
                     fs::file_size(entry.path()) == size;
    EXPECT_TRUE(keptAside);
}

TEST(SetupRecord, ApplicationAndModelsKeepOneEntryEach) {
    TempHome home;
    record::record(appAsset("https://h/v1/Corvel.zip"),
                   CVTAVAsset::applicationsDirectory() / "Corvel.app");
    auto a = modelAsset("https://h/a.bin", "a");
    auto b = modelAsset("https://h/b.bin", "b");
    record::record(a, a.destination / "a.bin");
    record::record(b, b.destination / "b.bin");
    record::record(appAsset("https://h/v2/Corvel.zip"),
                   CVTAVAsset::applicationsDirectory() / "Corvel.app");
    record::record(a, a.destination / "a.bin");

    auto root = record::load();
    std::vector<std::string> urls;
    for (const auto& entry : root.entries)
        urls.push_back(entry.url);
    EXPECT_EQ(urls, (std::vector<std::string>{"https://h/b.bin", "https://h/v2/Corvel.zip",
                                              "https://h/a.bin"}));
    const auto& app = root.entries[1];
    EXPECT_EQ(app.format, "zip");
    EXPECT_EQ(app.sha256, std::string(64, 'a'));
    EXPECT_EQ(app.destination, CVTAVAsset::applicationsDirectory().string());
    EXPECT_EQ(app.installedPath, (CVTAVAsset::applicationsDirectory() / "Corvel.app").string());
    EXPECT_EQ(root.entries[2].expectedBytes, 2000);
    EXPECT_EQ(root.entries[2].completedAt.size(), 20u);
    EXPECT_EQ(root.entries[2].completedAt.back(), 'Z');
}

TEST(SetupRecord, StoredLogAlreadyHoldsTheRecordLine) {
    TempHome home;
    auto asset = modelAsset("https://h/m.bin", "模型");
    fs::path installed = asset.destination / "m.bin";
    record::record(asset, installed);
    auto root = record::load();
    ASSERT_TRUE(root.lastSetupLog && root.lastSetupLogAt);
    EXPECT_NE(root.lastSetupLog->find("[INFO] ✔ SetupManifest.json 记录已写入 [模型] → " +
                                      installed.string()),
              std::string::npos);
    EXPECT_EQ(root.lastSetupLogAt->size(), 20u);

    // persistSessionLog rewrites the log and leaves the entries alone.
    log(LogLevel::info, "later line");
    record::persistSessionLog();
    auto after = record::load();
    EXPECT_EQ(after.entries, root.entries);
    EXPECT_NE(after.lastSetupLog->find("later line"), std::string::npos);
}

TEST(SetupRecord, HitNeedsMatchingDestinationAndUsableProduct) {
    TempHome home;
    fs::path llm = CVTAVAsset::llmDataDirectory();
    auto raw = modelAsset("https://h/w.bin", "w");
    record::record(raw, llm / "w.bin");
    EXPECT_FALSE(record::isHit(raw)); // nothing installed yet
    writeFile(llm / "w.bin", std::string(950, 'x'));
    EXPECT_TRUE(record::isHit(raw));

    auto elsewhere = raw;
    elsewhere.destination = home.path() / "elsewhere";
    EXPECT_FALSE(record::isHit(elsewhere));
    EXPECT_NE(logText().find("↻ SetupManifest 记录的 destination 与当前不一致，触发重装 [w]: " +
                             llm.string() + " → " + elsewhere.destination.string()),
              std::string::npos);

    auto zip = modelAsset("https://h/Model.zip", "Model");
    record::record(zip, llm / "Model");
    writeFile(llm / "Model/.DS_Store", "");
    EXPECT_FALSE(record::isHit(zip));
    writeFile(llm / "Model/weights", "w");
    EXPECT_TRUE(record::isHit(zip));
    writeFile(llm / "Model.zip", "z");
    record::record(zip, llm / "Model.zip");
    EXPECT_FALSE(record::isHit(zip));
}

TEST(SetupRecord, EntryUnderTheFormerLayoutIsFoundAtItsCurrentPlace) {
    TempHome home;
    namespace paths = CVSharedDataPaths;
    record::Root root;
    root.entries.push_back({"https://h/w.bin", "w", "", 2000, "raw",
                            paths::legacyLLMDataDirectory().string(),
                            (paths::legacyLLMDataDirectory() / "w.bin").string(), "t"});
    fs::create_directories(paths::llmDataDirectory());
    record::save(root);
    writeFile(paths::llmDataDirectory() / "w.bin", std::string(950, 'x'));
    std::string before = logText();
    EXPECT_TRUE(record::isHit(modelAsset("https://h/w.bin", "w")));
    EXPECT_EQ(logText(), before);
}

TEST(SetupRecord, ExpectedInstalledURL) {
    TempHome home;
    EXPECT_EQ(record::expectedInstalledURL(appAsset("https://h/x/Anything.zip")),
              home.path() / "Applications/Corvel.app");
    auto model = modelAsset("https://h/dl/Model.ZIP?sig=1");
    model.format = CVTAVAsset::Format::raw; // the URL decides, not the declared format
    EXPECT_EQ(record::expectedInstalledURL(model), CVTAVAsset::llmDataDirectory() / "Model");
    auto raw = modelAsset("https://h/w.bin");
    raw.relativePath = "sub/w.bin";
    EXPECT_EQ(record::expectedInstalledURL(raw), CVTAVAsset::llmDataDirectory() / "sub/w.bin");
    auto zipElsewhere = appAsset("https://h/Tool.zip");
    zipElsewhere.destination = home.path() / "tools";
    EXPECT_EQ(record::expectedInstalledURL(zipElsewhere), home.path() / "tools/Tool");
}

TEST(SetupRecord, FailedWritesAreReportedAndDestroyNothing) {
    TempHome home;
    auto asset = modelAsset("https://h/m.bin", "m");
    // A directory where the record file must go.
    writeFile(record::manifestPath() / "keep", "k");
    record::record(asset, asset.destination / "m.bin");
    EXPECT_NE(logText().find("[WARN] ⚠ SetupManifest.json 写入失败 [m]: "), std::string::npos);
    EXPECT_EQ(readFile(record::manifestPath() / "keep"), "k");

    testing::internal::CaptureStderr();
    record::persistSessionLog();
    CorvelSetupLogger::shared().flush();
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("[CorvelSetupManifest] persistSessionLog 失败: "), std::string::npos);

    // A file where the data root must go: the directory cannot be made.
    TempHome other;
    writeFile(CVSharedDataPaths::dataRoot(), "not a folder");
    record::record(asset, asset.destination / "m.bin");
    EXPECT_EQ(readFile(CVSharedDataPaths::dataRoot()), "not a folder");
    auto text = logText();
    EXPECT_NE(text.find("[WARN] ⚠ SetupManifest.json 写入失败 [m]: "),
              text.rfind("[WARN] ⚠ SetupManifest.json 写入失败 [m]: "));
}
