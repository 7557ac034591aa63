#include "pipeline/DeltaUpdate.h"

#include "download/CacheSlot.h"
#include "download/SegmentRecord.h"
#include "log/ByteCount.h"
#include "log/CorvelSetupLogger.h"
#include "platform/Cancellation.h"
#include "platform/DomainError.h"
#include "platform/HttpClient.h"
#include "platform/UniqueFd.h"
#include "record/CorvelSetupManifest.h"
#include "record/InstalledFiles.h"
#include "shareddata/CVSharedDataPaths.h"
#include "zsync/SeedScanner.h"
#include "zsync/ZsyncDelta.h"

#include <fmt/format.h>

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <system_error>
#include <unistd.h>

namespace fs = std::filesystem;

namespace DeltaUpdate {

namespace {

constexpr std::chrono::seconds controlTimeout{60};

std::vector<std::uint8_t> fetchControl(const platform::Url& url, std::stop_token stop) {
    if (url.isFile()) {
        std::error_code error;
        auto size = fs::file_size(url.filePath(), error);
        if (error) throw fs::filesystem_error("无法读取 zsync 控制文件", url.filePath(), error);
        if (static_cast<std::int64_t>(size) > zsync::maxControlBytes)
            throw DomainError("ZsyncControl", -1, "zsync 控制文件过大");
        platform::UniqueFd fd(::open(url.filePath().c_str(), O_RDONLY | O_CLOEXEC));
        std::vector<std::uint8_t> bytes(size);
        if (!fd || ::read(fd.get(), bytes.data(), size) != static_cast<ssize_t>(size))
            throw fs::filesystem_error("无法读取 zsync 控制文件", url.filePath(),
                                       std::error_code(errno, std::generic_category()));
        return bytes;
    }
    platform::HttpRequest request;
    request.url = url.absoluteString();
    request.timeout = controlTimeout;
    std::vector<std::uint8_t> body;
    auto tooLarge = [] { return DomainError("ZsyncControl", -1, "zsync 控制文件过大"); };
    platform::HttpHandlers handlers;
    handlers.onHead = [](const platform::HttpResponseHead& head) {
        return head.status >= 200 && head.status <= 299;
    };
    handlers.onBody = [&](const char* data, std::size_t size) {
        if (static_cast<std::int64_t>(body.size() + size) > zsync::maxControlBytes)
            throw tooLarge();
        body.insert(body.end(), data, data + size);
    };
    auto outcome = platform::performHttp(request, handlers, stop);
    if (outcome.head.status < 200 || outcome.head.status > 299)
        throw DomainError("ZsyncControl", outcome.head.status,
                          fmt::format("zsync 控制文件 HTTP {}", outcome.head.status));
    return body;
}

// The control file from the first of its places that has it as published:
// a mirror that lacks it or holds another version leaves it to the next.
ZsyncControl verifiedControl(const CVTAVAsset& asset, std::stop_token stop) {
    const std::vector<platform::Url> places =
        asset.zsyncSources.empty() ? std::vector{*asset.zsyncUrl} : asset.zsyncSources;
    for (std::size_t i = 0;; ++i) {
        try {
            auto bytes = fetchControl(places[i], stop);
            return zsync::readVerifiedControl(bytes, asset.zsyncSha256, asset.expectedBytes);
        } catch (const platform::CancelledError&) {
            throw;
        } catch (const std::exception& e) {
            if (stop.stop_requested() || i + 1 == places.size()) throw;
            log(LogLevel::warn,
                fmt::format("  ⚠ zsync 控制文件 {} 不可用：{}，改试 {}", places[i].absoluteString(),
                            e.what(), places[i + 1].absoluteString()));
        }
    }
}

// The version of the file the ranges will come from: ranges sent with it as
// If-Range never splice another version in.
// The version of the file at the first source that names one: the ranges
// left open are fetched from there (and from the others, each under its own).
CacheMeta remoteVersion(const CVTAVAsset& asset, std::int64_t length, std::stop_token stop) {
    std::string failures;
    for (const auto& source : asset.fetchSources()) {
        if (source.isFile()) continue;
        platform::HttpRequest request;
        request.method = "HEAD";
        request.url = source.absoluteString();
        request.timeout = controlTimeout;
        try {
            auto head = platform::performHttp(request, {}, stop).head;
            CacheMeta meta{head.header("ETag"), head.header("Last-Modified"), length,
                           source.absoluteString()};
            if (head.status < 200 || head.status > 299)
                throw DomainError("ZsyncControl", head.status,
                                  fmt::format("HEAD HTTP {}", head.status));
            if (!meta.etag && !meta.lastModified)
                throw DomainError("ZsyncControl", -1,
                                  "服务器未给出 ETag 或 Last-Modified，无法续传分段");
            return meta;
        } catch (const platform::CancelledError&) {
            throw;
        } catch (const std::exception& e) {
            if (stop.stop_requested()) throw platform::CancelledError();
            failures += fmt::format("{}{}: {}", failures.empty() ? "" : "; ",
                                    source.absoluteString(), e.what());
        }
    }
    throw DomainError("ZsyncControl", -1, failures);
}

// Finished ranges where a seed supplied the bytes, open ones elsewhere.
std::vector<SegmentRange> rangesOf(const ZsyncControl& control, const SeedScanner& scanner) {
    std::vector<SegmentRange> ranges;
    std::int64_t at = 0;
    for (const auto& missing : scanner.missingRanges()) {
        if (missing.start > at) ranges.push_back({at, missing.start, missing.start - at});
        ranges.push_back({missing.start, missing.end, 0});
        at = missing.end;
    }
    if (at < control.length) ranges.push_back({at, control.length, control.length - at});
    return ranges;
}

} // namespace

std::vector<fs::path> seedsFor(const CVTAVAsset& asset, const std::vector<fs::path>& extra) {
    std::vector<fs::path> candidates = extra;
    if (asset.isApplicationBundleAsset()) {
        candidates.push_back(InstalledFiles::keptAppArchive());
    } else {
        candidates.push_back(CorvelSetupManifest::expectedInstalledURL(asset));
        for (const auto& entry : CorvelSetupManifest::load().entries)
            if (entry.name == asset.name && entry.format == formatName(asset.format))
                candidates.push_back(CVSharedDataPaths::remapLegacyPath(entry.installedPath));
    }
    std::vector<fs::path> seeds;
    for (const auto& path : candidates) {
        std::error_code error;
        if (!fs::is_regular_file(path, error) || fs::file_size(path, error) == 0 || error) continue;
        if (std::find(seeds.begin(), seeds.end(), path) == seeds.end()) seeds.push_back(path);
    }
    return seeds;
}

std::optional<ZsyncControl> prepare(const CVTAVAsset& asset, const std::vector<fs::path>& seeds,
                                    std::stop_token stop) {
    if (!asset.zsyncUrl || asset.zsyncSha256.empty() || seeds.empty()) return std::nullopt;
    // A local folder first in line is copied whole, faster than any delta.
    if (asset.fetchSources().front().isFile()) return std::nullopt;
    const CacheSlot slot = cache::makeSlot(asset.url);
    // A download already under way goes on as it is, ranges and all.
    std::error_code error;
    if (cache::existingPartBytes(slot) > 0 || fs::exists(SegmentedTransfer::statePath(slot), error))
        return std::nullopt;
    try {
        auto control = verifiedControl(asset, stop);
        auto meta = remoteVersion(asset, control.length, stop);

        SeedScanner scanner(control);
        for (std::size_t i = 0; i < seeds.size() && scanner.foundBlocks() < control.blockCount();
             ++i)
            scanner.scanFile(static_cast<int>(i), seeds[i], stop);
        if (scanner.foundBlocks() == 0) {
            log(LogLevel::info,
                fmt::format("  ♻ 增量更新 [{}]：旧副本中没有可用的块，完整下载", asset.name));
            return std::nullopt;
        }

        fs::create_directories(slot.directory);
        SegmentedTransfer::discard(slot);
        platform::UniqueFd fd(::open(SegmentedTransfer::dataPath(slot).c_str(),
                                     O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
        if (!fd || ::ftruncate(fd.get(), control.length) != 0)
            throw std::system_error(errno, std::generic_category(), "payload.segmented");
        zsync::copySeedBlocks(control, scanner, seeds, fd.get(), stop);
        // The record may claim only bytes that are on the disk.
        if (::fsync(fd.get()) != 0)
            throw std::system_error(errno, std::generic_category(), "fsync payload.segmented");
        cache::writeMeta(meta, slot);
        auto ranges = rangesOf(control, scanner);
        SegmentedTransfer::writeRecord(slot, control.length, ranges);
        const auto missing = control.length - scanner.foundBytes();
        log(LogLevel::info, fmt::format("  ♻ 增量更新 [{}]：旧副本提供 {}，只需下载 {}（{} 段）",
                                        asset.name, formatByteCount(scanner.foundBytes()),
                                        formatByteCount(missing), scanner.missingRanges().size()));
        return control;
    } catch (const platform::CancelledError&) {
        throw;
    } catch (const std::exception& e) {
        if (stop.stop_requested()) throw platform::CancelledError();
        SegmentedTransfer::discard(slot);
        log(LogLevel::warn,
            fmt::format("  ⚠ 增量更新不可用 [{}]：{}，改为完整下载", asset.name, e.what()));
        return std::nullopt;
    }
}

bool assembledSoundly(const CVTAVAsset& asset, const ZsyncControl& control, const fs::path& file,
                      const std::optional<std::string>& sha256) {
    auto lower = [](std::string text) {
        std::transform(text.begin(), text.end(), text.begin(),
                       [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
        return text;
    };
    bool sound = sha256 ? lower(*sha256) == lower(asset.sha256) : zsync::sha1Matches(control, file);
    if (!sound)
        log(LogLevel::warn,
            fmt::format("  ⚠ 增量更新 [{}]：组装出的文件与发布的不符，丢弃并完整下载", asset.name));
    return sound;
}

} // namespace DeltaUpdate
