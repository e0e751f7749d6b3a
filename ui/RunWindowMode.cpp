#include "ui/RunWindowMode.h"

#include <QApplication>

#include "ui/StandardDialogs.h"
#include "ui/frmMain.h"

int RunWindowMode(const QString& sLoadProblem) {
    frmMain form;
    form.show();
    form.ListenForOtherStarts();
    if (!sLoadProblem.isEmpty()) {
        StandardDialogs::ShowMessage(
            &form,
            QStringLiteral("Die gespeicherte Dateiliste konnte nicht gelesen werden; die Liste im "
                           "Fenster ist leer.\n\n") +
                sLoadProblem +
                QStringLiteral("\n\nIst die Ursache behoben, holt „Liste neu laden“ die "
                               "gespeicherte Liste zurück. Beim Beenden ersetzt die Liste im "
                               "Fenster die gespeicherte."),
            QMessageBox::Warning);
    }
    return QApplication::exec();
}
