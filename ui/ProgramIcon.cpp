#include "ui/ProgramIcon.h"

#include <QString>

// The resources are compiled into a static library: only a reference from code the program uses
// keeps the linker from dropping their registration. Q_INIT_RESOURCE must stand outside namespaces.
static void RegisterProgramIconResource() {
    Q_INIT_RESOURCE(sondrel);
}

QIcon ProgramIcon() {
    static const bool registered = (RegisterProgramIconResource(), true);
    Q_UNUSED(registered);
    QIcon icon;
    icon.addFile(QStringLiteral(":/sondrel/sondrel-48.png"), QSize(48, 48));
    icon.addFile(QStringLiteral(":/sondrel/sondrel-256.png"), QSize(256, 256));
    return icon;
}
