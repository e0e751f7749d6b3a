#pragma once
// Window mode of the program's start: the main window lives until it is closed.

#include "app/Main.h"

/// Creates and shows the main window (which fills itself from BackupFiles) and runs the event loop
/// until the window has been closed; returns the loop's exit code. The caller has created the
/// QApplication and holds the single-instance lock. What start says (a store moved aside, a list
/// that could not be read) is told once the window is up; a refusal is told without a window,
/// and the result is then 1.
int RunWindowMode(const modBackup::WindowStart& start);
