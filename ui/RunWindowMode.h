#pragma once
// Window mode of the program's start: the main window lives until it is closed.

/// Creates and shows the main window (which fills itself from BackupFiles) and runs the event loop
/// until the window has been closed; returns the loop's exit code. The caller has created the
/// QApplication.
int RunWindowMode();
