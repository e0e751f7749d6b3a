// The typed settings accessors: defaults of a fresh user, the stored forms, flags read through the
// leading number, and the lists with count, numbered entries and removal of stale entries.

#include <sqlite3.h>
#include <QDir>
#include <QFile>
#include <chrono>

#include "app/modBackup.h"
#include "app/modRegistry.h"
#include "tests/app/AppTestSupport.h"

using namespace modBackup;

namespace {
const QString kMain = "Software\\Tarvello\\Backup";
const QString kOptions = "Software\\Tarvello\\Backup\\Options";

void SeedList(const QString& key, const QString& countName, const QString& prefix,
              const QStringList& entries) {
    modRegistry::RegWriteText(modRegistry::HKEY_CURRENT_USER, key, countName,
                              QString::number(entries.size()));
    for (int i = 0; i < entries.size(); ++i) {
        modRegistry::RegWriteText(modRegistry::HKEY_CURRENT_USER, key, prefix + QString::number(i),
                                  entries[i]);
    }
}
}  // namespace

class Accessors : public CoreTest {};

TEST_F(Accessors, AFreshUserGetsTheDefaults) {
    EXPECT_TRUE(LoadBackupList());
    ASSERT_TRUE(State().BackupFiles);
    EXPECT_EQ(State().BackupFiles->Count(), 0);
    // Archives go to a folder of their own, not into the home folder that is searched.
    EXPECT_EQ(ReadDefaultPath(), Root() + "/home/Sicherungen");
    EXPECT_EQ(ReadOption("SearchPath", HomeFolder()), Root() + "/home");
    EXPECT_EQ(ReadOption("RecursionLimit", "5"), "5");
    for (int32_t index = OptArchiveFlag; index <= OptLimitRecursion; ++index) {
        EXPECT_FALSE(ReadFlagOption(index, false));
        EXPECT_TRUE(ReadFlagOption(index, true));
    }
    std::unique_ptr<CListString> extensions;
    EXPECT_TRUE(LoadOptionList(extensions, "Extension"));
    ASSERT_TRUE(extensions);
    EXPECT_EQ(extensions->Count(), 0);
    const QDateTime before = QDateTime::currentDateTime().addSecs(-1);
    const QDateTime last = ReadLastBackupAt();
    EXPECT_GE(last, before);
    EXPECT_LE(last, QDateTime::currentDateTime().addSecs(1));
    // Reading created no store file.
    EXPECT_FALSE(QFile::exists(StoreFile()));
}

// A new user's scans leave out the cache and the trash; the user may remove them for good, and a
// stored archive folder stays as it was.
TEST_F(Accessors, ANewUserExcludesTheCacheAndTheTrashUntilAListIsStored) {
    std::unique_ptr<CListString> excluded;
    EXPECT_TRUE(LoadExcludeFolders(excluded));
    EXPECT_EQ(Values(*excluded),
              QStringList({Root() + "/home/.cache", Root() + "/home/.local/share/Trash"}));
    qputenv("XDG_CACHE_HOME", QFile::encodeName(Root() + "/zwischen/"));
    qputenv("XDG_DATA_HOME", "relative/is/ignored");
    EXPECT_TRUE(LoadExcludeFolders(excluded));
    EXPECT_EQ(Values(*excluded),
              QStringList({Root() + "/zwischen", Root() + "/home/.local/share/Trash"}));
    qunsetenv("XDG_CACHE_HOME");
    qunsetenv("XDG_DATA_HOME");

    CListString none;
    EXPECT_TRUE(SaveOptionList(none, "ExcludeFolder"));
    EXPECT_TRUE(LoadExcludeFolders(excluded));
    EXPECT_EQ(excluded->Count(), 0);

    EXPECT_TRUE(WriteOption("DefaultPath", Root() + "/home"));
    EXPECT_EQ(ReadDefaultPath(), Root() + "/home");
}

TEST_F(Accessors, LastBackupAtIsStoredAsGermanDateText) {
    const QDateTime when(QDate(2026, 12, 6), QTime(14, 5, 9, 700));
    ASSERT_TRUE(WriteLastBackupAt(when));
    EXPECT_EQ(Sql("SELECT key, name, type, data FROM reg_values"),
              "Software\\Tarvello\\Backup|LastBackupAt|1|06.12.2026 14:05:09");
    EXPECT_EQ(ReadLastBackupAt(), QDateTime(QDate(2026, 12, 6), QTime(14, 5, 9)));
}

TEST_F(Accessors, LastBackupAtThatIsNoDateReadsAsNow) {
    for (const QString& stored :
         {QString("gestern"), QString(""), QString("31.02.2026 10:00:00")}) {
        modRegistry::RegWriteText(modRegistry::HKEY_CURRENT_USER, kMain, "LastBackupAt", stored);
        const QDateTime read = ReadLastBackupAt();
        EXPECT_LE(qAbs(read.secsTo(QDateTime::currentDateTime())), 2) << stored.toStdString();
    }
    modRegistry::RegWriteText(modRegistry::HKEY_CURRENT_USER, kMain, "LastBackupAt", "1.2.2025");
    EXPECT_EQ(ReadLastBackupAt(), QDateTime(QDate(2025, 2, 1), QTime(0, 0)));
}

TEST_F(Accessors, OptionsKeepAStoredBlankAndFallBackOnlyWhenEmpty) {
    ASSERT_TRUE(WriteOption("DefaultPath", ""));
    EXPECT_EQ(ReadOption("DefaultPath", "/default"), " ");
    ASSERT_TRUE(WriteOption("SearchPath", "/home/u/Mein Ordner"));
    EXPECT_EQ(ReadOption("SearchPath", "/default"), "/home/u/Mein Ordner");
    EXPECT_EQ(Sql("SELECT key FROM reg_values WHERE name='SearchPath'"), kOptions);
    // Too long to read back: the default.
    EXPECT_TRUE(WriteOption("DefaultPath", "/" + QString(1100, 'x')));
    EXPECT_EQ(ReadOption("DefaultPath", "/default"), "/default");
}

TEST_F(Accessors, FlagsAreWrittenAsOneOrZeroUnderTheirNames) {
    EXPECT_TRUE(WriteFlagOption(OptArchiveFlag, true));
    EXPECT_TRUE(WriteFlagOption(OptExtFilterSearch, false));
    EXPECT_TRUE(WriteFlagOption(OptExtFilterScan, true));
    EXPECT_TRUE(WriteFlagOption(OptLimitRecursion, false));
    EXPECT_FALSE(WriteFlagOption(0, true));
    EXPECT_FALSE(WriteFlagOption(5, true));
    EXPECT_EQ(Sql("SELECT name || '=' || data FROM reg_values WHERE key='" + kOptions +
                  "' ORDER BY name"),
              "DeleteArchiveFlag=1\nLimitRecursionInFolders=0\nUseExtensionFilterInFolderScan=1\n"
              "UseExtensionFilterInSearch=0");
    EXPECT_TRUE(ReadFlagOption(OptArchiveFlag, false));
    EXPECT_FALSE(ReadFlagOption(OptExtFilterSearch, true));
    EXPECT_TRUE(ReadFlagOption(0, true));  // outside 1 to 4: the default
    EXPECT_FALSE(ReadFlagOption(5, false));
}

TEST_F(Accessors, FlagsReadThroughTheirLeadingNumber) {
    const std::pair<QString, bool> cases[] = {
        {"1", true},    {"2", true},  {"0", false},   {"-1", false}, {"ja", false},
        {" ", false},   {" 1", true}, {"0.5", false}, {"0.6", true}, {"1.5", true},
        {"1abc", true}, {"+3", true}, {"\t1", false},
    };
    for (const auto& [stored, expected] : cases) {
        modRegistry::RegWriteText(modRegistry::HKEY_CURRENT_USER, kOptions, "DeleteArchiveFlag",
                                  stored);
        EXPECT_EQ(ReadFlagOption(OptArchiveFlag, !expected), expected) << stored.toStdString();
    }
}

TEST_F(Accessors, ANumberValueUnderAnOptionReadsAsItsDecimalText) {
    EXPECT_TRUE(WriteOption("Seed", "x"));
    Sql("INSERT INTO reg_values VALUES('" + kOptions +
        "', 'RecursionLimit', 4, 12);"
        "INSERT INTO reg_values VALUES('" +
        kOptions + "', 'LimitRecursionInFolders', 4, 1);");
    EXPECT_EQ(ReadOption("RecursionLimit", "5"), "12");
    EXPECT_TRUE(ReadFlagOption(OptLimitRecursion, false));
}

TEST_F(Accessors, SavingThreeOverFiveDeletesTheStaleEntries) {
    SeedList(kOptions, "ExtensionCount", "Extension", {"a", "b", "c", "d", "e"});
    CListString list;
    for (const char* v : {"TMP", "BAK", "T?P"}) {
        list.Add(v);
    }
    EXPECT_TRUE(SaveOptionList(list, "Extension"));
    EXPECT_EQ(Sql("SELECT name || '=' || data FROM reg_values ORDER BY name"),
              "Extension0=TMP\nExtension1=BAK\nExtension2=T?P\nExtensionCount=3");
}

TEST_F(Accessors, SavingALongerListDeletesNothing) {
    SeedList(kOptions, "ExcludeFolderCount", "ExcludeFolder", {"/a"});
    EXPECT_TRUE(WriteOption("Extension1", "unrelated"));
    CListString list;
    for (const char* v : {"/x", "/y", "/z"}) {
        list.Add(v);
    }
    EXPECT_TRUE(SaveOptionList(list, "ExcludeFolder"));
    EXPECT_EQ(Sql("SELECT name || '=' || data FROM reg_values ORDER BY name"),
              "ExcludeFolder0=/x\nExcludeFolder1=/y\nExcludeFolder2=/z\nExcludeFolderCount=3\n"
              "Extension1=unrelated");
}

TEST_F(Accessors, AnEmptyListStoresCountZeroAndRemovesEveryEntry) {
    SeedList(kOptions, "ExtensionCount", "Extension", {"a", "b"});
    CListString list;
    EXPECT_TRUE(SaveOptionList(list, "Extension"));
    EXPECT_EQ(Sql("SELECT name || '=' || data FROM reg_values"), "ExtensionCount=0");
}

TEST_F(Accessors, LoadingAnOptionListDropsDuplicatesAndKeepsOrder) {
    SeedList(kOptions, "ExtensionCount", "Extension", {"tmp", "bak", "tmp", "TMP"});
    std::unique_ptr<CListString> list = std::make_unique<CListString>();
    list->Add("stale");
    EXPECT_TRUE(LoadOptionList(list, "Extension"));
    EXPECT_EQ(Values(*list), QStringList({"tmp", "bak", "TMP"}));
}

TEST_F(Accessors, MissingOptionEntriesFollowTheEmptyTextRule) {
    // A missing entry reads as the empty text; while the list's store has a free slot the empty
    // text already "exists", so it is not appended.
    EXPECT_TRUE(WriteOption("ExtensionCount", "3"));
    EXPECT_TRUE(WriteOption("Extension0", "a"));
    EXPECT_TRUE(WriteOption("Extension2", "c"));
    std::unique_ptr<CListString> list;
    EXPECT_TRUE(LoadOptionList(list, "Extension"));
    EXPECT_EQ(Values(*list), QStringList({"a", "c"}));
}

// A damaged count must not make the stored entries look gone: the next save would delete them.
TEST_F(Accessors, ACountThatIsNoNumberTakesEveryStoredEntry) {
    SeedList(kOptions, "ExtensionCount", "Extension", {"a", "b"});
    EXPECT_TRUE(WriteOption("ExtensionCount", "1.5"));  // rounds to 2
    std::unique_ptr<CListString> list;
    EXPECT_TRUE(LoadOptionList(list, "Extension"));
    EXPECT_EQ(list->Count(), 2);

    const QStringList files = {MakeFile("f0"), MakeFile("f1"), MakeFile("f2"), MakeFile("f3"),
                               MakeFile("f4")};
    SeedList(kMain, "Count", "File", files);
    modRegistry::RegWriteText(modRegistry::HKEY_CURRENT_USER, kMain, "Count", "abc");
    ASSERT_TRUE(LoadBackupList());
    EXPECT_EQ(Values(*State().BackupFiles), files);
    // Intake adds a file: all six are stored, under a count that is a number again.
    State().BackupFiles->Add(MakeFile("f5"));
    ASSERT_TRUE(SaveBackupList());
    EXPECT_EQ(StoredBackupList().size(), 6);

    // Below a readable count the rows above it are stale, and go at the next save.
    modRegistry::RegWriteText(modRegistry::HKEY_CURRENT_USER, kMain, "Count", "2");
    ASSERT_TRUE(LoadBackupList());
    EXPECT_EQ(Values(*State().BackupFiles), files.mid(0, 2));
    ASSERT_TRUE(SaveBackupList());
    EXPECT_EQ(Sql("SELECT count(*) FROM reg_values WHERE key = '" + kMain + "'"), "3");
}

// Another program holding the store (a sqlite3 shell in an exclusive transaction): the load fails
// as a whole after one wait, and nothing that could not be read is saved over.
TEST_F(Accessors, AStoreThatCannotBeReadIsAFailedLoad) {
    const QStringList files = {MakeFile("a"), MakeFile("b")};
    SeedList(kMain, "Count", "File", files);
    modRegistry::CloseStores();
    sqlite3* other = nullptr;
    ASSERT_EQ(sqlite3_open(StoreFile().toUtf8().constData(), &other), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(other,
                           "PRAGMA locking_mode=EXCLUSIVE; BEGIN EXCLUSIVE;"
                           " UPDATE reg_values SET data = data",
                           nullptr, nullptr, nullptr),
              SQLITE_OK);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(LoadBackupList());
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(7500));
    EXPECT_EQ(State().BackupFiles->Count(), 0);
    std::unique_ptr<CListString> extensions;
    EXPECT_FALSE(LoadOptionList(extensions, "Extension"));
    sqlite3_exec(other, "ROLLBACK", nullptr, nullptr, nullptr);
    sqlite3_close(other);
    EXPECT_EQ(ReadStoredBackupList().ValueOr({}), files);
}

TEST_F(Accessors, AHugeDamagedCountDoesNotHang) {
    SeedList(kMain, "Count", "File", {MakeFile("a.txt"), MakeFile("b.txt")});
    modRegistry::RegWriteText(modRegistry::HKEY_CURRENT_USER, kMain, "Count", "2000000000");
    const auto start = std::chrono::steady_clock::now();
    EXPECT_TRUE(LoadBackupList());
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    EXPECT_EQ(State().BackupFiles->Count(), 2);
    State().BackupFiles->RemoveAll();
    EXPECT_TRUE(SaveBackupList());
    EXPECT_EQ(Sql("SELECT name || '=' || data FROM reg_values"), "Count=0");
}

// Damaged stores: a stray entry far beyond the count must neither cut the list short nor make the
// walk read every number up to it.
TEST_F(Accessors, AStrayEntryOfAHugeNumberNeitherShortensNorSlowsTheLoad) {
    const QString a = MakeFile("a.txt");
    const QString b = MakeFile("b.txt");
    const QString c = MakeFile("c.txt");
    SeedList(kMain, "Count", "File", {a, b});
    modRegistry::RegWriteText(modRegistry::HKEY_CURRENT_USER, kMain, "File99999999999999999999", c);
    EXPECT_TRUE(LoadBackupList());
    EXPECT_EQ(Values(*State().BackupFiles), QStringList({a, b}));

    modRegistry::RegWriteText(modRegistry::HKEY_CURRENT_USER, kMain, "Count", "2147483647");
    modRegistry::RegWriteText(modRegistry::HKEY_CURRENT_USER, kMain, "File2147483000", c);
    EXPECT_TRUE(LoadBackupList());
    EXPECT_EQ(Values(*State().BackupFiles), QStringList({a, b, c}));
    // Saving removes the stored entries beyond the new count, the stray one of the walk included;
    // a name that no count can reach is no entry and stays.
    State().BackupFiles->RemoveAll();
    State().BackupFiles->Add(a);
    EXPECT_TRUE(SaveBackupList());
    EXPECT_EQ(Sql("SELECT name || '=' || data FROM reg_values ORDER BY name"),
              "Count=1\nFile0=" + a + "\nFile99999999999999999999=" + c);
}

TEST_F(Accessors, ListEntriesReadBackWholeUpToThePathLimit) {
    QString folder = "long";
    while (folder.size() < 2500) {
        folder += "/" + QString(200, 'd');
    }
    const QString deep = MakeFile(folder + "/Datei mit langem Pfad.txt");
    ASSERT_GT(deep.toUtf8().size(), 2500);
    EXPECT_TRUE(LoadBackupList());
    State().BackupFiles->Add(deep);
    ASSERT_TRUE(SaveBackupList());
    ResetState();
    EXPECT_TRUE(LoadBackupList());
    EXPECT_EQ(Values(*State().BackupFiles), QStringList({deep}));
    // Every other value keeps the 1024-byte rule: an excluded folder that long reads empty.
    SeedList(kOptions, "ExcludeFolderCount", "ExcludeFolder", {deep});
    std::unique_ptr<CListString> list;
    EXPECT_TRUE(LoadOptionList(list, "ExcludeFolder"));
    EXPECT_EQ(Values(*list), QStringList({""}));
}

TEST_F(Accessors, LoadBackupListKeepsExistingFilesOnceEach) {
    const QString a = MakeFile("docs/a.txt");
    const QString b = MakeFile("docs/Bücher \"neu\" 'x'.odt");
    const QString gone = MakeFile("docs/gone.txt");
    const QString folder = MakeFolder("docs/folder");
    SeedList(kMain, "Count", "File", {a, gone, b, a, "", folder, b.toUpper(), b});
    QFile::remove(gone);
    QStringList vanished;
    EXPECT_TRUE(LoadBackupList(&vanished));
    EXPECT_EQ(Values(*State().BackupFiles), QStringList({a, b}));
    EXPECT_EQ(vanished, QStringList({gone, folder, b.toUpper()}));
    // The next save leaves only those in the store.
    EXPECT_TRUE(SaveBackupList());
    EXPECT_EQ(StoredBackupList(), QStringList({a, b}));
    EXPECT_EQ(Sql("SELECT count(*) FROM reg_values WHERE name LIKE 'File%'"), "2");
}

// What a backup archived leaves the stored list; a path stored meanwhile stays, whatever its place.
TEST_F(Accessors, RemovingArchivedPathsKeepsEveryOtherStoredPath) {
    const QString a = MakeFile("a.txt");
    const QString b = MakeFile("b.txt");
    const QString meanwhile = MakeFile("neu.txt");
    SeedList(kMain, "Count", "File", {a, meanwhile, b, Root() + "/weg.txt"});
    EXPECT_TRUE(RemoveFromStoredBackupList({a, b}));
    EXPECT_EQ(StoredBackupList(), QStringList({meanwhile}));
}

TEST_F(Accessors, BackupListRoundTripKeepsEveryCharacter) {
    QStringList paths;
    for (const char* name : {"blank name.txt", "quote\"d.txt", "apos'trophe.txt", "Umlaut äöüß.txt",
                             "日本語.txt", "emoji 😀.txt", "tab\there.txt", "semi;colon|pipe.txt"}) {
        paths << MakeFile(QString("round trip/") + QString::fromUtf8(name));
    }
    EXPECT_TRUE(LoadBackupList());
    for (const QString& p : paths) {
        State().BackupFiles->Add(p);
    }
    EXPECT_TRUE(SaveBackupList());
    EXPECT_EQ(StoredBackupList(), paths);
    ResetState();
    EXPECT_TRUE(LoadBackupList());
    EXPECT_EQ(Values(*State().BackupFiles), paths);
}

TEST_F(Accessors, SaveWithAbsentListStoresAnEmptyList) {
    SeedList(kMain, "Count", "File", {"/a", "/b"});
    State().BackupFiles.reset();
    EXPECT_TRUE(SaveBackupList());
    EXPECT_EQ(Sql("SELECT name || '=' || data FROM reg_values"), "Count=0");
}

// A save that fails half-way (here: the disk "fills" at the third entry) keeps the old list.
TEST_F(Accessors, ASaveThatFailsHalfWayKeepsTheOldList) {
    const QStringList old = {"/old0", "/old1", "/old2", "/old3", "/old4"};
    SeedList(kMain, "Count", "File", old);
    Sql("CREATE TRIGGER disk_full BEFORE UPDATE ON reg_values WHEN NEW.name = 'File2'"
        " BEGIN SELECT RAISE(ABORT, 'disk full'); END;");
    State().BackupFiles = std::make_unique<CListString>();
    for (const char* v : {"/new0", "/new1", "/new2"}) {
        State().BackupFiles->Add(v);
    }
    EXPECT_FALSE(SaveBackupList());
    EXPECT_EQ(StoredBackupList(), old);
}

TEST_F(Accessors, ResetStateStartsTheSharedStateAfresh) {
    State().ScanRecursionLimit = 9;
    State().ScanArchiveOnly = true;
    State().BackupFiles = std::make_unique<CListString>();
    ResetState();
    EXPECT_EQ(State().ScanRecursionLimit, 0);
    EXPECT_FALSE(State().ScanArchiveOnly);
    EXPECT_FALSE(State().ScanChangedOnly);
    EXPECT_EQ(State().ScanSince, QDateTime(QDate(1899, 12, 30), QTime(0, 0)));
    EXPECT_FALSE(State().BackupFiles);
    EXPECT_EQ(State().WindowOutlet, nullptr);
}
