#include "ui/RunWindowMode.h"

#include <QApplication>

#include "ui/frmMain.h"

int RunWindowMode() {
    frmMain form;
    form.show();
    form.ListenForOtherStarts();
    return QApplication::exec();
}
