// Start-up: window mode versus intake mode, in process and end to end by running the built
// program without a display, reading the store back with the sqlite3 shell.

#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QSet>

#include "app/Main.h"
#include "app/NativePath.h"
#include "app/modBackup.h"
#include "app/modRegistry.h"
#include "tests/app/AppTestSupport.h"

using namespace modBackup;

namespace {
const QString kMain = "Software\\Tarvello\\Backup";
const QString kOptions = "Software\\Tarvello\\Backup\\Options";

void Store(const QString& key, const QString& name, const QString& text) {
    modRegistry::RegWriteText(modRegistry::HKEY_CURRENT_USER, key, name, text);
}
}  // namespace

class StartUp : public CoreTest {};

TEST_F(StartUp, AnEmptyCommandLineHandsOverToTheWindow) {
    const QString a = MakeFile("a.txt");
    Store(kMain, "Count", "1");
    Store(kMain, "File0", a);
    int calls = 0;
    EXPECT_EQ(Main({},
                   [&](const WindowStart& start) {
                       EXPECT_EQ(start.sLoadProblem, "");
                       ++calls;
                       // The window finds the loaded list and both filter lists, empty.
                       EXPECT_EQ(Values(*State().BackupFiles), QStringList({a}));
                       EXPECT_EQ(State().Extensions->Count(), 0);
                       EXPECT_EQ(State().ExcludeFolders->Count(), 0);
                       return 7;
                   }),
              7);
    EXPECT_EQ(calls, 1);
    // One empty argument (a script's "$F" with F unset) is intake with nothing to add.
    EXPECT_EQ(Main({""}, [&](const WindowStart&) { return ++calls; }), 0);
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(StoredBackupList(), QStringList({a}));
}

// The window is told where a damaged settings file went.
TEST_F(StartUp, TheWindowLearnsWhereADamagedStoreWent) {
    MakeFile("config/tarvello/registry.sqlite3", "keine Datenbank");
    WindowStart seen;
    EXPECT_EQ(Main({},
                   [&](const WindowStart& start) {
                       seen = start;
                       return 0;
                   }),
              0);
    EXPECT_EQ(seen.sLoadProblem, "");
    EXPECT_TRUE(
        seen.sStoreNotice.contains(Root() + "/config/tarvello/registry.sqlite3.beschädigt-"))
        << seen.sStoreNotice.toStdString();
}

TEST_F(StartUp, AnyOtherCommandLineNeverOpensTheWindow) {
    bool window = false;
    EXPECT_EQ(Main({"/nonexistent/file.txt"}, [&](const WindowStart&) { return window = true, 1; }),
              0);
    EXPECT_FALSE(window);
    EXPECT_FALSE(State().BackupFiles);  // emptied and released
    EXPECT_EQ(StoredBackupList(), QStringList({"/nonexistent/file.txt"}));
}

TEST_F(StartUp, IntakeScansFoldersWithTheFixedSettings) {
    // Stored options of the change search must not apply here.
    Store(kOptions, "LimitRecursionInFolders", "1");
    Store(kOptions, "RecursionLimit", "1");
    Store(kOptions, "UseExtensionFilterInFolderScan", "0");
    Store(kOptions, "ExtensionCount", "1");
    Store(kOptions, "Extension0", "tmp");
    QString rel = "tree";
    for (int level = 0; level <= 5; ++level) {
        MakeFile(rel + "/f" + QString::number(level) + ".tmp");
        rel += "/d";
    }
    State().ExcludeFolders = std::make_unique<CListString>();
    EXPECT_EQ(Main({Root() + "/tree"}, nullptr), 0);
    EXPECT_EQ(StoredBackupList().size(), 5);

    ResetState();
    Store(kOptions, "UseExtensionFilterInFolderScan", "1");
    MakeFile("tree/keep.txt");
    EXPECT_EQ(Main({Root() + "/tree"}, nullptr), 0);
    // The .tmp files already listed stay; of the new ones only keep.txt passes the filter.
    EXPECT_EQ(StoredBackupList().size(), 6);
    EXPECT_EQ(StoredBackupList().last(), Root() + "/tree/keep.txt");
}

TEST_F(StartUp, TokensAreTakenAsFullPaths) {
    MakeFile("cwd/sub/a.txt");
    const QString cwd = QDir::currentPath();
    ASSERT_TRUE(QDir::setCurrent(Root() + "/cwd"));
    Main({"sub", "./b.txt", Root() + "//cwd/./c.txt", Root() + "/cwd/sub/../d.txt"}, nullptr);
    QDir::setCurrent(cwd);
    // Absolute ones lose doubled slashes and "." parts; ".." is left to the file system.
    EXPECT_EQ(StoredBackupList(),
              QStringList({Root() + "/cwd/sub/a.txt", Root() + "/cwd/b.txt", Root() + "/cwd/c.txt",
                           Root() + "/cwd/sub/../d.txt"}));
}

// Runs the built program as a file manager or ssh session would: no display at all.
class Intake : public CoreTest {
protected:
    QProcessEnvironment Environment() const {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"}) {
            env.remove(name);
        }
        return env;
    }

    void Start(QProcess& process, const QStringList& args) const {
        process.setProcessEnvironment(Environment());
        process.setWorkingDirectory(Root());
        process.start(SONDREL_PROGRAM, args);
    }

    int RunProgram(const QStringList& args, QString* sStderr = nullptr) const {
        QProcess process;
        Start(process, args);
        EXPECT_TRUE(process.waitForFinished(120000));
        EXPECT_EQ(process.exitStatus(), QProcess::NormalExit);
        const QString err = QString::fromLocal8Bit(process.readAllStandardError());
        if (sStderr != nullptr) {
            *sStderr = err;
        } else {
            EXPECT_EQ(err, "");
        }
        return process.exitCode();
    }
};

TEST_F(Intake, AddsFilesAndFoldersAndStoresTheList) {
    const QString a = MakeFile("in/a.txt");
    const QString spaced = MakeFile("in/My Files/Bücher Liste.txt");
    // The command line cannot carry a double quote: it is removed from the path.
    const QString quoted = MakeFile("in/q\"uote.txt");
    const QString deep = MakeFile("in/tree/1/2/3/4/deep.txt");
    MakeFile("in/tree/1/2/3/4/5/too deep.txt");
    const QString top = MakeFile("in/tree/top.txt");
    QString err;
    EXPECT_EQ(
        RunProgram({a, spaced, Root() + "/in/tree", "/nonexistent/x.txt", "rel.txt", quoted}, &err),
        0);
    EXPECT_EQ(StoredBackupList(), QStringList({a, spaced, top, deep, "/nonexistent/x.txt",
                                               Root() + "/rel.txt", Root() + "/in/quote.txt"}));
    // What lies deeper than the limit is not left out in silence.
    EXPECT_EQ(err, "Sondrel: „" + Root() +
                       "/in/tree“ wurde nur 5 Ebenen tief durchsucht; der "
                       "Ordner „" +
                       Root() +
                       "/in/tree/1/2/3/4/5“ darunter wurde mit seinem Inhalt "
                       "ausgelassen.\n");
    EXPECT_EQ(Sql("SELECT DISTINCT type FROM reg_values"), "1");
    EXPECT_EQ(Sql("PRAGMA integrity_check"), "ok");
}

TEST_F(Intake, KeepsTheListUniqueButTellsLetterCaseApart) {
    const QString a = MakeFile("a.txt");
    const QString upper = MakeFile("A.txt");
    EXPECT_EQ(RunProgram({a, a}), 0);
    EXPECT_EQ(RunProgram({a, upper}), 0);
    EXPECT_EQ(StoredBackupList(), QStringList({a, upper}));
}

TEST_F(Intake, AlwaysSavesTheListDroppingVanishedEntries) {
    const QString kept = MakeFile("kept.txt");
    Store(kMain, "Count", "3");
    Store(kMain, "File0", Root() + "/vanished.txt");
    Store(kMain, "File1", kept);
    Store(kMain, "File2", kept);
    modRegistry::CloseStores();
    EXPECT_EQ(RunProgram({kept}), 0);  // nothing new: the list is stored all the same
    EXPECT_EQ(Sql("SELECT name || '=' || data FROM reg_values ORDER BY name"),
              "Count=1\nFile0=" + kept);
}

// A settings file that is no database is put aside whole, intake says where on stderr and
// stores into a new one.
TEST_F(Intake, ADamagedStoreIsMovedAsideAndTheListStoredAnew) {
    const QString a = MakeFile("a.txt");
    QString err;
    const QByteArray junk(4096, '\x5a');
    MakeFile("config/tarvello/registry.sqlite3", junk);
    MakeFile("config/tarvello/registry.sqlite3-wal", "altes Log");
    EXPECT_EQ(RunProgram({a}, &err), 0);
    const QStringList aside =
        QDir(Root() + "/config/tarvello").entryList({"registry.sqlite3.beschädigt-*"});
    ASSERT_EQ(aside.size(), 2) << aside.join(' ').toStdString();  // the file and its log
    EXPECT_TRUE(
        err.contains("liegt unverändert unter „" + Root() + "/config/tarvello/" + aside[0] + "“"))
        << err.toStdString();
    QFile moved(Root() + "/config/tarvello/" + aside[0]);
    ASSERT_TRUE(moved.open(QIODevice::ReadOnly));
    EXPECT_EQ(moved.readAll(), junk);
    EXPECT_EQ(StoredBackupList(), QStringList({a}));
}

// A list that cannot be stored ends the run with status 1 and one German line naming the store
// and the reason.
TEST_F(Intake, AListThatCannotBeStoredIsReported) {
    const QString a = MakeFile("a.txt");
    QString err;
    MakeFolder("config/tarvello/registry.sqlite3");
    EXPECT_EQ(RunProgram({a}, &err), 1);
    EXPECT_TRUE(err.endsWith(": die Datei ist ein Ordner.\n")) << err.toStdString();
    EXPECT_EQ(err.count('\n'), 1);
}

// A settings folder on a file system that became read only: the list is still read (what a
// backup would take shows it), and a save fails with that reason.
TEST_F(Intake, AStoreOnAReadOnlyFileSystemIsReadAndSavesSayWhyTheyFail) {
    if (QProcess::execute("unshare", {"--user", "--map-root-user", "--mount", "true"}) != 0) {
        GTEST_SKIP() << "no private mount namespace here";
    }
    const QString a = MakeFile("a.txt");
    ASSERT_EQ(RunProgram({a}), 0);
    const QString config = Root() + "/config/tarvello";
    const auto runReadOnly = [&](const QString& program, const QStringList& args, QString* out) {
        QProcess process;
        process.setProcessEnvironment(Environment());
        process.start("unshare", QStringList{"--user", "--map-root-user", "--mount", "sh", "-c",
                                             "mount --bind \"$1\" \"$1\" && mount -o "
                                             "remount,bind,ro \"$1\" && shift && exec \"$@\"",
                                             "sh", config, program} +
                                     args);
        EXPECT_TRUE(process.waitForFinished(60000));
        *out = QString::fromUtf8(process.readAllStandardOutput() + process.readAllStandardError());
        return process.exitCode();
    };
    QString out;
    EXPECT_EQ(runReadOnly(SONDREL_PROGRAM, {MakeFile("b.txt")}, &out), 1);
    EXPECT_TRUE(out.endsWith(": das Dateisystem ist schreibgeschützt.\n")) << out.toStdString();
    EXPECT_EQ(runReadOnly(SONDREL_BACKUP_PROGRAM, {"--dry-run"}, &out), 0);
    EXPECT_TRUE(out.split('\n').contains(a)) << out.toStdString();
    EXPECT_EQ(StoredBackupList(), QStringList({a}));
}

// A pipe, a socket or a device is refused at once with its reason; the rest is stored.
TEST_F(Intake, SpecialFilesAreRefusedWithTheirReason) {
    const QString fifo = Root() + "/rohr";
    ASSERT_EQ(::mkfifo(NativePath(fifo).constData(), 0600), 0);
    const QString a = MakeFile("a.txt");
    QString err;
    EXPECT_EQ(RunProgram({fifo, a, "/dev/null"}, &err), 2);
    EXPECT_EQ(err, "Sondrel: „" + fifo +
                       "“ wird nicht aufgenommen: ist eine benannte Pipe (FIFO), keine Datei.\n"
                       "Sondrel: „/dev/null“ wird nicht aufgenommen: ist ein Gerät, keine "
                       "Datei.\n");
    EXPECT_EQ(StoredBackupList(), QStringList({a}));
}

TEST_F(Intake, AStoreLockedLongerThanTheWaitIsReportedAndKeepsItsList) {
    const QString kept = MakeFile("kept.txt");
    EXPECT_EQ(RunProgram({kept}), 0);
    sqlite3* other = nullptr;
    ASSERT_EQ(sqlite3_open(StoreFile().toUtf8().constData(), &other), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(other, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr), SQLITE_OK);
    QString err;
    EXPECT_EQ(RunProgram({MakeFile("new.txt")}, &err), 1);
    EXPECT_TRUE(err.endsWith(
        ": die Datei ist länger als 5 Sekunden von einem anderen Programm gesperrt.\n"))
        << err.toStdString();
    sqlite3_exec(other, "ROLLBACK", nullptr, nullptr, nullptr);
    sqlite3_close(other);
    EXPECT_EQ(StoredBackupList(), QStringList({kept}));
}

// A script's `sondrel "$F"` with F unset: nothing to add, no window, no display needed.
TEST_F(Intake, AnEmptyArgumentIsIntakeWithNothingToAdd) {
    const QString a = MakeFile("a.txt");
    EXPECT_EQ(RunProgram({a}), 0);
    EXPECT_EQ(RunProgram({""}), 0);
    EXPECT_EQ(RunProgram({"", ""}), 0);
    EXPECT_EQ(StoredBackupList(), QStringList({a}));
}

// Names from old disks are bytes that are not UTF-8: they arrive, are stored with the escape and
// survive the next load.
TEST_F(Intake, ANameThatIsNotUtf8IsStoredAndKept) {
    MakeFolder("latin1");
    QProcess shell;
    shell.setProcessEnvironment(Environment());
    shell.start("/bin/sh", {"-c",
                            "f=\"$1/latin1/$(printf 'Gr\\374\\337e.txt')\"; : > \"$f\"; "
                            "exec \"$0\" \"$f\"",
                            SONDREL_PROGRAM, Root()});
    ASSERT_TRUE(shell.waitForFinished(120000));
    EXPECT_EQ(shell.exitCode(), 0) << shell.readAllStandardError().toStdString();
    const QString stored = Root() + "/latin1/Gr" + QChar(0xEFFC) + QChar(0xEFDF) + "e.txt";
    EXPECT_EQ(StoredBackupList(), QStringList({stored}));
    EXPECT_EQ(RunProgram({"/nonexistent"}), 0);  // loads the list, drops only what is gone
    EXPECT_EQ(StoredBackupList(), QStringList({stored, "/nonexistent"}));
    ::unlink(NativePath(stored).constData());  // QTemporaryDir cannot name it
}

TEST_F(Intake, TwoRunsAtTheSameMomentBothArrive) {
    QSet<QString> first;
    QSet<QString> second;
    for (int i = 0; i < 1500; ++i) {
        first << MakeFile("one/" + QString::number(i) + ".txt");
        second << MakeFile("two/" + QString::number(i) + ".txt");
    }
    const QString before = MakeFile("before.txt");
    EXPECT_EQ(RunProgram({before}), 0);

    QProcess runOne;
    QProcess runTwo;
    Start(runOne, {Root() + "/one"});
    Start(runTwo, {Root() + "/two"});
    ASSERT_TRUE(runOne.waitForFinished(120000));
    ASSERT_TRUE(runTwo.waitForFinished(120000));
    EXPECT_EQ(runOne.exitCode(), 0);
    EXPECT_EQ(runTwo.exitCode(), 0);

    EXPECT_EQ(Sql("PRAGMA integrity_check"), "ok");
    const QStringList stored = StoredBackupList();
    // Count matches the numbered entries exactly, with nothing stale beyond them.
    EXPECT_EQ(Sql("SELECT count(*) FROM reg_values WHERE name LIKE 'File%'").toInt(),
              stored.size());
    const QSet<QString> got(stored.begin(), stored.end());
    EXPECT_EQ(got.size(), stored.size());
    // One waits for the other: both arrive.
    EXPECT_TRUE(got == first + second + QSet<QString>{before})
        << "stored " << stored.size() << " entries";
}
