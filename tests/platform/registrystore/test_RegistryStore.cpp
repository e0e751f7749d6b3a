// The SQLite store on its own, without the registry functions over it.

#include <gtest/gtest.h>
#include <sqlite3.h>
#include <stdlib.h>

#include <filesystem>
#include <string>

#include "platform/registrystore/RegistryStore.h"

namespace {

class TemporaryFolder {
public:
    TemporaryFolder() {
        char pattern[] = "/tmp/sondrel-store-XXXXXX";
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

TEST(RegistryStoreAlone, GivesUpOnALockHeldTooLongWithoutChangingAnything) {
    TemporaryFolder dir;
    ASSERT_FALSE(dir.path().empty());
    const std::string path = dir.path() + "/r.sqlite3";
    RegistryStore store(path, false, 200);
    ASSERT_TRUE(store.Write("K", "A", RegistryStore::kText, "kept"));
    sqlite3* other = nullptr;
    ASSERT_EQ(sqlite3_open(path.c_str(), &other), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(other, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr), SQLITE_OK);
    EXPECT_FALSE(store.BeginBatch(true));
    EXPECT_EQ(store.LastProblem().sqliteCode & 0xFF, SQLITE_BUSY);
    EXPECT_FALSE(store.Write("K", "A", RegistryStore::kText, "lost"));
    EXPECT_EQ(store.Read("K", "A")->bytes, "kept");
    sqlite3_exec(other, "ROLLBACK", nullptr, nullptr, nullptr);
    sqlite3_close(other);
    EXPECT_TRUE(store.Write("K", "A", RegistryStore::kText, "later"));
    EXPECT_EQ(store.Read("K", "A")->bytes, "later");
    EXPECT_TRUE(store.WriteNumber("K", "N", -5));
    EXPECT_EQ(store.Read("K", "N")->number, -5);
    store.Close();
    store.Close();
}

}  // namespace
