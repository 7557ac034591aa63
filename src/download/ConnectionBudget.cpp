#include "download/ConnectionBudget.h"

#include <algorithm>

ConnectionBudget::ConnectionBudget(std::size_t connections)
    : capacity_(std::max<std::size_t>(connections, 1)) {}

bool ConnectionBudget::acquire(std::stop_token stop) {
    std::unique_lock lock(mutex_);
    ++waiting_;
    bool free = freed_.wait(lock, stop, [this] { return held_ < capacity_; });
    --waiting_;
    if (!free) return false;
    peak_ = std::max(peak_, ++held_);
    return true;
}

bool ConnectionBudget::tryAcquire() {
    std::lock_guard lock(mutex_);
    if (waiting_ > 0 || held_ >= capacity_) return false;
    peak_ = std::max(peak_, ++held_);
    return true;
}

void ConnectionBudget::release() {
    {
        std::lock_guard lock(mutex_);
        if (held_ > 0) --held_;
    }
    freed_.notify_all();
}

bool ConnectionBudget::hasWaiters() const {
    std::lock_guard lock(mutex_);
    return waiting_ > 0;
}

std::size_t ConnectionBudget::peak() const {
    std::lock_guard lock(mutex_);
    return peak_;
}
