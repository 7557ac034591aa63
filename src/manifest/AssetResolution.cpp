#include "manifest/AssetResolution.h"

#include "log/ByteCount.h"
#include "log/CorvelSetupLogger.h"
#include "manifest/ManifestText.h"
#include "platform/BlockingQueue.h"
#include "platform/Cancellation.h"
#include "platform/HttpClient.h"
#include "shareddata/CVSharedDataPaths.h"
#include "types/CorvelInstallError.h"

#include <fmt/format.h>

#include <algorithm>
#include <cctype>
#include <limits>
#include <thread>
#include <utility>

namespace CorvelRemoteManifest {

namespace {

[[noreturn]] void throwInvalidUrl(const std::string& message) {
    throw CorvelInstallError::network(std::make_exception_ptr(makeManifestError(message)));
}

// Decoding checked every mirror already.
std::vector<platform::Url> mirrorUrls(const std::vector<std::string>& texts) {
    std::vector<platform::Url> urls;
    for (const std::string& text : texts)
        if (auto url = parseDownloadUrl(text)) urls.push_back(*url);
    return urls;
}

std::int64_t atLeastOne(const std::optional<std::int64_t>& size) {
    return size && *size >= 1 ? *size : 1;
}

struct ProbeResult {
    std::size_t index;
    std::optional<std::int64_t> size;
};

// Results of the probe threads, handed to the parent in completion order.
using ProbeResults = platform::BlockingQueue<ProbeResult>;

template <typename Entry>
void applyZsync(CVTAVAsset& asset, const Entry& entry, const std::string& where) {
    if (!entry.zsyncUrl || !entry.zsyncHash) return;
    auto url = parseDownloadUrl(*entry.zsyncUrl);
    if (!url) throwInvalidUrl(fmt::format("{}.zsync_url 非法: {}", where, *entry.zsyncUrl));
    asset.zsyncUrl = *url;
    asset.zsyncSha256 = *entry.zsyncHash;
    std::transform(asset.zsyncSha256.begin(), asset.zsyncSha256.end(), asset.zsyncSha256.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
}

} // namespace

std::string digestFrom(const std::optional<std::string>& fileHash) {
    if (!fileHash) return {};
    std::string trimmed(trimWhitespaceAndNewlines(*fileHash));
    std::string lower = trimmed;
    std::transform(lower.begin(), lower.end(), lower.begin(), [](unsigned char c) {
        return static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c);
    });
    return lower == "null" ? std::string() : trimmed;
}

bool isSha256Hex(std::string_view text) {
    return text.size() == 64 && std::all_of(text.begin(), text.end(),
                                            [](unsigned char c) { return std::isxdigit(c) != 0; });
}

std::optional<platform::Url> parseDownloadUrl(std::string_view text) {
    auto url = platform::Url::parse(text);
    if (!url) return std::nullopt;
    // The last component names files on disk later; a decoded "/" or NUL in
    // it would reach outside the directory meant for it.
    std::string_view path = url->encodedPath();
    while (!path.empty() && path.back() == '/')
        path.remove_suffix(1);
    auto slash = path.rfind('/');
    auto last =
        platform::percentDecode(slash == std::string_view::npos ? path : path.substr(slash + 1));
    if (last.find('/') != std::string::npos || containsControlCharacters(last) ||
        last.size() > maxNameBytes)
        return std::nullopt;
    return url;
}

CVTAVAsset makeAppAsset(const ManifestApp& app) {
    auto url = parseDownloadUrl(app.downloadUrl);
    if (!url) throwInvalidUrl("app.download_url 非法: " + app.downloadUrl);
    CVTAVAsset asset{.name = "Corvel.app",
                     .url = *url,
                     .sha256 = digestFrom(app.fileHash),
                     .expectedBytes = atLeastOne(app.fileSize),
                     .destination = CVTAVAsset::applicationsDirectory(),
                     .relativePath = {},
                     .format = CVTAVAsset::Format::zip,
                     .mirrors = mirrorUrls(app.mirrors)};
    applyZsync(asset, app, "app");
    return asset;
}

CVTAVAsset makeModelAsset(const ManifestModel& model, std::size_t index) {
    auto url = parseDownloadUrl(model.downloadUrl);
    if (!url)
        throwInvalidUrl(fmt::format("models[{}].download_url 非法: {}", index, model.downloadUrl));
    CVTAVAsset asset{.name = model.modelName.empty() ? model.fileName : model.modelName,
                     .url = *url,
                     .sha256 = digestFrom(model.fileHash),
                     .expectedBytes = atLeastOne(model.size),
                     .destination = CVTAVAsset::llmDataDirectory(),
                     .relativePath = {},
                     .format = CVSharedDataPaths::inferRemoteFormat(*url),
                     .mirrors = mirrorUrls(model.mirrors)};
    applyZsync(asset, model, fmt::format("models[{}]", index));
    return asset;
}

std::optional<std::int64_t> parseContentLength(std::string_view text) {
    bool negative = false;
    if (!text.empty() && (text.front() == '+' || text.front() == '-')) {
        negative = text.front() == '-';
        text.remove_prefix(1);
    }
    if (text.empty()) return std::nullopt;
    // Accumulated as a negative number so that the most negative value fits.
    constexpr std::int64_t lowest = std::numeric_limits<std::int64_t>::min();
    std::int64_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        int digit = c - '0';
        if (value < (lowest + digit) / 10) return std::nullopt;
        value = value * 10 - digit;
    }
    if (negative) return value;
    if (value == lowest) return std::nullopt;
    return -value;
}

std::optional<std::int64_t> headContentLength(const platform::Url& url, std::stop_token stop) {
    if (url.isFile()) return std::nullopt;
    try {
        platform::HttpRequest request;
        request.method = "HEAD";
        request.url = url.absoluteString();
        request.timeout = headTimeout;
        auto outcome = platform::performHttp(request, {}, stop);
        if (outcome.head.status < 200 || outcome.head.status > 299) return std::nullopt;
        auto header = outcome.head.header("Content-Length");
        if (!header || header->empty()) return std::nullopt;
        auto length = parseContentLength(*header);
        if (!length || *length < 1) return std::nullopt;
        return length;
    } catch (...) {
        return std::nullopt;
    }
}

std::vector<CVTAVAsset> probeSizes(std::vector<CVTAVAsset> assets, std::stop_token stop) {
    ProbeResults results;
    std::vector<std::jthread> probes;
    probes.reserve(assets.size());
    std::size_t expected = 0;
    for (std::size_t i = 0; i < assets.size(); ++i) {
        // The size is asked where the bytes will come from: the publisher's
        // host may be the one that is slow or out of reach.
        const platform::Url source = assets[i].fetchSources().front();
        if (source.isFile()) {
            results.push({i, std::nullopt});
        } else {
            try {
                probes.emplace_back([&results, i, url = source, stop] {
                    results.push({i, headContentLength(url, stop)});
                });
            } catch (const std::system_error&) {
                // No thread to spare: the probe counts as failed.
                results.push({i, std::nullopt});
            }
        }
        ++expected;
    }

    for (std::size_t received = 0; received < expected; ++received) {
        ProbeResult result = results.pop();
        // A probe cut short by a stop says nothing about the size.
        if (stop.stop_requested()) continue;
        if (result.index >= assets.size()) continue;
        CVTAVAsset& asset = assets[result.index];
        if (result.size && *result.size >= 1) {
            asset.expectedBytes = *result.size;
        } else if (!asset.fetchSources().front().isFile()) {
            log(LogLevel::warn, fmt::format("  ⚠ HEAD 未解析大小 [{}]，暂用 manifest 值 {} 兜底",
                                            asset.name, formatByteCount(asset.expectedBytes)));
        }
    }
    platform::throwIfStopped(stop);
    return assets;
}

void logManifestReady(const std::vector<CVTAVAsset>& assets) {
    log(LogLevel::info,
        fmt::format("✔ 资源清单就绪，共 {} 个（大小以 HEAD 实测为准）", assets.size()));
    for (const auto& asset : assets) {
        log(LogLevel::info,
            fmt::format("  • {} — {} — {}", asset.name, formatByteCount(asset.expectedBytes),
                        asset.url.absoluteString()));
        if (auto sources = asset.fetchSources(); sources.front() != asset.url)
            log(LogLevel::info, "    ↪ 首选来源: " + sources.front().absoluteString());
    }
}

} // namespace CorvelRemoteManifest
