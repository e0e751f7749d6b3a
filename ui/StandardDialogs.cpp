#include "ui/StandardDialogs.h"

#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QInputDialog>
#include <QLineEdit>
#include <QPushButton>

#include "app/WipeText.h"

namespace StandardDialogs {
namespace {
FileDialogHook& fileDialogHook() {
    static FileDialogHook hook;
    return hook;
}
MessageHook& messageHook() {
    static MessageHook hook;
    return hook;
}
PasswordHook& passwordHook() {
    static PasswordHook hook;
    return hook;
}
QList<int>& nextAnswers() {
    static QList<int> answers;
    return answers;
}
}  // namespace

void SetFileDialogHook(FileDialogHook hook) {
    fileDialogHook() = std::move(hook);
}
void SetPasswordHook(PasswordHook hook) {
    passwordHook() = std::move(hook);
}
void SetMessageHook(MessageHook hook) {
    messageHook() = std::move(hook);
}
void SetNextAnswers(QList<int> answers) {
    nextAnswers() = std::move(answers);
}

FileDialogResult RunSaveDialog(QWidget* parent, const FileDialogRequest& request,
                               QString* chosenPath) {
    if (fileDialogHook()) {
        return fileDialogHook()(request, chosenPath);
    }
    QFileDialog dialog(parent, request.title);
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    dialog.setFileMode(QFileDialog::AnyFile);
    dialog.setOption(QFileDialog::DontConfirmOverwrite, !request.confirmOverwrite);
    if (!request.filter.isEmpty()) {
        dialog.setNameFilter(request.filter);
    }
    if (!request.defaultSuffix.isEmpty()) {
        dialog.setDefaultSuffix(request.defaultSuffix);
    }
    QString folder = request.initialFolder;
    if (folder.isEmpty() || !QFileInfo(folder).isDir()) {
        folder = QDir::homePath();
    }
    dialog.setDirectory(folder);
    if (!request.fileName.isEmpty()) {
        dialog.selectFile(QFileInfo(request.fileName).fileName());
    }
    if (dialog.exec() != QDialog::Accepted) {
        return FileDialogResult::Cancelled;
    }
    const QStringList files = dialog.selectedFiles();
    if (files.isEmpty()) {
        return FileDialogResult::Failed;
    }
    // The chosen folder must exist; the file itself need not.
    if (!QFileInfo(QFileInfo(files.first()).absolutePath()).isDir()) {
        return FileDialogResult::Failed;
    }
    *chosenPath = files.first();
    return FileDialogResult::Accepted;
}

FileDialogResult RunFolderDialog(QWidget* parent, const FileDialogRequest& request,
                                 QString* chosenPath) {
    if (fileDialogHook()) {
        return fileDialogHook()(request, chosenPath);
    }
    QFileDialog dialog(parent, request.title);
    dialog.setFileMode(QFileDialog::Directory);
    dialog.setOption(QFileDialog::ShowDirsOnly, true);
    QString folder = request.initialFolder;
    if (folder.isEmpty() || !QFileInfo(folder).isDir()) {
        folder = QDir::homePath();
    }
    dialog.setDirectory(folder);
    if (dialog.exec() != QDialog::Accepted) {
        return FileDialogResult::Cancelled;
    }
    const QStringList folders = dialog.selectedFiles();
    if (folders.isEmpty() || !QFileInfo(folders.first()).isDir()) {
        return FileDialogResult::Failed;
    }
    *chosenPath = folders.first();
    return FileDialogResult::Accepted;
}

std::optional<QByteArray> AskPassword(QWidget* parent, const QString& text) {
    if (passwordHook()) {
        std::optional<QString> given = passwordHook()(text);
        if (!given) {
            return std::nullopt;
        }
        QByteArray bytes = given->toUtf8();
        WipeText(*given);
        return bytes;
    }
    QInputDialog box(parent);
    box.setWindowTitle(kProgramTitle);
    box.setLabelText(text);
    box.setInputMode(QInputDialog::TextInput);
    box.setTextEchoMode(QLineEdit::Password);
    const bool bGiven = box.exec() == QDialog::Accepted;
    // The box's value shares its characters with the field's text: wiping it wipes both.
    QString sHeld = box.textValue();
    std::optional<QByteArray> bytes;
    if (bGiven) {
        bytes = sHeld.toUtf8();
    }
    WipeText(sHeld);
    return bytes;
}

void ShowMessage(QWidget* parent, const QString& text, QMessageBox::Icon icon) {
    if (messageHook()) {
        messageHook()(kProgramTitle, text, icon);
        return;
    }
    QMessageBox box(icon, kProgramTitle, text, QMessageBox::Ok, parent);
    box.exec();
}

int AskChoice(QWidget* parent, const QString& text, QMessageBox::Icon icon,
              const QStringList& buttons) {
    const int last = static_cast<int>(buttons.size()) - 1;
    if (messageHook()) {
        messageHook()(kProgramTitle, text, icon);
        return nextAnswers().isEmpty() ? last : nextAnswers().takeFirst();
    }
    QMessageBox box(icon, kProgramTitle, text, QMessageBox::NoButton, parent);
    QList<QAbstractButton*> added;
    for (int i = 0; i <= last; ++i) {
        added.append(box.addButton(buttons[i],
                                   i == last ? QMessageBox::RejectRole : QMessageBox::AcceptRole));
    }
    if (!added.isEmpty()) {
        box.setDefaultButton(qobject_cast<QPushButton*>(added.first()));
        box.setEscapeButton(added.last());
    }
    box.exec();
    const int chosen = static_cast<int>(added.indexOf(box.clickedButton()));
    return chosen >= 0 ? chosen : last;
}

}  // namespace StandardDialogs
