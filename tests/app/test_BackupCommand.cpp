// sondrel-backup: the built command end to end without a display, over this test's XDG folders.
// Archives are read back with Python's zipfile and unzip, the store with the sqlite3 shell.

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QThread>
#include <QTime>
#include <QVariantMap>
#include <chrono>
#include <future>

#include "app/BackupCommand.h"
#include "app/BackupRun.h"
#include "app/NativePath.h"
#include "app/SingleInstance.h"
#include "app/modBackup.h"
#include "tests/app/AppTestSupport.h"

using namespace BackupCommand;

class BackupCommandTest : public CoreTest {};

namespace {

struct Outcome {
    int status = -1;
    QString out;
    QString err;
};

struct ArchiveContents {
    QString comment;
    QStringList names;
    int encrypted = -1;
};

// The comment, the number of encrypted entries and the names, as Python's zipfile reads them.
ArchiveContents ReadArchive(const QString& path) {
    QProcess python;
    python.start("python3", {"-c",
                             "import sys, zipfile\n"
                             "z = zipfile.ZipFile(sys.argv[1])\n"
                             "print(z.comment.decode())\n"
                             "print(sum(i.flag_bits & 1 for i in z.infolist()))\n"
                             "for n in z.namelist(): print(n)\n",
                             path});
    python.waitForFinished(60000);
    ArchiveContents contents;
    QStringList lines = QString::fromUtf8(python.readAllStandardOutput()).split('\n');
    if (python.exitCode() != 0 || lines.size() < 2) {
        ADD_FAILURE() << python.readAllStandardError().toStdString();
        return contents;
    }
    contents.comment = lines.takeFirst();
    contents.encrypted = lines.takeFirst().toInt();
    lines.removeAll(QString());
    contents.names = lines;
    return contents;
}

// Each entry's method in 7-Zip's technical listing ("AES-256 Store"...), and whether 7-Zip reads
// the archive whole with the password.
struct SevenZipView {
    QStringList methods;
    bool bTested = false;
};
SevenZipView ReadWith7Zip(const QString& path, const QString& sPassword) {
    const QString program = QStandardPaths::findExecutable("7z").isEmpty() ? "7zz" : "7z";
    SevenZipView view;
    QProcess list;
    list.start(program, {"l", "-slt", path});
    list.waitForFinished(60000);
    for (const QString& line : QString::fromUtf8(list.readAllStandardOutput()).split('\n')) {
        if (line.startsWith("Method = ")) {
            view.methods << line.mid(9);
        }
    }
    QProcess test;
    test.start(program, {"t", "-p" + sPassword, path});
    test.waitForFinished(60000);
    view.bTested = test.exitStatus() == QProcess::NormalExit && test.exitCode() == 0;
    return view;
}

// Runs the event loop until done() holds or the time is up.
bool SpinUntil(const std::function<bool()>& done, int timeoutMs = 30000) {
    const QDeadlineTimer deadline(timeoutMs);
    while (!done() && !deadline.hasExpired()) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    }
    return done();
}

}  // namespace

class BackupCommandRun : public BackupCommandTest {
protected:
    QString Home() const { return Root() + "/home"; }
    // Where a new user's archives go.
    QString ArchiveFolder() const { return Home() + "/Sicherungen"; }

    // As the timer starts it: no display, no session bus unless the test makes one.
    QProcessEnvironment Environment() const {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        for (const char* name :
             {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM", "DBUS_SESSION_BUS_ADDRESS"}) {
            env.remove(name);
        }
        return env;
    }
    void Start(QProcess& process, const QStringList& args,
               const QString& program = SONDREL_BACKUP_PROGRAM) const {
        process.setProcessEnvironment(Environment());
        process.setWorkingDirectory(Root());
        process.start(program, args);
    }
    Outcome Finish(QProcess& process) const {
        // The loop keeps turning: a test may serve the command on the session bus meanwhile.
        EXPECT_TRUE(SpinUntil([&] { return process.state() == QProcess::NotRunning; }, 120000));
        EXPECT_EQ(process.exitStatus(), QProcess::NormalExit);
        return {process.exitCode(), QString::fromUtf8(process.readAllStandardOutput()),
                QString::fromUtf8(process.readAllStandardError())};
    }
    // Stops a running backup with SIGTERM, as the timer does: the archive folder is left empty,
    // no half archive and no work file.
    void StopAndExpectNothingLeft(QProcess& backup) const {
        ASSERT_EQ(backup.state(), QProcess::Running) << "the run ended before it could be stopped";
        ::kill(static_cast<pid_t>(backup.processId()), SIGTERM);
        ASSERT_TRUE(backup.waitForFinished(60000));
        EXPECT_EQ(backup.exitStatus(), QProcess::CrashExit);
        EXPECT_EQ(
            QDir(ArchiveFolder())
                .entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot),
            QStringList());
    }
    Outcome RunBackup(const QStringList& args) const {
        modBackup::ResetState();  // the command works on the store alone
        QProcess process;
        Start(process, args);
        return Finish(process);
    }
    // The same with arguments as bytes, which need not be UTF-8 (QProcess takes only text).
    Outcome RunBackupWithBytes(const QList<QByteArray>& args) const {
        modBackup::ResetState();
        QStringList hex = {"-c",
                           "import os, sys\n"
                           "args = [bytes.fromhex(a) for a in sys.argv[1:]]\n"
                           "os.execv(args[0], args)\n",
                           QString::fromLatin1(QByteArray(SONDREL_BACKUP_PROGRAM).toHex())};
        for (const QByteArray& arg : args) {
            hex << QString::fromLatin1(arg.toHex());
        }
        QProcess process;
        Start(process, hex, "python3");
        return Finish(process);
    }

    QStringList MakeFiles(const QString& folder, int count, qsizetype bytes = 20) const {
        QStringList paths;
        for (int i = 0; i < count; ++i) {
            QByteArray data(bytes, Qt::Uninitialized);
            QRandomGenerator::global()->fillRange(reinterpret_cast<quint32*>(data.data()),
                                                  bytes / 4);
            paths << MakeFile(QString("%1/Datei %2.txt").arg(folder).arg(i), data);
        }
        return paths;
    }
    void StoreList(const QStringList& paths) const {
        ASSERT_TRUE(modBackup::SaveBackupListOf(paths));
    }
    QString StoredLastBackupAt() const {
        return Sql("SELECT data FROM reg_values WHERE name = 'LastBackupAt'");
    }
    // The archives in a folder.
    static QStringList Archives(const QString& folder) {
        return QDir(folder).entryList({"*.zip"}, QDir::Files | QDir::Hidden);
    }
    // The one archive in a folder; empty (and a failure) when there is none or more.
    static QString OnlyArchive(const QString& folder) {
        const QStringList archives = Archives(folder);
        EXPECT_EQ(archives.size(), 1) << archives.join(", ").toStdString();
        return archives.size() == 1 ? folder + "/" + archives[0] : QString();
    }
    static QStringList Entries(const QStringList& paths) {
        QStringList names;
        for (const QString& p : paths) {
            names << p.mid(1);
        }
        return names;
    }
};

TEST_F(BackupCommandRun, WritesTheListAsTheDialogDoesAndForgetsOnlyAfterTheCheck) {
    const QStringList files = MakeFiles("daten/Bücher", 3);
    StoreList(files);
    EXPECT_TRUE(modBackup::WriteFlagOption(modBackup::OptArchiveFlag, true));
    const QDateTime before = QDateTime::currentDateTime().addSecs(-1);
    const Outcome run = RunBackup({});
    const QDateTime after = QDateTime::currentDateTime();

    EXPECT_EQ(run.status, kWritten) << run.err.toStdString();
    EXPECT_EQ(run.err, "");  // no terminal: no progress line either
    const QString archive = OnlyArchive(ArchiveFolder());
    // The archive lies on the disk of the files, as everything in the test's folder.
    EXPECT_EQ(run.out,
              BackupRun::kSameDiskHint + "\n3 Dateien, 0,0 MB in " + archive + ", geprüft\n");
    const QRegularExpressionMatch name =
        QRegularExpression("/(\\d{8}_\\d{4}) Backup\\.zip$").match(archive);
    ASSERT_TRUE(name.hasMatch()) << archive.toStdString();
    const QDateTime minute = QDateTime::fromString(name.captured(1), "yyyyMMdd_HHmm");
    EXPECT_TRUE(minute >= before.addSecs(-60) && minute <= after);

    const ArchiveContents contents = ReadArchive(archive);
    EXPECT_EQ(contents.names, Entries(files));
    EXPECT_EQ(contents.encrypted, 0);
    EXPECT_EQ(contents.comment, "tägliches Backup von " + minute.toString("dd.MM.yyyy HH:mm"));
    EXPECT_EQ(QFile::permissions(archive), QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                               QFileDevice::ReadUser | QFileDevice::WriteUser);
    // A new user's archive folder, made by the first backup, is private.
    EXPECT_EQ(QFile::permissions(ArchiveFolder()) & 0x7777,
              QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner |
                  QFileDevice::ReadUser | QFileDevice::WriteUser | QFileDevice::ExeUser);

    // The after-effects: the list emptied, the moment stored, the marks cleared.
    EXPECT_EQ(StoredBackupList(), QStringList());
    const QDateTime stamp = QDateTime::fromString(StoredLastBackupAt(), "dd.MM.yyyy HH:mm:ss");
    EXPECT_TRUE(stamp >= before && stamp <= after) << StoredLastBackupAt().toStdString();
    for (const QString& f : files) {
        EXPECT_EQ(modBackup::State().FSO.GetFile(f).Attributes() & AttrArchive, 0);
    }
}

TEST_F(BackupCommandRun, OptionsGiveItAPasswordACommentAFolderAndKeepTheListAndTheMoment) {
    const QStringList files = MakeFiles("daten", 2);
    StoreList(files);
    const QString folder = MakeFolder("Sicherungen");
    MakePrivateFile("pw", "Sesam öffne dich\n", 0600);
    const Outcome run = RunBackup({"--password-file", "pw", "--comment=Wochenende", "--folder",
                                   "Sicherungen", "--keep-list", "--no-stamp"});
    EXPECT_EQ(run.status, kWritten) << run.err.toStdString();
    const QString archive = OnlyArchive(folder);
    const ArchiveContents contents = ReadArchive(archive);
    EXPECT_EQ(contents.comment, "Wochenende");
    EXPECT_EQ(contents.encrypted, 2);
    // AES-256 unless chosen otherwise: 7-Zip opens it with the password, umlauts included.
    const SevenZipView seven = ReadWith7Zip(archive, "Sesam öffne dich");
    EXPECT_EQ(seven.methods, QStringList({"AES-256 Store", "AES-256 Store"}));
    EXPECT_TRUE(seven.bTested);
    EXPECT_EQ(Archives(ArchiveFolder()), QStringList());
    EXPECT_EQ(StoredBackupList(), files);
    EXPECT_EQ(StoredLastBackupAt(), "");
}

// The method stored in the options counts unless the command line names one; under ZIP 2.0
// unzip opens the archive.
TEST_F(BackupCommandRun, EncryptionIsTheStoredChoiceUnlessTheCommandLineNamesOne) {
    StoreList(MakeFiles("daten", 2));
    MakePrivateFile("pw", "Sesam öffne dich\n", 0600);
    EXPECT_TRUE(modBackup::WriteEncryptionMethod(modBackup::EncryptionMethod::ZIP20));
    const QString zip20 = MakeFolder("zip20");
    const QString aes = MakeFolder("aes");
    Outcome run = RunBackup({"--password-file", "pw", "--folder", "zip20", "--keep-list"});
    ASSERT_EQ(run.status, kWritten) << run.err.toStdString();
    QProcess unzip;
    unzip.start("unzip", {"-P", "Sesam öffne dich", "-t", OnlyArchive(zip20)});
    unzip.waitForFinished(60000);
    EXPECT_EQ(unzip.exitCode(), 0) << unzip.readAll().toStdString();

    run = RunBackup(
        {"--password-file", "pw", "--folder", "aes", "--keep-list", "--encryption", "aes256"});
    ASSERT_EQ(run.status, kWritten) << run.err.toStdString();
    EXPECT_EQ(ReadWith7Zip(OnlyArchive(aes), "Sesam öffne dich").methods,
              QStringList({"AES-256 Store", "AES-256 Store"}));
}

// A list whose files are all gone is nothing to back up; the run names them.
TEST_F(BackupCommandRun, AnEmptyListIsNothingToBackUp) {
    StoreList({Root() + "/weg.txt"});
    const Outcome run = RunBackup({});
    EXPECT_EQ(run.status, kNothingToDo);
    EXPECT_EQ(run.err,
              "sondrel-backup: Diese Dateien der Liste gibt es nicht mehr; sie werden nicht "
              "gesichert:\n" +
                  Root() +
                  "/weg.txt\nsondrel-backup: Nichts zu sichern: Die Backup-Liste ist leer.\n");
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(Archives(ArchiveFolder()), QStringList());
    EXPECT_EQ(StoredLastBackupAt(), "");
}

// The change search by date with the dialog's stored settings, since the last backup, before the
// backup; the excluded folders of the options are left out.
TEST_F(BackupCommandRun, SearchByDateAddsWhatChangedSinceTheLastBackupFirst) {
    const QDateTime last = QDateTime::currentDateTime().addDays(-1);
    const QString listed = MakeFile("daten/gelistet.txt");
    const QString changed = MakeFile("suche/neu.txt");
    const QString deeper = MakeFile("suche/unter/neu2.txt");
    SetModified(MakeFile("suche/alt.txt"), last.addDays(-1));
    MakeFile("suche/neu.tmp");
    MakeFile("suche/ausgeschlossen/neu3.txt");
    StoreList({listed});
    EXPECT_TRUE(modBackup::WriteLastBackupAt(last));
    EXPECT_TRUE(modBackup::WriteOption("SearchPath", Root() + "/suche"));
    EXPECT_TRUE(modBackup::WriteFlagOption(modBackup::OptExtFilterSearch, true));
    CListString extensions;
    extensions.Add("tmp");
    EXPECT_TRUE(modBackup::SaveOptionList(extensions, "Extension"));
    CListString excluded;
    excluded.Add(Root() + "/suche/ausgeschlossen");
    EXPECT_TRUE(modBackup::SaveOptionList(excluded, "ExcludeFolder"));

    const Outcome run = RunBackup({"--search=datum", "--keep-list"});
    EXPECT_EQ(run.status, kWritten) << run.err.toStdString();
    EXPECT_TRUE(run.out.contains("\nSuche nach Änderungen seit " +
                                 last.toString("dd.MM.yyyy HH:mm:ss") + " in " + Root() +
                                 "/suche: 2 Dateien gefunden. 3 Dateien, 0,0 MB in "))
        << run.out.toStdString();
    const QStringList expected = {listed, changed, deeper};
    EXPECT_EQ(ReadArchive(OnlyArchive(ArchiveFolder())).names, Entries(expected));
    EXPECT_EQ(StoredBackupList(), expected);
    // The next search starts from this run's start, not from its end.
    EXPECT_GT(QDateTime::fromString(StoredLastBackupAt(), "dd.MM.yyyy HH:mm:ss"), last);
}

TEST_F(BackupCommandRun, ADryRunShowsWhatAndWhereAndChangesNothing) {
    const QString listed = MakeFile("daten/gelistet.txt", QByteArray(300000, 'x'));
    const QString changed = MakeFile("suche/neu.txt");
    StoreList({listed});
    EXPECT_TRUE(modBackup::WriteLastBackupAt(QDateTime::currentDateTime().addDays(-1)));
    EXPECT_TRUE(modBackup::WriteOption("SearchPath", Root() + "/suche"));
    const QString before = Sql("SELECT name, data FROM reg_values ORDER BY name");

    const Outcome run = RunBackup({"--search", "--dry-run"});
    EXPECT_EQ(run.status, kWritten) << run.err.toStdString();
    const QRegularExpression shown(QRegularExpression::anchoredPattern(
        QRegularExpression::escape(BackupRun::kSameDiskHint + "\n" + listed + "\n" + changed +
                                   "\nProbelauf: Suche nach Archivmarke in " + Root() +
                                   "/suche: 1 Datei gefunden. 2 Dateien, 0,3 MB würden in " +
                                   ArchiveFolder() + "/") +
        "\\d{8}_\\d{4} Backup\\.zip gesichert; nichts wurde geändert\\.\n"));
    EXPECT_TRUE(shown.match(run.out).hasMatch()) << run.out.toStdString();
    // Not even the archive folder is made.
    EXPECT_FALSE(QFileInfo::exists(ArchiveFolder()));
    EXPECT_EQ(Sql("SELECT name, data FROM reg_values ORDER BY name"), before);
}

TEST_F(BackupCommandRun, BadInputFailsWithAGermanLineAndChangesNothing) {
    const QStringList files = MakeFiles("daten", 2);
    StoreList(files);
    const QString plainFile = MakeFile("eine-datei");
    const QString pw = MakePrivateFile("pw", "geheim\n", 0644);
    const auto refused = [&](const QStringList& args, int status, const QString& err) {
        const Outcome run = RunBackup(args);
        EXPECT_EQ(run.status, status) << err.toStdString();
        EXPECT_EQ(run.err, err);
        EXPECT_EQ(StoredBackupList(), files);
        EXPECT_EQ(StoredLastBackupAt(), "");
    };
    const QString failed = "sondrel-backup: Das Backup ist fehlgeschlagen.\n";
    refused({"--gibts-nicht"}, kBadUsage,
            "sondrel-backup: Unbekannte Option „--gibts-nicht“.\n„sondrel-backup --help“ zeigt "
            "die Optionen.\n");
    refused({"--password-file", pw}, kFailed,
            failed + "Die Passwortdatei „" + pw +
                "“ ist auch für andere Benutzer lesbar; nur ihr Besitzer darf sie lesen können "
                "(chmod 600 „" +
                pw + "“).\n");
    EXPECT_TRUE(modBackup::WriteOption("DefaultPath", Root() + "/fehlt"));
    refused({}, kFailed,
            failed + "In den Zielordner „" + Root() +
                "/fehlt“ kann nicht geschrieben werden: Datei oder Ordner nicht gefunden\n");
    EXPECT_TRUE(modBackup::WriteOption("DefaultPath", plainFile));
    refused({}, kFailed,
            failed + "In den Zielordner „" + plainFile +
                "“ kann nicht geschrieben werden: ein Teil des Pfads ist kein Ordner\n");
    EXPECT_EQ(Archives(ArchiveFolder()), QStringList());

    // A damaged store is reported and left as it was.
    const QByteArray junk(4096, '\x5a');
    QFile::remove(StoreFile());
    MakeFile("config/tarvello/registry.sqlite3", junk);
    const Outcome damaged = RunBackup({});
    EXPECT_EQ(damaged.status, kFailed);
    EXPECT_TRUE(damaged.err.endsWith("Die gespeicherte Dateiliste konnte nicht gelesen werden: „" +
                                     StoreFile() + "“: die Datei ist keine SQLite-Datenbank\n"))
        << damaged.err.toStdString();
    QFile store(StoreFile());
    ASSERT_TRUE(store.open(QIODevice::ReadOnly));
    EXPECT_EQ(store.readAll(), junk);
}

// A store another program keeps locked could not take the after-effects: the run stops before it
// writes anything.
TEST_F(BackupCommandRun, AStoreLockedByAnotherProgramStopsTheRunBeforeItWrites) {
    const QStringList files = MakeFiles("daten", 2);
    StoreList(files);
    modBackup::ResetState();
    sqlite3* other = nullptr;
    ASSERT_EQ(sqlite3_open(StoreFile().toUtf8().constData(), &other), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(other, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr), SQLITE_OK);
    const Outcome run = RunBackup({});
    sqlite3_exec(other, "ROLLBACK", nullptr, nullptr, nullptr);
    sqlite3_close(other);
    EXPECT_EQ(run.status, kFailed);
    EXPECT_TRUE(run.err.contains("Die Einstellungen können nicht gespeichert werden: „" +
                                 StoreFile() + "“: die Datei ist länger als 5 Sekunden"))
        << run.err.toStdString();
    EXPECT_EQ(Archives(ArchiveFolder()), QStringList());
    EXPECT_EQ(StoredBackupList(), files);
}

// The open window holds the list: the run says so and changes nothing.
TEST_F(BackupCommandRun, TheOpenWindowKeepsTheListAndTheRunChangesNothing) {
    const QStringList files = MakeFiles("daten", 2);
    StoreList(files);
    QProcess window;
    QProcessEnvironment env = Environment();
    env.insert("QT_QPA_PLATFORM", "offscreen");
    window.setProcessEnvironment(env);
    window.start(SONDREL_PROGRAM, QStringList());
    ASSERT_TRUE(SpinUntil([] { return SingleInstance::WindowInstanceRunning(); }));

    const Outcome run = RunBackup({});
    window.terminate();
    window.waitForFinished(30000);
    EXPECT_EQ(run.status, kWindowOpen);
    EXPECT_TRUE(
        run.err.startsWith("sondrel-backup: Das Sondrel-Fenster ist geöffnet und hält "
                           "die Dateiliste; es wurde nichts gesichert"))
        << run.err.toStdString();
    EXPECT_EQ(Archives(ArchiveFolder()), QStringList());
    EXPECT_EQ(StoredBackupList(), files);
    EXPECT_EQ(StoredLastBackupAt(), "");
}

// Whether the process writes an archive now: an unnamed file in the archive's folder,
// "/home/#123 (deleted)".
static bool WritingArchive(const QProcess& process, const QString& sFolder) {
    const QString procFds = QString("/proc/%1/fd").arg(process.processId());
    for (const QString& fd : QDir(procFds).entryList(QDir::System | QDir::Files)) {
        if (QFile::symLinkTarget(procFds + "/" + fd).startsWith(sFolder + "/#")) {
            return true;
        }
    }
    return false;
}

// `sondrel PATH` while the backup runs waits for it, then stores its path: the backup empties the
// list of what it archived, and the new path stays.
TEST_F(BackupCommandRun, AnIntakeDuringTheRunWaitsForItAndItsPathStays) {
    const QStringList files = MakeFiles("daten", 3, 8 * 1024 * 1024);
    const QString late = MakeFile("spaet.txt");
    StoreList(files);
    modBackup::ResetState();
    QProcess backup;
    Start(backup, {});
    // Both locks held: the run has begun.
    ASSERT_TRUE(SpinUntil([] {
        if (!SingleInstance::BackupRunning()) {
            return false;
        }
        SingleInstance::Lock probe;
        return LockState(probe.TryAcquire()) == "Busy";
    }));
    // Stopped while it writes the archive, not while it reads the store, which a stopped reader
    // would keep from the check below.
    ASSERT_TRUE(SpinUntil([&] { return WritingArchive(backup, ArchiveFolder()); }));
    ASSERT_EQ(::kill(static_cast<pid_t>(backup.processId()), SIGSTOP), 0);
    QProcess intake;
    Start(intake, {late}, SONDREL_PROGRAM);
    SpinUntil([] { return false; }, 1500);
    EXPECT_EQ(intake.state(), QProcess::Running);  // it waits ...
    EXPECT_EQ(StoredBackupList(), files);          // ... and has stored nothing
    ::kill(static_cast<pid_t>(backup.processId()), SIGCONT);

    const Outcome run = Finish(backup);
    const Outcome intook = Finish(intake);
    EXPECT_EQ(run.status, kWritten) << run.err.toStdString();
    EXPECT_EQ(intook.status, 0) << intook.err.toStdString();
    EXPECT_EQ(intook.err,
              "Sondrel: Ein Backup (sondrel-backup) läuft gerade; es geht weiter, "
              "sobald es fertig ist.\n");
    EXPECT_EQ(ReadArchive(OnlyArchive(ArchiveFolder())).names, Entries(files));
    EXPECT_EQ(StoredBackupList(), QStringList({late}));
}

// The timer's stop (SIGTERM) in the middle of writing: no archive, not even half of one, and
// nothing of the list, the moment or the marks changed.
TEST_F(BackupCommandRun, ARunStoppedWithSigtermLeavesNothing) {
    const QStringList files = MakeFiles("daten", 6, 8 * 1024 * 1024);
    StoreList(files);
    EXPECT_TRUE(modBackup::WriteFlagOption(modBackup::OptArchiveFlag, true));
    modBackup::ResetState();
    QProcess backup;
    Start(backup, {});
    ASSERT_TRUE(backup.waitForStarted());
    ASSERT_TRUE(SpinUntil([&] {
        return WritingArchive(backup, ArchiveFolder()) || backup.state() != QProcess::Running;
    }));
    StopAndExpectNothingLeft(backup);
    EXPECT_EQ(StoredBackupList(), files);
    EXPECT_EQ(StoredLastBackupAt(), "");
    EXPECT_FALSE(QFile::exists(MarksFile()));
}

// A list longer than one archiver run, stopped with SIGTERM once the first run has written its
// part: the unfinished archive is removed with the process, and nothing else changed.
TEST_F(BackupCommandRun, ARunStoppedBetweenArchiverRunsLeavesNoArchiveAndNoWorkFile) {
    const QStringList files = MakeFiles("daten", 4100, 4);
    StoreList(files);
    modBackup::ResetState();
    QProcess backup;
    Start(backup, {});
    ASSERT_TRUE(backup.waitForStarted());
    const auto workFileThere = [&] {
        return !QDir(ArchiveFolder())
                    .entryList({".*.unfertig"}, QDir::Files | QDir::Hidden)
                    .isEmpty();
    };
    ASSERT_TRUE(
        SpinUntil([&] { return workFileThere() || backup.state() != QProcess::Running; }, 120000));
    StopAndExpectNothingLeft(backup);
    EXPECT_EQ(StoredBackupList().size(), files.size());
    EXPECT_EQ(StoredLastBackupAt(), "");
}

// An archive folder and a comment given in bytes that are no UTF-8 arrive exactly: two runs in
// the same minute write two archives there, both checked, the comment byte for byte, and the
// summary names each archive as it is.
TEST_F(BackupCommandRun, AFolderAndACommentInBytesThatAreNoUtf8ArriveExactly) {
    const QStringList files = MakeFiles("daten", 2);
    StoreList(files);
    const QByteArray folder = NativePath(Root()) + "/caf\xe9";
    ASSERT_EQ(::mkdir(folder.constData(), 0700), 0);
    // Both runs in one minute.
    while (QTime::currentTime().second() >= 50) {
        QThread::msleep(500);
    }
    QStringList summaries;
    for (int i = 0; i < 2; ++i) {
        const Outcome run = RunBackupWithBytes(
            {"--folder", folder, "--comment", "Woche \xe9 \xc3\xa4", "--keep-list"});
        ASSERT_EQ(run.status, kWritten) << run.err.toStdString();
        summaries << run.out;
    }
    // The summaries name the archives; the folder, listed by its bytes, holds just these two.
    const QRegularExpression said(QRegularExpression::anchoredPattern(
        QRegularExpression::escape(BackupRun::kSameDiskHint) + "\n2 Dateien, 0,0 MB in " +
        QRegularExpression::escape(Root() + "/caf\\xE9/") + "(.*), geprüft\n"));
    QStringList names;
    for (const QString& summary : summaries) {
        const QRegularExpressionMatch match = said.match(summary);
        EXPECT_TRUE(match.hasMatch()) << summary.toStdString();
        names << match.captured(1);
    }
    EXPECT_EQ(names[1], names[0].chopped(4) + " (2).zip");
    QStringList listed;
    DIR* listing = ::opendir(folder.constData());
    ASSERT_NE(listing, nullptr);
    while (const dirent* entry = ::readdir(listing)) {
        if (entry->d_name[0] != '.') {
            listed << QString::fromUtf8(entry->d_name);
        }
    }
    ::closedir(listing);
    listed.sort();
    QStringList expected = names;
    expected.sort();
    EXPECT_EQ(listed, expected);
    for (int i = 0; i < 2; ++i) {
        const QByteArray archive = folder + "/" + names[i].toUtf8();
        QProcess python;
        python.start("python3", {"-c",
                                 "import os, subprocess, sys, zipfile\n"
                                 "path = os.fsdecode(bytes.fromhex(sys.argv[1]))\n"
                                 "subprocess.run(['unzip', '-tq', path], check=True,\n"
                                 "               stdout=subprocess.DEVNULL)\n"
                                 "z = zipfile.ZipFile(path)\n"
                                 "print(z.testzip(), len(z.namelist()), z.comment.hex())\n",
                                 QString::fromLatin1(archive.toHex())});
        ASSERT_TRUE(python.waitForFinished(60000));
        EXPECT_EQ(python.exitCode(), 0) << python.readAllStandardError().toStdString();
        EXPECT_EQ(python.readAllStandardOutput(),
                  "None 2 " + QByteArray("Woche \xe9 \xc3\xa4").toHex() + "\n");
        ::unlink(archive.constData());  // QTemporaryDir cannot name it
    }
    ::rmdir(folder.constData());
}

namespace {

// Takes the notifications that a desktop would show.
class FakeNotifications : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.Notifications")

public:
    QStringList shown;

public Q_SLOTS:
    uint Notify(const QString& app, uint /*replaces*/, const QString& icon, const QString& summary,
                const QString& body, const QStringList& /*actions*/, const QVariantMap& hints,
                int /*timeout*/) {
        shown << QStringList{app, icon, summary, body,
                             QString::number(hints.value("urgency").toUInt())}
                     .join('|');
        return static_cast<uint>(shown.size());
    }
};

}  // namespace

// A failed run of the timer reaches the desktop: through the session bus the session keeps in
// $XDG_RUNTIME_DIR/bus, here a private one.
TEST_F(BackupCommandRun, AFailureReachesTheDesktopAsANotification) {
    const QString daemon = QStandardPaths::findExecutable("dbus-daemon");
    if (daemon.isEmpty()) {
        GTEST_SKIP() << "no dbus-daemon";
    }
    const QString address = "unix:path=" + Root() + "/runtime/bus";
    QProcess bus;
    bus.start(daemon,
              {"--session", "--nofork", "--nopidfile", "--print-address", "--address=" + address});
    ASSERT_TRUE(bus.waitForReadyRead(30000)) << bus.readAllStandardError().toStdString();
    FakeNotifications desktop;
    {
        QDBusConnection connection = QDBusConnection::connectToBus(address, "desktop");
        ASSERT_TRUE(connection.isConnected());
        ASSERT_TRUE(connection.registerObject("/org/freedesktop/Notifications", &desktop,
                                              QDBusConnection::ExportAllSlots));
        ASSERT_TRUE(connection.registerService("org.freedesktop.Notifications"));
    }
    StoreList(MakeFiles("daten", 1));
    EXPECT_TRUE(modBackup::WriteOption("DefaultPath", Root() + "/fehlt"));
    const Outcome run = RunBackup({});
    // Marks that cannot be read are told too, although the backup then takes every file.
    EXPECT_TRUE(modBackup::WriteOption("DefaultPath", Home()));
    EXPECT_TRUE(modBackup::WriteOption("SearchPath", Root() + "/daten"));
    MakeFile("state/tarvello/archive-marks.sqlite3", QByteArray(4096, 'Z'));
    const Outcome marks = RunBackup({"--search", "--dry-run"});
    const Outcome damaged = RunBackup({"--search"});
    QDBusConnection::disconnectFromBus("desktop");
    bus.terminate();
    bus.waitForFinished(10000);

    EXPECT_EQ(run.status, kFailed);
    EXPECT_EQ(desktop.shown, QStringList({"Tarvello-Backup|sondrel|Das Backup ist fehlgeschlagen.|"
                                          "In den Zielordner „" +
                                              Root() +
                                              "/fehlt“ kann nicht geschrieben werden: Datei oder "
                                              "Ordner nicht gefunden|2",
                                          "Tarvello-Backup|sondrel|Die Archivmarken konnten nicht "
                                          "verwendet werden.|" +
                                              damaged.err.mid(16).trimmed() + "|2"}));
    EXPECT_EQ(marks.status, kWritten);  // a trial run is watched by whoever started it
    EXPECT_EQ(damaged.status, kWritten) << damaged.err.toStdString();
    EXPECT_TRUE(damaged.err.startsWith("sondrel-backup: Die Archivmarken „"))
        << damaged.err.toStdString();
}

// On a terminal the run shows its progress on stderr, and clears it before the summary.
TEST_F(BackupCommandRun, ProgressShowsOnATerminal) {
    const QString script = QStandardPaths::findExecutable("script");
    if (script.isEmpty()) {
        GTEST_SKIP() << "no script(1) to make a terminal";
    }
    StoreList(MakeFiles("daten", 3));
    modBackup::ResetState();
    QProcess terminal;
    terminal.setProcessEnvironment(Environment());
    terminal.start(script, {"-qefc", QString("'%1'").arg(SONDREL_BACKUP_PROGRAM), "/dev/null"});
    const Outcome run = Finish(terminal);
    EXPECT_EQ(run.status, kWritten) << run.out.toStdString();
    EXPECT_TRUE(run.out.contains(QRegularExpression("\r\\d von 3 Dateien, 0,0 von 0,0 MB")))
        << run.out.toStdString();
    EXPECT_TRUE(run.out.contains(QRegularExpression("\r\x1b\\[K3 Dateien, 0,0 MB in .*, geprüft")))
        << run.out.toStdString();
}

#include "test_BackupCommand.moc"

// Day after day of the timer's run, with the archives and the stores inside the searched folder:
// no archive, store or lock ever goes into an archive, also not once "Letztes Backup am" is moved
// back so that every file counts as changed.
TEST_F(BackupCommandRun, ArchivesAndTheStoresNeverGoIntoAnArchive) {
    const QString letter = MakeFile("home/Briefe/Brief.odt");
    const QString photo = MakeFile("home/Bilder/Foto.jpg");
    // The test's root holds the home with its archive folder, and the config and state folders.
    EXPECT_TRUE(modBackup::WriteOption("SearchPath", Root()));
    EXPECT_TRUE(modBackup::WriteFlagOption(modBackup::OptArchiveFlag, true));
    EXPECT_TRUE(modBackup::WriteLastBackupAt(QDateTime::currentDateTime().addDays(-1)));
    const auto entries = [](const QStringList& paths) {
        QStringList names = Entries(paths);
        names.sort();
        return names;
    };
    QStringList seen;
    const auto newArchive = [&]() -> QString {
        QStringList added = Archives(ArchiveFolder());
        for (const QString& name : seen) {
            added.removeAll(name);
        }
        EXPECT_EQ(added.size(), 1) << added.join(", ").toStdString();
        seen += added;
        if (added.size() != 1) {
            return QString();
        }
        QStringList names = ReadArchive(ArchiveFolder() + "/" + added[0]).names;
        names.sort();
        return names.join('|');
    };

    Outcome day = RunBackup({"--search"});
    ASSERT_EQ(day.status, kWritten) << day.err.toStdString();
    EXPECT_EQ(newArchive(), entries({photo, letter}).join('|'));

    // The next day the letter has changed, and so have the archive folder and the stores.
    MakeFile("home/Briefe/Brief.odt", "neuer Inhalt");
    day = RunBackup({"--search"});
    ASSERT_EQ(day.status, kWritten) << day.err.toStdString();
    EXPECT_EQ(newArchive(), entries({letter}).join('|'));

    // The moment of the last backup moved a year back, searched by date without the archive-mark
    // condition: every file since, but still none of the archives or stores.
    EXPECT_TRUE(modBackup::WriteLastBackupAt(QDateTime::currentDateTime().addDays(-365)));
    EXPECT_TRUE(modBackup::WriteFlagOption(modBackup::OptArchiveFlag, false));
    day = RunBackup({"--search=datum"});
    ASSERT_EQ(day.status, kWritten) << day.err.toStdString();
    EXPECT_EQ(newArchive(), entries({photo, letter}).join('|'));
    EXPECT_TRUE(QFile::exists(MarksFile()));
}
