// The program: window mode without arguments, intake mode (no display needed) with any.

#include <QCoreApplication>
#include <QStringList>

#include "app/LocalTimeZone.h"
#include "app/Main.h"
#include "app/NativePath.h"

#include <QApplication>

#include "ui/RunWindowMode.h"

int main(int argc, char** argv) {
    PinLocalTimeZone();
    QStringList args;
    for (int i = 1; i < argc; ++i) {
        args.append(PathFromNative(argv[i]));
    }
    if (args.isEmpty()) {
        // The display is needed only once no open window has taken over the start.
        return modBackup::Main(args, [&argc, argv](const modBackup::WindowStart& start) {
            QApplication app(argc, argv);
            return RunWindowMode(start);
        });
    }
    QCoreApplication app(argc, argv);
    return modBackup::Main(args, nullptr);
}
