#pragma once

#include "pipeline/StatusText.h"

#include <QString>
#include <QStringList>

#include <functional>
#include <optional>

// The front-ends' language: which catalogue of the shared translation file
// speaks to the user. Adding a language is adding its .ts file; English is
// the source language and needs none.
namespace Translations {

// The user's preferred languages, most preferred first, from the variables
// gettext reads: LANGUAGE (a colon-separated list) unless the locale is C or
// POSIX, then the locale of LC_ALL, LC_MESSAGES or LANG. "zh_CN.UTF-8"
// becomes "zh-CN".
using EnvironmentLookup = std::function<std::optional<QString>(const char* name)>;
QStringList preferredLanguages(const EnvironmentLookup& lookup);
QStringList preferredLanguages(); // from the process environment

// Speaks the first of `languages` (English for none) from now on, replacing
// the language chosen before; needs the application object. Whether that
// language has a catalogue.
bool use(const QStringList& languages);

// The core's status sentences in the chosen language.
StatusText::Translate statusWords();

} // namespace Translations
