#pragma once

#include "pipeline/CorvelDownloadViewModel.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

// The line under the progress bar, in the window and in the command line's
// bar: "1.2 GB / 3.4 GB · 18.5 MB/s · 2 min left" while downloading, the
// asset being installed (n of m) while installing. The figures come from the
// run; this only words them.
namespace StatusText {

enum class Language { chinese, english };

using EnvironmentLookup = std::function<std::optional<std::string>(const char* name)>;

// Chinese when the first preferred language is a Chinese one, else English;
// the preference comes from LANGUAGE, LC_ALL, LC_MESSAGES and LANG, as the
// failure view reads it (a C or POSIX locale means English).
Language languageFromEnvironment(const EnvironmentLookup& lookup);
Language languageFromEnvironment(); // the process environment

// "45 s left", "2 min left", "1 h 5 min left" (minutes rounded up).
std::string timeLeft(std::int64_t seconds, Language language);

// Empty for a failure: its message is shown elsewhere.
std::string line(const CorvelDownloadViewModel::State& state, Language language);

} // namespace StatusText
