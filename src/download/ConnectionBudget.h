#pragma once

#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <stop_token>

// The connections one run may have open to the servers at once, shared by
// the downloads that run side by side. A download's first connection waits
// for a free one; further connections are taken only when free and nobody
// waits for a first one, and handed back between ranges when somebody does.
class ConnectionBudget {
  public:
    explicit ConnectionBudget(std::size_t connections);

    // Waits for a free connection; false when a stop came first.
    bool acquire(std::stop_token stop);
    // A free connection at once, unless a download waits for its first one.
    bool tryAcquire();
    void release();
    bool hasWaiters() const;

    std::size_t capacity() const { return capacity_; }
    // The most connections held at once so far.
    std::size_t peak() const;

  private:
    const std::size_t capacity_;
    mutable std::mutex mutex_;
    std::condition_variable_any freed_;
    std::size_t held_ = 0;
    std::size_t waiting_ = 0;
    std::size_t peak_ = 0;
};
