#include "download/SegmentTable.h"

#include <nlohmann/json.hpp>

#include <algorithm>
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
        entries_.push_back({range, range.done, false});
}

std::optional<std::size_t> SegmentTable::claim() {
    std::lock_guard lock(mutex_);
    for (std::size_t i = 0; i < entries_.size(); ++i) {
        Entry& entry = entries_[i];
        if (!entry.claimed && entry.range.done < entry.range.size()) {
            entry.claimed = true;
            return i;
        }
    }
    // Work stealing: the largest rest of a range in progress, split in two.
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
    Entry& entry = entries_[*victim];
    const std::int64_t middle = entry.range.start + entry.reserved + largest / 2;
    const std::int64_t end = entry.range.end;
    entry.range.end = middle;
    entries_.push_back({{middle, end, 0}, 0, true});
    return entries_.size() - 1;
}

bool SegmentTable::hasClaimable() const {
    std::lock_guard lock(mutex_);
    for (const Entry& entry : entries_) {
        if (!entry.claimed && entry.range.done < entry.range.size()) return true;
        if (entry.claimed && entry.range.size() - entry.reserved >= 2 * minRange_) return true;
    }
    return false;
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
        for (const Entry& entry : entries_)
            ranges.push_back(entry.range);
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
