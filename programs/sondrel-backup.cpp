// sondrel-backup: the backup of the stored list without a window (no display, no widgets), for the
// daily timer.

#include <QCoreApplication>
#include <QStringList>

#include "app/BackupCommand.h"
#include "app/LocalTimeZone.h"
#include "app/NativePath.h"

int main(int argc, char** argv) {
    PinLocalTimeZone();
    QCoreApplication app(argc, argv);
    QStringList args;
    for (int i = 1; i < argc; ++i) {
        args.append(PathFromNative(argv[i]));  // --folder, --password-file, --comment byte for byte
    }
    return BackupCommand::Run(args);
}
