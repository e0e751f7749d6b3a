#include "app/TerminalProgress.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <QDateTime>
#include <QLocale>
#include <cstdio>

namespace GermanNumber {

namespace {

const QLocale& German() {
    static const QLocale locale(QLocale::German, QLocale::Germany);
    return locale;
}

}  // namespace

QString Count(int64_t lCount) {
    return German().toString(static_cast<qlonglong>(lCount));
}

QString Megabytes(int64_t lBytes) {
    return German().toString(static_cast<double>(lBytes) / (1024.0 * 1024.0), 'f', 1);
}

QString Files(int64_t lCount) {
    return Count(lCount) + (lCount == 1 ? QStringLiteral(" Datei") : QStringLiteral(" Dateien"));
}

}  // namespace GermanNumber

namespace CommandOutput {

void Write(FILE* stream, const QString& sText) {
    std::fputs(sText.toUtf8().constData(), stream);
    std::fflush(stream);
}

void Tell(const char* sProgram, const QString& sText) {
    QString out;
    for (const QString& line : sText.split(u'\n', Qt::SkipEmptyParts)) {
        out += (out.isEmpty() ? QString::fromUtf8(sProgram) + QStringLiteral(": ") : QString()) +
               line + u'\n';
    }
    Write(stderr, out);
}

}  // namespace CommandOutput

namespace {

// ANSI: erase from the cursor to the end of the line.
constexpr const char* kEraseToEnd = "\x1b[K";

int TerminalWidth() {
    winsize size{};
    if (::ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0) {
        return size.ws_col;
    }
    return 80;
}

}  // namespace

TerminalProgress::TerminalProgress(bool bEnabled) : bEnabled_(bEnabled) {
    sinceStart_.start();
}

TerminalProgress::~TerminalProgress() {
    Clear();
}

void TerminalProgress::Searching(const QString& sFolder, int64_t lFound) {
    Draw(QStringLiteral("Suche in %1: %2 gefunden").arg(sFolder, GermanNumber::Files(lFound)));
}

void TerminalProgress::Archiving(int64_t lFilesDone, int64_t lFilesTotal, int64_t lBytesDone,
                                 int64_t lBytesTotal) {
    if (!bEnabled_) {
        return;  // spares the formatting, per file
    }
    QString sLine =
        QStringLiteral("%1 von %2, %3 von %4 MB")
            .arg(GermanNumber::Count(lFilesDone), GermanNumber::Files(lFilesTotal),
                 GermanNumber::Megabytes(lBytesDone), GermanNumber::Megabytes(lBytesTotal));
    const qint64 lElapsedMs = sinceStart_.elapsed();
    if (lElapsedMs > 0 && lBytesDone > 0) {
        const double dBytesPerMs =
            static_cast<double>(lBytesDone) / static_cast<double>(lElapsedMs);
        const auto lLeftMs =
            static_cast<qint64>(static_cast<double>(lBytesTotal - lBytesDone) / dBytesPerMs);
        sLine += QStringLiteral(", %1 MB/s, fertig gegen %2")
                     .arg(GermanNumber::Megabytes(static_cast<int64_t>(dBytesPerMs * 1000.0)),
                          QDateTime::currentDateTime().addMSecs(lLeftMs).toString(
                              QStringLiteral("HH:mm:ss")));
    }
    Draw(sLine);
}

void TerminalProgress::Checking(int64_t lDone, int64_t lTotal) {
    Draw(QStringLiteral("Archiv wird geprüft: %1 von %2 Einträgen")
             .arg(GermanNumber::Count(lDone), GermanNumber::Count(lTotal)));
}

void TerminalProgress::Clear() {
    if (bShown_) {
        std::fprintf(stderr, "\r%s", kEraseToEnd);
        std::fflush(stderr);
        bShown_ = false;
    }
}

void TerminalProgress::Draw(const QString& sLine) {
    if (!bEnabled_ || (sinceDraw_.isValid() && !sinceDraw_.hasExpired(kRedrawIntervalMs))) {
        return;
    }
    sinceDraw_.start();
    // A line longer than the terminal would wrap, and the next redraw would start on its last row.
    const QString sShown = sLine.left(TerminalWidth() - 1);
    std::fprintf(stderr, "\r%s%s", sShown.toUtf8().constData(), kEraseToEnd);
    std::fflush(stderr);
    bShown_ = true;
}
