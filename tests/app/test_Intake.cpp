// Start-up: window mode versus intake mode, in process and end to end by running the built
// program without a display, reading the store back with the sqlite3 shell.

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QSet>

#include "app/Main.h"
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
                   [&] {
                       ++calls;
                       // The window finds the loaded list and both filter lists, empty.
                       EXPECT_EQ(Values(*State().BackupFiles), QStringList({a}));
                       EXPECT_EQ(State().Extensions->Count(), 0);
                       EXPECT_EQ(State().ExcludeFolders->Count(), 0);
                       return 7;
                   }),
              7);
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(Main({""}, [&] { return ++calls; }), 2);  // one empty argument: still no paths
}

TEST_F(StartUp, AnyOtherCommandLineNeverOpensTheWindow) {
    bool window = false;
    EXPECT_EQ(Main({"/nonexistent/file.txt"}, [&] { return window = true, 1; }), 0);
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

TEST_F(StartUp, RelativePathsAreTakenAsFullPaths) {
    MakeFile("cwd/sub/a.txt");
    const QString cwd = QDir::currentPath();
    ASSERT_TRUE(QDir::setCurrent(Root() + "/cwd"));
    Main({"sub", "./b.txt"}, nullptr);
    QDir::setCurrent(cwd);
    EXPECT_EQ(StoredBackupList(), QStringList({Root() + "/cwd/sub/a.txt", Root() + "/cwd/b.txt"}));
}

#ifdef SONDREL_PROGRAM

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

    int RunProgram(const QStringList& args) const {
        QProcess process;
        Start(process, args);
        EXPECT_TRUE(process.waitForFinished(120000));
        EXPECT_EQ(process.exitStatus(), QProcess::NormalExit);
        EXPECT_EQ(process.readAllStandardError(), "");
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
    EXPECT_EQ(RunProgram({a, spaced, Root() + "/in/tree", "/nonexistent/x.txt", "rel.txt", quoted}),
              0);
    EXPECT_EQ(StoredBackupList(), QStringList({a, spaced, top, deep, "/nonexistent/x.txt",
                                               Root() + "/rel.txt", Root() + "/in/quote.txt"}));
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

TEST_F(Intake, ADamagedStoreIsLeftAloneAndTheRunStillSucceeds) {
    const QByteArray junk(4096, '\x5a');
    MakeFile("config/tarvello/registry.sqlite3", junk);
    EXPECT_EQ(RunProgram({MakeFile("a.txt")}), 0);
    QFile store(StoreFile());
    ASSERT_TRUE(store.open(QIODevice::ReadOnly));
    EXPECT_EQ(store.readAll(), junk);
}

TEST_F(Intake, TwoRunsAtTheSameMomentLeaveAValidStore) {
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
    // The last one to save decides: its own files on top of the list it loaded.
    QSet<QString> one = first;
    one << before;
    QSet<QString> two = second;
    two << before;
    QSet<QString> both = one + two;
    EXPECT_TRUE(got == one || got == two || got == both)
        << "stored " << stored.size() << " entries";
}

#endif
