#pragma once

#include "platform/Url.h"
#include "types/CVTAVAsset.h"

#include <optional>
#include <string>
#include <string_view>
#include <vector>

// Mirrors the user chooses: rules that rewrite every URL beginning with FROM
// into TO, so a regional mirror or a folder on a disk serves what the
// publisher's host would. Every byte is still checked against the manifest,
// so a rule changes where bytes come from, never what is accepted.
namespace MirrorRules {

inline constexpr const char* environmentVariable = "CORVEL_MIRRORS";

struct Rule {
    std::string from; // matched as plain text against the URL's absolute string
    std::string to;   // an absolute http, https or file URL, joined to the rest as text
    friend bool operator==(const Rule&, const Rule&) = default;
};

// "FROM=TO", split at the first "=". Throws std::invalid_argument naming the
// value when there is no "=", a side is empty, or TO is not an absolute http,
// https or file URL.
Rule parse(std::string_view text);

// Blank-separated "FROM=TO" pairs, as CORVEL_MIRRORS holds them.
std::vector<Rule> parseList(std::string_view text);

// The rules of the command line when it gives any, else those of the
// environment variable (unset: none). Throws std::invalid_argument with a
// message that names the option or the variable and the bad value.
std::vector<Rule> resolve(const std::vector<std::string>& commandLine, const char* environment);

// The URL under the rule with the longest matching FROM (the first given on a
// tie); nothing when no rule matches, the rewritten text is no URL, or a file
// it names lies outside TO's folder.
std::optional<platform::Url> rewrite(const std::vector<Rule>& rules, const platform::Url& url);

// Where an asset's bytes are fetched from, best first: the rewritten URLs
// (of url, then of each mirror), then url, then the mirrors; each once.
std::vector<platform::Url> orderSources(const std::vector<Rule>& rules, const platform::Url& url,
                                        const std::vector<platform::Url>& mirrors);

// The asset's sources in that order, and the places of its zsync control
// file the same way: a mirror that holds the files holds their control files.
void applyTo(const std::vector<Rule>& rules, CVTAVAsset& asset);

} // namespace MirrorRules
