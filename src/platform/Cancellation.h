#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <stdexcept>
#include <stop_token>

namespace platform {

// Thrown when a stop was requested; only the run catches it.
class CancelledError : public std::runtime_error {
  public:
    CancelledError() : std::runtime_error("cancelled") {}
};

inline void throwIfStopped(const std::stop_token& token) {
    if (token.stop_requested()) throw CancelledError();
}

// Waits the duration, or less when a stop is requested; false after a stop.
inline bool waitFor(std::chrono::milliseconds duration, const std::stop_token& stop) {
    std::mutex mutex;
    std::condition_variable_any wake;
    std::unique_lock lock(mutex);
    wake.wait_for(lock, stop, duration, [] { return false; });
    return !stop.stop_requested();
}

} // namespace platform
