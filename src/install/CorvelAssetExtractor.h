#pragma once

#include "types/CVTAVAsset.h"

#include <filesystem>
#include <stop_token>
#include <string>
#include <string_view>

// Puts a downloaded model or data asset into its destination, and hashes files.
namespace CorvelAssetExtractor {

// The folder an unpacking works in, beside the destination: this prefix and a UUID.
inline constexpr std::string_view extractionFolderPrefix = "corvel-extract-";
bool isExtractionFolderName(std::string_view name);

// Installs `archive` as `asset`'s product and returns the product's path.
// zip and tar.gz archives are unpacked into a folder next to the destination
// ("corvel-extract-<UUID>", same file system, removed on every way out), their
// top-level entries moved into the destination; the archive stays for the
// caller to delete once the product is recorded. A raw
// file is moved to destination / relativePath, or destination / the URL's last
// path component (percent-decoded) when relativePath is empty.
//
// Errors: the file system's error for folders that cannot be created or a
// raw target that cannot be cleared or a failed ggml-base flattening;
// CorvelInstallError::extractFailed for an unreadable or unsafe archive or a
// failed move out of the temporary folder; ::diskFull when unpacking runs out
// of space or quota; ::moveFailed for an unsafe raw
// product name or a failed raw move; platform::CancelledError when `stop` is
// requested before the destination is touched.
std::filesystem::path extract(const std::filesystem::path& archive, const CVTAVAsset& asset,
                              std::stop_token stop = {});

// SHA-256 of the file's content as 64 lower-case hex digits, read in 1 MiB
// chunks. Throws std::filesystem::filesystem_error when the file cannot be
// read, platform::CancelledError when `stop` is requested between chunks.
std::string sha256OfFile(const std::filesystem::path& file, std::stop_token stop = {});

} // namespace CorvelAssetExtractor
