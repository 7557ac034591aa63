#pragma once

#include "pipeline/CorvelDownloadViewModel.h"

#include <optional>
#include <string>

// How the command line shows the published state.
namespace ProgressText {

// Whole percent of the overall progress, 0 to 100.
int percentOf(const CorvelDownloadViewModel::State& state);

// The one-line bar of a terminal, at most `width` columns wide:
// "[#########.........]  42%  1.2 GB / 3.4 GB  3 assets  下载中".
std::string barLine(const CorvelDownloadViewModel::State& state, int width);

// One line for a log file or pipe, or nothing when neither the stage nor the
// whole percent changed since `previous`.
std::optional<std::string> plainLine(const CorvelDownloadViewModel::State& state,
                                     const std::optional<CorvelDownloadViewModel::State>& previous);

} // namespace ProgressText
