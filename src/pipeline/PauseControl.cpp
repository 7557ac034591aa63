#include "pipeline/PauseControl.h"

bool PauseControl::pause() {
    std::lock_guard lock(mutex_);
    if (paused_) return false;
    paused_ = true;
    transfers_.request_stop();
    changed_.notify_all();
    return true;
}

bool PauseControl::resume() {
    std::lock_guard lock(mutex_);
    if (!paused_) return false;
    paused_ = false;
    transfers_ = std::stop_source();
    changed_.notify_all();
    return true;
}

bool PauseControl::paused() const {
    std::lock_guard lock(mutex_);
    return paused_;
}

std::stop_token PauseControl::transfers() const {
    std::lock_guard lock(mutex_);
    return transfers_.get_token();
}

void PauseControl::transferStarted() {
    std::lock_guard lock(mutex_);
    ++inFlight_;
}

void PauseControl::transferEnded() {
    std::lock_guard lock(mutex_);
    --inFlight_;
    changed_.notify_all();
}

bool PauseControl::waitUntilIdle(std::chrono::milliseconds bound) const {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, bound, [this] { return inFlight_ == 0; });
}

bool PauseControl::waitWhilePaused(std::stop_token stop) const {
    std::unique_lock lock(mutex_);
    return changed_.wait(lock, stop, [this] { return !paused_; });
}
