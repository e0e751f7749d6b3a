#pragma once
// OwnFiles: what the program keeps and writes itself, which no folder scan takes: its settings,
// state and runtime folders (the stores with their journals, locks, the socket), every archive a
// backup wrote, the work files of a run, and, in a folder archives go to, the files named as a
// backup names its archives. A folder that holds archives is still searched for everything else.
// Only scans ask: a file the user names on its own is taken as it is.
//
// Every archive a backup wrote is remembered in $XDG_STATE_HOME/tarvello/archives.txt, one line
// each: device, inode and size in decimal, then the path percent-encoded, separated by blanks. An
// archive is known by its identity wherever it lies, so a renamed or moved one is still known.

#include <QString>
#include <QStringList>
#include <cstdint>
#include <set>
#include <tuple>
#include <utility>

class OwnFiles {
public:
    /// What scans leave out now. sArchiveFolder: the folder the options name for archives (it
    /// counts as an archive folder even before the first backup into it).
    static OwnFiles Load(const QString& sArchiveFolder);

    enum class Folder {
        Plain,     // searched as usual
        Own,       // the program's own: not entered
        Archives,  // searched, but the archives in it are left out
    };
    /// What the folder is (one look at it).
    Folder KindOf(const QString& sPath) const;
    /// Whether the file sPath, whose name begins at nameStart, in a folder of that kind, is one
    /// the program wrote. Looks at the name; at the file itself only in an archive folder or when
    /// the name ends in ".zip".
    bool IsOwnFile(const QString& sPath, qsizetype nameStart, Folder kind) const;

    /// Remembers the archive at sPath as it is now, in place of an earlier record of that path,
    /// and forgets the archives that are gone. False when the record could not be written.
    static bool Remember(const QString& sArchivePath);
    static QString RecordPath();
    /// The paths of the archives remembered, as they were written.
    static QStringList RecordedArchives();

    /// The name of a backup's work file or of the engine's temporary file.
    static bool IsWorkName(QStringView sName);
    /// The name a backup gives its archives: "20261207_1405 Backup.zip", with " (2)" and
    /// " (fehlerhaft)" after it in any order.
    static bool IsArchiveName(QStringView sName);
    /// The name of an archive's state record: an archive's name with ".zustand" for ".zip".
    static bool IsStateRecordName(QStringView sName);

private:
    using FolderId = std::pair<uint64_t, uint64_t>;             // device, inode
    using ArchiveId = std::tuple<uint64_t, uint64_t, int64_t>;  // device, inode, size
    bool IsRecordedArchive(const QString& sPath) const;

    std::set<FolderId> ownFolders_;
    std::set<FolderId> archiveFolders_;
    std::set<ArchiveId> archives_;
};
