#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

// The control file a publisher makes with zsyncmake beside a file: its length,
// its SHA-1 and, per block, a weak rolling checksum and a truncated MD4, from
// which a client holding an older copy finds the blocks it already has.
struct ZsyncControl {
    // Per block, as the file stores them: the trailing rsumBytes of the
    // rolling checksum (a in the high 16 bits, b in the low) and the first
    // checksumBytes of the MD4 of the block, zero-padded to blockSize.
    struct BlockSum {
        std::uint32_t rsum = 0;
        std::array<std::uint8_t, 16> md4 = {};
    };

    std::int64_t blockSize = 0;
    std::int64_t length = 0;
    int seqMatches = 1;     // consecutive blocks that must match together
    int rsumBytes = 4;      // 1..4
    int checksumBytes = 16; // 3..16
    std::array<std::uint8_t, 20> sha1 = {};
    std::vector<BlockSum> blocks;

    std::int64_t blockCount() const { return static_cast<std::int64_t>(blocks.size()); }
    // Bytes of block `index` that belong to the file (the last one may be short).
    std::int64_t blockLength(std::int64_t index) const;
    // The part of a rolling checksum the file keeps.
    std::uint32_t rsumMask() const;
};

namespace zsync {

// The largest control file read; 20 bytes per block of 2 KiB still covers a
// 4 GiB file, and zsyncmake picks larger blocks for larger files.
inline constexpr std::int64_t maxControlBytes = 64LL << 20;

// Reads a control file as zsyncmake 0.6.2 writes it. It comes from the
// network: every count is bounded, the block table must be exactly as long as
// Length and Blocksize say, and a file for compressed transfer (Z-Map2) is
// refused since the bytes to fetch would not be the file's. Throws DomainError
// (domain "ZsyncControl", code -1) with the reason.
ZsyncControl parseControl(std::span<const std::uint8_t> bytes);

// The rolling checksum of one block (a: byte sum, b: position-weighted sum,
// both modulo 2^16), packed as a << 16 | b.
std::uint32_t rsumOf(std::span<const std::uint8_t> block);

// The MD4 of a block padded with zeros to blockSize.
std::array<std::uint8_t, 16> blockMd4(std::span<const std::uint8_t> data, std::int64_t blockSize);

} // namespace zsync
