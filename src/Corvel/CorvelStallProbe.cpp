#include "Corvel/CorvelStallProbe.h"

#include <ctime>

namespace {
qint64 threadCpuNs() {
    timespec now{};
    ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return qint64(now.tv_sec) * 1000000000 + now.tv_nsec;
}
} // namespace

CorvelStallProbe::CorvelStallProbe(std::chrono::milliseconds period, QObject* parent)
    : QObject(parent), period_(period) {
    timer_.setTimerType(Qt::PreciseTimer);
    timer_.setInterval(period_);
    connect(&timer_, &QTimer::timeout, this, &CorvelStallProbe::tick);
}

void CorvelStallProbe::start() {
    clock_.start();
    lastNs_ = 0;
    lastCpuNs_ = threadCpuNs();
    timer_.start();
}

void CorvelStallProbe::tick() {
    const qint64 now = clock_.nsecsElapsed();
    const qint64 cpu = threadCpuNs();
    const qint64 late = now - lastNs_ - qint64(period_.count()) * 1000000;
    if (late > worstNs_) {
        worstNs_ = late;
        worstBusyNs_ = cpu - lastCpuNs_;
        worstAtNs_ = now;
    }
    lastNs_ = now;
    lastCpuNs_ = cpu;
    ++samples_;
}
