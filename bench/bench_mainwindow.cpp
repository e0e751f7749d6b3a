// Times the main window at size: loading, showing and checking a stored list of 100,000 files, the
// drop of a folder holding 20,000 files (onto that list and onto an empty one), and deleting every
// entry at once. Runs offscreen in a temporary home; prints wall and CPU seconds per step.

#include <time.h>

#include <QAbstractItemView>
#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QListView>
#include <QMimeData>
#include <QTemporaryDir>
#include <QUrl>
#include <QtTest>
#include <cstdio>
#include <functional>
#include <memory>

#include "app/modBackup.h"
#include "app/modRegistry.h"
#include "ui/frmMain.h"

using modBackup::State;

namespace {

double threadSeconds() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

void timed(const char* what, const std::function<void()>& step) {
    QElapsedTimer wall;
    wall.start();
    const double cpu = threadSeconds();
    step();
    std::printf("%-58s %7.2f s wall %7.2f s cpu\n", what,
                static_cast<double>(wall.elapsed()) / 1000.0, threadSeconds() - cpu);
    std::fflush(stdout);
}

/// Creates files folders x perFolder below root (each folder nested `depth` levels down).
QStringList makeTree(const QString& root, int folders, int perFolder, int depth) {
    QStringList paths;
    for (int f = 0; f < folders; ++f) {
        QString dir = root;
        for (int d = 0; d < depth; ++d) {
            dir += QStringLiteral("/Ebene %1").arg(d);
        }
        dir += QStringLiteral("/Ordner %1").arg(f);
        QDir().mkpath(dir);
        for (int i = 0; i < perFolder; ++i) {
            const QString path = dir + QStringLiteral("/Datei %1.txt").arg(i);
            QFile file(path);
            if (file.open(QIODevice::WriteOnly)) {
                file.write("0123456789");
            }
            paths.append(path);
        }
    }
    return paths;
}

QListView* listOf(frmMain& w) {
    return w.findChild<QListView*>(QStringLiteral("lbFiles"));
}

void dropFolder(frmMain& w, const QString& folder, int expectedRows) {
    QListView* list = listOf(w);
    QMimeData mime;
    mime.setUrls({QUrl::fromLocalFile(folder)});
    QWidget* vp = list->viewport();
    const QPoint at = vp->rect().center();
    QDragEnterEvent enter(at, Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(vp, &enter);
    QDropEvent drop(QPointF(at), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(vp, &drop);
    while (list->model()->rowCount() != expectedRows) {
        QCoreApplication::processEvents();
    }
    QCoreApplication::processEvents();
}

}  // namespace

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }
    QTemporaryDir tmp;
    qputenv("HOME", QFile::encodeName(tmp.path()));
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(tmp.path() + QStringLiteral("/config")));
    qputenv("XDG_STATE_HOME", QFile::encodeName(tmp.path() + QStringLiteral("/state")));
    QApplication app(argc, argv);
    QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany));
    modBackup::ResetState();
    State().Extensions = std::make_unique<CListString>();
    State().ExcludeFolders = std::make_unique<CListString>();

    QStringList stored;
    timed("create 100,000 files (setup)",
          [&] { stored = makeTree(tmp.path() + QStringLiteral("/liste"), 100, 1000, 0); });
    // Stored in an order that is not the display order, so that loading has to sort.
    std::reverse(stored.begin(), stored.end());
    QStringList dropped;
    timed("create a folder tree of 20,000 files (setup)",
          [&] { dropped = makeTree(tmp.path() + QStringLiteral("/drop"), 20, 1000, 3); });
    timed("store the list of 100,000 (setup)", [&] {
        modBackup::LoadBackupList();
        for (const QString& p : stored) {
            State().BackupFiles->Add(p);
        }
        modBackup::SaveBackupList();
    });

    std::unique_ptr<frmMain> w;
    timed("LoadBackupList: 100,000 stored paths", [] { modBackup::LoadBackupList(); });
    timed("window load: fill, sort and check 100,000 entries",
          [&] { w = std::make_unique<frmMain>(); });
    timed("show and paint", [&] {
        w->show();
        if (!QTest::qWaitForWindowExposed(w.get())) {
            std::puts("window not exposed");
        }
        QCoreApplication::processEvents();
    });
    timed("list check of 100,000 entries", [&] { w->CheckFiles(); });
    timed("drop a folder of 20,000 files onto 100,000 entries",
          [&] { dropFolder(*w, tmp.path() + QStringLiteral("/drop"), 120000); });
    timed("select all and delete 120,000 entries", [&] {
        QListView* list = listOf(*w);
        list->selectAll();
        QTest::keyClick(list, Qt::Key_Delete);
        QCoreApplication::processEvents();
    });
    timed("drop a folder of 20,000 files onto an empty list",
          [&] { dropFolder(*w, tmp.path() + QStringLiteral("/drop"), 20000); });
    timed("close: store 20,000 entries", [&] { w->close(); });
    w.reset();
    modBackup::ResetState();
    modRegistry::CloseStores();
    return 0;
}
