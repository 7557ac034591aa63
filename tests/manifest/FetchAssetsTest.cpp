#include "FixtureServer.h"
#include "install/CorvelInstallError.h"
#include "log/CorvelSetupLogger.h"
#include "manifest/AssetResolution.h"
#include "manifest/CorvelRemoteManifest.h"
#include "platform/HttpClient.h"
#include "support/ScriptedServer.h"
#include "support/TempHome.h"

#include <gtest/gtest.h>

#include <fmt/format.h>

#include <atomic>
#include <cstdlib>
#include <thread>

namespace manifest = CorvelRemoteManifest;

namespace {

std::string logText() {
    CorvelSetupLogger::shared().flush();
    return CorvelSetupLogger::shared().persistedText();
}

bool logged(const std::string& text) {
    return logText().find(text) != std::string::npos;
}

// The error inside the network case that fetchAssets throws; rethrows anything else.
std::exception_ptr networkError(const std::function<void()>& step) {
    try {
        step();
    } catch (const CorvelInstallError& error) {
        if (auto* network = std::get_if<CorvelInstallError::Network>(&error.value()))
            return network->underlying;
        throw;
    }
    ADD_FAILURE() << "no error";
    return {};
}

std::string manifestErrorText(const std::exception_ptr& error) {
    try {
        std::rethrow_exception(error);
    } catch (const DomainError& inner) {
        EXPECT_EQ(inner.domain(), "CorvelRemoteManifest");
        EXPECT_EQ(inner.code(), -1);
        return inner.what();
    } catch (const std::exception& other) {
        return std::string("unexpected: ") + other.what();
    }
}

class FetchAssets : public ::testing::Test {
  protected:
    void SetUp() override { server.start(); }
    void TearDown() override { ::unsetenv("CORVEL_MANIFEST_URL"); }

    void serveManifest(const std::string& body) {
        server.setTemplate("/manifest.json", body);
        ::setenv("CORVEL_MANIFEST_URL", server.url("/manifest.json").c_str(), 1);
    }

    std::string validManifest(const std::string& models = "[]") const {
        return R"({"status":"success","data":{"app":{"download_url":"{BASE}/app.zip",
                   "file_size":1000},"models":)" +
               models + "}}";
    }

    testsupport::TempHome home;
    fixture::FixtureServer server;
};

} // namespace

TEST_F(FetchAssets, ResolvesAssetsInOrderWithHeadSizesAndLogsThePlan) {
    server.setFile("/app.zip", std::string(2000, 'a'));             // larger than the manifest says
    server.setFile("/models/small.tar.gz", std::string(1000, 'b')); // smaller
    server.setFile("/models/refused.bin", std::string(10, 'c'));
    server.setFault("/models/refused.bin", fixture::Fault{.refuseHead = true});
    server.setFile("/models/empty.bin", "");
    testsupport::writeFile(home.path() / "local.zip", "zip");
    std::string localUrl = "file://" + (home.path() / "local.zip").string();
    serveManifest(R"({"status":"success","extra":{"k":[1]},"data":{
        "app":{"app_name":"x","download_url":"{BASE}/app.zip","file_name":"y","file_size":1000,
               "file_hash":"  ABCdef\n"},
        "models":[
          {"model_name":"small","download_url":"{BASE}/models/small.tar.gz","file_name":"s","size":2000},
          {"model_name":"","download_url":"{BASE}/models/refused.bin","file_name":"refused.bin","size":-5},
          {"model_name":"empty","download_url":"{BASE}/models/empty.bin","file_name":"e","size":3000},
          {"model_name":"local","download_url":")" +
                  localUrl + R"(","file_name":"l"}]}})");
    // The override is trimmed before use.
    ::setenv("CORVEL_MANIFEST_URL", (" \t" + server.url("/manifest.json") + "\n").c_str(), 1);

    auto assets = manifest::fetchAssets();

    ASSERT_EQ(assets.size(), 5u);
    EXPECT_EQ(assets[0].name, "Corvel.app");
    EXPECT_EQ(assets[0].sha256, "ABCdef");
    EXPECT_EQ(assets[0].expectedBytes, 2000);
    EXPECT_EQ(assets[1].name, "small");
    EXPECT_EQ(assets[1].format, CVTAVAsset::Format::tarGz);
    EXPECT_EQ(assets[1].expectedBytes, 1000);
    EXPECT_EQ(assets[2].name, "refused.bin");
    EXPECT_EQ(assets[2].expectedBytes, 1);
    EXPECT_EQ(assets[3].expectedBytes, 3000);
    EXPECT_EQ(assets[4].expectedBytes, 1);
    EXPECT_EQ(assets[4].format, CVTAVAsset::Format::zip);

    auto manifestRequests = server.requests("/manifest.json");
    ASSERT_EQ(manifestRequests.size(), 1u);
    EXPECT_EQ(manifestRequests[0].method, "GET");
    EXPECT_EQ(manifestRequests[0].header("Accept"), "application/json");
    EXPECT_TRUE(manifestRequests[0].target.starts_with("/manifest.json?v="))
        << manifestRequests[0].target;
    for (const char* path : {"/app.zip", "/models/small.tar.gz", "/models/refused.bin"}) {
        auto requests = server.requests(path);
        ASSERT_EQ(requests.size(), 1u) << path;
        EXPECT_EQ(requests[0].method, "HEAD");
    }

    std::string log = logText();
    auto at = [&](const std::string& line) { return log.find(line); };
    EXPECT_NE(at("[INFO] -------------------- 资源清单 --------------------\n"), std::string::npos);
    EXPECT_NE(at("[INFO] ▶ 拉取清单: " + server.url("/manifest.json?v=")), std::string::npos)
        << log;
    EXPECT_NE(at("[WARN]   ⚠ HEAD 未解析大小 [refused.bin]，暂用 manifest 值 1 byte 兜底\n"),
              std::string::npos)
        << log;
    EXPECT_NE(at("[WARN]   ⚠ HEAD 未解析大小 [empty]，暂用 manifest 值 3 KB 兜底\n"),
              std::string::npos);
    EXPECT_EQ(at("[local]"), std::string::npos);
    EXPECT_NE(at("[INFO] ✔ 资源清单就绪，共 5 个（大小以 HEAD 实测为准）\n"), std::string::npos);
    EXPECT_NE(at("[INFO]   • Corvel.app — 2 KB — " + server.url("/app.zip") + "\n"),
              std::string::npos);
    EXPECT_LT(at("• Corvel.app"), at("• small"));
    EXPECT_LT(at("• small"), at("• local"));
}

TEST_F(FetchAssets, OverrideQueryItemsComeFirstAndEmptyModelsGiveTheAppAlone) {
    server.setFile("/app.zip", "zip");
    server.setTemplate("/manifest.json", validManifest());
    ::setenv("CORVEL_MANIFEST_URL", server.url("/manifest.json?a=1&v=old").c_str(), 1);
    auto assets = manifest::fetchAssets();
    ASSERT_EQ(assets.size(), 1u);
    EXPECT_EQ(assets[0].name, "Corvel.app");
    EXPECT_EQ(assets[0].destination, CVTAVAsset::applicationsDirectory());
    auto target = server.requests("/manifest.json").at(0).target;
    EXPECT_TRUE(target.starts_with("/manifest.json?a=1&v=old&v=")) << target;
}

TEST_F(FetchAssets, StatusOtherThanLowerCaseSuccessIsRefused) {
    serveManifest(
        R"({"status":"SUCCESS","data":{"app":{"download_url":"{BASE}/a.zip"},"models":[]}})");
    auto error = networkError([] { manifest::fetchAssets(); });
    EXPECT_EQ(manifestErrorText(error), "清单接口返回状态异常: SUCCESS");
    EXPECT_TRUE(logged("[ERROR] ✘ 清单接口返回状态异常: SUCCESS\n"));
    EXPECT_TRUE(server.requests("/a.zip").empty());
}

TEST_F(FetchAssets, UndecodableDocumentsQuoteTheBodyInTheLog) {
    std::string body = R"({"status":"success","data":{"app":{"download_url":"u"}}, "pad":")" +
                       std::string(300, 'p') + "\"}";
    serveManifest(body);
    auto error = networkError([] { manifest::fetchAssets(); });
    std::string message = manifestErrorText(error);
    EXPECT_TRUE(message.starts_with("JSON 解析失败: ")) << message;
    EXPECT_TRUE(message.ends_with(" — 响应片段: " + body.substr(0, 256))) << message;
    EXPECT_TRUE(logged("[ERROR] ✘ 清单拉取/解析失败: " + message + "\n"));

    serveManifest(validManifest().replace(validManifest().find("1000"), 4, "\"1000\""));
    message = manifestErrorText(networkError([] { manifest::fetchAssets(); }));
    EXPECT_NE(message.find("file_size"), std::string::npos) << message;
}

TEST_F(FetchAssets, HttpErrorStatusWinsOverAValidBody) {
    std::string body = validManifest();
    testsupport::ScriptedServer scripted({fmt::format(
        "HTTP/1.1 404 Not Found\r\nContent-Type: application/json\r\nContent-Length: {}\r\n\r\n{}",
        body.size(), body)});
    ::setenv("CORVEL_MANIFEST_URL", scripted.url("/m").c_str(), 1);
    auto error = networkError([] { manifest::fetchAssets(); });
    EXPECT_EQ(manifestErrorText(error), "HTTP 404");
    EXPECT_TRUE(logged("[ERROR] ✘ 清单拉取/解析失败: HTTP 404\n"));
}

TEST_F(FetchAssets, InvalidModelUrlStopsBeforeAnyHeadWithoutItsOwnLogLine) {
    serveManifest(
        validManifest(R"([{"model_name":"a","download_url":"{BASE}/a.bin","file_name":"a"},
                                    {"model_name":"b","download_url":"no url","file_name":"b"}])"));
    auto error = networkError([] { manifest::fetchAssets(); });
    EXPECT_EQ(manifestErrorText(error), "models[1].download_url 非法: no url");
    EXPECT_FALSE(logged("✘"));
    EXPECT_EQ(server.requests().size(), 1u);
}

TEST_F(FetchAssets, OversizedBodyIsRefusedWhetherAnnouncedStreamedOrOnDisk) {
    std::string huge(manifest::maxManifestBytes + 1, ' ');
    server.setFile("/huge.json", huge);
    testsupport::writeFile(home.path() / "huge.json", huge);
    for (const std::string& url : {server.url("/huge.json"), server.url("/huge.json"),
                                   "file://" + (home.path() / "huge.json").string()}) {
        // The second round hides the length, so only the running count can stop it.
        if (url == server.url("/huge.json") && !server.requests("/huge.json").empty())
            server.setFault("/huge.json", fixture::Fault{.omitContentLength = true});
        ::setenv("CORVEL_MANIFEST_URL", url.c_str(), 1);
        auto message = manifestErrorText(networkError([] { manifest::fetchAssets(); }));
        EXPECT_TRUE(message.starts_with("清单过大")) << url << ": " << message;
    }
}

TEST_F(FetchAssets, ClosedPortIsCannotConnect) {
    testsupport::LoopbackListener closed(false);
    ::setenv("CORVEL_MANIFEST_URL", closed.url("/m.json").c_str(), 1);
    auto error = networkError([] { manifest::fetchAssets(); });
    try {
        std::rethrow_exception(error);
    } catch (const platform::TransportError& transport) {
        EXPECT_EQ(transport.kind(), platform::TransportErrorKind::cannotConnect);
        EXPECT_TRUE(logged(std::string("[ERROR] ✘ 清单拉取/解析失败: ") + transport.what() + "\n"));
    }
}

TEST_F(FetchAssets, FileOverrideIsReadFromDisk) {
    server.setFile("/app.zip", std::string(1234, 'z'));
    std::string body = validManifest();
    auto base = body.find("{BASE}");
    body.replace(base, 6, server.baseUrl());
    testsupport::writeFile(home.path() / "manifest dir" / "m.json", body);
    ::setenv("CORVEL_MANIFEST_URL",
             ("file://" + (home.path() / "manifest%20dir/m.json").string()).c_str(), 1);
    auto assets = manifest::fetchAssets();
    ASSERT_EQ(assets.size(), 1u);
    EXPECT_EQ(assets[0].expectedBytes, 1234);

    ::setenv("CORVEL_MANIFEST_URL", ("file://" + (home.path() / "missing.json").string()).c_str(),
             1);
    EXPECT_THROW(manifest::fetchAssets(), CorvelInstallError);
    EXPECT_TRUE(logged("[ERROR] ✘ 清单拉取/解析失败: "));
}

TEST_F(FetchAssets, StopRequestAbortsAStalledFetch) {
    testsupport::LoopbackListener silent;
    ::setenv("CORVEL_MANIFEST_URL", silent.url("/m.json").c_str(), 1);
    std::stop_source stop;
    std::atomic<bool> finished = false;
    std::exception_ptr error;
    std::jthread run([&] {
        error = networkError([&] { manifest::fetchAssets(stop.get_token()); });
        finished = true;
    });
    auto connection = silent.acceptOne();
    ASSERT_TRUE(connection);
    stop.request_stop();
    ASSERT_TRUE(testsupport::waitUntil([&] { return finished.load(); }));
    run.join();
    try {
        std::rethrow_exception(error);
    } catch (const platform::TransportError& transport) {
        EXPECT_EQ(transport.kind(), platform::TransportErrorKind::cancelled);
    }
}
