// CZIP over the real engine libzip32.so, found beside libTv_ZIP.so as in an installation; the
// archives are checked with unzip, zipinfo and Python's zipfile.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>

#include "tests/zipcomponent/ComponentTestSupport.h"
#include "zipcomponent/CZIP.h"
#include "zipcomponent/modZIP.h"

using componenttest::EventRecorder;
using componenttest::run;
using componenttest::shellQuoted;
using componenttest::TempDir;

namespace {

// Prints the archive's names, one a line, and fails unless every entry equals its file under
// the root folder.
constexpr const char* kPythonCheck = R"(
import sys, zipfile
archive, root = sys.argv[1], sys.argv[2]
pwd = sys.argv[3].encode() if len(sys.argv) > 3 else None
with zipfile.ZipFile(archive) as zf:
    for info in zf.infolist():
        with open(root + info.filename, 'rb') as f:
            if zf.read(info, pwd=pwd) != f.read():
                sys.exit('content differs: ' + info.filename)
        print(info.filename)
)";

class ComponentRealEngineTest : public ::testing::Test {
protected:
    void SetUp() override {
        modZIP::SetEngineFileForTesting(std::string());
        root = dir.path().string() + "/quelle/";
        archive = (dir.path() / "ziel" / "backup.zip").string();
        std::filesystem::create_directories(dir.path() / "quelle" / "unter ordner");
        std::filesystem::create_directories(dir.path() / "ziel");
        write("eins.txt", "Eine Zeile Text.\n");
        std::string binary(200000, '\0');
        std::mt19937 random(4711);
        for (char& c : binary) {
            c = static_cast<char>(random() & 0xFF);
        }
        write("zwei.bin", binary);
        write("unter ordner/Grüße aus Köln.txt", std::string(5000, 'a') + "ÄÖÜß\n");
        write("leer.txt", "");
        names = {"eins.txt", "zwei.bin", "unter ordner/Grüße aus Köln.txt", "leer.txt"};
    }

    void write(const std::string& sName, const std::string& sContent) {
        std::ofstream(root + sName, std::ios::binary) << sContent;
    }

    void configure(CZIP& zip) {
        zip.SetZIPFilePath(archive);
        zip.SetZIPRootPath(root);
        zip.SetZIPComment("");
        zip.SetZIPPassword("");
        for (const auto& name : names) {
            zip.AddFile(root + name);
        }
    }

    std::vector<std::string> pythonNames(const std::string& sPassword = std::string()) {
        std::string sCommand = "python3 -c " + shellQuoted(kPythonCheck) + " " +
                               shellQuoted(archive) + " " + shellQuoted(root);
        if (!sPassword.empty()) {
            sCommand += " " + shellQuoted(sPassword);
        }
        const auto result = run(sCommand);
        EXPECT_EQ(result.exitCode, 0) << result.output;
        std::vector<std::string> lines;
        std::istringstream stream(result.output);
        for (std::string line; std::getline(stream, line);) {
            lines.push_back(line);
        }
        return lines;
    }

    TempDir dir;
    std::string root;
    std::string archive;
    std::vector<std::string> names;
};

TEST_F(ComponentRealEngineTest, WritesAnArchiveThatClientsAcceptWithOneEventPerFile) {
    CZIP zip;
    configure(zip);
    EventRecorder events;
    zip.SetEventListener(&events);

    ASSERT_EQ(zip.DoZip(), 0) << "engine messages: " << zip.Messages()->Count();
    ASSERT_TRUE(std::filesystem::exists(archive));

    const auto test = run("unzip -t " + shellQuoted(archive));
    EXPECT_EQ(test.exitCode, 0) << test.output;
    EXPECT_EQ(pythonNames(), names);

    ASSERT_EQ(events.names.size(), names.size());
    for (size_t i = 0; i < names.size(); ++i) {
        EXPECT_TRUE(events.names[i].ends_with(names[i])) << events.names[i];
    }
    EXPECT_EQ(modZIP::EngineState().ZIPEventSource, nullptr);
}

TEST_F(ComponentRealEngineTest, AppliesCommentAndPassword) {
    const std::string sComment = "tägliches Backup von 07.12.2025 05:39";
    CZIP zip;
    configure(zip);
    zip.SetZIPComment(sComment);
    zip.SetZIPPassword("geheim");
    zip.SetSuppressEvents(true);
    EventRecorder events;
    zip.SetEventListener(&events);

    ASSERT_EQ(zip.DoZip(), 0);
    EXPECT_TRUE(events.names.empty());

    const auto comment = run("zipinfo -z " + shellQuoted(archive));
    EXPECT_NE(comment.output.find(sComment), std::string::npos) << comment.output;

    const auto withPassword = run("unzip -P geheim -p " + shellQuoted(archive) + " eins.txt");
    EXPECT_EQ(withPassword.exitCode, 0);
    EXPECT_EQ(withPassword.output, "Eine Zeile Text.\n");
    const auto wrongPassword = run("unzip -P falsch -p " + shellQuoted(archive) + " zwei.bin");
    EXPECT_NE(wrongPassword.exitCode, 0);
    const auto test = run("unzip -P geheim -t " + shellQuoted(archive));
    EXPECT_EQ(test.exitCode, 0) << test.output;
    EXPECT_EQ(pythonNames("geheim"), names);
}

// Under AES-256 the archive is AES-256 in 7-Zip's listing and opens there with the password,
// umlauts included; the check reads it, until the password is forgotten.
TEST_F(ComponentRealEngineTest, AesArchiveOpensIn7ZipAndIsCheckedUntilThePasswordIsForgotten) {
    const std::string sPassword = "Grüße aus Köln";
    CZIP zip;
    configure(zip);
    zip.SetZIPPassword(sPassword);
    zip.SetZIPEncryption(ZIPEncryptionMethod::AES256);
    ASSERT_EQ(zip.DoZip(), 0);

    const std::string sSevenZip = "\"$(command -v 7z || command -v 7zz)\"";
    const auto listing =
        run(sSevenZip + " l -slt " + shellQuoted(archive) + " | grep '^Method = '");
    EXPECT_EQ(listing.output,
              "Method = AES-256 Store\nMethod = AES-256 Store\n"
              "Method = AES-256 Deflate\nMethod = AES-256 Store\n");
    const auto tested =
        run(sSevenZip + " t -p" + shellQuoted(sPassword) + " " + shellQuoted(archive));
    EXPECT_EQ(tested.exitCode, 0) << tested.output;
    ZIPVerifyProblem problem;
    EXPECT_EQ(zip.VerifyZIP(&problem), 0) << problem.sEntry << ": " << problem.sReason;

    CZIP::ForgetPassword();
    EXPECT_EQ(zip.ZIPPassword(), "");
    EXPECT_EQ(zip.VerifyZIP(&problem), ZP_ERR_VERIFY);
    EXPECT_EQ(problem.sReason, "Passwort nicht mehr bekannt");
}

// The check reads back what DoZip wrote, reporting its progress; an archive that is no longer
// one fails it, named with its reason.
TEST_F(ComponentRealEngineTest, VerifyChecksWhatDoZipWrote) {
    CZIP zip;
    configure(zip);
    zip.SetZIPPassword("geheim");
    EventRecorder events;
    zip.SetEventListener(&events);
    ASSERT_EQ(zip.DoZip(), 0);
    ZIPVerifyProblem problem;
    EXPECT_EQ(zip.VerifyZIP(&problem), 0) << problem.sEntry << ": " << problem.sReason;
    ASSERT_FALSE(events.verified.empty());
    EXPECT_EQ(events.verified.back(), std::make_pair(4, 4));

    std::ofstream(archive, std::ios::trunc) << "kein Archiv";
    zip.SetSuppressEvents(true);
    events.verified.clear();
    EXPECT_EQ(zip.VerifyZIP(&problem), ZP_ERR_VERIFY);
    EXPECT_EQ(problem.sEntry, archive);
    EXPECT_EQ(problem.sReason, "keine ZIP-Datei");
    EXPECT_TRUE(events.verified.empty());
}

// Names, the archive's path and the comment are bytes: those that are no UTF-8 reach the disk
// unchanged, and the check finds the archive by the same bytes.
TEST_F(ComponentRealEngineTest, BytesThatAreNoUtf8ReachTheDiskUnchanged) {
    const std::string folder = (dir.path() / "ziel\xe9").string();
    std::filesystem::create_directories(folder);
    archive = folder + "/caf\xe9.zip";
    write("gr\xfc\xdf.txt", "Inhalt");
    CZIP zip;
    configure(zip);
    zip.AddFile(root + "gr\xfc\xdf.txt");
    zip.SetZIPComment("Woche \xe9");
    ASSERT_EQ(zip.DoZip(), 0);
    ZIPVerifyProblem problem;
    EXPECT_EQ(zip.VerifyZIP(&problem), 0) << problem.sEntry << ": " << problem.sReason;

    const auto python = run(
        "python3 -c " +
        shellQuoted("import sys, zipfile\n"
                    "z = zipfile.ZipFile(sys.argv[1])\n"
                    "print(z.comment.hex(), z.infolist()[-1].filename.encode('cp437').hex())\n") +
        " " + shellQuoted(archive));
    EXPECT_EQ(python.exitCode, 0) << python.output;
    const auto hex = [](const std::string& bytes) {
        std::ostringstream out;
        for (const unsigned char c : bytes) {
            out << std::hex << (c >> 4) << (c & 0xF);
        }
        return out.str();
    };
    EXPECT_EQ(python.output, hex("Woche \xe9") + " " + hex("gr\xfc\xdf.txt") + "\n");
    const auto test = run("unzip -tq " + shellQuoted(archive));
    EXPECT_EQ(test.exitCode, 0) << test.output;
}

TEST_F(ComponentRealEngineTest, MissingFileGivesAnErrorAndAMessage) {
    CZIP zip;
    configure(zip);
    zip.AddFile(root + "fehlt.txt");
    EXPECT_NE(zip.DoZip(), 0);
    const auto messages = zip.Messages();
    bool bNamed = false;
    for (const auto& message : messages->Items()) {
        bNamed = bNamed || message.find("fehlt.txt") != std::string::npos;
    }
    EXPECT_TRUE(bNamed) << "no message names the missing file";
}

}  // namespace
