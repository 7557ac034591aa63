#pragma once

#include "zsync/ZsyncControl.h"

#include <cstdint>
#include <filesystem>
#include <functional>
#include <span>
#include <stop_token>
#include <vector>

// Finds, in older copies of a file ("seeds"), the blocks of the new file that
// a control file describes, at any offset: a rolling checksum over every byte
// position picks candidates, the MD4 confirms them. When the control file asks
// for two matches in a row, a block counts only together with its successor,
// which keeps short weak checksums from flooding the strong check.
class SeedScanner {
  public:
    // Where a target block's bytes are: seed number and offset in that seed.
    struct Source {
        int seed = -1; // -1: no seed holds it
        std::int64_t offset = 0;
    };
    struct ByteRange {
        std::int64_t start = 0;
        std::int64_t end = 0;
        friend bool operator==(const ByteRange&, const ByteRange&) = default;
    };

    explicit SeedScanner(const ZsyncControl& control);

    // Scans a seed held in memory; returns the blocks it newly supplied.
    std::int64_t scan(int seed, std::span<const std::uint8_t> data);
    // Scans a seed file in bounded chunks (memory stays near 4 MiB whatever
    // its size); a file that cannot be read supplies nothing. Throws
    // platform::CancelledError when stop is requested.
    std::int64_t scanFile(int seed, const std::filesystem::path& path, std::stop_token stop = {});

    const std::vector<Source>& sources() const { return sources_; }
    std::int64_t foundBlocks() const { return found_; }
    // Bytes of the target that the seeds hold.
    std::int64_t foundBytes() const;
    // The target's bytes no seed holds, neighbouring blocks joined.
    std::vector<ByteRange> missingRanges() const;

  private:
    using Reader = std::function<std::size_t(std::uint8_t* into, std::size_t max)>;
    std::int64_t scanStream(int seed, const Reader& read, const std::stop_token& stop);
    // Scans positions [from, stop) of buf, whose bytes are valid (zeros past
    // realEnd); returns the position where scanning should resume.
    std::size_t scanRegion(int seed, const std::uint8_t* buf, std::size_t from, std::size_t stop,
                           std::size_t realEnd, std::int64_t base);
    bool confirm(std::int64_t block, const std::uint8_t* at, std::int64_t available);
    void mark(std::int64_t block, int seed, std::int64_t offset);

    const ZsyncControl& control_;
    const std::size_t blockSize_;
    const int shift_;
    const std::uint32_t mask_;
    std::vector<Source> sources_;
    std::int64_t found_ = 0;

    // Blocks by their weak checksum and their successor's, in an open-addressed
    // table; a bitmap in front answers most positions without touching it.
    struct Slot {
        static constexpr std::uint32_t empty = 0xffffffffu;
        std::uint32_t r0 = 0;
        std::uint32_t r1 = 0;
        std::uint32_t block = empty;
    };
    static std::uint64_t hashOf(std::uint32_t r0, std::uint32_t r1);
    std::vector<Slot> table_;
    int tableBits_ = 0;
    std::vector<std::uint64_t> filter_;
    int filterBits_ = 0;

    std::vector<std::uint32_t> sums_; // weak checksums of the positions of one batch

    // The MD4 of the block at one position, computed once for all candidates.
    const std::uint8_t* md4At_ = nullptr;
    std::array<std::uint8_t, 16> md4_ = {};
};
