#pragma once
// The program's command line: --help and --version, answered before any window
// exists so that both work on a machine without a display.
#include "translations/Language.h"

#include <QString>

#include <optional>

class QCoreApplication;

// Names the application: "talvex" and its version.
void NameApplication();

// Chooses Qt's own event loop over GLib's, unless the environment has chosen
// (QT_NO_GLIB). Called before the application object exists. The main window
// wakes some thirty times a second while it polls, and each wake-up costs less
// without GLib's layers; nothing in the program needs GLib's loop.
void PreferQtEventLoop();

// When the command line asks for help or the version, prints it and returns the
// exit status; otherwise returns nothing and the windows start.
std::optional<int> AnswerWithoutWindows(int argc, char *argv[]);

// Checks the options again once the GUI application has taken its own (-platform,
// -style ...): an unknown one ends the program with Qt's message and status 1.
void CheckRemainingOptions(const QCoreApplication &app);

// The language of the windows: --lang zh|en, or the user's UI language without
// it. Any other --lang value ends the program with a message and status 1.
TUiLanguage ChosenLanguage(const QCoreApplication &app);

// "firmware image: N bytes, ..." for --version: what the update would write.
QString CarriedFirmwareSummary();
