#pragma once
// FSO: the program's file-system service. Paths are full paths as text; "/" is the only root.
//
// Folders list their entries sorted by name in byte order so that runs are repeatable. A link to a
// folder is neither a file nor a subfolder (it is never descended into, so there are no cycles); a
// file reached through a link is a file. Entries that cannot be read are left out.
//
// File objects are lazy and live: Name and Path cost nothing; Size, DateLastModified and
// Attributes look at the file each time they are asked, and only Attributes and ArchiveMarkSet
// ask the archive-mark store.
//
// Attribute bits: 1 read-only (the user may not write the file), 2 hidden (the name begins with
// "."), 16 folder, 32 archive (kept in the archive-mark store: set unless cleared since the file
// was last written). Only bit 32 can be written.

#include <QDateTime>
#include <QString>
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "platform/archivemarks/ArchiveMarkStore.h"

enum FileAttribute : int32_t {
    AttrReadOnly = 1,
    AttrHidden = 2,
    AttrDirectory = 16,
    AttrArchive = 32,
};

class FileSystemObject;

/// The program's folder for state of this user: $XDG_STATE_HOME/tarvello (~/.local/state/...).
QString StateFolder();

/// Drops the archive marks' records of files that are gone, at most once a day and in one
/// transaction, through a connection of its own: it may run on any thread. False when the store
/// could not be changed.
bool DropVanishedMarks();

/// The stat fields that change when a file is rewritten, renamed over or touched: what the archive
/// marks record.
using FileSignature = ArchiveMarkStore::Signature;
/// The signature of what the path names (through links); nullopt when it cannot be looked at.
std::optional<FileSignature> SignatureOfFile(const QString& sPath);

/// The working folder, exactly (a name that is not UTF-8 escaped as NativePath expects).
QString CurrentFolder();
/// The full form of a path: a relative one is joined to sBase (the working folder when empty) and
/// cleaned of ".", ".." and doubled slashes; an absolute one loses doubled slashes, "." parts and a
/// trailing slash only, since a link to a folder makes a textual ".." wrong. "/" stays "/".
QString FullPath(const QString& sPath, const QString& sBase = QString());
/// Why the path (followed through links) can never be backed up although something is there: a
/// pipe, a socket or a device, in German; empty for a file, a folder or nothing at all.
QString SpecialFileReason(const QString& sPath);

class FSOFile {
public:
    FSOFile() = default;
    FSOFile(FileSystemObject* fso, QString sPath, qsizetype nameStart);

    QString Name() const;
    const QString& Path() const { return sPath_; }
    /// Bytes; 0 when the file cannot be read.
    int64_t Size() const;
    /// Local time, whole seconds; an invalid QDateTime when the file cannot be read.
    QDateTime DateLastModified() const;
    /// Bit values as in FileAttribute; 0 when the file cannot be read. Read-only: the user may not
    /// write the file, or nobody has write permission.
    int32_t Attributes() const;
    /// Whether Attributes would hold bit 32, without the look at the other bits; false when the
    /// file cannot be read. What a search by archive mark asks of every file.
    bool ArchiveMarkSet() const;
    /// Only bit 32 has an effect: clearing it records the file's present state as saved, setting
    /// it forgets that record. Returns false when nothing could be recorded.
    bool SetAttributes(int32_t lAttributes);

private:
    FileSystemObject* fso_ = nullptr;
    QString sPath_;
    qsizetype nameStart_ = 0;
};

class FSOFolder {
public:
    FSOFolder() = default;
    explicit FSOFolder(FileSystemObject* fso, QString sPath);

    const QString& Path() const { return sPath_; }
    /// The files directly in the folder, sorted by name; read from disk on first use.
    const std::vector<FSOFile>& Files() const;
    /// The direct subfolders (links to folders left out), sorted by name.
    const std::vector<FSOFolder>& SubFolders() const;
    /// True for "/" only.
    bool IsRootFolder() const;

private:
    void List() const;

    FileSystemObject* fso_ = nullptr;
    QString sPath_;
    mutable bool listed_ = false;
    mutable std::vector<FSOFile> files_;
    mutable std::vector<FSOFolder> subFolders_;
};

class FileSystemObject {
public:
    FileSystemObject();
    ~FileSystemObject();
    FileSystemObject(const FileSystemObject&) = delete;
    FileSystemObject& operator=(const FileSystemObject&) = delete;

    /// True exactly when a folder (or a link to one) of that path exists.
    bool FolderExists(const QString& sPath) const;
    /// True exactly when a file of that path exists (through links too); a folder does not count.
    bool FileExists(const QString& sPath) const;
    /// FileExists and the file's Size in one look: nullopt when no file of that path exists.
    std::optional<int64_t> FileSize(const QString& sPath) const;
    /// The folder of that path in its full form (FullPath). A path that names no readable folder
    /// gives a folder without entries.
    FSOFolder GetFolder(const QString& sPath);
    /// The file of that path in its full form (FullPath).
    FSOFile GetFile(const QString& sPath);

    /// The text after the last dot of the last path part, without the dot; empty without a dot.
    static QString GetExtensionName(const QString& sPath);
    /// The path without its last part and without a trailing slash; "/" keeps its slash
    /// ("/a" gives "/"). A path without a slash gives the empty text.
    static QString GetParentFolderName(const QString& sPath);
    /// sFolder and sName joined with one slash inserted when sFolder does not end in one.
    static QString BuildPath(const QString& sFolder, const QString& sName);

    /// The archive-mark store, opened on first use. Closing it lets tests point it elsewhere.
    ArchiveMarkStore& Marks();
    void CloseMarks();

private:
    std::unique_ptr<ArchiveMarkStore> marks_;
};
