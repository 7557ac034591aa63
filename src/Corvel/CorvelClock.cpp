#include "Corvel/CorvelClock.h"

#include <QTimer>

namespace {

class QtTimer final : public CorvelTimer {
  public:
    QtTimer(std::chrono::milliseconds delay, std::function<void()> fire) : timer_(new QTimer) {
        timer_->setSingleShot(true);
        timer_->setTimerType(Qt::PreciseTimer);
        QObject::connect(timer_, &QTimer::timeout, [this, fire = std::move(fire)] {
            firing_ = true;
            fire(); // may destroy this handle
        });
        timer_->start(delay);
    }

    ~QtTimer() override {
        // A handle dropped from its own callback must not delete the timer
        // that is still emitting.
        if (firing_) {
            timer_->disconnect();
            timer_->deleteLater();
        } else {
            delete timer_;
        }
    }

  private:
    QTimer* timer_;
    bool firing_ = false;
};

class QtClock final : public CorvelClock {
  public:
    std::unique_ptr<CorvelTimer> after(std::chrono::milliseconds delay,
                                       std::function<void()> fire) override {
        return std::make_unique<QtTimer>(delay, std::move(fire));
    }

    std::chrono::milliseconds now() const override {
        return std::chrono::duration_cast<std::chrono::milliseconds>(
            std::chrono::steady_clock::now().time_since_epoch());
    }
};

} // namespace

CorvelClock& CorvelClock::system() {
    static QtClock clock;
    return clock;
}
