#pragma once
// The progress of sondrel-backup on a terminal: one line on stderr, redrawn at most ten times a
// second and cleared before anything else is written. Nothing at all when stderr is no terminal,
// since a log (the timer's journal) would keep every redraw. Numbers in German form, as in the
// summary line: "12.345", "1.234,5".

#include <QElapsedTimer>
#include <QString>
#include <cstdint>
#include <cstdio>

namespace GermanNumber {

/// A whole number with a dot between the thousands: "12.345".
QString Count(int64_t lCount);
/// Bytes as megabytes (1 MB = 1.048.576 bytes) with one decimal: "1.234,5".
QString Megabytes(int64_t lBytes);
/// "1 Datei", "12.345 Dateien".
QString Files(int64_t lCount);

}  // namespace GermanNumber

namespace CommandOutput {

/// The text on stream (stdout or stderr) as UTF-8, at once.
void Write(FILE* stream, const QString& sText);
/// A message of the command sProgram on stderr: its lines, the first after "sProgram: ", blank
/// lines left out.
void Tell(const char* sProgram, const QString& sText);

}  // namespace CommandOutput

class TerminalProgress {
public:
    static constexpr qint64 kRedrawIntervalMs = 100;

    /// Shows anything only when bEnabled, which the command sets when stderr is a terminal.
    explicit TerminalProgress(bool bEnabled);
    ~TerminalProgress();
    TerminalProgress(const TerminalProgress&) = delete;
    TerminalProgress& operator=(const TerminalProgress&) = delete;

    void Searching(const QString& sFolder, int64_t lFound);
    /// Files done of all, megabytes done of all, the speed so far and the expected end.
    void Archiving(int64_t lFilesDone, int64_t lFilesTotal, int64_t lBytesDone,
                   int64_t lBytesTotal);
    void Checking(int64_t lDone, int64_t lTotal);
    /// Removes the line, so that what follows starts at the beginning of an empty line.
    void Clear();

private:
    void Draw(const QString& sLine);

    bool bEnabled_;
    bool bShown_ = false;
    QElapsedTimer sinceStart_;
    QElapsedTimer sinceDraw_;
};
