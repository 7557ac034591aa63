#include "shareddata/Layout.h"

#include <gtest/gtest.h>

#include <climits>

using paths::InferredRemoteFormat;

TEST(ProductPaths, ExpectedProductPath) {
    const fs::path d = "/data/LLMData";
    using F = InferredRemoteFormat;
    for (const auto& [url, format, relativePath, expected] :
         std::vector<std::tuple<const char*, F, const char*, fs::path>>{
             {"https://h/x/Model.ZIP", F::zip, "", d / "Model"},
             {"https://h/ggml-base.zip", F::zip, "", d / "ggml-base.bin"},
             {"https://h/data.tar.gz", F::tarGz, "", d / "data"},
             {"https://h/pack.tgz", F::tarGz, "", d / "pack"},
             {"https://h/w.bin", F::raw, "sub/w.bin", d / "sub/w.bin"},
             {"https://h/w.bin?v=2", F::raw, "", d / "w.bin"},
             // Nothing from a URL or a record may point outside the destination.
             {"https://h/a%2F..%2F..%2Fetc%2Fpasswd", F::raw, "", d},
             {"https://h/w.bin", F::raw, "/etc/passwd", d / "w.bin"},
             {"https://h/w.bin", F::raw, "../w.bin", d / "w.bin"},
             {"https://h/.zip", F::zip, "", d},
         }) {
        EXPECT_EQ(
            paths::expectedProductPath({*platform::Url::parse(url), format, relativePath, d, 1}),
            expected)
            << url << " " << relativePath;
    }
}

TEST(ProductChecks, RawFileLooksCompleteAtItsBoundaries) {
    TempHome home;
    fs::path f = home.path() / "f.bin";
    // 900000.9 truncates to 900000; INT64_MAX must not overflow into a tiny threshold.
    // clang-format off
    for (auto [size, expected, complete] : std::vector<std::tuple<std::size_t, std::int64_t, bool>>{
             {0, 1, false}, {1, 1'000'000, true}, {1, 1'000'001, false},
             {899'999, 1'000'001, false}, {900'000, 1'000'001, true}, {1'800'000, INT64_MAX, false}}) {
        // clang-format on
        writeFile(f, std::string(size, 'x'));
        EXPECT_EQ(paths::rawFileLooksComplete(f, expected), complete) << size << " of " << expected;
    }
    EXPECT_FALSE(paths::rawFileLooksComplete(home.path(), 1));
    EXPECT_FALSE(paths::rawFileLooksComplete(home.path() / std::string(NAME_MAX + 1, 'n'), 1));
}

TEST(ProductChecks, GgmlBasePackageInBothForms) {
    for (const auto& [before, present] : std::vector<std::pair<const char*, bool>>{
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
        "D/LLMData/w.bin.download=#950 D/LLMData/Model.zip=#950 D/LLMData/gone=->~/nowhere"));
    const std::string ggml = "https://h/dl/GGML-BASE.ZIP?sig=1";
    auto present = [](const char* format, const char* path, std::int64_t bytes = 1,
                      const std::string& url = "https://h/Model.zip") {
        return paths::recordedProductIsPresent(format, expand(path).string(), url, bytes);
    };
    EXPECT_TRUE(present("zip", "D/LLMData/Model"));
    EXPECT_FALSE(present("zip", "D/LLMData/Empty"));
    EXPECT_FALSE(present("zip", "D/LLMData/w.bin"));
    EXPECT_FALSE(present("zip", "D/LLMData/Model.zip"));
    EXPECT_TRUE(present("raw", "D/LLMData/w.bin", 2000));
    EXPECT_FALSE(present("raw", "D/LLMData/w.bin", 2'000'000));
    EXPECT_FALSE(present("raw", "D/LLMData/w.bin.part"));
    EXPECT_FALSE(present("raw", "D/LLMData/w.bin.download"));
    EXPECT_FALSE(present("raw", "D/LLMData/Model"));
    EXPECT_FALSE(present("raw", "D/LLMData/gone"));
    EXPECT_FALSE(present("rar", "D/LLMData/Model"));
    // Recorded under the former root: looked for at its current place.
    EXPECT_TRUE(present("zip", "L/LLMData/Model"));
    // The ggml-base package is judged in the LLM data directory, whatever was recorded.
    EXPECT_FALSE(present("zip", "D/LLMData/Model", 1, ggml));
    apply(layout("D/LLMData/ggml-base.bin=m D/LLMData/ggml-base-encoder.mlmodelc/model.mil=e"));
    EXPECT_TRUE(present("zip", "D/LLMData/w.bin", 1, ggml));
}

TEST(StagingMoves, MovesAndFlatteningAsLayouts) {
    void (*move)() = [] { paths::moveStagingEntries(expand("~/staging"), expand("~/dest")); };
    void (*flatten)() = [] { paths::flattenGgmlBase(expand("~/d")); };
    // after nullptr: the step throws and changes nothing.
    for (const auto& [name, step, before, after] :
         std::vector<std::tuple<const char*, void (*)(), const char*, const char*>>{
             {"staged entries replace their namesakes, litter stays behind", move,
              "~/staging/Model/new.bin=new ~/staging/.hidden=h ~/staging/.DS_Store=junk "
              "~/staging/__MACOSX=/ ~/staging/link=->Model/new.bin ~/dest/Model/old.bin=old "
              "~/dest/keep.txt=k ~/dest/.hidden=->~/nowhere",
              "~/dest/Model/new.bin=new ~/dest/.hidden=h ~/dest/keep.txt=k "
              "~/dest/link=->Model/new.bin ~/staging/.DS_Store=junk ~/staging/__MACOSX=/"},
             {"a destination that is a file", move,
              "~/staging/Model/a.bin=a ~/dest=not-a-directory", nullptr},
             {"package folder moved up over an older file", flatten,
              "~/d/ggml-base/ggml-base.bin=new ~/d/ggml-base/ggml-base-encoder.mlmodelc/m=e "
              "~/d/ggml-base.bin=old",
              "~/d/ggml-base.bin=new ~/d/ggml-base-encoder.mlmodelc/m=e"},
             {"a folder of the package's own name inside it", flatten,
              "~/d/ggml-base/ggml-base/inner.txt=inner", "~/d/ggml-base/inner.txt=inner"},
             {"a symlink named ggml-base is not descended into", flatten,
              "~/outside/x.bin=x ~/d/ggml-base=->~/outside",
              "~/outside/x.bin=x ~/d/ggml-base=->~/outside"}}) {
        SCOPED_TRACE(name);
        TempHome home;
        apply(layout(before));
        if (after)
            step();
        else
            EXPECT_THROW(step(), fs::filesystem_error);
        EXPECT_EQ(snapshot(), layout(after ? after : before));
    }
}
