// Installed product checks and the moves that put unpacked entries in place.
#include "shareddata/CVSharedDataPaths.h"

#include "platform/DomainError.h"
#include "platform/FileOps.h"
#include "shareddata/DirectoryListing.h"

#include <algorithm>
#include <cctype>
#include <optional>
#include <sys/stat.h>
#include <system_error>
#include <utility>

namespace CVSharedDataPaths {

namespace {

using detail::existsAsAnything;
using detail::listNames;

constexpr std::string_view ggmlBaseArchive = "ggml-base.zip";
constexpr std::string_view ggmlBaseModel = "ggml-base.bin";
constexpr std::string_view ggmlBaseEncoder = "ggml-base-encoder.mlmodelc";
constexpr std::string_view ggmlBaseFolder = "ggml-base";

bool isIgnoredName(std::string_view name) {
    return name == "__MACOSX" || name == ".DS_Store";
}

std::string lowercased(std::string_view text) {
    std::string result(text);
    std::transform(result.begin(), result.end(), result.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return result;
}

bool endsWith(std::string_view text, std::string_view suffix) {
    return text.size() >= suffix.size() &&
           text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

void eraseAll(std::string& text, std::string_view what) {
    std::size_t at = 0;
    while ((at = text.find(what, at)) != std::string::npos)
        text.erase(at, what.size());
}

// A name or relative path from a URL or a record joined below destination, or
// nothing when it would leave it (absolute, "..", a decoded "%2F..").
std::optional<fs::path> inside(const fs::path& destination, std::string_view relative) {
    if (relative.empty()) return std::nullopt;
    fs::path rel = fs::path(relative).lexically_normal();
    if (rel.is_absolute() || rel.empty() || rel == "." || *rel.begin() == "..") return std::nullopt;
    return destination / rel;
}

// Lists for the staging moves: a failure is the caller's error.
std::vector<fs::path> listOrThrow(const fs::path& directory) {
    std::vector<fs::path> entries;
    for (const auto& entry : fs::directory_iterator(directory))
        entries.push_back(entry.path());
    return entries;
}

// Removes whatever is at target (a link itself, never what it points to) and
// moves source there.
void replaceWith(const fs::path& source, const fs::path& target) {
    if (existsAsAnything(target)) fs::remove_all(target);
    platform::moveItem(source, target);
}

} // namespace

fs::path expectedProductPath(const LLMCacheAssetDescriptor& descriptor) {
    const fs::path& destination = descriptor.destination;
    std::string name = descriptor.url.lastPathComponent();
    std::string product = name;
    switch (descriptor.format) {
    case InferredRemoteFormat::zip:
        if (name == ggmlBaseArchive) return destination / ggmlBaseModel;
        if (endsWith(lowercased(name), ".zip")) product = name.substr(0, name.size() - 4);
        break;
    case InferredRemoteFormat::tarGz:
        eraseAll(product, ".tar.gz");
        eraseAll(product, ".tgz");
        break;
    case InferredRemoteFormat::raw:
        if (!descriptor.relativePath.empty()) {
            if (auto path = inside(destination, descriptor.relativePath)) return *path;
        }
        break;
    }
    return inside(destination, product).value_or(destination);
}

bool hasContent(const fs::path& path) noexcept {
    try {
        std::error_code error;
        auto status = fs::status(path, error);
        if (error || !fs::exists(status)) return false;
        if (fs::is_directory(status)) {
            auto names = listNames(path);
            return names && !names->empty();
        }
        auto size = fs::file_size(path, error);
        return !error && size > 0;
    } catch (...) {
        return false;
    }
}

bool isNonEmptyDirectory(const fs::path& path) noexcept {
    try {
        std::error_code error;
        if (!fs::is_directory(path, error) || error) return false;
        auto names = listNames(path);
        return names && !names->empty();
    } catch (...) {
        return false;
    }
}

bool ggmlBasePresent(const fs::path& directory) noexcept {
    auto packageIn = [](const fs::path& dir) {
        return hasContent(dir / ggmlBaseModel) && hasContent(dir / ggmlBaseEncoder);
    };
    return packageIn(directory) || packageIn(directory / ggmlBaseFolder);
}

bool rawFileLooksComplete(const fs::path& file, std::int64_t expectedBytes) noexcept {
    struct stat info {};
    if (::stat(file.c_str(), &info) != 0 || S_ISDIR(info.st_mode) || info.st_size < 1) return false;
    if (expectedBytes <= 1'000'000) return true;
    // expected * 90 / 100 without overflowing for sizes near the 64-bit limit.
    std::int64_t threshold = expectedBytes / 100 * 90 + expectedBytes % 100 * 90 / 100;
    return static_cast<std::int64_t>(info.st_size) >= threshold;
}

bool recordedProductIsPresent(std::string_view formatName, std::string_view recordedPath,
                              std::string_view sourceUrl, std::int64_t expectedBytes) noexcept {
    try {
        fs::path path = remapLegacyPath(recordedPath);
        if (path.empty()) return false;
        std::error_code error;
        auto status = fs::status(path, error);
        if (error || !fs::exists(status)) return false;
        bool isDirectory = fs::is_directory(status);

        std::string lower = lowercased(path.string());
        if (endsWith(lower, ".part") || endsWith(lower, ".download")) return false;
        if (endsWith(lower, ".zip")) return false;

        auto url = platform::Url::parse(sourceUrl);
        std::string sourceName = url ? url->lastPathComponent() : std::string("/");
        if (lowercased(sourceName) == ggmlBaseArchive) return ggmlBasePresent(llmDataDirectory());

        if (formatName == "zip" || formatName == "tarGz") {
            if (!isDirectory) return false;
            auto names = listNames(path);
            if (!names) return false;
            return std::any_of(names->begin(), names->end(),
                               [](const std::string& name) { return !isIgnoredName(name); });
        }
        if (formatName == "raw") return !isDirectory && rawFileLooksComplete(path, expectedBytes);
        return false;
    } catch (...) {
        return false;
    }
}

std::set<std::string> topLevelEntryNames(const fs::path& directory) {
    std::set<std::string> result;
    if (auto names = listNames(directory)) {
        for (auto& name : *names)
            if (!isIgnoredName(name)) result.insert(std::move(name));
    }
    return result;
}

void moveStagingEntries(const fs::path& staging, const fs::path& destination) {
    std::vector<fs::path> entries = listOrThrow(staging);
    std::erase_if(entries,
                  [](const fs::path& entry) { return isIgnoredName(entry.filename().string()); });
    if (entries.empty())
        throw DomainError("CVSharedDataPaths", -1, "解压结果为空（staging 无有效条目）");
    for (const auto& entry : entries)
        replaceWith(entry, destination / entry.filename());
}

fs::path pickExtractedEntry(const fs::path& destination, const std::set<std::string>& namesBefore) {
    std::set<std::string> after = topLevelEntryNames(destination);
    std::vector<std::string> fresh;
    std::set_difference(after.begin(), after.end(), namesBefore.begin(), namesBefore.end(),
                        std::back_inserter(fresh));
    if (fresh.size() == 1) return destination / fresh.front();
    if (!fresh.empty()) return destination;

    // Nothing new: the archive overwrote something, and the entry it touched
    // last is the best guess. Links are judged by their own date.
    std::optional<std::string> latest;
    std::pair<std::int64_t, std::int64_t> latestTime{}; // seconds, nanoseconds
    for (const auto& name : after) {
        // The setup record is rewritten after every install; it is never a product.
        if (name == "SetupManifest.json") continue;
        struct stat info {};
        if (::lstat((destination / name).c_str(), &info) != 0) continue;
        std::pair<std::int64_t, std::int64_t> time{info.st_mtim.tv_sec, info.st_mtim.tv_nsec};
        if (!latest || time > latestTime) {
            latest = name;
            latestTime = time;
        }
    }
    return latest ? destination / *latest : destination;
}

void flattenGgmlBase(const fs::path& directory) {
    fs::path folder = directory / ggmlBaseFolder;
    std::error_code error;
    if (!fs::is_directory(fs::symlink_status(folder, error)) || error) return;

    std::vector<fs::path> entries = listOrThrow(folder);
    // An entry named ggml-base would replace the very folder being emptied;
    // step the folder aside first so nothing inside it is lost.
    bool collides = std::any_of(entries.begin(), entries.end(), [](const fs::path& entry) {
        return entry.filename() == ggmlBaseFolder;
    });
    if (collides) {
        fs::path aside = directory / (".ggml-base-" + platform::makeUuidString());
        fs::rename(folder, aside);
        folder = aside;
        entries = listOrThrow(folder);
    }
    for (const auto& entry : entries)
        replaceWith(entry, directory / entry.filename());
    fs::remove(folder, error); // leftover empty folder is harmless
}

} // namespace CVSharedDataPaths
