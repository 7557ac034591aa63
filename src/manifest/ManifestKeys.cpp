#include "manifest/ManifestKeys.h"

#include "manifest/ManifestText.h"
#include "platform/FileOps.h"

#include <fmt/format.h>

#include <sys/stat.h>

#include <cstdlib>
#include <optional>
#include <system_error>

namespace ManifestKeys {

namespace {

using ManifestSignature::makeSignatureError;
using ManifestSignature::PublicKey;

std::vector<PublicKey> fromFile(const std::filesystem::path& path) {
    std::error_code error;
    auto text = platform::readFileContents(path, ManifestSignature::maxSignatureBytes, error);
    if (!text)
        throw makeSignatureError(
            fmt::format("无法读取公钥文件 {}: {}", path.string(), error.message()));
    return ManifestSignature::parsePublicKeyFile(*text, path.string());
}

// Only a file that is truly not there lets the next source decide. A dangling
// link, on the file or on a folder above it, or a folder the user may not
// search is a configuration that exists and is broken: falling through would
// quietly trust weaker keys, or none.
bool keyFileAbsent(const std::filesystem::path& path) {
    struct stat info {};
    if (::lstat(path.c_str(), &info) == 0) return false;
    std::error_code error(errno, std::generic_category());
    if (error == std::errc::no_such_file_or_directory) {
        auto above = path.parent_path();
        while (above.has_relative_path() && ::lstat(above.c_str(), &info) != 0)
            above = above.parent_path();
        const bool dangling =
            above.has_relative_path() && S_ISLNK(info.st_mode) && ::stat(above.c_str(), &info) != 0;
        if (!dangling) return true;
    }
    throw makeSignatureError(
        fmt::format("无法读取公钥文件 {}: {}", path.string(), error.message()));
}

} // namespace

std::vector<PublicKey> fromKeyOrFile(std::string_view value) {
    auto trimmed = CorvelRemoteManifest::trimWhitespaceAndNewlines(value);
    if (trimmed.empty()) throw makeSignatureError("公钥为空");
    if (auto key = ManifestSignature::parsePublicKey(trimmed)) return {*key};
    std::error_code error;
    if (!std::filesystem::is_regular_file(std::filesystem::path(trimmed), error))
        throw makeSignatureError(fmt::format("既不是 minisign 公钥也不是公钥文件: {}",
                                             CorvelRemoteManifest::sanitizedUtf8(trimmed)));
    return fromFile(std::filesystem::path(trimmed));
}

std::vector<PublicKey> builtIn(std::string_view list) {
    std::vector<PublicKey> keys;
    while (!list.empty()) {
        auto end = list.find_first_of(" \t\n,;");
        auto item = list.substr(0, end);
        if (!item.empty()) {
            auto key = ManifestSignature::parsePublicKey(item);
            if (!key) throw makeSignatureError(fmt::format("内置公钥不是 minisign 公钥: {}", item));
            keys.push_back(*key);
        }
        if (end == std::string_view::npos) break;
        list.remove_prefix(end + 1);
    }
    return keys;
}

std::filesystem::path systemKeyFile() {
    if (const char* moved = std::getenv(systemKeyFileVariable); moved != nullptr && *moved != '\0')
        return moved;
    return std::filesystem::path(defaultSystemKeyFile);
}

Trusted resolve(const std::vector<PublicKey>& commandLine, const std::filesystem::path& systemFile,
                std::string_view builtInList) {
    if (!commandLine.empty()) return {commandLine, "--manifest-key"};
    if (const char* value = std::getenv(keyVariable); value != nullptr && *value != '\0')
        return {fromKeyOrFile(value), keyVariable};
    // Absent is the common case; present in any form but unreadable is an error.
    if (!keyFileAbsent(systemFile)) return {fromFile(systemFile), systemFile.string()};
    auto keys = builtIn(builtInList);
    if (!keys.empty()) return {std::move(keys), "内置公钥"};
    return {};
}

} // namespace ManifestKeys
