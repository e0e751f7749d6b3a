// Archives written by the engine, read back by unzip, zipinfo, 7-Zip and Python's zipfile.
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <map>
#include <thread>

#include "platform/zipengine/EngineState.h"
#include "tests/platform/zipengine/EngineTestSupport.h"

using namespace enginetest;
namespace fs = std::filesystem;

namespace {

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
    for (const auto& [name, method] : sevenZipMethods(archive)) {
        EXPECT_EQ(method.rfind("ZipCrypto ", 0), 0u) << name << ": " << method;
    }
}

// Under AES-256 every entry, stored, deflated, empty, tiny or cut into blocks, is WinZip AES in
// 7-Zip's listing, its stored size the data's and 28 bytes, and comes back from 7-Zip with the
// password, umlauts included, and from the engine's check; no other password opens it.
TEST_F(EngineArchive, AesEncryptsEveryEntryFor7Zip) {
    cutAbove(100000, 32768);
    EngineCall call;
    call.root = path("d");
    call.password = "Grüße aus Köln";
    call.encryption = ZP_ENCRYPT_AES256;
    call.names = {write("d/foto.jpg", randomBytes(40000, 11)),
                  write("d/brief.txt", text(90000)),
                  write("d/leer", ""),
                  write("d/klein.txt", "klein"),
                  write("d/Postfach.mbox", text(250000) + randomBytes(90000, 12) + text(60000)),
                  write("d/film.mp4", randomBytes(300000, 13))};
    const std::string archive = path("aes.zip");
    EngineRun run = runEngine(archive, call);
    ASSERT_EQ(run.result, ZP_OK) << run.printed();
    EXPECT_EQ(run.passwordAsks, 1);
    expectCheckPasses(archive);

    const std::map<std::string, std::string> expected{
        {"foto.jpg", "AES-256 Store"}, {"brief.txt", "AES-256 Deflate"},
        {"leer", "AES-256 Store"},     {"klein.txt", "AES-256 Store"},
        {"film.mp4", "AES-256 Store"}, {"Postfach.mbox", "AES-256 Deflate"}};
    const auto methods = sevenZipMethods(archive);
    EXPECT_EQ((std::map<std::string, std::string>(methods.begin(), methods.end())), expected);
    Command listed = runCommand({"zipinfo", "-v", archive});
    for (const auto& [name, size] : std::vector<std::pair<std::string, uint64_t>>{
             {"foto.jpg", 40000}, {"leer", 0}, {"film.mp4", 300000}}) {
        EXPECT_NE(listed.output.find("compressed size:                                " +
                                     std::to_string(size + 28) + " bytes"),
                  std::string::npos)
            << name;
    }

    fs::remove_all(path("by-7z"));
    Command extracted =
        runCommand({sevenZip(), "x", "-y", "-o" + path("by-7z"), "-p" + *call.password, archive});
    ASSERT_EQ(extracted.status, 0) << extracted.output;
    for (const std::string& file : call.names) {
        const std::string name = file.substr(path("d/").size());
        EXPECT_TRUE(readFile(path("by-7z/" + name)) == readFile(file)) << name;
    }
    Command wrong = runCommand({sevenZip(), "t", "-pGrüsse aus Köln", archive});
    EXPECT_NE(wrong.status, 0) << wrong.output;
    EXPECT_NE(wrong.output.find("Wrong password"), std::string::npos) << wrong.output;

    // Any other method is refused and leaves the chosen one.
    EXPECT_EQ(ZpSetEncryption(2), ZP_ERR_PARAMETER);
    EXPECT_EQ(zip32::threadState().encryption, ZP_ENCRYPT_AES256);
}

// A grow or update encrypts its new entries as the archive's are, and says so when that is not
// the method chosen; an archive that already mixes methods gets the chosen one, with a note. An
// entry the run replaces does not count.
TEST_F(EngineArchive, GrowKeepsTheMethodOfTheArchivesEntries) {
    EngineCall call;
    call.root = path("d");
    call.password = "Geheimnis";
    const std::string first = write("d/erste.txt", text(3000));
    const std::string second = write("d/zweite.txt", text(4000));
    const auto methodOf = [](const std::string& archive, const std::string& name) {
        for (const auto& [entry, method] : sevenZipMethods(archive)) {
            if (entry == name) {
                return method;
            }
        }
        return std::string("fehlt");
    };
    for (const int32_t made : {ZP_ENCRYPT_AES256, ZP_ENCRYPT_TRADITIONAL}) {
        const bool aes = made == ZP_ENCRYPT_AES256;
        SCOPED_TRACE(aes ? "AES-256 archive" : "ZIP 2.0 archive");
        const std::string archive = path(aes ? "aes.zip" : "zip20.zip");
        call.names = {first};
        call.grow = false;
        call.encryption = made;
        ASSERT_EQ(runEngine(archive, call).result, ZP_OK);
        call.names = {second};
        call.grow = true;
        call.encryption = aes ? ZP_ENCRYPT_TRADITIONAL : ZP_ENCRYPT_AES256;
        EngineRun grown = runEngine(archive, call);
        ASSERT_EQ(grown.result, ZP_OK) << grown.printed();
        EXPECT_EQ(methodOf(archive, "zweite.txt"), aes ? "AES-256 Deflate" : "ZipCrypto Deflate");
        const std::string note = "Hinweis: Die Einträge des Archivs " + archive + " sind mit " +
                                 (aes ? "AES-256" : "ZIP 2.0") +
                                 " verschlüsselt; die neuen werden es ebenso, nicht mit " +
                                 (aes ? "ZIP 2.0" : "AES-256") +
                                 ", damit das Archiv bei einem Verfahren bleibt.\n";
        EXPECT_NE(std::find(grown.prints.begin(), grown.prints.end(), note), grown.prints.end())
            << grown.printed();
        expectCheckPasses(archive);

        // Replacing the only entries leaves nothing to keep: the chosen method, without a note.
        call.update = true;
        call.grow = false;
        call.names = {first, second};
        const int64_t later = std::time(nullptr) + (aes ? 100 : 200);  // newer than each entry
        setMtime(first, later);
        setMtime(second, later);
        EngineRun updated = runEngine(archive, call);
        ASSERT_EQ(updated.result, ZP_OK) << updated.printed();
        EXPECT_EQ(methodOf(archive, "erste.txt"), aes ? "ZipCrypto Deflate" : "AES-256 Deflate");
        EXPECT_EQ(updated.printed().find("Hinweis"), std::string::npos) << updated.printed();
        call.update = false;
    }

    // Made by 7-Zip with both methods.
    const std::string mixed = path("gemischt.zip");
    for (const char* method : {"-mem=AES256", "-mem=ZipCrypto"}) {
        const std::string file = std::string(method) == "-mem=AES256" ? first : second;
        Command added = runCommand({sevenZip(), "a", "-tzip", method, "-pGeheimnis", mixed, file});
        ASSERT_EQ(added.status, 0) << added.output;
    }
    call.names = {write("d/dritte.txt", text(5000))};
    call.grow = true;
    call.encryption = ZP_ENCRYPT_AES256;
    EngineRun grown = runEngine(mixed, call);
    ASSERT_EQ(grown.result, ZP_OK) << grown.printed();
    EXPECT_EQ(methodOf(mixed, "dritte.txt"), "AES-256 Deflate");
    EXPECT_NE(grown.printed().find("Hinweis: Das Archiv " + mixed +
                                   " mischt Verschlüsselungsverfahren: seine Einträge sind mit "
                                   "ZIP 2.0 und AES-256 verschlüsselt, die neuen mit AES-256.\n"),
              std::string::npos)
        << grown.printed();
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

}  // namespace
