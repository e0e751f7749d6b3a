// Renders the main window with a few entries, offscreen, to the PNG named by the first argument
// (scripts/screenshot.sh makes doc/sondrel-main-window.png with it). The files live in a fixed
// demonstration folder below the temporary folder, so that the picture does not change between
// runs.

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QListView>
#include <QTemporaryDir>
#include <QtTest>
#include <cstdio>

#include "app/modBackup.h"
#include "app/modRegistry.h"
#include "ui/frmMain.h"

using modBackup::State;

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fputs("usage: screenshot_mainwindow OUT.png\n", stderr);
        return 2;
    }
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QTemporaryDir settings;
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(settings.path() + QStringLiteral("/config")));
    qputenv("XDG_STATE_HOME", QFile::encodeName(settings.path() + QStringLiteral("/state")));
    QApplication app(argc, argv);
    QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany));

    const QString home = QDir::tempPath() + QStringLiteral("/sondrel-demo/anna");
    QDir(home).removeRecursively();
    const struct {
        const char* path;
        qint64 size;
    } files[] = {
        {"Dokumente/Briefe/Antrag Elternzeit.odt", 48213},
        {"Dokumente/Briefe/Kündigung Zeitschrift.odt", 21544},
        {"Dokumente/Steuer 2026/Belege.ods", 183002},
        {"Dokumente/Steuer 2026/belege-scan.pdf", 2417764},
        {"Bilder/Urlaub/Ostsee 001.jpg", 3382113},
        {"Bilder/Urlaub/Ostsee 002.jpg", 3127450},
        {"Musik/Chor/Probe 14.11.ogg", 5220890},
        {"notizen.txt", 1733},
    };
    modBackup::ResetState();
    modBackup::LoadBackupList();
    State().Extensions = std::make_unique<CListString>();
    State().ExcludeFolders = std::make_unique<CListString>();
    for (const auto& f : files) {
        const QString path = home + u'/' + QString::fromUtf8(f.path);
        QDir().mkpath(QFileInfo(path).absolutePath());
        QFile file(path);
        if (file.open(QIODevice::WriteOnly)) {
            file.resize(f.size);
        }
        State().BackupFiles->Add(path);
    }

    int result = 0;
    {
        frmMain w;
        w.show();
        w.activateWindow();
        if (!QTest::qWaitForWindowExposed(&w)) {
            std::fputs("window not exposed\n", stderr);
        }
        auto* list = w.findChild<QListView*>(QStringLiteral("lbFiles"));
        list->setFocus();
        list->selectionModel()->select(list->model()->index(2, 0), QItemSelectionModel::Select);
        list->selectionModel()->select(list->model()->index(3, 0), QItemSelectionModel::Select);
        list->selectionModel()->setCurrentIndex(list->model()->index(3, 0),
                                                QItemSelectionModel::NoUpdate);
        QTest::qWait(100);
        if (!w.grab().save(QString::fromLocal8Bit(argv[1]))) {
            std::fprintf(stderr, "cannot write %s\n", argv[1]);
            result = 1;
        }
        // The demonstration list is not stored over anybody's settings: they are temporary.
        w.close();
    }
    QDir(home).removeRecursively();
    modBackup::ResetState();
    modRegistry::CloseStores();
    return result;
}
