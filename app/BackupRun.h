#pragma once
// BackupRun: one backup of the backup list into one ZIP archive, and its after-effects. No
// widgets: the backup dialog and sondrel-backup turn their inputs into BackupSettings, show the
// progress this reports and the reason of a failure it returns.
//
// The archiver takes at most 4096 files per run, so a longer list is written by further runs that
// grow the same archive; the progress counts across all of them. A run counts as successful only
// when every archiver run returned 0, the archive exists, every listed file was reported as
// archived, and the archive, read back from the disk, holds every entry as it was written;
// otherwise Run's result says why, in German, and no after-effect may be applied.
//
// The archive is built and checked under a hidden work name beside it (ArchiveName::WorkName) and
// gets its real name only then, in one rename that never replaces a file: a run stopped at any
// point leaves nothing under that name. A grown archive stays as it was until the grown one,
// checked, replaces it. One that fails its check is kept under its "(fehlerhaft)" name; after any
// other failure the work file is removed. A run first removes what stopped runs left in the folder.
//
// The moment the run started and each file's state at that moment are kept, so that the stored
// last-backup time is that moment and an archive mark is cleared only for a file still unchanged.
//
// The password is overwritten when the run ends, in the settings, the archiver and the engine.

#include <QDateTime>
#include <QElapsedTimer>
#include <QString>
#include <QStringList>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "app/FileSystem.h"
#include "app/Result.h"
#include "app/modBackup.h"

class CListString;

struct BackupSettings {
    QString sArchivePath;
    // Empty: the archive is not encrypted. Overwritten when the BackupRun goes, also in the
    // caller's copies that share its characters.
    QString sPassword;
    modBackup::EncryptionMethod eEncryption = modBackup::EncryptionMethod::AES256;
    QString sComment;  // empty: no comment
    bool bAdjustLastBackupDate = true;
    bool bClearArchiveFlag = false;
    bool bClearList = true;
    bool bGrowExisting = false;  // add to the archive at sArchivePath instead of making a new one
    /// The moment the backup counts from (stored as "LastBackupAt"); invalid: when Run begins.
    /// A caller that searched for changed files first gives the moment the search began.
    QDateTime dtStartedAt;
};

class BackupRun {
public:
    /// Receives each archived file's name and the progress over the whole list in percent.
    using FileAddedHandler = std::function<void(const QString& sFilename, float fPercent)>;
    /// Lets pending window events run.
    using EventPump = std::function<void()>;
    /// Receives the progress of the archive's check: entries_ checked and their number.
    using VerifyProgressHandler = std::function<void(int32_t lDone, int32_t lTotal)>;

    /// What tests and benchmarks change: beforeVerify runs between writing and checking (a test
    /// damages the archive there); afterArchiverRun after each archiver run (a test stops the run
    /// there); both get the work file's path. bSkipVerify leaves the check out, to measure what it
    /// costs; bNoHardLinks grows a copy of the archive, as where the file system has no links.
    struct TestHooks {
        std::function<void(const QString& sWorkPath_)> beforeVerify;
        std::function<void(const QString& sWorkPath_)> afterArchiverRun;
        bool bSkipVerify = false;
        bool bNoHardLinks = false;
    };
    static void SetTestHooks(TestHooks hooks);

    /// Files handed to one archiver run: the archiver's limit.
    static constexpr int32_t kFilesPerRun = 4096;
    /// The longest password the engine takes whole, in bytes of UTF-8.
    static constexpr qsizetype kMaxPasswordBytes = 255;
    /// The longest that 7-Zip takes for AES.
    static constexpr qsizetype kMaxAesPasswordBytes = 99;
    static constexpr qint64 kPumpIntervalMs = 10;

    BackupRun(BackupSettings settings_, FileAddedHandler onFileAdded_, EventPump pumpEvents_);
    ~BackupRun();
    BackupRun(const BackupRun&) = delete;
    BackupRun& operator=(const BackupRun&) = delete;
    void SetVerifyProgressHandler(VerifyProgressHandler onVerifyProgress_);

    /// The password to archive with: the text of both fields when they are equal, else none.
    static QString PasswordToUse(const QString& sPassword0, const QString& sPassword1);

    /// Writes every entry of files (nullptr counts as an empty list) into the archive; the list's
    /// cursor ends on its first entry. Events are pumped after a path handed to the archiver and
    /// after an archived file, at most every kPumpIntervalMs: often enough for a window that
    /// answers at once, rarely enough that tens of thousands of small files do not wait for it.
    /// Fails with the reasons, a paragraph each (FailedBecause puts the heading in front).
    Result<void> Run(CListString* files);

    /// Empties the backup list after a backup.
    using ListEmptier = std::function<Result<void>()>;

    /// After a successful Run, in this order and each only when its setting is on: stores the
    /// start moment as "LastBackupAt", clears the archive marks of the files archived and unchanged
    /// since the start, calls emptyList. Each is tried even when one before failed, since none of
    /// them can lose anything. Fails with why any failed, one German line each; after a failed
    /// Run nothing is applied, and it fails saying so.
    Result<void> ApplyAfterEffects(const ListEmptier& emptyList);

    /// The message of a failed backup: "Das Backup ist fehlgeschlagen." and the reason.
    static QString FailedBecause(const QString& sReason);
    /// Whether an archive can be written into the folder; fails with the system's reason.
    static Result<void> FolderWritable(const QString& sFolder);
    /// Whether the folder (or, while it does not exist, its nearest existing parent) lies on the
    /// file system of any of these files, so that one failing disk would take the files and their
    /// backup at once.
    static bool OnSameDisk(const QString& sFolder, const QStringList& paths);
    /// What the dialog and sondrel-backup then say, once.
    static const QString kSameDiskHint;
    /// The lines of a list, cut after lMax with a count of the rest, so that a message stays
    /// readable.
    static QString CappedLines(const QStringList& lines, qsizetype lMax);
    /// Where the archive lies after Run: its real name once written and checked (the next free
    /// name when the one asked for was taken meanwhile), its "(fehlerhaft)" name after a failed
    /// check; empty when the run left none.
    const QString& ArchivePath() const { return sFinalPath_; }
    /// Removes the work file of the run in progress, if there is one. Async-signal-safe: for the
    /// handler of a signal that ends the process.
    static void RemoveWorkFileNow();
    const QDateTime& StartedAt() const { return dtStarted_; }
    int32_t FilesTotal() const { return lFilesTotal_; }
    int32_t FilesDone() const { return lFilesDone_; }
    /// The sizes of the listed files when the run started, and of those archived so far.
    int64_t BytesTotal() const { return lBytesTotal_; }
    int64_t BytesDone() const { return lBytesDone_; }
    /// The listed paths the archiver reported as archived, in list order.
    QStringList ArchivedPaths() const;
    /// What the archiver noted for the user although the run succeeded ("Hinweis: ..."), each
    /// once: that a grown archive keeps its method of encryption, for one.
    const QStringList& Notes() const { return notes_; }

private:
    struct Entry {
        QString sPath;
        std::optional<FileSignature> stateAtStart;
        bool bReported = false;
        bool bHanded = false;
    };

    /// One archiver run over entries_ [first, last); returns its result.
    int32_t RunArchiver(size_t first, size_t last, bool bGrow);
    void FileAdded(const std::string& sFilename);
    /// Removes leftovers of stopped runs and, to grow an archive, lays it under the work name;
    /// empty, or why the run cannot begin.
    QString BeginWork();
    /// The checked work file under its real name; empty, or why it could not be given.
    QString PublishWork();
    /// The work file under its "(fehlerhaft)" name, for the user to look at; says where it is.
    QString KeepDamagedWork();
    /// Removes the work file (a grown archive's own name stays).
    void DropWork();
    /// The engine's text with the work file named as the archive, for the eye.
    QString ShownEngineText(QByteArray text) const;
    /// Reads the archive back and checks what the runs wrote; empty, or why it failed.
    QString VerifyArchive();
    void Yield();
    Failure Fail(const QStringList& reasons);
    QString ArchiveProblem(int32_t lLastResult) const;

    BackupSettings settings_;
    QString sWorkPath_;  // empty while the run has no work file
    QString sFinalPath_;
    FileAddedHandler onFileAdded_;
    EventPump pumpEvents_;
    VerifyProgressHandler onVerifyProgress_;
    QElapsedTimer pumpClock_;

    std::vector<Entry> entries_;
    std::unordered_map<std::string, size_t> entryOfName_;
    QStringList engineMessages_;
    QStringList notes_;
    QString sAddFileError_;
    QDateTime dtStarted_;
    int32_t lFilesTotal_ = 0;
    int32_t lFilesDone_ = 0;
    int64_t lBytesTotal_ = 0;
    int64_t lBytesDone_ = 0;
    bool bSucceeded_ = false;
};
