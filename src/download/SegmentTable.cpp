#include "download/SegmentTable.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <limits>
#include <stdexcept>

using nlohmann::json;

std::vector<SegmentRange> SegmentTable::plan(std::int64_t total, std::size_t connections,
                                             std::int64_t minRange) {
    std::vector<SegmentRange> ranges;
    if (total < 1) return ranges;
    const std::int64_t fit = std::max<std::int64_t>(1, total / std::max<std::int64_t>(minRange, 1));
    const std::int64_t count = std::min<std::int64_t>(
        fit, static_cast<std::int64_t>(std::max<std::size_t>(connections, 1)));
    // The remainder goes one byte each to the first ranges.
    const std::int64_t base = total / count, extra = total % count;
    std::int64_t start = 0;
    for (std::int64_t i = 0; i < count; ++i) {
        const std::int64_t size = base + (i < extra ? 1 : 0);
        ranges.push_back({start, start + size, 0});
        start += size;
    }
    return ranges;
}

SegmentTable::SegmentTable(std::int64_t total, std::vector<SegmentRange> ranges,
                           std::int64_t minRange)
    : total_(total), minRange_(std::max<std::int64_t>(minRange, 1)) {
    if (!coversInOrder(total, ranges)) throw std::invalid_argument("ranges do not cover the file");
    for (const auto& range : ranges)
        entries_.push_back({range, range.done, false, -1, range.done, false});
}

namespace {

// A range its connection ends sooner than this is left to it: taking it over
// costs a request and the bytes the old connection has in flight.
constexpr double takeOverAfterSeconds = 2.0;
// Smaller pieces of a range that still moves are not worth a connection.
constexpr std::int64_t smallestTakeOver = 16 << 10;

} // namespace

std::optional<SegmentTable::Split> SegmentTable::halfOfLargest() const {
    std::optional<std::size_t> victim;
    std::int64_t largest = 0;
    for (std::size_t i = 0; i < entries_.size(); ++i) {
        const Entry& entry = entries_[i];
        const std::int64_t rest = entry.range.size() - entry.reserved;
        if (entry.claimed && rest > largest) {
            largest = rest;
            victim = i;
        }
    }
    if (!victim || largest < 2 * minRange_) return std::nullopt;
    const Entry& entry = entries_[*victim];
    return Split{*victim, entry.range.start + entry.reserved + largest / 2};
}

std::optional<SegmentTable::Split> SegmentTable::takeOverOfSlowest() const {
    double fastest = 0;
    for (const Entry& entry : entries_)
        fastest = std::max(fastest, entry.pace);
    if (fastest <= 0) return std::nullopt;
    std::optional<std::size_t> victim;
    double latest = takeOverAfterSeconds;
    for (std::size_t i = 0; i < entries_.size(); ++i) {
        const Entry& entry = entries_[i];
        const auto rest = static_cast<double>(entry.range.size() - entry.reserved);
        if (!entry.claimed || entry.pace < 0 || rest <= 0) continue;
        const double finish =
            entry.pace > 0 ? rest / entry.pace : std::numeric_limits<double>::infinity();
        if (finish > latest) {
            latest = finish;
            victim = i;
        }
    }
    if (!victim) return std::nullopt;
    const Entry& entry = entries_[*victim];
    const std::int64_t from = entry.range.start + entry.reserved;
    const std::int64_t rest = entry.range.end - from;
    // Both connections end together: the old one keeps its share of the pace.
    const auto keep =
        static_cast<std::int64_t>(static_cast<double>(rest) * entry.pace / (entry.pace + fastest));
    if (keep > 0 && rest - keep < smallestTakeOver) return std::nullopt;
    return Split{*victim, from + keep};
}

std::size_t SegmentTable::split(const Split& split) {
    Entry& entry = entries_[split.victim];
    const std::int64_t end = entry.range.end;
    entry.range.end = split.at;
    entries_.push_back({{split.at, end, 0}, 0, true});
    return entries_.size() - 1;
}

std::optional<std::size_t> SegmentTable::claim() {
    std::lock_guard lock(mutex_);
    for (std::size_t i = 0; i < entries_.size(); ++i) {
        Entry& entry = entries_[i];
        if (!entry.claimed && entry.range.done < entry.range.size()) {
            entry.claimed = true;
            entry.timed = false;
            entry.pace = -1;
            return i;
        }
    }
    if (auto half = halfOfLargest()) return split(*half);
    if (auto rest = takeOverOfSlowest()) return split(*rest);
    return std::nullopt;
}

bool SegmentTable::hasClaimable() const {
    std::lock_guard lock(mutex_);
    for (const Entry& entry : entries_)
        if (!entry.claimed && entry.range.done < entry.range.size()) return true;
    return halfOfLargest() || takeOverOfSlowest();
}

void SegmentTable::samplePace(double seconds) {
    if (seconds <= 0) return;
    std::lock_guard lock(mutex_);
    for (Entry& entry : entries_) {
        const double pace = static_cast<double>(entry.range.done - entry.sampledDone) / seconds;
        if (entry.claimed && entry.range.done < entry.range.size()) {
            if (entry.timed) entry.pace = pace;
            entry.timed = true;
        } else if (pace > 0) {
            // Finished within this sample: its connection was at least this fast,
            // even when it began within it. It keeps that pace afterwards.
            entry.pace = std::max(entry.pace, pace);
        }
        entry.sampledDone = entry.range.done;
    }
}

void SegmentTable::unclaim(std::size_t index) {
    std::lock_guard lock(mutex_);
    Entry& entry = entries_.at(index);
    entry.claimed = false;
    entry.reserved = entry.range.done;
}

SegmentTable::Slice SegmentTable::reserve(std::size_t index, std::int64_t size) {
    std::lock_guard lock(mutex_);
    Entry& entry = entries_.at(index);
    Slice slice{entry.range.start + entry.reserved,
                std::clamp<std::int64_t>(entry.range.size() - entry.reserved, 0, size)};
    entry.reserved += slice.count;
    return slice;
}

void SegmentTable::commit(std::size_t index, std::int64_t count) {
    std::lock_guard lock(mutex_);
    Entry& entry = entries_.at(index);
    entry.range.done = std::min(entry.range.done + count, entry.reserved);
}

std::int64_t SegmentTable::position(std::size_t index) const {
    std::lock_guard lock(mutex_);
    const Entry& entry = entries_.at(index);
    return entry.range.start + entry.reserved;
}

std::int64_t SegmentTable::end(std::size_t index) const {
    std::lock_guard lock(mutex_);
    return entries_.at(index).range.end;
}

bool SegmentTable::isFinished(std::size_t index) const {
    std::lock_guard lock(mutex_);
    const Entry& entry = entries_.at(index);
    return entry.range.done >= entry.range.size();
}

std::int64_t SegmentTable::doneBytes() const {
    std::lock_guard lock(mutex_);
    std::int64_t sum = 0;
    for (const Entry& entry : entries_)
        sum += entry.range.done;
    return sum;
}

bool SegmentTable::isComplete() const {
    return doneBytes() == total_;
}

std::vector<SegmentRange> SegmentTable::snapshot() const {
    std::vector<SegmentRange> ranges;
    {
        std::lock_guard lock(mutex_);
        // A range taken over whole before its first byte is empty and goes.
        for (const Entry& entry : entries_)
            if (entry.range.size() > 0) ranges.push_back(entry.range);
    }
    std::sort(ranges.begin(), ranges.end(),
              [](const SegmentRange& a, const SegmentRange& b) { return a.start < b.start; });
    return ranges;
}

std::int64_t SegmentTable::contiguousPrefix() const {
    std::int64_t prefix = 0;
    for (const SegmentRange& range : snapshot()) {
        if (range.start != prefix) break;
        prefix += range.done;
        if (range.done < range.size()) break;
    }
    return prefix;
}

bool SegmentTable::coversInOrder(std::int64_t total, const std::vector<SegmentRange>& ranges) {
    if (total < 1 || ranges.empty()) return false;
    std::int64_t next = 0;
    for (const SegmentRange& range : ranges) {
        if (range.start != next || range.end <= range.start || range.done < 0 ||
            range.done > range.size())
            return false;
        next = range.end;
    }
    return next == total;
}

std::string SegmentTable::encode(std::int64_t total, const std::vector<SegmentRange>& ranges) {
    json list = json::array();
    for (const SegmentRange& range : ranges)
        list.push_back(json::array({range.start, range.end, range.done}));
    return json{{"totalBytes", total}, {"ranges", list}}.dump();
}

std::optional<SegmentTable::Decoded> SegmentTable::decode(const std::string& text) {
    json object = json::parse(text, nullptr, false);
    if (object.is_discarded() || !object.is_object()) return std::nullopt;
    auto total = object.find("totalBytes");
    auto list = object.find("ranges");
    if (total == object.end() || !total->is_number_integer() || list == object.end() ||
        !list->is_array())
        return std::nullopt;
    Decoded decoded;
    decoded.total = total->get<std::int64_t>();
    for (const json& item : *list) {
        if (!item.is_array() || item.size() != 3) return std::nullopt;
        for (const json& number : item)
            if (!number.is_number_integer()) return std::nullopt;
        decoded.ranges.push_back({item[0].get<std::int64_t>(), item[1].get<std::int64_t>(),
                                  item[2].get<std::int64_t>()});
    }
    if (!coversInOrder(decoded.total, decoded.ranges)) return std::nullopt;
    return decoded;
}
