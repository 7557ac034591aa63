// The real corvel-setup-cli with a model published in two places.

#include "FixtureServer.h"
#include "install/InstallTestSupport.h"
#include "shareddata/CVSharedDataPaths.h"
#include "support/CliProcess.h"

#include <fmt/format.h>
#include <gtest/gtest.h>

namespace {

// Bytes of the right size that fail the digest come again from one source
// at a time until one brings the right file; the sources that did not are
// named, and when none does nothing is installed.
TEST(ManySourcesCli, WrongBytesAreFetchedAgainFromOneSourceAtATime) {
    const std::string right = patternBytes(300'000, 7), wrong = patternBytes(300'000, 8);
    struct Case {
        const char* name;
        bool mirrorRight;
    };
    for (const Case& k : {Case{"the mirror is right", true}, Case{"neither is", false}}) {
        SCOPED_TRACE(k.name);
        TempHome home;
        const fs::path app = home.path() / "app.zip";
        testarchives::write(
            app, CVTAVAsset::Format::zip,
            {directory("Corvel.app/"), file("Corvel.app/AppRun", "#!/bin/sh\n", 0755)});
        fixture::FixtureServer origin, mirror;
        origin.setFile("/Corvel.zip", readFile(app));
        origin.setFile("/m.bin", wrong);
        mirror.setFile("/m.bin", k.mirrorRight ? right : wrong);
        origin.start();
        mirror.start();
        origin.setFile(
            "/manifest",
            fmt::format(
                R"({{"status":"success","data":{{"app":{{"download_url":"{}","file_hash":"{}"}},)"
                R"("models":[{{"model_name":"m","download_url":"{}","mirrors":["{}"],)"
                R"("file_name":"m.bin","size":300000,"file_hash":"{}"}}]}}}})",
                origin.url("/Corvel.zip"), sha256Hex(readFile(app)), origin.url("/m.bin"),
                mirror.url("/m.bin"), sha256Hex(right)));
        const auto outcome =
            CliProcess(home.path(), {"--manifest-url", origin.url("/manifest"), "--no-launch"})
                .finish();
        const fs::path installed = CVSharedDataPaths::llmDataDirectory() / "m.bin";
        EXPECT_EQ(countOf(outcome.err, "数据来自多个下载源，逐个下载源重新下载"), 1u)
            << outcome.err;
        EXPECT_EQ(countOf(outcome.err, "下载源的数据与摘要不符 [m] " + origin.url("/m.bin")), 1u);
        EXPECT_EQ(countOf(outcome.err, "下载源的数据与摘要不符 [m] " + mirror.url("/m.bin")),
                  k.mirrorRight ? 0u : 1u);
        if (k.mirrorRight) {
            EXPECT_EQ(outcome.exitCode, 0) << outcome.err;
            EXPECT_TRUE(readFile(installed) == right);
        } else {
            EXPECT_NE(outcome.exitCode, 0);
            EXPECT_FALSE(fs::exists(installed));
        }
    }
}

} // namespace
