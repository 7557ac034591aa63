// The real corvel-setup-cli with manifest keys, against manifests signed by
// the real minisign, in a temporary HOME.

#include "FixtureServer.h"
#include "install/InstallTestSupport.h"
#include "manifest/ManifestSignature.h"
#include "record/AcceptedManifestTime.h"
#include "shareddata/CVSharedDataPaths.h"
#include "support/CliProcess.h"
#include "support/Minisign.h"

#include <nlohmann/json.hpp>

#include <gtest/gtest.h>

#include <fmt/format.h>

#include <algorithm>

namespace {

std::string sha256Upper(const std::string& bytes) {
    std::string hex = sha256Hex(bytes);
    std::transform(hex.begin(), hex.end(), hex.begin(), ::toupper);
    return hex;
}

Outcome runCli(const fs::path& home, std::vector<std::string> arguments) {
    return CliProcess(home, std::move(arguments)).finish();
}

class SignedSetup : public ::testing::Test {
  protected:
    void SetUp() override {
        appArchive = bundleArchive();
        server.setFile("/files/Corvel.zip", appArchive);
        server.setFile("/files/voice.bin", patternBytes(50000, 7));
        server.start();
    }

    // A release: the manifest, signed at `timestamp`, and its signature.
    void publish(std::int64_t timestamp, const std::string& modelPath = "/files/voice.bin",
                 std::optional<std::string> modelDigest = {}) {
        std::string body = fmt::format(
            R"({{"status":"success","data":{{"app":{{"download_url":"{0}/files/Corvel.zip",)"
            R"("file_hash":"{1}"}},"models":[{{"model_name":"voice","download_url":"{0}{2}",)"
            R"("file_name":"voice.bin","file_hash":"{3}"}}]}}}})",
            server.baseUrl(), sha256Upper(appArchive), modelPath,
            modelDigest.value_or(sha256Upper(patternBytes(50000, 7))));
        fs::path local = home.path() / "release" / "manifest.json";
        writeFile(local, body);
        server.setFile("/manifest.json", body);
        server.setFile(
            "/manifest.json.minisig",
            key.sign(local, {"-t", fmt::format("timestamp:{}\tfile:manifest.json", timestamp)}));
    }

    Outcome run(bool withKey = true) {
        std::vector<std::string> arguments = {"--no-launch", "--manifest-url",
                                              server.url("/manifest.json")};
        if (withKey) arguments.insert(arguments.end(), {"--manifest-key", key.publicKey()});
        return runCli(home.path(), arguments);
    }

    std::string stored() const { return readFile(AcceptedManifestTime::path()); }
    bool anyAssetFetched() const {
        for (const auto& request : server.requests())
            if (request.path.starts_with("/files/")) return true;
        return false;
    }

    TempHome home;
    MinisignKey key{home.path() / "keys"};
    fixture::FixtureServer server;
    std::string appArchive;
};

} // namespace

TEST_F(SignedSetup, ASignedReleaseInstallsAndItsTimeRefusesOlderOnesLater) {
    const std::int64_t released = 1700000100;
    publish(released);
    Outcome first = run();
    ASSERT_EQ(first.exitCode, 0) << first.err;
    expectContains(first.err, {"▶ 校验清单签名: 受信任公钥 1 个（来源: --manifest-key）",
                               "✔ 清单签名有效: 公钥 " + key.keyId(),
                               "✔ 校验通过 [Corvel.app] sha256=", "✔ 校验通过 [voice] sha256="});
    EXPECT_EQ(readFile(CVSharedDataPaths::llmDataDirectory() / "voice.bin"),
              patternBytes(50000, 7));
    EXPECT_EQ(stored(), fmt::format("{}\n", released));

    // An older release, validly signed, is a rollback: nothing is fetched.
    publish(released - 100);
    server.clearRequests();
    Outcome older = run();
    EXPECT_EQ(older.exitCode, 1);
    EXPECT_EQ(older.lastErrLine(),
              fmt::format("清单比上次安装时的旧，拒绝回滚（签名时间 {}，上次接受 {}）",
                          released - 100, released));
    EXPECT_FALSE(anyAssetFetched());
    EXPECT_EQ(stored(), fmt::format("{}\n", released));

    // A newer release whose model does not match its digest fails like the
    // application would and keeps the stored time.
    server.setFile("/files/voice2.bin", patternBytes(60000, 8));
    publish(released + 100, "/files/voice2.bin", std::string(64, 'F'));
    Outcome broken = run();
    EXPECT_EQ(broken.exitCode, 1);
    EXPECT_EQ(broken.lastErrLine(), "voice 校验失败，文件可能已损坏");
    EXPECT_FALSE(fs::exists(CVSharedDataPaths::llmDataDirectory() / "voice2.bin"));
    EXPECT_EQ(stored(), fmt::format("{}\n", released));

    publish(released + 100, "/files/voice2.bin", sha256Upper(patternBytes(60000, 8)));
    Outcome newer = run();
    ASSERT_EQ(newer.exitCode, 0) << newer.err;
    EXPECT_EQ(stored(), fmt::format("{}\n", released + 100));
}

TEST_F(SignedSetup, WithAKeyAMissingSignatureChangesNothingWithoutOneTheRunWarns) {
    publish(1700000100);
    server.removeFile("/manifest.json.minisig");
    Outcome refused = run();
    EXPECT_EQ(refused.exitCode, 1);
    EXPECT_TRUE(refused.lastErrLine().starts_with("清单签名缺失: 无法获取 " +
                                                  server.url("/manifest.json.minisig?v=")))
        << refused.lastErrLine();
    EXPECT_TRUE(refused.lastErrLine().ends_with(": HTTP 404")) << refused.lastErrLine();
    EXPECT_FALSE(anyAssetFetched());
    EXPECT_FALSE(fs::exists(home.path() / "Applications"));
    EXPECT_FALSE(fs::exists(AcceptedManifestTime::path()));

    server.clearRequests();
    Outcome unsigned_ = run(false);
    ASSERT_EQ(unsigned_.exitCode, 0) << unsigned_.err;
    EXPECT_TRUE(server.requests("/manifest.json.minisig").empty()); // not even asked for
    expectContains(unsigned_.err, {"[WARN] ⚠ 未配置清单公钥，清单未经签名校验"});
    EXPECT_FALSE(fs::exists(AcceptedManifestTime::path()));
}

TEST_F(SignedSetup, OfflineFromAFolderWithTheOriginClosedIsCheckedLikeTheOrigin) {
    publish(1700000100);
    // The release copied to a disk, laid out like the host.
    const fs::path disk = home.path() / "disk";
    fs::create_directories(disk / "files");
    for (const char* name : {"manifest.json", "manifest.json.minisig"})
        fs::copy_file(home.path() / "release" / name, disk / name);
    writeFile(disk / "files/Corvel.zip", appArchive);
    const std::string mirror = server.baseUrl() + "/=file://" + disk.string() + "/";
    const std::vector<std::string> arguments{
        "--no-launch",    "--manifest-url", server.url("/manifest.json"), "--mirror", mirror,
        "--manifest-key", key.publicKey()};
    server.stop();

    // A damaged copy is caught by the manifest's digest, as a download would be.
    writeFile(disk / "files/voice.bin", patternBytes(50000, 8));
    Outcome damaged = runCli(home.path(), arguments);
    EXPECT_EQ(damaged.exitCode, 1);
    EXPECT_EQ(damaged.lastErrLine(), "voice 校验失败，文件可能已损坏");

    writeFile(disk / "files/voice.bin", patternBytes(50000, 7));
    Outcome offline = runCli(home.path(), arguments);
    ASSERT_EQ(offline.exitCode, 0) << offline.err;
    expectContains(offline.err, {"▶ 拉取清单: file://" + disk.string() + "/manifest.json",
                                 "✔ 清单签名有效: 公钥 " + key.keyId(), "▶ 本地源 [voice] "});
    EXPECT_EQ(readFile(CVSharedDataPaths::llmDataDirectory() / "voice.bin"),
              patternBytes(50000, 7));
    EXPECT_TRUE(fs::exists(home.path() / "Applications/Corvel.app/AppRun"));
}

// The publisher's script, with the manifest kept inside the release folder.
TEST(PublishManifest, AManifestAmongTheFilesIsNoModelAndAFailedSigningReplacesNothing) {
    TempHome home;
    MinisignKey key(home.path() / "keys");
    const fs::path release = home.path() / "release", output = release / "manifest.json";
    writeFile(release / "Corvel.zip", "app");
    writeFile(release / "voice.bin", "voice");
    auto publish = [&](const fs::path& secret) {
        return std::system(
            fmt::format("umask 022 && /usr/bin/python3 '{}/scripts/publish-manifest' "
                        "--assets '{}' --base-url http://127.0.0.1/r --app "
                        "Corvel.zip --output '{}' --sign '{}' >/dev/null 2>&1",
                        CORVEL_SOURCE_DIR, release.string(), output.string(), secret.string())
                .c_str());
    };
    for (int round = 1; round <= 2; ++round) {
        ASSERT_EQ(publish(key.secretKeyFile()), 0) << round;
        auto models = nlohmann::json::parse(readFile(output))["data"]["models"];
        ASSERT_EQ(models.size(), 1u) << models.dump();
        EXPECT_EQ(models[0]["file_name"], "voice.bin");
        // Served by a web server that is not its owner.
        EXPECT_EQ(fs::status(output).permissions(), fs::perms::owner_read | fs::perms::owner_write |
                                                        fs::perms::group_read |
                                                        fs::perms::others_read);
        EXPECT_NO_THROW(
            ManifestSignature::verify(readFile(output), readFile(output.string() + ".minisig"),
                                      {*ManifestSignature::parsePublicKey(key.publicKey())}));
    }
    const std::string manifest = readFile(output),
                      signature = readFile(output.string() + ".minisig");
    writeFile(release / "voice.bin", "voice, second release");
    EXPECT_NE(publish(home.path() / "no-such.key"), 0);
    EXPECT_EQ(readFile(output), manifest);
    EXPECT_EQ(readFile(output.string() + ".minisig"), signature);
    for (const auto& entry : fs::directory_iterator(release))
        EXPECT_FALSE(entry.path().filename().string().starts_with(".manifest.json"))
            << entry.path();
}

TEST_F(SignedSetup, AServerPageQuotedInTheReasonStaysOnTheLastLine) {
    server.setFile("/manifest.json", "<html>\n<body>\x1b[31mBad gateway\x07</body>\n</html>\n");
    Outcome outcome = run(false);
    EXPECT_EQ(outcome.exitCode, 1);
    EXPECT_EQ(outcome.lastErrLine().find("网络错误：JSON 解析失败: "), 0u) << outcome.err;
    EXPECT_TRUE(outcome.lastErrLine().ends_with(
        " — 响应片段: <html>\\n<body>\\x1b[31mBad gateway\\x07</body>\\n</html>\\n"))
        << outcome.lastErrLine();
    EXPECT_EQ(outcome.err.find('\x1b'), std::string::npos);
}
