#pragma once
// The state record of a daily run: every file present under the searched folder when the search
// ran (after exclusions, own files and the extension filter), with its size and modification time,
// so that a restore can tell a deleted file from one that did not change. It lies beside its
// archive as "<archive's name without .zip>.zustand", a ZIP archive of its own written and checked
// as the archive is (same password and method), holding one deflated entry of this text:
//
//     Sondrel-Zustand 1
//     <searched folder>
//     <size>\t<mtime>\t<path>         one line per file; mtime in seconds since 1970 UTC
//     *\t<folder>                      a folder the level limit left unsearched
//
// Paths are the absolute paths' bytes, percent-encoded ("/" kept), so that any name is exact.

#include <QByteArray>
#include <QString>
#include <cstdint>
#include <vector>

#include "app/Result.h"
#include "app/modBackup.h"

namespace StateRecord {

inline constexpr char kFirstLine[] = "Sondrel-Zustand 1";

/// "<folder>/20261207_1405 Backup (2).zustand" for "<folder>/20261207_1405 Backup (2).zip".
QString PathFor(const QString& sArchivePath);

/// The text being gathered during a search.
class Builder {
public:
    explicit Builder(const QByteArray& folder);
    void AddFile(const QByteArray& path, uint64_t lSize, int64_t lMtime);
    void AddCutFolder(const QByteArray& path);
    const QByteArray& Text() const { return text_; }

private:
    QByteArray text_;
};

/// A record's text, read back.
struct Parsed {
    QByteArray folder;
    std::vector<QByteArray> files;       // sorted
    std::vector<QByteArray> cutFolders;  // sorted
    /// Whether the record lists path, or does not cover it (outside its folder, or below a folder
    /// it left unsearched): only a covered, unlisted path was deleted.
    bool Lists(const QByteArray& path) const;
    bool Covers(const QByteArray& path) const;
};
Result<Parsed> Parse(const QByteArray& text);

/// Writes text as the record of sArchivePath: under a work name in the state folder's care, then
/// through a backup run of its own (work name, check, rename), encrypted as given. The plain text
/// lies in the private state folder only while the run reads it. Fails with a German reason.
Result<void> Write(const QString& sArchivePath, const QByteArray& text, const QString& sPassword,
                   modBackup::EncryptionMethod eEncryption);

}  // namespace StateRecord
