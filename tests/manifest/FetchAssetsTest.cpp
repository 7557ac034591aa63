#include "FixtureServer.h"
#include "manifest/AssetResolution.h"
#include "manifest/CorvelRemoteManifest.h"
#include "platform/Cancellation.h"
#include "platform/HttpClient.h"
#include "support/ScriptedServer.h"
#include "support/TempHome.h"
#include "types/CorvelInstallError.h"

#include <gtest/gtest.h>

#include <fmt/format.h>

#include <atomic>
#include <cstdlib>
#include <map>
#include <regex>
#include <thread>

namespace manifest = CorvelRemoteManifest;
using testsupport::logText;
using testsupport::LoopbackListener;

namespace {

// fetchAssets' error, unwrapped from the network case it must arrive in.
std::string fetchError() {
    try {
        manifest::fetchAssets();
        return "no error";
    } catch (const CorvelInstallError& error) {
        return testsupport::thrownText([&] {
            std::rethrow_exception(std::get<CorvelInstallError::Network>(error.value()).underlying);
        });
    }
}

const std::string validManifest =
    R"({"status":"success","data":{"app":{"download_url":"{BASE}/app.zip","file_size":1000},)"
    R"("models":[]}})";

class FetchAssets : public ::testing::Test {
  protected:
    void SetUp() override { server.start(); }

    void useManifest(const std::string& url) { ::setenv("CORVEL_MANIFEST_URL", url.c_str(), 1); }
    void serveManifest(const std::string& body) {
        server.setTemplate("/manifest.json", body);
        useManifest(server.url("/manifest.json"));
    }

    testsupport::TempHome home;
    fixture::FixtureServer server;
};

} // namespace

TEST_F(FetchAssets, ResolvesAssetsInOrderWithHeadSizesAndLogsThePlan) {
    server.setFile("/app.zip", std::string(2000, 'a'));             // larger than the manifest says
    server.setFile("/models/small.tar.gz", std::string(1000, 'b')); // smaller
    server.setTemplate("/manifest.json", R"({"status":"success","extra":{"k":[1]},"data":{
        "app":{"app_name":"x","download_url":"{BASE}/app.zip","file_name":"y","file_size":1000,
               "file_hash":"  ABCdef01234567890123456789012345678901234567890123456789abcdefab\n"},
        "models":[
          {"model_name":"small","download_url":"{BASE}/models/small.tar.gz","file_name":"s","size":2000}]}})");
    useManifest(" \t" + server.url("/manifest.json?a=1&v=old") + "\n");

    auto assets = manifest::fetchAssets();

    std::string got;
    for (const auto& a : assets)
        got += fmt::format("{} {} {}; ", a.name, a.expectedBytes, formatName(a.format));
    EXPECT_EQ(got, "Corvel.app 2000 zip; small 1000 tarGz; ");
    EXPECT_EQ(assets[0].sha256, "ABCdef01234567890123456789012345678901234567890123456789abcdefab");
    EXPECT_EQ(server.requests().size(), 3u); // the manifest and one HEAD per HTTP asset
    auto manifestRequest = server.requests("/manifest.json").at(0);
    EXPECT_EQ(manifestRequest.header("Accept"), "application/json");
    EXPECT_TRUE(manifestRequest.target.starts_with("/manifest.json?a=1&v=old&v="))
        << manifestRequest.target;

    testsupport::expectContains(
        logText(), {"[INFO] -------------------- 资源清单 --------------------\n",
                    "[INFO] ▶ 拉取清单: " + server.url("/manifest.json?a=1&v=old&v="),
                    "[INFO] ✔ 资源清单就绪，共 2 个（大小以 HEAD 实测为准）\n",
                    "[INFO]   • Corvel.app — 2 KB — " + server.url("/app.zip") + "\n"});
    EXPECT_EQ(logText().find("HEAD 未解析"), std::string::npos);

    // A file URL override, its path percent-encoded, is read from disk; empty models: the
    // application alone.
    std::string body = validManifest;
    testsupport::writeFile(home.path() / "manifest dir" / "m.json",
                           body.replace(body.find("{BASE}"), 6, server.baseUrl()));
    useManifest("file://" + (home.path() / "manifest%20dir/m.json").string());
    assets = manifest::fetchAssets();
    ASSERT_EQ(assets.size(), 1u);
    EXPECT_EQ(assets[0].expectedBytes, 2000);

    // A local manifest may name local files, which get neither HEAD nor warning.
    body = body.substr(0, body.size() - 4) + R"([{"model_name":"local","download_url":"file://)" +
           (home.path() / "local.zip").string() + R"(","file_name":"l"}]}})";
    testsupport::writeFile(home.path() / "manifest dir" / "m.json", body);
    server.clearRequests();
    assets = manifest::fetchAssets();
    ASSERT_EQ(assets.size(), 2u);
    EXPECT_EQ(assets[1].expectedBytes, 1);
    EXPECT_EQ(server.requests().size(), 1u); // the application's HEAD only
    EXPECT_EQ(logText().find("HEAD 未解析大小 [local]"), std::string::npos);
}

TEST_F(FetchAssets, RefusedManifestsStopBeforeAnyHeadWithTheirMessage) {
    std::string huge(manifest::maxManifestBytes + 1, ' ');
    server.setFile("/announced.json", huge);
    server.setFile("/streamed.json", huge); // only the running count can stop this one
    server.setFault("/streamed.json", fixture::Fault{.omitContentLength = true});
    testsupport::writeFile(home.path() / "huge.json", huge);
    const std::string fetchFailed = "[ERROR] ✘ 清单拉取/解析失败: ";
    const std::string models = validManifest.substr(0, validManifest.size() - 4); // open "models"
    // A URL or a body served as the manifest; how the error starts; a line the log must
    // hold (empty: no error line at all).
    for (
        const auto& [source, message, logLine] :
        std::vector<std::tuple<std::string, std::string, std::string>>{
            {R"({"status":"SUCCESS","data":{"app":{"download_url":"{BASE}/a.zip"},"models":[]}})",
             "清单接口返回状态异常: SUCCESS", "[ERROR] ✘ 清单接口返回状态异常: SUCCESS\n"},
            {R"({"status":"success","data":{"app":{"download_url":"ftp://h/a.zip"},"models":[]}})",
             "app.download_url 非法: ftp://h/a.zip", ""},
            {models +
                 R"([{"model_name":"a","download_url":"{BASE}/a.bin","file_name":"a"},
                      {"model_name":"b","download_url":"no url","file_name":"b"}]}})",
             "models[1].download_url 非法: no url", ""},
            {models +
                 R"([{"model_name":"p","download_url":"file:///etc/passwd","file_name":"p"}]}})",
             "models[0].download_url 非法: file:///etc/passwd（远程清单不能引用本地文件）", ""},
            {models + R"([{"model_name":"m","download_url":"{BASE}/m.bin","file_name":"m",)"
                      R"("file_hash":"abc"}]}})",
             "JSON 解析失败: data.models[0] (m).file_hash: 不是 SHA-256 摘要", fetchFailed},
            {models +
                 R"([{"model_name":"a\u001b[2Jb\nc","download_url":"{BASE}/m.bin","file_name":"m"}]}})",
             "JSON 解析失败: data.models[0].model_name: 含控制字符: a\\x1b[2Jb\\nc", fetchFailed},
            {models + R"([{"model_name":"m","download_url":"{BASE}/m.bin","file_name":")" +
                 std::string(256, 'n') + R"("}]}})",
             "JSON 解析失败: data.models[0].file_name: 超过 255 字节", fetchFailed},
            {models + R"([{"model_name":"m","download_url":"{BASE}/a%07b.bin","file_name":"m"}]}})",
             "models[0].download_url 非法: ", ""},
            {server.url("/announced.json"), "清单过大", fetchFailed + "清单过大"},
            {server.url("/streamed.json"), "清单过大", fetchFailed + "清单过大"},
            {"file://" + (home.path() / "huge.json").string(), "清单过大",
             fetchFailed + "清单过大"}}) {
        SCOPED_TRACE(source.substr(0, 100));
        if (source.starts_with("{"))
            serveManifest(source);
        else
            useManifest(source);
        std::size_t logBefore = logText().size();
        std::string error = fetchError();
        EXPECT_TRUE(error.starts_with(message)) << error;
        std::string log = logText().substr(logBefore);
        EXPECT_EQ(log.find(logLine.empty() ? "✘" : logLine) == std::string::npos, logLine.empty())
            << log;
    }
    for (const auto& request : server.requests())
        EXPECT_NE(request.method, "HEAD") << request.path;
}

TEST(ProbeSizes, AnsweredInReverseEachKeepsItsOwnSizeOrTheManifestOneWithAWarning) {
    testsupport::TempHome home;
    // Ten usable answers, then lengths that lie or cannot be read (curl itself
    // refuses some, which counts the same) and a refused HEAD.
    std::vector<std::string> replies;
    for (int i = 0; i < 10; ++i)
        replies.push_back(fmt::format("200 OK\r\nContent-Length: {}\r\n", 2000 + i));
    for (const char* length :
         {"-5", "12abc", "1 2", "99999999999999999999999", "0", "0x10", "1e3", "+", "١٢"})
        replies.push_back(fmt::format("200 OK\r\nContent-Length: {}\r\n", length));
    replies.push_back("200 OK\r\n");
    replies.push_back("405 Method Not Allowed\r\nContent-Length: 2000\r\n");
    const int count = static_cast<int>(replies.size());
    LoopbackListener listener;
    std::vector<CVTAVAsset> assets;
    for (int i = 0; i < count; ++i) {
        std::string name = fmt::format("m{}", i);
        assets.push_back(manifest::makeModelAsset({name, listener.url("/" + name), name, 1000}, 0));
    }
    // Holds every request until all are in, then answers the last asset first
    // and each next one only after the previous client hung up.
    std::jthread server([&] {
        std::map<int, platform::UniqueFd> byIndex;
        for (int i = 0; i < count; ++i) {
            auto client = listener.acceptOne();
            if (!client) return;
            std::smatch match;
            std::string head = testsupport::readRequestHead(client.get());
            if (!std::regex_search(head, match, std::regex("^HEAD /m([0-9]+) "))) return;
            byIndex[std::stoi(match[1])] = std::move(client);
        }
        for (int i = count - 1; i >= 0; --i) {
            int fd = byIndex.at(i).get();
            testsupport::sendAll(fd, "HTTP/1.1 " + replies[i] + "Connection: close\r\n\r\n");
            testsupport::waitForPeerClose(fd);
        }
    });
    auto probed = manifest::probeSizes(assets);
    server.join();
    ASSERT_EQ(probed.size(), replies.size());
    std::string log = logText();
    for (int i = 0; i < count; ++i) {
        SCOPED_TRACE(replies[i]);
        EXPECT_EQ(probed[i].name, fmt::format("m{}", i));
        EXPECT_EQ(probed[i].expectedBytes, i < 10 ? 2000 + i : 1000);
        std::string warning =
            fmt::format("[WARN]   ⚠ HEAD 未解析大小 [m{}]，暂用 manifest 值 1 KB 兜底\n", i);
        EXPECT_EQ(log.find(warning), i < 10 ? std::string::npos : log.rfind(warning));
        EXPECT_EQ(log.find(warning) == std::string::npos, i < 10);
    }
}

// A stop while the manifest or a size is being fetched is the run's
// cancellation: no failure line, no warning per asset.
TEST_F(FetchAssets, AStopDuringTheFetchOrTheProbesIsACancellation) {
    LoopbackListener silent; // accepts and never answers
    serveManifest(R"({"status":"success","data":{"app":{"download_url":")" +
                  silent.url("/app.zip") + R"(","file_size":1000},"models":[]}})");
    for (const auto& [manifestURL, unwanted] : std::vector<std::pair<std::string, std::string>>{
             {silent.url("/manifest.json"), "✘ 清单拉取/解析失败"},
             {server.url("/manifest.json"), "⚠ HEAD 未解析大小"}}) {
        useManifest(manifestURL);
        std::string before = logText();
        std::stop_source stop;
        std::atomic<bool> cancelled{false};
        std::jthread fetch([&] {
            try {
                manifest::fetchAssets(stop.get_token());
            } catch (const platform::CancelledError&) {
                cancelled = true;
            } catch (...) {
            }
        });
        auto client = silent.acceptOne();
        ASSERT_TRUE(client) << manifestURL;
        stop.request_stop();
        fetch.join();
        EXPECT_TRUE(cancelled) << manifestURL;
        EXPECT_EQ(logText().find(unwanted, before.size()), std::string::npos);
    }
}
