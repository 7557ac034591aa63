#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <stop_token>

// The user's pause of a run. A pause stops every transfer in flight (their
// token), so no connection stays open; the run's workers then wait until the
// user resumes and continue from the bytes on disk. Any thread may pause and
// resume.
class PauseControl {
  public:
    // Whether this call changed anything.
    bool pause();
    bool resume();
    bool paused() const;

    // Stops when a pause begins; a fresh one after each resume.
    std::stop_token transfers() const;

    // Returns at once when not paused; false when `stop` ended the wait.
    bool waitWhilePaused(std::stop_token stop) const;

    // Transfers in flight, so a pause can wait until every one has ended.
    void transferStarted();
    void transferEnded();
    // Whether none is in flight within `bound`.
    bool waitUntilIdle(std::chrono::milliseconds bound) const;

  private:
    int inFlight_ = 0;
    mutable std::mutex mutex_;
    mutable std::condition_variable_any changed_;
    bool paused_ = false;
    std::stop_source transfers_;
};
