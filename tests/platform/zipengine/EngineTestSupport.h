#pragma once
// Helpers of the engine's tests: a fresh folder per test, the fixtures that several test files
// share, runs of the engine through its C interface with recorded callbacks, runs of outside
// programs, Python's view of an archive and the engine's own check of it.

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/zipengine/zip32.h"

namespace enginetest {

// A folder of its own for each test, with XDG_CONFIG_HOME, XDG_STATE_HOME and HOME inside it.
class EngineTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    std::string path(const std::string& relative) const { return dir_ + "/" + relative; }
    // Writes a file (folders made as needed) and returns its full path.
    std::string write(const std::string& relative, const std::string& content);
    // The files of a folder that are neither the archive nor in the given list: leftovers.
    std::vector<std::string> filesIn(const std::string& folder) const;

    std::string dir_;
};

struct EngineCall {
    std::vector<std::string> names;
    std::optional<std::string> root;
    char level = '9';
    bool quiet = false;
    bool verbose = false;
    bool grow = false;
    bool update = false;
    bool dosNames = false;
    std::optional<std::string> password;          // encrypt, and answer with it
    int32_t encryption = ZP_ENCRYPT_TRADITIONAL;  // handed to ZpSetEncryption
    std::optional<std::string> comment;           // comment flag, and answer with it
    int stopAtService = 0;                        // the n-th service call answers "stop"
    std::function<void(int)> atService;           // called with the count of each service call
    std::function<void(ZpOptions&)> moreOptions;  // sets further fields of the record
};

struct EngineRun {
    int32_t result = -1;
    std::vector<std::string> prints;
    std::vector<std::pair<std::string, int32_t>> services;
    int passwordAsks = 0;
    int commentAsks = 0;
    int32_t encryptionSupported = 0;

    std::string printed() const;
    std::vector<std::string> serviceNames() const;
};

// ZpInit, ZpSetOptions and ZpArchive in the order a client makes them.
EngineRun runEngine(const std::string& archive, const EngineCall& call);

struct Command {
    int status = -1;     // exit status, or -1 when it did not end normally
    std::string output;  // standard output and error together
};

// Runs a program with its arguments; fileSizeLimit caps the size of files it writes (bytes).
Command runCommand(const std::vector<std::string>& argv,
                   std::optional<uint64_t> fileSizeLimit = std::nullopt,
                   const std::string& input = std::string());

std::string sevenZip();  // "7z" or "7zz", whichever is installed

// 7-Zip's technical listing: each entry's "Method" ("AES-256 Deflate", "ZipCrypto Store"...).
std::vector<std::pair<std::string, std::string>> sevenZipMethods(const std::string& archive);

struct Entry {
    std::string name;
    int flags = 0;
    int method = 0;
    uint64_t size = 0;
    std::optional<int64_t> extendedTime;
    int createSystem = 0;
    std::string dosTime;          // "yyyy-mm-dd hh:mm:ss" as Python's zipfile reads it
    uint64_t compressedSize = 0;  // with the encryption header, if any
    std::string rawName;          // the name's bytes as stored
};

struct Listing {
    bool ok = false;
    std::string error;
    std::string comment;
    std::string commentHex;
    std::vector<Entry> entries;
    const Entry* find(const std::string& name) const;
    std::vector<std::string> rawNames() const;
};

// Python's zipfile reads every entry (checking its CRC) and, when asked, extracts all.
Listing readWithPython(const std::string& archive, const std::optional<std::string>& password = {},
                       const std::optional<std::string>& extractTo = {});

std::string readFile(const std::string& path);
void writeFile(const std::string& path, const std::string& content);
bool exists(const std::string& path);
void setMtime(const std::string& path, int64_t seconds);
std::string randomBytes(size_t size, uint32_t seed);
std::string text(size_t size);  // compressible text

// Changes one byte in the stored data of an entry (found by its local header), as a disk might:
// by default past the 12-byte encryption header, if there is one.
void damageEntry(const std::string& archive, const std::string& entryName, size_t into = 12,
                 char mask = 0x20);

// General purpose flag bits of a ZIP entry.
constexpr int kUtf8Flag = 0x800;
constexpr int kEncryptedFlag = 0x1;

// Runs that write archives; the thread's tuning is reset after each test.
class EngineArchive : public EngineTest {
protected:
    void TearDown() override;

    // Extracts with Python and compares every listed file with its entry, byte for byte.
    void expectContents(const std::string& archive,
                        const std::vector<std::pair<std::string, std::string>>& entryAndFile,
                        const std::optional<std::string>& password = {});
    // The same through unzip and 7-Zip, which extract every entry too.
    void expectInEveryClient(const std::string& archive,
                             const std::vector<std::pair<std::string, std::string>>& entryAndFile,
                             const std::optional<std::string>& password = {});
    // Big files in blocks of blockSize, all files above wholeAtMost.
    static void cutAbove(uint64_t wholeAtMost, uint64_t blockSize);
};

// Runs into the folder "out", whose archive is out/backup.zip; the thread's tuning is reset after
// each test.
class EngineBadInput : public EngineTest {
protected:
    void SetUp() override;
    void TearDown() override;

    std::vector<std::string> leftovers() const { return filesIn(path("out")); }

    static inline const std::vector<std::string> kNothing;
    static inline const std::vector<std::string> kOnlyTheArchive{"backup.zip"};
    std::string archive_;
};

// An archive made elsewhere (by Python's zipfile) with one entry.
void makeArchiveWith(const std::string& archive, const std::string& entry,
                     const std::string& content);

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

int32_t check(const std::string& archive, CheckLog& log);

// The engine's own check of what this thread's runs wrote into archive finds nothing wrong.
void expectCheckPasses(const std::string& archive);

}  // namespace enginetest
