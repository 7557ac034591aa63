#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

// One stretch of a file fetched over its own connection: [start, end), of
// which the first `done` bytes are written.
struct SegmentRange {
    std::int64_t start = 0;
    std::int64_t end = 0;
    std::int64_t done = 0;

    std::int64_t size() const { return end - start; }
    friend bool operator==(const SegmentRange&, const SegmentRange&) = default;
};

// The ranges of one segmented download and who works on which. Connections
// claim ranges; a connection without one takes over the second half of the
// largest range still in progress, so the end is not left to one slow
// connection. Safe from any thread.
class SegmentTable {
  public:
    // Up to `connections` ranges of nearly equal size, none below minRange
    // (one range when the file is smaller).
    static std::vector<SegmentRange> plan(std::int64_t total, std::size_t connections,
                                          std::int64_t minRange);

    // The ranges as written down: they must cover [0, total) in order.
    SegmentTable(std::int64_t total, std::vector<SegmentRange> ranges, std::int64_t minRange);

    // A range for a free connection: one nobody works on, else the second
    // half of the largest range in progress when both halves keep minRange,
    // else the part of the range that would end last at its connection's
    // pace that a connection as fast as the fastest one would finish at the
    // same time (all of it when its connection brings nothing), so that the
    // end never waits on one slow connection while others are free.
    std::optional<std::size_t> claim();
    bool hasClaimable() const;
    // The pace of every range's connection over the `seconds` since the last
    // sample. A range is timed from the first sample after its claim on, so a
    // connection still waiting for its first byte is not taken for a slow one.
    void samplePace(double seconds);
    // The range goes back to nobody (its connection stopped); what is written stays.
    void unclaim(std::size_t index);

    // Where the next bytes of a range go and how many of `size` still belong
    // to it (a range taken over in part ends earlier). Reserved until commit.
    struct Slice {
        std::int64_t offset = 0;
        std::int64_t count = 0;
    };
    Slice reserve(std::size_t index, std::int64_t size);
    void commit(std::size_t index, std::int64_t count);

    std::int64_t position(std::size_t index) const; // first byte not yet reserved
    std::int64_t end(std::size_t index) const;
    bool isFinished(std::size_t index) const;

    std::int64_t total() const { return total_; }
    std::int64_t doneBytes() const;
    bool isComplete() const;
    // Bytes from 0 that are written without a gap.
    std::int64_t contiguousPrefix() const;
    std::vector<SegmentRange> snapshot() const;

    // The ranges' record on disk, and back; nothing unless the ranges cover
    // [0, total) in order with every done count inside its range.
    static std::string encode(std::int64_t total, const std::vector<SegmentRange>& ranges);
    struct Decoded {
        std::int64_t total = 0;
        std::vector<SegmentRange> ranges;
    };
    static std::optional<Decoded> decode(const std::string& text);
    static bool coversInOrder(std::int64_t total, const std::vector<SegmentRange>& ranges);

  private:
    struct Entry {
        SegmentRange range;
        std::int64_t reserved = 0; // bytes from start handed out; >= range.done
        bool claimed = false;
        double pace = -1;             // bytes per second at the last sample; -1: none yet
        std::int64_t sampledDone = 0; // range.done at the last sample
        bool timed = false;           // sampled since it was claimed: the next sample is a pace
    };
    struct Split {
        std::size_t victim = 0;
        std::int64_t at = 0;
    };
    std::optional<Split> halfOfLargest() const;
    std::optional<Split> takeOverOfSlowest() const;
    std::size_t split(const Split& split);

    const std::int64_t total_;
    const std::int64_t minRange_;
    mutable std::mutex mutex_;
    std::vector<Entry> entries_; // in claim order; a stolen half is appended
};
