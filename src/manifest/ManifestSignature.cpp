#include "manifest/ManifestSignature.h"

#include <fmt/format.h>
#include <sodium.h>

#include <algorithm>
#include <mutex>

namespace ManifestSignature {

namespace {

constexpr std::string_view untrustedPrefix = "untrusted comment:";
constexpr std::string_view trustedPrefix = "trusted comment: ";
constexpr std::size_t signatureBlobBytes = 2 + 8 + crypto_sign_BYTES;
constexpr std::size_t publicKeyBlobBytes = 2 + 8 + crypto_sign_PUBLICKEYBYTES;

void initializeSodium() {
    static std::once_flag once;
    static bool ready = false;
    std::call_once(once, [] { ready = sodium_init() >= 0; });
    if (!ready) throw makeSignatureError("无法初始化 libsodium");
}

// Exactly `size` bytes from standard base64, or nothing.
template <std::size_t size>
std::optional<std::array<unsigned char, size>> decodeBase64(std::string_view text) {
    // Anything longer than the encoding of `size` bytes cannot decode to it.
    if (text.empty() || text.size() > (size + 2) / 3 * 4) return std::nullopt;
    std::array<unsigned char, size> out{};
    std::size_t length = 0;
    const char* end = nullptr;
    if (sodium_base642bin(out.data(), out.size(), text.data(), text.size(), nullptr, &length, &end,
                          sodium_base64_VARIANT_ORIGINAL) != 0)
        return std::nullopt;
    if (length != size || end != text.data() + text.size()) return std::nullopt;
    return out;
}

std::string_view withoutLineEnd(std::string_view line) {
    while (!line.empty() && (line.back() == '\r' || line.back() == ' ' || line.back() == '\t'))
        line.remove_suffix(1);
    return line;
}

std::vector<std::string_view> splitLines(std::string_view text) {
    std::vector<std::string_view> lines;
    while (!text.empty()) {
        auto newline = text.find('\n');
        lines.push_back(text.substr(0, newline));
        if (newline == std::string_view::npos) break;
        text.remove_prefix(newline + 1);
    }
    return lines;
}

struct ParsedSignature {
    std::array<unsigned char, 2> algorithm{};
    std::array<unsigned char, 8> keyId{};
    std::array<unsigned char, crypto_sign_BYTES> signature{};
    std::string trustedComment;
    std::array<unsigned char, crypto_sign_BYTES> globalSignature{};
};

[[noreturn]] void malformed(std::string_view detail) {
    throw makeSignatureError(fmt::format("清单签名格式错误: {}", detail));
}

ParsedSignature parseSignature(std::string_view text) {
    if (text.empty()) malformed("签名文件为空");
    auto lines = splitLines(text);
    if (lines.size() < 4) malformed("签名文件不足四行");
    if (!lines[0].starts_with(untrustedPrefix)) malformed("第一行不是 untrusted comment");
    auto blob = decodeBase64<signatureBlobBytes>(withoutLineEnd(lines[1]));
    if (!blob) malformed("第二行不是签名");
    ParsedSignature parsed;
    std::copy_n(blob->begin(), 2, parsed.algorithm.begin());
    std::copy_n(blob->begin() + 2, 8, parsed.keyId.begin());
    std::copy_n(blob->begin() + 10, crypto_sign_BYTES, parsed.signature.begin());
    if (parsed.algorithm[0] != 'E' || (parsed.algorithm[1] != 'd' && parsed.algorithm[1] != 'D'))
        malformed("不支持的签名算法");
    std::string_view comment = lines[2];
    while (!comment.empty() && comment.back() == '\r')
        comment.remove_suffix(1);
    if (!comment.starts_with(trustedPrefix)) malformed("第三行不是 trusted comment");
    parsed.trustedComment = std::string(comment.substr(trustedPrefix.size()));
    auto global = decodeBase64<crypto_sign_BYTES>(withoutLineEnd(lines[3]));
    if (!global) malformed("第四行不是全局签名");
    parsed.globalSignature = *global;
    return parsed;
}

} // namespace

DomainError makeSignatureError(const std::string& message) {
    return DomainError(errorDomain, -1, message);
}

std::optional<PublicKey> parsePublicKey(std::string_view base64) {
    initializeSodium();
    auto blob = decodeBase64<publicKeyBlobBytes>(base64);
    if (!blob || (*blob)[0] != 'E' || (*blob)[1] != 'd') return std::nullopt;
    PublicKey key;
    std::copy_n(blob->begin() + 2, 8, key.keyId.begin());
    std::copy_n(blob->begin() + 10, crypto_sign_PUBLICKEYBYTES, key.key.begin());
    return key;
}

std::vector<PublicKey> parsePublicKeyFile(std::string_view text, std::string_view origin) {
    std::vector<PublicKey> keys;
    auto lines = splitLines(text);
    for (std::size_t i = 0; i < lines.size(); ++i) {
        auto line = withoutLineEnd(lines[i]);
        while (!line.empty() && (line.front() == ' ' || line.front() == '\t'))
            line.remove_prefix(1);
        if (line.empty() || line.starts_with(untrustedPrefix)) continue;
        auto key = parsePublicKey(line);
        if (!key)
            throw makeSignatureError(
                fmt::format("公钥文件 {} 第 {} 行不是 minisign 公钥", origin, i + 1));
        keys.push_back(*key);
    }
    if (keys.empty()) throw makeSignatureError(fmt::format("公钥文件 {} 中没有公钥", origin));
    return keys;
}

std::string keyIdText(const std::array<unsigned char, 8>& keyId) {
    // minisign prints the id as a little-endian 64-bit number.
    std::string text;
    for (auto byte = keyId.rbegin(); byte != keyId.rend(); ++byte)
        text += fmt::format("{:02X}", *byte);
    // ... without leading zeros, as in the comment of its .pub files.
    auto first = text.find_first_not_of('0');
    return first == std::string::npos ? std::string("0") : text.substr(first);
}

std::optional<std::int64_t> timestampOf(std::string_view trustedComment) {
    constexpr std::string_view field = "timestamp:";
    while (!trustedComment.empty()) {
        auto tab = trustedComment.find('\t');
        auto item = trustedComment.substr(0, tab);
        if (item.starts_with(field)) {
            auto digits = item.substr(field.size());
            if (digits.empty() || digits.size() > 18) return std::nullopt;
            std::int64_t value = 0;
            for (char c : digits) {
                if (c < '0' || c > '9') return std::nullopt;
                value = value * 10 + (c - '0');
            }
            return value;
        }
        if (tab == std::string_view::npos) break;
        trustedComment.remove_prefix(tab + 1);
    }
    return std::nullopt;
}

Verified verify(std::string_view message, std::string_view signature,
                const std::vector<PublicKey>& trusted) {
    initializeSodium();
    if (signature.size() > maxSignatureBytes)
        malformed(fmt::format("超过 {} 字节上限", maxSignatureBytes));
    ParsedSignature parsed = parseSignature(signature);
    const std::string keyId = keyIdText(parsed.keyId);
    auto key = std::find_if(trusted.begin(), trusted.end(),
                            [&parsed](const PublicKey& k) { return k.keyId == parsed.keyId; });
    if (key == trusted.end())
        throw makeSignatureError(fmt::format("清单签名的公钥 {} 不受信任", keyId));

    const auto* bytes = reinterpret_cast<const unsigned char*>(message.data());
    int status = 0;
    if (parsed.algorithm[1] == 'D') {
        std::array<unsigned char, crypto_generichash_BYTES_MAX> digest{};
        status =
            crypto_generichash(digest.data(), digest.size(), bytes, message.size(), nullptr, 0);
        if (status == 0)
            status = crypto_sign_verify_detached(parsed.signature.data(), digest.data(),
                                                 digest.size(), key->key.data());
    } else {
        status = crypto_sign_verify_detached(parsed.signature.data(), bytes, message.size(),
                                             key->key.data());
    }
    if (status != 0)
        throw makeSignatureError(fmt::format("清单签名无效: 内容与签名不符（公钥 {}）", keyId));

    // The global signature binds the trusted comment to this signature.
    std::string covered(parsed.signature.begin(), parsed.signature.end());
    covered += parsed.trustedComment;
    if (crypto_sign_verify_detached(parsed.globalSignature.data(),
                                    reinterpret_cast<const unsigned char*>(covered.data()),
                                    covered.size(), key->key.data()) != 0)
        throw makeSignatureError(
            fmt::format("清单签名无效: 可信注释与全局签名不符（公钥 {}）", keyId));
    return Verified{keyId, parsed.trustedComment, timestampOf(parsed.trustedComment)};
}

} // namespace ManifestSignature
