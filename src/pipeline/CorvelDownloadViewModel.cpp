#include "pipeline/PipelineRun.h"

#include "log/CorvelSetupLogger.h"
#include "platform/Cancellation.h"

#include <utility>

using State = CorvelDownloadViewModel::State;

namespace {

CorvelDownloadViewModel::Seams withDefaults(CorvelDownloadViewModel::Seams seams) {
    if (!seams.now) seams.now = [] { return std::chrono::steady_clock::now(); };
    if (!seams.sleep)
        seams.sleep = [](std::chrono::milliseconds duration, std::stop_token stop) {
            return platform::waitFor(duration, stop);
        };
    return seams;
}

} // namespace

std::optional<int> parseConnectionCount(std::string_view text) {
    if (text.empty() || text.size() > 4) return std::nullopt;
    int value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        value = value * 10 + (c - '0');
    }
    if (value < 1 || value > maxConnections) return std::nullopt;
    return value;
}

const char* stageName(const State& state) {
    static constexpr const char* names[] = {"downloading", "extracting", "failed", "success"};
    return names[state.index()];
}

CorvelDownloadViewModel::CorvelDownloadViewModel() : CorvelDownloadViewModel(Options{}) {}

CorvelDownloadViewModel::CorvelDownloadViewModel(Options options) : options_(std::move(options)) {
    options_.seams = withDefaults(std::move(options_.seams));
}

CorvelDownloadViewModel::~CorvelDownloadViewModel() {
    if (thread_.joinable()) {
        thread_.request_stop();
        thread_.join();
    }
}

void CorvelDownloadViewModel::addObserver(Observer observer) {
    observers_.push_back(std::move(observer));
}

bool CorvelDownloadViewModel::start() {
    std::lock_guard lock(mutex_);
    if (running_) return false;
    if (thread_.joinable()) thread_.join(); // the previous run has published its end
    running_ = true;
    pause_.resume(); // a new run starts moving, whatever the last one was left at
    thread_ = std::jthread([this](std::stop_token stop) {
        Run run{*this, stop, options_.seams, {}};
        run.execute();
        std::lock_guard done(mutex_);
        running_ = false;
        finished_.notify_all();
    });
    return true;
}

void CorvelDownloadViewModel::cancel() {
    std::lock_guard lock(mutex_);
    if (thread_.joinable()) thread_.request_stop();
}

bool CorvelDownloadViewModel::isRunning() const {
    std::lock_guard lock(mutex_);
    return running_;
}

void CorvelDownloadViewModel::wait() {
    std::unique_lock lock(mutex_);
    finished_.wait(lock, [this] { return !running_; });
}

State CorvelDownloadViewModel::state() const {
    std::lock_guard lock(mutex_);
    return state_;
}

void CorvelDownloadViewModel::publish(const State& given) {
    State state = given;
    const bool paused = pause_.paused();
    if (auto* d = std::get_if<Downloading>(&state)) {
        d->paused = paused;
        if (paused) { // nothing moves: no speed, no time left
            d->transfer.bytesPerSecond.reset();
            d->transfer.secondsLeft.reset();
        }
    } else if (auto* e = std::get_if<Extracting>(&state)) {
        e->paused = paused;
    }
    {
        std::lock_guard lock(mutex_);
        state_ = state;
    }
    // Registered before the run started and never changed while it runs.
    for (const auto& observer : observers_)
        observer(state);
}

void CorvelDownloadViewModel::pause() {
    if (!isRunning() || !pause_.pause()) return;
    log(LogLevel::info,
        "⏸ 已暂停：断开全部连接，已下载的部分保留在磁盘上");
    publish(state());
}

void CorvelDownloadViewModel::resume() {
    if (!pause_.resume()) return;
    log(LogLevel::info, "▶ 继续：从磁盘上已有的字节续传");
    publish(state());
}
