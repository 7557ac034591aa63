#pragma once

#include "manifest/ManifestSignature.h"

#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

// Where the public keys that may sign the manifest come from. The first source
// that names any key is the only one used, in this order:
//   1. --manifest-key on the command line (any number of times),
//   2. the environment variable CORVEL_MANIFEST_KEY,
//   3. the system key file /etc/corvel-setup/manifest.pub,
//   4. the keys built in (the CMake cache variable CORVEL_MANIFEST_PUBLIC_KEYS).
// So an administrator's file replaces the built-in keys, and a publisher
// trying a staging key replaces both for one run. No key anywhere: unsigned.
namespace ManifestKeys {

inline constexpr const char* keyVariable = "CORVEL_MANIFEST_KEY";
// Moves the system key file, for packagers and for tests that must not depend
// on what a machine keeps in /etc.
inline constexpr const char* systemKeyFileVariable = "CORVEL_MANIFEST_KEY_FILE";
inline constexpr std::string_view defaultSystemKeyFile = "/etc/corvel-setup/manifest.pub";

struct Trusted {
    std::vector<ManifestSignature::PublicKey> keys;
    std::string origin; // where they came from, for the log; empty without keys
};

// A key ("RW...") or the path of a public key file. Throws a signature error
// naming the value when it is neither.
std::vector<ManifestSignature::PublicKey> fromKeyOrFile(std::string_view value);

// The built-in keys: separated by blanks, commas or semicolons.
std::vector<ManifestSignature::PublicKey> builtIn(std::string_view list);

// The system key file: $CORVEL_MANIFEST_KEY_FILE, else /etc/corvel-setup/manifest.pub.
std::filesystem::path systemKeyFile();

// The keys of this run by the order above. A source that is set but unusable
// (a malformed variable or key file) throws rather than falling through, so a
// broken configuration never weakens the check.
Trusted resolve(const std::vector<ManifestSignature::PublicKey>& commandLine,
                const std::filesystem::path& systemFile, std::string_view builtInList);

} // namespace ManifestKeys
