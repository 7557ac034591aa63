#pragma once

#include "pipeline/CorvelDownloadViewModel.h"
#include "pipeline/StatusText.h"

#include <optional>
#include <string>

// How the command line shows the published state.
namespace ProgressText {

// Whether standard error gets the bar redrawn in place: a terminal that can
// take escape sequences (TERM set, and not "dumb"). Others get plain lines.
bool drawsBar(bool stderrIsTerminal, const char* term);

// Whole percent of the overall progress, 0 to 100.
int percentOf(const CorvelDownloadViewModel::State& state);

// Columns a terminal gives UTF-8 text: wide (CJK, full-width) characters take two.
int columnsOf(const std::string& text);

// The one-line bar of a terminal, narrower than `width` columns so that it
// never wraps: "[#########.........]  42%  1.2 GB / 3.4 GB · 18.5 MB/s · 2 min left".
std::string barLine(const CorvelDownloadViewModel::State& state, int width,
                    const StatusText::Translate& translate);

// One line for a log file or pipe, or nothing when it would repeat or go
// back: `lastShown` is the state of the last line written. Within a stage
// each whole percent appears at most once and never lower than before.
std::optional<std::string> plainLine(const CorvelDownloadViewModel::State& state,
                                     const std::optional<CorvelDownloadViewModel::State>& lastShown,
                                     const StatusText::Translate& translate);

} // namespace ProgressText
