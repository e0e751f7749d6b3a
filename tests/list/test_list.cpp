#include <gtest/gtest.h>

#include <QByteArray>
#include <QStringList>
#include <QTemporaryDir>
#include <algorithm>
#include <deque>
#include <functional>
#include <random>
#include <regex>
#include <string>
#include <vector>

#include "list/CListString.h"
#include "list/Wildcard.h"

// Reads the slot store, which the public interface hides.
struct CListStringInspector {
    static int32_t upperBound(const CListString& l) {
        return static_cast<int32_t>(l.aNodes.size()) - 1;
    }
    static int32_t currentSlot(const CListString& l) { return l.lCurrent; }
    static std::deque<int32_t> freeSlots(const CListString& l) { return l.colFreeSlots; }
    static int32_t firstSlot(const CListString& l) { return l.aNodes[0].lNext; }
    static int32_t lastSlot(const CListString& l) { return l.aNodes[0].lPrev; }

    // Checks every invariant of the store; returns a description of the first broken one.
    static std::string brokenInvariant(const CListString& l) {
        const auto& nodes = l.aNodes;
        const int32_t upper = upperBound(l);
        if (!nodes[0].sKey.isEmpty() || !nodes[0].sData.isEmpty()) {
            return "sentinel holds text";
        }
        std::vector<int> seen(nodes.size(), 0);
        QHash<QString, int32_t> values;
        QHash<QString, int32_t> keys;
        int32_t count = 0;
        int32_t prev = 0;
        for (int32_t s = nodes[0].lNext; s != 0; s = nodes[s].lNext) {
            if (s < 0 || s > upper || seen[s]++ != 0) {
                return "chain leaves the store or loops";
            }
            if (nodes[s].lPrev != prev) {
                return "lPrev of slot " + std::to_string(s) + " is wrong";
            }
            ++values[nodes[s].sData];
            ++keys[nodes[s].sKey];
            prev = s;
            ++count;
        }
        if (nodes[0].lPrev != prev) {
            return "sentinel's lPrev is not the last element";
        }
        if (count != l.lCount) {
            return "lCount differs from the chain";
        }
        for (int32_t s : l.colFreeSlots) {
            if (s < 1 || s > upper || seen[s]++ != 0) {
                return "free slot " + std::to_string(s) + " linked or queued twice";
            }
            const auto& n = nodes[s];
            if (n.lPrev != 0 || n.lNext != 0 || !n.sKey.isEmpty() || !n.sData.isEmpty()) {
                return "free slot " + std::to_string(s) + " is not clean";
            }
        }
        for (int32_t s = 1; s <= upper; ++s) {
            if (seen[s] != 1) {
                return "slot " + std::to_string(s) + " neither linked nor free";
            }
        }
        if (values != l.valueCounts_ || keys != l.keyCounts_) {
            return "value or key counts differ from the store";
        }
        if (l.lCurrent != 0 &&
            (l.lCurrent > upper || seen[l.lCurrent] != 1 ||
             std::count(l.colFreeSlots.begin(), l.colFreeSlots.end(), l.lCurrent) != 0)) {
            return "cursor is not on an element";
        }
        return {};
    }
};

namespace {

using Inspect = CListStringInspector;

void expectListError(const std::function<void()>& f) {
    try {
        f();
        ADD_FAILURE() << "no error raised";
    } catch (const RuntimeError& e) {
        EXPECT_EQ(e.number(), 9);
        EXPECT_EQ(e.source(), "LinkedList");
        EXPECT_EQ(e.description(), "Out of list");
    }
}

void expectBareError9(const std::function<void()>& f) {
    try {
        f();
        ADD_FAILURE() << "no error raised";
    } catch (const RuntimeError& e) {
        EXPECT_EQ(e.number(), 9);
        EXPECT_EQ(e.source(), "");
        EXPECT_EQ(e.description(), "");
    }
}

QStringList values(const CListString& l) {
    QStringList out;
    for (int32_t i = 1; i <= l.Count(); ++i) {
        out << l.Item(i);
    }
    return out;
}

// Keys in chain order; moves the cursor.
QStringList keys(CListString& l) {
    QStringList out;
    for (int32_t i = 1; i <= l.Count(); ++i) {
        l.Move(i);
        out << l.Key();
    }
    return out;
}

// Values the cursor visits under the current filter, forwards.
QStringList walk(CListString& l) {
    QStringList out;
    for (l.MoveFirst(); !l.EOL(); l.MoveNext()) {
        out << l.Data();
    }
    return out;
}

CListString listOf(const QStringList& vals, const QStringList& ks = {}) {
    CListString l;
    for (qsizetype i = 0; i < vals.size(); ++i) {
        l.Add(vals[i], i < ks.size() ? ks[i] : QString());
    }
    return l;
}

// ---------------------------------------------------------------------------------------------
// Wildcard matcher

bool wm(const QString& text, const QString& pattern) {
    return WildcardMatch(text, pattern);
}

TEST(Wildcard, LiteralsAreWholeAndCaseSensitive) {
    EXPECT_TRUE(wm("abc", "abc"));
    EXPECT_FALSE(wm("abd", "abc"));
    EXPECT_FALSE(wm("ab", "abc"));
    EXPECT_FALSE(wm("abcd", "abc"));
    EXPECT_FALSE(wm("xabc", "abc"));
    EXPECT_FALSE(wm("ABC", "abc"));
    EXPECT_TRUE(wm("!a]", "!a]"));  // "!" and "]" outside a group are plain
    EXPECT_TRUE(wm("ä", "ä"));
    EXPECT_FALSE(wm("Ä", "ä"));
}

TEST(Wildcard, QuestionMarkIsExactlyOneUnit) {
    EXPECT_TRUE(wm("abc", "a?c"));
    EXPECT_TRUE(wm("a c", "a?c"));
    EXPECT_FALSE(wm("ac", "a?c"));
    EXPECT_FALSE(wm("abbc", "a?c"));
    EXPECT_FALSE(wm("", "?"));
    EXPECT_TRUE(wm("TAP", "T?P"));
    EXPECT_TRUE(wm("TOP", "T?P"));
    // One UTF-16 unit: a character outside the BMP needs two.
    const QString clef = QString::fromUcs4(U"\U0001D11E");
    EXPECT_FALSE(wm(clef, "?"));
    EXPECT_TRUE(wm(clef, "??"));
}

TEST(Wildcard, StarMatchesAnyRunIncludingNone) {
    for (const char* t : {"", "x", "anything.at.all"}) {
        EXPECT_TRUE(wm(t, "*")) << t;
        EXPECT_TRUE(wm(t, "**")) << t;
    }
    EXPECT_TRUE(wm("a", "a*"));
    EXPECT_TRUE(wm("abc", "a*"));
    EXPECT_FALSE(wm("ba", "a*"));
    EXPECT_TRUE(wm("abc", "*c"));
    EXPECT_FALSE(wm("abcd", "*c"));
    EXPECT_TRUE(wm("axbyc", "a*b*c"));
    EXPECT_TRUE(wm("abc", "a*b*c"));
    EXPECT_FALSE(wm("acb", "a*b*c"));
    EXPECT_TRUE(wm("mississippi", "m*iss*ppi"));
    EXPECT_FALSE(wm("mississippi", "m*iss*pi*x"));
    EXPECT_TRUE(wm("abab", "*ab"));  // the star must give back what it first took
}

TEST(Wildcard, NoBlowUpOnManyStars) {
    // A matcher that backtracks into every star would not finish these.
    const QString as(300, u'a');
    QString pattern;
    for (int i = 0; i < 20; ++i) {
        pattern += "*a";
    }
    EXPECT_FALSE(wm(as, pattern + "*b"));
    EXPECT_TRUE(wm(as + "b", pattern + "*b"));
    EXPECT_TRUE(wm(as, pattern + "*"));
    EXPECT_FALSE(wm(QString(15, u'a'), pattern));
}

TEST(Wildcard, NumberSignIsOneAsciiDigit) {
    for (char16_t c = u'0'; c <= u'9'; ++c) {
        EXPECT_TRUE(wm(QString(QChar(c)), "#"));
    }
    EXPECT_FALSE(wm("a", "#"));
    EXPECT_FALSE(wm("/", "#"));                     // just below '0'
    EXPECT_FALSE(wm(":", "#"));                     // just above '9'
    EXPECT_FALSE(wm(QString(QChar(0x0663)), "#"));  // a digit of another script
    EXPECT_FALSE(wm("12", "#"));
    EXPECT_FALSE(wm("", "#"));
    EXPECT_TRUE(wm("V12", "V##"));
    EXPECT_FALSE(wm("#", "#"));
}

TEST(Wildcard, BracketGroupsAndRanges) {
    EXPECT_TRUE(wm("b", "[abc]"));
    EXPECT_FALSE(wm("d", "[abc]"));
    EXPECT_FALSE(wm("ab", "[abc]"));
    EXPECT_FALSE(wm("", "[abc]"));
    EXPECT_TRUE(wm("c", "[a-e]"));
    EXPECT_TRUE(wm("a", "[a-e]"));
    EXPECT_TRUE(wm("e", "[a-e]"));
    EXPECT_FALSE(wm("f", "[a-e]"));
    EXPECT_FALSE(wm("C", "[a-e]"));
    EXPECT_TRUE(wm("C", "[0-9A-F]"));
    EXPECT_TRUE(wm("7", "[0-9A-F]"));
    EXPECT_FALSE(wm("G", "[0-9A-F]"));
    EXPECT_TRUE(wm("BAK", "BA[KT]"));
    EXPECT_TRUE(wm("x5y", "x[0-9]y"));
    // Code unit order: "Z" (0x5A) < "_" (0x5F) < "a" (0x61).
    EXPECT_TRUE(wm("_", "[Z-a]"));
    EXPECT_FALSE(wm("z", "[Z-a]"));
    EXPECT_FALSE(wm("b", "[c-a]"));  // a reversed range holds nothing
    EXPECT_FALSE(wm("a", "[]"));
    EXPECT_FALSE(wm("", "[]"));
    EXPECT_FALSE(wm("ab", "a[]]b"));
}

TEST(Wildcard, NegatedGroups) {
    EXPECT_TRUE(wm("d", "[!abc]"));
    EXPECT_FALSE(wm("a", "[!abc]"));
    EXPECT_TRUE(wm("z", "[!a-c]"));
    EXPECT_FALSE(wm("b", "[!a-c]"));
    EXPECT_FALSE(wm("", "[!a]"));  // still exactly one unit
    EXPECT_TRUE(wm("q", "[!]"));
    EXPECT_TRUE(wm("!", "[a!]"));  // "!" not first is a member
    EXPECT_FALSE(wm("x", "[a!]"));
}

TEST(Wildcard, HyphenFirstOrLastIsPlain) {
    EXPECT_TRUE(wm("-", "[-a]"));
    EXPECT_TRUE(wm("a", "[-a]"));
    EXPECT_FALSE(wm("b", "[-a]"));
    EXPECT_TRUE(wm("-", "[a-]"));
    EXPECT_TRUE(wm("a", "[a-]"));
    EXPECT_FALSE(wm("b", "[a-]"));
    EXPECT_TRUE(wm("-", "[-]"));
    EXPECT_FALSE(wm("-", "[!-]"));
    EXPECT_TRUE(wm("x", "[!-]"));
    EXPECT_FALSE(wm("-", "[!-a]") || wm("a", "[!-a]"));
    EXPECT_TRUE(wm("b", "[!-a]"));
    EXPECT_TRUE(wm("-", "[a-c-]"));
    EXPECT_TRUE(wm("b", "[a-c-]"));
    // A first hyphen never opens a range, even when another hyphen follows it.
    EXPECT_TRUE(wm("/", "[--/]"));
    EXPECT_FALSE(wm(".", "[--/]"));
}

TEST(Wildcard, SpecialsInsideBracketsAreLiteral) {
    EXPECT_TRUE(wm("[", "[[]"));
    EXPECT_TRUE(wm("?", "[?]"));
    EXPECT_FALSE(wm("x", "[?]"));
    EXPECT_TRUE(wm("#", "[#]"));
    EXPECT_FALSE(wm("1", "[#]"));
    EXPECT_TRUE(wm("*", "[*]"));
    EXPECT_FALSE(wm("x", "[*]"));
    EXPECT_FALSE(wm("", "[*]"));
    EXPECT_TRUE(wm("a*b", "a[*]b"));
    EXPECT_FALSE(wm("axxb", "a[*]b"));
}

TEST(Wildcard, UnclosedBracketStandsForItself) {
    EXPECT_TRUE(wm("[abc", "[abc"));
    EXPECT_FALSE(wm("a", "[abc"));
    EXPECT_TRUE(wm("x[", "x["));
    EXPECT_TRUE(wm("[1", "[#"));
    EXPECT_TRUE(wm("a[b", "*[*"));
}

TEST(Wildcard, EmptyPatternAndEmptyText) {
    EXPECT_TRUE(wm("", ""));
    EXPECT_FALSE(wm("a", ""));
    EXPECT_TRUE(wm("", "*"));
    EXPECT_FALSE(wm("", "?"));
    EXPECT_FALSE(wm("", "#"));
    EXPECT_FALSE(wm("", "a"));
    // As the folder scan uses it: upper-cased extension against upper-cased entry.
    EXPECT_TRUE(wm(QString("tmp").toUpper(), QString("TmP").toUpper()));
    EXPECT_FALSE(wm("TMP", ".TMP"));
    EXPECT_FALSE(wm("TMP", "*.TMP"));
}

// Random patterns, rendered both in our syntax and as an ECMAScript regular expression.
TEST(Wildcard, AgreesWithRegexOnRandomPatterns) {
    std::mt19937 rng(4711);
    const std::string alphabet = "ab1-";
    auto pick = [&](int n) { return static_cast<int>(rng() % static_cast<unsigned>(n)); };
    for (int round = 0; round < 3000; ++round) {
        std::string pattern;
        std::string regex;
        const int tokens = pick(7);
        for (int i = 0; i < tokens; ++i) {
            switch (pick(6)) {
                case 0:
                    pattern += '?';
                    regex += '.';
                    break;
                case 1:
                    pattern += '*';
                    regex += ".*";
                    break;
                case 2:
                    pattern += '#';
                    regex += "[0-9]";
                    break;
                case 3: {
                    const bool neg = pick(2) == 0;
                    pattern += neg ? "[!" : "[";
                    regex += neg ? "[^" : "[";
                    if (pick(2) == 0) {
                        pattern += "a-b";
                        regex += "a-b";
                    }
                    const int members = 1 + pick(2);
                    for (int k = 0; k < members; ++k) {
                        const char c = "a1?*#"[pick(5)];
                        pattern += c;
                        regex += c;  // plain inside a regex class too
                    }
                    pattern += ']';
                    regex += ']';
                    break;
                }
                default: {
                    const char c = alphabet[static_cast<std::size_t>(pick(4))];
                    pattern += c;
                    regex += c == '-' ? std::string("\\-") : std::string(1, c);
                }
            }
        }
        const std::regex re(regex);
        for (int k = 0; k < 20; ++k) {
            std::string text;
            const int len = pick(8);
            for (int j = 0; j < len; ++j) {
                text += "ab1?*#x"[pick(7)];
            }
            ASSERT_EQ(WildcardMatch(QString::fromStdString(text), QString::fromStdString(pattern)),
                      std::regex_match(text, re))
                << "text '" << text << "' pattern '" << pattern << "'";
        }
    }
}

// ---------------------------------------------------------------------------------------------
// String list: cursor and filter

TEST(ListNew, StartsEmptyAndUninitialised) {
    CListString l;
    EXPECT_EQ(l.Count(), 0);
    EXPECT_TRUE(l.EOL());
    EXPECT_EQ(l.Filter(), "*");
    EXPECT_FALSE(l.ValueExists(""));
    EXPECT_FALSE(l.KeyExists(""));
    EXPECT_EQ(Inspect::upperBound(l), 0);
    l.MoveNext();
    EXPECT_TRUE(l.EOL());
    l.MovePrev();
    EXPECT_TRUE(l.EOL());
    l.MoveFirst();
    l.MoveLast();
    EXPECT_TRUE(l.EOL());
    expectListError([&] { (void)l.Data(); });
    expectListError([&] { (void)l.Key(); });
    expectListError([&] { l.SetData("x"); });
    expectListError([&] { l.SetKey("x"); });
    expectListError([&] { l.Remove(); });
    expectListError([&] { l.Move(1); });
    expectBareError9([&] { (void)l.Item(1); });
    l.Sort();
    l.RemoveAll();
    EXPECT_EQ(Inspect::upperBound(l), 0);
    EXPECT_EQ(Inspect::brokenInvariant(l), "");
}

TEST(ListCursor, MovesAlongTheChain) {
    CListString l;
    l.Add("a");
    EXPECT_TRUE(l.EOL());  // Add does not move the cursor
    l.MoveFirst();
    EXPECT_EQ(l.Data(), "a");
    EXPECT_EQ(l.Key(), "");
    l.Add("b");
    l.Add("c");
    EXPECT_EQ(l.Data(), "a");
    l.MoveNext();
    EXPECT_EQ(l.Data(), "b");
    l.MoveLast();
    EXPECT_EQ(l.Data(), "c");
    l.MovePrev();
    EXPECT_EQ(l.Data(), "b");
    l.MovePrev();
    l.MovePrev();
    EXPECT_TRUE(l.EOL());
    l.MoveNext();  // nothing happens without a current element
    EXPECT_TRUE(l.EOL());
    l.MoveLast();
    l.MoveNext();
    EXPECT_TRUE(l.EOL());
    EXPECT_EQ(walk(l), QStringList({"a", "b", "c"}));
}

TEST(ListCursor, DataAndKeyReadAndWrite) {
    CListString l = listOf({"v1", "v2"}, {"k1", "k2"});
    l.MoveLast();
    EXPECT_EQ(l.Key(), "k2");
    l.SetData("w2");
    l.SetKey("j2");
    EXPECT_EQ(l.Data(), "w2");
    EXPECT_EQ(l.Key(), "j2");
    EXPECT_EQ(values(l), QStringList({"v1", "w2"}));
    EXPECT_FALSE(l.ValueExists("v2"));
    EXPECT_TRUE(l.ValueExists("w2"));
    EXPECT_FALSE(l.KeyExists("k2"));
    EXPECT_TRUE(l.KeyExists("j2"));
    EXPECT_FALSE(l.ValueExists("j2"));  // values and keys are counted apart
    EXPECT_FALSE(l.ValueExists("V1"));  // exact and case-sensitive
    EXPECT_EQ(l.Data(), "w2");          // lookups leave the cursor alone
}

TEST(ListFilter, CursorSkipsNonMatchingKeys) {
    CListString l = listOf({"vb", "va1", "vc", "va2"}, {"b", "a1", "c", "a2"});
    l.SetFilter("a*");
    EXPECT_EQ(l.Filter(), "a*");
    EXPECT_EQ(l.Key(), "a1");  // setting the filter moves to the first match
    l.MoveNext();
    EXPECT_EQ(l.Key(), "a2");
    l.MoveNext();
    EXPECT_TRUE(l.EOL());
    EXPECT_EQ(l.Count(), 4);
    l.MoveLast();
    EXPECT_EQ(l.Key(), "a2");
    l.MovePrev();
    EXPECT_EQ(l.Key(), "a1");
    l.MovePrev();
    EXPECT_TRUE(l.EOL());
    l.Move(3);  // ignores the filter
    EXPECT_EQ(l.Key(), "c");
    l.Remove();
    EXPECT_EQ(l.Key(), "a2");
    EXPECT_EQ(l.Count(), 3);
    EXPECT_EQ(Inspect::brokenInvariant(l), "");
}

TEST(ListFilter, PatternsAndNoMatch) {
    CListString l = listOf({"1", "2", "3", "4", "5"}, {"k1", "kx", "", "k22", "k9"});
    l.SetFilter("k#");
    EXPECT_EQ(walk(l), QStringList({"1", "5"}));
    l.SetFilter("");  // only the empty key
    EXPECT_EQ(walk(l), QStringList({"3"}));
    l.SetFilter("*");  // every key, the empty one included
    EXPECT_EQ(walk(l), QStringList({"1", "2", "3", "4", "5"}));
    l.SetFilter("[!k]*");
    EXPECT_TRUE(l.EOL());
    l.MoveLast();
    EXPECT_TRUE(l.EOL());
    EXPECT_EQ(l.Count(), 5);
    EXPECT_EQ(values(l), QStringList({"1", "2", "3", "4", "5"}));  // Item ignores the filter
}

TEST(ListFilter, RemoveMakesTheNextCurrentWhateverItsKey) {
    CListString l = listOf({"a1", "b", "a2"}, {"a1", "b", "a2"});
    l.SetFilter("a*");
    l.Remove();
    EXPECT_EQ(l.Key(), "b");
    l.MoveNext();
    EXPECT_EQ(l.Key(), "a2");
}

TEST(ListFilter, RemoveAllEmptiesEvenWhenNothingMatches) {
    CListString l;
    l.InitList(2, 3);
    l.Add("a", "a");
    l.Add("b", "b");
    l.SetFilter("zzz");
    EXPECT_TRUE(l.EOL());
    l.RemoveAll();
    EXPECT_EQ(l.Count(), 0);
    EXPECT_TRUE(l.EOL());
    EXPECT_EQ(l.Filter(), "zzz");
    expectBareError9([&] { (void)l.Item(1); });
    l.Add("c");
    l.Add("d");
    l.Add("e");
    EXPECT_EQ(Inspect::upperBound(l), 5);  // growth step kept: 2 + 3
    EXPECT_EQ(Inspect::brokenInvariant(l), "");
}

// ---------------------------------------------------------------------------------------------
// Slots

TEST(ListSlots, DefaultStoreGrowsFrom100To105) {
    CListString l;
    l.Add("p1");
    EXPECT_EQ(Inspect::upperBound(l), 100);
    EXPECT_EQ(Inspect::firstSlot(l), 1);
    EXPECT_TRUE(l.ValueExists(""));  // store 2 to 100 are free
    for (int i = 2; i <= 100; ++i) {
        l.Add(QStringLiteral("p%1").arg(i), QStringLiteral("k"));
    }
    EXPECT_EQ(Inspect::upperBound(l), 100);
    EXPECT_FALSE(l.ValueExists(""));  // no free slot and no empty value
    l.Add("p101", "k");
    EXPECT_EQ(Inspect::upperBound(l), 105);
    EXPECT_EQ(Inspect::lastSlot(l), 101);
    EXPECT_TRUE(l.ValueExists(""));
    for (int i = 102; i <= 105; ++i) {
        l.Add(QStringLiteral("p%1").arg(i), QStringLiteral("k"));
    }
    EXPECT_EQ(Inspect::upperBound(l), 105);
    EXPECT_FALSE(l.ValueExists(""));
    EXPECT_TRUE(l.KeyExists(""));  // p1 has the empty key
    l.MoveFirst();
    l.Remove();
    EXPECT_TRUE(l.KeyExists(""));  // now through the freed slot
    l.Add("p106", "k");
    EXPECT_FALSE(l.KeyExists(""));
    l.Add("");
    EXPECT_TRUE(l.ValueExists(""));  // an element holds it
    EXPECT_EQ(Inspect::brokenInvariant(l), "");
}

TEST(ListSlots, FreedSlotsAreReusedFirstInFirstOut) {
    CListString l;
    l.Add("only");
    l.MoveFirst();
    l.Remove();
    EXPECT_EQ(l.Count(), 0);
    EXPECT_TRUE(l.EOL());
    l.Add("next");
    EXPECT_EQ(Inspect::firstSlot(l), 2);  // the oldest free slot, not slot 1 just freed
    EXPECT_EQ(Inspect::freeSlots(l).back(), 1);

    CListString full;
    for (int i = 1; i <= 100; ++i) {
        full.Add(QString::number(i));
    }
    full.Move(50);
    full.Remove();
    full.Move(10);
    full.Remove();
    full.Add("x");
    full.Add("y");
    EXPECT_EQ(Inspect::upperBound(full), 100);  // recycled, not grown
    full.MoveLast();
    EXPECT_EQ(Inspect::currentSlot(full), 10);
    full.MovePrev();
    EXPECT_EQ(Inspect::currentSlot(full), 50);
    EXPECT_EQ(Inspect::brokenInvariant(full), "");
}

TEST(ListSlots, RemoveAllQueuesSlotsInChainOrder) {
    CListString l;
    l.InitList(3, 1);
    l.Add("a");  // slot 1
    l.MoveFirst();
    l.Insert("b");  // slot 2, before a
    l.Add("c");     // slot 3
    EXPECT_EQ(values(l), QStringList({"b", "a", "c"}));
    EXPECT_TRUE(Inspect::freeSlots(l).empty());
    l.RemoveAll();
    EXPECT_EQ(Inspect::freeSlots(l), std::deque<int32_t>({2, 1, 3}));
    l.Add("d");
    EXPECT_EQ(Inspect::firstSlot(l), 2);
    EXPECT_EQ(Inspect::upperBound(l), 3);
    EXPECT_EQ(Inspect::brokenInvariant(l), "");
}

TEST(ListSlots, InitListSizesAndOddArguments) {
    CListString l;
    l.InitList(10, -3);  // the step is the absolute value
    EXPECT_EQ(Inspect::upperBound(l), 10);
    EXPECT_TRUE(l.ValueExists(""));
    for (int i = 0; i < 11; ++i) {
        l.Add(QString::number(i));
    }
    EXPECT_EQ(Inspect::upperBound(l), 13);

    CListString one;
    one.InitList(1);  // step 0 or omitted means 1
    one.Add("a");
    one.Add("b");
    one.Add("c");
    EXPECT_EQ(Inspect::upperBound(one), 3);

    CListString neg;
    neg.InitList(-5, 2);
    EXPECT_EQ(Inspect::upperBound(neg), 0);
    EXPECT_FALSE(neg.ValueExists(""));
    neg.Add("a");
    EXPECT_EQ(Inspect::upperBound(neg), 2);
    EXPECT_EQ(Inspect::brokenInvariant(neg), "");

    CListString none;
    none.InitList(0, 0);
    EXPECT_FALSE(none.ValueExists(""));
    none.Add("a");
    EXPECT_EQ(Inspect::upperBound(none), 1);
}

TEST(ListSlots, InitListKeepsElementsThatAreThere) {
    CListString l = listOf({"a", "b", "c"}, {"x", "y", "z"});
    l.Move(2);
    l.InitList(2, 7);
    EXPECT_EQ(values(l), QStringList({"a", "b", "c"}));
    EXPECT_EQ(l.Data(), "b");
    EXPECT_EQ(Inspect::upperBound(l), 100);
    l.InitList(200, 7);
    EXPECT_EQ(Inspect::upperBound(l), 200);
    EXPECT_EQ(Inspect::brokenInvariant(l), "");
    for (int i = 0; i < 198; ++i) {
        l.Add("n");
    }
    EXPECT_EQ(Inspect::upperBound(l), 207);  // the new step applies
    l.RemoveAll();
    l.InitList(4, 1);  // an empty list takes the new store
    EXPECT_EQ(Inspect::upperBound(l), 4);
    EXPECT_EQ(Inspect::freeSlots(l), std::deque<int32_t>({1, 2, 3, 4}));
    EXPECT_EQ(Inspect::brokenInvariant(l), "");
}

// ---------------------------------------------------------------------------------------------
// Insert and Remove

TEST(ListInsert, PositionsAndCursor) {
    CListString empty;
    empty.Insert("x", "kx");
    EXPECT_TRUE(empty.EOL());
    EXPECT_EQ(values(empty), QStringList({"x"}));
    EXPECT_EQ(Inspect::upperBound(empty), 100);  // implicit initialisation as with Add

    CListString l = listOf({"a", "b", "c"});
    l.Insert("first");  // EOL: goes to the front, EOL stays
    EXPECT_TRUE(l.EOL());
    EXPECT_EQ(values(l), QStringList({"first", "a", "b", "c"}));
    l.MoveLast();
    l.Insert("second-to-last");
    EXPECT_EQ(l.Data(), "c");
    EXPECT_EQ(values(l), QStringList({"first", "a", "b", "second-to-last", "c"}));
    l.MoveFirst();
    l.Insert("new-first", "k");
    EXPECT_EQ(l.Data(), "first");
    l.Move(3);
    l.Insert("middle");
    EXPECT_EQ(l.Data(), "a");
    EXPECT_EQ(values(l),
              QStringList({"new-first", "first", "middle", "a", "b", "second-to-last", "c"}));
    EXPECT_TRUE(l.KeyExists("k"));
    EXPECT_EQ(Inspect::brokenInvariant(l), "");
    l.MovePrev();
    EXPECT_EQ(l.Data(), "middle");  // back links are right too
}

TEST(ListRemove, CurrentGoesToTheNext) {
    CListString l = listOf({"a", "b", "c"});
    l.Move(2);
    l.Remove();
    EXPECT_EQ(l.Data(), "c");
    EXPECT_EQ(values(l), QStringList({"a", "c"}));
    l.Remove();  // the last element
    EXPECT_TRUE(l.EOL());
    EXPECT_EQ(l.Count(), 1);
    EXPECT_FALSE(l.ValueExists("c"));
    l.MoveLast();
    EXPECT_EQ(l.Data(), "a");
    l.Remove();
    EXPECT_EQ(l.Count(), 0);
    EXPECT_TRUE(l.EOL());
    l.MoveFirst();
    EXPECT_TRUE(l.EOL());
    EXPECT_EQ(Inspect::brokenInvariant(l), "");
}

TEST(ListRemove, WithoutCurrentChangesNothing) {
    CListString l = listOf({"a", "b"});
    expectListError([&] { l.Remove(); });
    EXPECT_EQ(values(l), QStringList({"a", "b"}));
    EXPECT_EQ(Inspect::freeSlots(l).size(), 98u);
    EXPECT_EQ(Inspect::brokenInvariant(l), "");
}

// ---------------------------------------------------------------------------------------------
// Positions

TEST(ListPosition, ItemFromBothEndsOnOddAndEvenLengths) {
    for (int len = 1; len <= 8; ++len) {
        CListString l;
        QStringList expected;
        for (int i = 1; i <= len; ++i) {
            l.Add(QStringLiteral("v%1").arg(i));
            expected << QStringLiteral("v%1").arg(i);
        }
        // Scramble store so that chain order differs from slot order.
        l.MoveFirst();
        l.Remove();
        l.Insert("v1");
        for (int i = 1; i <= len; ++i) {
            EXPECT_EQ(l.Item(i), expected[i - 1]) << "len " << len << " index " << i;
        }
        EXPECT_EQ(l.Item(1), "v1");
        EXPECT_EQ(l.Item(len), QStringLiteral("v%1").arg(len));
        expectBareError9([&] { (void)l.Item(0); });
        expectBareError9([&] { (void)l.Item(len + 1); });
        expectBareError9([&] { (void)l.Item(-1); });
    }
}

TEST(ListPosition, SetItemWritesWithoutMovingTheCursor) {
    CListString l = listOf({"a", "b", "c", "d", "e"});
    l.Move(2);
    l.SetItem(4, "D");
    l.SetItem(1, "A");
    EXPECT_EQ(values(l), QStringList({"A", "b", "c", "D", "e"}));
    EXPECT_EQ(l.Data(), "b");
    EXPECT_TRUE(l.ValueExists("D"));
    EXPECT_FALSE(l.ValueExists("d"));
    expectBareError9([&] { l.SetItem(6, "x"); });
    expectBareError9([&] { l.SetItem(0, "x"); });
    EXPECT_EQ(values(l), QStringList({"A", "b", "c", "D", "e"}));
    EXPECT_FALSE(l.ValueExists("x"));
    EXPECT_EQ(Inspect::brokenInvariant(l), "");
}

TEST(ListPosition, MoveAndItsError) {
    CListString l = listOf({"a", "b", "c"}, {"x", "y", "z"});
    l.SetFilter("y");
    l.Move(3);  // the filter does not apply
    EXPECT_EQ(l.Data(), "c");
    l.Move(1);
    EXPECT_EQ(l.Data(), "a");
    expectListError([&] { l.Move(0); });
    expectListError([&] { l.Move(4); });
    expectListError([&] { l.Move(-7); });
    EXPECT_EQ(l.Data(), "a");  // the cursor stayed
    EXPECT_EQ(values(l), QStringList({"a", "b", "c"}));
    l.MoveNext();  // the filter applies again to the walk
    EXPECT_EQ(l.Data(), "b");
}

TEST(ListPosition, ErrorsLeaveTheListAsItWas) {
    CListString l = listOf({"a", "b"}, {"x", "y"});
    l.MoveLast();
    l.MoveNext();
    expectListError([&] { l.SetData("z"); });
    expectListError([&] { l.SetKey("z"); });
    expectListError([&] { (void)l.Key(); });
    EXPECT_TRUE(l.EOL());
    EXPECT_FALSE(l.ValueExists("z"));
    EXPECT_FALSE(l.KeyExists("z"));
    EXPECT_EQ(values(l), QStringList({"a", "b"}));
    EXPECT_EQ(keys(l), QStringList({"x", "y"}));
}

// ---------------------------------------------------------------------------------------------
// Sort

TEST(ListSort, StableByOrdinalKeyAndCursorFollows) {
    CListString l = listOf({"b1", "a", "b2", "A"}, {"b", "a", "b", "A"});
    l.Move(3);  // "b2"
    const int32_t slot = Inspect::currentSlot(l);
    l.Sort();
    EXPECT_EQ(keys(l), QStringList({"A", "a", "b", "b"}));
    EXPECT_EQ(values(l), QStringList({"A", "a", "b1", "b2"}));
    l.Move(4);
    EXPECT_EQ(Inspect::currentSlot(l), slot);  // elements keep their store

    CListString c = listOf({"b1", "a", "b2", "A"}, {"b", "a", "b", "A"});
    c.Move(1);
    c.Sort();
    EXPECT_EQ(c.Data(), "b1");
    c.MovePrev();
    EXPECT_EQ(c.Data(), "a");
    EXPECT_EQ(Inspect::brokenInvariant(c), "");
}

TEST(ListSort, OrdinalMeansCodeUnitsAndPrefixFirst) {
    const QString supplementary = QString::fromUcs4(U"\U00010000");  // D800 DC00
    CListString l = listOf({"1", "2", "3", "4", "5", "6", "7"},
                           {QString(QChar(0xFFFF)), supplementary, "abc", "ab", "B", "ä", ""});
    l.Sort();
    EXPECT_EQ(values(l), QStringList({"7", "5", "4", "3", "6", "2", "1"}));
}

TEST(ListSort, SmallListsAndEOLCursor) {
    CListString one = listOf({"x"}, {"k"});
    one.Sort();
    EXPECT_EQ(values(one), QStringList({"x"}));
    CListString l = listOf({"c", "b", "a"}, {"c", "b", "a"});
    l.Sort();
    EXPECT_TRUE(l.EOL());  // Sort never moves the cursor
    EXPECT_EQ(values(l), QStringList({"a", "b", "c"}));
    EXPECT_EQ(walk(l), QStringList({"a", "b", "c"}));
    l.MoveLast();
    l.MovePrev();
    l.MovePrev();
    EXPECT_EQ(l.Data(), "a");
}

TEST(ListSort, RandomListsMatchAStableSort) {
    std::mt19937 rng(99);
    const QStringList pool = {"", "a", "A", "b", "ab", "aB", "ba", "Z", "ä", "a0"};
    for (int round = 0; round < 300; ++round) {
        const int len = static_cast<int>(rng() % 40);
        CListString l;
        std::vector<std::pair<QString, QString>> expected;  // (key, value)
        for (int i = 0; i < len; ++i) {
            const QString key = pool[static_cast<qsizetype>(rng() % pool.size())];
            const QString value = QString::number(i);
            l.Add(value, key);
            expected.emplace_back(key, value);
        }
        // Scramble slot numbers against chain order.
        if (len > 2) {
            l.Move(2);
            l.Remove();
            l.Insert(expected[1].second, expected[1].first);
        }
        QString currentValue;
        if (len > 0) {
            l.Move(1 + static_cast<int32_t>(rng() % static_cast<unsigned>(len)));
            currentValue = l.Data();
        }
        std::stable_sort(expected.begin(), expected.end(), [](const auto& x, const auto& y) {
            return std::u16string_view(QStringView(x.first).utf16(),
                                       static_cast<std::size_t>(x.first.size())) <
                   std::u16string_view(QStringView(y.first).utf16(),
                                       static_cast<std::size_t>(y.first.size()));
        });
        l.Sort();
        ASSERT_EQ(Inspect::brokenInvariant(l), "") << "round " << round;
        if (len > 0) {
            ASSERT_EQ(l.Data(), currentValue);
        }
        QStringList want;
        for (const auto& e : expected) {
            want << e.second;
        }
        ASSERT_EQ(values(l), want) << "round " << round;
    }
}

// ---------------------------------------------------------------------------------------------
// ValueExists and KeyExists against a naive walk over a model of the slot store

struct SlotModel {
    struct Slot {
        QString data;
        QString key;
    };
    std::vector<Slot> store = std::vector<Slot>(1);
    std::deque<int> freeQueue;
    std::vector<int> chain;  // slot numbers in list order
    int cursor = -1;         // index into chain, -1 = no current element
    int growBy = 0;

    void init(int amount, int step) {
        growBy = step == 0 ? 1 : std::abs(step);
        store.assign(static_cast<std::size_t>(std::max(amount, 0)) + 1, Slot{});
        freeQueue.clear();
        for (int i = 1; i <= amount; ++i) {
            freeQueue.push_back(i);
        }
    }
    int allocate() {
        if (growBy == 0) {
            init(100, 5);
        }
        if (freeQueue.empty()) {
            const int upper = static_cast<int>(store.size()) - 1;
            store.resize(store.size() + static_cast<std::size_t>(growBy));
            for (int i = upper + 1; i <= upper + growBy; ++i) {
                freeQueue.push_back(i);
            }
        }
        const int s = freeQueue.front();
        freeQueue.pop_front();
        return s;
    }
    void add(const QString& v, const QString& k) {
        const int s = allocate();
        store[static_cast<std::size_t>(s)] = {v, k};
        chain.push_back(s);
    }
    void insert(const QString& v, const QString& k) {
        const int s = allocate();
        store[static_cast<std::size_t>(s)] = {v, k};
        if (cursor < 0) {
            chain.insert(chain.begin(), s);
        } else {
            chain.insert(chain.begin() + cursor, s);
            ++cursor;
        }
    }
    void free(int s) {
        store[static_cast<std::size_t>(s)] = {};
        freeQueue.push_back(s);
    }
    void remove() {
        free(chain[static_cast<std::size_t>(cursor)]);
        chain.erase(chain.begin() + cursor);
        if (cursor == static_cast<int>(chain.size())) {
            cursor = -1;
        }
    }
    void removeAll() {
        for (int s : chain) {
            free(s);
        }
        chain.clear();
        cursor = -1;
    }
    Slot& current() {
        return store[static_cast<std::size_t>(chain[static_cast<std::size_t>(cursor)])];
    }
    // The walk the lookups must answer like: every slot above the sentinel, free ones included.
    bool valueExists(const QString& v) const {
        for (std::size_t i = 1; i < store.size(); ++i) {
            if (store[i].data == v) {
                return true;
            }
        }
        return false;
    }
    bool keyExists(const QString& k) const {
        for (std::size_t i = 1; i < store.size(); ++i) {
            if (store[i].key == k) {
                return true;
            }
        }
        return false;
    }
};

TEST(ListLookup, AgreesWithAWalkOfEverySlot) {
    const QStringList probes = {"", "a", "b", "c", "/home/u/x"};
    for (unsigned seed = 1; seed <= 6; ++seed) {
        std::mt19937 rng(seed);
        auto pick = [&](int n) { return static_cast<int>(rng() % static_cast<unsigned>(n)); };
        CListString l;
        SlotModel m;
        if (seed % 3 != 0) {  // small stores run out of free store often
            const int amount = pick(4);
            const int step = pick(5) - 2;
            l.InitList(amount, step);
            m.init(amount, step);
        }
        for (int op = 0; op < 3000; ++op) {
            const QString v = probes[pick(static_cast<int>(probes.size()))];
            const QString k = probes[pick(static_cast<int>(probes.size()))];
            const bool hasCurrent = m.cursor >= 0;
            switch (pick(10)) {
                case 0:
                case 1:
                    l.Add(v, k);
                    m.add(v, k);
                    break;
                case 2:
                    l.Insert(v, k);
                    m.insert(v, k);
                    break;
                case 3:
                case 4:
                    if (hasCurrent) {
                        l.Remove();
                        m.remove();
                    }
                    break;
                case 5:
                    if (pick(8) == 0) {
                        l.RemoveAll();
                        m.removeAll();
                    }
                    break;
                case 6:
                    if (hasCurrent) {
                        l.SetData(v);
                        m.current().data = v;
                    }
                    break;
                case 7:
                    if (hasCurrent) {
                        l.SetKey(k);
                        m.current().key = k;
                    }
                    break;
                case 8:
                    if (!m.chain.empty()) {
                        const int i = pick(static_cast<int>(m.chain.size()));
                        l.SetItem(i + 1, v);
                        m.store[static_cast<std::size_t>(m.chain[static_cast<std::size_t>(i)])]
                            .data = v;
                    }
                    break;
                default:
                    if (m.chain.empty() || pick(5) == 0) {
                        l.MoveLast();
                        l.MoveNext();
                        m.cursor = -1;
                    } else {
                        const int i = pick(static_cast<int>(m.chain.size()));
                        l.Move(i + 1);
                        m.cursor = i;
                    }
            }
            ASSERT_EQ(l.Count(), static_cast<int32_t>(m.chain.size()));
            ASSERT_EQ(l.EOL(), m.cursor < 0);
            for (const QString& p : probes) {
                ASSERT_EQ(l.ValueExists(p), m.valueExists(p))
                    << "seed " << seed << " op " << op << " value '" << p.toStdString() << "'";
                ASSERT_EQ(l.KeyExists(p), m.keyExists(p))
                    << "seed " << seed << " op " << op << " key '" << p.toStdString() << "'";
            }
            if (op % 100 == 0) {
                ASSERT_EQ(Inspect::brokenInvariant(l), "") << "seed " << seed << " op " << op;
                ASSERT_EQ(Inspect::upperBound(l), static_cast<int32_t>(m.store.size()) - 1);
                ASSERT_EQ(Inspect::freeSlots(l),
                          std::deque<int32_t>(m.freeQueue.begin(), m.freeQueue.end()));
            }
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
    // Nothing here writes files, but no test may ever reach the user's own folders.
    QTemporaryDir home;
    if (!home.isValid()) {
        return 2;
    }
    qputenv("HOME", home.path().toUtf8());
    qputenv("XDG_CONFIG_HOME", (home.path() + "/config").toUtf8());
    qputenv("XDG_STATE_HOME", (home.path() + "/state").toUtf8());
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
