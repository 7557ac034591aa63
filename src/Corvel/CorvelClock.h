#pragma once

#include <chrono>
#include <functional>
#include <memory>

// One pending call; destroying the handle cancels it.
class CorvelTimer {
  public:
    virtual ~CorvelTimer() = default;
};

// Where the views get their delays from (the carousel's dwell, the quit after
// success), so tests can run them on a clock they advance by hand.
class CorvelClock {
  public:
    virtual ~CorvelClock() = default;
    // Calls `fire` once on the GUI thread after `delay`, unless the returned
    // handle is destroyed first.
    virtual std::unique_ptr<CorvelTimer> after(std::chrono::milliseconds delay,
                                               std::function<void()> fire) = 0;

    // A monotonic reading, from an arbitrary origin.
    virtual std::chrono::milliseconds now() const = 0;

    // The event loop's timers.
    static CorvelClock& system();
};
