#include "log/CorvelSetupLogger.h"
#include "manifest/AssetResolution.h"
#include "support/ScriptedServer.h"
#include "support/TempHome.h"

#include <gtest/gtest.h>

#include <fmt/format.h>

#include <map>
#include <regex>

namespace manifest = CorvelRemoteManifest;
using testsupport::LoopbackListener;
using testsupport::ScriptedServer;

namespace {

std::string logText() {
    CorvelSetupLogger::shared().flush();
    return CorvelSetupLogger::shared().persistedText();
}

std::size_t countOf(const std::string& text, const std::string& needle) {
    std::size_t count = 0;
    for (auto at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1))
        ++count;
    return count;
}

CVTAVAsset modelAt(const std::string& url, const std::string& name, std::int64_t size) {
    return manifest::makeModelAsset({name, url, name, size}, 0);
}

std::string headReply(const std::string& contentLengthLine) {
    return "HTTP/1.1 200 OK\r\n" + contentLengthLine + "Connection: close\r\n\r\n";
}

} // namespace

TEST(ProbeSizes, UnusableLengthsKeepTheManifestSizeWithOneWarningEach) {
    testsupport::TempHome home;
    // Lengths that lie or cannot be read; curl itself refuses some of them, which
    // counts the same.
    std::vector<std::string> lines = {
        "Content-Length: -5\r\n",  "Content-Length: 12abc\r\n",
        "Content-Length: 1 2\r\n", "Content-Length: 99999999999999999999999\r\n",
        "Content-Length: 0\r\n",   ""};
    std::vector<CVTAVAsset> assets;
    std::vector<std::unique_ptr<ScriptedServer>> servers;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        servers.push_back(std::make_unique<ScriptedServer>(std::vector{headReply(lines[i])}));
        assets.push_back(
            modelAt(servers.back()->url("/m" + std::to_string(i)), "m" + std::to_string(i), 1000));
    }
    auto probed = manifest::probeSizes(assets);
    std::string log = logText();
    for (std::size_t i = 0; i < lines.size(); ++i) {
        EXPECT_EQ(probed[i].expectedBytes, 1000) << lines[i];
        EXPECT_EQ(countOf(log, fmt::format("[WARN]   ⚠ HEAD 未解析大小 [m{}]，暂用 manifest 值 "
                                           "1 KB 兜底\n",
                                           i)),
                  1u)
            << log;
        EXPECT_TRUE(servers[i]->requests().at(0).starts_with("HEAD /m" + std::to_string(i) + " "));
    }
}

TEST(ProbeSizes, TenProbesAnsweredInReverseKeepOrderAndOwnSizes) {
    testsupport::TempHome home;
    constexpr int count = 10;
    LoopbackListener listener;
    std::vector<CVTAVAsset> assets;
    for (int i = 0; i < count; ++i)
        assets.push_back(modelAt(listener.url("/m" + std::to_string(i)), fmt::format("m{}", i), 1));

    // Holds every request until all ten are in, then answers the last asset
    // first and each next one only after the previous client hung up.
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
            testsupport::sendAll(fd, headReply(fmt::format("Content-Length: {}\r\n", 2000 + i)));
            testsupport::waitForPeerClose(fd);
        }
    });
    auto probed = manifest::probeSizes(assets);
    server.join();
    ASSERT_EQ(probed.size(), static_cast<std::size_t>(count));
    for (int i = 0; i < count; ++i) {
        EXPECT_EQ(probed[i].name, fmt::format("m{}", i));
        EXPECT_EQ(probed[i].expectedBytes, 2000 + i);
    }
    EXPECT_EQ(logText().find("HEAD 未解析大小"), std::string::npos);
}
