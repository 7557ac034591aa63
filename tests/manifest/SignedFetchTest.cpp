// fetchAssets with keys: the signature beside the manifest, checked before any
// byte of the manifest is used, and the rollback rule.

#include "FixtureServer.h"
#include "manifest/CorvelRemoteManifest.h"
#include "sources/MirrorRules.h"
#include "support/Minisign.h"
#include "support/TempHome.h"
#include "types/CorvelInstallError.h"

#include <gtest/gtest.h>

#include <fmt/format.h>

#include <cstdlib>
#include <ctime>

namespace fs = std::filesystem;
namespace manifest = CorvelRemoteManifest;
using testsupport::expectContains;
using testsupport::logText;
using testsupport::MinisignKey;

namespace {

class SignedFetch : public ::testing::Test {
  protected:
    void SetUp() override {
        server.start();
        server.setFile("/files/app.zip", "zip bytes");
        body = fmt::format(
            R"({{"status":"success","data":{{"app":{{"download_url":"{}/files/app.zip",)"
            R"("file_size":9}},"models":[]}}}})",
            server.baseUrl());
        publish(1700000000);
        ::setenv("CORVEL_MANIFEST_URL", server.url("/api/m.json?channel=stable").c_str(), 1);
    }

    // Serves the manifest with a signature whose trusted comment is `comment`.
    void publish(const std::string& comment) {
        testsupport::writeFile(home.path() / "m.json", body);
        server.setFile("/api/m.json", body);
        signature = key.sign(home.path() / "m.json", {"-t", comment});
        server.setFile("/api/m.json.minisig", signature);
    }
    void publish(std::int64_t timestamp) {
        publish(fmt::format("timestamp:{}\tfile:m.json\thashed", timestamp));
    }

    manifest::ManifestTrust trust(std::optional<std::int64_t> newestAccepted = {}) const {
        return {{*ManifestSignature::parsePublicKey(key.publicKey())}, "test", newestAccepted};
    }

    // The refusal's text, or "accepted".
    std::string refusal(const manifest::ManifestTrust& given) {
        try {
            manifest::fetchAssets(given);
            return "accepted";
        } catch (const DomainError& error) {
            return error.what();
        } catch (const std::exception& error) {
            return std::string("other: ") + error.what();
        }
    }

    bool anyHeadOrAssetRequest() const {
        for (const auto& request : server.requests())
            if (!request.path.starts_with("/api/")) return true;
        return false;
    }

    testsupport::TempHome home;
    MinisignKey key{home.path() / "key"};
    fixture::FixtureServer server;
    std::string body;
    std::string signature;
};

} // namespace

TEST_F(SignedFetch, TheSignatureBesideTheManifestIsCheckedAndItsTimeReturned) {
    std::size_t logBefore = logText().size();
    auto fetched = manifest::fetchAssets(trust());
    ASSERT_EQ(fetched.assets.size(), 1u);
    EXPECT_EQ(fetched.signedAt, 1700000000);
    // Fetched like the manifest: same query, cache buster included.
    auto manifestTarget = server.requests("/api/m.json").at(0).target;
    auto signatureTarget = server.requests("/api/m.json.minisig").at(0).target;
    EXPECT_TRUE(manifestTarget.starts_with("/api/m.json?channel=stable&v=")) << manifestTarget;
    EXPECT_EQ(signatureTarget, "/api/m.json.minisig" + manifestTarget.substr(11));
    expectContains(logText().substr(logBefore),
                   {"[INFO] ✔ 清单签名有效: 公钥 " + key.keyId() +
                    "，可信注释: timestamp:1700000000\\tfile:m.json\\thashed\n"});

    // A local manifest has its signature beside it on disk.
    fs::path local = home.path() / "m.json";
    key.sign(local, {"-t", "timestamp:1700000001"});
    ::setenv("CORVEL_MANIFEST_URL", ("file://" + local.string()).c_str(), 1);
    EXPECT_EQ(manifest::fetchAssets(trust()).signedAt, 1700000001);
    fs::remove(local.string() + ".minisig");
    EXPECT_TRUE(refusal(trust()).starts_with("清单签名缺失: 无法获取 file://"));
}

TEST_F(SignedFetch, BadOrMissingSignaturesStopBeforeAnyAssetIsAskedFor) {
    const std::string overCap(65537, 'A');
    struct Row {
        std::string what;
        std::function<void()> arrange;
        std::string refusal;
    };
    for (const Row& row : std::vector<Row>{
             {"404", [&] { server.removeFile("/api/m.json.minisig"); },
              "清单签名缺失: 无法获取 " + server.url("/api/m.json.minisig?channel=stable&v=")},
             {"500", [&] { server.setFault("/api/m.json.minisig", {.forceStatus = 500}); },
              "清单签名缺失: "},
             {"64 KiB + 1", [&] { server.setFile("/api/m.json.minisig", overCap); },
              "清单签名格式错误: 超过 65536 字节上限"},
             {"64 KiB + 1 without length",
              [&] {
                  server.setFile("/api/m.json.minisig", overCap);
                  server.setFault("/api/m.json.minisig", {.omitContentLength = true});
              },
              "清单签名格式错误: 超过 65536 字节上限"},
             {"manifest changed after signing", [&] { server.setFile("/api/m.json", body + " "); },
              "清单签名无效: 内容与签名不符"},
         }) {
        SCOPED_TRACE(row.what);
        publish(1700000000);
        server.clearFault("/api/m.json.minisig");
        row.arrange();
        server.clearRequests();
        std::size_t logBefore = logText().size();
        std::string refused = refusal(trust());
        EXPECT_TRUE(refused.starts_with(row.refusal)) << refused;
        EXPECT_EQ(refused.find('\n'), std::string::npos);
        EXPECT_FALSE(anyHeadOrAssetRequest());
        expectContains(logText().substr(logBefore), {"[ERROR] ✘ 清单签名校验失败: " + refused});
    }
}

// An older time than the newest accepted is refused before any asset is
// asked for (the whole run shows that); an equal one is the same release.
TEST_F(SignedFetch, SigningTimesAtOrAfterTheNewestAcceptedAndBeforeTomorrowPass) {
    EXPECT_EQ(manifest::fetchAssets(trust(1700000000)).signedAt, 1700000000);
    EXPECT_EQ(manifest::fetchAssets(trust(1600000000)).signedAt, 1700000000);

    // A time more than a day ahead of the clock would refuse every later
    // release: refused, so never kept; less than a day is a clock that is off.
    const std::int64_t now = std::time(nullptr);
    publish(now + 25 * 3600);
    EXPECT_EQ(refusal(trust()),
              fmt::format("清单签名时间 {} 比本机时间晚一天以上，拒绝使用（请检查系统时钟）",
                          now + 25 * 3600));
    publish(now + 23 * 3600);
    EXPECT_EQ(manifest::fetchAssets(trust()).signedAt, now + 23 * 3600);

    // Without a time there is nothing to compare: accepted, with a warning.
    publish("release 7");
    std::size_t logBefore = logText().size();
    EXPECT_EQ(manifest::fetchAssets(trust(1700000001)).signedAt, std::nullopt);
    expectContains(logText().substr(logBefore), {"[WARN]   ⚠ 清单签名不含时间戳，无法识别回滚\n"});
}

TEST_F(SignedFetch, PlacesAreTriedInOrderRewrittenFirstAndTheFirstThatPassesWins) {
    server.setFile("/api/tampered.json", body + " ");
    server.setFile("/api/tampered.json.minisig", signature);
    const std::string good = server.url("/api/m.json");
    const std::string tampered = server.url("/api/tampered.json");
    const std::string toNowhere = server.url("/api/") + "=http://127.0.0.1:1/api/";
    struct Row {
        std::string endpoints;
        std::vector<std::string> mirrors;
        std::string outcome; // "accepted" or the start of the refusal
        std::vector<std::string> fetchedFromServer;
    };
    for (const Row& row : std::vector<Row>{
             {tampered + " " + good, {}, "accepted", {"/api/tampered.json", "/api/m.json"}},
             {good, {toNowhere}, "accepted", {"/api/m.json"}},
             {tampered + " http://127.0.0.1:1/m.json",
              {},
              "网络错误：全部 2 个清单地址均不可用: [" + tampered + "?v=",
              {"/api/tampered.json"}},
         }) {
        SCOPED_TRACE(row.endpoints);
        ::setenv("CORVEL_MANIFEST_URL", row.endpoints.c_str(), 1);
        server.clearRequests();
        std::string outcome;
        try {
            manifest::fetchAssets(trust(), MirrorRules::resolve(row.mirrors, nullptr));
            outcome = "accepted";
        } catch (const std::exception& error) {
            outcome = error.what();
        }
        EXPECT_TRUE(outcome.starts_with(row.outcome)) << outcome;
        std::vector<std::string> fetched;
        for (const auto& request : server.requests())
            if (request.path.starts_with("/api/") && !request.path.ends_with(".minisig"))
                fetched.push_back(request.path);
        EXPECT_EQ(fetched, row.fetchedFromServer);
    }
}
