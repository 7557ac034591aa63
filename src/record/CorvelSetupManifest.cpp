#include "record/CorvelSetupManifest.h"

#include "log/CorvelSetupLogger.h"
#include "platform/FileOps.h"
#include "platform/JsonShape.h"
#include "platform/UniqueFd.h"
#include "shareddata/CVSharedDataPaths.h"
#include "types/CorvelInstallError.h"

#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <cerrno>
#include <ctime>
#include <limits>
#include <system_error>

namespace fs = std::filesystem;
using nlohmann::json;

namespace CorvelSetupManifest {

namespace {

constexpr const char* fileName = "SetupManifest.json";

// The stored log is capped far below this, so a larger file was not written by
// this program; it counts as undecodable instead of being parsed at length.
constexpr std::size_t maxRecordBytes = std::size_t{64} << 20;
// Within that size, a record of nested brackets or millions of tiny values
// would still cost gigabytes as a tree. A real record is a few levels deep and
// holds nine values per entry, so these bounds leave room for ten thousand.
constexpr std::size_t maxRecordDepth = 64;
constexpr std::size_t maxRecordValues = 100000;

std::optional<Root> loadFrom(const fs::path& path) {
    // Nothing readable (a directory or FIFO included) or implausibly large: undecodable.
    std::error_code ignored;
    auto content = platform::readFileContents(path, maxRecordBytes, ignored);
    if (!content) return std::nullopt;
    return decode(*content);
}

const json* member(const json& object, const char* key) {
    auto it = object.find(key);
    return it == object.end() ? nullptr : &*it;
}

bool readString(const json& object, const char* key, std::string& out) {
    const json* value = member(object, key);
    if (value == nullptr || !value->is_string()) return false;
    out = value->get<std::string>();
    return true;
}

bool readInt64(const json& object, const char* key, std::int64_t& out) {
    const json* value = member(object, key);
    if (value == nullptr) return false;
    if (value->is_number_unsigned()) {
        auto unsignedValue = value->get<std::uint64_t>();
        if (unsignedValue > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()))
            return false;
        out = static_cast<std::int64_t>(unsignedValue);
        return true;
    }
    if (!value->is_number_integer()) return false;
    out = value->get<std::int64_t>();
    return true;
}

// Absent and null both mean "not stored"; anything but a string is a wrong type.
bool readOptionalString(const json& object, const char* key, std::optional<std::string>& out) {
    const json* value = member(object, key);
    if (value == nullptr || value->is_null()) {
        out.reset();
        return true;
    }
    if (!value->is_string()) return false;
    out = value->get<std::string>();
    return true;
}

std::optional<Entry> decodeEntry(const json& object) {
    if (!object.is_object()) return std::nullopt;
    Entry entry;
    bool ok = readString(object, "url", entry.url) && readString(object, "name", entry.name) &&
              readString(object, "sha256", entry.sha256) &&
              readInt64(object, "expectedBytes", entry.expectedBytes) &&
              readString(object, "format", entry.format) &&
              readString(object, "destination", entry.destination) &&
              readString(object, "installedPath", entry.installedPath) &&
              readString(object, "completedAt", entry.completedAt);
    if (!ok) return std::nullopt;
    return entry;
}

bool isApplicationsDestination(const fs::path& destination) {
    return standardizedPath(destination) == standardizedPath(CVTAVAsset::applicationsDirectory());
}

std::string compactUtcTimestamp() {
    std::time_t now = std::time(nullptr);
    std::tm parts{};
    ::gmtime_r(&now, &parts);
    char text[32];
    std::strftime(text, sizeof text, "%Y%m%dT%H%M%SZ", &parts);
    return text;
}

// A current file that does not decode would otherwise be replaced by the next
// write with every entry it held. Keep it beside the record instead.
void setAsideUndecodableRecord(const fs::path& path) {
    std::error_code error;
    auto status = fs::symlink_status(path, error);
    if (status.type() == fs::file_type::not_found || fs::is_directory(status)) return;
    if (loadFrom(path)) return;
    std::string base = path.string() + ".corrupt-" + compactUtcTimestamp();
    fs::path aside = base;
    // A name that cannot even be looked at (longer than PATH_MAX) is not taken:
    // the rename below then fails with the real error instead of this loop
    // trying longer and longer names for ever.
    auto taken = [&error](const fs::path& name) {
        auto type = fs::symlink_status(name, error).type();
        return type != fs::file_type::not_found && type != fs::file_type::none;
    };
    for (int n = 2; taken(aside); ++n)
        aside = base + "-" + std::to_string(n);
    fs::rename(path, aside); // throws: better no write than a lost record
    log(LogLevel::warn,
        fmt::format("⚠ SetupManifest.json 无法解析，已另存为 {}，将写入新记录", aside.string()));
}

} // namespace

fs::path manifestPath() {
    return CVSharedDataPaths::llmDataDirectory() / fileName;
}

fs::path legacyManifestPath() {
    return CVSharedDataPaths::legacyLLMDataDirectory() / fileName;
}

std::optional<Root> decode(std::string_view text) {
    if (platform::checkJsonShape(text, maxRecordDepth, maxRecordValues) !=
        platform::JsonShape::acceptable)
        return std::nullopt;
    json document = json::parse(text.begin(), text.end(), nullptr, false);
    if (document.is_discarded() || !document.is_object()) return std::nullopt;
    Root root;
    if (!readInt64(document, "version", root.version)) return std::nullopt;
    const json* entries = member(document, "entries");
    if (entries == nullptr || !entries->is_array()) return std::nullopt;
    for (const auto& item : *entries) {
        auto entry = decodeEntry(item);
        if (!entry) return std::nullopt;
        root.entries.push_back(std::move(*entry));
    }
    if (!readOptionalString(document, "lastSetupLog", root.lastSetupLog) ||
        !readOptionalString(document, "lastSetupLogAt", root.lastSetupLogAt))
        return std::nullopt;
    return root;
}

std::string encode(const Root& root) {
    json entries = json::array();
    for (const auto& entry : root.entries) {
        entries.push_back({{"url", entry.url},
                           {"name", entry.name},
                           {"sha256", entry.sha256},
                           {"expectedBytes", entry.expectedBytes},
                           {"format", entry.format},
                           {"destination", entry.destination},
                           {"installedPath", entry.installedPath},
                           {"completedAt", entry.completedAt}});
    }
    // nlohmann's object is a std::map, so every object's keys come out sorted.
    json document = {{"version", root.version}, {"entries", std::move(entries)}};
    if (root.lastSetupLog) document["lastSetupLog"] = *root.lastSetupLog;
    if (root.lastSetupLogAt) document["lastSetupLogAt"] = *root.lastSetupLogAt;
    return document.dump(2, ' ', false, json::error_handler_t::replace) + "\n";
}

std::string iso8601(std::chrono::system_clock::time_point time) {
    std::time_t seconds = std::chrono::system_clock::to_time_t(time);
    std::tm parts{};
    ::gmtime_r(&seconds, &parts);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &parts);
    return text;
}

Root load() {
    if (auto root = loadFrom(manifestPath())) return *root;
    if (auto root = loadFrom(legacyManifestPath())) return *root;
    return Root{};
}

void save(const Root& root) {
    std::string text = encode(root);
    fs::path path = manifestPath();
    setAsideUndecodableRecord(path);
    platform::atomicWriteFile(path, text);
}

std::optional<Entry> entryForURL(std::string_view url) {
    Root root = load();
    for (auto& entry : root.entries)
        if (entry.url == url) return std::move(entry);
    return std::nullopt;
}

bool isHit(const CVTAVAsset& asset) {
    auto entry = entryForURL(asset.url.absoluteString());
    if (!entry) return false;
    if (!CVSharedDataPaths::sameLLMDataDestination(fs::path(entry->destination),
                                                   asset.destination)) {
        log(LogLevel::info,
            fmt::format("↻ SetupManifest 记录的 destination 与当前不一致，触发重装 [{}]: {} → {}",
                        asset.name, entry->destination, asset.destination.string()));
        return false;
    }
    return CVSharedDataPaths::recordedProductIsPresent(entry->format, entry->installedPath,
                                                       entry->url, entry->expectedBytes);
}

fs::path expectedInstalledURL(const CVTAVAsset& asset) {
    if (asset.isApplicationBundleAsset()) return CVTAVAsset::applicationsDirectory() / "Corvel.app";
    return CVSharedDataPaths::expectedProductPath(
        {asset.url, CVSharedDataPaths::inferRemoteFormat(asset.url), asset.relativePath,
         asset.destination, asset.expectedBytes});
}

void record(const CVTAVAsset& asset, const fs::path& installed) noexcept {
    try {
        try {
            // Loaded before the migration runs: when a broken current record
            // exists beside a good former one, the merge keeps the current file
            // and removes the former root, and with it the only good copy.
            Root root = load();
            CVSharedDataPaths::ensureLLMDataDirectory();
            // Before the snapshot of the log, so a set-aside warning is stored too.
            setAsideUndecodableRecord(manifestPath());
            const std::string& url = asset.url.absoluteString();
            if (asset.isApplicationBundleAsset()) {
                // One application entry, whatever URL the last version came from.
                std::erase_if(root.entries, [](const Entry& entry) {
                    return isApplicationsDestination(fs::path(entry.destination));
                });
            } else {
                std::erase_if(root.entries,
                              [&url](const Entry& entry) { return entry.url == url; });
            }
            auto now = std::chrono::system_clock::now();
            root.entries.push_back(Entry{url, asset.name, asset.sha256, asset.expectedBytes,
                                         formatName(asset.format), asset.destination.string(),
                                         installed.string(), iso8601(now)});
            log(LogLevel::info, fmt::format("✔ SetupManifest.json 记录已写入 [{}] → {}", asset.name,
                                            installed.string()));
            root.lastSetupLog = CorvelSetupLogger::shared().persistedText();
            root.lastSetupLogAt = iso8601(std::chrono::system_clock::now());
            save(root);
        } catch (...) {
            log(LogLevel::warn, fmt::format("⚠ SetupManifest.json 写入失败 [{}]: {}", asset.name,
                                            describeError(std::current_exception())));
        }
    } catch (...) {
        // formatting the warning itself failed (out of memory); nothing more to do
    }
}

void persistSessionLog() noexcept {
    try {
        try {
            Root root = load(); // before the migration, as in record
            CVSharedDataPaths::ensureLLMDataDirectory();
            setAsideUndecodableRecord(manifestPath());
            root.lastSetupLog = CorvelSetupLogger::shared().persistedText();
            root.lastSetupLogAt = iso8601(std::chrono::system_clock::now());
            save(root);
        } catch (...) {
            std::string line = "[CorvelSetupManifest] persistSessionLog 失败: " +
                               describeError(std::current_exception()) + "\n";
            platform::writeFully(STDERR_FILENO, line);
        }
    } catch (...) {
    }
}

} // namespace CorvelSetupManifest
