// The engine's reader for a restore (ZpOpenReader, ZpExtract...): archives the engine wrote come
// back byte for byte with their times and modes, and every kind of damage or wrong password is
// refused before the restore could keep what it wrote.
#include <sys/stat.h>
#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <thread>

#include "platform/zipengine/EngineState.h"
#include "tests/platform/zipengine/EngineTestSupport.h"

using namespace enginetest;

namespace {

struct Extracted {
    int32_t result = -1;
    std::string data;
    size_t writes = 0;
    size_t largestWrite = 0;
    size_t stopAtWrite = 0;  // the n-th write answers "stop"
    int problems = 0;
    std::string entry;
    std::string reason;
};

int32_t collect(void* context, const void* data, uint64_t length) {
    auto* out = static_cast<Extracted*>(context);
    out->data.append(static_cast<const char*>(data), static_cast<size_t>(length));
    out->largestWrite = std::max<size_t>(out->largestWrite, static_cast<size_t>(length));
    return ++out->writes == out->stopAtWrite ? 1 : 0;
}

void onProblem(void* context, const char* entry, const char* reason) {
    auto* out = static_cast<Extracted*>(context);
    ++out->problems;
    out->entry = entry;
    out->reason = reason;
}

// An open reader, closed with the test.
struct Reader {
    explicit Reader(const std::string& archive) {
        result = ZpOpenReader(archive.c_str(), &handle, onProblem, &problem);
    }
    ~Reader() { ZpCloseReader(handle); }
    Reader(const Reader&) = delete;
    Reader& operator=(const Reader&) = delete;

    int64_t indexOf(const std::string& name) const {
        for (int64_t i = 0; i < ZpEntryCount(handle); ++i) {
            const ZpEntryInfo* info = ZpEntryAt(handle, i);
            if (std::string(info->name, info->nameLength) == name) {
                return i;
            }
        }
        ADD_FAILURE() << "no entry " << name;
        return -1;
    }
    const ZpEntryInfo& info(const std::string& name) const {
        return *ZpEntryAt(handle, indexOf(name));
    }
    Extracted extract(const std::string& name, const char* password, size_t stopAtWrite = 0) {
        Extracted out;
        out.stopAtWrite = stopAtWrite;
        out.result = ZpExtract(handle, indexOf(name), password, collect, onProblem, &out);
        return out;
    }

    ZpReader* handle = nullptr;
    int32_t result = -1;
    Extracted problem;
};

uint32_t crcOf(const std::string& data) {
    return static_cast<uint32_t>(
        crc32(0, reinterpret_cast<const Bytef*>(data.data()), static_cast<uInt>(data.size())));
}

constexpr int32_t kPlain = -1;
const char* const kPassword = "Grüße aus Köln";

class EngineRestore : public EngineArchive {
protected:
    // Writes the archive with the engine (encrypted as the parameter says) from files given as
    // name, content, mode and time.
    struct File {
        std::string name;
        std::string content;
        mode_t mode;
        int64_t mtime;
    };
    std::string archiveOf(const std::vector<File>& files, int32_t encryption) {
        EngineCall call;
        call.root = path("d");
        if (encryption != kPlain) {
            call.password = kPassword;
            call.encryption = encryption;
        }
        for (const File& file : files) {
            call.names.push_back(write("d/" + file.name, file.content));
            EXPECT_EQ(::chmod(call.names.back().c_str(), file.mode), 0);
            setMtime(call.names.back(), file.mtime);
        }
        const std::string archive = path("a.zip");
        EngineRun run = runEngine(archive, call);
        EXPECT_EQ(run.result, ZP_OK) << run.printed();
        return archive;
    }
};

class RestoredArchive : public EngineRestore, public ::testing::WithParamInterface<int32_t> {};

// Stored, deflated, empty and larger than a piece: each entry's data, CRC, size, time, mode and
// method are as archived, its data reaches write in pieces of at most 1 MB (a whole-inflated
// entry at once), and its password is recognised.
TEST_P(RestoredArchive, EveryKindOfEntryComesBackAsArchived) {
    const int32_t encryption = GetParam();
    const std::vector<File> files{{"zufall.bin", randomBytes(70000, 5), 0640, 1600000000},
                                  {"brief.txt", text(120000), 0600, 1700000001},
                                  {"leer", "", 0444, 1500000000},
                                  {"skript.sh", "#!/bin/sh\necho hallo\n", 0755, 1650000000},
                                  {"groß.txt", text(2500000), 0644, 1710000000},
                                  {"film.mp4", randomBytes(2300000, 6), 0644, 1720000000}};
    const std::string archive = archiveOf(files, encryption);
    Reader reader(archive);
    ASSERT_EQ(reader.result, ZP_OK) << reader.problem.reason;
    ASSERT_EQ(ZpEntryCount(reader.handle), static_cast<int64_t>(files.size()));
    EXPECT_EQ(ZpEntryAt(reader.handle, ZpEntryCount(reader.handle)), nullptr);
    EXPECT_EQ(ZpEntryAt(reader.handle, -1), nullptr);

    const char* password = encryption == kPlain ? nullptr : kPassword;
    for (const File& file : files) {
        SCOPED_TRACE(file.name);
        const ZpEntryInfo& info = reader.info(file.name);
        EXPECT_EQ(info.nameLength, file.name.size());
        EXPECT_EQ(info.size, file.content.size());
        EXPECT_EQ(info.crc, crcOf(file.content));
        EXPECT_EQ(info.mtime, file.mtime);
        EXPECT_EQ(info.mode, S_IFREG | file.mode);
        EXPECT_EQ(info.encryption, encryption);
        EXPECT_EQ(ZpCheckPassword(reader.handle, reader.indexOf(file.name), password), ZP_OK);

        Extracted out = reader.extract(file.name, password);
        EXPECT_EQ(out.result, ZP_OK) << out.reason;
        EXPECT_EQ(out.problems, 0);
        EXPECT_TRUE(out.data == file.content) << out.data.size() << " bytes";
        if (file.name != "groß.txt") {
            EXPECT_LE(out.largestWrite, 1u << 20);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Encryption, RestoredArchive,
                         ::testing::Values(kPlain, ZP_ENCRYPT_TRADITIONAL, ZP_ENCRYPT_AES256),
                         [](const ::testing::TestParamInfo<int32_t>& info) {
                             return info.param == kPlain ? std::string("Plain")
                                    : info.param == ZP_ENCRYPT_TRADITIONAL
                                        ? std::string("ZipCrypto")
                                        : std::string("Aes256");
                         });

// A wrong or missing password is refused before a byte reaches write; ZpCheckPassword agrees.
// The traditional check byte lets a wrong password pass once in 256 per entry: then the data
// gives it away, and of three entries at least one is refused by the byte.
TEST_F(EngineRestore, WrongOrMissingPasswordWritesNothing) {
    for (int32_t encryption : {ZP_ENCRYPT_TRADITIONAL, ZP_ENCRYPT_AES256}) {
        SCOPED_TRACE(encryption);
        const std::string archive = archiveOf({{"a.txt", text(5000), 0644, 1600000000},
                                               {"b.txt", text(6000), 0644, 1600000000},
                                               {"c.bin", randomBytes(7000, 1), 0644, 1600000000}},
                                              encryption);
        Reader reader(archive);
        ASSERT_EQ(reader.result, ZP_OK) << reader.problem.reason;
        int refusedByPassword = 0;
        for (const char* name : {"a.txt", "b.txt", "c.bin"}) {
            Extracted missing = reader.extract(name, nullptr);
            EXPECT_EQ(missing.result, ZP_ERR_PASSWORD);
            EXPECT_EQ(missing.reason, "Passwort fehlt");
            EXPECT_EQ(missing.entry, name);
            EXPECT_EQ(missing.writes, 0u);
            EXPECT_EQ(reader.extract(name, "").result, ZP_ERR_PASSWORD);
            EXPECT_EQ(ZpCheckPassword(reader.handle, reader.indexOf(name), nullptr),
                      ZP_ERR_PASSWORD);

            Extracted wrong = reader.extract(name, "Grüsse aus Köln");
            if (wrong.result == ZP_ERR_PASSWORD) {
                ++refusedByPassword;
                EXPECT_EQ(wrong.reason, "falsches Passwort");
                EXPECT_EQ(wrong.writes, 0u);
            } else {
                EXPECT_EQ(encryption, ZP_ENCRYPT_TRADITIONAL);
                EXPECT_EQ(wrong.result, ZP_ERR_VERIFY);
                EXPECT_NE(wrong.reason.find("falsches Passwort"), std::string::npos);
            }
            EXPECT_EQ(wrong.problems, 1);
        }
        EXPECT_GT(refusedByPassword, 0);
        if (encryption == ZP_ENCRYPT_AES256) {
            EXPECT_EQ(refusedByPassword, 3);
            EXPECT_EQ(ZpCheckPassword(reader.handle, 0, "Grüsse aus Köln"), ZP_ERR_PASSWORD);
        }
    }
}

// One changed byte in an AES entry's data: its code no longer holds, while the entries beside
// it still come back. A stop asked by write is no problem of the archive.
TEST_F(EngineRestore, ChangedAesDataFailsByItsCodeAndWriteMayStop) {
    const std::string content = text(300000);
    const std::string archive = archiveOf(
        {{"a.txt", content, 0644, 1600000000}, {"b.bin", randomBytes(90000, 2), 0644, 1600000000}},
        ZP_ENCRYPT_AES256);
    // A byte of the encrypted data, past the salt and the verification value.
    damageEntry(archive, "b.bin", 16 + 2 + 40000, 0x01);
    Reader reader(archive);
    ASSERT_EQ(reader.result, ZP_OK) << reader.problem.reason;
    EXPECT_EQ(ZpCheckPassword(reader.handle, reader.indexOf("b.bin"), kPassword), ZP_OK);
    Extracted damaged = reader.extract("b.bin", kPassword);
    EXPECT_EQ(damaged.result, ZP_ERR_VERIFY);
    EXPECT_EQ(damaged.problems, 1);
    EXPECT_EQ(damaged.entry, "b.bin");
    EXPECT_NE(damaged.reason.find("Authentifizierungscode"), std::string::npos) << damaged.reason;

    EXPECT_TRUE(reader.extract("a.txt", kPassword).data == content);

    Extracted stopped = reader.extract("b.bin", kPassword, 1);
    EXPECT_EQ(stopped.result, ZP_ERR_STOPPED);
    EXPECT_EQ(stopped.writes, 1u);
    EXPECT_EQ(stopped.problems, 0);

    Extracted badIndex;
    EXPECT_EQ(ZpExtract(reader.handle, 2, nullptr, collect, onProblem, &badIndex),
              ZP_ERR_PARAMETER);
    EXPECT_EQ(badIndex.problems, 1);
}

// What is no readable ZIP file is refused at the start with the reason in German, and no
// reader is handed out.
TEST_F(EngineRestore, OpenRefusesWhatIsNoZipFile) {
    const std::string archive = archiveOf({{"a.txt", text(5000), 0644, 1600000000}}, kPlain);
    const std::string bytes = readFile(archive);
    writeFile(path("kurz.zip"), bytes.substr(0, bytes.size() - 30));
    writeFile(path("text.zip"), "Dies ist keine ZIP-Datei.\n");
    // A zero byte in both of the name's copies.
    std::string zeroed = bytes;
    for (size_t at = zeroed.find("a.txt"); at != std::string::npos;
         at = zeroed.find("a.txt", at + 1)) {
        zeroed[at + 1] = '\0';
    }
    writeFile(path("null.zip"), zeroed);

    const std::vector<std::tuple<std::string, int32_t, std::string>> cases{
        {path("kurz.zip"), ZP_ERR_ARCHIVE_DAMAGED, "keine ZIP-Datei"},
        {path("text.zip"), ZP_ERR_ARCHIVE_DAMAGED, "keine ZIP-Datei"},
        {path("null.zip"), ZP_ERR_ARCHIVE_DAMAGED, "ZIP-Datei ist beschädigt (Name mit Nullbyte)"},
        {path("fehlt.zip"), ZP_ERR_FILE_READ,
         "kann nicht geöffnet werden: Datei oder Ordner nicht gefunden"},
        {path("d"), ZP_ERR_FILE_READ, "ist ein Ordner, keine ZIP-Datei"}};
    for (const auto& [file, result, reason] : cases) {
        Reader reader(file);
        EXPECT_EQ(reader.result, result) << file;
        EXPECT_EQ(reader.handle, nullptr) << file;
        EXPECT_EQ(reader.problem.problems, 1) << file;
        EXPECT_EQ(reader.problem.entry, file);
        EXPECT_EQ(reader.problem.reason, reason) << file;
    }
}

// A name that is not UTF-8 comes back as its bytes; a DOS entry has no mode.
TEST_F(EngineRestore, NamesAreTheirStoredBytesAndDosEntriesHaveNoMode) {
    const std::string name =
        "Gr\xfc\xdf"
        "e.txt";
    EngineCall call;
    call.root = path("d");
    call.names = {write("d/" + name, "Inhalt")};
    setMtime(call.names[0], 1600000000);
    const std::string archive = path("n.zip");
    ASSERT_EQ(runEngine(archive, call).result, ZP_OK);
    {
        Reader reader(archive);
        ASSERT_EQ(reader.result, ZP_OK) << reader.problem.reason;
        ASSERT_EQ(ZpEntryCount(reader.handle), 1);
        const ZpEntryInfo* info = ZpEntryAt(reader.handle, 0);
        EXPECT_EQ(std::string(info->name), name);
        EXPECT_EQ(reader.extract(name, nullptr).data, "Inhalt");
    }
    call.dosNames = true;
    ASSERT_EQ(runEngine(archive, call).result, ZP_OK);
    Reader reader(archive);
    ASSERT_EQ(reader.result, ZP_OK) << reader.problem.reason;
    EXPECT_EQ(ZpEntryAt(reader.handle, 0)->mode, 0u);
    EXPECT_EQ(ZpEntryAt(reader.handle, 0)->mtime, 1600000000);
}

// An archive from another writer (Python's zipfile): no extended time, so the DOS time read as
// local time; its mode as that writer set it; the data comes back.
TEST_F(EngineRestore, ForeignArchiveReadsWithItsDosTime) {
    const std::string archive = path("fremd.zip");
    makeArchiveWith(archive, "notiz.txt", "von woanders");
    Reader reader(archive);
    ASSERT_EQ(reader.result, ZP_OK) << reader.problem.reason;
    const ZpEntryInfo& info = reader.info("notiz.txt");
    Listing listing = readWithPython(archive);
    ASSERT_TRUE(listing.ok) << listing.error;
    std::tm parts{};
    ASSERT_NE(strptime(listing.entries.at(0).dosTime.c_str(), "%Y-%m-%d %H:%M:%S", &parts),
              nullptr);
    parts.tm_isdst = -1;
    EXPECT_EQ(info.mtime, static_cast<int64_t>(std::mktime(&parts)));
    EXPECT_EQ(info.mode, 0600u);
    EXPECT_EQ(info.encryption, -1);
    EXPECT_EQ(reader.extract("notiz.txt", nullptr).data, "von woanders");
}

// Two threads extract every entry of one reader at once, each its own way round; both get every
// entry whole.
TEST_F(EngineRestore, TwoThreadsExtractFromOneReaderAtOnce) {
    std::vector<File> files;
    for (int i = 0; i < 24; ++i) {
        files.push_back({"f" + std::to_string(i),
                         i % 3 == 0 ? randomBytes(20000 + 5000 * i, i) : text(30000 + 7000 * i),
                         0644, 1600000000});
    }
    files.push_back({"gross", text(1500000), 0644, 1600000000});
    const std::string archive = archiveOf(files, ZP_ENCRYPT_AES256);
    Reader reader(archive);
    ASSERT_EQ(reader.result, ZP_OK) << reader.problem.reason;
    const int64_t count = ZpEntryCount(reader.handle);
    std::vector<Extracted> first(static_cast<size_t>(count));
    std::vector<Extracted> second(static_cast<size_t>(count));
    const auto run = [&](std::vector<Extracted>& into, bool backwards) {
        for (int64_t i = 0; i < count; ++i) {
            const int64_t index = backwards ? count - 1 - i : i;
            Extracted& out = into[static_cast<size_t>(index)];
            out.result = ZpExtract(reader.handle, index, kPassword, collect, onProblem, &out);
        }
    };
    std::thread other(run, std::ref(second), true);
    run(first, false);
    other.join();
    for (const File& file : files) {
        const auto index = static_cast<size_t>(reader.indexOf(file.name));
        for (const Extracted* out : {&first[index], &second[index]}) {
            EXPECT_EQ(out->result, ZP_OK) << file.name << ": " << out->reason;
            EXPECT_TRUE(out->data == file.content) << file.name;
        }
    }
}

}  // namespace
