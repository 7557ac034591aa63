#pragma once

#include "manifest/CorvelRemoteManifest.h"
#include "platform/Url.h"
#include "types/CVTAVAsset.h"

#include <chrono>
#include <cstdint>
#include <optional>
#include <stop_token>
#include <string_view>
#include <vector>

// Turning manifest entries into assets and confirming their sizes by HEAD.
namespace CorvelRemoteManifest {

inline constexpr std::chrono::seconds headTimeout{10};

// The application asset "Corvel.app" (zip, into the applications directory).
// Throws CorvelInstallError::network with "app.download_url 非法: ...".
CVTAVAsset makeAppAsset(const ManifestApp& app);

// A model asset into the LLM data directory; index only names it in the
// error "models[<index>].download_url 非法: ...".
CVTAVAsset makeModelAsset(const ManifestModel& model, std::size_t index);

// file_hash as the asset's digest: trimmed, letter case kept; empty when
// absent or the text "null" in any case.
std::string digestFrom(const std::optional<std::string>& fileHash);

// 64 hexadecimal digits, either case.
bool isSha256Hex(std::string_view text);

// A download URL: absolute http, https or file whose decoded last path
// component holds no "/" and no control character and fits a file name (it
// becomes one later).
std::optional<platform::Url> parseDownloadUrl(std::string_view text);

// Content-Length as announced: optional sign, ASCII digits only, signed 64-bit.
std::optional<std::int64_t> parseContentLength(std::string_view text);

// HEAD (10 s) and the announced length when usable (2xx, at least 1). Never throws.
std::optional<std::int64_t> headContentLength(const platform::Url& url, std::stop_token stop = {});

// One HEAD per asset, to its first source unless that is a file, all at
// once; a usable length replaces the
// expected size, anything else keeps it with a warning. Order is kept. A
// requested stop throws platform::CancelledError once every probe has ended.
std::vector<CVTAVAsset> probeSizes(std::vector<CVTAVAsset> assets, std::stop_token stop = {});

// "✔ 资源清单就绪..." and one line per asset.
void logManifestReady(const std::vector<CVTAVAsset>& assets);

} // namespace CorvelRemoteManifest
