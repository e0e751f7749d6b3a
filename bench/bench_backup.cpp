// Speed of a backup through the backup dialog's own code path (the real dialog, offscreen: its
// start button, the growing archiver runs, the label and bar updated and events pumped per file,
// the archive read back and checked):
//   (1) 20,000 small files: the dialog's run against one engine call with all 20,000 names
//       (ZpInit, ZpSetOptions, ZpArchive with the same options, then ZpVerify). Target: at most
//       1.15x.
//   (2) the first 10,000 files of a real set (copies of /usr/share/doc, /usr/include,
//       /usr/share/icons, /usr/share/locale): the dialog's run against "zip -9 -q -@" on the same
//       list. Target: at most 0.6x.
//   (3) the same dialog run with and without the check of the archive, without a password and
//       with one (AES-256). Target: the check adds at most 15%.
//   (4) sondrel-backup, the program the daily timer runs, on the same 10,000 files (from its start
//       to its end: the list loaded, written, checked, the list emptied) against "zip -9 -q -@".
//       Target: at most 0.55x.
// Each pair runs REPEAT times (default 5), alternating; the medians are compared. On a small
// virtual machine one pair varies by up to 10%: judge (1) by REPEAT=11 or more. ONLY_GROWING=1
// stops after (1); ONLY_COMMAND=1 runs (4) alone; ONLY_CHECK=1 runs (3) alone.
//
//   bench_backup [work folder]   (default: a temporary folder under $TMPDIR or /tmp)

#include <sys/resource.h>
#include <unistd.h>
#include <QApplication>
#include <QCheckBox>
#include <QDir>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QLineEdit>
#include <QProcess>
#include <QPushButton>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTest>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "app/BackupRun.h"
#include "app/LocalTimeZone.h"
#include "app/modBackup.h"
#include "app/modRegistry.h"
#include "platform/zipengine/zip32.h"
#include "ui/StandardDialogs.h"
#include "ui/frmBackup.h"

namespace {

const char* const kComment = "tägliches Backup von 01.01.2024 00:00";

int32_t Quiet(const char*, int32_t) {
    return 0;
}
int32_t GoOn(const char*, int32_t) {
    return 0;
}
int16_t NoPassword(char*, int32_t, const char*, const char*) {
    return 1;
}
int16_t Comment(char* buffer) {
    std::snprintf(buffer, ZP_COMMENT_BUFFER_SIZE, "%s", kComment);
    return 1;
}

// Wall time and processor time (all threads, or the child for zip), in seconds.
struct Timing {
    double wall = 0;
    double cpu = 0;
};

double CpuSeconds(int who) {
    rusage usage{};
    getrusage(who, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

class Stopwatch {
public:
    explicit Stopwatch(int who = RUSAGE_SELF) : who_(who), cpu_(CpuSeconds(who)) { wall_.start(); }
    Timing Stop() const {
        return {static_cast<double>(wall_.nsecsElapsed()) / 1e9, CpuSeconds(who_) - cpu_};
    }

private:
    int who_;
    double cpu_;
    QElapsedTimer wall_;
};

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

int Repeats() {
    const int n = qEnvironmentVariableIntValue("REPEAT");
    return n > 0 ? n : 5;
}

int EntriesIn(const QString& archive) {
    QProcess p;
    p.start("python3",
            {"-c", "import sys, zipfile; print(len(zipfile.ZipFile(sys.argv[1]).namelist()))",
             archive});
    p.waitForFinished(-1);
    return p.readAll().trimmed().toInt();
}

// Removes the previous run's archive and waits until the disk is quiet, so that its writeback and
// the dropping of its blocks do not land in the time of the run that follows.
void Settle(const QString& archive) {
    QFile::remove(archive);
    ::sync();
}

// The dialog's run over paths into archive, encrypted with sPassword when it is given; seconds
// from the click on "Backup starten" until the dialog has closed.
Timing DialogRun(const QStringList& paths, const QString& archive, bool bClearMarks,
                 bool bCheck = true, const QString& sPassword = QString()) {
    modBackup::SharedState& state = modBackup::State();
    if (!state.BackupFiles) {
        state.BackupFiles = std::make_unique<CListString>();
    }
    state.BackupFiles->RemoveAll();
    for (const QString& p : paths) {
        state.BackupFiles->Add(p);
    }
    Settle(archive);
    StandardDialogs::SetFileDialogHook(
        [&](const StandardDialogs::FileDialogRequest&, QString* chosen) {
            *chosen = archive;
            return StandardDialogs::FileDialogResult::Accepted;
        });
    QString failure;
    StandardDialogs::SetMessageHook(
        [&](const QString&, const QString& text, QMessageBox::Icon) { failure = text; });
    BackupRun::TestHooks hooks;
    hooks.bSkipVerify = !bCheck;
    BackupRun::SetTestHooks(hooks);

    frmBackup dialog;
    dialog.show();
    (void)QTest::qWaitForWindowExposed(&dialog);
    dialog.findChild<QPushButton*>("cmdAction_0")->click();
    QCheckBox* flag = dialog.findChild<QCheckBox*>("chkArchiveFlag");
    if (flag->isChecked() != bClearMarks) {
        flag->click();
    }
    for (const char* field : {"txtPassword_0", "txtPassword_1"}) {
        dialog.findChild<QLineEdit*>(field)->setText(sPassword);
    }
    const Stopwatch watch;
    dialog.findChild<QPushButton*>("cmdAction_1")->click();
    const Timing seconds = watch.Stop();
    StandardDialogs::SetFileDialogHook(nullptr);
    StandardDialogs::SetMessageHook(nullptr);
    BackupRun::SetTestHooks({});
    if (!failure.isEmpty()) {
        std::fprintf(stderr, "dialog run failed:\n%s\n", qPrintable(failure.left(2000)));
        std::exit(1);
    }
    return seconds;
}

// The run's logic alone, without the dialog: no label, no bar, no events pumped.
Timing LogicRun(const QStringList& paths, const QString& archive) {
    CListString list;
    for (const QString& p : paths) {
        list.Add(p);
    }
    Settle(archive);
    BackupSettings settings;
    settings.sArchivePath = archive;
    settings.sComment = QString::fromUtf8(kComment);
    BackupRun run(settings, nullptr, nullptr);
    const Stopwatch watch;
    const Result<void> done = run.Run(&list);
    const Timing seconds = watch.Stop();
    if (!done) {
        std::fprintf(stderr, "run failed:\n%s\n", qPrintable(done.Reason().left(2000)));
        std::exit(1);
    }
    return seconds;
}

// One engine call with every name, as the component would make it without its limit.
Timing EngineRun(const QStringList& paths, const QString& archive) {
    Settle(archive);
    std::vector<std::string> names;
    names.reserve(static_cast<size_t>(paths.size()));
    for (const QString& p : paths) {
        names.push_back(p.toStdString());
    }
    std::vector<char*> table;
    for (std::string& n : names) {
        table.push_back(n.data());
    }
    std::string path = archive.toStdString();

    const Stopwatch watch;
    const ZpCallbacks callbacks{&Quiet, &Comment, &NoPassword, &GoOn};
    ZpInit(&callbacks);
    ZpOptions options{};
    options.rootDir = "/";
    options.tempDir = "";
    options.quiet = 1;
    options.comment = 1;
    options.level = '9';
    ZpSetOptions(&options);
    const int32_t result =
        ZpArchive(static_cast<int32_t>(table.size()), path.c_str(), table.data());
    const int32_t checked = result == ZP_OK ? ZpVerify(path.c_str(), nullptr, nullptr, nullptr) : 0;
    const Timing seconds = watch.Stop();
    if (result != ZP_OK || checked != ZP_OK) {
        std::fprintf(stderr, "engine run failed: %d, check: %d\n", result, checked);
        std::exit(1);
    }
    return seconds;
}

Timing ZipRun(const QStringList& paths, const QString& archive) {
    Settle(archive);
    const Stopwatch watch(RUSAGE_CHILDREN);
    QProcess zip;
    zip.start("zip", {"-9", "-q", "-@", archive});
    zip.waitForStarted(-1);
    zip.write((paths.join('\n') + '\n').toLocal8Bit());
    zip.closeWriteChannel();
    zip.waitForFinished(-1);
    const Timing seconds = watch.Stop();
    if (zip.exitStatus() != QProcess::NormalExit || zip.exitCode() != 0) {
        std::fprintf(stderr, "zip failed: %s\n", zip.readAllStandardError().constData());
        std::exit(1);
    }
    return seconds;
}

// sondrel-backup over paths, stored as the list first, into folder; from its start to its end.
Timing CommandRun(const QStringList& paths, const QString& folder) {
    if (!modBackup::SaveBackupListOf(paths)) {
        std::fprintf(stderr, "the list could not be stored\n");
        std::exit(1);
    }
    for (const QString& old : QDir(folder).entryList({"*.zip"}, QDir::Files)) {
        QFile::remove(folder + "/" + old);
    }
    ::sync();
    const Stopwatch watch(RUSAGE_CHILDREN);
    QProcess command;
    command.start(SONDREL_BACKUP_PROGRAM, {"--folder", folder});
    command.waitForFinished(-1);
    const Timing seconds = watch.Stop();
    if (command.exitStatus() != QProcess::NormalExit || command.exitCode() != 0) {
        std::fprintf(stderr, "sondrel-backup failed: %s\n",
                     command.readAllStandardError().left(2000).constData());
        std::exit(1);
    }
    return seconds;
}

QStringList MakeSmallFiles(const QString& folder, int count) {
    static const char* const words[] = {"Sicherung", "Datei",     "Ordner",   "Archiv",  "Backup",
                                        "Liste",     "Kommentar", "Passwort", "täglich", "Änderung",
                                        "und",       "der",       "die",      "das",     "ein",
                                        "eine",      "mit",       "ohne"};
    QRandomGenerator random(4711);
    QStringList paths;
    for (int i = 0; i < count; ++i) {
        const QString dir = QString("%1/d%2").arg(folder).arg(i / 1000, 2, 10, QChar('0'));
        if (i % 1000 == 0) {
            QDir().mkpath(dir);
        }
        const QString path = QString("%1/datei%2.txt").arg(dir).arg(i, 5, 10, QChar('0'));
        QByteArray data;
        const int size = 200 + static_cast<int>(random.bounded(3800));
        while (data.size() < size) {
            data += words[random.bounded(static_cast<int>(std::size(words)))];
            data += random.bounded(8) == 0 ? '\n' : ' ';
        }
        QFile file(path);
        if (file.open(QIODevice::WriteOnly)) {
            file.write(data);
        }
        paths.append(path);
    }
    return paths;
}

// Copies regular files of the real set until count files are there; returns their paths sorted.
QStringList CopyRealSet(const QString& folder, int count) {
    QStringList paths;
    for (const QString source :
         {"/usr/share/doc", "/usr/include", "/usr/share/icons", "/usr/share/locale"}) {
        QStringList found;
        QDirIterator it(source, QDir::Files | QDir::Hidden | QDir::NoSymLinks,
                        QDirIterator::Subdirectories);
        while (it.hasNext()) {
            found.append(it.next());
        }
        found.sort();
        for (const QString& from : found) {
            if (paths.size() == count) {
                return paths;
            }
            const QString to = folder + from;
            QDir().mkpath(QFileInfo(to).absolutePath());
            QFile::remove(to);
            if (QFile::copy(from, to)) {
                paths.append(to);
            }
        }
    }
    return paths;
}

qint64 TotalBytes(const QStringList& paths) {
    qint64 total = 0;
    for (const QString& p : paths) {
        total += QFileInfo(p).size();
    }
    return total;
}

void Report(const char* what, const std::vector<Timing>& ours, const std::vector<Timing>& theirs,
            const char* theirName, double target, const char* ourName = "dialog run") {
    std::vector<double> ourWall, ourCpu, theirWall, theirCpu;
    for (const Timing& t : ours) {
        ourWall.push_back(t.wall);
        ourCpu.push_back(t.cpu);
    }
    for (const Timing& t : theirs) {
        theirWall.push_back(t.wall);
        theirCpu.push_back(t.cpu);
    }
    const double ratio = Median(ourWall) / Median(theirWall);
    const auto [ourMin, ourMax] = std::minmax_element(ourWall.begin(), ourWall.end());
    const auto [theirMin, theirMax] = std::minmax_element(theirWall.begin(), theirWall.end());
    std::printf(
        "%s\n  wall: %s %.3f s, %s %.3f s: ratio %.3f (target <= %.2f: %s)\n"
        "  spread: %s %.3f..%.3f s, %s %.3f..%.3f s\n"
        "  processor time: %s %.3f s, %s %.3f s: ratio %.3f\n",
        what, ourName, Median(ourWall), theirName, Median(theirWall), ratio, target,
        ratio <= target ? "met" : "MISSED", ourName, *ourMin, *ourMax, theirName, *theirMin,
        *theirMax, ourName, Median(ourCpu), theirName, Median(theirCpu),
        Median(ourCpu) / Median(theirCpu));
}

}  // namespace

int main(int argc, char** argv) {
    PinLocalTimeZone();  // as the program does
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }
    QTemporaryDir temp;
    const QString work = argc > 1 ? QString::fromLocal8Bit(argv[1]) : temp.path();
    QDir().mkpath(work + "/home");
    QDir().mkpath(work + "/config");
    QDir().mkpath(work + "/state");
    QDir().mkpath(work + "/runtime");
    QFile::setPermissions(work + "/runtime",
                          QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    qputenv("XDG_RUNTIME_DIR", QFile::encodeName(work + "/runtime"));
    qputenv("HOME", QFile::encodeName(work + "/home"));
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(work + "/config"));
    qputenv("XDG_STATE_HOME", QFile::encodeName(work + "/state"));
    QApplication app(argc, argv);
    modRegistry::CloseStores();
    modBackup::ResetState();
    const int repeats = Repeats();
    const QString archive = work + "/home/backup.zip";

    if (qEnvironmentVariableIsSet("ONLY_COMMAND")) {
        std::printf("Copying 10,000 files of the real set...\n");
        const QStringList real = CopyRealSet(work + "/real", 10000);
        std::vector<Timing> commandTimes;
        std::vector<Timing> zipTimes;
        for (int i = 0; i < repeats; ++i) {
            commandTimes.push_back(CommandRun(real, work + "/home"));
            zipTimes.push_back(ZipRun(real, archive));
        }
        Report("(4) sondrel-backup on 10,000 files of the real set vs zip -9 -q -@", commandTimes,
               zipTimes, "zip -9", 0.55, "sondrel-backup");
        return 0;
    }

    if (qEnvironmentVariableIsSet("ONLY_CHECK")) {
        std::printf("Copying 10,000 files of the real set...\n");
        const QStringList real = CopyRealSet(work + "/real", 10000);
        std::vector<Timing> checkedTimes;
        std::vector<Timing> uncheckedTimes;
        for (int i = 0; i < repeats; ++i) {
            checkedTimes.push_back(DialogRun(real, archive, false));
            uncheckedTimes.push_back(DialogRun(real, archive, false, false));
        }
        Report("(3) the dialog run with the check vs without it", checkedTimes, uncheckedTimes,
               "unchecked run", 1.15);
        checkedTimes.clear();
        uncheckedTimes.clear();
        for (int i = 0; i < repeats; ++i) {
            checkedTimes.push_back(DialogRun(real, archive, false, true, "Bench-Passwort"));
            uncheckedTimes.push_back(DialogRun(real, archive, false, false, "Bench-Passwort"));
        }
        Report("(3) the same with a password (AES-256)", checkedTimes, uncheckedTimes,
               "unchecked run", 1.15);
        return 0;
    }

    std::printf("Creating 20,000 small files...\n");
    const QStringList small = MakeSmallFiles(work + "/small", 20000);
    std::printf("  %lld MB\n", TotalBytes(small) / 1000000);
    std::vector<Timing> dialogTimes;
    std::vector<Timing> engineTimes;
    for (int i = 0; i < repeats; ++i) {
        dialogTimes.push_back(DialogRun(small, archive, false));
        if (i == 0 && EntriesIn(archive) != small.size()) {
            std::fprintf(stderr, "the dialog's archive lacks entries\n");
            return 1;
        }
        engineTimes.push_back(EngineRun(small, archive));
    }
    Report("(1) 20,000 small files, five growing runs vs one engine call", dialogTimes, engineTimes,
           "one engine call", 1.15);
    std::printf("  (for information) the run without the dialog: %.3f s\n",
                LogicRun(small, archive).wall);
    std::printf("  (for information) dialog run clearing 20,000 archive marks: %.3f s\n",
                DialogRun(small, archive, true).wall);

    if (qEnvironmentVariableIsSet("ONLY_GROWING")) {
        return 0;
    }
    std::printf("Copying 10,000 files of the real set...\n");
    const QStringList real = CopyRealSet(work + "/real", 10000);
    std::printf("  %lld files, %lld MB\n", static_cast<long long>(real.size()),
                TotalBytes(real) / 1000000);
    dialogTimes.clear();
    std::vector<Timing> zipTimes;
    std::vector<Timing> uncheckedTimes;
    std::vector<Timing> commandTimes;
    for (int i = 0; i < repeats; ++i) {
        dialogTimes.push_back(DialogRun(real, archive, false));
        zipTimes.push_back(ZipRun(real, archive));
        uncheckedTimes.push_back(DialogRun(real, archive, false, false));
        commandTimes.push_back(CommandRun(real, work + "/home"));
    }
    Report("(2) 10,000 files of the real set vs zip -9 -q -@", dialogTimes, zipTimes, "zip -9",
           0.6);
    Report("(3) the same with the check vs without it", dialogTimes, uncheckedTimes,
           "unchecked run", 1.15);
    Report("(4) sondrel-backup on the same files vs zip -9 -q -@", commandTimes, zipTimes, "zip -9",
           0.55, "sondrel-backup");
    modBackup::ResetState();
    modRegistry::CloseStores();
    return 0;
}
