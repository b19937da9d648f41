#pragma once
// The client's start-up sequence and its steps. RunClient is the whole
// program (main.cpp only calls it); the steps are separate so that tests can
// run them on their own. GUI thread only.
#include <QString>

class QApplication;

// "--version" / "-v" prints "veilnox VERSION", "--help" / "-h" a short usage
// text, on standard output; returns the exit code (0) when one was given,
// -1 otherwise. Needs no application object and no display.
int AnswerInformationalOption(int argc, char** argv);

// Whether a display server can be reached, judged before any window
// system connection is tried: a platform chosen on the command line or in
// QT_QPA_PLATFORM is taken as given; otherwise DISPLAY or WAYLAND_DISPLAY
// must be set. On false, `why` gets a message for the user.
bool DisplayAvailable(int argc, char** argv, QString* why);

// Makes the parent folders of the rules file and, when the file is missing,
// copies the default rules into it. On a failed copy the run-time log gets
// "Generate rules.txt failed." and false is returned; start-up goes on.
bool SeedRulesFile(const QString& rulesPath, const QString& defaultRulesPath);

// Sets the application style sheet to the text of `qssPath` followed by the
// style sheet the application already had (unchanged when the file is
// missing or empty).
void ApplyStyleSheetFile(QApplication& app, const QString& qssPath);

// The whole program: returns the process exit code (-1 after waking a
// running instance, 1 when there is no display or the shared block cannot
// be created).
int RunClient(int argc, char** argv);
