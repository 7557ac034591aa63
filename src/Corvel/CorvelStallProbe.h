#pragma once

#include <QElapsedTimer>
#include <QObject>
#include <QTimer>

#include <chrono>

// Measures how late the GUI thread serves a short repeating timer: the worst
// lateness seen is the longest the window could not react to input. Beside
// it, the CPU time the GUI thread itself spent in that interval tells its
// own work apart from waiting for a processor on a busy machine.
class CorvelStallProbe : public QObject {
    Q_OBJECT
  public:
    explicit CorvelStallProbe(std::chrono::milliseconds period = std::chrono::milliseconds(10),
                              QObject* parent = nullptr);

    void start();
    std::chrono::microseconds worstStall() const {
        return std::chrono::microseconds(worstNs_ / 1000);
    }
    // The GUI thread's own CPU time within the worst interval.
    std::chrono::microseconds worstStallBusy() const {
        return std::chrono::microseconds(worstBusyNs_ / 1000);
    }
    // When the worst stall ended, counted from start().
    std::chrono::milliseconds worstAt() const {
        return std::chrono::milliseconds(worstAtNs_ / 1000000);
    }
    int samples() const { return samples_; }

  private:
    void tick();

    std::chrono::milliseconds period_;
    QTimer timer_;
    QElapsedTimer clock_;
    qint64 lastNs_ = 0;
    qint64 lastCpuNs_ = 0;
    qint64 worstNs_ = 0;
    qint64 worstBusyNs_ = 0;
    qint64 worstAtNs_ = 0;
    int samples_ = 0;
};
