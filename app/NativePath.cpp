#include "app/NativePath.h"

#include <algorithm>

namespace {

constexpr char16_t kEscapeBase = 0xEF00;

bool IsEscape(QChar c) {
    return c.unicode() >= kEscapeBase + 0x80 && c.unicode() <= kEscapeBase + 0xFF;
}

bool IsContinuation(unsigned char b) {
    return (b & 0xC0) == 0x80;
}

// Length of the valid UTF-8 sequence at bytes[i] and its code point; 0 when there is none
// (overlong forms, surrogates and code points past U+10FFFF are not valid).
int Utf8Sequence(QByteArrayView bytes, qsizetype i, char32_t* codePoint) {
    const auto b0 = static_cast<unsigned char>(bytes[i]);
    int length = 0;
    char32_t cp = 0;
    char32_t least = 0;
    if (b0 >= 0xC2 && b0 <= 0xDF) {
        length = 2, cp = b0 & 0x1F, least = 0x80;
    } else if (b0 >= 0xE0 && b0 <= 0xEF) {
        length = 3, cp = b0 & 0x0F, least = 0x800;
    } else if (b0 >= 0xF0 && b0 <= 0xF4) {
        length = 4, cp = b0 & 0x07, least = 0x10000;
    } else {
        return 0;
    }
    if (i + length > bytes.size()) {
        return 0;
    }
    for (int k = 1; k < length; ++k) {
        const auto b = static_cast<unsigned char>(bytes[i + k]);
        if (!IsContinuation(b)) {
            return 0;
        }
        cp = (cp << 6) | (b & 0x3F);
    }
    if (cp < least || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
        return 0;
    }
    *codePoint = cp;
    return length;
}

}  // namespace

QByteArray NativePath(const QString& sPath) {
    qsizetype runStart = 0;
    QByteArray out;
    for (qsizetype i = 0; i < sPath.size(); ++i) {
        if (!IsEscape(sPath[i])) {
            continue;
        }
        if (out.isNull()) {
            out.reserve(sPath.size() * 3);
        }
        out += QStringView(sPath).sliced(runStart, i - runStart).toUtf8();
        out += static_cast<char>(sPath[i].unicode() - kEscapeBase);
        runStart = i + 1;
    }
    if (runStart == 0) {
        return sPath.toUtf8();
    }
    out += QStringView(sPath).sliced(runStart).toUtf8();
    return out;
}

QString PathFromNative(QByteArrayView bytes) {
    if (std::all_of(bytes.begin(), bytes.end(), [](char b) { return (b & 0x80) == 0; })) {
        return QString::fromLatin1(bytes);
    }
    QString out;
    out.reserve(bytes.size());
    qsizetype i = 0;
    while (i < bytes.size()) {
        const auto b = static_cast<unsigned char>(bytes[i]);
        if (b < 0x80) {
            out += QChar(b);
            ++i;
            continue;
        }
        char32_t cp = 0;
        const int length = Utf8Sequence(bytes, i, &cp);
        // An escape character that is really part of the name is escaped itself, byte by byte.
        if (length == 0 || (cp >= kEscapeBase + 0x80 && cp <= kEscapeBase + 0xFF)) {
            const int take = length == 0 ? 1 : length;
            for (int k = 0; k < take; ++k) {
                out += QChar(
                    static_cast<char16_t>(kEscapeBase + static_cast<unsigned char>(bytes[i + k])));
            }
            i += take;
            continue;
        }
        if (cp > 0xFFFF) {
            const char32_t c = cp - 0x10000;
            out += QChar(static_cast<char16_t>(0xD800 + (c >> 10)));
            out += QChar(static_cast<char16_t>(0xDC00 + (c & 0x3FF)));
        } else {
            out += QChar(static_cast<char16_t>(cp));
        }
        i += length;
    }
    return out;
}

QString DisplayPath(const QString& sPath) {
    QString out;
    qsizetype runStart = 0;
    for (qsizetype i = 0; i < sPath.size(); ++i) {
        if (!IsEscape(sPath[i])) {
            continue;
        }
        out += QStringView(sPath).sliced(runStart, i - runStart);
        out +=
            QStringLiteral("\\x") + QString::number(sPath[i].unicode() - kEscapeBase, 16).toUpper();
        runStart = i + 1;
    }
    if (runStart == 0) {
        return sPath;
    }
    out += QStringView(sPath).sliced(runStart);
    return out;
}
