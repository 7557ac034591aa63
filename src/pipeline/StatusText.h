#pragma once

#include "pipeline/CorvelDownloadViewModel.h"

#include <cstdint>
#include <functional>
#include <string>

// The line under the progress bar, in the window and in the command line's
// bar: "1.2 GB / 3.4 GB · 18.5 MB/s · 2 min left" while downloading, the
// asset being installed (n of m) while installing. The figures come from the
// run; this only words them.
//
// The sentences are English sources; the front-ends hand in `Translate`,
// which looks one up in their catalogue, so both speak the same words from
// one translation file while the core stays free of any toolkit.
namespace StatusText {

// The catalogue context the sentences are filed under.
inline constexpr const char* context = "StatusText";

// Gives the user's wording of an English source sentence; placeholders are
// {fmt}'s "{}". An empty function words everything in English.
using Translate = std::function<std::string(const char* source)>;

// `source` in the user's words with `args` filled in; the English source when
// the translation's placeholders do not fit the arguments.
std::string worded(const Translate& translate, const char* source, std::int64_t a = 0,
                   std::int64_t b = 0);

// "45 s left", "2 min left", "1 h 5 min left" (minutes rounded up).
std::string timeLeft(std::int64_t seconds, const Translate& translate = {});

// Empty for a failure: its message is shown elsewhere.
std::string line(const CorvelDownloadViewModel::State& state, const Translate& translate = {});

} // namespace StatusText
