#include "Corvel/CorvelStallProbe.h"

CorvelStallProbe::CorvelStallProbe(std::chrono::milliseconds period, QObject* parent)
    : QObject(parent), period_(period) {
    timer_.setTimerType(Qt::PreciseTimer);
    timer_.setInterval(period_);
    connect(&timer_, &QTimer::timeout, this, &CorvelStallProbe::tick);
}

void CorvelStallProbe::start() {
    clock_.start();
    lastNs_ = 0;
    timer_.start();
}

void CorvelStallProbe::tick() {
    const qint64 now = clock_.nsecsElapsed();
    const qint64 late = now - lastNs_ - qint64(period_.count()) * 1000000;
    if (late > worstNs_) {
        worstNs_ = late;
        worstAtNs_ = now;
    }
    lastNs_ = now;
    ++samples_;
}
