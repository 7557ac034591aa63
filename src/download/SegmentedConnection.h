#pragma once

// What the connections of one segmented transfer share, and the work of each;
// only the transfer itself includes this.

#include "download/SegmentedTransfer.h"
#include "platform/DomainError.h"
#include "platform/HttpClient.h"
#include "platform/UniqueFd.h"

#include <condition_variable>
#include <exception>
#include <mutex>
#include <optional>
#include <stop_token>
#include <string>
#include <thread>
#include <vector>

namespace SegmentedTransfer::detail {

// Thrown through a transfer that has brought its range to the end.
struct RangeDone {};
// Thrown by a range whose answer cannot be spliced into this file.
struct Fallback {
    std::string reason;
};
// A 416 whose probe shows another size: the ranges go, the download fails.
struct Inconsistent {
    DomainError error;
};

struct Transfer {
    Transfer(const CVTAVAsset& asset, const CacheSlot& slot, const Settings& settings,
             SegmentTable::Decoded state)
        : asset(asset), slot(slot), settings(settings),
          table(state.total, std::move(state.ranges), settings.minRange),
          health(settings.health ? *settings.health : ownHealth) {
        auto urls = settings.sources;
        if (urls.empty()) urls.push_back(asset.fetchSources().front().absoluteString());
        for (auto& url : urls)
            sources.push_back(Source{std::move(url), std::nullopt, 0, false});
    }

    // One place the ranges come from, under the mutex.
    struct Source {
        std::string url;
        std::optional<std::string> validator; // its version, once it named one
        std::size_t active = 0;               // connections of this transfer to it
        bool dropped = false;
    };

    const CVTAVAsset& asset;
    const CacheSlot& slot;
    const Settings& settings;
    SegmentTable table;
    SourceHealth ownHealth;
    SourceHealth& health;
    platform::UniqueFd file;
    std::stop_source stopWorkers;

    std::mutex mutex;
    std::condition_variable changed;
    std::vector<Source> sources;
    bool named = false; // the file's version is in the metadata: more connections may start
    bool event = false;
    std::exception_ptr failure;
    std::optional<std::string> fallback;
    std::optional<DomainError> inconsistent;
    std::mutex recordMutex; // one record at a time, each newer than the last
    std::size_t active = 0;
    bool primaryBusy = false;
    std::vector<std::jthread> workers;

    bool many() const { return sources.size() > 1; }
    std::string url(std::size_t source) {
        std::lock_guard lock(mutex);
        return sources[source].url;
    }
    void notify() {
        {
            std::lock_guard lock(mutex);
            event = true;
        }
        changed.notify_all();
    }

    // The caller holds the mutex.
    bool usable(std::size_t source) const {
        return !sources[source].dropped && !health.droppedReason(sources[source].url);
    }
    std::optional<std::size_t> pickSource(bool primary);
    void spawn(std::size_t index, bool primary, std::size_t source);
    void work(std::size_t index, bool primary, std::size_t source);
    bool giveUp(std::size_t source, const std::exception_ptr& error);
    void fetchRange(std::size_t index, std::size_t source);
    void attemptRange(std::size_t index, std::size_t source, std::stop_token stop);
    bool acceptHead(std::int64_t from, std::int64_t to, std::size_t source,
                    const platform::HttpResponseHead& head);
    void writeBody(std::size_t index, const char* data, std::size_t size);
    [[noreturn]] void probeAfter416(std::size_t source, std::stop_token stop);
    void checkpoint();
    void flushWritten();
    void logPlan();
};

} // namespace SegmentedTransfer::detail
