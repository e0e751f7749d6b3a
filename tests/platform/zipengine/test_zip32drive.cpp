// The engine as a client sees it: the shared library's exports, and runs of zip32drive, which uses
// nothing but the C interface.
#include <algorithm>
#include <filesystem>
#include <sstream>

#include "tests/platform/zipengine/EngineTestSupport.h"

using namespace enginetest;

namespace {

class EngineDriver : public EngineTest {};

std::vector<std::string> linesStartingWith(const std::string& output, const std::string& prefix) {
    std::vector<std::string> lines;
    std::istringstream in(output);
    for (std::string line; std::getline(in, line);) {
        if (line.compare(0, prefix.size(), prefix) == 0) {
            lines.push_back(line.substr(prefix.size()));
        }
    }
    return lines;
}

TEST_F(EngineDriver, LibraryExportsOnlyItsEntryPoints) {
    Command symbols = runCommand({"nm", "-D", "--defined-only", ZIP32_LIBRARY});
    ASSERT_EQ(symbols.status, 0) << symbols.output;
    std::vector<std::string> functions;
    std::istringstream in(symbols.output);
    for (std::string address, type, name; in >> address >> type >> name;) {
        if (type == "T") {
            functions.push_back(name);
        }
    }
    std::sort(functions.begin(), functions.end());
    EXPECT_EQ(functions, (std::vector<std::string>{"ZpArchive", "ZpCheckPassword", "ZpCloseReader",
                                                   "ZpEntryAt", "ZpEntryCount", "ZpExtract",
                                                   "ZpForgetPasswords", "ZpInit", "ZpOpenReader",
                                                   "ZpSetEncryption", "ZpSetOptions", "ZpVerify"}));
}

TEST_F(EngineDriver, PrintsTheCallbacksOfARunWithNamesFromStandardInput) {
    std::string a = write("d/eins.txt", text(3000));
    std::string b = write("d/zwei mit Blank.txt", "zwei");
    std::string archive = path("t.zip");
    Command run =
        runCommand({ZIP32DRIVE, "-t", "-P", "pw", "-c", "Notiz", "-r", path("d"), archive}, {},
                   a + "\n" + path("d/fehlt") + "\n" + b + "\n");
    EXPECT_EQ(run.status, ZP_ERR_FILE_READ) << run.output;
    EXPECT_EQ(linesStartingWith(run.output, "service: "),
              (std::vector<std::string>{a + " 3000", b + " 4"}));
    EXPECT_EQ(linesStartingWith(run.output, "password asked: ").size(), 1u);
    EXPECT_EQ(linesStartingWith(run.output, "comment asked").size(), 1u);
    EXPECT_EQ(linesStartingWith(run.output, "result: "), std::vector<std::string>{"2"});
    EXPECT_EQ(linesStartingWith(run.output, "checked: "), std::vector<std::string>{"2"});
    EXPECT_EQ(linesStartingWith(run.output, "check: "), std::vector<std::string>{"0"});
    Command test = runCommand({"unzip", "-t", "-P", "pw", archive});
    EXPECT_EQ(test.status, 0) << test.output;
}

// A write that fails half-way, as on a full disk: the file-size limit makes the temporary file's
// writes fail with EFBIG.
TEST_F(EngineDriver, WriteFailingHalfWayLeavesNoArchiveAndKeepsAnOldOne) {
    std::filesystem::create_directory(path("out"));
    std::string archive = path("out/voll.zip");
    std::string small = write("klein.txt", "klein");
    std::string big = write("gross.bin", randomBytes(400000, 9));
    const uint64_t limit = 100000;

    Command fresh = runCommand({ZIP32DRIVE, archive, small, big}, limit);
    EXPECT_EQ(fresh.status, ZP_ERR_ARCHIVE_WRITE) << fresh.output;
    EXPECT_NE(fresh.output.find("Datei zu groß"), std::string::npos) << fresh.output;
    EXPECT_TRUE(filesIn(path("out")).empty());

    ASSERT_EQ(runCommand({ZIP32DRIVE, archive, small}).status, ZP_OK);
    std::string before = readFile(archive);
    Command grow = runCommand({ZIP32DRIVE, "-g", archive, big}, limit);
    EXPECT_EQ(grow.status, ZP_ERR_ARCHIVE_WRITE) << grow.output;
    EXPECT_TRUE(readFile(archive) == before);
    EXPECT_EQ(filesIn(path("out")), std::vector<std::string>{"voll.zip"});
}

}  // namespace
