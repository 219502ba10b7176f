#pragma once
// The language the windows speak. Chinese is the source language: every window
// text is written in Chinese and wrapped in tr(), and the English catalogue
// (talvex_en.ts, compiled by lrelease into the program) replaces it when English
// is chosen. Qt's own dialog texts come from Qt's catalogues in either language.
#include <QString>

#include <functional>
#include <optional>

enum class TUiLanguage { Chinese, English };

// Reads one environment variable; an unset one gives an empty string.
using TEnvironmentLookup = std::function<QString(const char *name)>;

// The UI language the environment asks for, read as gettext reads it: the locale
// is the first of LC_ALL, LC_MESSAGES and LANG that is set; a C or POSIX locale
// (or none) means the source language, and LANGUAGE is then passed over.
// Otherwise the entries of LANGUAGE are walked in order and the first in a
// language the program speaks decides; without one the locale's language does.
// English for an English language, Chinese for every other.
TUiLanguage LanguageFromEnvironment(const TEnvironmentLookup &lookup);
// The same from the process's environment.
TUiLanguage LanguageFromEnvironment();

// "zh" or "en" as --lang takes it (any case); nothing for other words.
std::optional<TUiLanguage> LanguageFromName(const QString &name);

// Installs the catalogues of `language` into the running application: the
// program's English one, and Qt's own (button texts of message boxes, the
// context menus of edits). Call before any window is made. False when a
// catalogue the language needs could not be loaded.
bool InstallLanguage(TUiLanguage language);
