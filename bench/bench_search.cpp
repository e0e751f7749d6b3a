// The change search over 100,000 files of which 1,000 changed after the stored last-backup time
// (and so have their archive marks set, every other file's being cleared), against
// `find TREE -type f -newer STAMP` in the same run, on a warm cache.
//
// Usage: bench_search [files [changed]]. Everything lives in a temporary folder that also serves
// as the home, config and state folder, so the user's files and settings are never touched.
//
// Timed: (a) find; (b) the search's code path as the dialog runs it: settings stored and turned
// into scan parameters, ScanFolder with a window outlet and a search outlet that counts and sets
// the status text as the dialog does (with the yield after each report); (c) the dialog itself,
// offscreen, from the click on "Suchen" to the end, which includes its 200 ms start delay;
// (d) and (e) the search of sondrel-backup --search by date and by archive mark (the marks of the
// tree loaded in one query), as the daily timer runs it.

#include <fcntl.h>
#include <sys/stat.h>

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QLabel>
#include <QProcess>
#include <QPushButton>
#include <QTemporaryDir>
#include <algorithm>
#include <cstdio>
#include <ctime>

#include "app/DailySearch.h"
#include "app/SearchSettings.h"
#include "app/modBackup.h"
#include "app/modRegistry.h"
#include "ui/frmSearch.h"

namespace {

class ListOutlet : public modBackup::IWindowOutlet {
public:
    void AddToFileList(const QString& sPath) override { paths.append(sPath); }
    QStringList paths;
};

// Does what the dialog's FileFound does.
class CountingOutlet : public modBackup::ISearchOutlet {
public:
    void FileFound(const QString&) override {
        ++lFound;
        status.setText(QStringLiteral("Suche läuft ... (") + QString::number(lFound) +
                       QStringLiteral(" Datei(en) gefunden)"));
    }
    bool bStopped() const override { return false; }
    int lFound = 0;
    QLabel status;
};

class QuietOutlet : public modBackup::ISearchOutlet {
public:
    void FileFound(const QString&) override {}
    bool bStopped() const override { return false; }
};

bool SetTime(const QString& path, time_t when) {
    const timespec times[2] = {{when, 0}, {when, 0}};
    return utimensat(AT_FDCWD, QFile::encodeName(path).constData(), times, 0) == 0;
}

double Millis(const QElapsedTimer& timer) {
    return timer.nsecsElapsed() / 1e6;
}

void FreshLists() {
    modBackup::SharedState& state = modBackup::State();
    state.BackupFiles = std::make_unique<CListString>();
    state.Extensions = std::make_unique<CListString>();
    state.ExcludeFolders = std::make_unique<CListString>();
}

}  // namespace

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QTemporaryDir dir;
    if (!dir.isValid()) {
        std::fprintf(stderr, "no temporary folder\n");
        return 1;
    }
    const QString root = dir.path();
    qputenv("HOME", QFile::encodeName(root));
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(root + "/config"));
    qputenv("XDG_STATE_HOME", QFile::encodeName(root + "/state"));
    QApplication app(argc, argv);
    const int files = argc > 1 ? std::max(100, atoi(argv[1])) : 100000;
    const int changed = argc > 2 ? std::clamp(atoi(argv[2]), 0, files) : 1000;

    // 100 leaf folders three levels deep, the files spread evenly; every files/changed-th file
    // is one of the changed ones.
    const QString tree = root + "/tree";
    const time_t lastBackup = time(nullptr) - 3600;
    const time_t before = lastBackup - 86400;
    const time_t after = lastBackup + 600;
    const int stride = changed > 0 ? files / changed : files + 1;
    QElapsedTimer timer;
    timer.start();
    int made = 0;
    for (int i = 0; i < files; ++i) {
        const QString folder = QStringLiteral("%1/d%2/e%3").arg(tree).arg(i % 10).arg(i / 10 % 10);
        if (i < 100) {
            QDir().mkpath(folder);
        }
        const QString path = QStringLiteral("%1/datei%2.txt").arg(folder).arg(i, 6, 10, QChar('0'));
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly)) {
            std::fprintf(stderr, "cannot write %s\n", qPrintable(path));
            return 1;
        }
        file.write("x");
        file.close();
        SetTime(path, before);
    }
    // Every file saved once, then 1 in 100 changed: its mark is set again.
    modBackup::ResetState();
    FileSystemObject& fso = modBackup::State().FSO;
    fso.Marks().BeginBatch();
    std::vector<QString> changedPaths;
    for (int i = 0; i < files; ++i) {
        const QString path = QStringLiteral("%1/d%2/e%3/datei%4.txt")
                                 .arg(tree)
                                 .arg(i % 10)
                                 .arg(i / 10 % 10)
                                 .arg(i, 6, 10, QChar('0'));
        fso.GetFile(path).SetAttributes(0);
        if (made < changed && i % stride == 0) {
            changedPaths.push_back(path);
            ++made;
        }
    }
    if (!fso.Marks().EndBatch()) {
        std::fprintf(stderr, "cannot clear the marks\n");
        return 1;
    }
    for (const QString& path : changedPaths) {
        SetTime(path, after);
    }
    const QString stamp = root + "/stamp";
    QFile(stamp).open(QIODevice::WriteOnly);
    SetTime(stamp, lastBackup);
    std::printf("tree: %d files, %d changed, built in %.0f ms\n", files, made, Millis(timer));

    modBackup::ResetState();
    FreshLists();
    modBackup::WriteLastBackupAt(QDateTime::fromSecsSinceEpoch(lastBackup));
    modBackup::WriteOption(QStringLiteral("SearchPath"), tree);
    SearchSettings::Values values;
    values.sSearchPath = tree;
    values.bNotUseExtFilter = true;

    auto runFind = [&]() -> int {
        QProcess find;
        find.start(QStringLiteral("find"), {tree, QStringLiteral("-type"), QStringLiteral("f"),
                                            QStringLiteral("-newer"), stamp});
        find.waitForFinished(-1);
        return static_cast<int>(find.readAllStandardOutput().count('\n'));
    };
    auto runSearch = [&]() -> int {
        FreshLists();
        ListOutlet window;
        CountingOutlet search;
        modBackup::SharedState& state = modBackup::State();
        SearchSettings::StoreAndPrepareScan(values);
        state.WindowOutlet = &window;
        state.SearchOutlet = &search;
        modBackup::ScanFolder(state.FSO.GetFolder(tree), true, true);
        QCoreApplication::processEvents();
        state.WindowOutlet = nullptr;
        state.SearchOutlet = nullptr;
        return search.lFound == window.paths.size() ? search.lFound : -1;
    };
    auto runDaily = [&](DailySearch::Rule rule) -> int {
        FreshLists();
        QuietOutlet outlet;
        const Result<DailySearch::Found> found = DailySearch::Run(rule, outlet, false);
        return found && found->sMarksProblem.isEmpty() ? static_cast<int>(found->lFound) : -1;
    };
    auto runDialog = [&]() -> int {
        FreshLists();
        modBackup::WriteOption(QStringLiteral("SearchPath"), tree);
        ListOutlet window;
        frmSearch dialog(nullptr, &window);
        dialog.show();
        dialog.findChild<QPushButton*>(QStringLiteral("cmdAction1"))->click();
        while (!dialog.bStopped()) {
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 10);
        }
        return static_cast<int>(window.paths.size());
    };

    // Warm the cache and check that both find the same files.
    const int foundByFind = runFind();
    const int foundBySearch = runSearch();
    const int foundByDate = runDaily(DailySearch::Rule::Date);
    const int foundByMark = runDaily(DailySearch::Rule::ArchiveMark);
    if (foundByFind != made || foundBySearch != made || foundByDate != made ||
        foundByMark != made) {
        std::fprintf(stderr, "found: find %d, search %d, by date %d, by mark %d, expected %d\n",
                     foundByFind, foundBySearch, foundByDate, foundByMark, made);
        return 1;
    }
    double bestFind = 1e300;
    double bestSearch = 1e300;
    double bestDate = 1e300;
    double bestMark = 1e300;
    for (int round = 0; round < 5; ++round) {
        timer.restart();
        runFind();
        bestFind = std::min(bestFind, Millis(timer));
        timer.restart();
        runSearch();
        bestSearch = std::min(bestSearch, Millis(timer));
        timer.restart();
        runDaily(DailySearch::Rule::Date);
        bestDate = std::min(bestDate, Millis(timer));
        timer.restart();
        runDaily(DailySearch::Rule::ArchiveMark);
        bestMark = std::min(bestMark, Millis(timer));
    }
    timer.restart();
    const int foundByDialog = runDialog();
    const double dialogMs = Millis(timer);

    std::printf("(a) find -type f -newer STAMP:  %8.1f ms  (%d files)\n", bestFind, foundByFind);
    std::printf("(b) search code path:           %8.1f ms  (%d files)  ratio %.2f (target <= 3)\n",
                bestSearch, foundBySearch, bestSearch / bestFind);
    std::printf("(c) dialog, click to end:       %8.1f ms  (%d files, incl. 200 ms start delay)\n",
                dialogMs, foundByDialog);
    std::printf("(d) daily search by date:       %8.1f ms  (%d files)  ratio to find %.2f\n",
                bestDate, foundByDate, bestDate / bestFind);
    std::printf(
        "(e) daily search by mark:       %8.1f ms  (%d files)  ratio to find %.2f "
        "(target <= 3), to (d) %.2f (target <= 1.2)\n",
        bestMark, foundByMark, bestMark / bestFind, bestMark / bestDate);
    modBackup::ResetState();
    modRegistry::CloseStores();
    const bool bFast =
        bestSearch / bestFind <= 3.0 && bestMark / bestFind <= 3.0 && bestMark / bestDate <= 1.2;
    return bFast ? 0 : 2;
}
