#pragma once

#include "platform/Url.h"

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

// One installable resource: the application archive or a model/data file.
struct CVTAVAsset {
    enum class Format { zip, tarGz, raw };

    std::string name;
    platform::Url url;
    std::string sha256 = {}; // empty: the download is not verified
    std::int64_t expectedBytes = 1;
    std::filesystem::path destination = {};
    std::string relativePath = {}; // product of a raw asset, relative to destination; may be empty
    Format format = Format::raw;

    // Further places the same bytes are published, in the order they are
    // tried after the ones the user chose; url stays the asset's identity
    // (cache slot, setup record, log lines) wherever the bytes come from.
    std::vector<platform::Url> mirrors = {};
    // Every place to fetch from, best first: the user's rewritten URLs, then
    // url, then the mirrors. Empty until the run fills it: url alone.
    std::vector<platform::Url> sources = {};
    // The zsync control file of exactly this file and its SHA-256, when the
    // publisher made one: older copies at hand then spare the unchanged blocks.
    std::optional<platform::Url> zsyncUrl = {};
    std::string zsyncSha256 = {};
    // Where that control file is fetched from, best first: the user's
    // rewritten URL, then zsyncUrl. Empty until the run fills it: zsyncUrl alone.
    std::vector<platform::Url> zsyncSources = {};

    // sources, or url alone when nothing filled them.
    std::vector<platform::Url> fetchSources() const;

    // Where the application bundle goes (the per-user applications folder).
    static std::filesystem::path applicationsDirectory();
    // The shared model data directory: data home / com.corvel.data / LLMData.
    static std::filesystem::path llmDataDirectory();

    // The application archive: a zip whose destination is the applications directory.
    bool isApplicationBundleAsset() const;
};

// A downloaded asset and the complete file in the download cache.
struct AssetResult {
    CVTAVAsset asset;
    std::filesystem::path localArchive;
};

// The case name used wherever a format is shown or stored: "zip", "tarGz", "raw".
const char* formatName(CVTAVAsset::Format format);

// Format from the URL's lower-cased last path component: ".tar.gz" and ".tgz"
// are tarGz, ".zip" is zip, anything else raw.
CVTAVAsset::Format inferFormat(const platform::Url& url);

// Lexically normal form without a trailing separator, so /a/b/ equals /a/b.
std::filesystem::path standardizedPath(const std::filesystem::path& path);
