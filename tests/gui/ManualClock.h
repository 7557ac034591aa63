#pragma once

#include "Corvel/CorvelClock.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <utility>

// A clock the test moves by hand: advance() fires every due call in time order.
class ManualClock final : public CorvelClock {
  public:
    using ms = std::chrono::milliseconds;

    std::unique_ptr<CorvelTimer> after(ms delay, std::function<void()> fire) override {
        const std::uint64_t id = nextId_++;
        pending_.emplace(Key{now_ + delay, id}, std::move(fire));
        return std::make_unique<Handle>(*this, Key{now_ + delay, id});
    }

    void advance(ms by) {
        const ms target = now_ + by;
        while (!pending_.empty() && pending_.begin()->first.due <= target) {
            auto node = pending_.extract(pending_.begin());
            now_ = node.key().due;
            node.mapped()();
        }
        now_ = target;
    }

    std::size_t pendingCount() const { return pending_.size(); }

    ms now() const override { return now_; }

  private:
    struct Key {
        ms due;
        std::uint64_t id;
        bool operator<(const Key& other) const {
            return std::pair(due, id) < std::pair(other.due, other.id);
        }
    };
    class Handle final : public CorvelTimer {
      public:
        Handle(ManualClock& clock, Key key) : clock_(clock), key_(key) {}
        ~Handle() override { clock_.pending_.erase(key_); }

      private:
        ManualClock& clock_;
        Key key_;
    };

    ms now_{0};
    std::uint64_t nextId_ = 0;
    std::map<Key, std::function<void()>> pending_;
};
