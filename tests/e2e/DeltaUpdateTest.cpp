// Updates assembled from the installed older version: the real CLI, the
// fixture server and control files made by the real zsyncmake.

#include "FixtureServer.h"
#include "download/CacheSlot.h"
#include "download/SegmentRecord.h"
#include "install/InstallTestSupport.h"
#include "shareddata/CVSharedDataPaths.h"
#include "support/CliProcess.h"
#include "support/TempHome.h"

#include <gtest/gtest.h>

#include <csignal>

namespace {

// Bytes the server sent for GETs of a path, from their Range headers.
std::int64_t bytesFetched(const fixture::FixtureServer& server, const std::string& path,
                          std::int64_t whole) {
    std::int64_t total = 0;
    for (const auto& request : server.requests(path)) {
        if (request.method != "GET") continue;
        auto range = request.header("Range");
        if (range.empty()) {
            total += whole;
            continue;
        }
        // bytes=a-b[,c-d...]
        std::size_t at = range.find('=') + 1;
        while (at < range.size()) {
            auto dash = range.find('-', at);
            auto comma = std::min(range.find(',', dash), range.size());
            total += std::stoll(range.substr(dash + 1, comma - dash - 1)) -
                     std::stoll(range.substr(at, dash - at)) + 1;
            at = comma + 1;
        }
    }
    return total;
}

class DeltaUpdate : public ::testing::Test {
  protected:
    void SetUp() override {
        v1 = patternBytes(6 << 20, 7);
        v2 = v1;
        v2.replace(1000123, 3000, patternBytes(3000, 8)); // an overwrite
        v2.insert(3 << 20, patternBytes(5000, 9));        // an insertion
        v2.erase(5 << 20, 2000);                          // a deletion
        server.setFile("/files/model-1.bin", v1);
        server.setFile("/files/model-2.bin", v2);
        writeFile(home.path() / "model-2.bin", v2);
        control = zsyncControlFor(home.path() / "model-2.bin");
        server.setFile("/files/model-2.bin.zsync", control);
        // The same file name in another folder: the update lands where v1 is.
        server.setFile("/files/v2/model-1.bin", v2);
        server.setFile("/files/v2/model-1.bin.zsync", control);
        server.setFile("/files/app.zip", bundleArchive());
        publish("model-1.bin", v1, std::nullopt);
        server.start();
        // v1 installed: the seed of every update.
        ASSERT_EQ(run().exitCode, 0);
        ASSERT_TRUE(readFile(installed("model-1.bin")) == v1);
    }

    void publish(const std::string& file, const std::string& bytes,
                 std::optional<std::string> controlHash) {
        std::string zsync = controlHash ? R"(,"zsync_url":"{BASE}/files/)" + file +
                                              R"(.zsync","zsync_hash":")" + *controlHash + "\""
                                        : "";
        server.setTemplate("/manifest", R"({"status":"success","data":{"app":)"
                                        R"({"download_url":"{BASE}/files/app.zip"},"models":[)"
                                        R"({"model_name":"model","download_url":"{BASE}/files/)" +
                                            file + R"(","file_name":"m","size":)" +
                                            std::to_string(bytes.size()) + R"(,"file_hash":")" +
                                            sha256Hex(bytes) + "\"" + zsync + "}]}}");
    }
    Outcome run() {
        return CliProcess(home.path(), {"--manifest-url", server.url("/manifest"), "--no-launch"})
            .finish();
    }
    fs::path installed(const std::string& file) const {
        return CVSharedDataPaths::llmDataDirectory() / file;
    }

    TempHome home;
    fixture::FixtureServer server;
    std::string v1, v2, control;
};

// Through a mirror: the control file, the version and the missing blocks
// all come from there.
TEST_F(DeltaUpdate, FetchesOnlyTheChangedBlocksAndResumesAfterAKill) {
    publish("v2/model-1.bin", v2, sha256Hex(control));
    fixture::FixtureServer mirror;
    mirror.setFile("/v2/model-1.bin", v2);
    mirror.setFile("/v2/model-1.bin.zsync", control);
    mirror.start();
    server.clearRequests();
    auto args = [&](std::vector<std::string> more) {
        more.insert(more.end(), {"--manifest-url", server.url("/manifest"), "--no-launch",
                                 "--mirror", server.url("/files/v2/") + "=" + mirror.url("/v2/")});
        return more;
    };
    // The first run is killed while its ranges trickle in.
    mirror.setFault("/v2/model-1.bin", {.times = 1, .throttleBytesPerSecond = 2048});
    {
        CliProcess first(home.path(), args({}));
        auto slot = cache::makeSlot(*platform::Url::parse(server.url("/files/v2/model-1.bin")));
        ASSERT_TRUE(waitUntil([&] {
            return fs::exists(SegmentedTransfer::statePath(slot)) &&
                   !mirror.requests("/v2/model-1.bin").empty() &&
                   first.errSoFar().find("♻ 增量更新 [model]") != std::string::npos;
        }));
        first.signal(SIGKILL);
        first.finish();
    }
    mirror.clearFault("/v2/model-1.bin");
    // Over one connection too, only the missing blocks come.
    Outcome second = CliProcess(home.path(), args({"--connections", "1"})).finish();
    ASSERT_EQ(second.exitCode, 0) << second.err;
    EXPECT_TRUE(readFile(installed("model-1.bin")) == v2);
    // Three edits cost a few blocks each; the control file comes once per run.
    EXPECT_LT(bytesFetched(mirror, "/v2/model-1.bin", v2.size()), 64 * 1024);
    EXPECT_EQ(mirror.requests("/v2/model-1.bin.zsync").size(), 1u);
    EXPECT_TRUE(server.requests("/files/v2/model-1.bin").empty());
    EXPECT_TRUE(server.requests("/files/v2/model-1.bin.zsync").empty());
    // The record still names v1's URL at the same place: only v2's files count.
    Outcome verified = CliProcess(home.path(), {"--verify"}).finish();
    EXPECT_EQ(verified.exitCode, 0) << verified.out << verified.err;
}

// The control file's own parsing has its unit tests; one refusal stands for them.
TEST_F(DeltaUpdate, AControlFileThatLiesOrFailsFallsBackToTheWholeFile) {
    // Describes the old version, padded to the new length: every block it
    // vouches for is in the seed, and the file they make is not the new one.
    writeFile(home.path() / "other.bin", v1 + std::string(v2.size() - v1.size(), '\0'));
    const auto lying = zsyncControlFor(home.path() / "other.bin");
    struct Case {
        const char* what;
        std::string served;
        std::string hash;
        const char* warning;
    } cases[] = {
        {"lies", lying, sha256Hex(lying), "组装出的文件与发布的不符"},
        {"hash differs", control, sha256Hex("other"), "SHA-256 与清单不符"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        fs::remove(installed("model-2.bin"));
        server.setFile("/files/model-2.bin.zsync", c.served);
        publish("model-2.bin", v2, c.hash);
        Outcome outcome = run();
        EXPECT_EQ(outcome.exitCode, 0) << outcome.err;
        expectContains(outcome.err, {c.warning, "✔ 下载完成 [model]"});
        EXPECT_TRUE(readFile(installed("model-2.bin")) == v2);
    }
}

} // namespace
