#pragma once

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

} // namespace platform
