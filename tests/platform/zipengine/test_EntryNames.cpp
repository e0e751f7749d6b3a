// Stored names, checked without writing an archive.
#include <gtest/gtest.h>

#include "platform/zipengine/EntryNames.h"

using namespace zip32;

TEST(EngineNames, StoredRelativeToTheRootFolder) {
    EXPECT_EQ(entryNameFor("/home/anna/Briefe/a.txt", std::string("/home/anna")), "Briefe/a.txt");
    EXPECT_EQ(entryNameFor("/home/anna/a.txt", std::string("/home/anna/")), "a.txt");
    EXPECT_EQ(entryNameFor("/home/anna/a.txt", std::string("/home/./anna//")), "a.txt");
    // A root is a folder, not a text prefix of the name.
    EXPECT_EQ(entryNameFor("/home/annabel/a.txt", std::string("/home/anna")), "home/annabel/a.txt");
}

TEST(EngineNames, OutsideTheRootOrWithoutOneTheLeadingSlashGoes) {
    EXPECT_EQ(entryNameFor("/etc/hosts", std::string("/home/anna")), "etc/hosts");
    EXPECT_EQ(entryNameFor("/etc/hosts", std::string("/")), "etc/hosts");
    EXPECT_EQ(entryNameFor("/etc/hosts", std::nullopt), "etc/hosts");
    EXPECT_EQ(entryNameFor("/etc/hosts", std::string("c:\\")), "etc/hosts");
    EXPECT_EQ(entryNameFor("/etc/hosts", std::string("")), "etc/hosts");
}

TEST(EngineNames, NamesNeverClimbOutOfTheArchive) {
    EXPECT_EQ(entryNameFor("/home/anna/../../etc/./hosts", std::string("/home/anna")), "etc/hosts");
    EXPECT_EQ(entryNameFor("../../x/y", std::nullopt), "x/y");
    EXPECT_EQ(normalizePath("/.."), "/");
    EXPECT_EQ(normalizePath("a//b/./c/.."), "a/b");
}

TEST(EngineNames, RelativeNamesLieBelowAnAbsoluteRoot) {
    EXPECT_EQ(openPathFor("Briefe/a.txt", std::string("/home/anna")), "/home/anna/Briefe/a.txt");
    EXPECT_EQ(openPathFor("a.txt", std::string("/")), "/a.txt");
    EXPECT_EQ(openPathFor("/abs/a.txt", std::string("/home/anna")), "/abs/a.txt");
    EXPECT_EQ(openPathFor("a.txt", std::string("c:\\")), "a.txt");
    EXPECT_EQ(openPathFor("a.txt", std::nullopt), "a.txt");
}

TEST(EngineNames, DosNamesAreEightDotThreeInUpperCase) {
    EXPECT_EQ(dosEntryName("Briefe/Langer Dateiname.text"), "BRIEFE/LANGER_D.TEX");
    EXPECT_EQ(dosEntryName("archiv.tar.gz"), "ARCHIV_T.GZ");
    EXPECT_EQ(dosEntryName(".bashrc"), "BASHRC");
    EXPECT_EQ(dosEntryName("Übersicht.pdf"), "_BERSICH.PDF");
    EXPECT_EQ(dosEntryName("a+b=c;d.t[x]"), "A_B_C_D.T_X");
    EXPECT_EQ(dosEntryName("..."), "_");
}

TEST(EngineNames, RepeatedDosNamesGetANumberedTail) {
    DosNameTable table;
    EXPECT_EQ(table.unique("BRIEFE/LANGER_D.TEX"), "BRIEFE/LANGER_D.TEX");
    EXPECT_EQ(table.unique("BRIEFE/LANGER_D.TEX"), "BRIEFE/LANGER~1.TEX");
    EXPECT_EQ(table.unique("BRIEFE/LANGER_D.TEX"), "BRIEFE/LANGER~2.TEX");
    EXPECT_EQ(table.unique("AB"), "AB");
    EXPECT_EQ(table.unique("AB"), "AB~1");
    EXPECT_EQ(table.unique("OTHER/LANGER_D.TEX"), "OTHER/LANGER_D.TEX");
}
