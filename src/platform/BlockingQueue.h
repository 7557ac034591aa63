#pragma once

#include <condition_variable>
#include <deque>
#include <mutex>

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

  private:
    std::mutex mutex_;
    std::condition_variable ready_;
    std::deque<T> values_;
};

} // namespace platform
