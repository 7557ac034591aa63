#include "platform/DomainError.h"
#include "shareddata/Layout.h"

#include <gtest/gtest.h>

#include <climits>

using paths::InferredRemoteFormat;

namespace {

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

TEST(ProductChecks, RawFileLooksCompleteAtItsBoundaries) {
    TempHome home;
    fs::path f = home.path() / "f.bin";
    // 900000.9 truncates to 900000; INT64_MAX must not overflow into a tiny threshold.
    for (auto [size, expected, complete] :
         std::vector<std::tuple<std::size_t, std::int64_t, bool>>{{0, 1, false},
                                                                  {1, 1'000'000, true},
                                                                  {1, 1'000'001, false},
                                                                  {899'999, 1'000'000, true},
                                                                  {899'999, 1'000'001, false},
                                                                  {900'000, 1'000'001, true},
                                                                  {1'799'999, 2'000'000, false},
                                                                  {1'800'000, 2'000'000, true},
                                                                  {1'800'000, INT64_MAX, false}}) {
        writeFile(f, std::string(size, 'x'));
        EXPECT_EQ(paths::rawFileLooksComplete(f, expected), complete) << size << " of " << expected;
    }
    EXPECT_FALSE(paths::rawFileLooksComplete(home.path(), 1));
    EXPECT_FALSE(paths::rawFileLooksComplete(home.path() / "missing", 1));
    EXPECT_FALSE(paths::rawFileLooksComplete(home.path() / std::string(NAME_MAX + 1, 'n'), 1));
}

TEST(ProductChecks, GgmlBasePackageInBothForms) {
    for (const auto& [before, present] : std::vector<std::pair<const char*, bool>>{
             {"~/d=/", false},
             {"~/d/ggml-base.bin=m", false}, // the encoder is missing
             {"~/d/ggml-base.bin=m ~/d/ggml-base-encoder.mlmodelc=/", false},
             {"~/d/ggml-base.bin=m ~/d/ggml-base-encoder.mlmodelc/model.mil=e", true},
             {"~/d/ggml-base/ggml-base.bin=m ~/d/ggml-base/ggml-base-encoder.mlmodelc/model.mil=e",
              true},
             {"~/d/ggml-base.bin=m ~/d/ggml-base/ggml-base-encoder.mlmodelc/model.mil=e", false}}) {
        TempHome home;
        apply(layout(before));
        EXPECT_EQ(paths::ggmlBasePresent(home.path() / "d"), present) << before;
    }
}

TEST(ProductChecks, RecordedProductIsPresent) {
    TempHome home;
    apply(layout(
        "D/LLMData/Model/weights.bin=w D/LLMData/Empty/.DS_Store=x "
        "D/LLMData/Empty/__MACOSX/x=x D/LLMData/w.bin=#950 D/LLMData/w.bin.part=#950 "
        "D/LLMData/w.bin.download=#950 D/LLMData/Model.zip=#950 D/LLMData/dangling=->~/nowhere"));
    const std::string url = "https://h/Model.zip";
    const std::string ggml = "https://h/dl/GGML-BASE.ZIP?sig=1";
    struct Case {
        const char* format;
        const char* path;
        std::string url;
        std::int64_t bytes;
        bool present;
    };
    auto check = [](const std::vector<Case>& cases) {
        for (const auto& c : cases)
            EXPECT_EQ(
                paths::recordedProductIsPresent(c.format, expand(c.path).string(), c.url, c.bytes),
                c.present)
                << c.format << " " << c.path << " " << c.url << " " << c.bytes;
    };
    check({{"zip", "D/LLMData/Model", url, 1, true},
           {"tarGz", "D/LLMData/Model", url, 1, true},
           {"zip", "D/LLMData/Empty", url, 1, false},
           {"zip", "D/LLMData/w.bin", url, 1, false},
           {"zip", "D/LLMData/Missing", url, 1, false},
           {"zip", "", url, 1, false},
           {"zip", "D/LLMData/Model.zip", url, 1, false},
           {"raw", "D/LLMData/w.bin", url, 2000, true},
           {"raw", "D/LLMData/w.bin", url, 2'000'000, false},
           {"raw", "D/LLMData/w.bin.part", url, 1, false},
           {"raw", "D/LLMData/w.bin.download", url, 1, false},
           {"raw", "D/LLMData/Model", url, 1, false},
           {"raw", "D/LLMData/dangling", url, 1, false},
           {"zip", "D/LLMData/dangling", url, 1, false},
           {"rar", "D/LLMData/Model", url, 1, false},
           {"zip", "D/LLMData/Model", "not a url", 1, true},
           // Recorded under the former root: looked for at its current place.
           {"zip", "L/LLMData/Model", url, 1, true},
           // The ggml-base package is judged in the LLM data directory, whatever was recorded.
           {"zip", "D/LLMData/Model", ggml, 1, false}});
    apply(layout("D/LLMData/ggml-base.bin=m D/LLMData/ggml-base-encoder.mlmodelc/model.mil=e"));
    check({{"zip", "D/LLMData/w.bin", ggml, 1, true}});
}

TEST(StagingMoves, MovesAndFlatteningAsLayouts) {
    void (*move)() = [] { paths::moveStagingEntries(expand("~/staging"), expand("~/dest")); };
    void (*flatten)() = [] { paths::flattenGgmlBase(expand("~/d")); };
    struct Case {
        const char* name;
        void (*step)();
        const char* before;
        const char* after; // nullptr: the step throws and changes nothing
    };
    for (const auto& c : std::vector<Case>{
             {"staged entries replace their namesakes, litter stays behind", move,
              "~/staging/Model/new.bin=new ~/staging/.hidden=h ~/staging/.DS_Store=junk "
              "~/staging/__MACOSX=/ ~/staging/link=->Model/new.bin ~/dest/Model/old.bin=old "
              "~/dest/keep.txt=k ~/dest/.hidden=->~/nowhere",
              "~/dest/Model/new.bin=new ~/dest/.hidden=h ~/dest/keep.txt=k "
              "~/dest/link=->Model/new.bin ~/staging/.DS_Store=junk ~/staging/__MACOSX=/"},
             {"a destination that is a file", move,
              "~/staging/Model/a.bin=a ~/dest=not-a-directory", nullptr},
             {"no package folder", flatten, "~/d/other.bin=o", "~/d/other.bin=o"},
             {"package folder moved up over an older file", flatten,
              "~/d/ggml-base/ggml-base.bin=new ~/d/ggml-base/ggml-base-encoder.mlmodelc/m=e "
              "~/d/ggml-base.bin=old",
              "~/d/ggml-base.bin=new ~/d/ggml-base-encoder.mlmodelc/m=e"},
             {"a folder of the package's own name inside it", flatten,
              "~/d/ggml-base/ggml-base/inner.txt=inner", "~/d/ggml-base/inner.txt=inner"},
             {"a symlink named ggml-base is not descended into", flatten,
              "~/outside/x.bin=x ~/d/ggml-base=->~/outside",
              "~/outside/x.bin=x ~/d/ggml-base=->~/outside"}}) {
        SCOPED_TRACE(c.name);
        TempHome home;
        apply(layout(c.before));
        if (c.after)
            c.step();
        else
            EXPECT_THROW(c.step(), fs::filesystem_error);
        EXPECT_EQ(snapshot(), layout(c.after ? c.after : c.before));
    }

    TempHome home;
    apply(layout("~/litter/.DS_Store= ~/litter/__MACOSX=/ ~/dest=/"));
    EXPECT_EQ(paths::topLevelEntryNames(home.path() / "litter"), std::set<std::string>{});
    try {
        paths::moveStagingEntries(home.path() / "litter", home.path() / "dest");
        FAIL() << "empty staging accepted";
    } catch (const DomainError& error) {
        EXPECT_EQ(error.domain(), "CVSharedDataPaths");
        EXPECT_EQ(error.code(), -1);
        EXPECT_STREQ(error.what(), "解压结果为空（staging 无有效条目）");
    }
    EXPECT_THROW(paths::moveStagingEntries(home.path() / "missing", home.path() / "dest"),
                 fs::filesystem_error);
}

TEST(StagingMoves, PickExtractedEntry) {
    TempHome home;
    fs::path d = home.path() / "d";
    apply(layout("~/d/Old=/ ~/d/older.bin=o"));
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
