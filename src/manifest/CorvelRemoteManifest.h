#pragma once

#include "manifest/ManifestSignature.h"
#include "platform/DomainError.h"
#include "platform/Url.h"
#include "sources/MirrorRules.h"
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
    std::vector<std::string> mirrors{}; // absolute URLs of the same file
    // The file's zsync control file and its SHA-256: both or neither.
    std::optional<std::string> zsyncUrl{};
    std::optional<std::string> zsyncHash{};
};

struct ManifestModel {
    std::string modelName;
    std::string downloadUrl;
    std::string fileName;
    std::optional<std::int64_t> size;
    std::optional<std::string> fileHash{}; // SHA-256, hexadecimal, either case
    std::vector<std::string> mirrors{};    // absolute URLs of the same file
    std::optional<std::string> zsyncUrl{};
    std::optional<std::string> zsyncHash{};
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
// What a file name may hold: a name longer than this cannot name a file.
inline constexpr std::size_t maxNameBytes = 255;
// How far a signing time may lie ahead of this machine's clock.
inline constexpr std::chrono::seconds maxSigningTimeAhead{24 * 60 * 60};

// What the run trusts: the keys that may sign the manifest (none: unsigned
// manifests are taken, with a warning) and the newest signing time this user
// accepted before, below which a manifest is a rollback.
struct ManifestTrust {
    std::vector<ManifestSignature::PublicKey> keys;
    std::string origin; // where the keys came from, for the log
    std::optional<std::int64_t> newestAccepted;
};

struct FetchedAssets {
    std::vector<CVTAVAsset> assets;
    // The signing time of a verified manifest, to be kept once the run succeeds.
    std::optional<std::int64_t> signedAt;
};

// An error of this namespace: domain CorvelRemoteManifest, code -1.
DomainError makeManifestError(const std::string& message);

// An endpoint as a person gives it: trimmed, then an absolute http, https or
// file URL; nothing otherwise.
std::optional<platform::Url> parseEndpoint(std::string_view text);

// Endpoints given on a command line, joined as CORVEL_MANIFEST_URL holds them.
// Throws std::invalid_argument naming the first that is no endpoint.
std::string endpointList(const std::vector<std::string>& given);

// The overrides from CORVEL_MANIFEST_URL (blank-separated, each trimmed; those
// that are no URL left out) or else the default, in order, each with the cache
// buster "v" = now in Unix milliseconds appended after existing items.
std::vector<platform::Url> manifestEndpoints();
// The first of them.
platform::Url manifestEndpoint();

// Strict decoding of a manifest document; throws a manifest error
// "JSON 解析失败: <reason> — 响应片段: <first 256 bytes or <non-utf8>>".
// A remote manifest may not send anyone to local files through its mirrors.
ManifestResponse decodeManifest(std::string_view body, bool remote = true);

// GET (15 s, Accept: application/json) and decode. A file URL is read from
// disk. Throws manifest errors, platform::TransportError or file-system errors.
ManifestResponse fetchManifest(const platform::Url& endpoint, std::stop_token stop = {});
// The undecoded body of the same request.
std::string fetchManifestBody(const platform::Url& endpoint, std::stop_token stop = {});

// Where the signature of the manifest at `endpoint` lies: ".minisig" appended
// to its path, its query (the cache buster included) kept.
platform::Url signatureUrl(const platform::Url& endpoint);

// The signature text at `url`, fetched like the manifest but capped at 64 KiB.
// Throws a signature error "清单签名缺失..." when it cannot be had.
std::string fetchSignature(const platform::Url& url, std::stop_token stop = {});

// The signature check (signature at `signature`) and the rollback rule for a
// fetched body; nothing to do without keys but a warning. Throws signature
// errors, logged as they go.
std::optional<std::int64_t> checkSignature(const std::string& body, const platform::Url& signature,
                                           const ManifestTrust& trust, std::stop_token stop = {});

// The whole step: endpoint, fetch, status check, asset list, HEAD sizes, log.
// Every error is a CorvelInstallError (network), but a requested stop, which
// ends as platform::CancelledError.
std::vector<CVTAVAsset> fetchAssets(std::stop_token stop = {});
// The same with the signature checked before anything of the body is used.
// Each endpoint is tried in order, its rewritten URL (by `mirrors`) before it;
// the first whose manifest passes every check wins. With one place to try,
// its own error is thrown (signature failures as signature errors); with
// several, one network error names each and why it failed. Every asset's
// sources are ordered by `mirrors`.
FetchedAssets fetchAssets(const ManifestTrust& trust, std::stop_token stop = {});
FetchedAssets fetchAssets(const ManifestTrust& trust, const std::vector<MirrorRules::Rule>& mirrors,
                          std::stop_token stop = {});

} // namespace CorvelRemoteManifest
