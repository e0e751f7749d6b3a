// The archive-mark store on its own: the records a search loads at once, and a store that is
// damaged, missing or cannot be read.

#include <gtest/gtest.h>
#include <sqlite3.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "platform/archivemarks/ArchiveMarkStore.h"

namespace {

using Sig = ArchiveMarkStore::Signature;
using Load = ArchiveMarkStore::Load;

class TemporaryFolder {
public:
    TemporaryFolder() {
        char pattern[] = "/tmp/sondrel-marks-XXXXXX";
        if (mkdtemp(pattern) != nullptr) {
            path_ = pattern;
        }
    }
    ~TemporaryFolder() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    TemporaryFolder(const TemporaryFolder&) = delete;
    TemporaryFolder& operator=(const TemporaryFolder&) = delete;
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

Sig SigOf(int64_t n) {
    return Sig{1, static_cast<uint64_t>(n), n, n * 10, n * 100};
}

// Runs SQL on the file through a connection of its own, as another program would.
void SqlOn(const std::string& file, const std::string& sql) {
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(file.c_str(), &db), SQLITE_OK);
    char* error = nullptr;
    EXPECT_EQ(sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &error), SQLITE_OK)
        << (error != nullptr ? error : "");
    sqlite3_free(error);
    sqlite3_close(db);
}

class MarkStore : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_FALSE(dir_.path().empty()); }
    std::string File() const { return dir_.path() + "/state/archive-marks.sqlite3"; }
    TemporaryFolder dir_;
};

// What a search loads is the records below its folder, and nothing else: the names that share
// its folder's name as their beginning ("/t/a0", "/t/ab/z") are asked of the store each time.
TEST_F(MarkStore, APreloadAnswersFromMemoryBelowItsFolderAndForgetsOnAChange) {
    ArchiveMarkStore store(File());
    int n = 0;
    for (const char* path : {"/t/a/x", "/t/a/sub/y", "/t/ab/z", "/t/a0", "/t/a"}) {
        ASSERT_TRUE(store.Clear(path, SigOf(++n)));
    }
    ASSERT_EQ(store.Preload("/t/a"), Load::Loaded);
    // Behind its back, as a test of where each answer comes from.
    SqlOn(File(), "DELETE FROM archive_marks");
    EXPECT_FALSE(store.IsSet("/t/a/x", SigOf(1)));
    EXPECT_FALSE(store.IsSet("/t/a/sub/y", SigOf(2)));
    EXPECT_TRUE(store.IsSet("/t/a/x", SigOf(2)));  // another signature: changed since
    EXPECT_TRUE(store.IsSet("/t/a/neu", SigOf(1)));
    EXPECT_TRUE(store.IsSet("/t/ab/z", SigOf(3)));
    EXPECT_TRUE(store.IsSet("/t/a0", SigOf(4)));

    // A change through the store drops what it loaded, so that nothing stale is answered.
    ASSERT_TRUE(store.Clear("/t/a/neu", SigOf(7)));
    EXPECT_TRUE(store.IsSet("/t/a/x", SigOf(1)));
    EXPECT_FALSE(store.IsSet("/t/a/neu", SigOf(7)));
    ASSERT_EQ(store.Preload("/t/a/"), Load::Loaded);
    ASSERT_TRUE(store.Set("/t/a/neu"));
    EXPECT_TRUE(store.IsSet("/t/a/neu", SigOf(7)));
}

TEST_F(MarkStore, APreloadOfTheRootTakesEveryRecordAndManyStayExact) {
    ArchiveMarkStore store(File());
    ASSERT_TRUE(store.BeginBatch());
    for (int i = 0; i < 5000; ++i) {
        ASSERT_TRUE(store.Clear("/d" + std::to_string(i % 7) + "/f" + std::to_string(i), SigOf(i)));
    }
    ASSERT_TRUE(store.EndBatch());
    ASSERT_EQ(store.Preload("/"), Load::Loaded);
    SqlOn(File(), "DELETE FROM archive_marks");
    for (int i = 0; i < 5000; ++i) {
        const std::string path = "/d" + std::to_string(i % 7) + "/f" + std::to_string(i);
        ASSERT_FALSE(store.IsSet(path, SigOf(i))) << path;
        ASSERT_TRUE(store.IsSet(path, SigOf(i + 1))) << path;
    }
}

TEST_F(MarkStore, WithoutAStoreEveryMarkIsSetAndNoneIsMade) {
    ArchiveMarkStore store(File());
    EXPECT_EQ(store.Preload("/t"), Load::Loaded);
    EXPECT_TRUE(store.IsSet("/t/x", SigOf(1)));
    EXPECT_FALSE(std::filesystem::exists(File()));
    // A database without the table holds no marks yet either.
    std::filesystem::create_directories(dir_.path() + "/state");
    SqlOn(File(), "CREATE TABLE other(x)");
    EXPECT_EQ(store.Preload("/t"), Load::Loaded);
    EXPECT_TRUE(store.IsSet("/t/x", SigOf(1)));
}

// A file that is no database, and one whose table is not laid out as the store's, are damaged;
// moved aside with their log files, they make room for a new store.
TEST_F(MarkStore, ADamagedStoreIsToldAndMovedAsideWhole) {
    std::filesystem::create_directories(dir_.path() + "/state");
    {
        std::ofstream junk(File(), std::ios::binary);
        junk << std::string(4096, 'Z');
        std::ofstream(File() + "-wal") << "log";
    }
    ArchiveMarkStore store(File());
    EXPECT_EQ(store.Preload("/t"), Load::Damaged);
    EXPECT_EQ(store.ProblemCode() & 0xFF, SQLITE_NOTADB);
    EXPECT_TRUE(store.IsSet("/t/x", SigOf(1)));
    EXPECT_EQ(store.MoveAside(".beschädigt"), File() + ".beschädigt");
    EXPECT_TRUE(std::filesystem::exists(File() + ".beschädigt-wal"));
    EXPECT_FALSE(std::filesystem::exists(File() + "-wal"));
    ASSERT_TRUE(store.Clear("/t/x", SigOf(1)));
    EXPECT_EQ(store.Preload("/t"), Load::Loaded);
    EXPECT_FALSE(store.IsSet("/t/x", SigOf(1)));
    store.Close();

    std::filesystem::remove(File());
    SqlOn(File(), "CREATE TABLE archive_marks(path TEXT PRIMARY KEY, other INTEGER)");
    ArchiveMarkStore other(File());
    EXPECT_EQ(other.Preload("/t"), Load::Damaged);
    // A second one is never moved over the first.
    EXPECT_EQ(other.MoveAside(".beschädigt"), File() + ".beschädigt-2");
}

TEST_F(MarkStore, AStoreThatCannotBeOpenedIsUnreadableNotDamaged) {
    std::filesystem::create_directories(File());  // a folder where the file belongs
    ArchiveMarkStore store(File());
    EXPECT_EQ(store.Preload("/t"), Load::Unreadable);
    EXPECT_TRUE(store.IsSet("/t/x", SigOf(1)));
}

}  // namespace
