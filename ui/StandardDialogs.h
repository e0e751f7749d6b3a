#pragma once
// Thin wrappers around the message box and the file dialog. Every form goes through them, so that
// a test can answer a modal dialog without a person ("next answer" hooks).

#include <QByteArray>
#include <QList>
#include <QMessageBox>
#include <QString>
#include <QStringList>
#include <functional>
#include <optional>

class QWidget;

namespace StandardDialogs {

/// The program's title, the caption of every message box.
inline const QString kProgramTitle = QStringLiteral("Sondrel");

enum class FileDialogResult { Accepted, Cancelled, Failed };

struct FileDialogRequest {
    QString title;
    QString initialFolder;
    QString fileName;       // pre-filled name field
    QString filter;         // Qt filter text, e.g. "ZIP-Dateien (*.zip);;Alle Dateien (*)"
    QString defaultSuffix;  // without dot
    bool confirmOverwrite = false;
};

/// Shows a save-kind file dialog (the chosen folder must exist). On Accepted, *chosenPath holds the
/// full path the user confirmed.
FileDialogResult RunSaveDialog(QWidget* parent, const FileDialogRequest& request,
                               QString* chosenPath);

/// Shows a folder picker (request.title, request.initialFolder); on Accepted, *chosenPath holds
/// the folder chosen. Answered by the file dialog hook while one is set.
FileDialogResult RunFolderDialog(QWidget* parent, const FileDialogRequest& request,
                                 QString* chosenPath);

/// Asks for a password (hidden input) in a box captioned with the program's title; the password
/// as UTF-8, nothing when the user cancelled. The text the box held is wiped.
std::optional<QByteArray> AskPassword(QWidget* parent, const QString& text);

/// Shows a message box captioned with the program's title and one OK button.
void ShowMessage(QWidget* parent, const QString& text, QMessageBox::Icon icon);

/// Shows a folder picker (request.title, request.initialFolder); on Accepted, *chosenPath holds
/// the folder chosen. Answered by the file dialog hook while one is set.
FileDialogResult RunFolderDialog(QWidget* parent, const FileDialogRequest& request,
                                 QString* chosenPath);

/// Asks for a password (hidden input) in a box captioned with the program's title; the password
/// as UTF-8, nothing when the user cancelled. The text the box held is wiped.
std::optional<QByteArray> AskPassword(QWidget* parent, const QString& text);

/// Shows a message box captioned with the program's title and one button per caption, from left
/// to right, the first the default and the last the answer to Escape and the close box; returns
/// the index of the button pressed.
int AskChoice(QWidget* parent, const QString& text, QMessageBox::Icon icon,
              const QStringList& buttons);

// Test hooks: while set, the hook answers instead of a real dialog. Reset with nullptr.
using FileDialogHook = std::function<FileDialogResult(const FileDialogRequest&, QString*)>;
using MessageHook =
    std::function<void(const QString& caption, const QString& text, QMessageBox::Icon icon)>;
/// Answers AskPassword: the text shown, the password given (nothing: cancelled).
using PasswordHook = std::function<std::optional<QString>(const QString& text)>;
void SetFileDialogHook(FileDialogHook hook);
void SetPasswordHook(PasswordHook hook);
void SetMessageHook(MessageHook hook);
/// While the message hook is set it sees each question too (icon Question), and the question is
/// answered with the next of these button indices; with none left, with the last button.
void SetNextAnswers(QList<int> answers);

}  // namespace StandardDialogs
