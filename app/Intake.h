#pragma once
// Taking the paths of a command line into the backup list. Intake mode does it on the stored list;
// an open window does it for another start of the program (SingleInstance.h) with the very same
// steps: the files are collected first, touching nothing shared (so the window can collect on a
// worker thread), and then appended to BackupFiles in command-line order.

#include <QString>
#include <QStringList>
#include <memory>

#include "app/Result.h"

class CListString;
class OwnFiles;

namespace modBackup {

class IWindowOutlet;
struct SharedState;

/// The settings a folder of the command line or of a drop is scanned with: five levels, no
/// archive-mark or date condition.
void SetFolderScanParameters(SharedState& oState);
/// Fills the list (created when absent) with the stored "Extension" patterns when
/// "UseExtensionFilterInFolderScan" is set, empties it otherwise. Fails when the patterns could
/// not be read: a scan without them would take files the user left out.
Result<void> LoadFolderScanExtensions(std::unique_ptr<CListString>& oExtensions);
/// The level limit of these scans.
inline constexpr int32_t kFolderScanLevels = 5;

/// What CollectIntakeFiles scans folders with, read from the store beforehand so that it can run
/// on any thread: the patterns of LoadFolderScanExtensions, the excluded folders
/// (LoadExcludeFolders) and the program's own files.
struct FolderScanFilters {
    QStringList extensions;
    QStringList excludeFolders;
    std::shared_ptr<const OwnFiles> own;
};
/// Fails when a list could not be read: a scan without it would take files the user left out.
Result<FolderScanFilters> LoadFolderScanFilters();

/// Readies the shared state for the scan of a dropped folder: scan parameters, extension patterns
/// and excluded folders as for a folder of the command line. Fails with why a list could not be
/// read; the folder must then not be scanned.
Result<void> PrepareFolderScan(SharedState& oState);

/// Whether any of the tokens (relative ones taken relative to sWorkingFolder) names a folder.
bool AnyFolder(const QStringList& tokens, const QString& sWorkingFolder);

/// The paths of a command line: its tokens without the empty ones.
QStringList IntakeTokens(const QStringList& args);

/// Appends to oFiles (created when absent) the files the tokens stand for, in order and each
/// once, leaving out what it holds already: the qualifying files of a folder
/// (SetFolderScanParameters and the filters), anything else as a file path in full form. Relative
/// tokens are taken relative to sWorkingFolder. Uses no shared state and no store, so that it may
/// run on any thread with a list of its own. Returns, for each folder whose scan stopped at the
/// level limit, the sentence that says what it left out (LevelLimitNote).
QStringList CollectIntakeFiles(const QStringList& tokens, const QString& sWorkingFolder,
                               const FolderScanFilters& filters,
                               std::unique_ptr<CListString>& oFiles);

/// Appends each of the files that BackupFiles does not hold yet, in order; with a window outlet
/// each appended path is passed to it too. Returns how many were appended.
int TakeIntakeFiles(const QStringList& files, IWindowOutlet* window);

}  // namespace modBackup
