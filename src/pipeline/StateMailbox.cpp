#include "pipeline/StateMailbox.h"

bool StateMailbox::post(const State& state) {
    std::lock_guard lock(mutex_);
    bool wasEmpty = pending_.empty();
    if (!wasEmpty && pending_.back().index() == state.index())
        pending_.back() = state;
    else
        pending_.push_back(state);
    return wasEmpty;
}

std::vector<StateMailbox::State> StateMailbox::take() {
    std::lock_guard lock(mutex_);
    std::vector<State> taken;
    taken.swap(pending_);
    return taken;
}
