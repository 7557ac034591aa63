#pragma once

#include "download/CacheSlot.h"
#include "download/SegmentTable.h"

#include <cstdint>
#include <filesystem>
#include <optional>
#include <vector>

// Where a segmented download keeps its bytes (payload.segmented) and the
// record of which ranges of them are written (segments.json), and what an
// earlier run left of both. The transfer that moves the bytes lives apart.
namespace SegmentedTransfer {

std::filesystem::path dataPath(const CacheSlot& slot);  // payload.segmented
std::filesystem::path statePath(const CacheSlot& slot); // segments.json

// The ranges an earlier run left, when they still fit the slot's metadata
// (same total, a validator) and their file, each as far as its bytes are
// really in the file; otherwise the leftovers are removed.
std::optional<SegmentTable::Decoded> load(const CacheSlot& slot,
                                          const std::optional<CacheMeta>& meta);

// Bytes a record claims must be data in the file, not holes (a power cut
// can leave the record without the bytes it counts): each range's written
// count shrinks to the data from its start. Returns the bytes taken back.
std::int64_t shrinkToData(const std::filesystem::path& file, std::vector<SegmentRange>& ranges);

// Removes the segmented file and its record.
void discard(const CacheSlot& slot);

// Removes the temporary files of range records that a kill cut short before
// their rename; returns how many.
int removeRecordTemporaries(const std::filesystem::path& slotDirectory);

// Replaces segments.json with these ranges: written under a temporary name,
// then renamed, so a kill leaves the old record or the new one. Throws
// filesystem_error.
void writeRecord(const CacheSlot& slot, std::int64_t total,
                 const std::vector<SegmentRange>& ranges);

// The segmented file, complete, becomes payload.part and its record goes.
void promoteToPart(const CacheSlot& slot);

} // namespace SegmentedTransfer
