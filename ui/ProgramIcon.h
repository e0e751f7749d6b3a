#pragma once
// The program's own icon, an archive box with an arrow into it: for the main window, the dialogs
// and the about dialog's picture. The same drawing is installed for the desktop's menu.

#include <QIcon>

/// The icon at 48 and 256 pixels (Qt scales for other sizes). Needs a QGuiApplication.
QIcon ProgramIcon();
