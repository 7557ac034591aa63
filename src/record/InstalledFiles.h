#pragma once

#include "types/CVTAVAsset.h"

#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <stop_token>
#include <string>
#include <vector>

// What each installed product consisted of when it was installed: every file
// with its size and SHA-256 (symbolic links with their target), kept beside
// the setup record in SetupFiles.json so that a later check can tell a
// damaged, missing or extra file from an intact one.
namespace InstalledFiles {

struct File {
    std::string path = {}; // relative to the product; empty: the product is this file
    std::int64_t size = 0;
    std::string sha256 = {};              // empty for a link
    std::optional<std::string> link = {}; // a symbolic link's target
    friend bool operator==(const File&, const File&) = default;
};

struct Product {
    std::string installedPath;
    std::vector<File> files = {}; // sorted by path
    friend bool operator==(const Product&, const Product&) = default;
};

std::filesystem::path listPath();

// Where the archive of the installed application is kept, the one archive
// kept after installing: the next version is assembled from it.
std::filesystem::path keptAppArchive();

// The files of a product on disk now, hashed. Throws filesystem_error when
// something in it cannot be read, platform::CancelledError on a stop.
Product scan(const std::filesystem::path& product, std::stop_token stop = {});

// The products by asset URL; empty when the file is missing or does not decode.
std::map<std::string, Product> load();

// Stores the product of the asset installed at `product`, replacing what the
// URL had, and drops products no longer in the setup record. A raw file whose
// verified digest is known is not read again. Failures are logged, never raised:
// the product is then checked by presence only.
void remember(const CVTAVAsset& asset, const std::filesystem::path& product,
              std::stop_token stop = {}) noexcept;

} // namespace InstalledFiles
