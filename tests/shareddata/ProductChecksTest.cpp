#include "platform/DomainError.h"
#include "shareddata/CVSharedDataPaths.h"
#include "support/TempHome.h"

#include <gtest/gtest.h>

#include <climits>

namespace fs = std::filesystem;
namespace paths = CVSharedDataPaths;
using paths::InferredRemoteFormat;
using testsupport::readFile;
using testsupport::TempHome;
using testsupport::writeFile;

namespace {

void writeSized(const fs::path& path, std::size_t bytes) {
    writeFile(path, std::string(bytes, 'x'));
}

void setMtime(const fs::path& path, long seconds) {
    fs::last_write_time(path, fs::file_time_type(std::chrono::seconds(seconds)));
}

} // namespace

TEST(ProductPaths, ExpectedProductPath) {
    const fs::path d = "/data/LLMData";
    using F = InferredRemoteFormat;
    struct Case {
        const char* url;
        F format;
        const char* relativePath;
        fs::path expected;
    };
    for (const auto& c : std::vector<Case>{
             {"https://h/x/Model.ZIP", F::zip, "", d / "Model"},
             {"https://h/ggml-base.zip", F::zip, "", d / "ggml-base.bin"},
             {"https://h/GGML-base.zip", F::zip, "", d / "GGML-base"}, // the package name is exact
             {"https://h/noext", F::zip, "", d / "noext"},
             {"https://h/data.tar.gz", F::tarGz, "", d / "data"},
             {"https://h/pack.tgz", F::tarGz, "", d / "pack"},
             {"https://h/DATA.TAR.GZ", F::tarGz, "", d / "DATA.TAR.GZ"},
             {"https://h/w.bin", F::raw, "sub/w.bin", d / "sub/w.bin"},
             {"https://h/w.bin?v=2", F::raw, "", d / "w.bin"},
             // Nothing from a URL or a record may point outside the destination.
             {"https://h/a%2F..%2F..%2Fetc%2Fpasswd", F::raw, "", d},
             {"https://h/w.bin", F::raw, "/etc/passwd", d / "w.bin"},
             {"https://h/w.bin", F::raw, "../w.bin", d / "w.bin"},
             {"https://h/", F::raw, "", d},
             {"https://h/.zip", F::zip, "", d},
         }) {
        paths::LLMCacheAssetDescriptor descriptor{*platform::Url::parse(c.url), c.format,
                                                  c.relativePath, d, 1};
        EXPECT_EQ(paths::expectedProductPath(descriptor), c.expected)
            << c.url << " " << c.relativePath;
    }
}

TEST(ProductChecks, ContentPredicates) {
    TempHome home;
    fs::path root = home.path() / "p";
    writeFile(root / "empty.bin", "");
    writeFile(root / "one.bin", "x");
    fs::create_directories(root / "emptydir");
    writeFile(root / "dsonly/.DS_Store", "x");
    fs::create_symlink(root / "nowhere", root / "dangling");

    EXPECT_FALSE(paths::hasContent(root / "missing"));
    EXPECT_FALSE(paths::hasContent(root / "empty.bin"));
    EXPECT_TRUE(paths::hasContent(root / "one.bin"));
    EXPECT_FALSE(paths::hasContent(root / "emptydir"));
    EXPECT_TRUE(paths::hasContent(root / "dsonly")); // nothing is ignored here
    EXPECT_FALSE(paths::hasContent(root / "dangling"));

    EXPECT_FALSE(paths::isNonEmptyDirectory(root / "one.bin"));
    EXPECT_FALSE(paths::isNonEmptyDirectory(root / "emptydir"));
    EXPECT_TRUE(paths::isNonEmptyDirectory(root / "dsonly"));
    EXPECT_FALSE(paths::isNonEmptyDirectory(root / std::string(NAME_MAX + 1, 'n')));
}

TEST(ProductChecks, RawFileLooksCompleteAtItsBoundaries) {
    TempHome home;
    fs::path f = home.path() / "f.bin";
    writeFile(f, "");
    EXPECT_FALSE(paths::rawFileLooksComplete(f, 1));
    writeSized(f, 1);
    EXPECT_TRUE(paths::rawFileLooksComplete(f, 1'000'000));
    EXPECT_FALSE(paths::rawFileLooksComplete(f, 1'000'001));
    writeSized(f, 899'999);
    EXPECT_TRUE(paths::rawFileLooksComplete(f, 1'000'000));
    EXPECT_FALSE(paths::rawFileLooksComplete(f, 1'000'001));
    writeSized(f, 900'000);
    EXPECT_TRUE(paths::rawFileLooksComplete(f, 1'000'001)); // 900000.9 truncates to 900000
    writeSized(f, 1'799'999);
    EXPECT_FALSE(paths::rawFileLooksComplete(f, 2'000'000));
    writeSized(f, 1'800'000);
    EXPECT_TRUE(paths::rawFileLooksComplete(f, 2'000'000));
    EXPECT_FALSE(paths::rawFileLooksComplete(f, INT64_MAX)); // no overflow into a tiny threshold
    EXPECT_FALSE(paths::rawFileLooksComplete(home.path(), 1));
    EXPECT_FALSE(paths::rawFileLooksComplete(home.path() / "missing", 1));
}

TEST(ProductChecks, GgmlBasePackageInBothForms) {
    TempHome home;
    fs::path d = home.path() / "d";
    fs::create_directories(d);
    EXPECT_FALSE(paths::ggmlBasePresent(d));
    writeFile(d / "ggml-base.bin", "m");
    EXPECT_FALSE(paths::ggmlBasePresent(d)); // the encoder is missing
    fs::create_directories(d / "ggml-base-encoder.mlmodelc");
    EXPECT_FALSE(paths::ggmlBasePresent(d)); // an empty encoder package does not count
    writeFile(d / "ggml-base-encoder.mlmodelc/model.mil", "e");
    EXPECT_TRUE(paths::ggmlBasePresent(d));

    fs::path nested = home.path() / "n";
    writeFile(nested / "ggml-base/ggml-base.bin", "m");
    writeFile(nested / "ggml-base/ggml-base-encoder.mlmodelc/model.mil", "e");
    EXPECT_TRUE(paths::ggmlBasePresent(nested));
    // Half of each form is not a package.
    fs::remove(nested / "ggml-base/ggml-base.bin");
    writeFile(nested / "ggml-base.bin", "m");
    EXPECT_FALSE(paths::ggmlBasePresent(nested));
}

TEST(ProductChecks, RecordedProductIsPresent) {
    TempHome home;
    fs::path d = paths::llmDataDirectory();
    writeFile(d / "Model/weights.bin", "w");
    writeFile(d / "Empty/.DS_Store", "x");
    writeFile(d / "Empty/__MACOSX/x", "x");
    writeSized(d / "w.bin", 950);
    writeSized(d / "w.bin.part", 950);
    writeSized(d / "w.bin.download", 950);
    writeSized(d / "Model.zip", 950);
    const std::string url = "https://h/Model.zip";

    EXPECT_TRUE(paths::recordedProductIsPresent("zip", (d / "Model").string(), url, 1));
    EXPECT_TRUE(paths::recordedProductIsPresent("tarGz", (d / "Model").string(), url, 1));
    EXPECT_FALSE(paths::recordedProductIsPresent("zip", (d / "Empty").string(), url, 1));
    EXPECT_FALSE(paths::recordedProductIsPresent("zip", (d / "w.bin").string(), url, 1));
    EXPECT_FALSE(paths::recordedProductIsPresent("zip", (d / "Missing").string(), url, 1));
    EXPECT_FALSE(paths::recordedProductIsPresent("zip", "", url, 1));
    EXPECT_FALSE(paths::recordedProductIsPresent("zip", (d / "Model.zip").string(), url, 1));
    EXPECT_TRUE(paths::recordedProductIsPresent("raw", (d / "w.bin").string(), url, 2000));
    EXPECT_FALSE(paths::recordedProductIsPresent("raw", (d / "w.bin").string(), url, 2'000'000));
    EXPECT_FALSE(paths::recordedProductIsPresent("raw", (d / "w.bin.part").string(), url, 1));
    EXPECT_FALSE(paths::recordedProductIsPresent("raw", (d / "w.bin.download").string(), url, 1));
    EXPECT_FALSE(paths::recordedProductIsPresent("raw", (d / "Model").string(), url, 1));
    EXPECT_FALSE(paths::recordedProductIsPresent("rar", (d / "Model").string(), url, 1));
    EXPECT_TRUE(paths::recordedProductIsPresent("zip", (d / "Model").string(), "not a url", 1));

    // A path recorded under the former root is looked for at its current place.
    std::string former = (paths::legacyLLMDataDirectory() / "Model").string();
    EXPECT_TRUE(paths::recordedProductIsPresent("zip", former, url, 1));

    // The ggml-base package is judged in the LLM data directory, whatever was recorded.
    const std::string ggml = "https://h/dl/GGML-BASE.ZIP?sig=1";
    EXPECT_FALSE(paths::recordedProductIsPresent("zip", (d / "Model").string(), ggml, 1));
    writeFile(d / "ggml-base.bin", "m");
    writeFile(d / "ggml-base-encoder.mlmodelc/model.mil", "e");
    EXPECT_TRUE(paths::recordedProductIsPresent("zip", (d / "w.bin").string(), ggml, 1));
}

TEST(StagingMoves, TopLevelEntryNamesSkipArchiveLitter) {
    TempHome home;
    fs::path d = home.path() / "d";
    writeFile(d / "a", "");
    writeFile(d / ".hidden", "");
    writeFile(d / ".DS_Store", "");
    fs::create_directories(d / "__MACOSX");
    EXPECT_EQ(paths::topLevelEntryNames(d), (std::set<std::string>{".hidden", "a"}));
    EXPECT_TRUE(paths::topLevelEntryNames(d / "a").empty());
    EXPECT_TRUE(paths::topLevelEntryNames(home.path() / "missing").empty());
}

TEST(StagingMoves, MoveStagingEntriesReplacesAndRefusesEmptyStaging) {
    TempHome home;
    fs::path staging = home.path() / "staging";
    fs::path dest = home.path() / "dest";
    writeFile(staging / "Model/new.bin", "new");
    writeFile(staging / ".hidden", "h");
    writeFile(staging / ".DS_Store", "junk");
    fs::create_directories(staging / "__MACOSX");
    fs::create_symlink("Model/new.bin", staging / "link");
    writeFile(dest / "Model/old.bin", "old");
    writeFile(dest / "keep.txt", "k");
    fs::create_symlink(home.path() / "nowhere", dest / ".hidden"); // dangling link gets replaced

    paths::moveStagingEntries(staging, dest);
    EXPECT_EQ(readFile(dest / "Model/new.bin"), "new");
    EXPECT_FALSE(fs::exists(dest / "Model/old.bin")); // replaced, not merged
    EXPECT_EQ(readFile(dest / ".hidden"), "h");
    EXPECT_EQ(readFile(dest / "keep.txt"), "k");
    EXPECT_TRUE(fs::is_symlink(dest / "link"));
    EXPECT_FALSE(fs::exists(dest / ".DS_Store"));
    EXPECT_FALSE(fs::exists(dest / "__MACOSX"));

    fs::path litter = home.path() / "litter";
    writeFile(litter / ".DS_Store", "");
    fs::create_directories(litter / "__MACOSX");
    try {
        paths::moveStagingEntries(litter, dest);
        FAIL() << "empty staging accepted";
    } catch (const DomainError& error) {
        EXPECT_EQ(error.domain(), "CVSharedDataPaths");
        EXPECT_EQ(error.code(), -1);
        EXPECT_STREQ(error.what(), "解压结果为空（staging 无有效条目）");
    }
    EXPECT_THROW(paths::moveStagingEntries(home.path() / "missing", dest), fs::filesystem_error);
}

TEST(StagingMoves, FailedMoveThrowsAndKeepsTheStagedEntry) {
    TempHome home;
    fs::path staging = home.path() / "staging";
    writeFile(staging / "Model/a.bin", "a");
    // The destination is a file, so nothing can be moved below it.
    writeFile(home.path() / "dest", "not a directory");
    EXPECT_THROW(paths::moveStagingEntries(staging, home.path() / "dest"), fs::filesystem_error);
    EXPECT_EQ(readFile(staging / "Model/a.bin"), "a");
}

TEST(StagingMoves, PickExtractedEntry) {
    TempHome home;
    fs::path d = home.path() / "d";
    fs::create_directories(d / "Old");
    writeFile(d / "older.bin", "o");
    setMtime(d / "Old", 1'000'000);
    setMtime(d / "older.bin", 2'000'000);
    auto before = paths::topLevelEntryNames(d);

    // Nothing new: the most recently modified entry.
    EXPECT_EQ(paths::pickExtractedEntry(d, before), d / "older.bin");
    setMtime(d / "Old", 3'000'000);
    EXPECT_EQ(paths::pickExtractedEntry(d, before), d / "Old");

    fs::create_directories(d / "Fresh");
    writeFile(d / ".DS_Store", "");
    EXPECT_EQ(paths::pickExtractedEntry(d, before), d / "Fresh");
    writeFile(d / "second.bin", "s");
    EXPECT_EQ(paths::pickExtractedEntry(d, before), d);

    fs::path empty = home.path() / "empty";
    fs::create_directories(empty);
    EXPECT_EQ(paths::pickExtractedEntry(empty, {}), empty);
}

TEST(StagingMoves, FlattenGgmlBase) {
    TempHome home;
    fs::path d = home.path() / "d";
    writeFile(d / "other.bin", "o");
    paths::flattenGgmlBase(d); // no sub-folder: nothing changes
    EXPECT_EQ(paths::topLevelEntryNames(d), (std::set<std::string>{"other.bin"}));

    writeFile(d / "ggml-base/ggml-base.bin", "new");
    writeFile(d / "ggml-base/ggml-base-encoder.mlmodelc/model.mil", "e");
    writeFile(d / "ggml-base.bin", "old");
    paths::flattenGgmlBase(d);
    EXPECT_FALSE(fs::exists(d / "ggml-base"));
    EXPECT_EQ(readFile(d / "ggml-base.bin"), "new");
    EXPECT_TRUE(paths::ggmlBasePresent(d));

    // A folder of the package's own name inside it must survive the move up.
    writeFile(d / "ggml-base/ggml-base/inner.txt", "inner");
    paths::flattenGgmlBase(d);
    EXPECT_EQ(readFile(d / "ggml-base/inner.txt"), "inner");

    // A symlink named ggml-base is not descended into.
    fs::path outside = home.path() / "outside";
    writeFile(outside / "x.bin", "x");
    fs::path l = home.path() / "l";
    fs::create_directories(l);
    fs::create_directory_symlink(outside, l / "ggml-base");
    paths::flattenGgmlBase(l);
    EXPECT_TRUE(fs::exists(outside / "x.bin"));
    EXPECT_FALSE(fs::exists(l / "x.bin"));
}
