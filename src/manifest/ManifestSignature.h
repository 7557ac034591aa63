#pragma once

#include "platform/DomainError.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// Detached signatures in the format of the minisign tool, checked against the
// publisher's public keys: the legacy "Ed" form (Ed25519 over the file) and the
// prehashed "ED" form (Ed25519 over its BLAKE2b-512), each followed by a
// trusted comment that a second, global signature covers.
namespace ManifestSignature {

inline constexpr const char* errorDomain = "ManifestSignature";
// A signature file is four short lines; anything larger is not one.
inline constexpr std::size_t maxSignatureBytes = 64 * 1024;

struct PublicKey {
    std::array<unsigned char, 8> keyId{};
    std::array<unsigned char, 32> key{};
    friend bool operator==(const PublicKey&, const PublicKey&) = default;
};

// What a valid signature vouches for.
struct Verified {
    std::string keyId; // as minisign prints it: upper-case hexadecimal
    std::string trustedComment;
    std::optional<std::int64_t> timestamp; // the comment's "timestamp:<unix seconds>"
};

// An error of this namespace: domain ManifestSignature, code -1.
DomainError makeSignatureError(const std::string& message);

// A key as minisign writes it on the second line of a .pub file ("RW...").
std::optional<PublicKey> parsePublicKey(std::string_view base64);

// Every key of a public key file: blank lines and "untrusted comment:" lines
// are skipped, every other line must be a key. Throws a signature error that
// names `origin` and the line otherwise, and when no key is found.
std::vector<PublicKey> parsePublicKeyFile(std::string_view text, std::string_view origin);

std::string keyIdText(const std::array<unsigned char, 8>& keyId);

// The value of a "timestamp:" field of a trusted comment (fields are separated
// by tabs); nothing when there is none or it is not a whole number of seconds.
std::optional<std::int64_t> timestampOf(std::string_view trustedComment);

// Checks `signature` (the text of a .minisig file) for exactly `message`.
// Throws a signature error saying which check failed: malformed, unknown key
// id, signature or global signature that does not verify.
Verified verify(std::string_view message, std::string_view signature,
                const std::vector<PublicKey>& trusted);

} // namespace ManifestSignature
