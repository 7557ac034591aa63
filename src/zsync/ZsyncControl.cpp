#include "zsync/ZsyncControl.h"

#include "platform/DomainError.h"

#include <fmt/format.h>
#include <nettle/md4.h>

#include <algorithm>
#include <charconv>
#include <map>
#include <string_view>

namespace {

constexpr std::size_t maxHeaderBytes = 64 * 1024;
constexpr std::int64_t minBlockSize = 64;
constexpr std::int64_t maxBlockSize = 16LL << 20;
constexpr std::int64_t maxLength = 1LL << 44;

[[noreturn]] void refuse(const std::string& why) {
    throw DomainError("ZsyncControl", -1, fmt::format("zsync 控制文件无效：{}", why));
}

std::int64_t parseCount(std::string_view key, std::string_view text) {
    std::int64_t value = -1;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc{} || end != text.data() + text.size() || value < 0)
        refuse(fmt::format("{} 不是非负整数：{}", key, text));
    return value;
}

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// The header: "Key: value" lines up to an empty line; the binary table follows.
std::map<std::string, std::string, std::less<>> readHeader(std::span<const std::uint8_t> bytes,
                                                           std::size_t& bodyStart) {
    std::string_view text(reinterpret_cast<const char*>(bytes.data()),
                          std::min(bytes.size(), maxHeaderBytes));
    std::map<std::string, std::string, std::less<>> header;
    std::size_t at = 0;
    for (;;) {
        auto eol = text.find('\n', at);
        if (eol == std::string_view::npos) refuse("头部不完整");
        auto line = text.substr(at, eol - at);
        at = eol + 1;
        if (line.empty()) break;
        auto colon = line.find(": ");
        if (colon == std::string_view::npos || colon == 0)
            refuse(fmt::format("头部行格式错误：{}", line.substr(0, 80)));
        auto [it, inserted] =
            header.emplace(std::string(line.substr(0, colon)), std::string(line.substr(colon + 2)));
        // URL may be repeated (one per mirror); every other key names one value.
        if (!inserted && it->first != "URL" && it->first != "Z-URL")
            refuse(fmt::format("重复的头部字段：{}", it->first));
    }
    bodyStart = at;
    return header;
}

const std::string& required(const std::map<std::string, std::string, std::less<>>& header,
                            std::string_view key) {
    auto it = header.find(key);
    if (it == header.end()) refuse(fmt::format("缺少 {}", key));
    return it->second;
}

} // namespace

std::int64_t ZsyncControl::blockLength(std::int64_t index) const {
    return std::min(blockSize, length - index * blockSize);
}

std::uint32_t ZsyncControl::rsumMask() const {
    return rsumBytes >= 4 ? 0xffffffffu : (1u << (8 * rsumBytes)) - 1;
}

namespace zsync {

ZsyncControl parseControl(std::span<const std::uint8_t> bytes) {
    if (static_cast<std::int64_t>(bytes.size()) > maxControlBytes) refuse("文件过大");
    std::size_t bodyStart = 0;
    auto header = readHeader(bytes, bodyStart);

    if (!header.contains("zsync")) refuse("缺少 zsync 版本行");
    // Compressed-transfer files put a map before the block table and describe
    // bytes other than the file's; they are not what the manifest names.
    if (header.contains("Z-Map2") || header.contains("Z-URL")) refuse("不支持压缩传输（Z-Map2）");

    ZsyncControl control;
    control.blockSize = parseCount("Blocksize", required(header, "Blocksize"));
    if (control.blockSize < minBlockSize || control.blockSize > maxBlockSize ||
        (control.blockSize & (control.blockSize - 1)) != 0)
        refuse(fmt::format("Blocksize 不是 {} 到 {} 之间的 2 的幂：{}", minBlockSize, maxBlockSize,
                           control.blockSize));
    control.length = parseCount("Length", required(header, "Length"));
    if (control.length > maxLength) refuse(fmt::format("Length 过大：{}", control.length));

    const auto& lengths = required(header, "Hash-Lengths");
    int parsed[3] = {};
    std::size_t from = 0;
    for (int i = 0; i < 3; ++i) {
        auto comma = i < 2 ? lengths.find(',', from) : lengths.size();
        if (comma == std::string::npos) refuse(fmt::format("Hash-Lengths 格式错误：{}", lengths));
        parsed[i] = static_cast<int>(std::min<std::int64_t>(
            parseCount("Hash-Lengths", lengths.substr(from, comma - from)), 99));
        from = comma + 1;
    }
    control.seqMatches = parsed[0];
    control.rsumBytes = parsed[1];
    control.checksumBytes = parsed[2];
    if (control.seqMatches < 1 || control.seqMatches > 2 || control.rsumBytes < 1 ||
        control.rsumBytes > 4 || control.checksumBytes < 3 || control.checksumBytes > 16)
        refuse(fmt::format("Hash-Lengths 超出范围：{}", lengths));

    const auto& sha1 = required(header, "SHA-1");
    if (sha1.size() != 40) refuse("SHA-1 不是 40 位十六进制");
    for (std::size_t i = 0; i < 20; ++i) {
        int hi = hexValue(sha1[2 * i]), lo = hexValue(sha1[2 * i + 1]);
        if (hi < 0 || lo < 0) refuse("SHA-1 不是 40 位十六进制");
        control.sha1[i] = static_cast<std::uint8_t>(hi << 4 | lo);
    }

    const std::int64_t count = (control.length + control.blockSize - 1) / control.blockSize;
    const std::int64_t entry = control.rsumBytes + control.checksumBytes;
    const auto body = bytes.subspan(bodyStart);
    if (static_cast<std::int64_t>(body.size()) != count * entry)
        refuse(fmt::format("块表长度 {} 字节，按 Length 与 Blocksize 应为 {} 字节", body.size(),
                           count * entry));
    control.blocks.resize(static_cast<std::size_t>(count));
    const std::uint8_t* p = body.data();
    for (auto& block : control.blocks) {
        for (int i = 0; i < control.rsumBytes; ++i)
            block.rsum = block.rsum << 8 | *p++;
        std::copy_n(p, control.checksumBytes, block.md4.begin());
        p += control.checksumBytes;
    }
    return control;
}

std::uint32_t rsumOf(std::span<const std::uint8_t> block) {
    std::uint32_t a = 0, b = 0;
    auto len = static_cast<std::uint32_t>(block.size());
    for (auto c : block) {
        a += c;
        b += len-- * c;
    }
    return (a & 0xffff) << 16 | (b & 0xffff);
}

std::array<std::uint8_t, 16> blockMd4(std::span<const std::uint8_t> data, std::int64_t blockSize) {
    md4_ctx ctx;
    md4_init(&ctx);
    md4_update(&ctx, data.size(), data.data());
    static constexpr std::uint8_t zeros[4096] = {};
    for (auto pad = blockSize - static_cast<std::int64_t>(data.size()); pad > 0;) {
        auto n = std::min<std::int64_t>(pad, sizeof zeros);
        md4_update(&ctx, static_cast<std::size_t>(n), zeros);
        pad -= n;
    }
    std::array<std::uint8_t, 16> digest;
    md4_digest(&ctx, digest.size(), digest.data());
    return digest;
}

} // namespace zsync
