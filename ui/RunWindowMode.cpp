#include "ui/RunWindowMode.h"

#include <QApplication>

#include "ui/StandardDialogs.h"
#include "ui/frmMain.h"

int RunWindowMode(const modBackup::WindowStart& start) {
    if (!start.sRefusal.isEmpty()) {
        StandardDialogs::ShowMessage(nullptr, start.sRefusal, QMessageBox::Critical);
        return 1;
    }
    frmMain form;
    if (!start.sLoadProblem.isEmpty()) {
        form.SetStoredListUnread(start.sLoadProblem);
    }
    form.show();
    form.ListenForOtherStarts();
    if (!start.sStoreNotice.isEmpty()) {
        StandardDialogs::ShowMessage(&form, start.sStoreNotice, QMessageBox::Warning);
    }
    if (!start.sLoadProblem.isEmpty()) {
        form.TellStoredListUnread();
    }
    return QApplication::exec();
}
