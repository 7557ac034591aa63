#pragma once

#include <filesystem>
#include <optional>
#include <stop_token>
#include <string>
#include <string_view>

// Installs the application bundle from its downloaded archive.
namespace CorvelAppInstaller {

// The staging folder inside the applications folder, and the folder inside it
// that holds old bundles until the new one is in place: a prefix and a UUID.
inline constexpr std::string_view stagingFolderPrefix = ".tavrin-setup-stage-";
inline constexpr std::string_view setAsideFolderPrefix = ".previous-";
bool isStagingFolderName(std::string_view name);
bool isSetAsideFolderName(std::string_view name);

// Unpacks the archive into a staging folder inside destinationDirectory,
// finds the bundle (a real directory named *.app at the top or one folder
// deep), stops running copies of the old bundle, replaces the old bundle
// (also one under the former name TAVRIN.app) with the new one under appName,
// registers it with the desktop and removes stale copies from ~/Applications.
// The archive is left for the caller, who deletes it once the install is
// recorded. Returns destinationDirectory / appName.
//
// The new bundle trades places with the old one in one step where the file
// system can exchange; elsewhere the old one is set aside until the new one
// is in place, and put back when the new one cannot be moved in. Errors: the file system's error
// for folders that cannot be created or an old bundle that cannot be moved;
// CorvelInstallError::extractFailed for a bad archive, one without a bundle or
// one whose bundle has no executable AppRun;
// ::moveFailed when the new bundle cannot be moved into place;
// platform::CancelledError when `stop` is requested before the old bundle is
// touched.
std::filesystem::path installAppBundle(const std::filesystem::path& archive,
                                       const std::filesystem::path& destinationDirectory,
                                       const std::string& appName,
                                       const std::string& bundleIdentifier, const std::string& name,
                                       std::stop_token stop = {});

// After a run that was killed mid-install: the bundles that one staging folder
// of destinationDirectory holds set aside go back into place when the folder
// has no bundle of either name any more (each logged); beside a bundle that
// is in place they are stale. False when one could not be put back, so the
// staging folder must be kept.
bool restoreSetAsideBundles(const std::filesystem::path& staging,
                            const std::filesystem::path& destinationDirectory,
                            const std::string& appName);

// The bundle inside an unpacked archive: the first real directory named
// *.app (case-sensitive) at the top of `staging`, else the first one inside a
// top-level folder; entries are taken in name order. Nothing otherwise.
std::optional<std::filesystem::path> findBundle(const std::filesystem::path& staging);

// The desktop entry announcing the bundle (Exec quoted for paths with blanks).
std::string desktopEntryText(const std::filesystem::path& bundle, const std::string& displayName);

// Writes `<data home>/applications/<bundleIdentifier>.desktop` and refreshes
// the desktop database when update-desktop-database is on PATH. Never throws;
// failures are logged as warnings.
void registerBundle(const std::filesystem::path& bundle, const std::string& bundleIdentifier);

} // namespace CorvelAppInstaller
