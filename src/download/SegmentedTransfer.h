#pragma once

#include "download/CacheSlot.h"
#include "download/ConnectionBudget.h"
#include "download/SegmentRecord.h"
#include "download/SegmentTable.h"
#include "download/SourcePool.h"
#include "types/ByteOrigin.h"
#include "types/CVTAVAsset.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <stop_token>
#include <string>
#include <vector>

// One asset fetched in ranges over several connections into a file of its
// own beside the part file (payload.segmented), with the ranges' progress in
// segments.json. The record is written only after the bytes it counts, so a
// kill loses progress at worst and never claims bytes that are not there.
// When every range is written the file becomes payload.part.
namespace SegmentedTransfer {

struct Settings {
    // Where the ranges come from, best first; empty: the asset's first source.
    // Several (for a file whose digest checks the joined bytes): ranges come
    // from all of them at once, at most SourceHealth::connectionsPerHost to a
    // host, and one that fails is given up while the others take its ranges.
    std::vector<std::string> sources;
    SourceHealth* health = nullptr;     // the run's; none: this transfer's own
    bool anotherSource = false;         // an unreachable source fails at once: the next one waits
    std::size_t connections = 8;        // of this download at most
    std::int64_t minRange = 4 << 20;    // no range is split below this
    ConnectionBudget* budget = nullptr; // further connections come from here
    std::chrono::seconds idleLimit{60}; // no byte for this long: timed out
    std::chrono::milliseconds transferLimit{std::chrono::hours(4)};
    std::function<bool(std::chrono::seconds, std::stop_token)> pause; // between a range's attempts
    // Signed deltas, on the calling thread; bytes the table holds when the
    // transfer starts are the caller's to report.
    std::function<void(std::int64_t, ByteOrigin)> onProgress;
    // Every byte of the file once, in order, on the calling thread (for the digest).
    std::function<void(std::int64_t, const char*, std::size_t)> onOrderedBytes;
};

// How the ranges ended: the file complete as payload.part, or a reason to
// drop them all and fetch the file over one connection from zero.
struct Outcome {
    bool complete = false;
    std::string fallbackReason;
    std::int64_t discardedBytes = 0; // written by the ranges, then dropped for the fallback
};

// Fetches every range that is not written yet.
//
// The table may come with ranges already done that no earlier run of this
// transfer wrote, such as blocks copied from an older copy of the file into
// dataPath(slot): give run() the whole file as ranges in order, each done
// range with done == its size and each missing stretch as a range of its
// own (neighbouring missing blocks joined into one range), after writing
// them down with writeRecord() and meta.json with the total and validator.
// CorvelResumableDownloader::download then resumes that slot like one of its
// own: the done bytes are reported as ByteOrigin::foundOnDisk, the missing
// ranges go through the same connections and budget, and a kill resumes them
// from the record. (Calling run() directly, the caller reports the done bytes.) `version` is the
// metadata the ranges on disk were written under: its validator goes as If-Range with every range
// to its source. Without one (a fresh download, or ranges from a source not listed) the first
// range's answer names the version before further connections start, and the metadata is written
// from that answer. Every other source's first answer must agree on the size and names the
// validator sent to that source from then on. Throws like
// the downloader does: DomainError / TransportError / filesystem_error, CancelledError after a
// stop. Ranges discarded for a fallback are taken back from the progress.
Outcome run(const CVTAVAsset& asset, const CacheSlot& slot, SegmentTable::Decoded state,
            std::optional<CacheMeta> version, const Settings& settings, std::stop_token stop);

} // namespace SegmentedTransfer
