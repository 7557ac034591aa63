#pragma once

#include "pipeline/CorvelDownloadViewModel.h"

#include <chrono>
#include <mutex>
#include <vector>

// Carries published states from the run thread to a front-end that redraws at
// a bounded rate. A value of the same stage as the newest pending one replaces
// it (a byte delta per network chunk would otherwise queue tens of thousands of
// redraws a second); a change of stage is queued behind it, so no stage and
// never the final state is lost.
class StateMailbox {
  public:
    using State = CorvelDownloadViewModel::State;

    // At most about 20 redraws a second.
    static constexpr std::chrono::milliseconds redrawInterval{50};

    // Thread-safe. True when the mailbox was empty, so the consumer needs waking.
    bool post(const State& state);

    // Everything pending, oldest first; empty when nothing changed.
    std::vector<State> take();

  private:
    std::mutex mutex_;
    std::vector<State> pending_;
};
