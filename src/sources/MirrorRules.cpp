#include "sources/MirrorRules.h"

#include <fmt/format.h>

#include <algorithm>
#include <stdexcept>

namespace MirrorRules {

namespace {

bool isBlank(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

} // namespace

Rule parse(std::string_view text) {
    auto equals = text.find('=');
    if (equals == std::string_view::npos)
        throw std::invalid_argument(fmt::format("no '=' in '{}' (want FROM=TO)", text));
    Rule rule{std::string(text.substr(0, equals)), std::string(text.substr(equals + 1))};
    if (rule.from.empty())
        throw std::invalid_argument(fmt::format("empty FROM in '{}' (want FROM=TO)", text));
    if (rule.to.empty())
        throw std::invalid_argument(fmt::format("empty TO in '{}' (want FROM=TO)", text));
    if (!platform::Url::parse(rule.to))
        throw std::invalid_argument(
            fmt::format("TO is not an absolute http, https or file URL in '{}'", text));
    return rule;
}

std::vector<Rule> parseList(std::string_view text) {
    std::vector<Rule> rules;
    std::size_t at = 0;
    while (at < text.size()) {
        if (isBlank(text[at])) {
            ++at;
            continue;
        }
        std::size_t end = at;
        while (end < text.size() && !isBlank(text[end]))
            ++end;
        rules.push_back(parse(text.substr(at, end - at)));
        at = end;
    }
    return rules;
}

std::vector<Rule> resolve(const std::vector<std::string>& commandLine, const char* environment) {
    std::vector<Rule> rules;
    try {
        for (const std::string& value : commandLine)
            rules.push_back(parse(value));
    } catch (const std::invalid_argument& error) {
        throw std::invalid_argument(fmt::format("--mirror: {}", error.what()));
    }
    if (!commandLine.empty() || environment == nullptr) return rules;
    try {
        return parseList(environment);
    } catch (const std::invalid_argument& error) {
        throw std::invalid_argument(fmt::format("{}: {}", environmentVariable, error.what()));
    }
}

std::optional<platform::Url> rewrite(const std::vector<Rule>& rules, const platform::Url& url) {
    const std::string& text = url.absoluteString();
    const Rule* best = nullptr;
    for (const Rule& rule : rules) {
        if (text.starts_with(rule.from) &&
            (best == nullptr || rule.from.size() > best->from.size()))
            best = &rule;
    }
    if (best == nullptr) return std::nullopt;
    auto rewritten = platform::Url::parse(best->to + text.substr(best->from.size()));
    if (!rewritten || !rewritten->isFile()) return rewritten;
    // A remote name with encoded dot segments must not reach outside the
    // folder the user named.
    auto folder = platform::Url::parse(best->to)->filePath().lexically_normal();
    auto file = rewritten->filePath().lexically_normal();
    auto [end, inside] = std::mismatch(folder.begin(), folder.end(), file.begin(), file.end());
    if (end != folder.end() && !end->empty()) return std::nullopt;
    return rewritten;
}

std::vector<platform::Url> orderSources(const std::vector<Rule>& rules, const platform::Url& url,
                                        const std::vector<platform::Url>& mirrors) {
    std::vector<platform::Url> published{url};
    published.insert(published.end(), mirrors.begin(), mirrors.end());
    std::vector<platform::Url> sources;
    auto add = [&sources](const platform::Url& candidate) {
        if (std::find(sources.begin(), sources.end(), candidate) == sources.end())
            sources.push_back(candidate);
    };
    for (const platform::Url& source : published)
        if (auto rewritten = rewrite(rules, source)) add(*rewritten);
    for (const platform::Url& source : published)
        add(source);
    return sources;
}

void applyTo(const std::vector<Rule>& rules, CVTAVAsset& asset) {
    asset.sources = orderSources(rules, asset.url, asset.mirrors);
    if (asset.zsyncUrl) asset.zsyncSources = orderSources(rules, *asset.zsyncUrl, {});
}

} // namespace MirrorRules
