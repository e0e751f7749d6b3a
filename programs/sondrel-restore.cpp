// sondrel-restore: files back from the backups' archives without a window.

#include <QCoreApplication>
#include <QStringList>

#include "app/LocalTimeZone.h"
#include "app/NativePath.h"
#include "app/RestoreCommand.h"

int main(int argc, char** argv) {
    PinLocalTimeZone();
    QCoreApplication app(argc, argv);
    QStringList args;
    for (int i = 1; i < argc; ++i) {
        args.append(PathFromNative(argv[i]));  // paths byte for byte
    }
    return RestoreCommand::Run(args);
}
