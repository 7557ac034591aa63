#include "zsync/SeedScanner.h"

#include "platform/Cancellation.h"
#include "platform/UniqueFd.h"

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace {

constexpr std::size_t chunkBytes = 4 << 20;
constexpr std::size_t batch = 32 << 10;

struct Rolling {
    std::uint32_t a = 0;
    std::uint32_t b = 0;

    static Rolling of(const std::uint8_t* p, std::size_t len) {
        auto r = zsync::rsumOf({p, len});
        return {r >> 16, r & 0xffff};
    }
    // The window moves one byte: `out` leaves at the front, `in` enters at the back.
    void roll(std::uint8_t out, std::uint8_t in, int shift) {
        a += in - out;
        b += a - (static_cast<std::uint32_t>(out) << shift);
    }
    std::uint32_t value() const { return (a & 0xffff) << 16 | (b & 0xffff); }
};

} // namespace

SeedScanner::SeedScanner(const ZsyncControl& control)
    : control_(control), blockSize_(static_cast<std::size_t>(control.blockSize)),
      shift_(std::countr_zero(static_cast<std::uint64_t>(control.blockSize))),
      mask_(control.rsumMask()), sources_(control.blocks.size()) {
    const auto n = control.blocks.size();
    const int width = static_cast<int>(std::bit_width(n));
    // A filter bit per 32 to 64 blocks' worth of positions lets about one in
    // fifty unrelated positions through to the table; it stays within the
    // caches up to files of a few gigabytes.
    filterBits_ = std::clamp(width + 5, 12, 25);
    filter_.assign((std::size_t{1} << filterBits_) / 64, 0);
    tableBits_ = std::max(4, width + 1);
    table_.assign(std::size_t{1} << tableBits_, Slot{});
    sums_.resize(batch + blockSize_);

    // A block's key pairs its checksum with its successor's; past the last
    // block stands a zero block, as the seed's end is padded with zeros.
    for (std::size_t i = 0; i < n; ++i) {
        std::uint32_t next = 0;
        if (control.seqMatches > 1 && i + 1 < n) next = control.blocks[i + 1].rsum;
        const Slot slot{control.blocks[i].rsum, next, static_cast<std::uint32_t>(i)};
        const auto hash = hashOf(slot.r0, slot.r1);
        filter_[(hash >> (64 - filterBits_)) / 64] |= std::uint64_t{1}
                                                      << ((hash >> (64 - filterBits_)) % 64);
        auto at = hash >> (64 - tableBits_);
        while (table_[at].block != Slot::empty)
            at = (at + 1) & (table_.size() - 1);
        table_[at] = slot;
    }
}

std::uint64_t SeedScanner::hashOf(std::uint32_t r0, std::uint32_t r1) {
    return (std::uint64_t{r0} << 32 | r1) * 0x9E3779B97F4A7C15ull;
}

std::int64_t SeedScanner::foundBytes() const {
    std::int64_t bytes = 0;
    for (std::size_t i = 0; i < sources_.size(); ++i)
        if (sources_[i].seed >= 0) bytes += control_.blockLength(static_cast<std::int64_t>(i));
    return bytes;
}

std::vector<SeedScanner::ByteRange> SeedScanner::missingRanges() const {
    std::vector<ByteRange> ranges;
    for (std::size_t i = 0; i < sources_.size(); ++i) {
        if (sources_[i].seed >= 0) continue;
        auto start = static_cast<std::int64_t>(i) * control_.blockSize;
        auto end = std::min(start + control_.blockSize, control_.length);
        if (!ranges.empty() && ranges.back().end == start)
            ranges.back().end = end;
        else
            ranges.push_back({start, end});
    }
    return ranges;
}

void SeedScanner::mark(std::int64_t block, int seed, std::int64_t offset) {
    auto& source = sources_[static_cast<std::size_t>(block)];
    if (source.seed >= 0) return;
    source = {seed, offset};
    ++found_;
}

// The strong check of `block` at `at`, where `available` real bytes follow;
// a block reaching past the seed's end cannot be copied from it.
bool SeedScanner::confirm(std::int64_t block, const std::uint8_t* at, std::int64_t available) {
    if (available < control_.blockLength(block)) return false;
    if (md4At_ != at) {
        md4_ = zsync::blockMd4({at, blockSize_}, control_.blockSize);
        md4At_ = at;
    }
    const auto& want = control_.blocks[static_cast<std::size_t>(block)].md4;
    return std::equal(want.begin(), want.begin() + control_.checksumBytes, md4_.begin());
}

std::size_t SeedScanner::scanRegion(int seed, const std::uint8_t* buf, std::size_t from,
                                    std::size_t stop, std::size_t realEnd, std::int64_t base) {
    const std::size_t B = blockSize_;
    const bool pairs = control_.seqMatches > 1;
    const auto n = static_cast<std::int64_t>(control_.blocks.size());
    const int filterShift = 64 - filterBits_;
    const int tableShift = 64 - tableBits_;
    const std::size_t tableMask = table_.size() - 1;
    md4At_ = nullptr;
    auto left = [&](std::size_t at) {
        return static_cast<std::int64_t>(realEnd) - static_cast<std::int64_t>(at);
    };

    std::size_t x = from;
    std::int64_t next = -1; // the block expected at x when a run of matches goes on
    while (x < stop) {
        // A run of matches: the next block is most likely right behind.
        while (next >= 0 && next < n && x < stop && sources_[next].seed < 0 &&
               (zsync::rsumOf({buf + x, B}) & mask_) == control_.blocks[next].rsum &&
               confirm(next, buf + x, left(x))) {
            mark(next, seed, base + static_cast<std::int64_t>(x));
            ++next;
            x += B;
        }
        next = -1;
        if (x >= stop) break;

        // Weak checksums of a batch of positions first, in one tight pass
        // (a pair's second checksum is the first one B positions on), then
        // the lookups, which no longer wait on each other.
        const std::size_t count = std::min(batch, stop - x);
        const std::size_t span = count + (pairs ? B : 0);
        auto r = Rolling::of(buf + x, B);
        const std::uint8_t* p = buf + x;
        for (std::size_t j = 0;;) {
            sums_[j] = r.value() & mask_;
            if (++j == span) break;
            r.roll(p[j - 1], p[j - 1 + B], shift_);
        }
        const std::size_t batchStart = x;
        for (std::size_t j = 0; j < count; ++j) {
            const auto v0 = sums_[j];
            const auto v1 = pairs ? sums_[j + B] : 0;
            const auto hash = hashOf(v0, v1);
            const auto bit = hash >> filterShift;
            if (!(filter_[bit / 64] >> (bit % 64) & 1)) continue;
            x = batchStart + j;
            for (auto at = hash >> tableShift; table_[at].block != Slot::empty;
                 at = (at + 1) & tableMask) {
                if (table_[at].r0 != v0 || table_[at].r1 != v1) continue;
                const std::int64_t i = table_[at].block;
                const bool hasNext = pairs && i + 1 < n;
                if (sources_[i].seed >= 0 && (!hasNext || sources_[i + 1].seed >= 0)) continue;
                if (!confirm(i, buf + x, left(x))) continue;
                if (hasNext) {
                    // The successor's MD4 sits B further on; keep this one's.
                    auto saved = md4_;
                    auto savedAt = md4At_;
                    bool ok = confirm(i + 1, buf + x + B, left(x + B));
                    md4_ = saved;
                    md4At_ = savedAt;
                    if (!ok) continue;
                    mark(i + 1, seed, base + static_cast<std::int64_t>(x + B));
                }
                mark(i, seed, base + static_cast<std::int64_t>(x));
                next = hasNext ? i + 2 : i + 1;
            }
            if (next >= 0) break;
        }
        x = next >= 0 ? x + (pairs ? 2 * B : B) : batchStart + count;
    }
    return x;
}

std::int64_t SeedScanner::scanStream(int seed, const Reader& read, const std::stop_token& stop) {
    const std::size_t window = blockSize_ * static_cast<std::size_t>(control_.seqMatches);
    const std::size_t capacity = std::max(chunkBytes, 4 * window);
    // Room for one window of zeros past the end, so the last blocks can be
    // checked like any other.
    std::vector<std::uint8_t> buf(capacity + window + 1);
    const auto before = found_;
    std::int64_t base = 0; // seed offset of buf[0]
    std::size_t have = 0;
    bool end = false;
    while (!end) {
        platform::throwIfStopped(stop);
        while (have < capacity) {
            auto got = read(buf.data() + have, capacity - have);
            if (got == 0) {
                end = true;
                break;
            }
            have += got;
        }
        std::size_t resume;
        if (end) {
            std::fill(buf.begin() + static_cast<std::ptrdiff_t>(have), buf.end(), 0);
            resume = have == 0 ? 0 : scanRegion(seed, buf.data(), 0, have, have, base);
        } else {
            resume = scanRegion(seed, buf.data(), 0, have - window, have, base);
            std::memmove(buf.data(), buf.data() + resume, have - resume);
            base += static_cast<std::int64_t>(resume);
            have -= resume;
        }
    }
    return found_ - before;
}

std::int64_t SeedScanner::scan(int seed, std::span<const std::uint8_t> data) {
    std::size_t at = 0;
    return scanStream(seed,
                      [&](std::uint8_t* into, std::size_t max) {
                          auto n = std::min(max, data.size() - at);
                          std::memcpy(into, data.data() + at, n);
                          at += n;
                          return n;
                      },
                      {});
}

std::int64_t SeedScanner::scanFile(int seed, const std::filesystem::path& path,
                                   std::stop_token stop) {
    platform::UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd) return 0;
    return scanStream(
        seed,
        [&](std::uint8_t* into, std::size_t max) -> std::size_t {
            for (;;) {
                auto n = ::read(fd.get(), into, max);
                if (n >= 0) return static_cast<std::size_t>(n);
                if (errno != EINTR) return 0;
            }
        },
        stop);
}
