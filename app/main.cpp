// The program: window mode without arguments, intake mode (no display needed) with paths.

#include <QCoreApplication>
#include <QStringList>
#include <cstdio>

#include "app/LocalTimeZone.h"
#include "app/Main.h"

#ifdef SONDREL_HAVE_UI
#include <QApplication>

#include "ui/RunWindowMode.h"
#endif

int main(int argc, char** argv) {
    PinLocalTimeZone();
    QStringList args;
    for (int i = 1; i < argc; ++i) {
        args.append(QString::fromLocal8Bit(argv[i]));
    }
#ifdef SONDREL_HAVE_UI
    if (modBackup::BuildCommandLine(args).isEmpty()) {
        QApplication app(argc, argv);
        return modBackup::Main(args, [] { return RunWindowMode(); });
    }
#endif
    QCoreApplication app(argc, argv);
    return modBackup::Main(args, [] {
        std::fputs(
            "Sondrel wurde ohne Benutzeroberfläche gebaut. Bitte Dateien und Ordner als "
            "Argumente angeben.\n",
            stderr);
        return 1;
    });
}
