#include "record/AcceptedManifestTime.h"

#include "platform/FileOps.h"
#include "record/CorvelSetupManifest.h"
#include "shareddata/CVSharedDataPaths.h"

#include <string>
#include <system_error>

namespace AcceptedManifestTime {

namespace {

constexpr std::size_t maxFileBytes = 64;

std::optional<std::int64_t> parseSeconds(std::string_view text) {
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r'))
        text.remove_suffix(1);
    if (text.empty() || text.size() > 18) return std::nullopt;
    std::int64_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        value = value * 10 + (c - '0');
    }
    return value;
}

} // namespace

std::filesystem::path path() {
    return CorvelSetupManifest::manifestPath().parent_path() / "ManifestSignedAt";
}

std::optional<std::int64_t> load() {
    std::error_code ignored;
    auto text = platform::readFileContents(path(), maxFileBytes, ignored);
    if (!text) return std::nullopt;
    return parseSeconds(*text);
}

void store(std::int64_t seconds) {
    if (auto stored = load(); stored && *stored >= seconds) return;
    CVSharedDataPaths::ensureLLMDataDirectory();
    platform::atomicWriteFile(path(), std::to_string(seconds) + "\n");
}

} // namespace AcceptedManifestTime
