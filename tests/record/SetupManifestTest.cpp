#include "log/CorvelSetupLogger.h"
#include "record/CorvelSetupManifest.h"
#include "shareddata/CVSharedDataPaths.h"
#include "support/TempHome.h"

#include <fmt/format.h>
#include <gtest/gtest.h>

#include <algorithm>

namespace fs = std::filesystem;
namespace record = CorvelSetupManifest;
using testsupport::expectContains;
using testsupport::logText;
using testsupport::readFile;
using testsupport::TempHome;
using testsupport::writeFile;

namespace {

CVTAVAsset asset(const std::string& url, const std::string& name,
                 fs::path destination = CVTAVAsset::llmDataDirectory()) {
    auto parsed = *platform::Url::parse(url);
    return {name, parsed, "", 2000, std::move(destination), "", inferFormat(parsed)};
}

CVTAVAsset appAsset(const std::string& url) {
    return asset(url, "Corvel", CVTAVAsset::applicationsDirectory());
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
    using namespace std::string_literals;
    for (const std::string& broken :
         {std::string(validRecord).substr(0, 60), withEntry(entry.substr(0, entry.find(",\"c"))),
          withEntry(std::string(entry).replace(entry.find("1,"), 1, "\"1\"")), ""s, "[]"s,
          R"({"version":1.5,"entries":[]})"s, R"({"version":18446744073709551615,"entries":[]})"s,
          R"({"version":1,"entries":[],"lastSetupLogAt":5})"s,
          "{\"version\":1,\"entries\":[],\"lastSetupLog\":\"\xff\"}"s}) {
        EXPECT_FALSE(record::decode(broken)) << broken;
    }

    // Shapes that would cost gigabytes as a tree are refused before one is built.
    auto withExtra = [](const std::string& value) {
        return std::string(validRecord).insert(1, "\"extra\": " + value + ", ");
    };
    EXPECT_TRUE(record::decode(withExtra(std::string(63, '[') + std::string(63, ']'))));
    EXPECT_FALSE(record::decode(withExtra(std::string(64, '[') + std::string(64, ']'))));
    std::string zeros = "[0";
    for (int i = 0; i < 100000; ++i)
        zeros += ",0";
    EXPECT_FALSE(record::decode(withExtra(zeros + "]")));
    EXPECT_FALSE(record::decode(std::string(60u << 20, '[')));

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
    EXPECT_EQ(record::iso8601(std::chrono::system_clock::time_point(
                  std::chrono::seconds(1748766600) + std::chrono::milliseconds(999))),
              "2025-06-01T08:30:00Z");
}

TEST(SetupRecord, BrokenCurrentFileFallsBackToLegacyAndIsKeptAside) {
    TempHome home;
    EXPECT_EQ(record::load(), record::Root{});
    writeFile(record::legacyManifestPath(), validRecord);
    // Cut short and 100 MB long (sparse: cheap to make, too large to be a record).
    writeFile(record::manifestPath(), "{\"version\": 1, \"entr");
    fs::resize_file(record::manifestPath(), 100u << 20);
    EXPECT_EQ(record::load().version, 7);

    auto added = asset("https://h/new.bin", "new");
    record::record(added, added.destination / "new.bin");
    auto root = record::decode(readFile(record::manifestPath()));
    ASSERT_TRUE(root);
    ASSERT_EQ(root->entries.size(), 2u);
    EXPECT_EQ(root->entries[0].url, "https://h/m.bin");
    EXPECT_EQ(root->entries[1].url, "https://h/new.bin");
    std::vector<fs::path> aside;
    for (const auto& entry : fs::directory_iterator(CVTAVAsset::llmDataDirectory()))
        if (entry.path().filename().string().starts_with("SetupManifest.json.corrupt-"))
            aside.push_back(entry.path());
    ASSERT_EQ(aside.size(), 1u);
    EXPECT_EQ(fs::file_size(aside[0]), 100u << 20);
    expectContains(*root->lastSetupLog,
                   {"[WARN] ⚠ SetupManifest.json 无法解析，已另存为 " + aside[0].string()});
}

TEST(SetupRecord, OneEntryPerAssetAndTheLogStoredWithIt) {
    TempHome home;
    fs::path bundle = CVTAVAsset::applicationsDirectory() / "Corvel.app";
    auto a = asset("https://h/a.bin", "模型");
    auto b = asset("https://h/b.bin", "b");
    record::record(appAsset("https://h/v1/Corvel.zip"), bundle);
    record::record(a, a.destination / "a.bin");
    record::record(b, b.destination / "b.bin");
    record::record(appAsset("https://h/v2/Corvel.zip"), bundle);
    record::record(a, a.destination / "a.bin");

    auto root = record::load();
    std::vector<std::string> urls;
    for (const auto& entry : root.entries)
        urls.push_back(entry.url);
    EXPECT_EQ(urls, (std::vector<std::string>{"https://h/b.bin", "https://h/v2/Corvel.zip",
                                              "https://h/a.bin"}));
    ASSERT_TRUE(root.lastSetupLog && root.lastSetupLogAt);
    expectContains(*root.lastSetupLog, {"[INFO] ✔ SetupManifest.json 记录已写入 [模型] → " +
                                        (a.destination / "a.bin").string()});

    // persistSessionLog rewrites the log and leaves the entries alone.
    log(LogLevel::info, "later line");
    record::persistSessionLog();
    auto after = record::load();
    EXPECT_EQ(after.entries, root.entries);
    expectContains(*after.lastSetupLog, {"later line"});
}

TEST(SetupRecord, StoredLogKeepsOnlyTheLastCharacters) {
    TempHome home;
    for (int i = 0; i < 210; ++i)
        log(LogLevel::info, fmt::format("{:04} {}", i, std::string(1000, 'x')));
    record::persistSessionLog();
    std::string stored = record::load().lastSetupLog.value_or("");
    auto notice = stored.find(" 字符) …\n");
    ASSERT_TRUE(stored.starts_with("… (已截断 ") && notice != std::string::npos);
    EXPECT_EQ(countGraphemes(stored.substr(notice + std::string(" 字符) …\n").size())),
              CorvelSetupLogger::maxPersistedCharacters);
    EXPECT_TRUE(stored.ends_with(" [INFO] 0209 " + std::string(1000, 'x') + "\n"));
}

TEST(SetupRecord, HitNeedsMatchingDestinationAndUsableProduct) {
    TempHome home;
    fs::path llm = CVTAVAsset::llmDataDirectory();
    auto raw = asset("https://h/w.bin", "w");
    EXPECT_FALSE(record::isHit(raw)); // no record at all
    record::record(raw, llm / "w.bin");
    EXPECT_FALSE(record::isHit(raw)); // nothing installed yet
    writeFile(llm / "w.bin", std::string(950, 'x'));
    EXPECT_TRUE(record::isHit(raw));

    auto elsewhere = asset("https://h/w.bin", "w", home.path() / "elsewhere");
    EXPECT_FALSE(record::isHit(elsewhere));
    expectContains(logText(), {"↻ SetupManifest 记录的 destination 与当前不一致，触发重装 [w]: " +
                               llm.string() + " → " + elsewhere.destination.string()});

    // An entry written under the former layout is found at its current place, silently.
    fs::path former = CVSharedDataPaths::legacyLLMDataDirectory();
    record::save(
        {1, {{"https://h/f.bin", "f", "", 2000, "raw", former, former / "f.bin", "t"}}, {}, {}});
    writeFile(llm / "f.bin", std::string(950, 'x'));
    std::string before = logText();
    EXPECT_TRUE(record::isHit(asset("https://h/f.bin", "f")));
    EXPECT_EQ(logText(), before);
}

TEST(SetupRecord, ExpectedInstalledURL) {
    TempHome home;
    auto model = asset("https://h/dl/Model.ZIP?sig=1", "m");
    model.format = CVTAVAsset::Format::raw; // the URL decides, not the declared format
    EXPECT_EQ(record::expectedInstalledURL(model), CVTAVAsset::llmDataDirectory() / "Model");
    EXPECT_EQ(record::expectedInstalledURL(appAsset("https://h/x/Anything.zip")),
              home.path() / "Applications/Corvel.app");
    EXPECT_EQ(record::expectedInstalledURL(asset("https://h/Tool.zip", "t", home.path() / "tools")),
              home.path() / "tools/Tool");
}

TEST(SetupRecord, FailedWritesAreReportedAndDestroyNothing) {
    TempHome home;
    auto m = asset("https://h/m.bin", "m");
    const std::string failed = "[WARN] ⚠ SetupManifest.json 写入失败 [m]: ";
    // A directory where the record file must go.
    writeFile(record::manifestPath() / "keep", "k");
    record::record(m, m.destination / "m.bin");
    expectContains(logText(), {failed});
    EXPECT_EQ(readFile(record::manifestPath() / "keep"), "k");

    record::persistSessionLog(); // fails the same way, reported but never thrown
    EXPECT_EQ(readFile(record::manifestPath() / "keep"), "k");

    // A file where the data root must go: the directory cannot be made.
    TempHome other;
    writeFile(CVSharedDataPaths::dataRoot(), "not a folder");
    record::record(m, m.destination / "m.bin");
    EXPECT_EQ(readFile(CVSharedDataPaths::dataRoot()), "not a folder");
    EXPECT_NE(logText().find(failed), logText().rfind(failed));

    // A broken record whose set-aside name would exceed PATH_MAX: reported, kept, no hang.
    TempHome deep;
    fs::path data = deep.path();
    while (data.string().size() + 200 + 100 < 4080)
        data /= std::string(199, 'd');
    const std::size_t tail = std::string("/com.corvel.data/LLMData/SetupManifest.json").size();
    data /= std::string(4080 - tail - data.string().size() - 1, 'e');
    ::setenv("XDG_DATA_HOME", data.c_str(), 1);
    ASSERT_EQ(record::manifestPath().string().size(), 4080u);
    writeFile(record::manifestPath(), "not json");
    // Positions in the log move once its cap drops older lines: look after a mark.
    log(LogLevel::info, "before the deep record");
    record::record(m, m.destination / "m.bin");
    std::string text = logText();
    EXPECT_NE(text.find(failed, text.rfind("before the deep record")), std::string::npos);
    EXPECT_EQ(readFile(record::manifestPath()), "not json");
}
