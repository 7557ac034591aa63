#pragma once

// The run's own members, shared by the files that carry out its steps and the
// one that moves the progress while they take time. Not for front-ends.

#include "manifest/CorvelRemoteManifest.h"
#include "pipeline/CorvelDownloadViewModel.h"
#include "pipeline/ProgressAccounting.h"
#include "pipeline/SetupPlan.h"

#include <exception>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

// Whether the error is the run being stopped rather than something failing.
bool isCancellation(const std::exception_ptr& error);

// One pipeline run on its own thread; it owns the progress members.
struct CorvelDownloadViewModel::Run {
    CorvelDownloadViewModel& owner;
    std::stop_token stop;
    Seams seams;
    ProgressAccounting progress;

    void publish(const State& state) { owner.publish(state); }
    const Options& options() const { return owner.options_; }

    // The steps, in the order runSteps takes them.
    void execute();
    void runSteps();
    CorvelRemoteManifest::ManifestTrust manifestTrust() const;
    void settle(const SetupPlan::Plan& plan);
    void keepSigningTime(std::optional<std::int64_t> signedAt);
    void verify(const std::vector<AssetResult>& results,
                const std::vector<std::optional<std::string>>& digests);
    void installAll(const std::vector<AssetResult>& results);
    std::filesystem::path installOne(const AssetResult& result);
    void removeArchive(const AssetResult& result);
    void pruneCache(const std::vector<CVTAVAsset>& assets);
    void launch();

    // What keeps the window moving while the steps take their time.
    void showInitialProgress(const SetupPlan::Plan& plan);
    std::vector<AssetResult> downloadAll(const std::vector<CVTAVAsset>& plan,
                                         std::vector<std::optional<std::string>>& digests);
    // Runs `install` on a worker and publishes the smoother's value between
    // slices of waiting, from `start` over `span` of the bar.
    std::filesystem::path installWithProgress(const std::function<std::filesystem::path()>& install,
                                              const Extracting& start, double span,
                                              double estimateSeconds);
};
