// The command line: rebuilding it from the shell's arguments, splitting it into paths, and the
// leading-number reader that counts and level fields share.

#include <gtest/gtest.h>

#include "app/LeadingNumber.h"
#include "app/Main.h"

using modBackup::BuildCommandLine;
using modBackup::TokenizeCommandLine;

TEST(Tokenizer, QuotedPathWithBlanksThenUnquotedPath) {
    EXPECT_EQ(TokenizeCommandLine(R"("/home/u/My Files/a b.txt" /tmp/c.txt)"),
              QStringList({"/home/u/My Files/a b.txt", "/tmp/c.txt"}));
}

TEST(Tokenizer, UnquotedBlanksSplitThePath) {
    EXPECT_EQ(TokenizeCommandLine("/home/u/My Files/a b.txt"),
              QStringList({"/home/u/My", "Files/a", "b.txt"}));
}

TEST(Tokenizer, QuoteInsideUnquotedTokenIsRemoved) {
    EXPECT_EQ(TokenizeCommandLine(R"(/tmp/a"b.txt /x)"), QStringList({"/tmp/ab.txt", "/x"}));
    // A quote in mid-token does not start a quoted token: the blank still ends it.
    EXPECT_EQ(TokenizeCommandLine(R"(a"b c"d)"), QStringList({"ab", "cd"}));
}

TEST(Tokenizer, MissingClosingQuoteTakesTheRestOfTheLine) {
    EXPECT_EQ(TokenizeCommandLine(R"(/a "/b c /d)"), QStringList({"/a", "/b c /d"}));
}

TEST(Tokenizer, OnlyBlanksSeparateAndAreTrimmed) {
    EXPECT_EQ(TokenizeCommandLine("a\tb  c"), QStringList({"a\tb", "c"}));
    EXPECT_EQ(TokenizeCommandLine("\tx\t"), QStringList({"\tx\t"}));
    // Trimming comes before the quotes are removed, so blanks inside quotes survive.
    EXPECT_EQ(TokenizeCommandLine(R"(" a b " c)"), QStringList({" a b ", "c"}));
}

TEST(Tokenizer, LeadingBlankGivesAnEmptyFirstToken) {
    // The rest is trimmed only after a token was cut, so a line that starts with a blank yields
    // an empty token first.
    EXPECT_EQ(TokenizeCommandLine(" a"), QStringList({"", "a"}));
    EXPECT_EQ(TokenizeCommandLine(R"("")"), QStringList({""}));
    EXPECT_EQ(TokenizeCommandLine(R"(a "" b)"), QStringList({"a", "", "b"}));
}

TEST(Tokenizer, QuotedTokenEndsAtNextQuoteEvenWithoutBlank) {
    EXPECT_EQ(TokenizeCommandLine(R"("a b"c d)"), QStringList({"a b", "c", "d"}));
    EXPECT_TRUE(TokenizeCommandLine("").isEmpty());
}

TEST(CommandLine, ArgumentsWithBlanksAreQuoted) {
    EXPECT_EQ(BuildCommandLine({"/a b/c", "/d", "ü ö"}), R"("/a b/c" /d "ü ö")");
    EXPECT_EQ(BuildCommandLine({}), "");
    EXPECT_EQ(BuildCommandLine({""}), "");
}

TEST(CommandLine, EachArgumentWithoutQuoteArrivesAsOnePath) {
    const QStringList args = {"/home/u/My Files/a b.txt", "/tmp/x", "/tmp/tab\there",
                              "/tmp/ümlaut €"};
    EXPECT_EQ(TokenizeCommandLine(BuildCommandLine(args)), args);
}

TEST(LeadingNumber, ReadsTheNumberAtTheStart) {
    EXPECT_EQ(LeadingNumber(u"5"), 5);
    EXPECT_EQ(LeadingNumber(u"   12abc"), 12);
    EXPECT_EQ(LeadingNumber(u"-1"), -1);
    EXPECT_EQ(LeadingNumber(u"+3"), 3);
    EXPECT_EQ(LeadingNumber(u"abc"), 0);
    EXPECT_EQ(LeadingNumber(u""), 0);
    EXPECT_EQ(LeadingNumber(u" "), 0);
    EXPECT_EQ(LeadingNumber(u"-"), 0);
    EXPECT_EQ(LeadingNumber(u"\t5"), 0);  // only blanks are skipped
    EXPECT_EQ(LeadingNumber(u"1,7"), 1);
}

TEST(LeadingNumber, RoundsHalvesToEven) {
    EXPECT_EQ(LeadingNumber(u"0.5"), 0);
    EXPECT_EQ(LeadingNumber(u"1.5"), 2);
    EXPECT_EQ(LeadingNumber(u"2.5"), 2);
    EXPECT_EQ(LeadingNumber(u"2.50001"), 3);
    EXPECT_EQ(LeadingNumber(u"0.6"), 1);
    EXPECT_EQ(LeadingNumber(u"0.49999"), 0);
    EXPECT_EQ(LeadingNumber(u"-2.5"), -2);
    EXPECT_EQ(LeadingNumber(u"-0.6"), -1);
    EXPECT_EQ(LeadingNumber(u".5"), 0);
    EXPECT_EQ(LeadingNumber(u"3."), 3);
}

TEST(LeadingNumber, ClampsToThirtyTwoBits) {
    EXPECT_EQ(LeadingNumber(u"99999999999999999999"), 2147483647);
    EXPECT_EQ(LeadingNumber(u"-99999999999999999999"), -2147483647 - 1);
    EXPECT_EQ(LeadingNumber(u"2147483646.5"), 2147483646);
}
