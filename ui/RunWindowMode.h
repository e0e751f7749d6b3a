#pragma once
// Window mode of the program's start: the main window lives until it is closed.

#include <QString>

/// Creates and shows the main window (which fills itself from BackupFiles) and runs the event loop
/// until the window has been closed; returns the loop's exit code. The caller has created the
/// QApplication and holds the single-instance lock. sLoadProblem: why the stored list could not be
/// read, told to the user once the window is up.
int RunWindowMode(const QString& sLoadProblem);
