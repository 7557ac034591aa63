#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <optional>

namespace platform {

// Hands values from worker threads to one consumer in arrival order.
template <typename T> class BlockingQueue {
  public:
    void push(T value) {
        {
            std::lock_guard lock(mutex_);
            values_.push_back(std::move(value));
        }
        ready_.notify_one();
    }

    // Waits until a value is there.
    T pop() {
        std::unique_lock lock(mutex_);
        ready_.wait(lock, [this] { return !values_.empty(); });
        T value = std::move(values_.front());
        values_.pop_front();
        return value;
    }

    // Waits at most `bound`; nothing when no value came.
    template <typename Rep, typename Period>
    std::optional<T> popFor(std::chrono::duration<Rep, Period> bound) {
        std::unique_lock lock(mutex_);
        if (!ready_.wait_for(lock, bound, [this] { return !values_.empty(); })) return std::nullopt;
        T value = std::move(values_.front());
        values_.pop_front();
        return value;
    }

  private:
    std::mutex mutex_;
    std::condition_variable ready_;
    std::deque<T> values_;
};

} // namespace platform
