#pragma once

#include "manifest/ManifestSignature.h"
#include "sources/MirrorRules.h"
#include "types/CVTAVAsset.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <stop_token>

#include "pipeline/PauseControl.h"
#include <string>
#include <string_view>
#include <thread>
#include <variant>
#include <vector>

// What a status line shows while downloading: the bytes of the planned
// assets only (skipped ones are in neither figure), the recent speed and,
// once it means something, the time left.
struct TransferFigures {
    std::int64_t doneBytes = 0; // never above totalBytes
    std::int64_t totalBytes = 0;
    std::optional<double> bytesPerSecond;
    std::optional<std::int64_t> secondsLeft;
    friend bool operator==(const TransferFigures&, const TransferFigures&) = default;
};

// Runs one setup from the first check to the launch of the installed
// application and publishes what the window shows. The run has a thread of its
// own; every change of the state and of the progress members happens there.
class CorvelDownloadViewModel {
  public:
    using Transfer = TransferFigures;
    struct Downloading {
        double overallProgress = 0;
        std::string currentAsset; // "<planned count> assets" while downloading
        std::int64_t currentBytes = 0;
        std::int64_t totalBytes = 0;
        Transfer transfer = {};
        bool paused = false; // by the user; nothing moves until resumed
        friend bool operator==(const Downloading&, const Downloading&) = default;
    };
    struct Extracting {
        double overallProgress = 0;
        std::string currentAsset;
        int stepIndex = 1; // 1-based
        int stepTotal = 1;
        bool paused = false; // the next asset waits until resumed
        friend bool operator==(const Extracting&, const Extracting&) = default;
    };
    struct Failed {
        std::string message;
        friend bool operator==(const Failed&, const Failed&) = default;
    };
    struct Success {
        friend bool operator==(const Success&, const Success&) = default;
    };
    using State = std::variant<Downloading, Extracting, Failed, Success>;

    // Called on the run thread for every assignment of the state, in order.
    // Observers must return quickly; front-ends hand the value to a StateMailbox.
    using Observer = std::function<void(const State&)>;

    // The seams that tests control; the defaults are the real clock, a uniform
    // random source and a wait that wakes on a stop.
    struct Seams {
        std::function<std::chrono::steady_clock::time_point()> now;
        // A uniformly distributed double in [0.06, 0.94].
        std::function<double()> riseFraction;
        // Waits the duration; false at once when a stop is requested.
        std::function<bool(std::chrono::milliseconds, std::stop_token)> sleep;
    };

    struct Options {
        bool launchApplication = true; // false: the final launch is skipped with an INFO line
        // The slow rise to a head start is for a window's eyes; a front-end
        // without one shows the target at once and starts downloading.
        bool pacedRise = true;
        // Connections open to the servers at once for the whole run; large
        // files are fetched in ranges over several. 1: one per download, as
        // ever (two downloads run side by side either way).
        int connections = 8;
        Seams seams;
        // Keys that may sign the manifest, from the command line; when any is
        // given they replace every other source of keys (ManifestKeys).
        std::vector<ManifestSignature::PublicKey> manifestKeys;
        // The system key file; empty: ManifestKeys::systemKeyFile().
        std::filesystem::path systemKeyFile;
        // Where the user would rather have the manifest and the assets from.
        std::vector<MirrorRules::Rule> mirrors;
        // A repair: exactly the assets of these URLs are installed again,
        // whatever the record says, and every other asset is left alone.
        std::vector<std::string> repairUrls;
    };

    CorvelDownloadViewModel();
    explicit CorvelDownloadViewModel(Options options);
    // Stops and joins a run in progress.
    ~CorvelDownloadViewModel();

    CorvelDownloadViewModel(const CorvelDownloadViewModel&) = delete;
    CorvelDownloadViewModel& operator=(const CorvelDownloadViewModel&) = delete;

    // Registers an observer; only before the first start(), as the run reads
    // the list without a lock.
    void addObserver(Observer observer);

    // Starts a run unless one exists. Returns whether it started one.
    bool start();

    // Asks the run to stop; it ends as cancelled ("已取消") soon after.
    void cancel();

    // Pauses the run: transfers stop and close their connections, an asset
    // being installed finishes first. Resuming continues every download from
    // its bytes on disk. The published state says paused meanwhile. Any thread.
    void pause();
    void resume();
    bool isPaused() const { return pause_.paused(); }
    // Whether every transfer has closed its connection within `bound`.
    bool waitUntilTransfersEnd(std::chrono::milliseconds bound) const {
        return pause_.waitUntilIdle(bound);
    }

    // True from start() until the run has published its last state.
    bool isRunning() const;

    // Blocks until the current run (if any) has ended.
    void wait();

    // The latest published state; safe from any thread.
    State state() const;

  private:
    struct Run;
    void publish(const State& state);

    Options options_;
    PauseControl pause_;
    std::vector<Observer> observers_;
    mutable std::mutex mutex_;
    State state_ = Downloading{};
    bool running_ = false;
    std::condition_variable finished_;
    std::jthread thread_;
};

// A --connections value of either front-end: decimal digits only, 1 to 64
// ("010" is ten; "0x10", "+8", " 8" are nothing), so both read it alike.
inline constexpr int maxConnections = 64;
std::optional<int> parseConnectionCount(std::string_view text);

// "downloading", "extracting", "failed" or "success".
const char* stageName(const CorvelDownloadViewModel::State& state);
