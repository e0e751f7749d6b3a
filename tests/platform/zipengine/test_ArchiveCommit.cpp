// Runs killed with SIGKILL at several points leave the archive's folder as it was: no partial
// archive, no temporary file (or, where a named one cannot be avoided, one that the next run in
// that folder removes), an existing archive byte for byte.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <ostream>

#include "platform/zipengine/ArchiveCommit.h"
#include "platform/zipengine/EngineState.h"
#include "tests/platform/zipengine/EngineTestSupport.h"

using namespace enginetest;

namespace {

struct KillCase {
    const char* label;
    const char* step;  // "writing" (a file handed over, more to come), or a commit step
    bool namedTemporary;
};

void PrintTo(const KillCase& kill, std::ostream* os) {
    *os << kill.label;
}

class EngineCrash : public EngineTest, public ::testing::WithParamInterface<KillCase> {
protected:
    void SetUp() override {
        EngineTest::SetUp();
        std::filesystem::create_directory(path("out"));
        archive_ = path("out/backup.zip");
        for (int i = 0; i < 4; ++i) {
            call_.names.push_back(write("d/" + std::to_string(i) + ".txt", text(300000 + i)));
        }
        call_.root = path("d");
    }
    void TearDown() override {
        zip32::threadState().tuning = zip32::Tuning{};
        EngineTest::TearDown();
    }

    // Runs the engine in a child that stops at step and is killed there; true when it got there.
    bool killedAt(const char* step, bool namedTemporary) {
        int ready[2];
        if (pipe(ready) != 0) {
            return false;
        }
        const pid_t child = fork();
        if (child == 0) {
            close(ready[0]);
            auto stop = [fd = ready[1]] {
                (void)!::write(fd, "x", 1);
                for (;;) {
                    pause();
                }
            };
            zip32::Tuning& tuning = zip32::threadState().tuning;
            tuning.namedTemporary = namedTemporary;
            tuning.checkpoint = [step, stop](const char* reached) {
                if (std::strcmp(step, reached) == 0) {
                    stop();
                }
            };
            EngineCall call = call_;
            call.quiet = true;
            call.atService = [step, stop](int count) {
                if (count == 2 && std::strcmp(step, "writing") == 0) {
                    stop();
                }
            };
            runEngine(archive_, call);
            _exit(0);
        }
        close(ready[1]);
        pollfd wait{ready[0], POLLIN, 0};
        char got = 0;
        const bool reached = poll(&wait, 1, 60000) == 1 && read(ready[0], &got, 1) == 1;
        close(ready[0]);
        kill(child, SIGKILL);
        int status = 0;
        waitpid(child, &status, 0);
        return reached;
    }

    std::vector<std::string> leftovers() const {
        std::vector<std::string> found;
        for (const std::string& name : filesIn(path("out"))) {
            if (zip32::isTemporaryName(name)) {
                found.push_back(name);
            }
        }
        return found;
    }

    // Any run in the folder removes what a dead run left.
    void expectTheNextRunCleansUp() {
        EngineCall other;
        other.names = {write("other.txt", "x")};
        ASSERT_EQ(runEngine(path("out/other.zip"), other).result, ZP_OK);
        EXPECT_TRUE(leftovers().empty());
        std::filesystem::remove(path("out/other.zip"));
    }

    std::string archive_;
    EngineCall call_;
};

TEST_P(EngineCrash, KilledNewArchiveLeavesNothing) {
    const KillCase& kill = GetParam();
    if (std::strcmp(kill.step, "replace") == 0) {
        // A new archive is put into place in one step, never renamed over another.
        EXPECT_FALSE(killedAt(kill.step, kill.namedTemporary));
        EXPECT_EQ(readWithPython(archive_).entries.size(), call_.names.size());
        EXPECT_EQ(filesIn(path("out")), std::vector<std::string>{"backup.zip"});
        return;
    }
    ASSERT_TRUE(killedAt(kill.step, kill.namedTemporary));
    EXPECT_FALSE(exists(archive_));
    if (kill.namedTemporary) {
        EXPECT_EQ(leftovers().size(), 1u);
        expectTheNextRunCleansUp();
    }
    EXPECT_TRUE(filesIn(path("out")).empty());
}

// Growing and recreating both replace the old archive; it stays byte for byte until the very
// end. Only a kill between naming the new archive and renaming it over the old one leaves the new
// one under a temporary name, for the next run to remove.
TEST_P(EngineCrash, KilledGrowOrRecreationKeepsTheOldArchive) {
    const KillCase& kill = GetParam();
    EngineCall first;
    first.root = path("d");
    first.names = {write("d/alt.txt", text(5000))};
    ASSERT_EQ(runEngine(archive_, first).result, ZP_OK);
    const std::string before = readFile(archive_);
    for (bool grow : {true, false}) {
        SCOPED_TRACE(grow ? "grow" : "recreate");
        call_.grow = grow;
        ASSERT_TRUE(killedAt(kill.step, kill.namedTemporary));
        EXPECT_TRUE(readFile(archive_) == before);
        const bool named = kill.namedTemporary || std::strcmp(kill.step, "replace") == 0;
        EXPECT_EQ(leftovers().size(), named ? 1u : 0u);
        expectTheNextRunCleansUp();
        EXPECT_EQ(filesIn(path("out")), std::vector<std::string>{"backup.zip"});
    }
}

INSTANTIATE_TEST_SUITE_P(Steps, EngineCrash,
                         ::testing::Values(KillCase{"writing", "writing", false},
                                           KillCase{"commit", "commit", false},
                                           KillCase{"replace", "replace", false},
                                           KillCase{"writingNamed", "writing", true},
                                           KillCase{"commitNamed", "commit", true},
                                           KillCase{"replaceNamed", "replace", true}),
                         [](const auto& info) { return std::string(info.param.label); });

// Only files of exactly the pattern, of this user, that no living run holds, are removed.
TEST(EngineLeftovers, OnlyUnlockedFilesOfThePatternAreRemoved) {
    char pattern[] = "/tmp/sondrel-leftovers-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    const std::string dir = pattern;
    for (const char* name :
         {".zip32-abc123.tmp", ".zip32-held12.tmp", ".zip32-abc12.tmp", ".zip32-abc1234.tmp",
          "zip32-abc123.tmp", ".zip32-abc123.tmp.zip", "backup.zip.abc123"}) {
        writeFile(dir + "/" + name, "x");
    }
    std::filesystem::create_directory(dir + "/.zip32-folder.tmp");
    const int held = open((dir + "/.zip32-held12.tmp").c_str(), O_RDONLY);
    ASSERT_EQ(flock(held, LOCK_EX), 0);

    zip32::removeLeftoverTemporaries(dir);
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(dir)) {
        names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{".zip32-abc12.tmp", ".zip32-abc123.tmp.zip",
                                               ".zip32-abc1234.tmp", ".zip32-folder.tmp",
                                               ".zip32-held12.tmp", "backup.zip.abc123",
                                               "zip32-abc123.tmp"}));
    close(held);
    std::filesystem::remove_all(dir);
}

}  // namespace
