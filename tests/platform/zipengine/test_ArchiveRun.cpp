// Archives written by the engine, read back by unzip, zipinfo, 7-Zip and Python's zipfile.
#include <fcntl.h>
#include <linux/magic.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <unistd.h>
#include <zlib.h>

#include <chrono>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "platform/zipengine/ArchiveCheck.h"
#include "platform/zipengine/ArchiveCommit.h"
#include "platform/zipengine/EngineState.h"
#include "tests/platform/zipengine/EngineTestSupport.h"

using namespace enginetest;

namespace {

constexpr int kUtf8Flag = 0x800;
constexpr int kEncryptedFlag = 0x1;

class EngineArchive : public EngineTest {
protected:
    void TearDown() override {
        zip32::threadState().tuning = zip32::Tuning{};
        EngineTest::TearDown();
    }

    // Extracts with Python and compares every listed file with its entry, byte for byte.
    void expectContents(const std::string& archive,
                        const std::vector<std::pair<std::string, std::string>>& entryAndFile,
                        const std::optional<std::string>& password = {}) {
        std::string out = path("extracted");
        std::filesystem::remove_all(out);
        Listing listing = readWithPython(archive, password, out);
        ASSERT_TRUE(listing.ok) << listing.error;
        EXPECT_EQ(listing.entries.size(), entryAndFile.size());
        for (const auto& [entry, file] : entryAndFile) {
            ASSERT_TRUE(exists(out + "/" + entry)) << entry;
            EXPECT_TRUE(readFile(out + "/" + entry) == readFile(file)) << entry;
        }
    }

    // The same through unzip and 7-Zip, which extract every entry too.
    void expectInEveryClient(const std::string& archive,
                             const std::vector<std::pair<std::string, std::string>>& entryAndFile,
                             const std::optional<std::string>& password = {}) {
        expectContents(archive, entryAndFile, password);
        std::vector<std::string> unzip{"unzip", "-qq", "-o"};
        std::vector<std::string> seven{sevenZip(), "x", "-y", "-o" + path("by-7z")};
        if (password) {
            unzip.insert(unzip.end(), {"-P", *password});
            seven.push_back("-p" + *password);
        }
        unzip.insert(unzip.end(), {archive, "-d", path("by-unzip")});
        seven.push_back(archive);
        for (const auto& [folder, command] :
             {std::pair{path("by-unzip"), unzip}, {path("by-7z"), seven}}) {
            std::filesystem::remove_all(folder);
            Command extracted = runCommand(command);
            ASSERT_EQ(extracted.status, 0) << command[0] << ": " << extracted.output;
            for (const auto& [entry, file] : entryAndFile) {
                EXPECT_TRUE(readFile(folder + "/" + entry) == readFile(file))
                    << command[0] << ": " << entry;
            }
        }
    }

    // Big files in blocks of blockSize, all files above wholeAtMost.
    static void cutAbove(uint64_t wholeAtMost, uint64_t blockSize) {
        zip32::threadState().tuning.wholeAtMost = wholeAtMost;
        zip32::threadState().tuning.blockSize = blockSize;
    }
};

// The length of one zlib stream of the file at level 9, made in a single pass.
uint64_t oneStreamSize(const std::string& file) {
    Command made = runCommand({"python3", "-c",
                               "import sys, zlib\n"
                               "c = zlib.compressobj(9, zlib.DEFLATED, -15)\n"
                               "data = open(sys.argv[1], 'rb').read()\n"
                               "print(len(c.compress(data) + c.flush()))\n",
                               file});
    return made.status == 0 ? std::stoull(made.output) : 0;
}

// How many descriptors of this process still hold a replaced (deleted) file that was at path,
// once the engine's background closing has had up to five seconds.
int heldReplacedFiles(const std::string& path) {
    int held = 0;
    for (int attempt = 0; attempt < 100; ++attempt) {
        held = 0;
        for (const auto& fd : std::filesystem::directory_iterator("/proc/self/fd")) {
            std::error_code error;
            if (std::filesystem::read_symlink(fd.path(), error).string() == path + " (deleted)") {
                ++held;
            }
        }
        if (held == 0) {
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return held;
}

std::string hex(const std::string& bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (unsigned char byte : bytes) {
        out += digits[byte >> 4];
        out += digits[byte & 15];
    }
    return out;
}

// Whether any page of the file is in the page cache; nothing when the file system keeps its files
// there (tmpfs), where that says nothing.
std::optional<bool> anyPageCached(const std::string& path) {
    struct statfs fs {};
    if (statfs(path.c_str(), &fs) != 0 || fs.f_type == TMPFS_MAGIC) {
        return std::nullopt;
    }
    const int fd = open(path.c_str(), O_RDONLY);
    struct stat info {};
    fstat(fd, &info);
    const auto size = static_cast<size_t>(info.st_size);
    void* map = mmap(nullptr, size, PROT_READ, MAP_SHARED, fd, 0);
    std::vector<unsigned char> pages((size + 4095) / 4096);
    mincore(map, size, pages.data());
    munmap(map, size);
    close(fd);
    return std::any_of(pages.begin(), pages.end(), [](unsigned char p) { return (p & 1) != 0; });
}

// An archive made elsewhere (by Python's zipfile) with one entry.
void makeArchiveWith(const std::string& archive, const std::string& entry,
                     const std::string& content) {
    Command made = runCommand({"python3", "-c",
                               "import sys, zipfile\n"
                               "with zipfile.ZipFile(sys.argv[1], 'w') as z:\n"
                               "    z.writestr(sys.argv[2], sys.argv[3])\n",
                               archive, entry, content});
    ASSERT_EQ(made.status, 0) << made.output;
}

// What ZpVerify reported.
struct CheckLog {
    std::vector<std::pair<int32_t, int32_t>> progress;
    std::string entry;
    std::string reason;

    static void onProgress(void* self, int32_t done, int32_t total) {
        static_cast<CheckLog*>(self)->progress.emplace_back(done, total);
    }
    static void onProblem(void* self, const char* entry, const char* reason) {
        static_cast<CheckLog*>(self)->entry = entry;
        static_cast<CheckLog*>(self)->reason = reason;
    }
};

int32_t check(const std::string& archive, CheckLog& log) {
    log = CheckLog{};
    return ZpVerify(archive.c_str(), &CheckLog::onProgress, &CheckLog::onProblem, &log);
}

// The engine's own check of what this thread's runs wrote into archive finds nothing wrong.
void expectCheckPasses(const std::string& archive) {
    CheckLog log;
    EXPECT_EQ(check(archive, log), ZP_OK) << log.entry << ": " << log.reason;
}

// Where the local header ("PK\3\4") or the central record ("PK\1\2") of an entry begins.
size_t headerOf(const std::string& bytes, const std::string& name, bool central) {
    const std::string signature = central ? std::string("PK\1\2", 4) : std::string("PK\3\4", 4);
    const size_t nameAt = central ? 46 : 30;
    const size_t lengthAt = central ? 28 : 26;
    for (size_t at = bytes.find(signature); at != std::string::npos;
         at = bytes.find(signature, at + 4)) {
        const size_t length = static_cast<unsigned char>(bytes[at + lengthAt]) |
                              static_cast<unsigned char>(bytes[at + lengthAt + 1]) << 8;
        if (length == name.size() && bytes.compare(at + nameAt, length, name) == 0) {
            return at;
        }
    }
    ADD_FAILURE() << "no header for " << name;
    return 0;
}

uint32_t field32(const std::string& bytes, size_t at) {
    uint32_t value = 0;
    std::memcpy(&value, bytes.data() + at, 4);
    return value;
}

// Where an entry's stored bytes (the encryption header included) begin and end.
std::pair<size_t, size_t> dataOf(const std::string& bytes, const std::string& name) {
    const size_t local = headerOf(bytes, name, false);
    const size_t central = headerOf(bytes, name, true);
    const size_t begin = local + 30 + name.size() +
                         (static_cast<unsigned char>(bytes[local + 28]) |
                          static_cast<unsigned char>(bytes[local + 29]) << 8);
    return {begin, begin + field32(bytes, central + 20)};
}

// Each variant of archive with one bit of the given byte ranges flipped that the engine's check
// lets pass, kept as a file in folder; the archive is left as it was.
struct Sweep {
    size_t flips = 0;
    std::vector<std::string> passed;
};

Sweep flipEveryBit(const std::string& archive, const std::vector<std::pair<size_t, size_t>>& ranges,
                   const std::string& folder) {
    std::filesystem::create_directories(folder);
    const std::string intact = readFile(archive);
    // Written in place: a file truncated and written anew costs a flush on each check.
    const int fd = open(archive.c_str(), O_WRONLY);
    Sweep sweep;
    for (const auto& [begin, end] : ranges) {
        for (size_t at = begin; at < end; ++at) {
            for (int bit = 0; bit < 8; ++bit) {
                const char flipped = static_cast<char>(intact[at] ^ (1 << bit));
                EXPECT_EQ(pwrite(fd, &flipped, 1, static_cast<off_t>(at)), 1);
                ++sweep.flips;
                if (ZpVerify(archive.c_str(), nullptr, nullptr, nullptr) == ZP_OK) {
                    std::string bytes = intact;
                    bytes[at] = flipped;
                    sweep.passed.push_back(folder + "/" + std::to_string(at) + "." +
                                           std::to_string(bit) + ".zip");
                    writeFile(sweep.passed.back(), bytes);
                }
                EXPECT_EQ(pwrite(fd, &intact[at], 1, static_cast<off_t>(at)), 1);
            }
        }
    }
    close(fd);
    return sweep;
}

// unzip -t, 7z t and Python's zipfile on each archive: "archive<TAB>client: what it said" for
// every client that does not read one.
std::vector<std::string> clientFailures(const std::vector<std::string>& archives,
                                        const std::string& password) {
    std::vector<std::string> argv{"python3", ENGINE_ZIPCHECK_PY, "--clients", "--password",
                                  password};
    argv.insert(argv.end(), archives.begin(), archives.end());
    Command run = runCommand(argv);
    EXPECT_EQ(run.status, 0) << run.output;
    std::vector<std::string> failures;
    std::istringstream lines(run.output);
    for (std::string line; std::getline(lines, line);) {
        if (line.rfind("fails\t", 0) == 0) {
            failures.push_back(line.substr(6));
        }
    }
    return failures;
}

// Every client fails on control (the runner does report failures); the others it read.
void expectOnlyControlFails(const std::vector<std::string>& passed, const std::string& control,
                            const std::string& password) {
    std::vector<std::string> archives = passed;
    archives.push_back(control);
    int controlFailures = 0;
    for (const std::string& failure : clientFailures(archives, password)) {
        if (failure.rfind(control + "\t", 0) == 0) {
            ++controlFailures;
        } else {
            ADD_FAILURE() << "the check passed what a client refuses: " << failure;
        }
    }
    EXPECT_EQ(controlFailures, 3);
}

struct TuningCase {
    const char* label;
    uint64_t wholeAtMost;
    uint64_t blockSize;
    uint64_t window;
    unsigned workers;
};

class EngineTunings : public EngineArchive, public ::testing::WithParamInterface<TuningCase> {};

// Text, random bytes, an empty file and two files that may be cut into blocks (one of them
// incompressible), under names with umlauts and blanks. A source that let libzip deflate its
// already deflated data again would fail here, when the contents are compared.
TEST_P(EngineTunings, ContentsComeBackByteForByteInEveryClient) {
    const TuningCase& tuning = GetParam();
    zip32::threadState().tuning.wholeAtMost = tuning.wholeAtMost;
    zip32::threadState().tuning.blockSize = tuning.blockSize;
    zip32::threadState().tuning.window = tuning.window;
    zip32::threadState().tuning.workers = tuning.workers;

    std::vector<std::pair<std::string, std::string>> files{
        {"Briefe/Brief an Jürgen.txt", text(200000)},
        {"zufall.bin", randomBytes(100000, 1)},
        {"leer", ""},
        {"groß/viel Text.log", text(700000)},
        {"groß/rauschen.bin", randomBytes(600000, 2)},
        {"ein Byte", "x"},
    };
    EngineCall call;
    std::vector<std::pair<std::string, std::string>> expected;
    for (const auto& [name, content] : files) {
        call.names.push_back(write("data/" + name, content));
        expected.emplace_back(name, call.names.back());
    }
    call.root = path("data");
    std::string archive = path("out/a.zip");
    std::filesystem::create_directory(path("out"));

    EngineRun run = runEngine(archive, call);
    ASSERT_EQ(run.result, ZP_OK) << run.printed();
    EXPECT_EQ(run.serviceNames(), call.names);
    ASSERT_EQ(run.services.size(), files.size());
    for (size_t i = 0; i < files.size(); ++i) {
        EXPECT_EQ(run.services[i].second, static_cast<int32_t>(files[i].second.size()));
    }
    EXPECT_EQ(run.prints.size(), files.size());
    EXPECT_EQ(filesIn(path("out")), std::vector<std::string>{"a.zip"});

    expectContents(archive, expected);
    Listing listing = readWithPython(archive);
    struct stat info {};
    stat(call.names[0].c_str(), &info);
    const Entry* letter = listing.find("Briefe/Brief an Jürgen.txt");
    const Entry* log = listing.find("groß/viel Text.log");
    const Entry* random = listing.find("zufall.bin");
    const Entry* empty = listing.find("leer");
    ASSERT_NE(letter, nullptr);
    ASSERT_NE(log, nullptr);
    ASSERT_NE(random, nullptr);
    ASSERT_NE(empty, nullptr);
    EXPECT_EQ(letter->flags & kUtf8Flag, kUtf8Flag);
    EXPECT_EQ(letter->extendedTime, info.st_mtim.tv_sec);
    EXPECT_EQ(letter->method, 8);
    EXPECT_EQ(log->method, 8);
    EXPECT_EQ(random->method, 0) << "deflate did not shrink it: stored";
    EXPECT_EQ(empty->method, 0);
    EXPECT_EQ(random->flags & kUtf8Flag, 0);

    Command test = runCommand({"unzip", "-t", archive});
    EXPECT_EQ(test.status, 0) << test.output;
    Command seven = runCommand({sevenZip(), "t", archive});
    EXPECT_EQ(seven.status, 0) << seven.output;
}

INSTANTIATE_TEST_SUITE_P(Pipelines, EngineTunings,
                         ::testing::Values(TuningCase{"ordinary", 32u << 20, 1u << 20, 96u << 20,
                                                      0},
                                           TuningCase{"blocks", 300000, 65536, 96u << 20, 2},
                                           TuningCase{"narrow", 300000, 100000, 1, 3},
                                           TuningCase{"oneWorker", 250000, 50000, 200000, 1}),
                         [](const auto& info) { return std::string(info.param.label); });

// Photos and clips, as deflate cannot shrink them, are stored and take no more room than their
// files (the encryption header aside); a small file that deflate did not shrink is stored too.
TEST_F(EngineArchive, IncompressibleFilesAreStoredAndNoLargerThanTheirFiles) {
    cutAbove(1u << 20, 256u << 10);
    EngineCall call;
    call.root = path("d");
    call.names = {write("d/foto.jpg", randomBytes(300000, 11)),
                  write("d/film.mp4", randomBytes(1300000, 12)),
                  write("d/klein.bin", randomBytes(20000, 13)), write("d/brief.txt", text(300000))};
    const std::vector<std::pair<std::string, std::string>> expected{{"foto.jpg", call.names[0]},
                                                                    {"film.mp4", call.names[1]},
                                                                    {"klein.bin", call.names[2]},
                                                                    {"brief.txt", call.names[3]}};
    for (const std::optional<std::string>& password :
         {std::optional<std::string>(), std::optional<std::string>("Geheimnis 42")}) {
        SCOPED_TRACE(password ? "encrypted" : "plain");
        call.password = password;
        const std::string archive = path(password ? "enc.zip" : "plain.zip");
        EngineRun run = runEngine(archive, call);
        ASSERT_EQ(run.result, ZP_OK) << run.printed();
        Listing listing = readWithPython(archive, password);
        ASSERT_TRUE(listing.ok) << listing.error;
        const uint64_t header = password ? 12 : 0;
        for (const char* name : {"foto.jpg", "film.mp4", "klein.bin"}) {
            const Entry* entry = listing.find(name);
            ASSERT_NE(entry, nullptr) << name;
            EXPECT_EQ(entry->method, 0) << name;
            EXPECT_EQ(entry->compressedSize, entry->size + header) << name;
        }
        const Entry* letter = listing.find("brief.txt");
        ASSERT_NE(letter, nullptr);
        EXPECT_EQ(letter->method, 8);
        expectInEveryClient(archive, expected, password);
        expectCheckPasses(archive);
    }
}

// A big file's blocks make one deflate stream that every client and the engine's check read,
// encrypted too, after a grow has added a second one and after an update has replaced the first,
// and that is hardly larger than a stream made in one pass.
TEST_F(EngineArchive, FileCutIntoBlocksReadsBackInEveryClientEncryptedGrownAndUpdated) {
    cutAbove(100000, 100000);
    zip32::threadState().tuning.workers = 3;
    EngineCall call;
    call.root = path("d");
    call.quiet = true;
    // Text around a stretch that deflate can only store.
    const std::string first =
        write("d/Postfach.mbox", text(450000) + randomBytes(150000, 21) + text(600001));
    const std::string small = write("d/klein.txt", text(5000));
    const std::string second = write("d/zweites Postfach", text(777777));

    call.names = {first, small};
    const std::string archive = path("plain.zip");
    ASSERT_EQ(runEngine(archive, call).result, ZP_OK);
    expectInEveryClient(archive, {{"Postfach.mbox", first}, {"klein.txt", small}});
    expectCheckPasses(archive);
    Listing listing = readWithPython(archive);
    ASSERT_NE(listing.find("Postfach.mbox"), nullptr);
    EXPECT_EQ(listing.find("Postfach.mbox")->method, 8);
    const uint64_t oneStream = oneStreamSize(first);
    ASSERT_GT(oneStream, 0u);
    EXPECT_LE(listing.find("Postfach.mbox")->compressedSize * 1000, oneStream * 1005)
        << "one stream: " << oneStream;

    call.password = "Geheimnis 42";
    const std::string encrypted = path("enc.zip");
    ASSERT_EQ(runEngine(encrypted, call).result, ZP_OK);
    expectInEveryClient(encrypted, {{"Postfach.mbox", first}, {"klein.txt", small}}, call.password);
    expectCheckPasses(encrypted);
    call.grow = true;
    call.names = {second};
    EngineRun grown = runEngine(encrypted, call);
    ASSERT_EQ(grown.result, ZP_OK) << grown.printed();
    EXPECT_EQ(grown.services.size(), 1u);
    expectInEveryClient(
        encrypted, {{"Postfach.mbox", first}, {"klein.txt", small}, {"zweites Postfach", second}},
        call.password);
    expectCheckPasses(encrypted);

    writeFile(first, text(300000) + randomBytes(300000, 22) + text(500000));
    setMtime(first, std::time(nullptr) + 60);
    call.grow = false;
    call.update = true;
    call.names = {first, small};
    EngineRun updated = runEngine(encrypted, call);
    ASSERT_EQ(updated.result, ZP_OK) << updated.printed();
    EXPECT_EQ(updated.serviceNames(), std::vector<std::string>{first});
    expectInEveryClient(
        encrypted, {{"klein.txt", small}, {"zweites Postfach", second}, {"Postfach.mbox", first}},
        call.password);
    expectCheckPasses(encrypted);
}

// Blocks end where the file does: one byte past a block makes a last block of one byte, and a
// file of whole blocks makes no empty block behind them; deflated and stored alike.
TEST_F(EngineArchive, BlockBoundaries) {
    const uint64_t block = 65536;
    cutAbove(block, block);
    EngineCall call;
    call.root = path("d");
    call.names = {write("d/ein Block und ein Byte", text(block + 1)),
                  write("d/zwei Blöcke", text(2 * block)),
                  write("d/zwei Blöcke und ein Byte", text(2 * block + 1)),
                  write("d/ein Block", text(block)),
                  write("d/Rauschen, ein Block und ein Byte", randomBytes(block + 1, 31)),
                  write("d/Rauschen, zwei Blöcke", randomBytes(2 * block, 32))};
    std::vector<std::pair<std::string, std::string>> expected;
    for (const std::string& name : call.names) {
        expected.emplace_back(name.substr(name.rfind('/') + 1), name);
    }
    const std::string archive = path("b.zip");
    EngineRun run = runEngine(archive, call);
    ASSERT_EQ(run.result, ZP_OK) << run.printed();
    expectInEveryClient(archive, expected);
    expectCheckPasses(archive);
    Listing listing = readWithPython(archive);
    const Entry* deflated = listing.find("zwei Blöcke");
    const Entry* noise = listing.find("Rauschen, zwei Blöcke");
    ASSERT_NE(deflated, nullptr);
    ASSERT_NE(noise, nullptr);
    EXPECT_EQ(deflated->method, 8);
    EXPECT_EQ(noise->method, 0);
}

// Samples that compress let deflate start on a file whose first blocks do not shrink. Until its
// blocks show that deflate will end below the file's size, none is written; when the room ahead
// fills first, the file is stored instead, never deflated larger than it is.
TEST_F(EngineArchive, FileThatDeflateCannotProveToShrinkIsStored) {
    cutAbove(100000, 16384);
    zip32::threadState().tuning.workers = 2;
    std::string content = randomBytes(600000, 41);
    const std::string middle = text(65536);
    content.replace(300000 - 32768, middle.size(), middle);
    content.replace(600000 - 65536, middle.size(), middle);
    EngineCall call;
    call.root = path("d");
    call.names = {write("d/gemischt.bin", content)};

    ASSERT_EQ(runEngine(path("weit.zip"), call).result, ZP_OK);
    const Listing wide = readWithPython(path("weit.zip"));
    ASSERT_NE(wide.find("gemischt.bin"), nullptr);
    EXPECT_EQ(wide.find("gemischt.bin")->method, 8)
        << "with room ahead, deflate shows that it gains";

    zip32::threadState().tuning.window = 1;
    const std::string archive = path("eng.zip");
    EngineRun run = runEngine(archive, call);
    ASSERT_EQ(run.result, ZP_OK) << run.printed();
    Listing listing = readWithPython(archive);
    ASSERT_NE(listing.find("gemischt.bin"), nullptr);
    EXPECT_EQ(listing.find("gemischt.bin")->method, 0);
    EXPECT_EQ(listing.find("gemischt.bin")->compressedSize, content.size());
    expectInEveryClient(archive, {{"gemischt.bin", call.names[0]}});
    expectCheckPasses(archive);
}

TEST_F(EngineArchive, ServiceOrderIsListOrderWithManyFilesAndWorkers) {
    zip32::threadState().tuning.workers = 4;
    zip32::threadState().tuning.window = 64000;
    zip32::threadState().tuning.wholeAtMost = 50000;
    zip32::threadState().tuning.blockSize = 20000;
    EngineCall call;
    call.quiet = true;
    for (int i = 0; i < 150; ++i) {
        // Sizes in a scrambled order, so that later files often finish first.
        size_t size = static_cast<size_t>((i * 7919) % 90000);
        call.names.push_back(
            write("many/f" + std::to_string(i), i % 3 ? text(size) : randomBytes(size, i)));
    }
    EngineRun run = runEngine(path("many.zip"), call);
    ASSERT_EQ(run.result, ZP_OK) << run.printed();
    EXPECT_EQ(run.serviceNames(), call.names);
    EXPECT_TRUE(run.prints.empty()) << "quiet prints no file lines";
    Command test = runCommand({"unzip", "-tqq", path("many.zip")});
    EXPECT_EQ(test.status, 0) << test.output;
}

TEST_F(EngineArchive, LevelZeroStoresEveryEntry) {
    zip32::threadState().tuning.wholeAtMost = 100000;
    zip32::threadState().tuning.blockSize = 64000;
    EngineCall call;
    call.level = '0';
    call.root = path("d");
    call.names = {write("d/t.txt", text(50000)), write("d/big.txt", text(250000))};
    std::string archive = path("stored.zip");
    ASSERT_EQ(runEngine(archive, call).result, ZP_OK);
    Listing listing = readWithPython(archive);
    ASSERT_TRUE(listing.ok) << listing.error;
    for (const Entry& entry : listing.entries) {
        EXPECT_EQ(entry.method, 0) << entry.name;
    }
    expectContents(archive, {{"t.txt", call.names[0]}, {"big.txt", call.names[1]}});
}

TEST_F(EngineArchive, PasswordEncryptsEveryEntryTraditionally) {
    zip32::threadState().tuning.wholeAtMost = 100000;
    zip32::threadState().tuning.blockSize = 64000;
    EngineCall call;
    call.root = path("d");
    call.password = "Geheimnis 42";
    call.names = {write("d/brief.txt", text(80000)), write("d/bild.raw", randomBytes(30000, 3)),
                  write("d/lang.txt", text(300000))};
    std::string archive = path("enc.zip");
    EngineRun run = runEngine(archive, call);
    ASSERT_EQ(run.result, ZP_OK) << run.printed();
    EXPECT_EQ(run.passwordAsks, 1);
    EXPECT_EQ(run.encryptionSupported, 1);

    Listing listing = readWithPython(archive, call.password);
    ASSERT_TRUE(listing.ok) << listing.error;
    for (const Entry& entry : listing.entries) {
        EXPECT_EQ(entry.flags & kEncryptedFlag, kEncryptedFlag) << entry.name;
    }
    expectContents(
        archive,
        {{"brief.txt", call.names[0]}, {"bild.raw", call.names[1]}, {"lang.txt", call.names[2]}},
        call.password);
    Command right = runCommand({"unzip", "-t", "-P", *call.password, archive});
    EXPECT_EQ(right.status, 0) << right.output;
    Command wrong = runCommand({"unzip", "-t", "-P", "falsch", archive});
    EXPECT_NE(wrong.status, 0) << wrong.output;
    Command seven = runCommand({sevenZip(), "t", "-p" + *call.password, archive});
    EXPECT_EQ(seven.status, 0) << seven.output;
    EXPECT_FALSE(readWithPython(archive, std::string("falsch")).ok);
}

TEST_F(EngineArchive, CommentIsAskedOnlyWhenItsFlagIsSet) {
    EngineCall call;
    call.names = {write("a.txt", "a")};
    call.comment = "tägliches Backup von heute";
    EngineRun with = runEngine(path("c.zip"), call);
    ASSERT_EQ(with.result, ZP_OK);
    EXPECT_EQ(with.commentAsks, 1);
    Command info = runCommand({"zipinfo", "-z", path("c.zip")});
    EXPECT_NE(info.output.find("tägliches Backup von heute"), std::string::npos) << info.output;

    call.comment.reset();
    EngineRun without = runEngine(path("n.zip"), call);
    ASSERT_EQ(without.result, ZP_OK);
    EXPECT_EQ(without.commentAsks, 0);
    EXPECT_EQ(readWithPython(path("n.zip")).comment, "");
}

// The kept part is large enough to be flushed to the disk while the grow still writes.
TEST_F(EngineArchive, GrowAddsToTheArchiveAndWithoutItTheArchiveIsNew) {
    EngineCall call;
    call.root = path("d");
    std::string a = write("d/a.txt", "erste");
    std::string b = write("d/b.txt", "zweite");
    std::string big = write("d/gross.bin", randomBytes(6 << 20, 5));
    call.names = {a, big, b};
    std::string archive = path("g.zip");
    ASSERT_EQ(runEngine(archive, call).result, ZP_OK);

    writeFile(b, "zweite, geändert");
    std::string c = write("d/c.txt", "dritte");
    call.grow = true;
    call.names = {c, b};
    EngineRun grown = runEngine(archive, call);
    ASSERT_EQ(grown.result, ZP_OK) << grown.printed();
    EXPECT_EQ(grown.serviceNames(), (std::vector<std::string>{c, b}));
    expectContents(archive, {{"a.txt", a}, {"gross.bin", big}, {"b.txt", b}, {"c.txt", c}});
    // The replaced archive is let go, or its space stays taken while the program runs.
    EXPECT_EQ(heldReplacedFiles(archive), 0);

    call.grow = false;
    call.names = {c};
    ASSERT_EQ(runEngine(archive, call).result, ZP_OK);
    expectContents(archive, {{"c.txt", c}});
}

// A name that is not UTF-8 (legal on Linux) is found again: a grow replaces its entry instead of
// adding a second one, and the check finds what was written.
TEST_F(EngineArchive, NamesThatAreNotUtf8AreFoundAgainByGrowAndCheck) {
    EngineCall call;
    call.root = path("d");
    const std::string name =
        "Gr\xfc\xdf"
        "e.txt";
    const std::string file = write("d/" + name, "alt");
    call.names = {file};
    const std::string archive = path("n.zip");
    ASSERT_EQ(runEngine(archive, call).result, ZP_OK);
    writeFile(file, "neuer Inhalt");
    call.grow = true;
    ASSERT_EQ(runEngine(archive, call).result, ZP_OK);
    CheckLog log;
    EXPECT_EQ(check(archive, log), ZP_OK) << log.entry << ": " << log.reason;
    const Command listed = runCommand({"unzip", "-Z1", archive});
    EXPECT_EQ(listed.output, name + "\n");
    EXPECT_EQ(runCommand({"unzip", "-p", archive}).output, "neuer Inhalt");
}

// libzip compares names in their UTF-8 form and takes one that is not UTF-8 for CP437, where
// "\x84" is "ä": two files whose names differ in their bytes both go in, byte for byte, whichever
// comes first and whether the other is in the archive already, and a grow replaces each of them.
TEST_F(EngineArchive, NamesThatReadAlikeInCp437AreTwoEntriesByteForByte) {
    const std::string cp437 = "\x84rger.txt";
    const std::string utf8 = "\xc3\xa4rger.txt";
    const std::string a = write("d/" + cp437, "alt, CP437");
    const std::string b = write("d/" + utf8, "alt, UTF-8");
    const std::string archive = path("n.zip");
    const auto expectBoth = [&](const std::string& step) {
        SCOPED_TRACE(step);
        Listing listing = readWithPython(archive);
        ASSERT_TRUE(listing.ok) << listing.error;
        std::vector<std::string> names = listing.rawNames();
        std::sort(names.begin(), names.end());
        EXPECT_EQ(names, (std::vector<std::string>{cp437, utf8}));
        std::filesystem::remove_all(path("by-unzip"));
        Command unzip = runCommand({"unzip", "-qq", archive, "-d", path("by-unzip")});
        ASSERT_EQ(unzip.status, 0) << unzip.output;
        EXPECT_EQ(readFile(path("by-unzip/" + cp437)), readFile(a));
        EXPECT_EQ(readFile(path("by-unzip/" + utf8)), readFile(b));
        Command seven = runCommand({sevenZip(), "t", archive});
        EXPECT_EQ(seven.status, 0) << seven.output;
    };
    EngineCall call;
    call.root = path("d");
    for (const auto& first : {std::vector<std::string>{a, b}, {b, a}, {a}, {b}}) {
        call.grow = false;
        call.names = first;
        ASSERT_EQ(runEngine(archive, call).result, ZP_OK);
        call.grow = true;
        call.names = {a, b};
        EngineRun grown = runEngine(archive, call);
        ASSERT_EQ(grown.result, ZP_OK) << grown.printed();
        EXPECT_EQ(grown.serviceNames(), call.names);
        expectBoth(first.size() == 2 ? "both at once" : "one grown to the other");
    }
    writeFile(a, "neu, CP437");
    call.names = {a};
    ASSERT_EQ(runEngine(archive, call).result, ZP_OK);
    writeFile(b, "neu, UTF-8!");
    call.names = {b};
    ASSERT_EQ(runEngine(archive, call).result, ZP_OK);
    expectBoth("each replaced by a grow");
}

// A grow keeps the old entries' bytes as they were (they are not read and written again) and
// writes the new ones, the new comment and a directory of all behind them; the old entries of
// an encrypted archive, with their data descriptors, still open with the password.
TEST_F(EngineArchive, GrowKeepsTheOldEntriesByteForByteAndReplacesTheComment) {
    EngineCall call;
    call.root = path("d");
    call.password = "Geheimnis 42";
    call.comment = "erster Lauf";
    std::string first = write("d/erste.txt", text(50000));
    std::string second = write("d/zweite.bin", randomBytes(20000, 4));
    call.names = {first, second};
    std::string archive = path("g.zip");
    ASSERT_EQ(runEngine(archive, call).result, ZP_OK);
    const std::string before = readFile(archive);
    Listing old = readWithPython(archive, call.password);
    ASSERT_TRUE(old.ok) << old.error;

    std::string third = write("d/dritte.txt", text(70000));
    call.grow = true;
    call.comment = "zweiter Lauf";
    call.names = {third};
    EngineRun grown = runEngine(archive, call);
    ASSERT_EQ(grown.result, ZP_OK) << grown.printed();

    // The old data ends where its central directory began.
    const std::string after = readFile(archive);
    const size_t end = before.size() - 22 - std::string("erster Lauf").size();
    ASSERT_EQ(before.compare(end, 4, "PK\x05\x06"), 0);
    uint32_t directory = 0;
    std::memcpy(&directory, before.data() + end + 16, 4);
    ASSERT_GT(after.size(), directory);
    EXPECT_TRUE(after.compare(0, directory, before, 0, directory) == 0);

    EXPECT_EQ(readWithPython(archive, call.password).comment, "zweiter Lauf");
    expectContents(archive, {{"erste.txt", first}, {"zweite.bin", second}, {"dritte.txt", third}},
                   call.password);
    Command test = runCommand({"unzip", "-t", "-P", *call.password, archive});
    EXPECT_EQ(test.status, 0) << test.output;
}

TEST_F(EngineArchive, UpdateReplacesOnlyEntriesOlderThanTheirFiles) {
    const int64_t then = 1600000000;
    EngineCall call;
    call.root = path("d");
    std::string a = write("d/a.txt", "a alt");
    std::string b = write("d/b.txt", "b alt");
    setMtime(a, then);
    setMtime(b, then);
    call.names = {a, b};
    std::string archive = path("u.zip");
    ASSERT_EQ(runEngine(archive, call).result, ZP_OK);
    std::string oldA = path("a-alt");
    writeFile(oldA, "a alt");

    writeFile(a, "a neu, gleiche Zeit");  // same time: its entry counts as current
    setMtime(a, then);
    writeFile(b, "b neu");
    setMtime(b, then + 1);
    std::string c = write("d/c.txt", "c neu");
    call.update = true;
    call.verbose = true;
    call.names = {a, b, c};
    EngineRun run = runEngine(archive, call);
    ASSERT_EQ(run.result, ZP_OK) << run.printed();
    EXPECT_EQ(run.serviceNames(), (std::vector<std::string>{b, c}));
    EXPECT_NE(run.printed().find("unverändert: a.txt"), std::string::npos) << run.printed();
    expectContents(archive, {{"a.txt", oldA}, {"b.txt", b}, {"c.txt", c}});
}

// Without the extended field only the DOS time (even seconds, local time) is there to compare.
TEST_F(EngineArchive, UpdateAgainstDosTimesAllowsTwoSeconds) {
    const int64_t then = 1600000000;  // even
    std::string archive = path("dos.zip");
    Command made = runCommand(
        {"python3", "-c",
         "import sys, time, zipfile\n"
         "z = zipfile.ZipFile(sys.argv[1], 'w')\n"
         "for n in ('x.txt', 'y.txt'):\n"
         "    z.writestr(zipfile.ZipInfo(n, time.localtime(int(sys.argv[2]))[:6]), 'alt')\n"
         "z.close()\n",
         archive, std::to_string(then)});
    ASSERT_EQ(made.status, 0) << made.output;
    EngineCall call;
    call.root = path("d");
    call.update = true;
    std::string x = write("d/x.txt", "x neu");
    std::string y = write("d/y.txt", "y neu");
    setMtime(x, then + 1);
    setMtime(y, then + 2);
    call.names = {x, y};
    EngineRun run = runEngine(archive, call);
    ASSERT_EQ(run.result, ZP_OK) << run.printed();
    EXPECT_EQ(run.serviceNames(), std::vector<std::string>{y});
    std::string oldX = write("x-alt", "alt");
    expectContents(archive, {{"x.txt", oldX}, {"y.txt", y}});
}

TEST_F(EngineArchive, DosNamesAreStoredInEightDotThree) {
    EngineCall call;
    call.root = path("d");
    call.dosNames = true;
    call.names = {write("d/Briefe/Langer Dateiname 1.text", "eins"),
                  write("d/Briefe/Langer Dateiname 2.text", "zwei"), write("d/kurz.txt", "drei")};
    std::string archive = path("dos.zip");
    ASSERT_EQ(runEngine(archive, call).result, ZP_OK);
    expectContents(archive, {{"BRIEFE/LANGER_D.TEX", call.names[0]},
                             {"BRIEFE/LANGER~1.TEX", call.names[1]},
                             {"KURZ.TXT", call.names[2]}});
    Listing listing = readWithPython(archive);
    ASSERT_NE(listing.find("KURZ.TXT"), nullptr);
    EXPECT_EQ(listing.find("KURZ.TXT")->createSystem, 0) << "made by DOS";
    expectCheckPasses(archive);
}

// More than 65,535 entries need the ZIP64 end records; here they are reached by growing an
// archive that already holds 65,535 entries. (Entries above 4 GiB are exercised in the
// benchmark, which has the time and the disk for them.)
TEST_F(EngineArchive, GrowBeyond65535EntriesWritesZip64) {
    std::string archive = path("many.zip");
    Command made = runCommand({"python3", "-c",
                               "import sys, zipfile\n"
                               "with zipfile.ZipFile(sys.argv[1], 'w') as z:\n"
                               "    for i in range(65535):\n"
                               "        z.writestr('e/%05d' % i, '')\n",
                               archive});
    ASSERT_EQ(made.status, 0) << made.output;
    EngineCall call;
    call.grow = true;
    call.quiet = true;
    call.root = path("d");
    // Names that libzip takes for one go in under their true bytes behind ZIP64 records too.
    call.names = {write("d/neu.txt", text(5000)), write("d/noch.txt", "x"),
                  write("d/\x84rger.txt", "CP437"), write("d/\xc3\xa4rger.txt", "UTF-8")};
    EngineRun run = runEngine(archive, call);
    ASSERT_EQ(run.result, ZP_OK) << run.printed();

    Command count = runCommand({"python3", "-c",
                                "import sys, zipfile\n"
                                "z = zipfile.ZipFile(sys.argv[1])\n"
                                "print(len(z.infolist()), z.read('neu.txt') == open(sys.argv[2], "
                                "'rb').read())\n"
                                "for i in z.infolist()[-2:]:\n"
                                "    print(i.flag_bits & 0x800, z.read(i).decode())\n",
                                archive, call.names[0]});
    EXPECT_EQ(count.output, "65539 True\n0 CP437\n2048 UTF-8\n");
    Command test = runCommand({"unzip", "-tqq", archive});
    EXPECT_EQ(test.status, 0) << test.output;
    expectCheckPasses(archive);
}

// unzip and 7-Zip take the extended field, exact from 1970 to 2106; Python's zipfile takes the
// DOS time, exact (to even seconds, in local time) from 1980 to 2107. Outside, each field holds its
// nearest moment, never a wrapped one.
TEST_F(EngineArchive, TimesOutsideWhatTheFieldsHoldAreClampedNeverWrapped) {
    const int64_t times[] = {-301233600,   // 1960-06-15 12:00 UTC
                             1,            // 1970-01-01 00:00:01
                             315532799,    // 1979-12-31 23:59:59
                             2191752000,   // 2039-06-15 12:00, beyond a signed 32-bit count
                             4294967294,   // 2106-02-07 06:28:14
                             4432276800};  // 2110-06-15 12:00
    EngineCall call;
    call.root = path("d");
    for (int64_t t : times) {
        call.names.push_back(write("d/t" + std::to_string(t), "x"));
        setMtime(call.names.back(), t);
    }
    const std::string archive = path("times.zip");
    ASSERT_EQ(runEngine(archive, call).result, ZP_OK);

    const std::string unzipped = path("unzip");
    const std::string sevened = path("7z");
    ASSERT_EQ(runCommand({"unzip", "-q", archive, "-d", unzipped}).status, 0);
    ASSERT_EQ(runCommand({sevenZip(), "x", "-bd", "-o" + sevened, archive}).status, 0);
    Listing listing = readWithPython(archive);
    ASSERT_TRUE(listing.ok) << listing.error;
    for (int64_t t : times) {
        const std::string name = "t" + std::to_string(t);
        SCOPED_TRACE(name);
        const int64_t exact = std::clamp<int64_t>(t, 0, 0xFFFFFFFFll);
        for (const std::string& folder : {unzipped, sevened}) {
            struct stat info {};
            ASSERT_EQ(stat((folder + "/" + name).c_str(), &info), 0);
            EXPECT_EQ(info.st_mtim.tv_sec, exact) << folder;
        }
        const Entry* entry = listing.find(name);
        ASSERT_NE(entry, nullptr);
        EXPECT_EQ(entry->extendedTime, exact);
        std::tm local{};
        const time_t even = static_cast<time_t>(t - (t & 1));
        localtime_r(&even, &local);
        char dos[32];
        std::strftime(dos, sizeof dos, "%Y-%m-%d %H:%M:%S", &local);
        const std::string expected = local.tm_year < 80     ? "1980-01-01 00:00:00"
                                     : local.tm_year >= 208 ? "2107-12-31 23:59:58"
                                                            : dos;
        EXPECT_EQ(entry->dosTime, expected);
    }
}

// A short name is never one that an entry of the archive already has, unless that entry holds the
// same file (the engine records the long name behind each short one): a grow then replaces it and
// an update compares with it. An entry made elsewhere is never taken for one of ours.
TEST_F(EngineArchive, DosNamesStayUniqueAgainstEntriesAlreadyInTheArchive) {
    const std::string archive = path("dos.zip");
    makeArchiveWith(archive, "KURZ.TXT", "fremd");
    const std::string foreign = write("fremd", "fremd");
    EngineCall call;
    call.root = path("d");
    call.dosNames = true;
    call.grow = true;
    const std::string one = write("d/LongFileName1.txt", "eins");
    const std::string three = write("d/LongFileName3.txt", "drei");
    const std::string kurz = write("d/kurz.txt", "kurz");
    for (const std::string& file : {one, three, kurz}) {
        setMtime(file, 1600000000);
    }
    call.names = {one};
    ASSERT_EQ(runEngine(archive, call).result, ZP_OK);
    call.names = {three, kurz};
    EngineRun grown = runEngine(archive, call);
    ASSERT_EQ(grown.result, ZP_OK) << grown.printed();
    const std::string oldOne = write("eins-alt", "eins");
    expectContents(archive, {{"KURZ.TXT", foreign},
                             {"LONGFILE.TXT", oldOne},
                             {"LONGFI~1.TXT", three},
                             {"KURZ~1.TXT", kurz}});

    writeFile(one, "eins, geändert");
    setMtime(one, 1600000100);
    call.grow = false;
    call.update = true;
    call.names = {one, three, kurz};
    EngineRun updated = runEngine(archive, call);
    ASSERT_EQ(updated.result, ZP_OK) << updated.printed();
    EXPECT_EQ(updated.serviceNames(), std::vector<std::string>{one});
    expectContents(archive, {{"KURZ.TXT", foreign},
                             {"LONGFILE.TXT", one},
                             {"LONGFI~1.TXT", three},
                             {"KURZ~1.TXT", kurz}});
}

// libzip takes only UTF-8 comments without control characters; any other goes into the archive
// byte for byte, and a grow replaces it.
TEST_F(EngineArchive, CommentsLibzipRefusesAreStoredByteForByte) {
    EngineCall call;
    call.names = {write("a.txt", text(3000))};
    const std::string archive = path("c.zip");
    for (const std::string& comment : {std::string("Steuer\x01zeichen, Latin-1: \xe4\xf6\xfc"),
                                       std::string("neu\x02"), std::string("wieder UTF-8: ä")}) {
        SCOPED_TRACE(hex(comment));
        call.comment = comment;
        EngineRun run = runEngine(archive, call);
        ASSERT_EQ(run.result, ZP_OK) << run.printed();
        Listing listing = readWithPython(archive);
        ASSERT_TRUE(listing.ok) << listing.error;
        EXPECT_EQ(listing.commentHex, hex(comment));
        EXPECT_EQ(listing.entries.size(), 1u);
        Command test = runCommand({"unzip", "-tq", archive});
        EXPECT_EQ(test.status, 0) << test.output;
        Command seven = runCommand({sevenZip(), "t", archive});
        EXPECT_EQ(seven.status, 0) << seven.output;
        call.grow = true;
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

// The check reads what is on the disk: the archive's pages are dropped after the run. It checks
// every entry the thread's runs wrote since the archive was made, grows included, and names the
// entry in which a single byte went wrong.
TEST_F(EngineArchive, CheckReadsEveryWrittenEntryBackAndFindsOneWrongByte) {
    for (bool encrypted : {false, true}) {
        SCOPED_TRACE(encrypted ? "encrypted" : "plain");
        EngineCall call;
        call.root = path("d");
        if (encrypted) {
            call.password = "Geheimnis";
        }
        call.names = {write("d/zufall.bin", randomBytes(40000, 8)),
                      write("d/text.txt", text(90000)), write("d/leer", "")};
        const std::string archive = path(encrypted ? "enc.zip" : "plain.zip");
        ASSERT_EQ(runEngine(archive, call).result, ZP_OK);
        EXPECT_NE(anyPageCached(archive), std::optional<bool>(true));
        CheckLog log;
        ASSERT_EQ(check(archive, log), ZP_OK) << log.entry << ": " << log.reason;
        ASSERT_FALSE(log.progress.empty());
        EXPECT_EQ(log.progress.back(), std::make_pair(3, 3));

        call.grow = true;
        call.names = {write("d/neu.txt", text(20000))};
        ASSERT_EQ(runEngine(archive, call).result, ZP_OK);
        ASSERT_EQ(check(archive, log), ZP_OK) << log.entry << ": " << log.reason;
        ASSERT_FALSE(log.progress.empty());
        EXPECT_EQ(log.progress.back(), std::make_pair(4, 4));

        const std::string intact = readFile(archive);
        for (const char* entry : {"zufall.bin", "text.txt"}) {
            damageEntry(archive, entry);
            EXPECT_EQ(check(archive, log), ZP_ERR_VERIFY);
            EXPECT_EQ(log.entry, entry);
            EXPECT_TRUE(log.reason == "Prüfsumme (CRC) stimmt nicht" ||
                        log.reason == "Daten lassen sich nicht entpacken")
                << log.reason;
            writeFile(archive, intact);
        }
    }

    // An entry that is gone, and an archive no run of this thread wrote.
    const std::string archive = path("enc.zip");
    makeArchiveWith(archive, "text.txt", "anders");
    CheckLog log;
    EXPECT_EQ(check(archive, log), ZP_ERR_VERIFY);
    EXPECT_EQ(log.reason, "fehlt im Archiv");
    EXPECT_EQ(check(path("plain.zip"), log), ZP_ERR_PARAMETER);
    EXPECT_EQ(log.entry, path("plain.zip"));
}

// Many entries are checked by several threads, each reading the archive for itself; a damaged
// entry among them is still found and named.
TEST_F(EngineArchive, CheckOfManyEntriesOnSeveralThreadsNamesTheDamagedOne) {
    EngineCall call;
    call.root = path("d");
    call.quiet = true;
    for (int i = 0; i < 400; ++i) {
        call.names.push_back(write("d/f" + std::to_string(i), text(2000 + 37 * i)));
    }
    const std::string archive = path("many.zip");
    ASSERT_EQ(runEngine(archive, call).result, ZP_OK);
    CheckLog log;
    ASSERT_EQ(check(archive, log), ZP_OK) << log.entry << ": " << log.reason;
    ASSERT_FALSE(log.progress.empty());
    EXPECT_EQ(log.progress.front(), std::make_pair(0, 400));
    EXPECT_EQ(log.progress.back(), std::make_pair(400, 400));

    damageEntry(archive, "f250");
    EXPECT_EQ(check(archive, log), ZP_ERR_VERIFY);
    EXPECT_EQ(log.entry, "f250");
    EXPECT_EQ(log.reason, "Daten lassen sich nicht entpacken");
}

// A small archive of one stored, one deflated and one encrypted entry (with a UTF-8 name and a
// data descriptor among them), written in two runs.
class CheckedArchive : public EngineArchive {
protected:
    void SetUp() override {
        EngineArchive::SetUp();
        archive = path("klein.zip");
        EngineCall call;
        call.root = path("d");
        call.names = {write("d/zufall.bin", randomBytes(150, 3)),
                      write("d/Änderung.txt", text(400))};
        ASSERT_EQ(runEngine(archive, call).result, ZP_OK);
        call.grow = true;
        call.password = kPassword;
        call.names = {write("d/geheim.txt", text(120))};
        ASSERT_EQ(runEngine(archive, call).result, ZP_OK);
        const Listing listing = readWithPython(archive, kPassword);
        ASSERT_TRUE(listing.ok) << listing.error;
        const Entry* stored = listing.find("zufall.bin");
        const Entry* deflated = listing.find("Änderung.txt");
        const Entry* encrypted = listing.find("geheim.txt");
        ASSERT_NE(stored, nullptr);
        ASSERT_NE(deflated, nullptr);
        ASSERT_NE(encrypted, nullptr);
        ASSERT_EQ(stored->method, 0);
        ASSERT_EQ(deflated->method, 8);
        ASSERT_EQ(deflated->flags & kUtf8Flag, kUtf8Flag);
        ASSERT_EQ(encrypted->flags & (kEncryptedFlag | kDescriptorFlag),
                  kEncryptedFlag | kDescriptorFlag);
        expectCheckPasses(archive);
    }

    // A copy of the archive with a deflate stream broken: no client reads it.
    std::string brokenCopy() {
        const std::string copy = path("control.zip");
        std::string bytes = readFile(archive);
        bytes[dataOf(bytes, "Änderung.txt").first + 2] ^= 0x55;
        writeFile(copy, bytes);
        return copy;
    }

    static constexpr int kDescriptorFlag = 0x8;
    static constexpr const char* kPassword = "Geheimnis";
    std::string archive;
};

// Whatever single bit of the archive is flipped, the check passes it only when unzip -t, 7z t
// and Python's zipfile read it too: headers, directory, data and the ends of the streams.
TEST_F(CheckedArchive, PassesNoSingleBitFlipThatAClientRefuses) {
    const size_t size = readFile(archive).size();
    const Sweep sweep = flipEveryBit(archive, {{0, size}}, path("passed"));
    EXPECT_EQ(sweep.flips, size * 8);
    // Only fields that no client tests may change unnoticed (attributes, the archive comment...).
    EXPECT_LT(sweep.passed.size(), size) << "of " << sweep.flips;
    expectOnlyControlFails(sweep.passed, brokenCopy(), kPassword);
}

// Every field of the local header that a client reads is compared with the central record, and
// the record's own fields are those a client accepts; the data descriptor and the password check
// byte are checked too.
TEST_F(CheckedArchive, NamesEachHeaderFieldThatDisagrees) {
    const std::string intact = readFile(archive);
    const size_t plainLocal = headerOf(intact, "Änderung.txt", false);
    const size_t plainCentral = headerOf(intact, "Änderung.txt", true);
    const size_t secretLocal = headerOf(intact, "geheim.txt", false);
    const size_t secretCentral = headerOf(intact, "geheim.txt", true);
    const size_t descriptor = dataOf(intact, "geheim.txt").second;
    const size_t end = intact.rfind("PK\5\6");
    struct Damage {
        const char* what;
        std::vector<std::pair<size_t, uint8_t>> xors;  // offset, bits flipped
        std::string entry;
        std::string reason;
    };
    const std::string mismatch = "Kopf im Archiv stimmt nicht mit dem Verzeichnis überein ";
    const std::vector<Damage> damages{
        {"encryption bit in the local header only",
         {{plainLocal + 6, 0x01}},
         "Änderung.txt",
         mismatch + "(Flags)"},
        {"method", {{plainLocal + 8, 0x08}}, "Änderung.txt", mismatch + "(Methode)"},
        {"time", {{plainLocal + 10, 0x02}}, "Änderung.txt", mismatch + "(Zeit)"},
        {"CRC", {{plainLocal + 14, 0x01}}, "Änderung.txt", mismatch + "(Prüfsumme)"},
        {"compressed size", {{plainLocal + 18, 0x01}}, "Änderung.txt", mismatch + "(Größe)"},
        {"name", {{plainLocal + 31, 0x20}}, "Änderung.txt", mismatch + "(Name)"},
        {"extended time",
         {{plainLocal + 30 + 13 + 5, 0x01}},
         "Änderung.txt",
         mismatch + "(Zeitstempel)"},
        {"extra field length",
         {{plainLocal + 28, 0x01}},
         "Änderung.txt",
         "Kopf im Archiv ist beschädigt (Zusatzfelder)"},
        {"version needed beyond what unzip can do",
         {{plainCentral + 6, 0x20}},
         "Änderung.txt",
         "Verzeichniseintrag ist beschädigt (Version)"},
        {"flag of patched data",
         {{plainCentral + 8, 0x20}},
         "Änderung.txt",
         "Verzeichniseintrag ist beschädigt (Flags)"},
        {"disk number start",
         {{plainCentral + 34, 0x01}},
         "Änderung.txt",
         "Verzeichniseintrag ist beschädigt (Datenträger)"},
        {"encryption bit of the entry written with a password",
         {{secretLocal + 6, 0x01}, {secretCentral + 8, 0x01}},
         "geheim.txt",
         "Verzeichniseintrag ist beschädigt (Verschlüsselung)"},
        {"time that the password check byte is taken from",
         {{secretLocal + 11, 0x01}, {secretCentral + 13, 0x01}},
         "geheim.txt",
         "Prüfbyte der Verschlüsselung stimmt nicht"},
        {"data descriptor",
         {{descriptor + 4, 0x01}},
         "geheim.txt",
         "Datenbeschreibung nach den Daten stimmt nicht mit dem Verzeichnis überein"},
        {"entry count",
         {{end + 8, 0x01}, {end + 10, 0x01}},
         archive,
         "ZIP-Datei ist beschädigt (Verzeichnis)"},
        {"comment length",
         {{end + 20, 0x01}},
         archive,
         "ZIP-Datei ist beschädigt (Ende des Verzeichnisses)"},
    };
    for (const Damage& damage : damages) {
        SCOPED_TRACE(damage.what);
        std::string bytes = intact;
        for (const auto& [at, bits] : damage.xors) {
            bytes[at] = static_cast<char>(bytes[at] ^ bits);
        }
        writeFile(archive, bytes);
        CheckLog log;
        EXPECT_EQ(check(archive, log), ZP_ERR_VERIFY);
        EXPECT_EQ(log.entry, damage.entry);
        EXPECT_EQ(log.reason, damage.reason);
    }
}

// A file cut into blocks and an encrypted one are read to the end of their deflate streams, whole
// or piece by piece: a damaged last byte fails the check, and no flip near their ends passes that
// a client refuses.
TEST_F(EngineArchive, CheckReadsBigAndEncryptedEntriesToTheirLastByte) {
    cutAbove(100000, 32768);
    EngineCall call;
    call.root = path("d");
    call.names = {write("d/gross.txt", text(300000))};
    const std::string archive = path("gross.zip");
    ASSERT_EQ(runEngine(archive, call).result, ZP_OK);
    call.grow = true;
    call.password = "Geheimnis";
    call.names = {write("d/geheim.txt", text(200000) + "Ende")};
    ASSERT_EQ(runEngine(archive, call).result, ZP_OK);
    const std::string intact = readFile(archive);
    std::string control = path("control.zip");
    for (const uint64_t piece : {uint64_t{4096}, zip32::Tuning{}.checkPiece}) {
        SCOPED_TRACE(piece);
        zip32::threadState().tuning.checkPiece = piece;
        expectCheckPasses(archive);
        std::vector<std::pair<size_t, size_t>> ends;
        for (const char* name : {"gross.txt", "geheim.txt"}) {
            SCOPED_TRACE(name);
            const size_t last = dataOf(intact, name).second - 1;
            std::string bytes = intact;
            bytes[last] = static_cast<char>(~bytes[last]);
            writeFile(archive, bytes);
            CheckLog log;
            EXPECT_EQ(check(archive, log), ZP_ERR_VERIFY);
            EXPECT_EQ(log.entry, name);
            ends.emplace_back(last - 15, last + 1);
        }
        writeFile(archive, intact);
        ends.back().second += 16;  // the data descriptor
        const Sweep sweep = flipEveryBit(archive, ends, path("passed"));
        std::string broken = intact;
        broken[ends.front().second - 1] = static_cast<char>(~broken[ends.front().second - 1]);
        writeFile(control, broken);
        expectOnlyControlFails(sweep.passed, control, "Geheimnis");
    }
}

// Each stored byte must belong to the deflate stream, and the stream must end with its final
// block: a byte after its end, or a stream cut after a block that is not the last, fails the
// check whether the entry is inflated whole or piece by piece.
TEST_F(EngineArchive, CheckRefusesDeflateStreamsThatDoNotEndWithTheirLastByte) {
    const std::string content = text(5000);
    const std::string file = write("inhalt.txt", content);
    const uint32_t crc = static_cast<uint32_t>(crc32(
        0, reinterpret_cast<const Bytef*>(content.data()), static_cast<uInt>(content.size())));
    const std::vector<zip32::WrittenEntry> entries{{"daten.txt", crc, content.size(), ""}};
    for (const char* stream : {"ended", "trailing", "unended"}) {
        SCOPED_TRACE(stream);
        const std::string archive = path(std::string(stream) + ".zip");
        Command made = runCommand(
            {"python3", "-c",
             "import struct, sys, zlib\n"
             "data = open(sys.argv[2], 'rb').read()\n"
             "c = zlib.compressobj(9, zlib.DEFLATED, -15)\n"
             "raw = c.compress(data)\n"
             "raw += c.flush(zlib.Z_SYNC_FLUSH) if sys.argv[3] == 'unended' else c.flush()\n"
             "raw += b'\\0' if sys.argv[3] == 'trailing' else b''\n"
             "name = b'daten.txt'\n"
             "ut = struct.pack('<HHBI', 0x5455, 5, 1, 1714979290)\n"
             "crc = zlib.crc32(data)\n"
             "local = struct.pack('<4s5H3I2H', b'PK\\3\\4', 20, 0, 8, 0x3c00, 0x58a6, crc,\n"
             "                    len(raw), len(data), len(name), len(ut)) + name + ut\n"
             "central = struct.pack('<4s6H3I5H2I', b'PK\\1\\2', 0x31e, 20, 0, 8, 0x3c00,\n"
             "                      0x58a6, crc, len(raw), len(data), len(name), len(ut), 0, 0,\n"
             "                      0, 0o100644 << 16, 0) + name + ut\n"
             "end = struct.pack('<4s4H2IH', b'PK\\5\\6', 0, 0, 1, 1, len(central),\n"
             "                  len(local) + len(raw), 0)\n"
             "open(sys.argv[1], 'wb').write(local + raw + central + end)\n",
             archive, file, stream});
        ASSERT_EQ(made.status, 0) << made.output;
        for (const uint64_t piece : {uint64_t{256}, zip32::Tuning{}.checkPiece}) {
            SCOPED_TRACE(piece);
            zip32::CheckProblem problem;
            const int32_t result = zip32::checkArchive(archive, entries, nullptr, problem, piece);
            if (std::string(stream) == "ended") {
                EXPECT_EQ(result, ZP_OK) << problem.entry << ": " << problem.reason;
            } else {
                EXPECT_EQ(result, ZP_ERR_VERIFY);
                EXPECT_EQ(problem.reason, "Daten lassen sich nicht entpacken");
            }
        }
    }
}

// Layouts the engine writes only for files or archives beyond 4 GiB: ZIP64 sizes in a local
// header (both fields saturated), ZIP64 offsets in the central record and the ZIP64 end records.
// Python's zipfile writes them here, into a sparse file, and the check accepts them.
TEST_F(EngineArchive, CheckAcceptsZip64HeadersAndOffsetsBeyond4GiB) {
    const std::string content = text(3000);
    const std::string archive = path("gross.zip");
    Command made =
        runCommand({"python3", "-c",
                    "import struct, sys, zipfile\n"
                    "with open(sys.argv[1], 'wb') as f:\n"
                    "    f.truncate(int(sys.argv[3]))\n"
                    "with zipfile.ZipFile(sys.argv[1], 'a', zipfile.ZIP_DEFLATED) as z:\n"
                    "    for name in ('weit/hinten.txt', 'zip64.txt'):\n"
                    "        info = zipfile.ZipInfo(name, (2024, 5, 6, 7, 8, 10))\n"
                    "        info.compress_type = zipfile.ZIP_DEFLATED\n"
                    "        info.extra = struct.pack('<HHBI', 0x5455, 5, 1, 1714979290)\n"
                    "        with z.open(info, 'w', force_zip64=name == 'zip64.txt') as f:\n"
                    "            f.write(open(sys.argv[2], 'rb').read())\n",
                    archive, write("inhalt.txt", content), std::to_string(5ull << 30)});
    ASSERT_EQ(made.status, 0) << made.output;
    const Listing listing = readWithPython(archive);
    ASSERT_TRUE(listing.ok) << listing.error;

    const uint32_t crc = static_cast<uint32_t>(crc32(
        0, reinterpret_cast<const Bytef*>(content.data()), static_cast<uInt>(content.size())));
    const std::vector<zip32::WrittenEntry> entries{{"weit/hinten.txt", crc, content.size(), ""},
                                                   {"zip64.txt", crc, content.size(), ""}};
    zip32::CheckProblem problem;
    EXPECT_EQ(zip32::checkArchive(archive, entries, nullptr, problem), ZP_OK)
        << problem.entry << ": " << problem.reason;

    // The local ZIP64 field must hold what the record says.
    std::fstream file(archive, std::ios::in | std::ios::out | std::ios::binary);
    file.seekg(static_cast<std::streamoff>(5ull << 30));
    const std::string tail{std::istreambuf_iterator<char>(file), {}};
    const size_t local = headerOf(tail, "zip64.txt", false);
    ASSERT_EQ(field32(tail, local + 18), 0xFFFFFFFFu);
    const size_t compressedSize = local + 30 + 9 + 9 + 4 + 8;  // past the extended time
    file.clear();
    file.seekp(static_cast<std::streamoff>((5ull << 30) + compressedSize));
    file.put(static_cast<char>(tail[compressedSize] ^ 0x01));
    file.close();
    EXPECT_EQ(zip32::checkArchive(archive, entries, nullptr, problem), ZP_ERR_VERIFY);
    EXPECT_EQ(problem.entry, "zip64.txt");
    EXPECT_EQ(problem.reason, "Kopf im Archiv stimmt nicht mit dem Verzeichnis überein (Größe)");
}

}  // namespace
