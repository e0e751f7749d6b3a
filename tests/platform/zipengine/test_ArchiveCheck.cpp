// The engine's check of an archive after a run (ZpVerify): it reads back what the runs wrote and
// passes nothing that unzip, 7-Zip or Python's zipfile refuse.
#include <fcntl.h>
#include <linux/magic.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <unistd.h>
#include <zlib.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "platform/zipengine/ArchiveCheck.h"
#include "platform/zipengine/EngineState.h"
#include "tests/platform/zipengine/EngineTestSupport.h"

using namespace enginetest;

namespace {

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
                                        const std::string& password, bool aes) {
    std::vector<std::string> argv{"python3", ENGINE_ZIPCHECK_PY, "--clients", "--password",
                                  password};
    if (aes) {
        argv.push_back("--aes");
    }
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

// Every client fails on control (the runner does report failures); the others it read. Under
// WinZip AES the one client is 7-Zip.
void expectOnlyControlFails(const std::vector<std::string>& passed, const std::string& control,
                            const std::string& password, bool aes = false) {
    std::vector<std::string> archives = passed;
    archives.push_back(control);
    int controlFailures = 0;
    for (const std::string& failure : clientFailures(archives, password, aes)) {
        if (failure.rfind(control + "\t", 0) == 0) {
            ++controlFailures;
        } else {
            ADD_FAILURE() << "the check passed what a client refuses: " << failure;
        }
    }
    EXPECT_EQ(controlFailures, aes ? 1 : 3);
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

// An archive under WinZip AES-256 of a stored, a deflated, an empty and a tiny entry (whose CRC
// libzip leaves 0, as AE-2 allows), the password with umlauts.
class AesCheckedArchive : public EngineArchive {
protected:
    void SetUp() override {
        EngineArchive::SetUp();
        archive = path("aes.zip");
        EngineCall call;
        call.root = path("d");
        call.password = kPassword;
        call.encryption = ZP_ENCRYPT_AES256;
        call.names = {write("d/zufall.bin", randomBytes(150, 3)), write("d/brief.txt", text(400)),
                      write("d/leer", ""), write("d/klein.txt", "klein")};
        ASSERT_EQ(runEngine(archive, call).result, ZP_OK);
        expectCheckPasses(archive);
        intact = readFile(archive);
    }

    // Where the entry's AES field begins in its local header or central record.
    size_t aesField(const std::string& name, bool central) const {
        return intact.find(std::string("\x01\x99\x07\x00", 4), headerOf(intact, name, central));
    }

    // The reason the check gives for the archive with these bits flipped.
    std::string reasonAfter(const std::vector<std::pair<size_t, uint8_t>>& xors) {
        std::string bytes = intact;
        for (const auto& [at, bits] : xors) {
            bytes[at] = static_cast<char>(bytes[at] ^ bits);
        }
        writeFile(archive, bytes);
        CheckLog log;
        EXPECT_EQ(check(archive, log), ZP_ERR_VERIFY);
        writeFile(archive, intact);
        return log.reason;
    }

    static constexpr const char* kPassword = "Grüße aus Köln";
    std::string archive;
    std::string intact;
};

// A changed byte anywhere in the data or in the authentication code fails the code, also where
// it breaks the deflate stream first; a changed salt or verification value, and a wrong password,
// are "falsches Passwort", not a CRC error.
TEST_F(AesCheckedArchive, RefusesAChangedByteAndAWrongPassword) {
    const std::string code =
        "Authentifizierungscode stimmt nicht (Daten verändert oder falsches Passwort)";
    const auto [storedBegin, storedEnd] = dataOf(intact, "zufall.bin");
    const auto [deflatedBegin, deflatedEnd] = dataOf(intact, "brief.txt");
    const size_t salt = 16;
    const size_t verifier = 2;
    EXPECT_EQ(storedEnd - storedBegin, 150 + salt + verifier + 10);
    EXPECT_EQ(reasonAfter({{storedBegin + salt + verifier + 70, 0x01}}), code);
    EXPECT_EQ(reasonAfter({{deflatedBegin + salt + verifier, 0x40}}), code);
    EXPECT_EQ(reasonAfter({{deflatedEnd - 11, 0x01}}), code);  // the data's last byte
    EXPECT_EQ(reasonAfter({{storedEnd - 1, 0x80}}), code);     // the code's last byte
    EXPECT_EQ(reasonAfter({{storedBegin + salt, 0x01}}), "falsches Passwort");
    EXPECT_EQ(reasonAfter({{deflatedBegin + 3, 0x10}}), "falsches Passwort");
    EXPECT_EQ(reasonAfter({{aesField("brief.txt", false) + 8, 0x01},
                           {aesField("brief.txt", true) + 8, 0x01}}),
              "Verzeichniseintrag ist beschädigt (Verschlüsselung)");  // strength 3 to 2
    EXPECT_EQ(reasonAfter({{aesField("brief.txt", false) + 9, 0x08}}),
              "Kopf im Archiv stimmt nicht mit dem Verzeichnis überein (AES)");

    // The keys derived afresh from the password are those the entries were written with.
    std::vector<zip32::WrittenEntry> entries = zip32::threadState().written.entries;
    ASSERT_EQ(entries.size(), 4u);
    for (zip32::WrittenEntry& entry : entries) {
        EXPECT_EQ(entry.aesStrength, 3);
        entry.aesKeys.reset();
    }
    zip32::CheckProblem problem;
    EXPECT_EQ(zip32::checkArchive(archive, entries, nullptr, problem), ZP_OK)
        << problem.entry << ": " << problem.reason;
    const auto wrong = std::make_shared<const zip32::Password>("Grüsse aus Köln");
    entries[1].password = wrong;
    EXPECT_EQ(zip32::checkArchive(archive, entries, nullptr, problem), ZP_ERR_VERIFY);
    EXPECT_EQ(problem.entry, "brief.txt");
    EXPECT_EQ(problem.reason, "falsches Passwort");

    // Once the passwords are forgotten, encrypted entries cannot be checked any more.
    EXPECT_EQ(ZpForgetPasswords(), ZP_OK);
    EXPECT_EQ(wrong.use_count(), 2);
    CheckLog log;
    EXPECT_EQ(check(archive, log), ZP_ERR_VERIFY);
    EXPECT_EQ(log.reason, "Passwort nicht mehr bekannt");
}

// Whatever single bit of an AES archive is flipped, the check passes it only when 7-Zip, the
// client that reads AES, reads it too.
TEST_F(AesCheckedArchive, PassesNoSingleBitFlipThat7ZipRefuses) {
    const Sweep sweep = flipEveryBit(archive, {{0, intact.size()}}, path("passed"));
    EXPECT_LT(sweep.passed.size(), intact.size()) << "of " << sweep.flips;
    const std::string control = path("control.zip");
    std::string broken = intact;
    broken[dataOf(intact, "brief.txt").first + 20] ^= 0x04;
    writeFile(control, broken);
    expectOnlyControlFails(sweep.passed, control, kPassword, true);
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
    const std::vector<zip32::WrittenEntry> entries{
        {.name = "daten.txt", .crc = crc, .size = content.size()}};
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
    const std::vector<zip32::WrittenEntry> entries{
        {.name = "weit/hinten.txt", .crc = crc, .size = content.size()},
        {.name = "zip64.txt", .crc = crc, .size = content.size()}};
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
