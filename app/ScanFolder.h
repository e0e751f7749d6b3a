#pragma once
// ScanFolder: the one place where a folder turns into backup-list entries, under the shared scan
// parameters and filter lists of modBackup. The forms take part through the two outlets below;
// the scan knows nothing else of them.

#include <QString>
#include <cstdint>

class FSOFolder;

namespace modBackup {

struct SharedState;

/// What a scan left out at its level limit: the folders at the limit that it did not enter (with
/// everything below them), and the first of them. Folders it never enters anyway (excluded ones,
/// the program's own) are not counted.
struct ScanResult {
    int64_t lFoldersCut = 0;
    QString sFirstCut;
};

/// The German sentence that tells what a scan of sFolder with the level limit lLimit left out;
/// empty when it left nothing out.
QString LevelLimitNote(const QString& sFolder, int32_t lLimit, const ScanResult& result);

/// Implemented by the main window: appends one path to its file list (lbFiles).
class IWindowOutlet {
public:
    virtual ~IWindowOutlet() = default;
    virtual void AddToFileList(const QString& sPath) = 0;
};

/// Implemented by the change search: each newly taken file is reported, and the stop request is
/// read after the reported file and after every yield of the event loop.
class ISearchOutlet {
public:
    virtual ~ISearchOutlet() = default;
    virtual void FileFound(const QString& sFile) = 0;
    virtual bool bStopped() const = 0;
};

/// Walks oFolder (level 0) and appends every qualifying file that BackupFiles does not hold yet.
/// Reads ScanRecursionLimit, ScanArchiveOnly, ScanChangedOnly, ScanSince, Extensions and
/// ExcludeFolders of State(). With AddToWindow each taken path also goes to State().WindowOutlet;
/// with ReportToSearch to State().SearchOutlet, followed by a yield of the event loop
/// (QCoreApplication::processEvents) and a look at its stop request, which ends the whole scan.
/// With ReportToSearch the scan also yields at least every 100 ms while it finds nothing new.
/// Never takes the program's own files (OwnFiles.h): those of State().Own, or, without it, those
/// the scan looks up itself. Returns what the level limit left out.
ScanResult ScanFolder(const FSOFolder& oFolder, bool AddToWindow, bool ReportToSearch);
/// As ScanFolder, with the lists and parameters of oState instead of State(): a scan whose files
/// do not go straight into the program's list (see CollectIntakeFiles).
ScanResult ScanFolderIn(SharedState& oState, const FSOFolder& oFolder, bool AddToWindow,
                        bool ReportToSearch);

}  // namespace modBackup
