#pragma once
// Helpers of the engine's tests: a fresh folder per test, runs of the engine through its C
// interface with recorded callbacks, runs of outside programs, and Python's view of an archive.

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

// Flips one byte in the stored data of an entry (found by its local header), as a disk might.
void damageEntry(const std::string& archive, const std::string& entryName);

}  // namespace enginetest
