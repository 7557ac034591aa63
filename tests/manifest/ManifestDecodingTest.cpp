#include "install/CorvelInstallError.h"
#include "manifest/AssetResolution.h"
#include "manifest/CorvelRemoteManifest.h"
#include "manifest/ManifestText.h"
#include "support/TempHome.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>

namespace manifest = CorvelRemoteManifest;
using manifest::ManifestApp;
using manifest::ManifestModel;

namespace {

std::string decodeError(std::string_view body) {
    try {
        manifest::decodeManifest(body);
    } catch (const DomainError& error) {
        EXPECT_EQ(error.domain(), "CorvelRemoteManifest");
        EXPECT_EQ(error.code(), -1);
        return error.what();
    }
    ADD_FAILURE() << "decoded: " << body;
    return {};
}

std::string document(const std::string& app, const std::string& models) {
    return R"({"status":"success","data":{"app":)" + app + R"(,"models":)" + models + "}}";
}

const std::string plainApp = R"({"download_url":"https://h.invalid/app.zip"})";

// The error a resolution step throws: the manifest error inside the network case.
std::string invalidUrlMessage(const std::function<void()>& step) {
    try {
        step();
    } catch (const CorvelInstallError& error) {
        auto* network = std::get_if<CorvelInstallError::Network>(&error.value());
        if (network == nullptr) return "not network";
        try {
            std::rethrow_exception(network->underlying);
        } catch (const DomainError& inner) {
            EXPECT_EQ(inner.domain(), "CorvelRemoteManifest");
            EXPECT_EQ(inner.code(), -1);
            return inner.what();
        } catch (...) {
            return "not a manifest error";
        }
    }
    return "no error";
}

class Env {
  public:
    Env(const char* name, const char* value) : name_(name) {
        if (value)
            ::setenv(name, value, 1);
        else
            ::unsetenv(name);
    }
    ~Env() { ::unsetenv(name_); }

  private:
    const char* name_;
};

std::int64_t nowMillis() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

} // namespace

TEST(ManifestEndpoint, OverrideTrimmedQueryKeptAndCacheBusterAppended) {
    std::int64_t before = nowMillis();
    {
        Env env("CORVEL_MANIFEST_URL", "  \thttp://127.0.0.1:9/m.json\n");
        auto endpoint = manifest::manifestEndpoint();
        EXPECT_TRUE(endpoint.absoluteString().starts_with("http://127.0.0.1:9/m.json?v="))
            << endpoint.absoluteString();
        auto items = endpoint.queryItems();
        ASSERT_EQ(items.size(), 1u);
        std::int64_t v = std::stoll(items[0].second);
        EXPECT_GE(v, before);
        EXPECT_LE(v, nowMillis());
    }
    {
        Env env("CORVEL_MANIFEST_URL", "http://127.0.0.1:9/m?a=1&v=old");
        auto items = manifest::manifestEndpoint().queryItems();
        ASSERT_EQ(items.size(), 3u);
        EXPECT_EQ(items[0], (std::pair<std::string, std::string>{"a", "1"}));
        EXPECT_EQ(items[1], (std::pair<std::string, std::string>{"v", "old"}));
        EXPECT_EQ(items[2].first, "v");
        EXPECT_NE(items[2].second, "old");
    }
    for (const char* absent : {static_cast<const char*>(nullptr), " \n\t ", "", "not a url"}) {
        Env env("CORVEL_MANIFEST_URL", absent);
        auto endpoint = manifest::manifestEndpoint();
        EXPECT_TRUE(
            endpoint.absoluteString().starts_with(std::string(manifest::defaultEndpoint) + "?v="))
            << endpoint.absoluteString();
        EXPECT_EQ(endpoint.scheme(), "https");
    }
}

TEST(ManifestDecoding, ReadsFieldsAndIgnoresUnknownKeys) {
    auto response = manifest::decodeManifest(R"({
        "status": "success", "extra": [1, {"x": null}],
        "data": {
            "more": {"deep": [true]},
            "app": {"app_name": "Corvel", "download_url": "https://h.invalid/a.zip",
                    "file_name": null, "file_size": 9223372036854775807,
                    "file_hash": " AB ", "unknown": 1.5},
            "models": [{"model_name": "m", "download_url": "https://h.invalid/m.tgz",
                        "file_name": "m.tgz", "size": -9223372036854775808, "k": "v"},
                       {"model_name": "", "download_url": "u", "file_name": "f"}]
        }})");
    EXPECT_EQ(response.status, "success");
    EXPECT_EQ(response.data.app.appName, "Corvel");
    EXPECT_FALSE(response.data.app.fileName);
    EXPECT_EQ(response.data.app.fileSize, INT64_MAX);
    EXPECT_EQ(response.data.app.fileHash, " AB ");
    ASSERT_EQ(response.data.models.size(), 2u);
    EXPECT_EQ(response.data.models[0].size, INT64_MIN);
    EXPECT_FALSE(response.data.models[1].size);
    EXPECT_EQ(response.data.models[1].fileName, "f");
}

TEST(ManifestDecoding, MissingNullAndWrongTypesFailWithReasonAndSnippet) {
    std::string noModels = R"({"status":"success","data":{"app":)" + plainApp + "}}";
    std::string message = decodeError(noModels);
    EXPECT_TRUE(message.starts_with("JSON 解析失败: ")) << message;
    EXPECT_NE(message.find("data.models"), std::string::npos) << message;
    EXPECT_TRUE(message.ends_with(" — 响应片段: " + noModels)) << message;

    std::string sizeAsText = document(R"({"download_url":"u","file_size":"12"})", "[]");
    EXPECT_NE(decodeError(sizeAsText).find("data.app.file_size"), std::string::npos);

    for (const std::string& bad :
         {document(R"({"download_url":null})", "[]"), document(plainApp, "null"),
          document(plainApp, R"([{"model_name":"m","download_url":"u"}])"),
          document(plainApp, R"([{"model_name":1,"download_url":"u","file_name":"f"}])"),
          document(plainApp, "{}"), document("[]", "[]"), std::string(R"({"status":"success"})"),
          std::string(R"({"status":1,"data":{}})"), std::string("[]"), std::string(""),
          std::string("{\"status\":\"success\""), std::string("{} trailing"),
          document(R"({"download_url":"u","file_size":9223372036854775808})", "[]"),
          document(R"({"download_url":"u","file_size":1.5})", "[]"),
          document(R"({"download_url":"u","file_size":1e400})", "[]"),
          document(R"({"download_url":"u","file_size":-1e400})", "[]"),
          document(R"({"download_url":"u","file_size":123456789012345678901234567890})", "[]")}) {
        EXPECT_TRUE(decodeError(bad).starts_with("JSON 解析失败: ")) << bad;
    }
}

TEST(ManifestDecoding, HostileDocumentsNeverCrash) {
    // Duplicate keys: whichever wins, the document still decodes or fails cleanly.
    auto duplicated = manifest::decodeManifest(
        R"({"status":"failure","status":"success","data":{"app":{"download_url":"a","download_url":"b"},"models":[]}})");
    EXPECT_FALSE(duplicated.status.empty());

    std::string deep(200000, '[');
    EXPECT_TRUE(decodeError(deep).starts_with("JSON 解析失败: "));
    std::string deepExtra = R"({"x":)" + std::string(100000, '[') + std::string(100000, ']') +
                            R"(,"status":"success","data":{"app":)" + plainApp +
                            R"(,"models":[]}})";
    EXPECT_EQ(manifest::decodeManifest(deepExtra).status, "success");

    // Raw invalid UTF-8 inside a string: refused, and the message stays valid text.
    std::string invalid =
        document(R"({"download_url":"a)" + std::string("\xC3\x28\xFF") + R"("})", "[]");
    std::string message = decodeError(invalid);
    EXPECT_TRUE(manifest::isValidUtf8(message)) << message;
    EXPECT_TRUE(message.ends_with(" — 响应片段: <non-utf8>")) << message;
}

TEST(ManifestDecoding, SnippetCutInsideACharacterIsNonUtf8) {
    // "中" is three bytes; placed at 255..257 it is cut by the 256-byte snippet.
    std::string cut = "{\"status\": \"" + std::string(255 - 12, 'x') + "中\"";
    ASSERT_EQ(cut.substr(255, 3), "中");
    EXPECT_TRUE(decodeError(cut).ends_with(" — 响应片段: <non-utf8>"));

    std::string whole = "{\"status\": \"" + std::string(256 - 12 - 3, 'x') + "中\"";
    std::string kept = decodeError(whole);
    EXPECT_TRUE(kept.ends_with(whole.substr(0, 256))) << kept;
}

TEST(ManifestText, TrimsAsciiAndUnicodeSpaceOnly) {
    EXPECT_EQ(manifest::trimWhitespaceAndNewlines(" \t\r\n\u00A0\u3000abc d\u2028\n"), "abc d");
    EXPECT_EQ(manifest::trimWhitespaceAndNewlines("\n \n"), "");
    EXPECT_EQ(manifest::trimWhitespaceAndNewlines("中"), "中");
    EXPECT_TRUE(manifest::isValidUtf8("a中\u00e9"));
    EXPECT_FALSE(manifest::isValidUtf8("\xC0\xAF"));     // overlong "/"
    EXPECT_FALSE(manifest::isValidUtf8("\xED\xA0\x80")); // surrogate
    EXPECT_FALSE(manifest::isValidUtf8(std::string("\xE4\xB8", 2)));
    EXPECT_EQ(manifest::sanitizedUtf8("a\xFF"
                                      "b"),
              "a\uFFFDb");
}

TEST(AssetResolution, AppAssetFromManifestFields) {
    testsupport::TempHome home;
    ManifestApp app;
    app.downloadUrl = "https://h.invalid/download/latest.bin?x=1";
    auto asset = manifest::makeAppAsset(app);
    EXPECT_EQ(asset.name, "Corvel.app");
    EXPECT_EQ(asset.format, CVTAVAsset::Format::zip);
    EXPECT_EQ(asset.destination, CVTAVAsset::applicationsDirectory());
    EXPECT_EQ(asset.destination, home.path() / "Applications");
    EXPECT_EQ(asset.relativePath, "");
    EXPECT_EQ(asset.sha256, "");
    EXPECT_EQ(asset.expectedBytes, 1);
    EXPECT_TRUE(asset.isApplicationBundleAsset());

    struct Case {
        std::optional<std::string> hash;
        std::string digest;
    };
    for (const auto& [hash, digest] : std::vector<Case>{{" \tAbCd01\n", "AbCd01"},
                                                        {"null", ""},
                                                        {" NuLl ", ""},
                                                        {"", ""},
                                                        {"nullx", "nullx"},
                                                        {std::nullopt, ""}}) {
        app.fileHash = hash;
        EXPECT_EQ(manifest::makeAppAsset(app).sha256, digest) << hash.value_or("(absent)");
    }
    for (auto [size, expected] : std::vector<std::pair<std::optional<std::int64_t>, std::int64_t>>{
             {0, 1}, {-5, 1}, {std::nullopt, 1}, {1, 1}, {123456789012, 123456789012}}) {
        app.fileSize = size;
        EXPECT_EQ(manifest::makeAppAsset(app).expectedBytes, expected);
    }
}

TEST(AssetResolution, ModelAssetsNameFormatAndInvalidUrls) {
    testsupport::TempHome home;
    ManifestModel model{"", "https://h.invalid/d/MODEL.TAR.GZ?sig=a/b.zip", "model.tar.gz", 0};
    auto asset = manifest::makeModelAsset(model, 0);
    EXPECT_EQ(asset.name, "model.tar.gz");
    EXPECT_EQ(asset.format, CVTAVAsset::Format::tarGz);
    EXPECT_EQ(asset.destination, CVTAVAsset::llmDataDirectory());
    EXPECT_EQ(asset.expectedBytes, 1);
    EXPECT_EQ(asset.sha256, "");

    struct Case {
        const char* url;
        CVTAVAsset::Format format;
    };
    for (auto [url, format] :
         std::vector<Case>{{"https://h.invalid/a.tgz", CVTAVAsset::Format::tarGz},
                           {"https://h.invalid/a.zip", CVTAVAsset::Format::zip},
                           {"https://h.invalid/a.bin", CVTAVAsset::Format::raw},
                           {"https://h.invalid/", CVTAVAsset::Format::raw},
                           {"https://h.invalid", CVTAVAsset::Format::raw},
                           {"file:///srv/m.zip", CVTAVAsset::Format::zip}}) {
        ManifestModel named{"name", url, "f", 5};
        auto built = manifest::makeModelAsset(named, 0);
        EXPECT_EQ(built.format, format) << url;
        EXPECT_EQ(built.name, "name");
        EXPECT_EQ(built.expectedBytes, 5);
    }

    EXPECT_EQ(invalidUrlMessage([] {
                  manifest::makeModelAsset({"m", "not a url", "f", 1}, 1);
              }),
              "models[1].download_url 非法: not a url");
    EXPECT_EQ(invalidUrlMessage([] {
                  manifest::makeAppAsset({{}, "ftp://h/a.zip", {}, {}, {}});
              }),
              "app.download_url 非法: ftp://h/a.zip");
    // A decoded "/" or NUL in the file name would escape the directory it is meant for.
    for (const char* hostile :
         {"https://h.invalid/a/..%2F..%2Fescape", "https://h.invalid/a%00.zip",
          "https://h.invalid/a%2f", "", "/relative/a.zip"}) {
        EXPECT_FALSE(manifest::parseDownloadUrl(hostile)) << hostile;
    }
    EXPECT_TRUE(manifest::parseDownloadUrl("https://h.invalid/a%20b.zip"));
}

TEST(AssetResolution, ContentLengthParsingIsStrict) {
    EXPECT_EQ(manifest::parseContentLength("2000"), 2000);
    EXPECT_EQ(manifest::parseContentLength("+7"), 7);
    EXPECT_EQ(manifest::parseContentLength("-5"), -5);
    EXPECT_EQ(manifest::parseContentLength("9223372036854775807"), INT64_MAX);
    EXPECT_EQ(manifest::parseContentLength("-9223372036854775808"), INT64_MIN);
    for (const char* bad :
         {"", "+", "-", "9223372036854775808", "-9223372036854775809", "99999999999999999999999",
          "1 2", " 12", "12 ", "0x10", "1e3", "12a", "١٢"}) {
        EXPECT_FALSE(manifest::parseContentLength(bad)) << bad;
    }
}
