#pragma once

#include "platform/DomainError.h"
#include "platform/Url.h"
#include "types/CVTAVAsset.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <stop_token>
#include <string>
#include <string_view>
#include <vector>

// The remote manifest: where it lives, how it is fetched and decoded, and the
// asset list built from it. Stateless.
namespace CorvelRemoteManifest {

struct ManifestApp {
    std::optional<std::string> appName; // decoded, not used
    std::string downloadUrl;
    std::optional<std::string> fileName; // decoded, not used
    std::optional<std::int64_t> fileSize;
    std::optional<std::string> fileHash;
};

struct ManifestModel {
    std::string modelName;
    std::string downloadUrl;
    std::string fileName;
    std::optional<std::int64_t> size;
};

struct ManifestData {
    ManifestApp app;
    std::vector<ManifestModel> models;
};

struct ManifestResponse {
    std::string status;
    ManifestData data;
};

inline constexpr const char* errorDomain = "CorvelRemoteManifest";
inline constexpr const char* endpointVariable = "CORVEL_MANIFEST_URL";
inline constexpr std::string_view defaultEndpoint =
    "https://setup.corvel.app/api/v1/system/latest-resources";
// A manifest is a few kilobytes; anything near this is not one, and reading it
// whole into memory would let a broken server exhaust it.
inline constexpr std::size_t maxManifestBytes = 16 * 1024 * 1024;
// Shapes no real manifest has; they bound the memory a decoded body can take.
inline constexpr std::size_t maxManifestDepth = 64;
inline constexpr std::size_t maxManifestValues = 100000;
inline constexpr std::chrono::seconds manifestTimeout{15};
inline constexpr std::size_t snippetBytes = 256;

// An error of this namespace: domain CorvelRemoteManifest, code -1.
DomainError makeManifestError(const std::string& message);

// The override from CORVEL_MANIFEST_URL (trimmed) or the default, with the
// cache buster "v" = now in Unix milliseconds appended after existing items.
platform::Url manifestEndpoint();

// Strict decoding of a manifest document; throws a manifest error
// "JSON 解析失败: <reason> — 响应片段: <first 256 bytes or <non-utf8>>".
ManifestResponse decodeManifest(std::string_view body);

// GET (15 s, Accept: application/json) and decode. A file URL is read from
// disk. Throws manifest errors, platform::TransportError or file-system errors.
ManifestResponse fetchManifest(const platform::Url& endpoint, std::stop_token stop = {});

// The whole step: endpoint, fetch, status check, asset list, HEAD sizes, log.
// Every error is a CorvelInstallError (network), but a requested stop, which
// ends as platform::CancelledError.
std::vector<CVTAVAsset> fetchAssets(std::stop_token stop = {});

} // namespace CorvelRemoteManifest
