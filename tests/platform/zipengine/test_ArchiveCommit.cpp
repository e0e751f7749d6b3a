// The crash-safe commit. Runs killed with SIGKILL at several points leave the archive's folder as
// it was: no partial archive, no temporary file (or, where a named one cannot be avoided, one that
// the next run in that folder removes), an existing archive byte for byte. A new archive never
// replaces one that appeared meanwhile, it is readable by its owner only, and the true names and
// comment go only over stand-ins that are where libzip wrote them.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
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

// A new archive is put into place by a link (or a rename) that never replaces: one that appears
// under its name meanwhile stays as it is, and the run says so.
TEST_F(EngineBadInput, ArchiveAppearingUnderItsNameMeanwhileIsNeverReplaced) {
    EngineCall call;
    call.names = {write("d/a.txt", "a")};
    for (bool named : {false, true}) {
        SCOPED_TRACE(named ? "named temporary" : "unnamed temporary");
        zip32::threadState().tuning.namedTemporary = named;
        zip32::threadState().tuning.checkpoint = [&](const char* step) {
            if (std::strcmp(step, "commit") == 0) {
                writeFile(archive_, "fremd");
            }
        };
        EngineRun run = runEngine(archive_, call);
        EXPECT_EQ(run.result, ZP_ERR_ARCHIVE_WRITE);
        EXPECT_NE(run.printed().find("existiert bereits"), std::string::npos) << run.printed();
        EXPECT_EQ(readFile(archive_), "fremd");
        EXPECT_EQ(leftovers(), kOnlyTheArchive);
        std::filesystem::remove(archive_);
    }
}

// An archive may hold files that only their owner may read, from the moment it has a name: made
// in a file without one (O_TMPFILE), or under a temporary name where the file system has none.
TEST_F(EngineArchive, ArchivesAreOwnerOnlyAndAGrownOneKeepsItsMode) {
    const mode_t umaskBefore = umask(022);
    std::filesystem::create_directory(path("out"));
    const std::string archive = path("out/privat.zip");
    for (bool named : {false, true}) {
        SCOPED_TRACE(named ? "named temporary" : "unnamed temporary");
        std::vector<std::string> namesAtCommit;
        std::vector<mode_t> temporaryModes;
        zip32::threadState().tuning.namedTemporary = named;
        zip32::threadState().tuning.checkpoint = [&](const char* step) {
            if (std::strcmp(step, "commit") != 0) {
                return;
            }
            for (const std::string& name : filesIn(path("out"))) {
                namesAtCommit.push_back(name);
                struct stat info {};
                if (zip32::isTemporaryName(name) && stat(path("out/" + name).c_str(), &info) == 0) {
                    temporaryModes.push_back(info.st_mode & 0777);
                }
            }
        };
        std::filesystem::remove(archive);
        EngineCall call;
        call.names = {write("geheim.txt", "geheim")};
        ASSERT_EQ(runEngine(archive, call).result, ZP_OK);
        struct stat info {};
        ASSERT_EQ(stat(archive.c_str(), &info), 0);
        EXPECT_EQ(info.st_mode & 0777, 0600u);
        EXPECT_EQ(temporaryModes, named ? std::vector<mode_t>{0600} : std::vector<mode_t>{});
        EXPECT_EQ(namesAtCommit.size(), named ? 1u : 0u) << "complete, and still nameless";

        ASSERT_EQ(chmod(archive.c_str(), 0640), 0);
        call.grow = true;
        ASSERT_EQ(runEngine(archive, call).result, ZP_OK);
        ASSERT_EQ(stat(archive.c_str(), &info), 0);
        EXPECT_EQ(info.st_mode & 0777, 0640u);
    }
    umask(umaskBefore);
}

class EngineCommit : public EngineBadInput {
protected:
    // Commits bytes as the archive with settings; the libzip error code, ZIP_ER_OK on success.
    int commitAs(const std::string& bytes, const zip32::WriteSettings& settings) {
        zip_error_t error;
        zip_error_init(&error);
        zip32::ArchiveCommit commit(archive_, settings);
        int fd = -1;
        if (commit.begin(&error) && pwrite(commit.fd(), bytes.data(), bytes.size(), 0) ==
                                        static_cast<ssize_t>(bytes.size())) {
            fd = commit.commit(bytes.size(), &error);
        }
        if (fd >= 0) {
            close(fd);
        }
        const int code = fd >= 0 ? ZIP_ER_OK : zip_error_code_zip(&error);
        zip_error_fini(&error);
        return code;
    }
};

// The true names and comment are written over libzip's stand-ins only where the archive is as
// libzip writes it: anything else fails the commit rather than being patched into an archive
// that no client reads, and leaves neither an archive nor a temporary file.
TEST_F(EngineCommit, StandInsAreReplacedOnlyWhereTheHeadersAgree) {
    EngineCall call;
    call.root = path("d");
    call.names = {write("d/ab.txt", "inhalt")};
    call.comment = "xyz";
    ASSERT_EQ(runEngine(archive_, call).result, ZP_OK);
    const std::string made = readFile(archive_);
    std::filesystem::remove(archive_);
    ASSERT_EQ(made.compare(0, 4, "PK\3\4"), 0);
    ASSERT_EQ(made.compare(30, 6, "ab.txt"), 0);

    struct Mismatch {
        const char* what;
        std::map<std::string, std::string> trueNames;
        std::string comment;
        std::function<void(std::string&)> damage;
    };
    const std::vector<Mismatch> mismatches{
        {"local name differs from the central record's",
         {{"ab.txt", "xy.txt"}},
         "xyz",
         [](std::string& bytes) { bytes[31] = 'X'; }},
        {"no local header where the record points",
         {{"ab.txt", "xy.txt"}},
         "xyz",
         [](std::string& bytes) { bytes[2] = 9; }},
        {"stand-in not in the archive", {{"zz.txt", "xy.txt"}}, "xyz", nullptr},
        {"true name of another length", {{"ab.txt", "xyz.txt"}}, "xyz", nullptr},
        {"comment of another length than the end record's", {}, "abcd", nullptr},
    };
    for (bool named : {false, true}) {
        SCOPED_TRACE(named ? "named temporary" : "unnamed temporary");
        zip32::WriteSettings settings;
        settings.namedTemporary = named;
        for (const Mismatch& mismatch : mismatches) {
            SCOPED_TRACE(mismatch.what);
            std::string bytes = made;
            if (mismatch.damage) {
                mismatch.damage(bytes);
            }
            settings.trueNames = mismatch.trueNames;
            settings.comment = mismatch.comment;
            EXPECT_EQ(commitAs(bytes, settings), ZIP_ER_INTERNAL);
            EXPECT_EQ(leftovers(), kNothing);
            std::filesystem::remove(archive_);
        }

        // The same archive as libzip wrote it takes them, and every client reads it so.
        settings.trueNames = {{"ab.txt", "xy.txt"}};
        settings.comment = std::string("q\x01z");
        ASSERT_EQ(commitAs(made, settings), ZIP_ER_OK);
        Listing listing = readWithPython(archive_, {}, path("x"));
        ASSERT_TRUE(listing.ok) << listing.error;
        EXPECT_EQ(listing.rawNames(), std::vector<std::string>{"xy.txt"});
        EXPECT_EQ(listing.commentHex, "71017a");
        EXPECT_EQ(readFile(path("x/xy.txt")), "inhalt");
        Command test = runCommand({"unzip", "-tq", archive_});
        EXPECT_EQ(test.status, 0) << test.output;
        EXPECT_EQ(leftovers(), kOnlyTheArchive);
        std::filesystem::remove(archive_);
    }
}

}  // namespace
