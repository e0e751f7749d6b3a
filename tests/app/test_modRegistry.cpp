// The registry primitives on the SQLite store, checked from outside with the sqlite3 shell: the
// documented table, types, the read rules, and damaged, locked or missing store files.

#include <sqlite3.h>
#include <QFile>
#include <QFileInfo>

#include <chrono>
#include <thread>

#include "app/modRegistry.h"
#include "tests/app/AppTestSupport.h"

using namespace modRegistry;

namespace {
const QString kKey = "Software\\Tarvello\\Backup\\Options";

QByteArray FileBytes(const QString& path) {
    QFile f(path);
    f.open(QIODevice::ReadOnly);
    return f.readAll();
}
}  // namespace

class SettingsStore : public CoreTest {};

TEST_F(SettingsStore, WritesTextRowsInTheDocumentedTable) {
    ASSERT_TRUE(RegWriteText(HKEY_CURRENT_USER, kKey, "DefaultPath", "/home/u/Sicherung"));
    EXPECT_EQ(Sql("SELECT key, name, type, data FROM reg_values"),
              "Software\\Tarvello\\Backup\\Options|DefaultPath|1|/home/u/Sicherung");
    EXPECT_EQ(Sql("PRAGMA journal_mode"), "wal");
    // Overwriting keeps one row and the value's first spelling.
    ASSERT_TRUE(RegWriteText(HKEY_CURRENT_USER, kKey.toLower(), "DEFAULTPATH", "/x"));
    EXPECT_EQ(Sql("SELECT name, data FROM reg_values"), "DefaultPath|/x");
}

TEST_F(SettingsStore, EmptyTextIsStoredAsOneBlank) {
    ASSERT_TRUE(RegWriteText(HKEY_CURRENT_USER, kKey, "SearchPath", ""));
    EXPECT_EQ(Sql("SELECT '[' || data || ']' FROM reg_values"), "[ ]");
    EXPECT_EQ(RegReadText(HKEY_CURRENT_USER, kKey, "SearchPath"), " ");
}

TEST_F(SettingsStore, KeysAndNamesIgnoreLetterCase) {
    ASSERT_TRUE(RegWriteText(HKEY_CURRENT_USER, kKey, "RecursionLimit", "7"));
    EXPECT_EQ(RegReadText(HKEY_CURRENT_USER, kKey.toUpper(), "recursionlimit"), "7");
    EXPECT_EQ(RegReadText(HKEY_CURRENT_USER, "Software\\Tarvello\\Backup", "RecursionLimit"), "");
}

TEST_F(SettingsStore, ReadsEachTypeByItsRule) {
    RegWriteText(HKEY_CURRENT_USER, kKey, "Seed", "1");  // creates the store
    Sql("INSERT INTO reg_values VALUES('" + kKey +
        "', 'Expand', 2, '%HOME%/x');"
        "INSERT INTO reg_values VALUES('" +
        kKey +
        "', 'Dword', 4, 42);"
        "INSERT INTO reg_values VALUES('" +
        kKey +
        "', 'NegDword', 4, -1);"
        "INSERT INTO reg_values VALUES('" +
        kKey +
        "', 'BigDword', 4, 4294967295);"
        "INSERT INTO reg_values VALUES('" +
        kKey +
        "', 'Binary', 3, x'414243');"
        "INSERT INTO reg_values VALUES('" +
        kKey +
        "', 'Odd', 7, 'text');"
        "INSERT INTO reg_values VALUES('" +
        kKey +
        "', 'BlobText', 1, CAST('blob' AS BLOB));"
        "INSERT INTO reg_values VALUES('" +
        kKey + "', 'WithNul', 1, x'61620063');");
    EXPECT_EQ(RegReadText(HKEY_CURRENT_USER, kKey, "Expand"), "%HOME%/x");  // not expanded
    EXPECT_EQ(RegReadText(HKEY_CURRENT_USER, kKey, "Dword"), "42");
    EXPECT_EQ(RegReadText(HKEY_CURRENT_USER, kKey, "NegDword"), "-1");
    EXPECT_EQ(RegReadText(HKEY_CURRENT_USER, kKey, "BigDword"), "-1");
    EXPECT_EQ(RegReadText(HKEY_CURRENT_USER, kKey, "Binary"), "");
    EXPECT_EQ(RegReadText(HKEY_CURRENT_USER, kKey, "Odd"), "");
    EXPECT_EQ(RegReadText(HKEY_CURRENT_USER, kKey, "BlobText"), "blob");
    EXPECT_EQ(RegReadText(HKEY_CURRENT_USER, kKey, "WithNul"), "ab");  // cut at the first NUL
    EXPECT_EQ(RegReadText(HKEY_CURRENT_USER, kKey, "Missing"), "");
    EXPECT_FALSE(RegTryReadText(HKEY_CURRENT_USER, kKey, "Missing").has_value());
}

TEST_F(SettingsStore, TextsOf1024BytesOrMoreReadEmpty) {
    const QString fits(1023, 'a');
    ASSERT_TRUE(RegWriteText(HKEY_CURRENT_USER, kKey, "Fits", fits));
    ASSERT_TRUE(RegWriteText(HKEY_CURRENT_USER, kKey, "TooLong", QString(1024, 'a')));
    // 511 two-byte letters and one byte: 1023 bytes fit; one more two-byte letter does not.
    const QString umlauts = QString(511, QChar(0xFC)) + "a";
    ASSERT_TRUE(RegWriteText(HKEY_CURRENT_USER, kKey, "Umlauts", umlauts));
    ASSERT_TRUE(RegWriteText(HKEY_CURRENT_USER, kKey, "UmlautsLong", QString(512, QChar(0xFC))));
    EXPECT_EQ(RegReadText(HKEY_CURRENT_USER, kKey, "Fits"), fits);
    EXPECT_EQ(RegReadText(HKEY_CURRENT_USER, kKey, "TooLong"), "");
    EXPECT_EQ(RegReadText(HKEY_CURRENT_USER, kKey, "Umlauts"), umlauts);
    EXPECT_EQ(RegReadText(HKEY_CURRENT_USER, kKey, "UmlautsLong"), "");
    // The long value is stored in full all the same.
    EXPECT_EQ(Sql("SELECT length(data) FROM reg_values WHERE name='TooLong'"), "1024");
}

TEST_F(SettingsStore, NonAsciiTextsSurviveUnchanged) {
    const QStringList texts = {"/home/u/Bücher/Übersicht \"2026\".odt", "/tmp/日本語/файл 'x'.txt",
                               "/tmp/emoji 😀/a\tb", "C:\\Windows\\x"};
    for (int i = 0; i < texts.size(); ++i) {
        ASSERT_TRUE(RegWriteText(HKEY_CURRENT_USER, kKey, "T" + QString::number(i), texts[i]));
    }
    modRegistry::CloseStores();
    for (int i = 0; i < texts.size(); ++i) {
        EXPECT_EQ(RegReadText(HKEY_CURRENT_USER, kKey, "T" + QString::number(i)), texts[i]);
    }
    EXPECT_EQ(Sql("SELECT data FROM reg_values WHERE name='T0'"), texts[0]);
}

TEST_F(SettingsStore, RemoveValueTellsWhetherSomethingWasDeleted) {
    RegWriteText(HKEY_CURRENT_USER, kKey, "A", "1");
    EXPECT_TRUE(RegRemoveValue(HKEY_CURRENT_USER, kKey, "a"));
    EXPECT_FALSE(RegRemoveValue(HKEY_CURRENT_USER, kKey, "A"));
    EXPECT_FALSE(RegRemoveValue(HKEY_CURRENT_USER, "No\\Such\\Key", "A"));
    EXPECT_EQ(Sql("SELECT count(*) FROM reg_values"), "0");
}

TEST_F(SettingsStore, ReadingAMissingStoreCreatesNothing) {
    EXPECT_EQ(RegReadText(HKEY_CURRENT_USER, kKey, "DefaultPath"), "");
    EXPECT_FALSE(RegRemoveValue(HKEY_CURRENT_USER, kKey, "DefaultPath"));
    EXPECT_FALSE(QFileInfo::exists(StoreFile()));
    EXPECT_FALSE(QFileInfo::exists(QFileInfo(StoreFile()).path()));
}

TEST_F(SettingsStore, AFileThatIsNoDatabaseIsReadAsEmptyAndNeverTouched) {
    const QByteArray junk = "This is not an SQLite database, just some text.\n";
    MakeFile("config/tarvello/registry.sqlite3", junk);
    EXPECT_EQ(RegReadText(HKEY_CURRENT_USER, kKey, "DefaultPath"), "");
    EXPECT_FALSE(RegWriteText(HKEY_CURRENT_USER, kKey, "DefaultPath", "/x"));
    EXPECT_FALSE(RegRemoveValue(HKEY_CURRENT_USER, kKey, "DefaultPath"));
    RegBatch batch(HKEY_CURRENT_USER, true);
    EXPECT_FALSE(batch.Active());
    EXPECT_EQ(RegProblemText(HKEY_CURRENT_USER), "die Datei ist keine SQLite-Datenbank");
    EXPECT_EQ(FileBytes(StoreFile()), junk);
}

TEST_F(SettingsStore, AStoreThatCannotBeOpenedReadsEmpty) {
    MakeFolder("config/tarvello/registry.sqlite3");  // a folder where the file should be
    EXPECT_EQ(RegReadText(HKEY_CURRENT_USER, kKey, "DefaultPath"), "");
    EXPECT_FALSE(RegWriteText(HKEY_CURRENT_USER, kKey, "DefaultPath", "/x"));
    EXPECT_EQ(RegProblemText(HKEY_CURRENT_USER), "die Datei ist ein Ordner");
    EXPECT_FALSE(RegReadNumbered(HKEY_CURRENT_USER, kKey, "Extension", 10).has_value());
}

TEST_F(SettingsStore, AFolderThatCannotBeMadeIsNamedAsTheReason) {
    MakeFile("config/tarvello", "a file where the store's folder belongs");
    EXPECT_FALSE(RegWriteText(HKEY_CURRENT_USER, kKey, "DefaultPath", "/x"));
    EXPECT_TRUE(RegProblemText(HKEY_CURRENT_USER)
                    .startsWith("der Ordner der Datei kann nicht angelegt werden ("));
    // The store's folder missing is no failure of a read: nothing is stored yet.
    EXPECT_TRUE(RegReadNumbered(HKEY_CURRENT_USER, kKey, "File", 3)->empty());
}

TEST_F(SettingsStore, TheMachineStoreIsOnlyRead) {
    const QString machine = Root() + "/etc/registry.sqlite3";
    SqlOn(machine,
          "CREATE TABLE reg_values(key TEXT NOT NULL COLLATE NOCASE, name TEXT NOT NULL COLLATE "
          "NOCASE, type INTEGER NOT NULL, data BLOB, PRIMARY KEY(key, name));"
          "INSERT INTO reg_values VALUES('SOFTWARE\\Shared', 'PATH', 1, '/usr/bin/info');");
    SetStorePath(HKEY_LOCAL_MACHINE, machine);
    EXPECT_EQ(RegReadText(HKEY_LOCAL_MACHINE, "software\\shared", "path"), "/usr/bin/info");
    EXPECT_FALSE(RegWriteText(HKEY_LOCAL_MACHINE, "SOFTWARE\\Shared", "PATH", "/x"));
    EXPECT_FALSE(RegRemoveValue(HKEY_LOCAL_MACHINE, "SOFTWARE\\Shared", "PATH"));
    EXPECT_EQ(SqlOn(machine, "SELECT data FROM reg_values"), "/usr/bin/info");
    SetStorePath(HKEY_LOCAL_MACHINE, "");
    EXPECT_EQ(StorePath(HKEY_LOCAL_MACHINE), "/etc/xdg/tarvello/registry.sqlite3");
}

TEST_F(SettingsStore, StoreFollowsXdgConfigHome) {
    EXPECT_EQ(StorePath(HKEY_CURRENT_USER), StoreFile());
    qputenv("XDG_CONFIG_HOME", "relative/ignored");
    modRegistry::CloseStores();
    EXPECT_EQ(StorePath(HKEY_CURRENT_USER), Root() + "/home/.config/tarvello/registry.sqlite3");
}

// A batch is all or nothing: a write that fails half-way leaves every earlier value as it was.
TEST_F(SettingsStore, AFailedWriteInABatchRollsEverythingBack) {
    RegWriteText(HKEY_CURRENT_USER, kKey, "A", "old a");
    RegWriteText(HKEY_CURRENT_USER, kKey, "B", "old b");
    Sql("CREATE TRIGGER disk_full BEFORE UPDATE ON reg_values WHEN NEW.name = 'B'"
        " BEGIN SELECT RAISE(ABORT, 'disk full'); END;");
    {
        RegBatch batch(HKEY_CURRENT_USER, true);
        ASSERT_TRUE(batch.Active());
        EXPECT_TRUE(RegWriteText(HKEY_CURRENT_USER, kKey, "A", "new a"));
        EXPECT_FALSE(RegWriteText(HKEY_CURRENT_USER, kKey, "B", "new b"));
        EXPECT_FALSE(batch.Commit());
    }
    EXPECT_EQ(Sql("SELECT name, data FROM reg_values ORDER BY name"), "A|old a\nB|old b");
    // A batch without Commit is rolled back too.
    {
        RegBatch batch(HKEY_CURRENT_USER, true);
        RegWriteText(HKEY_CURRENT_USER, kKey, "C", "c");
    }
    EXPECT_EQ(Sql("SELECT count(*) FROM reg_values"), "2");
}

// Another instance holding the write lock for a while only delays a write.
TEST_F(SettingsStore, WaitsForAnotherWriterThenWrites) {
    RegWriteText(HKEY_CURRENT_USER, kKey, "A", "1");
    sqlite3* other = nullptr;
    ASSERT_EQ(sqlite3_open(StoreFile().toUtf8().constData(), &other), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(other, "BEGIN IMMEDIATE; UPDATE reg_values SET data='other'", nullptr,
                           nullptr, nullptr),
              SQLITE_OK);
    std::thread releaser([other] {
        std::this_thread::sleep_for(std::chrono::milliseconds(700));
        sqlite3_exec(other, "COMMIT", nullptr, nullptr, nullptr);
    });
    // Readers are not blocked by the writer (WAL), and see the state before its transaction.
    EXPECT_EQ(RegReadText(HKEY_CURRENT_USER, kKey, "A"), "1");
    const auto start = std::chrono::steady_clock::now();
    EXPECT_TRUE(RegWriteText(HKEY_CURRENT_USER, kKey, "B", "2"));
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(300));
    releaser.join();
    sqlite3_close(other);
    EXPECT_EQ(Sql("SELECT name, data FROM reg_values ORDER BY name"), "A|other\nB|2");
}

// The entries of a list come in one query, as the walk over 0 .. Count - 1 would read them.
TEST_F(SettingsStore, NumberedValuesAreThoseTheWalkWouldRead) {
    EXPECT_TRUE(RegReadNumbered(HKEY_CURRENT_USER, kKey, "File", 5)->empty());  // no store yet
    for (const char* name : {"File0", "file3", "FILE1", "File01", "File5", "File3x", "Filex",
                             "File", "Profile2", "File99999999999999999999", "File4294967296"}) {
        RegWriteText(HKEY_CURRENT_USER, kKey, name, QString(name).toLower());
    }
    RegWriteText(HKEY_CURRENT_USER, "Other", "File2", "other");
    const NumberedTexts expected = {{0, "file0"}, {1, "file1"}, {3, "file3"}};
    EXPECT_EQ(RegReadNumbered(HKEY_CURRENT_USER, kKey, "File", 5), expected);
    EXPECT_EQ(RegReadNumbered(HKEY_CURRENT_USER, kKey, "File", 2147483647)->size(), 4u);
    EXPECT_TRUE(RegReadNumbered(HKEY_CURRENT_USER, kKey, "File", -1)->empty());
    // Each value follows the read rules of its buffer.
    RegWriteText(HKEY_CURRENT_USER, kKey, "File2", QString(1500, 'p'));
    EXPECT_EQ((*RegReadNumbered(HKEY_CURRENT_USER, kKey, "File", 3))[2].second, std::nullopt);
    EXPECT_EQ((*RegReadNumbered(HKEY_CURRENT_USER, kKey, "File", 3, kPathReadBufferSize))[2].second,
              QString(1500, 'p'));
}
