#include "manifest/AssetResolution.h"
#include "manifest/CorvelRemoteManifest.h"
#include "manifest/ManifestText.h"
#include "support/TempHome.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <regex>

namespace manifest = CorvelRemoteManifest;

namespace {

std::string decodeError(std::string_view body) {
    try {
        manifest::decodeManifest(body);
    } catch (const DomainError& error) {
        return error.what();
    }
    ADD_FAILURE() << "decoded: " << body;
    return {};
}

std::string document(const std::string& app, const std::string& models = "[]") {
    return R"({"status":"success","data":{"app":)" + app + R"(,"models":)" + models + "}}";
}

const std::string plainApp = R"({"download_url":"https://h.invalid/app.zip"})";

} // namespace

TEST(ManifestEndpoint, OverrideTrimmedQueryKeptAndCacheBusterAppended) {
    const std::string fallback = std::string(manifest::defaultEndpoint) + "?v=";
    for (const auto& [variable, prefix] : std::vector<std::pair<const char*, std::string>>{
             {"\u3000 \thttp://127.0.0.1:9/m.json\u00A0\n", "http://127.0.0.1:9/m.json?v="},
             {nullptr, fallback},
             {" \n\t ", fallback},
             {"not a url", fallback}}) {
        variable ? ::setenv("CORVEL_MANIFEST_URL", variable, 1) : ::unsetenv("CORVEL_MANIFEST_URL");
        std::string endpoint = manifest::manifestEndpoint().absoluteString();
        // The cache buster is the time in milliseconds: 13 digits until the year 2286.
        EXPECT_TRUE(std::regex_match(endpoint.substr(prefix.size()), std::regex("1[0-9]{12}")) &&
                    endpoint.starts_with(prefix))
            << endpoint;
    }
}

TEST(ManifestDecoding, ReadsFieldsAndIgnoresUnknownDuplicateAndDeepKeys) {
    auto response = manifest::decodeManifest(
        R"({"status":"x","status":"success","deep":)" + std::string(60, '[') +
        std::string(60, ']') +
        R"(,"data":{"more":[{}],"app":{"download_url":"a","file_name":null,"unknown":1.5,)"
        R"("file_size":9223372036854775807},"models":[{"model_name":"m","download_url":"u",)"
        R"("file_name":"f","size":-9223372036854775808,"k":"v"},)"
        R"({"model_name":"","download_url":"u","file_name":"g"}]}})");
    EXPECT_EQ(response.data.app.fileSize, INT64_MAX);
    ASSERT_EQ(response.data.models.size(), 2u);
    EXPECT_EQ(response.data.models[0].size, INT64_MIN);
    EXPECT_FALSE(response.data.models[1].size);
    EXPECT_EQ(response.data.models[1].fileName, "g");

    // Mirrors: only a local manifest may name local files.
    const std::string mirrored = document(
        R"({"download_url":"u","mirrors":["https://m.invalid/a.zip","file:///srv/a.zip"]})",
        R"([{"model_name":"m","download_url":"u","file_name":"f","mirrors":null}])");
    response = manifest::decodeManifest(mirrored, false);
    EXPECT_EQ(response.data.app.mirrors,
              (std::vector<std::string>{"https://m.invalid/a.zip", "file:///srv/a.zip"}));
    EXPECT_TRUE(response.data.models[0].mirrors.empty());
    testsupport::expectContains(decodeError(mirrored),
                                {"data.app.mirrors[1]: 远程清单不能引用本地文件"});
}

TEST(ManifestDecoding, BrokenDocumentsFailWithReasonAndSnippet) {
    std::string noModels = R"({"status":"success","data":{"app":)" + plainApp + "}}";
    std::string message = decodeError(noModels);
    EXPECT_TRUE(message.starts_with("JSON 解析失败: ")) << message;
    EXPECT_NE(message.find("data.models"), std::string::npos) << message;
    EXPECT_TRUE(message.ends_with(" — 响应片段: " + noModels)) << message;
    for (const auto& [app, named] : std::vector<std::pair<std::string, std::string>>{
             {R"({"download_url":"u","file_size":"12"})", "data.app.file_size"},
             {R"({"download_url":"u","mirrors":"https://m.invalid/a"})", "data.app.mirrors"},
             {R"({"download_url":"u","mirrors":["https://m.invalid/a",1]})", "data.app.mirrors[1]"},
             {R"({"download_url":"u","mirrors":["/relative/a.zip"]})", "data.app.mirrors[0]"}}) {
        EXPECT_NE(decodeError(document(app)).find(named), std::string::npos) << app;
    }

    for (const std::string& bad :
         {document(R"({"download_url":null})"), document(plainApp, "null"),
          document(plainApp, R"([{"model_name":"m","download_url":"u"}])"),
          document(plainApp, R"([{"model_name":1,"download_url":"u","file_name":"f"}])"),
          std::string(R"({"status":1,"data":{}})"), std::string(""), std::string("{} trailing"),
          document(R"({"download_url":"u","file_size":1.5})"),
          document(R"({"download_url":"u","file_size":9223372036854775808})"),
          document(R"({"download_url":"u","file_size":123456789012345678901234567890})"),
          document(R"({"download_url":"u","zsync_url":"u.zsync"})"),
          document(R"({"download_url":"u","zsync_url":"u.zsync","zsync_hash":"ab"})"),
          document(plainApp, R"([{"model_name":"m","download_url":"u","file_name":"f",)"
                             R"("zsync_url":1,"zsync_hash":")" +
                                 std::string(64, 'a') + "\"}]")}) {
        EXPECT_TRUE(decodeError(bad).starts_with("JSON 解析失败: ")) << bad.substr(0, 100);
    }

    // Shapes that would cost gigabytes as a tree are refused before one is built: 64
    // levels (the document's own object counting as one) and 100000 values at most.
    auto refusal = [](const std::string& body) {
        std::string message = decodeError(body);
        return message.substr(0, message.find(" — "));
    };
    auto nested = [](int levels) {
        return R"({"status":"success","deep":)" + std::string(levels, '[') +
               std::string(levels, ']') + R"(,"data":{"app":)" + plainApp + R"(,"models":[]}})";
    };
    EXPECT_NO_THROW(manifest::decodeManifest(nested(63)));
    EXPECT_NE(refusal(nested(64)).find("清单嵌套过深: 超过 64 层"), std::string::npos);
    // A bare array is no manifest, but only the count decides which refusal it gets.
    auto values = [](int count) {
        std::string array = "[0";
        for (int i = 1; i < count - 1; ++i)
            array += ",0";
        return array + "]"; // count - 1 numbers and the array itself
    };
    EXPECT_EQ(refusal(values(100000)).find("清单元素过多"), std::string::npos);
    EXPECT_NE(refusal(values(100001)).find("清单元素过多: 超过 100000 个"), std::string::npos);

    // Raw invalid UTF-8 is refused and the message stays valid text.
    message = decodeError(document("{\"download_url\":\"a\xC3\x28\xFF\"}"));
    EXPECT_TRUE(manifest::isValidUtf8(message)) << message;
    EXPECT_TRUE(message.ends_with(" — 响应片段: <non-utf8>")) << message;
    // "中" (three bytes) at 255..257 is cut by the 256-byte snippet; at 253..255 it is whole.
    std::string cut = "{\"status\": \"" + std::string(255 - 12, 'x') + "中\"";
    ASSERT_EQ(cut.substr(255, 3), "中");
    EXPECT_TRUE(decodeError(cut).ends_with(" — 响应片段: <non-utf8>"));
    std::string whole = "{\"status\": \"" + std::string(256 - 12 - 3, 'x') + "中\"";
    EXPECT_TRUE(decodeError(whole).ends_with(whole.substr(0, 256)));
}

TEST(AssetResolution, AssetsFromManifestFields) {
    testsupport::TempHome home;
    manifest::ManifestApp app;
    app.downloadUrl = "https://h.invalid/download/latest.bin?x=1";
    EXPECT_TRUE(manifest::makeAppAsset(app).isApplicationBundleAsset());

    using Hash = std::pair<std::optional<std::string>, std::string>;
    for (const auto& [hash, digest] : std::vector<Hash>{
             {" \tAbCd01\n", "AbCd01"}, {" NuLl ", ""}, {"nullx", "nullx"}, {std::nullopt, ""}}) {
        app.fileHash = hash;
        EXPECT_EQ(manifest::makeAppAsset(app).sha256, digest) << hash.value_or("(absent)");
    }
    for (auto [size, expected] : std::vector<std::pair<std::optional<std::int64_t>, std::int64_t>>{
             {0, 1}, {-5, 1}, {std::nullopt, 1}, {123456789012, 123456789012}}) {
        app.fileSize = size;
        EXPECT_EQ(manifest::makeAppAsset(app).expectedBytes, expected);
    }

    // An empty model name falls back to the file name; the format comes from the path.
    auto model =
        manifest::makeModelAsset({.modelName = "",
                                  .downloadUrl = "https://h.invalid/d/MODEL.TAR.GZ?sig=a/b.zip",
                                  .fileName = "model.tar.gz",
                                  .size = 0,
                                  .mirrors = {"https://m.invalid/d/model.tar.gz"}},
                                 0);
    EXPECT_EQ(model.name, "model.tar.gz");
    EXPECT_EQ(model.mirrors,
              (std::vector{*platform::Url::parse("https://m.invalid/d/model.tar.gz")}));
    EXPECT_EQ(model.format, CVTAVAsset::Format::tarGz);
    EXPECT_EQ(model.destination, CVTAVAsset::llmDataDirectory());
    EXPECT_FALSE(model.zsyncUrl);

    auto decoded = manifest::decodeManifest(document(
        plainApp,
        R"([{"model_name":"m","download_url":"https://h.invalid/m.bin","file_name":"m.bin",)"
        R"("zsync_url":"https://h.invalid/m.bin.zsync","zsync_hash":")" +
            std::string(64, 'A') + "\"}]"));
    auto zsynced = manifest::makeModelAsset(decoded.data.models.at(0), 0);
    ASSERT_TRUE(zsynced.zsyncUrl);
    EXPECT_EQ(zsynced.zsyncUrl->absoluteString(), "https://h.invalid/m.bin.zsync");
    EXPECT_EQ(zsynced.zsyncSha256, std::string(64, 'a'));
}

TEST(AssetResolution, DownloadUrlsThatCouldEscapeAreRefused) {
    // A decoded "/" or NUL in the file name would escape the directory it is meant for.
    for (const char* hostile :
         {"https://h.invalid/a/..%2F..%2Fescape", "https://h.invalid/a%00.zip",
          "https://h.invalid/a%2f", "", "/relative/a.zip"}) {
        EXPECT_FALSE(manifest::parseDownloadUrl(hostile)) << hostile;
    }
    EXPECT_TRUE(manifest::parseDownloadUrl("https://h.invalid/a%20b.zip"));
    EXPECT_TRUE(manifest::parseDownloadUrl("file:///srv/m.zip"));
}
