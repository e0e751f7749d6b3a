// What the engine does with listed files it cannot read and archives it cannot write: a code that
// says so, a message naming the file and the reason, and never a half-written archive or a
// temporary file left behind.
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <functional>
#include <thread>

#include "platform/zipengine/EngineState.h"
#include "tests/platform/zipengine/EngineTestSupport.h"

using namespace enginetest;

namespace {

TEST_F(EngineBadInput, UnreadableListedFilesAreSkippedAndTheRestArchived) {
    std::string good = write("d/gut.txt", "gut");
    std::string missing = path("d/fehlt.txt");
    std::string folder = path("d");
    std::string fifo = path("d/rohr");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    // Its size is 0, its content is not: archived, it would be an empty entry.
    std::string pseudo = "/proc/cpuinfo";
    std::string last = write("d/auch gut.txt", "auch gut");
    EngineCall call;
    call.root = path("d");
    call.names = {good, missing, folder, fifo, "", pseudo, last};

    // A grow checks the files while it reads the archive; the checks' messages still arrive.
    for (bool grow : {false, true}) {
        SCOPED_TRACE(grow ? "grow" : "new archive");
        call.grow = grow;
        EngineRun run = runEngine(archive_, call);
        EXPECT_EQ(run.result, ZP_ERR_FILE_READ);
        EXPECT_EQ(run.serviceNames(), (std::vector<std::string>{good, last}));
        std::string printed = run.printed();
        EXPECT_NE(printed.find(missing + ": Datei oder Ordner nicht gefunden"), std::string::npos)
            << printed;
        EXPECT_NE(printed.find(folder + ": ist ein Ordner"), std::string::npos) << printed;
        EXPECT_NE(printed.find(fifo + ": keine reguläre Datei"), std::string::npos) << printed;
        EXPECT_NE(printed.find(pseudo + ": Inhalt endet nicht bei der Dateigröße (Pseudodatei)"),
                  std::string::npos)
            << printed;

        Listing listing = readWithPython(archive_);
        ASSERT_TRUE(listing.ok) << listing.error;
        ASSERT_EQ(listing.entries.size(), 2u) << "a folder is not recursed into";
        EXPECT_EQ(listing.entries[0].name, "gut.txt");
        EXPECT_EQ(listing.entries[1].name, "auch gut.txt");
    }
}

TEST_F(EngineBadInput, FileVanishingBeforeItIsReadIsDroppedAndTheArchiveWrittenAgain) {
    zip32::threadState().tuning.wholeAtMost = 100000;
    zip32::threadState().tuning.blockSize = 64000;
    EngineCall call;
    call.root = path("d");
    call.names = {write("d/1.txt", text(20000)), write("d/2.txt", text(30000)),
                  write("d/3.txt", text(400000)), write("d/4.txt", text(40000))};
    for (const std::string& gone : {call.names[1], call.names[2]}) {
        std::string vanishing = gone;
        zip32::threadState().tuning.beforeWrite = [vanishing] { ::unlink(vanishing.c_str()); };
        EngineRun run = runEngine(archive_, call);
        EXPECT_EQ(run.result, ZP_ERR_FILE_READ);
        EXPECT_NE(run.printed().find(vanishing + ": Datei oder Ordner nicht gefunden"),
                  std::string::npos)
            << run.printed();
        std::vector<std::string> expected;
        for (const std::string& name : call.names) {
            if (name != vanishing) {
                expected.push_back(name);
            }
        }
        EXPECT_EQ(run.serviceNames(), expected) << "each file reported once, in list order";
        EXPECT_EQ(leftovers(), kOnlyTheArchive);
        Listing listing = readWithPython(archive_);
        ASSERT_TRUE(listing.ok) << listing.error;
        EXPECT_EQ(listing.entries.size(), 3u);
        EXPECT_EQ(listing.find(vanishing.substr(vanishing.rfind('/') + 1)), nullptr);
        call.names.erase(std::find(call.names.begin(), call.names.end(), vanishing));
        call.names.push_back(write("d/" + std::to_string(call.names.size() + 10) + ".txt", "x"));
    }
}

// A file that grows or shrinks once checked, before or while it is read, would go into the archive
// as neither its old nor its new self: it is reported and left out, the others are archived.
TEST_F(EngineBadInput, FileChangingSizeWhileItIsReadIsReportedAndLeftOut) {
    zip32::Tuning& tuning = zip32::threadState().tuning;
    tuning.wholeAtMost = 100000;
    tuning.blockSize = 50000;
    tuning.workers = 1;  // the blocks are read in order
    struct Change {
        const char* label;
        size_t file;  // of the three below
        std::function<void()> beforeWrite;
        std::function<void(const std::string&, uint64_t)> afterRead;
    };
    std::vector<std::string> names{path("d/klein.txt"), path("d/Postfach.mbox"),
                                   path("d/danach.txt")};
    const std::vector<Change> changes{
        {"a whole file grows after its check", 0, [&] { writeFile(names[0], text(40000)); },
         nullptr},
        {"a big file shrinks after its first block", 1, nullptr,
         [&](const std::string& file, uint64_t block) {
             if (file == names[1] && block == 0) {
                 ASSERT_EQ(::truncate(file.c_str(), 120000), 0);
             }
         }},
        {"a big file grows after its last block", 1, nullptr,
         [&](const std::string& file, uint64_t block) {
             if (file == names[1] && block == 5) {
                 writeFile(file, text(300000) + "noch eine Zeile\n");
             }
         }},
    };
    for (const Change& change : changes) {
        SCOPED_TRACE(change.label);
        write("d/klein.txt", text(30000));
        write("d/Postfach.mbox", text(300000));
        write("d/danach.txt", text(20000));
        tuning.beforeWrite = change.beforeWrite;
        tuning.afterRead = change.afterRead;
        EngineCall call;
        call.root = path("d");
        call.names = names;
        EngineRun run = runEngine(archive_, call);
        EXPECT_EQ(run.result, ZP_ERR_FILE_READ);
        const std::string& changed = names[change.file];
        EXPECT_NE(run.printed().find(changed + ": Datei hat sich beim Lesen geändert"),
                  std::string::npos)
            << run.printed();
        std::vector<std::string> kept = names;
        kept.erase(kept.begin() + static_cast<long>(change.file));
        EXPECT_EQ(run.serviceNames(), kept);
        Listing listing = readWithPython(archive_);
        ASSERT_TRUE(listing.ok) << listing.error;
        EXPECT_EQ(listing.entries.size(), 2u);
        EXPECT_EQ(listing.find(changed.substr(changed.rfind('/') + 1)), nullptr);
        EXPECT_EQ(leftovers(), kOnlyTheArchive);
    }
}

// Writes new bytes at three places of a file and gives it a modification time of its own for
// round: a rewrite in place that keeps the size, as a mail program or a database makes it.
void rewriteInPlace(const std::string& file, int round) {
    const int fd = ::open(file.c_str(), O_WRONLY);
    ASSERT_GE(fd, 0);
    struct stat info {};
    ASSERT_EQ(::fstat(fd, &info), 0);
    const std::string mark = "neu " + std::to_string(round);
    for (off_t at : {off_t{0}, info.st_size / 2, info.st_size - static_cast<off_t>(mark.size())}) {
        ASSERT_EQ(::pwrite(fd, mark.data(), mark.size(), at), static_cast<ssize_t>(mark.size()));
    }
    ::close(fd);
    setMtime(file, 1600000000 + round);
}

struct RewriteCase {
    const char* label;
    std::string content;
    uint64_t block;  // during whose reading the file is rewritten (0 for a file read whole)
    std::function<void(zip32::Tuning&)> tune;
};

// A file rewritten while it is read is never archived as a mix of old and new bytes: it is read
// once more, as it is then (a file in blocks, of which some may be written already, by a new
// pass over the archive), and left out when it changes again. The others are archived once each.
TEST_F(EngineBadInput, FileRewrittenInPlaceWhileItIsReadIsReadAgainOnceThenLeftOut) {
    const std::vector<RewriteCase> cases{
        {"read whole", text(30000), 0, nullptr},
        {"in blocks on several workers", text(300000), 2,
         [](zip32::Tuning& tuning) {
             tuning.wholeAtMost = 100000;
             tuning.blockSize = 50000;
             tuning.workers = 3;
         }},
        {"in blocks, stored", randomBytes(300000, 5), 4,
         [](zip32::Tuning& tuning) {
             tuning.wholeAtMost = 100000;
             tuning.blockSize = 50000;
             tuning.workers = 2;
         }},
    };
    // A case that fails stops itself only.
    const auto check = [&](const RewriteCase& rewrite, int changes) {
        zip32::Tuning& tuning = zip32::threadState().tuning;
        tuning = zip32::Tuning{};
        if (rewrite.tune) {
            rewrite.tune(tuning);
        }
        const std::string target = write("d/Postfach.mbox", rewrite.content);
        setMtime(target, 1500000000);
        EngineCall call;
        call.root = path("d");
        call.names = {write("d/davor.txt", text(20000)), target,
                      write("d/danach.txt", text(10000))};
        int readings = 0;
        int rewrites = 0;
        tuning.afterRead = [&](const std::string& file, uint64_t block) {
            readings += file == target && block == 0 ? 1 : 0;
            if (file == target && block == rewrite.block && rewrites < changes) {
                rewriteInPlace(target, ++rewrites);
            }
        };
        std::filesystem::remove(archive_);
        EngineRun run = runEngine(archive_, call);
        EXPECT_EQ(readings, 2);
        std::vector<std::string> archived = call.names;
        if (changes == 1) {
            EXPECT_EQ(run.result, ZP_OK) << run.printed();
        } else {
            EXPECT_EQ(run.result, ZP_ERR_FILE_READ);
            EXPECT_NE(run.printed().find(target + ": Datei hat sich beim Lesen geändert"),
                      std::string::npos)
                << run.printed();
            archived.erase(archived.begin() + 1);
        }
        EXPECT_EQ(run.serviceNames(), archived);
        std::filesystem::remove_all(path("x"));
        Listing listing = readWithPython(archive_, {}, path("x"));
        ASSERT_TRUE(listing.ok) << listing.error;
        ASSERT_EQ(listing.entries.size(), archived.size());
        for (const std::string& file : archived) {
            const std::string name = file.substr(file.rfind('/') + 1);
            EXPECT_TRUE(readFile(path("x/" + name)) == readFile(file)) << name;
        }
        EXPECT_EQ(leftovers(), kOnlyTheArchive);
    };
    for (const RewriteCase& rewrite : cases) {
        for (int changes : {1, 2}) {
            SCOPED_TRACE(std::string(rewrite.label) + (changes == 1 ? ", once" : ", twice"));
            check(rewrite, changes);
        }
    }
}

TEST_F(EngineBadInput, NoReadableFileLeavesNoArchive) {
    EngineCall call;
    call.names = {path("fehlt1"), path("fehlt2")};
    EngineRun run = runEngine(archive_, call);
    EXPECT_EQ(run.result, ZP_ERR_FILE_READ);
    EXPECT_EQ(leftovers(), kNothing);
}

TEST_F(EngineBadInput, ArchiveFolderThatIsMissingOrNoFolder) {
    EngineCall call;
    call.names = {write("a.txt", "a")};
    EngineRun missing = runEngine(path("nirgends/backup.zip"), call);
    EXPECT_EQ(missing.result, ZP_ERR_ARCHIVE_WRITE);
    EXPECT_NE(missing.printed().find("Datei oder Ordner nicht gefunden"), std::string::npos);
    EXPECT_FALSE(exists(path("nirgends")));

    // Under a regular file: refused even for root, who may write everywhere else.
    EngineRun underFile = runEngine(path("a.txt/backup.zip"), call);
    EXPECT_EQ(underFile.result, ZP_ERR_ARCHIVE_WRITE);
    EXPECT_NE(underFile.printed().find("ein Teil des Pfads ist kein Ordner"), std::string::npos);
    EXPECT_EQ(readFile(call.names[0]), "a");
}

TEST_F(EngineBadInput, ReadOnlyArchiveFolder) {
    if (geteuid() == 0) {
        GTEST_SKIP()
            << "root writes into read-only folders; see ArchiveFolderThatIsMissingOrNoFolder";
    }
    EngineCall call;
    call.names = {write("a.txt", "a")};
    ASSERT_EQ(chmod(path("out").c_str(), 0555), 0);
    EngineRun run = runEngine(archive_, call);
    chmod(path("out").c_str(), 0755);
    EXPECT_EQ(run.result, ZP_ERR_ARCHIVE_WRITE);
    EXPECT_NE(run.printed().find("keine Berechtigung"), std::string::npos);
    EXPECT_EQ(leftovers(), kNothing);
}

TEST_F(EngineBadInput, ExistingFileThatIsNoZipStaysUntouchedOnGrowAndUpdate) {
    std::string notZip = text(5000);
    writeFile(archive_, notZip);
    EngineCall call;
    call.names = {write("a.txt", "a")};
    for (bool grow : {true, false}) {
        call.grow = grow;
        call.update = !grow;
        EngineRun run = runEngine(archive_, call);
        EXPECT_EQ(run.result, ZP_ERR_ARCHIVE_DAMAGED);
        EXPECT_NE(run.printed().find(archive_), std::string::npos) << run.printed();
        EXPECT_TRUE(readFile(archive_) == notZip);
        EXPECT_EQ(leftovers(), kOnlyTheArchive);
    }
    // Without grow or update the archive is made anew.
    call.grow = call.update = false;
    ASSERT_EQ(runEngine(archive_, call).result, ZP_OK);
    EXPECT_TRUE(readWithPython(archive_).ok);

    // An empty file holds nothing to keep: growing it makes a new archive.
    writeFile(archive_, "");
    call.grow = true;
    ASSERT_EQ(runEngine(archive_, call).result, ZP_OK);
    EXPECT_EQ(readWithPython(archive_).entries.size(), 1u);
}

// A full disk while a file cut into blocks is being written: the workers on its blocks must let go.
TEST_F(EngineBadInput, WriteFailingDuringAFileCutIntoBlocksLeavesNothing) {
    zip32::threadState().tuning.wholeAtMost = 50000;
    zip32::threadState().tuning.blockSize = 64000;
    EngineCall call;
    call.quiet = true;
    call.names = {write("klein.txt", text(1000)), write("rauschen.bin", randomBytes(900000, 5)),
                  write("danach.txt", text(90000))};
    struct rlimit old {};
    getrlimit(RLIMIT_FSIZE, &old);
    auto oldHandler = signal(SIGXFSZ, SIG_IGN);
    struct rlimit limit = old;
    limit.rlim_cur = 200000;
    setrlimit(RLIMIT_FSIZE, &limit);
    EngineRun run = runEngine(archive_, call);
    setrlimit(RLIMIT_FSIZE, &old);
    signal(SIGXFSZ, oldHandler);
    EXPECT_EQ(run.result, ZP_ERR_ARCHIVE_WRITE);
    EXPECT_NE(run.printed().find("Datei zu groß"), std::string::npos) << run.printed();
    EXPECT_EQ(leftovers(), kNothing);
}

TEST_F(EngineBadInput, NothingToDo) {
    EngineCall call;
    EngineRun run = runEngine(archive_, call);
    EXPECT_EQ(run.result, ZP_ERR_NOTHING_TO_DO);
    EXPECT_EQ(leftovers(), kNothing);
}

TEST_F(EngineBadInput, EncryptionWithoutAPasswordWritesNothing) {
    EngineCall call;
    call.names = {write("a.txt", "a")};
    call.password = "";
    EngineRun run = runEngine(archive_, call);
    EXPECT_EQ(run.result, ZP_ERR_PARAMETER);
    EXPECT_EQ(run.passwordAsks, 1);
    EXPECT_EQ(leftovers(), kNothing);
}

TEST_F(EngineBadInput, StopAnsweredByTheServiceCallbackLeavesNoArchive) {
    EngineCall call;
    call.quiet = true;
    for (int i = 0; i < 6; ++i) {
        call.names.push_back(write("d/" + std::to_string(i), text(30000)));
    }
    call.stopAtService = 2;
    EngineRun run = runEngine(archive_, call);
    EXPECT_EQ(run.result, ZP_ERR_ARCHIVE_WRITE);
    EXPECT_EQ(run.services.size(), 2u);
    EXPECT_EQ(leftovers(), kNothing);
}

TEST_F(EngineBadInput, AFileListedTwiceIsArchivedOnceAndADifferentFileMayNotTakeItsName) {
    EngineCall call;
    call.root = path("d");
    std::string a = write("d/a.txt", "a");
    call.names = {a, a};
    EngineRun twice = runEngine(archive_, call);
    EXPECT_EQ(twice.result, ZP_OK);
    EXPECT_EQ(twice.services.size(), 1u);

    // Outside the root a file keeps its whole path; inside, a file may sit where that path
    // continues below the root, and would be stored under the same name.
    std::string outside = write("x.txt", "draußen");
    std::string inside = write("d" + outside, "drinnen");
    call.names = {a, outside, inside};
    EngineRun clashed = runEngine(archive_, call);
    EXPECT_EQ(clashed.result, ZP_ERR_FILE_READ);
    EXPECT_NE(clashed.printed().find(inside + ": "), std::string::npos) << clashed.printed();
    EXPECT_EQ(clashed.serviceNames(), (std::vector<std::string>{a, outside}));
}

TEST_F(EngineBadInput, EachThreadHasItsOwnEngineState) {
    EngineCall call;
    call.names = {write("a.txt", "a")};
    ASSERT_EQ(runEngine(archive_, call).result, ZP_OK);
    int32_t onNewThread = -1;
    std::thread([&] {
        char name[] = "a.txt";
        char* names[] = {name};
        onNewThread = ZpArchive(1, archive_.c_str(), names);
    }).join();
    EXPECT_EQ(onNewThread, ZP_ERR_PARAMETER) << "never initialised on that thread";
    EXPECT_EQ(ZpInit(nullptr), ZP_ERR_PARAMETER);
    EXPECT_EQ(ZpSetOptions(nullptr), ZP_ERR_PARAMETER);
}

// Doing less than asked while reporting success would be worse than not running: a caller asking
// to delete an entry must not get an archive rebuilt with only the named file.
TEST_F(EngineBadInput, OptionsTheEngineDoesNotImplementAreRefusedByName) {
    EngineCall call;
    call.names = {write("a.txt", "a")};
    ASSERT_EQ(runEngine(archive_, call).result, ZP_OK);
    const std::string before = readFile(archive_);
    call.grow = true;
    call.moreOptions = [](ZpOptions& options) {
        options.deleteEntries = 1;
        options.recurse = 2;
    };
    EngineRun run = runEngine(archive_, call);
    EXPECT_EQ(run.result, ZP_ERR_PARAMETER);
    EXPECT_NE(run.printed().find("Option nicht unterstützt: deleteEntries"), std::string::npos);
    EXPECT_NE(run.printed().find("Option nicht unterstützt: recurse"), std::string::npos);
    EXPECT_TRUE(run.services.empty());
    EXPECT_TRUE(readFile(archive_) == before);

    // Fields whose meaning the engine fulfils as it is are accepted.
    call.moreOptions = [](ZpOptions& options) {
        options.systemFiles = 1;
        options.noDirEntries = 1;
        options.encryptionSupported = 1;
    };
    EXPECT_EQ(runEngine(archive_, call).result, ZP_OK);
}

}  // namespace
