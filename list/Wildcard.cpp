#include "list/Wildcard.h"

namespace {

// Tests one text unit against the pattern element at p (never "*"); sets next to the element's end.
bool matchElement(QStringView pattern, qsizetype p, char16_t c, qsizetype& next) {
    const char16_t pc = pattern[p].unicode();
    next = p + 1;
    switch (pc) {
        case u'?':
            return true;
        case u'#':
            return c >= u'0' && c <= u'9';
        case u'[': {
            const qsizetype close = pattern.indexOf(QChar(u']'), p + 1);
            if (close < 0) {
                return c == u'[';
            }
            next = close + 1;
            qsizetype i = p + 1;
            const bool negate = i < close && pattern[i] == u'!';
            if (negate) {
                ++i;
            }
            const qsizetype listStart = i;
            bool found = false;
            while (i < close && !found) {
                const char16_t lo = pattern[i].unicode();
                const bool isRange =
                    i + 2 < close && pattern[i + 1] == u'-' && !(lo == u'-' && i == listStart);
                if (isRange) {
                    const char16_t hi = pattern[i + 2].unicode();
                    found = lo <= c && c <= hi;
                    i += 3;
                } else {
                    found = c == lo;
                    ++i;
                }
            }
            return found != negate;
        }
        default:
            return c == pc;
    }
}

}  // namespace

bool WildcardMatch(QStringView text, QStringView pattern) {
    // Every element but "*" consumes exactly one unit, so remembering only the last "*" and
    // letting it swallow one more unit on a mismatch finds a match whenever one exists.
    const qsizetype n = text.size();
    const qsizetype m = pattern.size();
    qsizetype t = 0;
    qsizetype p = 0;
    qsizetype starP = -1;
    qsizetype starT = 0;
    while (t < n) {
        if (p < m && pattern[p] == u'*') {
            starP = ++p;
            starT = t;
            continue;
        }
        qsizetype next = 0;
        if (p < m && matchElement(pattern, p, text[t].unicode(), next)) {
            p = next;
            ++t;
            continue;
        }
        if (starP < 0) {
            return false;
        }
        p = starP;
        t = ++starT;
    }
    while (p < m && pattern[p] == u'*') {
        ++p;
    }
    return p == m;
}
