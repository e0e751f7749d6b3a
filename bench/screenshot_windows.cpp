// Renders the windows of the program, offscreen, as a user sees them over a lived-in home folder:
// the main window with a few dozen listed files, and the five dialogs opened through its menus.
// scripts/screenshot.sh makes the pictures of doc/ with it.
//
//   screenshot_windows [--suffix S] HOME OUTDIR WINDOW...
//
// HOME must be missing or empty: the demonstration files are made there, and it stands in for
// the user's home folder. WINDOW is main-window, search, backup, restore, options or about; each
// becomes
// OUTDIR/sondrel-WINDOW<S>.png. Settings go to a temporary folder, so nobody's real ones change.

#include <QAction>
#include <QApplication>
#include <QDir>
#include <QFile>
#include <QLineEdit>
#include <QListView>
#include <QPushButton>
#include <QRadioButton>
#include <QTemporaryDir>
#include <QTimer>
#include <QTreeView>
#include <QtTest>
#include <cstdio>
#include <functional>
#include <span>

#include "app/BackupRun.h"
#include "app/modBackup.h"
#include "app/modRegistry.h"
#include "ui/RestoreTreeModel.h"
#include "ui/frmMain.h"
#include "ui/frmSearch.h"

using modBackup::State;

namespace {

struct DemoFile {
    const char* path;
    qint64 size;
    int daysOld;
};

// Anna's files on the backup list.
const DemoFile kListed[] = {
    {"Bilder/2026/Geburtstag Oma/Gruppenbild.jpg", 4317002, 40},
    {"Bilder/2026/Geburtstag Oma/Torte.jpg", 3904417, 40},
    {"Bilder/2026/Ostsee/Mole bei Sonnenuntergang.jpg", 5120334, 120},
    {"Bilder/2026/Ostsee/Möwe am Hafen.jpg", 4471920, 120},
    {"Bilder/2026/Ostsee/Strand Warnemünde 1.jpg", 3382113, 121},
    {"Bilder/2026/Ostsee/Strand Warnemünde 2.jpg", 3127450, 121},
    {"Bilder/2026/Ostsee/Strand Warnemünde 10.jpg", 3650981, 121},
    {"Dokumente/Arbeit/Arbeitszeugnis.pdf", 212442, 300},
    {"Dokumente/Arbeit/Gehaltsabrechnung November.pdf", 98120, 9},
    {"Dokumente/Ärztliche Bescheinigung.pdf", 154003, 15},
    {"Dokumente/Briefe/Antrag Elternzeit.odt", 48213, 60},
    {"Dokumente/Briefe/Kündigung Fitnessstudio.odt", 21544, 25},
    {"Dokumente/Briefe/Mieterhöhung Antwort.odt", 30871, 12},
    {"Dokumente/Briefe/Widerspruch Krankenkasse.odt", 27650, 33},
    {"Dokumente/Haushaltsbuch 2026.ods", 88214, 3},
    {"Dokumente/Steuer 2025/Belege Handwerker.ods", 183002, 20},
    {"Dokumente/Steuer 2025/Einkommensteuererklärung 2025.pdf", 2417764, 18},
    {"Dokumente/Steuer 2025/Fahrtkosten.ods", 19338, 21},
    {"Dokumente/Steuer 2025/Lohnsteuerbescheinigung.pdf", 131552, 45},
    {"Dokumente/Steuer 2025/Spendenquittung.pdf", 64120, 50},
    {"Dokumente/Übersicht Konten.ods", 41770, 7},
    {"Dokumente/Versicherungen/Haftpflicht Police.pdf", 702331, 200},
    {"Dokumente/Versicherungen/Kfz-Versicherung 2026.pdf", 512876, 30},
    {"Dokumente/Wohnung/Mietvertrag.pdf", 1874420, 400},
    {"Dokumente/Wohnung/Nebenkostenabrechnung 2025.pdf", 388216, 14},
    {"Dokumente/Wohnung/Übergabeprotokoll.pdf", 944051, 400},
    {"Musik/Chor/Probe 14.11.ogg", 5220890, 23},
    {"Musik/Chor/Probe 28.11.ogg", 4987311, 9},
    {"Rezepte/Apfelkuchen.txt", 1733, 70},
    {"Rezepte/Käsespätzle.txt", 2208, 70},
    {"Rezepte/Zwetschgendatschi.txt", 1951, 70},
    {"Verein/Mitgliederliste.ods", 35720, 11},
    {"Verein/Protokoll Jahreshauptversammlung.odt", 40118, 11},
    {"Verein/Straßenfest Plakat.pdf", 1302440, 5},
    {"notizen.txt", 913, 1},
};

// Changed since the last backup and not listed yet: what the change search finds.
const DemoFile kChanged[] = {
    {"Bilder/2026/Weihnachtsmarkt/Glühwein.jpg", 2980117, 0},
    {"Dokumente/Briefe/Einladung Sommerfest.odt", 25410, 0},
    {"Dokumente/Steuer 2025/Nachtrag Belege.pdf", 301229, 0},
};

// An old file the search passes over.
const DemoFile kOld[] = {
    {"Downloads/Reiseunterlagen.pdf", 620300, 90},
};

bool MakeFile(const QString& home, const DemoFile& f) {
    const QString path = home + u'/' + QString::fromUtf8(f.path);
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || !file.resize(f.size)) {
        return false;
    }
    return file.setFileTime(QDateTime::currentDateTime().addDays(-f.daysOld).addSecs(-3600),
                            QFileDevice::FileModificationTime);
}

bool MakeHome(const QString& home) {
    for (const std::span<const DemoFile> group :
         {std::span<const DemoFile>(kListed), std::span<const DemoFile>(kChanged),
          std::span<const DemoFile>(kOld)}) {
        for (const DemoFile& f : group) {
            if (!MakeFile(home, f)) {
                return false;
            }
        }
    }
    for (const char* folder : {"Sicherungen", ".cache", "Downloads/Installationsdateien"}) {
        QDir(home).mkpath(QString::fromUtf8(folder));
    }
    return true;
}

// Anna's settings, as the options dialog would have stored them.
void StoreSettings(const QString& home) {
    modBackup::WriteOption(QStringLiteral("DefaultPath"), home + QStringLiteral("/Sicherungen"));
    modBackup::WriteOption(QStringLiteral("SearchPath"), home);
    modBackup::WriteFlagOption(modBackup::OptArchiveFlag, true);
    modBackup::WriteFlagOption(modBackup::OptExtFilterSearch, true);
    modBackup::WriteFlagOption(modBackup::OptLimitRecursion, false);
    modBackup::WriteLastBackupAt(QDateTime::currentDateTime().addDays(-1));
    CListString extensions;
    for (const char* e : {"tmp", "bak", "part", "lock"}) {
        extensions.Add(QString::fromUtf8(e));
    }
    modBackup::SaveOptionList(extensions, QStringLiteral("Extension"));
    CListString excluded;
    excluded.Add(home + QStringLiteral("/.cache"));
    excluded.Add(home + QStringLiteral("/Downloads/Installationsdateien"));
    modBackup::SaveOptionList(excluded, QStringLiteral("ExcludeFolder"));
}

// Two of Anna's earlier backups in her archive folder: everything ten days ago, the files changed
// since then two days ago.
bool MakeArchives(const QString& home) {
    for (const int daysAgo : {10, 2}) {
        const QDateTime dtAt = QDateTime::currentDateTime().addDays(-daysAgo);
        CListString files;
        for (const DemoFile& f : kListed) {
            if (daysAgo == 10 || f.daysOld < 10) {
                files.Add(home + u'/' + QString::fromUtf8(f.path));
            }
        }
        BackupSettings settings;
        settings.sArchivePath = home + QStringLiteral("/Sicherungen/") +
                                dtAt.toString(QStringLiteral("yyyyMMdd_HHmm")) +
                                QStringLiteral(" Backup.zip");
        settings.bAdjustLastBackupDate = false;
        settings.bClearList = false;
        BackupRun run(settings, [](const QString&, float) {}, [] {});
        if (!run.Run(&files)) {
            return false;
        }
    }
    return true;
}

bool Save(QWidget* w, const QString& file) {
    QTest::qWait(150);
    if (!w->grab().save(file)) {
        std::fprintf(stderr, "cannot write %s\n", qPrintable(file));
        return false;
    }
    std::printf("%s\n", qPrintable(file));
    return true;
}

// Opens a dialog through the main window's menu item, lets prepare set it up, saves its picture
// and closes it without storing anything.
bool ShootDialog(frmMain& w, const char* action, const std::function<void(QDialog&)>& prepare,
                 const QString& file) {
    bool bSaved = false;
    auto* poll = new QTimer(&w);
    poll->setInterval(20);
    QObject::connect(poll, &QTimer::timeout, poll, [&] {
        auto* dialog = qobject_cast<QDialog*>(QApplication::activeModalWidget());
        if (dialog == nullptr) {
            return;
        }
        poll->stop();
        if (!QTest::qWaitForWindowExposed(dialog)) {
            std::fputs("dialog not exposed\n", stderr);
        }
        prepare(*dialog);
        bSaved = Save(dialog, file);
        dialog->reject();
    });
    poll->start();
    w.findChild<QAction*>(QString::fromLatin1(action))->trigger();
    delete poll;
    return bSaved;
}

void TypeInto(QDialog& dialog, const char* name, const QString& text) {
    auto* field = dialog.findChild<QLineEdit*>(QString::fromLatin1(name));
    if (field != nullptr) {
        QTest::keyClicks(field, text);
    }
}

}  // namespace

int main(int argc, char** argv) {
    QStringList args;
    for (int i = 1; i < argc; ++i) {
        args << QString::fromLocal8Bit(argv[i]);
    }
    QString suffix;
    if (args.size() >= 2 && args[0] == QStringLiteral("--suffix")) {
        suffix = args[1];
        args = args.mid(2);
    }
    if (args.size() < 3) {
        std::fputs("usage: screenshot_windows [--suffix S] HOME OUTDIR WINDOW...\n", stderr);
        return 2;
    }
    const QString home = QDir(args[0]).absolutePath();
    const QString outDir = QDir(args[1]).absolutePath();
    const QStringList windows = args.mid(2);
    if (QDir(home).exists() && !QDir(home).isEmpty(QDir::AllEntries | QDir::NoDotAndDotDot |
                                                   QDir::Hidden | QDir::System)) {
        std::fprintf(stderr, "%s is not empty; the demonstration needs a home of its own\n",
                     qPrintable(home));
        return 2;
    }
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }
    QTemporaryDir settings;
    qputenv("HOME", QFile::encodeName(home));
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(settings.path() + QStringLiteral("/config")));
    qputenv("XDG_STATE_HOME", QFile::encodeName(settings.path() + QStringLiteral("/state")));
    QApplication app(argc, argv);
    QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany));

    if (!MakeHome(home)) {
        std::fprintf(stderr, "cannot make the demonstration files below %s\n", qPrintable(home));
        return 1;
    }
    modBackup::ResetState();
    StoreSettings(home);
    modBackup::LoadBackupList();
    State().Extensions = std::make_unique<CListString>();
    State().ExcludeFolders = std::make_unique<CListString>();
    for (const DemoFile& f : kListed) {
        State().BackupFiles->Add(home + u'/' + QString::fromUtf8(f.path));
    }

    int result = 0;
    {
        frmMain w;
        w.show();
        w.activateWindow();
        if (!QTest::qWaitForWindowExposed(&w)) {
            std::fputs("window not exposed\n", stderr);
        }
        const auto file = [&](const QString& name) {
            return outDir + QStringLiteral("/sondrel-") + name + suffix + QStringLiteral(".png");
        };
        for (const QString& name : windows) {
            bool bSaved = false;
            if (name == QStringLiteral("main-window")) {
                auto* list = w.findChild<QListView*>(QStringLiteral("lbFiles"));
                list->setFocus();
                QItemSelectionModel* selection = list->selectionModel();
                for (int row : {15, 16}) {
                    selection->select(list->model()->index(row, 0), QItemSelectionModel::Select);
                }
                selection->setCurrentIndex(list->model()->index(16, 0),
                                           QItemSelectionModel::NoUpdate);
                bSaved = Save(&w, file(name));
                selection->clearSelection();
            } else if (name == QStringLiteral("search")) {
                bSaved = ShootDialog(
                    w, "mnuSearch",
                    [](QDialog& dialog) {
                        auto* search = qobject_cast<frmSearch*>(&dialog);
                        QTest::mouseClick(
                            dialog.findChild<QPushButton*>(QStringLiteral("cmdAction1")),
                            Qt::LeftButton);
                        QTRY_VERIFY_WITH_TIMEOUT(search->bStopped(), 20000);
                    },
                    file(name));
            } else if (name == QStringLiteral("backup")) {
                bSaved = ShootDialog(
                    w, "mnuBackupNow",
                    [](QDialog& dialog) {
                        TypeInto(dialog, "txtPassword_0", QStringLiteral("Sommer2026"));
                        TypeInto(dialog, "txtPassword_1", QStringLiteral("Sommer2026"));
                    },
                    file(name));
            } else if (name == QStringLiteral("restore")) {
                if (!MakeArchives(home)) {
                    std::fputs("cannot write the demonstration archives\n", stderr);
                }
                bSaved = ShootDialog(
                    w, "mnuRestore",
                    [&home](QDialog& dialog) {
                        auto* tree = dialog.findChild<QTreeView*>(QStringLiteral("tvFiles"));
                        auto* model = qobject_cast<RestoreTreeModel*>(tree->model());
                        QTRY_VERIFY_WITH_TIMEOUT(model->FileCount() > 0, 20000);
                        const QByteArray documents = QFile::encodeName(home + "/Dokumente");
                        tree->expand(model->IndexOf(documents));
                        tree->expand(model->IndexOf(documents + "/Briefe"));
                        model->setData(model->IndexOf(QFile::encodeName(home + "/Bilder")),
                                       Qt::Unchecked, Qt::CheckStateRole);
                        model->setData(model->IndexOf(QFile::encodeName(home + "/Musik")),
                                       Qt::Unchecked, Qt::CheckStateRole);
                        dialog.findChild<QRadioButton*>(QStringLiteral("optFolder"))->click();
                        TypeInto(dialog, "txtTarget", home + QStringLiteral("/Wiederhergestellt"));
                    },
                    file(name));
            } else if (name == QStringLiteral("options")) {
                bSaved = ShootDialog(
                    w, "mnuOptions", [](QDialog&) {}, file(name));
            } else if (name == QStringLiteral("about")) {
                bSaved = ShootDialog(
                    w, "mnuAbout", [](QDialog&) {}, file(name));
            } else {
                std::fprintf(stderr, "unknown window %s\n", qPrintable(name));
            }
            if (!bSaved) {
                result = 1;
            }
        }
        // The list is stored into the temporary settings only.
        w.close();
    }
    modBackup::ResetState();
    modRegistry::CloseStores();
    return result;
}
