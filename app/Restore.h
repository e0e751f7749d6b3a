#pragma once
// Restore: files back from the archives the backups wrote, as they were at a chosen moment. No
// widgets: sondrel-restore and the restore dialog turn their inputs into these calls.
//
// The catalog knows every archive this program wrote in the folders it reads (by the archive
// names a backup gives, "20261207_1405 Backup.zip" with " (2)" after it), each archive's moment
// (the minute in its name; " (2)" comes after the plain name of the same minute) and its entries.
// A path's versions are its entries in every archive; at a moment, a path comes back as it was
// in the newest archive written at or before that moment.
//
// The state record: each scheduled run also writes, beside its archive and under its base name,
// "<Archivname>.zustand" (a ZIP archive of its own, crash-safe, checked and encrypted as the
// archive is, holding one entry), the list of every file present under the searched folder at the
// moment of its search, with size and modification time. At a moment, the newest record at or
// before it tells which paths under its folder still existed: any other path there was deleted
// by then and is left out unless the caller asks for deleted files. Without any record every
// archived path counts.
//
// Paths are the absolute paths as they were backed up, as bytes (names need not be UTF-8): an
// entry "home/anna/Briefe/a.txt" is the path "/home/anna/Briefe/a.txt".

#include <QByteArray>
#include <QDateTime>
#include <QString>
#include <QStringList>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "app/Result.h"

namespace Restore {

/// The folders read when the caller names none: the options' archive folder and every folder a
/// backup wrote an archive to (OwnFiles' record), each once, those that exist.
QStringList DefaultFolders();

struct ArchiveInfo {
    QString sPath;
    QDateTime dtMoment;  // local time, to the minute
    int iNumber = 1;     // 1 for the plain name, n for " (n)"
    bool bEncrypted = false;
    QString sRecordPath;  // its state record; empty when it has none
};

struct Version {
    int iArchive = 0;    // index into Catalog::Archives()
    int64_t lEntry = 0;  // the entry's index in that archive
    uint64_t lSize = 0;
    uint32_t lCrc = 0;
    int64_t lMtime = 0;  // seconds since 1970 UTC
    uint32_t lMode = 0;  // 0: none archived
    bool bEncrypted = false;
};

/// The password for the encrypted archives of one restore: asked for at most once, and only when
/// an archive needs one. Empty optional: the user gave none (those archives then fail).
using PasswordSource = std::function<std::optional<QByteArray>()>;

struct PlannedFile {
    QByteArray path;
    Version version;
    bool bDeleted = false;  // the record at the moment does not list it (only with bDeleted)
};

struct Plan {
    QDateTime dtAt;
    std::vector<PlannedFile> files;  // sorted by path
    /// Whether a state record decided what was deleted; false: every archived path counted.
    bool bHasRecord = false;
    QString sRecordPath;
    /// Asked-for paths under which nothing was archived by the moment.
    QList<QByteArray> unmatched;
};

class Catalog {
public:
    /// Reads the directories of every archive this program wrote in folders (not below them).
    /// Files there that are no such archive are left alone; archives that cannot be read are
    /// skipped, each with a German line in Skipped(). Fails only when no folder can be read.
    static Result<Catalog> Read(const QStringList& folders);

    /// Oldest first.
    const std::vector<ArchiveInfo>& Archives() const;
    /// "„/x/a.zip“ übersprungen: <Grund>" for each archive left out.
    const QStringList& Skipped() const;
    /// Every version of the path (a file), newest first.
    std::vector<Version> VersionsOf(const QByteArray& path) const;

    /// What comes back at dtAt (invalid: the newest) for paths (files or folders, a folder meaning
    /// everything below it; empty: everything). Reads the newest state record at or before dtAt,
    /// asking password for it when it is encrypted; a record that cannot be read fails the plan
    /// (its reason says which and why), never taken as "nothing deleted".
    Result<Plan> PlanAt(const QDateTime& dtAt, const QList<QByteArray>& paths, bool bDeleted,
                        const PasswordSource& password) const;

    Catalog();
    ~Catalog();
    Catalog(Catalog&&) noexcept;
    Catalog& operator=(Catalog&&) noexcept;

private:
    struct Data;
    std::unique_ptr<Data> data_;
    friend class Runner;
};

struct Options {
    QString sTarget;  // empty: the original places; else the original path recreated below it
    bool bOverwrite = false;
};

struct Progress {
    int64_t lFilesDone = 0;
    int64_t lFilesTotal = 0;
    uint64_t lBytesDone = 0;
    uint64_t lBytesTotal = 0;
    QByteArray current;  // the file being restored
};

struct Summary {
    int64_t lRestored = 0;   // files written
    uint64_t lBytes = 0;     // their bytes
    int64_t lIdentical = 0;  // left alone: the file there is the archived one (size and CRC)
    /// Written beside a different file as "Name (wiederhergestellt JJJJ-MM-TT HHMM).ext".
    QStringList beside;
    /// "<Pfad>: <Grund>" for each file or archive that failed (the rest is still restored).
    QStringList failures;
    bool bCancelled = false;
};

/// Restores the plan's files with the catalog's archives, on every core. Each file is written
/// under a hidden temporary name in its folder (mode 0600) and renamed into place only after its
/// size and CRC held; it then gets its archived modification time and mode (0600 when none is
/// archived). No file is written outside the target: names with "..", and folders of the target
/// that are symbolic links, are refused with a message. A wrong password fails that archive's
/// files ("„…“: falsches Passwort") before any of them is written. progress is called from the
/// calling thread; cancel stops at the next file, leaving what was completely restored and no
/// temporary file. Leftover temporary files of a killed restore in the folders it writes to are
/// removed.
Summary Run(const Catalog& catalog, const Plan& plan, const Options& options,
            const PasswordSource& password, const std::function<void(const Progress&)>& progress,
            const std::atomic<bool>& cancel);

/// "N Dateien, X,Y MB wiederhergestellt, M übersprungen"
QString SummaryLine(const Summary& summary);

}  // namespace Restore
