#include "sources/MirrorRules.h"
#include "support/TempHome.h"

#include <gtest/gtest.h>

namespace {

platform::Url url(std::string_view text) {
    return *platform::Url::parse(text);
}

} // namespace

TEST(MirrorRules, CommandLineOrEnvironmentAndBadRulesNamed) {
    using Rules = std::vector<MirrorRules::Rule>;
    const char* environment = " https://a/=https://b/\thttps://c/=file:///d/x=y \n";
    EXPECT_EQ(MirrorRules::resolve({}, environment),
              (Rules{{"https://a/", "https://b/"}, {"https://c/", "file:///d/x=y"}}));
    EXPECT_EQ(MirrorRules::resolve({"https://e/=https://f/"}, environment),
              (Rules{{"https://e/", "https://f/"}}));
    for (const auto& [commandLine, expected] :
         std::vector<std::pair<std::vector<std::string>, std::string>>{
             {{"https://a/"}, "--mirror: no '=' in 'https://a/'"},
             {{"=https://b/"}, "--mirror: empty FROM in '=https://b/'"},
             {{"https://a/="}, "--mirror: empty TO in 'https://a/='"},
             {{"https://a/=ftp://m/"}, "not an absolute http, https or file URL in 'https://a/="},
             {{}, "CORVEL_MIRRORS: no '=' in 'https://c/'"}}) {
        testsupport::expectContains(testsupport::thrownText([&] {
                                        MirrorRules::resolve(commandLine,
                                                             "https://a/=https://b/ https://c/");
                                    }),
                                    {expected});
    }
}

TEST(MirrorRules, LongestPrefixWinsAndRewrittenSourcesAndControlFilesComeFirstEachOnce) {
    const std::vector<MirrorRules::Rule> rules{
        {"https://cdn.example.com/", "https://cn.mirror.example/corvel/"},
        {"https://cdn.example.com/models/", "file:///media/usb/corvel/"},
        {"https://cdn.example.com/models/", "https://ignored.example/"},
        {"https://m2/", "https://cn.mirror.example/corvel/models/"}};
    for (const auto& [from, to] : std::vector<std::pair<std::string, std::string>>{
             {"https://cdn.example.com/app.zip?x=1",
              "https://cn.mirror.example/corvel/app.zip?x=1"},
             {"https://cdn.example.com/models/a%20b.bin", "file:///media/usb/corvel/a%20b.bin"},
             {"https://other.example/models/a.bin", ""},
             {"https://cdn.example.com/models/%2e%2e/%2E%2E/etc/passwd", ""}}) {
        auto rewritten = MirrorRules::rewrite(rules, url(from));
        EXPECT_EQ(rewritten ? rewritten->absoluteString() : "", to) << from;
    }
    CVTAVAsset asset{.name = "a",
                     .url = url("https://cdn.example.com/a.bin"),
                     .mirrors = {url("https://m1/a.bin"), url("https://m2/a.bin"),
                                 url("https://cdn.example.com/a.bin")},
                     .zsyncUrl = url("https://cdn.example.com/a.bin.zsync")};
    MirrorRules::applyTo(rules, asset);
    auto texts = [](const std::vector<platform::Url>& urls) {
        std::vector<std::string> result;
        for (const auto& each : urls)
            result.push_back(each.absoluteString());
        return result;
    };
    EXPECT_EQ(texts(asset.sources),
              (std::vector<std::string>{"https://cn.mirror.example/corvel/a.bin",
                                        "https://cn.mirror.example/corvel/models/a.bin",
                                        "https://cdn.example.com/a.bin", "https://m1/a.bin",
                                        "https://m2/a.bin"}));
    // The control file is sought where the file is, the publisher's as a fallback.
    EXPECT_EQ(texts(asset.zsyncSources),
              (std::vector<std::string>{"https://cn.mirror.example/corvel/a.bin.zsync",
                                        "https://cdn.example.com/a.bin.zsync"}));
}
