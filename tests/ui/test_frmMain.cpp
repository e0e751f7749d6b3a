// The main window driven through its real widgets: list, drops, deletes, reload, status bar,
// pop-up menu, layout and closing; and the list model behind it.

#include <fcntl.h>
#include <sqlite3.h>
#include <unistd.h>
#include <QAbstractButton>
#include <QAbstractItemModelTester>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QListView>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QMimeData>
#include <QProcess>
#include <QScreen>
#include <QStatusBar>
#include <QTimer>
#include <QUrl>
#include <QtTest>
#include <memory>

#include "app/NativePath.h"
#include "app/SingleInstance.h"
#include "app/modBackup.h"
#include "app/modRegistry.h"
#include "tests/ui/support/FreshEnvironment.h"
#include "ui/FileListModel.h"
#include "ui/StandardDialogs.h"
#include "ui/Twips.h"
#include "ui/frmMain.h"

using modBackup::State;

namespace {

QStringList ListedInOrder() {
    QStringList out;
    if (!State().BackupFiles) {
        return out;
    }
    CListString& list = *State().BackupFiles;
    for (list.MoveFirst(); !list.EOL(); list.MoveNext()) {
        out.append(list.Data());
    }
    list.MoveFirst();
    return out;
}

QStringList StoredList() {
    using namespace modRegistry;
    QStringList out;
    const int count = RegReadText(HKEY_CURRENT_USER, modBackup::kMainKey, "Count").toInt();
    for (int i = 0; i < count; ++i) {
        out.append(RegReadText(HKEY_CURRENT_USER, modBackup::kMainKey, QString("File%1").arg(i)));
    }
    return out;
}

QString MakeSized(const QString& path, qint64 size) {
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    if (file.open(QIODevice::WriteOnly)) {
        file.resize(size);  // sparse: big sizes cost no disk
    }
    return path;
}

std::unique_ptr<QMimeData> FileUrls(const QStringList& paths) {
    auto mime = std::make_unique<QMimeData>();
    QList<QUrl> urls;
    for (const QString& p : paths) {
        urls.append(QUrl::fromLocalFile(p));
    }
    mime->setUrls(urls);
    return mime;
}

QStringList SelectedPaths(FileListModel& model, const QItemSelectionModel& sel) {
    QStringList out;
    for (const QModelIndex& index : sel.selectedRows()) {
        out.append(model.At(index.row()));
    }
    std::sort(out.begin(), out.end());
    return out;
}

}  // namespace

class TestFrmMain : public QObject {
    Q_OBJECT

    std::unique_ptr<FreshEnvironment> env_;
    std::unique_ptr<frmMain> win_;

    /// Stores paths as the backup list and loads it, as the program's start does.
    void StoreAndLoad(const QStringList& paths) {
        QVERIFY(modBackup::LoadBackupList());
        for (const QString& p : paths) {
            State().BackupFiles->Add(p);
        }
        QVERIFY(modBackup::SaveBackupList());
        QVERIFY(modBackup::LoadBackupList());
    }
    frmMain& Open() {
        if (!State().BackupFiles) {
            QTest::qVerify(modBackup::LoadBackupList().Ok(), "modBackup::LoadBackupList()", "",
                           __FILE__, __LINE__);
        }
        win_ = std::make_unique<frmMain>();
        win_->show();
        if (!QTest::qWaitForWindowExposed(win_.get())) {
            qWarning("window not exposed");
        }
        return *win_;
    }
    QListView* List() { return win_->findChild<QListView*>("lbFiles"); }
    QStringList Shown() {
        QStringList out;
        QAbstractItemModel* m = List()->model();
        for (int r = 0; r < m->rowCount(); ++r) {
            out.append(m->index(r, 0).data().toString());
        }
        return out;
    }
    QString Panel(int n) {
        return win_->findChild<QLabel*>(QString("StatusBarPanel%1").arg(n))->text();
    }
    QMenu* Menu(const char* name) { return win_->findChild<QMenu*>(name); }
    QAction* Action(const char* name) { return win_->findChild<QAction*>(name); }
    QPoint RowCenter(int row) {
        return List()->visualRect(List()->model()->index(row, 0)).center();
    }
    void Click(int row, Qt::KeyboardModifiers mods = {}) {
        QTest::mouseClick(List()->viewport(), Qt::LeftButton, mods, RowCenter(row));
    }
    /// Sends enter, move and drop to the list's viewport; returns whether the drop was accepted.
    bool Drop(const QMimeData* mime, Qt::DropActions actions = Qt::CopyAction | Qt::MoveAction) {
        QWidget* vp = List()->viewport();
        const QPoint at = vp->rect().center();
        QDragEnterEvent enter(at, actions, mime, Qt::LeftButton, Qt::NoModifier);
        QCoreApplication::sendEvent(vp, &enter);
        QDragMoveEvent move(at, actions, mime, Qt::LeftButton, Qt::NoModifier);
        QCoreApplication::sendEvent(vp, &move);
        if (!enter.isAccepted() || !move.isAccepted()) {
            return false;
        }
        QDropEvent drop(QPointF(at), actions, mime, Qt::LeftButton, Qt::NoModifier);
        QCoreApplication::sendEvent(vp, &drop);
        QTest::qWait(20);  // the drop is handled once the event has returned
        return drop.isAccepted() && drop.dropAction() == Qt::CopyAction;
    }
    QString Home() const { return env_->Home(); }

private Q_SLOTS:
    void init() {
        env_ = std::make_unique<FreshEnvironment>();
        QVERIFY(env_->IsValid());
        State().Extensions = std::make_unique<CListString>();
        State().ExcludeFolders = std::make_unique<CListString>();
    }
    void cleanup() {
        win_.reset();
        env_.reset();
    }

    void windowAsFirstShown() {
        frmMain& w = Open();
        QCOMPARE(w.windowTitle(), QString("Tarvello-Backup"));
        QCOMPARE(Panel(1), QString());
        QCOMPARE(Panel(2), QString("0 Datei(en)"));
        QCOMPARE(Panel(3), QString("0 KB"));
        QWidget* client = w.centralWidget();
        auto* bar = w.findChild<QStatusBar*>("StatusBar");
        QCOMPARE(bar->height(), Twips::ToPixelsY(315, &w));
        QCOMPARE(w.findChild<QLabel*>("StatusBarPanel2")->width(), Twips::ToPixelsX(1440, &w));
        QCOMPARE(w.findChild<QLabel*>("StatusBarPanel3")->width(), Twips::ToPixelsX(1440, &w));
        QVERIFY(w.findChild<QLabel*>("StatusBarPanel1")->width() > Twips::ToPixelsX(1440, &w));
        QVERIFY(qAbs(client->width() - Twips::ToPixelsX(9195, &w)) <= 1);
        QVERIFY(qAbs(client->height() + bar->height() - Twips::ToPixelsY(5295, &w)) <= 2);
        QCOMPARE(List()->geometry(), client->rect());
        QCOMPARE(List()->selectionMode(), QAbstractItemView::ExtendedSelection);
        const QPoint off = w.geometry().center() - w.screen()->availableGeometry().center();
        QVERIFY2(off.manhattanLength() <= 40, "window not centred");
        auto* timer = w.findChild<QTimer*>("tmrMenu");
        QCOMPARE(timer->interval(), 100);
        QVERIFY(!timer->isActive());
    }

    void menusCarryEveryItem() {
        frmMain& w = Open();
        QStringList seen;
        for (QAction* top : w.menuBar()->actions()) {
            seen.append(top->text());
            if (top->menu() == nullptr) {
                continue;
            }
            for (QAction* a : top->menu()->actions()) {
                seen.append(a->isSeparator() ? QString("-") : "  " + a->text());
                QVERIFY(a->isEnabled() && a->isVisible());
                QVERIFY(a->shortcut().isEmpty());
            }
        }
        const QStringList expected = {"&Datei",
                                      "  &Backup starten!",
                                      "  &Wiederherstellen ...",
                                      "-",
                                      "  B&eenden",
                                      "&Bearbeiten",
                                      "  Dateiliste &prüfen",
                                      "  Liste &neu laden",
                                      "-",
                                      "  &Löschen",
                                      "E&xtras",
                                      "  &Dateien suchen",
                                      "-",
                                      "  &Optionen",
                                      "&Info"};
        QCOMPARE(seen, expected);
        QVERIFY(Action("mnuAbout")->menu() == nullptr);
    }

    // The list shows BackupFiles sorted without regard to case; BackupFiles keeps the order of
    // addition; paths that differ only in case are two neighbouring entries.
    void caseInsensitiveOrder() {
        const QString d = Home() + "/d/";
        const QStringList names = {"Zeta.txt", "alpha.txt", "Beta.txt", "beta.txt", "ALPHA.txt"};
        QStringList paths;
        for (const QString& n : names) {
            paths.append(env_->MakeFile("d/" + n));
        }
        StoreAndLoad(paths);
        Open();
        QCOMPARE(Shown(), QStringList({d + "ALPHA.txt", d + "alpha.txt", d + "Beta.txt",
                                       d + "beta.txt", d + "Zeta.txt"}));
        QCOMPARE(ListedInOrder(), paths);
        // Later additions land at their sorted place, too.
        const QString gamma = env_->MakeFile("d/gamma.txt");
        const QString aa = env_->MakeFile("d/aa.txt");
        QVERIFY(Drop(FileUrls({gamma, aa}).get()));
        QCOMPARE(Shown(),
                 QStringList({d + "aa.txt", d + "ALPHA.txt", d + "alpha.txt", d + "Beta.txt",
                              d + "beta.txt", d + "gamma.txt", d + "Zeta.txt"}));
        QCOMPARE(ListedInOrder(), paths + QStringList({gamma, aa}));
    }

    // German alphabetical order: umlauts with their vowel, ß with ss, numbers by their value;
    // the same for stored paths and for later drops.
    void germanOrder() {
        const QString d = Home() + "/d/";
        const QStringList stored = {"zeta.txt",      "Änderung.txt", "Maße.txt", "Foto 10.jpg",
                                    "Übersicht.pdf", "ober.txt",     "MASSE.txt"};
        const QStringList dropped = {"Öl.txt",     "apfel.txt", "Mast.txt",
                                     "Foto 2.jpg", "ulme.txt",  "Masse.txt"};
        QStringList paths;
        for (const QString& n : stored) {
            paths.append(env_->MakeFile("d/" + n));
        }
        StoreAndLoad(paths);
        Open();
        QCOMPARE(Shown(), QStringList({d + "Änderung.txt", d + "Foto 10.jpg", d + "MASSE.txt",
                                       d + "Maße.txt", d + "ober.txt", d + "Übersicht.pdf",
                                       d + "zeta.txt"}));
        QStringList more;
        for (const QString& n : dropped) {
            more.append(env_->MakeFile("d/" + n));
        }
        QVERIFY(Drop(FileUrls(more).get()));
        QCOMPARE(Shown(), QStringList({d + "Änderung.txt", d + "apfel.txt", d + "Foto 2.jpg",
                                       d + "Foto 10.jpg", d + "MASSE.txt", d + "Masse.txt",
                                       d + "Maße.txt", d + "Mast.txt", d + "ober.txt", d + "Öl.txt",
                                       d + "Übersicht.pdf", d + "ulme.txt", d + "zeta.txt"}));
    }

    void statusTexts_data() {
        QTest::addColumn<QList<qint64>>("sizes");
        QTest::addColumn<QString>("count");
        QTest::addColumn<QString>("kb");
        QTest::newRow("empty") << QList<qint64>{} << "0 Datei(en)"
                               << "0 KB";
        QTest::newRow("1600 bytes") << QList<qint64>{1600} << "1 Datei(en)"
                                    << "2 KB";
        QTest::newRow("511 bytes") << QList<qint64>{511, 0} << "2 Datei(en)"
                                   << "0 KB";
        QTest::newRow("half rounds up") << QList<qint64>{512} << "1 Datei(en)"
                                        << "1 KB";
        QTest::newRow("grouped KB") << QList<qint64>{2000000, 2000000, 1000000} << "3 Datei(en)"
                                    << "4.883 KB";
        // Beyond 32 bits, and exactly 2929687.5 KB.
        QTest::newRow("3 GB") << QList<qint64>{3000000000} << "1 Datei(en)"
                              << "2.929.688 KB";
    }
    void statusTexts() {
        QFETCH(QList<qint64>, sizes);
        QFETCH(QString, count);
        QFETCH(QString, kb);
        QStringList paths;
        for (int i = 0; i < sizes.size(); ++i) {
            paths.append(MakeSized(Home() + QString("/s/f%1").arg(i), sizes[i]));
        }
        StoreAndLoad(paths);
        Open();
        QCOMPARE(Panel(2), count);
        QCOMPARE(Panel(3), kb);
    }

    // The count is a plain number, never grouped, and goes past the 16-bit limit.
    void countBeyond32767() {
        QStringList paths;
        const QString dir = env_->MakeFolder("many");
        for (int i = 0; i < 40000; ++i) {
            const QString p = dir + QString("/f%1").arg(i);
            QFile f(p);
            QVERIFY(f.open(QIODevice::WriteOnly));
            paths.append(p);
        }
        StoreAndLoad(paths);
        Open();
        QCOMPARE(Panel(2), QString("40000 Datei(en)"));
        QCOMPARE(List()->model()->rowCount(), 40000);
    }

    void loadDropsVanishedFiles() {
        const QString a = MakeSized(Home() + "/a", 1000);
        const QString b = MakeSized(Home() + "/b", 600);
        const QString c = MakeSized(Home() + "/c", 5000);
        StoreAndLoad({a, b, c});
        QFile::remove(c);
        Open();
        QCOMPARE(Shown(), QStringList({a, b}));
        QCOMPARE(ListedInOrder(), QStringList({a, b}));
        QCOMPARE(Panel(2), QString("2 Datei(en)"));
        QCOMPARE(Panel(3), QString("2 KB"));
    }

    // Files added once, folders scanned five levels deep, the rest ignored, one check at the end.
    void dropMixedFilesAndFolders() {
        const QString listed = env_->MakeFile("listed.txt");
        const QString gone = env_->MakeFile("gone.txt");
        StoreAndLoad({listed, gone});
        Open();
        QFile::remove(gone);
        const QString x = env_->MakeFile("x.txt", "12345");
        QString level = "dir";
        QStringList deep;
        for (int i = 0; i <= 5; ++i) {
            deep.append(env_->MakeFile(level + QString("/f%1").arg(i)));
            level += QString("/L%1").arg(i + 1);
        }
        const QString missing = Home() + "/missing.txt";
        QStringList told;
        StandardDialogs::SetMessageHook(
            [&told](const QString&, const QString& text, QMessageBox::Icon) { told.append(text); });
        QVERIFY(Drop(FileUrls({x, Home() + "/dir", x, missing, listed}).get()));
        StandardDialogs::SetMessageHook(nullptr);
        // f5 lies five levels below: left out, and the window says so once the drop is done.
        QCOMPARE(told, QStringList({"„" + Home() +
                                    "/dir“ wurde nur 5 Ebenen tief durchsucht; der "
                                    "Ordner „" +
                                    Home() +
                                    "/dir/L1/L2/L3/L4/L5“ darunter wurde "
                                    "mit seinem Inhalt ausgelassen."}));
        const QStringList taken = deep.mid(0, 5);
        QCOMPARE(ListedInOrder(), QStringList({listed, x}) + taken);
        QStringList sorted = QStringList({listed, x}) + taken;
        std::sort(sorted.begin(), sorted.end(), FileListModel::PathLess);
        QCOMPARE(Shown(), sorted);
        QCOMPARE(Panel(2), QString("7 Datei(en)"));
    }

    // A dropped home leaves out what the options exclude (a new user's cache and trash) and the
    // program's own archives, but not the other files of their folder; an archive dropped on its
    // own is taken.
    void dropLeavesOutExcludedFoldersAndArchives() {
        env_->MakeFile(".cache/thumbnails/t.png");
        env_->MakeFile(".local/share/Trash/files/weg.txt");
        const QString archive = env_->MakeFile("Sicherungen/20260101_1200 Backup.zip");
        const QString note = env_->MakeFile("Sicherungen/Notiz.txt");
        const QString letter = env_->MakeFile("Briefe/Brief.odt");
        Open();
        QVERIFY(Drop(FileUrls({Home()}).get()));
        QCOMPARE(ListedInOrder(), QStringList({letter, note}));
        QVERIFY(Drop(FileUrls({archive}).get()));
        QCOMPARE(ListedInOrder(), QStringList({letter, note, archive}));
    }

    // The empty list says in grey how files get there, to the eye and to a screen reader; the
    // first row takes the hint away, and it comes back when the list is empty again.
    void emptyListSaysHowFilesGetThere() {
        Open();
        QWidget* viewport = List()->viewport();
        const QColor base = viewport->palette().color(QPalette::Base);
        // Pixels other than the background in the middle of the list, where no row lies.
        const auto inkInTheMiddle = [&] {
            const QImage image = viewport->grab().toImage();
            const QRect middle(image.width() / 4, image.height() / 3, image.width() / 2,
                               image.height() / 3);
            int ink = 0;
            for (int y = middle.top(); y <= middle.bottom(); ++y) {
                for (int x = middle.left(); x <= middle.right(); ++x) {
                    ink += image.pixelColor(x, y) != base ? 1 : 0;
                }
            }
            return ink;
        };
        const QString hint = List()->accessibleDescription();
        for (const char* way : {"ziehen", "Zur Datensicherung hinzufügen", "Öffnen mit",
                                "„Extras → Dateien suchen“"}) {
            QVERIFY2(hint.contains(QString::fromUtf8(way)), way);
        }
        QVERIFY(inkInTheMiddle() > 100);

        const QString a = env_->MakeFile("a.txt");
        QVERIFY(Drop(FileUrls({a}).get()));
        QCOMPARE(Shown(), QStringList({a}));
        QCOMPARE(List()->accessibleDescription(), QString());
        QCOMPARE(inkInTheMiddle(), 0);

        List()->selectAll();
        QTest::keyClick(List(), Qt::Key_Delete);
        QCOMPARE(Shown(), QStringList());
        QCOMPARE(List()->accessibleDescription(), hint);
        QVERIFY(inkInTheMiddle() > 100);
    }

    // A dropped folder gets the fixed settings, whatever the previous scan left behind; the
    // extension filter only with "UseExtensionFilterInFolderScan".
    void dropUsesFixedScanSettings() {
        using namespace modRegistry;
        RegWriteText(HKEY_CURRENT_USER, modBackup::kOptionsKey, "ExtensionCount", "1");
        RegWriteText(HKEY_CURRENT_USER, modBackup::kOptionsKey, "Extension0", "TMP");
        const QString keep = env_->MakeFile("t/keep.txt");
        const QString tmp = env_->MakeFile("t/skip.tmp");
        const QString loose = env_->MakeFile("loose.tmp");
        Open();
        State().ScanRecursionLimit = 1;
        State().ScanArchiveOnly = true;
        State().Extensions->Add("TXT");
        const QString sub = env_->MakeFile("t/sub/in.txt");
        QVERIFY(Drop(FileUrls({Home() + "/t"}).get()));
        QCOMPARE(ListedInOrder(), QStringList({keep, tmp, sub}));

        QVERIFY(modBackup::WriteFlagOption(modBackup::OptExtFilterScan, true));
        win_->ClearFileList();
        State().BackupFiles->RemoveAll();
        QVERIFY(Drop(FileUrls({Home() + "/t", loose}).get()));
        QCOMPARE(ListedInOrder(), QStringList({keep, sub, loose}));
    }

    void dragFeedback_data() {
        QTest::addColumn<QList<QUrl>>("urls");
        QTest::addColumn<QString>("text");
        QTest::addColumn<int>("actions");
        QTest::addColumn<bool>("accepted");
        const QUrl file = QUrl::fromLocalFile("/tmp/whatever.txt");
        const QUrl web("https://example.org/a.txt");
        const int copyMove = Qt::CopyAction | Qt::MoveAction;
        QTest::newRow("files") << QList<QUrl>{file, file} << "" << copyMove << true;
        QTest::newRow("web") << QList<QUrl>{web} << "" << copyMove << false;
        QTest::newRow("mixed") << QList<QUrl>{file, web} << "" << copyMove << false;
        QTest::newRow("text") << QList<QUrl>{} << "/tmp/whatever.txt" << copyMove << false;
        QTest::newRow("move only") << QList<QUrl>{file} << "" << int(Qt::MoveAction) << false;
    }
    void dragFeedback() {
        QFETCH(QList<QUrl>, urls);
        QFETCH(QString, text);
        QFETCH(int, actions);
        QFETCH(bool, accepted);
        Open();
        QMimeData mime;
        if (!urls.isEmpty()) {
            mime.setUrls(urls);
        }
        if (!text.isEmpty()) {
            mime.setText(text);
        }
        QWidget* vp = List()->viewport();
        QDragEnterEvent enter(vp->rect().center(), Qt::DropActions(actions), &mime, Qt::LeftButton,
                              Qt::NoModifier);
        QCoreApplication::sendEvent(vp, &enter);
        QCOMPARE(enter.isAccepted(), accepted);
        QCOMPARE(enter.dropAction(), accepted ? Qt::CopyAction : Qt::IgnoreAction);
        // Even if dropped, data that is no file list changes nothing.
        const QString real = env_->MakeFile("real.txt");
        QMimeData other;
        other.setUrls({QUrl::fromLocalFile(real), QUrl("https://example.org/")});
        QDropEvent drop(QPointF(vp->rect().center()), Qt::CopyAction, &other, Qt::LeftButton,
                        Qt::NoModifier);
        QCoreApplication::sendEvent(vp, &drop);
        QTest::qWait(20);
        QVERIFY(!drop.isAccepted());
        QCOMPARE(Shown(), QStringList());
    }

    // Delete key and "&Löschen" remove every selected entry from list and BackupFiles, never the
    // files themselves.
    void deleteSelected_data() {
        QTest::addColumn<bool>("byKey");
        QTest::newRow("Delete key") << true;
        QTest::newRow("menu") << false;
    }
    void deleteSelected() {
        QFETCH(bool, byKey);
        QStringList paths;
        for (const char* n : {"a", "b", "c", "d", "e"}) {
            paths.append(env_->MakeFile(n));
        }
        StoreAndLoad(paths);
        frmMain& w = Open();
        Click(1);
        Click(3, Qt::ControlModifier);
        Click(4, Qt::ControlModifier);
        QCOMPARE(List()->selectionModel()->selectedRows().size(), 3);
        if (byKey) {
            QTest::keyClick(List(), Qt::Key_Delete);
        } else {
            w.activateWindow();
            QVERIFY(QTest::qWaitForWindowActive(&w));
            QTest::keyClick(&w, Qt::Key_B, Qt::AltModifier);
            QTRY_VERIFY(Menu("mnuEdit")->isVisible());
            QTest::keyClick(Menu("mnuEdit"), Qt::Key_L);
        }
        QTRY_COMPARE(Shown(), QStringList({paths[0], paths[2]}));
        QCOMPARE(ListedInOrder(), QStringList({paths[0], paths[2]}));
        QCOMPARE(Panel(2), QString("2 Datei(en)"));
        for (const QString& p : paths) {
            QVERIFY(QFile::exists(p));
        }
        // A range by Shift and the arrow keys goes as well.
        Click(0);
        QTest::keyClick(List(), Qt::Key_Down, Qt::ShiftModifier);
        QTest::keyClick(List(), Qt::Key_Delete);
        QCOMPARE(Shown(), QStringList());
    }

    void deleteWithNothingSelectedOnlyChecks() {
        const QString a = env_->MakeFile("a");
        const QString b = env_->MakeFile("b");
        StoreAndLoad({a, b});
        Open();
        QFile::remove(b);
        QCOMPARE(Panel(2), QString("2 Datei(en)"));
        Action("mnuDelete")->trigger();
        QCOMPARE(Shown(), QStringList({a}));
        QCOMPARE(ListedInOrder(), QStringList({a}));
        QCOMPARE(Panel(2), QString("1 Datei(en)"));
    }

    void reloadBringsBackTheStoredList() {
        const QString a = env_->MakeFile("a");
        const QString b = env_->MakeFile("b");
        const QString c = env_->MakeFile("c");
        StoreAndLoad({a, b, c});
        Open();
        Click(1);
        QTest::keyClick(List(), Qt::Key_Delete);
        QCOMPARE(Shown(), QStringList({a, c}));
        Action("mnuReload")->trigger();
        QCOMPARE(Shown(), QStringList({a, b, c}));

        const QString d = env_->MakeFile("d");
        QVERIFY(Drop(FileUrls({d}).get()));
        QCOMPARE(Shown(), QStringList({a, b, c, d}));
        QFile::remove(a);
        Action("mnuReload")->trigger();
        QCOMPARE(Shown(), QStringList({b, c}));
        QCOMPARE(ListedInOrder(), QStringList({b, c}));
        QCOMPARE(Panel(2), QString("2 Datei(en)"));
    }

    void closeStoresTheList_data() {
        QTest::addColumn<bool>("byMenu");
        QTest::newRow("close box") << false;
        QTest::newRow("B&eenden") << true;
    }
    void closeStoresTheList() {
        QFETCH(bool, byMenu);
        const QString a = env_->MakeFile("a");
        const QString b = env_->MakeFile("b");
        StoreAndLoad({a, b});
        frmMain& w = Open();
        const QString c = env_->MakeFile("c");
        QVERIFY(Drop(FileUrls({c}).get()));
        Click(0);
        QTest::keyClick(List(), Qt::Key_Delete);
        QCOMPARE(StoredList(), QStringList({a, b}));  // nothing stored before the close
        if (byMenu) {
            Action("mnuExit")->trigger();
        } else {
            QVERIFY(w.close());
        }
        QVERIFY(!w.isVisible());
        QCOMPARE(StoredList(), QStringList({b, c}));
        QVERIFY(!State().BackupFiles);
        w.close();  // a second close must not store an empty list
        QCOMPARE(StoredList(), QStringList({b, c}));
    }

    // Releasing the right button starts tmrMenu; about 100 ms later "&Bearbeiten" pops up at the
    // pointer, and the selection made before is what "&Löschen" acts on.
    void popupMenuTimer() {
        const QString a = env_->MakeFile("a");
        const QString b = env_->MakeFile("b");
        const QString c = env_->MakeFile("c");
        StoreAndLoad({a, b, c});
        frmMain& w = Open();
        auto* timer = w.findChild<QTimer*>("tmrMenu");
        QMenu* edit = Menu("mnuEdit");
        Click(0);
        QVERIFY(!timer->isActive());

        const QPoint at = RowCenter(2);
        QCursor::setPos(List()->viewport()->mapToGlobal(at));
        QTest::mousePress(List()->viewport(), Qt::RightButton, {}, at);
        QTest::mouseRelease(List()->viewport(), Qt::RightButton, {}, at);
        QVERIFY(timer->isActive());
        QVERIFY(!edit->isVisible());
        QCOMPARE(List()->selectionModel()->selectedRows().size(), 1);
        QVERIFY(List()->selectionModel()->isRowSelected(0));
        QTest::qWait(50);
        QVERIFY(!edit->isVisible());
        QTRY_VERIFY_WITH_TIMEOUT(edit->isVisible(), 1000);
        QVERIFY(!timer->isActive());
        QVERIFY((edit->geometry().topLeft() - QCursor::pos()).manhattanLength() <= 2);
        QTest::keyClick(edit, Qt::Key_L);
        QTRY_COMPARE(Shown(), QStringList({b, c}));
    }

    // The list follows the client area only while it is at least 1500 twips high.
    void layoutRule() {
        frmMain& w = Open();
        QWidget* client = w.centralWidget();
        const int bar = w.findChild<QStatusBar*>("StatusBar")->height();
        const int chrome = w.height() - client->height() - bar;
        w.resize(700, chrome + Twips::ToPixelsY(1400, &w));
        QTRY_VERIFY(client->height() + bar < Twips::ToPixelsY(1500, &w));
        QVERIFY(List()->height() > client->height());
        const QRect kept = List()->geometry();
        w.resize(500, chrome + Twips::ToPixelsY(1300, &w));
        QTRY_COMPARE(client->width(), 500);
        QCOMPARE(List()->geometry(), kept);
        w.resize(520, chrome + Twips::ToPixelsY(1600, &w));
        QTRY_COMPARE(List()->geometry(), client->rect());
    }

    // What the search and the backup dialog use: the scan's window outlet, emptying the list,
    // and the list check, which alone updates the status bar.
    void operationsForOtherForms() {
        const QString a = env_->MakeFile("a");
        StoreAndLoad({a});
        frmMain& w = Open();
        QCOMPARE(State().WindowOutlet, static_cast<modBackup::IWindowOutlet*>(&w));
        const QString n1 = env_->MakeFile("s/n1");
        State().ScanRecursionLimit = 0;
        State().ScanArchiveOnly = false;
        State().ScanChangedOnly = false;
        modBackup::ScanFolder(State().FSO.GetFolder(Home() + "/s"), true, false);
        QTRY_COMPARE(Shown(), QStringList({a, n1}));
        QCOMPARE(Panel(2), QString("1 Datei(en)"));
        w.CheckFiles();
        QCOMPARE(Panel(2), QString("2 Datei(en)"));
        w.ClearFileList();
        QCOMPARE(Shown(), QStringList());
        QCOMPARE(ListedInOrder(), QStringList({a, n1}));
        w.CheckFiles();
        QCOMPARE(Panel(2), QString("0 Datei(en)"));
        win_.reset();
        QVERIFY(State().WindowOutlet == nullptr);
    }

    // A file manager hands over names from old disks as percent-encoded bytes: they are kept.
    void dropKeepsNamesThatAreNotUtf8() {
        const QByteArray raw = NativePath(env_->MakeFolder("alt")) +
                               "/Gr\xfc\xdf"
                               "e.txt";
        const int fd = ::open(raw.constData(), O_CREAT | O_WRONLY, 0644);
        QVERIFY(fd >= 0);
        ::close(fd);
        Open();
        auto mime = std::make_unique<QMimeData>();
        mime->setUrls({QUrl::fromEncoded("file://" + raw.toPercentEncoding("/"))});
        QVERIFY(Drop(mime.get()));
        QCOMPARE(ListedInOrder(), QStringList({PathFromNative(raw)}));
        QCOMPARE(Shown(), QStringList({Home() + "/alt/Gr\\xFC\\xDFe.txt"}));
        QCOMPARE(Panel(2), QString("1 Datei(en)"));
        ::unlink(raw.constData());  // QTemporaryDir cannot name it
    }

    // Records of files saved long ago and deleted since must not stay in the mark store for ever.
    void openingTheWindowDropsMarksOfVanishedFiles() {
        const QString kept = env_->MakeFile("kept.txt");
        const QString deleted = env_->MakeFile("old/deleted.txt");
        QVERIFY(State().FSO.GetFile(kept).SetAttributes(0));
        QVERIFY(State().FSO.GetFile(deleted).SetAttributes(0));
        QVERIFY(QFile::remove(deleted));
        const auto recorded = [this] {
            QProcess sqlite;
            sqlite.start("sqlite3", {Home() + "/../state/tarvello/archive-marks.sqlite3",
                                     "SELECT path FROM archive_marks"});
            sqlite.waitForFinished();
            return QString::fromUtf8(sqlite.readAllStandardOutput()).trimmed();
        };
        QCOMPARE(recorded(), kept + "\n" + deleted);
        Open();
        QTRY_COMPARE(recorded(), kept);
    }

    // Other starts of the program meet the open window, not the store: their paths are added as
    // intake adds them, shown, counted and stored at once; a second window start raises it.
    void otherStartsReachTheWindow() {
        const QString a = env_->MakeFile("a.txt");
        StoreAndLoad({a});
        SingleInstance::Lock lock;  // taken by the program's start before the window opens
        QVERIFY(lock.TryAcquire().ValueOr(false));
        frmMain& w = Open();
        QVERIFY(w.ListenForOtherStarts());
        const QString b = env_->MakeFile("in/b.txt");
        const QString c = env_->MakeFile("in/tree/1/2/3/4/c.txt");
        env_->MakeFile("in/tree/1/2/3/4/5/too deep.txt");
        const QString d = env_->MakeFile("d.txt");
        QProcess one;
        QProcess two;
        one.start(SONDREL_PROGRAM, {b, Home() + "/in/tree", a});
        two.start(SONDREL_PROGRAM, {d});
        QTRY_VERIFY_WITH_TIMEOUT(
            one.state() == QProcess::NotRunning && two.state() == QProcess::NotRunning, 60000);
        QCOMPARE(one.exitCode(), 0);
        QCOMPARE(two.exitCode(), 0);
        // The window's scan stopped at its level limit: the start that handed it the folder says
        // so.
        QCOMPARE(QString::fromUtf8(one.readAllStandardError()),
                 "Sondrel: „" + Home() +
                     "/in/tree“ wurde nur 5 Ebenen tief durchsucht; der "
                     "Ordner „" +
                     Home() +
                     "/in/tree/1/2/3/4/5“ darunter wurde mit seinem Inhalt "
                     "ausgelassen.\n");
        QCOMPARE(two.readAllStandardError(), QByteArray());
        QCOMPARE(Shown(), QStringList({a, d, b, c}));
        QCOMPARE(Panel(2), QString("4 Datei(en)"));
        QStringList stored = StoredList();
        stored.sort();
        QCOMPARE(stored, QStringList({a, d, b, c}));

        w.showMinimized();
        QTRY_VERIFY(w.isMinimized());
        QProcess window;
        window.start(SONDREL_PROGRAM, QStringList());
        QTRY_VERIFY_WITH_TIMEOUT(window.state() == QProcess::NotRunning, 60000);
        QCOMPARE(window.exitCode(), 0);
        QTRY_VERIFY(!w.isMinimized());
    }

    // A window whose stored list could not be read (another program held the store) never
    // saves over it: an intake is kept in the window and told so, the close asks, and once the
    // store can be read the two lists are stored together.
    void anUnreadStoredListIsNeverSavedOver() {
        const QString a = env_->MakeFile("a.txt");
        const QString b = env_->MakeFile("b.txt");
        StoreAndLoad({a, b});
        State().BackupFiles->RemoveAll();  // as a start whose load failed leaves it
        SingleInstance::Lock lock;
        QVERIFY(lock.TryAcquire().ValueOr(false));
        const QString store = modRegistry::StorePath(modRegistry::HKEY_CURRENT_USER);
        modRegistry::CloseStores();
        sqlite3* other = nullptr;
        QCOMPARE(sqlite3_open(NativePath(store).constData(), &other), SQLITE_OK);
        QCOMPARE(sqlite3_exec(other, "PRAGMA locking_mode=EXCLUSIVE; BEGIN EXCLUSIVE;", nullptr,
                              nullptr, nullptr),
                 SQLITE_OK);
        QCOMPARE(
            sqlite3_exec(other, "UPDATE reg_values SET data = data", nullptr, nullptr, nullptr),
            SQLITE_OK);
        frmMain& w = Open();
        w.SetStoredListUnread(QStringLiteral("gesperrt"));
        QVERIFY(w.ListenForOtherStarts());
        QVERIFY(Panel(1).startsWith("Gespeicherte Liste nicht gelesen"));

        const QString c = env_->MakeFile("c.txt");
        QProcess intake;
        intake.start(SONDREL_PROGRAM, {c});
        QTRY_VERIFY_WITH_TIMEOUT(intake.state() == QProcess::NotRunning, 60000);
        QCOMPARE(intake.exitCode(), 1);
        QVERIFY(QString::fromUtf8(intake.readAllStandardError())
                    .contains("behält das offene Fenster die Dateien"));
        QCOMPARE(Shown(), QStringList({c}));

        QString text;
        WhenModalAppears([&text](QWidget* modal) {
            auto* box = qobject_cast<QMessageBox*>(modal);
            QVERIFY(box != nullptr);
            text = box->text();
            for (QAbstractButton* button : box->buttons()) {
                if (button->text() == "&Zurück zum Fenster") {
                    button->click();
                }
            }
        });
        QVERIFY(!w.close());
        QVERIFY(
            text.startsWith("Die gespeicherte Dateiliste kann noch immer nicht gelesen werden"));
        QVERIFY(text.contains("Die 1 Datei(en) im Fenster"));

        sqlite3_exec(other, "ROLLBACK", nullptr, nullptr, nullptr);
        sqlite3_close(other);
        const QString d = env_->MakeFile("d.txt");
        intake.start(SONDREL_PROGRAM, {d});
        QTRY_VERIFY_WITH_TIMEOUT(intake.state() == QProcess::NotRunning, 60000);
        QCOMPARE(intake.exitCode(), 0);
        QCOMPARE(Shown(), QStringList({a, b, c, d}));
        QCOMPARE(Panel(1), QString());
        QStringList stored = StoredList();
        stored.sort();
        QCOMPARE(stored, QStringList({a, b, c, d}));
        QVERIFY(w.close());
        QCOMPARE(StoredList().size(), 4);
    }

    // When the list cannot be stored at the close, the user chooses: stay, try again, or end
    // without saving.
    void aFailedSaveAtTheCloseLetsTheUserChoose_data() {
        QTest::addColumn<bool>("endWithoutSaving");
        QTest::newRow("stay, then try again") << false;
        QTest::newRow("end without saving") << true;
    }
    void aFailedSaveAtTheCloseLetsTheUserChoose() {
        QFETCH(bool, endWithoutSaving);
        const QString a = env_->MakeFile("a");
        StoreAndLoad({a});
        frmMain& w = Open();
        const QString b = env_->MakeFile("b");
        QVERIFY(Drop(FileUrls({b}).get()));
        const QString store = modRegistry::StorePath(modRegistry::HKEY_CURRENT_USER);
        modRegistry::CloseStores();
        QVERIFY(QFile::rename(store, store + ".aside"));
        QVERIFY(QDir().mkpath(store));

        const auto answer = [](const QString& caption, QString* text,
                               const std::function<void()>& before = {}) {
            WhenModalAppears([=](QWidget* modal) {
                auto* box = qobject_cast<QMessageBox*>(modal);
                QVERIFY(box != nullptr);
                *text = box->text();
                if (before) {
                    before();
                }
                for (QAbstractButton* button : box->buttons()) {
                    if (button->text() == caption) {
                        button->click();
                    }
                }
            });
        };
        QString text;
        answer(endWithoutSaving ? "&Ohne Speichern beenden" : "&Zurück zum Fenster", &text);
        QCOMPARE(w.close(), endWithoutSaving);
        QVERIFY(text.startsWith("Die Dateiliste konnte nicht gespeichert werden.\n\n„" + store +
                                "“: die Datei ist ein Ordner"));
        QCOMPARE(w.isVisible(), !endWithoutSaving);
        if (endWithoutSaving) {
            return;
        }
        answer("&Wiederholen", &text, [store] {
            QDir(store).removeRecursively();
            QFile::rename(store + ".aside", store);
        });
        QVERIFY(w.close());
        QCOMPARE(StoredList(), QStringList({a, b}));
    }

    // Merges and removals keep the order, the model's contract and the selection, whether they
    // are announced one by one or as one layout change.
    void modelKeepsOrderAndSelection_data() {
        QTest::addColumn<int>("spread");
        QTest::newRow("few gaps") << 3;
        QTest::newRow("many gaps") << 200;
    }
    void modelKeepsOrderAndSelection() {
        QFETCH(int, spread);
        FileListModel model;
        QAbstractItemModelTester tester(&model,
                                        QAbstractItemModelTester::FailureReportingMode::QtTest);
        QListView view;
        view.setModel(&model);
        view.setSelectionMode(QAbstractItemView::ExtendedSelection);
        QStringList first;
        for (int i = 0; i < 400; i += 2) {
            first.append(QString("/p/%1").arg(i, 4, 10, QChar('0')));
        }
        model.AppendMany(first);
        QCOMPARE(model.Count(), 200);
        auto* sel = view.selectionModel();
        sel->select(model.index(10, 0), QItemSelectionModel::Select);
        sel->select(model.index(150, 0), QItemSelectionModel::Select);
        const QString s1 = model.At(10);
        const QString s2 = model.At(150);
        QStringList added;
        for (int i = 0; i < spread; ++i) {
            added.append(QString("/p/%1").arg(1 + i * (400 / spread), 4, 10, QChar('0')));
        }
        for (const QString& p : added) {
            model.Append(p);
        }
        QStringList all = first + added;
        std::sort(all.begin(), all.end(), FileListModel::PathLess);
        QCOMPARE(model.Paths(), all);
        QCOMPARE(SelectedPaths(model, *sel), QStringList({s1, s2}));

        std::vector<int> gone;
        for (int r = 0; r < model.Count(); r += (spread > 16 ? 3 : 90)) {
            if (model.At(r) != s1 && model.At(r) != s2) {
                gone.push_back(r);
            }
        }
        QStringList left = all;
        for (auto it = gone.rbegin(); it != gone.rend(); ++it) {
            left.removeAt(*it);
        }
        model.RemoveRows(gone);
        QCOMPARE(model.Paths(), left);
        QCOMPARE(SelectedPaths(model, *sel), QStringList({s1, s2}));
    }
};

QTEST_MAIN(TestFrmMain)
#include "test_frmMain.moc"
