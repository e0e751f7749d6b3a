#include "app/LeadingNumber.h"

#include <algorithm>
#include <limits>

namespace {
bool IsDigit(QChar c) {
    return c >= u'0' && c <= u'9';
}
}  // namespace

// Rounds on the decimal digits themselves, so that neither the locale's decimal point nor binary
// fractions play a part.
std::optional<int32_t> LeadingNumberIfAny(QStringView sText) {
    constexpr int64_t kLimit = int64_t{std::numeric_limits<int32_t>::max()} + 1;
    qsizetype i = 0;
    const qsizetype n = sText.size();
    while (i < n && sText[i] == u' ') {
        ++i;
    }
    bool negative = false;
    if (i < n && (sText[i] == u'-' || sText[i] == u'+')) {
        negative = sText[i] == u'-';
        ++i;
    }
    bool anyDigit = false;
    int64_t whole = 0;  // saturates at kLimit
    while (i < n && IsDigit(sText[i])) {
        whole = std::min(kLimit, whole * 10 + (sText[i].unicode() - u'0'));
        anyDigit = true;
        ++i;
    }
    int firstFraction = 0;        // first digit after the point
    bool restOfFraction = false;  // any non-zero digit after that
    if (i < n && sText[i] == u'.') {
        ++i;
        if (i < n && IsDigit(sText[i])) {
            firstFraction = sText[i].unicode() - u'0';
            anyDigit = true;
            ++i;
        }
        while (i < n && IsDigit(sText[i])) {
            restOfFraction = restOfFraction || sText[i] != u'0';
            ++i;
        }
    }
    if (!anyDigit) {
        return std::nullopt;
    }
    const bool up = firstFraction > 5 || (firstFraction == 5 && (restOfFraction || whole % 2 == 1));
    const int64_t magnitude = std::min(kLimit, whole + (up ? 1 : 0));
    const int64_t value = negative ? -magnitude : std::min(kLimit - 1, magnitude);
    return static_cast<int32_t>(value);
}

int32_t LeadingNumber(QStringView sText) {
    return LeadingNumberIfAny(sText).value_or(0);
}

int32_t FolderLevel(QStringView sText) {
    return std::clamp(LeadingNumber(sText), kMinFolderLevel, kMaxFolderLevel);
}
