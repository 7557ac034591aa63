#include "sources/MirrorRules.h"

#include <gtest/gtest.h>

#include <stdexcept>

namespace {

platform::Url url(std::string_view text) {
    return *platform::Url::parse(text);
}

std::vector<std::string> texts(const std::vector<platform::Url>& urls) {
    std::vector<std::string> out;
    for (const auto& each : urls)
        out.push_back(each.absoluteString());
    return out;
}

} // namespace

TEST(MirrorRules, BadRulesNameTheValueAndTheirSource) {
    for (const auto& [commandLine, environment, expected] :
         std::vector<std::tuple<std::vector<std::string>, const char*, std::string>>{
             {{"https://a/"}, nullptr, "--mirror: no '=' in 'https://a/'"},
             {{"=https://b/"}, nullptr, "--mirror: empty FROM in '=https://b/'"},
             {{"https://a/="}, nullptr, "--mirror: empty TO in 'https://a/='"},
             {{"https://a/=mirror/files"}, nullptr, "not an absolute http, https or file URL"},
             {{"https://a/=ftp://m/"}, nullptr, "in 'https://a/=ftp://m/'"},
             {{}, "https://a/=https://b/ https://c/", "CORVEL_MIRRORS: no '=' in 'https://c/'"}}) {
        try {
            MirrorRules::resolve(commandLine, environment);
            ADD_FAILURE() << "accepted: " << expected;
        } catch (const std::invalid_argument& error) {
            EXPECT_NE(std::string(error.what()).find(expected), std::string::npos) << error.what();
        }
    }
}

TEST(MirrorRules, CommandLineReplacesTheEnvironment) {
    using Rules = std::vector<MirrorRules::Rule>;
    const char* environment = " https://a/=https://b/\thttps://c/=file:///d/x=y \n";
    EXPECT_EQ(MirrorRules::resolve({}, environment),
              (Rules{{"https://a/", "https://b/"}, {"https://c/", "file:///d/x=y"}}));
    EXPECT_EQ(MirrorRules::resolve({"https://e/=https://f/"}, environment),
              (Rules{{"https://e/", "https://f/"}}));
    EXPECT_TRUE(MirrorRules::resolve({}, nullptr).empty());
}

TEST(MirrorRules, LongestPrefixWinsAndTheRestIsKept) {
    const std::vector<MirrorRules::Rule> rules{
        {"https://cdn.example.com/", "https://cn.mirror.example/corvel/"},
        {"https://cdn.example.com/models/", "file:///media/usb/corvel/"},
        {"https://cdn.example.com/models/", "https://ignored.example/"},
        {"http://origin:8080/api", "https://m.example/api"}};
    for (const auto& [from, to] : std::vector<std::pair<std::string, std::string>>{
             {"https://cdn.example.com/app/Corvel.zip?x=1",
              "https://cn.mirror.example/corvel/app/Corvel.zip?x=1"},
             {"https://cdn.example.com/models/a%20b.bin", "file:///media/usb/corvel/a%20b.bin"},
             {"http://origin:8080/api/v1/latest-resources.minisig?v=17",
              "https://m.example/api/v1/latest-resources.minisig?v=17"},
             {"https://other.example/models/a.bin", ""}}) {
        auto rewritten = MirrorRules::rewrite(rules, url(from));
        EXPECT_EQ(rewritten ? rewritten->absoluteString() : "", to) << from;
    }
    EXPECT_EQ(
        MirrorRules::rewrite(rules, url("https://cdn.example.com/models/a%20b.bin"))->filePath(),
        "/media/usb/corvel/a b.bin");
}

TEST(MirrorRules, SourcesPutRewrittenFirstThenPublishedEachOnce) {
    const std::vector<MirrorRules::Rule> rules{{"https://cdn/", "https://near/"},
                                               {"https://m2/", "https://near/"}};
    EXPECT_EQ(texts(MirrorRules::orderSources(
                  rules, url("https://cdn/a.bin"),
                  {url("https://m1/a.bin"), url("https://m2/a.bin"), url("https://cdn/a.bin")})),
              (std::vector<std::string>{"https://near/a.bin", "https://cdn/a.bin",
                                        "https://m1/a.bin", "https://m2/a.bin"}));
    EXPECT_EQ(texts(MirrorRules::orderSources({}, url("https://cdn/a.bin"), {})),
              (std::vector<std::string>{"https://cdn/a.bin"}));
}
