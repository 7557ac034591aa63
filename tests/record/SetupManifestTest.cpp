#include "log/CorvelSetupLogger.h"
#include "record/CorvelSetupManifest.h"
#include "shareddata/CVSharedDataPaths.h"
#include "support/TempHome.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace fs = std::filesystem;
namespace record = CorvelSetupManifest;
using testsupport::readFile;
using testsupport::TempHome;
using testsupport::writeFile;

namespace {

CVTAVAsset modelAsset(const std::string& url, const std::string& name = "model") {
    auto parsed = *platform::Url::parse(url);
    return {name, parsed, "", 2000, CVTAVAsset::llmDataDirectory(), "", inferFormat(parsed)};
}

CVTAVAsset appAsset(const std::string& url) {
    return {"Corvel",
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

// The files the record was set aside to, by name prefix.
std::vector<fs::path> setAside() {
    std::vector<fs::path> found;
    for (const auto& entry : fs::directory_iterator(CVTAVAsset::llmDataDirectory()))
        if (entry.path().filename().string().starts_with("SetupManifest.json.corrupt-"))
            found.push_back(entry.path());
    return found;
}

const char* validRecord = R"({"version": 7, "entries": [{"url": "https:\/\/h\/m.bin", "name": "m",
    "sha256": "", "expectedBytes": 5, "format": "raw", "destination": "\/d", "installedPath":
    "\/d\/m.bin", "completedAt": "2025-06-01T08:30:00Z", "extra": true}], "lastSetupLog": null})";

} // namespace

TEST(SetupRecordCoding, StrictDecodingSortedKeysAndReplacedInvalidUtf8) {
    auto root = record::decode(validRecord); // unknown keys and a null log are fine
    ASSERT_TRUE(root && !root->lastSetupLog);

    std::string entry = R"({"url":"u","name":"n","sha256":"","expectedBytes":1,"format":"raw",)"
                        R"("destination":"/d","installedPath":"/d/f","completedAt":"t"})";
    auto withEntry = [](const std::string& e) { return R"({"version":1,"entries":[)" + e + "]}"; };
    EXPECT_TRUE(record::decode(withEntry(entry)));
    for (const std::string& broken :
         {std::string(validRecord).substr(0, 60), withEntry(entry.substr(0, entry.find(",\"c"))),
          withEntry(std::string(entry).replace(entry.find("1,"), 1, "\"1\"")), withEntry("1"),
          std::string(""), std::string("[]"), std::string(R"({"entries":[]})"),
          std::string(R"({"version":"1","entries":[]})"),
          std::string(R"({"version":1.5,"entries":[]})"),
          std::string(R"({"version":18446744073709551615,"entries":[]})"),
          std::string(R"({"version":1,"entries":{}})"),
          std::string(R"({"version":1,"entries":[],"lastSetupLogAt":5})"),
          std::string("{\"version\":1,\"entries\":[],\"lastSetupLog\":\"\xff\"}")}) {
        EXPECT_FALSE(record::decode(broken)) << broken;
    }

    root->lastSetupLog = "line \xff\xfe end";
    root->lastSetupLogAt = "2025-06-01T08:30:00Z";
    std::string text = record::encode(*root);
    std::vector<std::size_t> at;
    for (const char* key :
         {"entries", "completedAt", "destination", "expectedBytes", "format", "installedPath",
          "name", "sha256", "url", "lastSetupLog", "lastSetupLogAt", "version"})
        at.push_back(text.find(std::string("\"") + key + "\""));
    EXPECT_TRUE(std::ranges::is_sorted(at) && at.back() != std::string::npos) << text;
    auto back = record::decode(text);
    ASSERT_TRUE(back);
    EXPECT_EQ(back->entries, root->entries);
    EXPECT_EQ(*back->lastSetupLog, "line \uFFFD\uFFFD end");
    root->lastSetupLog.reset();
    EXPECT_EQ(record::encode(*root).find("\"lastSetupLog\""), std::string::npos);
    EXPECT_EQ(record::iso8601(std::chrono::system_clock::time_point(
                  std::chrono::seconds(1748766600) + std::chrono::milliseconds(999))),
              "2025-06-01T08:30:00Z");
}

TEST(SetupRecord, BrokenCurrentFileFallsBackToLegacyAndIsKeptAside) {
    TempHome home;
    EXPECT_EQ(record::load(), record::Root{});
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
    auto aside = setAside();
    ASSERT_EQ(aside.size(), 1u);
    EXPECT_EQ(readFile(aside[0]), "{\"version\": 1, \"entr");
    EXPECT_NE(root->lastSetupLog->find("[WARN] ⚠ SetupManifest.json 无法解析，已另存为 " +
                                       aside[0].string()),
              std::string::npos);
}

TEST(SetupRecord, HugeUndecodableFileIsSetAsideNotLost) {
    TempHome home;
    // 100 MB, sparse: cheap to make, too large to be a record.
    writeFile(record::manifestPath(), R"({"version":1,"entries":[],"lastSetupLog":")");
    fs::resize_file(record::manifestPath(), 100u << 20);
    EXPECT_EQ(record::load(), record::Root{});
    record::persistSessionLog();
    auto root = record::decode(readFile(record::manifestPath()));
    ASSERT_TRUE(root && root->lastSetupLog);
    auto aside = setAside();
    ASSERT_EQ(aside.size(), 1u);
    EXPECT_EQ(fs::file_size(aside[0]), 100u << 20);
}

TEST(SetupRecord, OneEntryPerAssetAndTheLogStoredWithIt) {
    TempHome home;
    record::record(appAsset("https://h/v1/Corvel.zip"),
                   CVTAVAsset::applicationsDirectory() / "Corvel.app");
    auto a = modelAsset("https://h/a.bin", "模型");
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
    EXPECT_EQ(root.entries[1],
              (record::Entry{"https://h/v2/Corvel.zip", "Corvel", std::string(64, 'a'), 1, "zip",
                             CVTAVAsset::applicationsDirectory().string(),
                             (CVTAVAsset::applicationsDirectory() / "Corvel.app").string(),
                             root.entries[1].completedAt}));
    EXPECT_EQ(root.entries[2].expectedBytes, 2000);
    ASSERT_TRUE(root.lastSetupLog && root.lastSetupLogAt);
    EXPECT_NE(root.lastSetupLog->find("[INFO] ✔ SetupManifest.json 记录已写入 [模型] → " +
                                      (a.destination / "a.bin").string()),
              std::string::npos);

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
    EXPECT_FALSE(record::isHit(raw)); // no record at all
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
    writeFile(llm / "Model/weights", "w");
    EXPECT_TRUE(record::isHit(zip));

    // An entry written under the former layout is found at its current place, silently.
    namespace paths = CVSharedDataPaths;
    record::Root former;
    former.entries.push_back({"https://h/f.bin", "f", "", 2000, "raw",
                              paths::legacyLLMDataDirectory().string(),
                              (paths::legacyLLMDataDirectory() / "f.bin").string(), "t"});
    record::save(former);
    writeFile(llm / "f.bin", std::string(950, 'x'));
    std::string before = logText();
    EXPECT_TRUE(record::isHit(modelAsset("https://h/f.bin", "f")));
    EXPECT_EQ(logText(), before);
}

TEST(SetupRecord, ExpectedInstalledURL) {
    TempHome home;
    fs::path llm = CVTAVAsset::llmDataDirectory();
    auto model = modelAsset("https://h/dl/Model.ZIP?sig=1");
    model.format = CVTAVAsset::Format::raw; // the URL decides, not the declared format
    auto zipElsewhere = appAsset("https://h/Tool.zip");
    zipElsewhere.destination = home.path() / "tools";
    for (const auto& [asset, expected] : std::vector<std::pair<CVTAVAsset, fs::path>>{
             {appAsset("https://h/x/Anything.zip"), home.path() / "Applications/Corvel.app"},
             {model, llm / "Model"},
             {zipElsewhere, home.path() / "tools/Tool"}}) {
        EXPECT_EQ(record::expectedInstalledURL(asset), expected) << asset.url.absoluteString();
    }
}

TEST(SetupRecord, FailedWritesAreReportedAndDestroyNothing) {
    TempHome home;
    auto asset = modelAsset("https://h/m.bin", "m");
    const std::string failed = "[WARN] ⚠ SetupManifest.json 写入失败 [m]: ";
    // A directory where the record file must go.
    writeFile(record::manifestPath() / "keep", "k");
    record::record(asset, asset.destination / "m.bin");
    EXPECT_NE(logText().find(failed), std::string::npos);
    EXPECT_EQ(readFile(record::manifestPath() / "keep"), "k");

    testing::internal::CaptureStderr();
    record::persistSessionLog();
    CorvelSetupLogger::shared().flush();
    EXPECT_NE(testing::internal::GetCapturedStderr().find(
                  "[CorvelSetupManifest] persistSessionLog 失败: "),
              std::string::npos);

    // A file where the data root must go: the directory cannot be made.
    TempHome other;
    writeFile(CVSharedDataPaths::dataRoot(), "not a folder");
    record::record(asset, asset.destination / "m.bin");
    EXPECT_EQ(readFile(CVSharedDataPaths::dataRoot()), "not a folder");
    EXPECT_NE(logText().find(failed), logText().rfind(failed));
}
