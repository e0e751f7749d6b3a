#include "app/Intake.h"

#include <algorithm>

#include "app/Main.h"
#include "app/OwnFiles.h"
#include "app/modBackup.h"

namespace modBackup {

void SetFolderScanParameters(SharedState& oState) {
    // Fixed for these scans: the stored level options belong to the change search.
    oState.ScanRecursionLimit = kFolderScanLevels;
    oState.ScanArchiveOnly = false;
    oState.ScanChangedOnly = false;
    oState.ScanSince = ZeroDate();
}

Result<void> LoadFolderScanExtensions(std::unique_ptr<CListString>& oExtensions) {
    if (ReadFlagOption(OptExtFilterScan, false)) {
        if (Result<void> loaded = LoadOptionList(oExtensions, QStringLiteral("Extension"));
            !loaded) {
            return Failure{QStringLiteral("Die Dateiendungen, die das Durchsuchen von Ordnern "
                                          "auslässt, konnten nicht gelesen werden: %1")
                               .arg(loaded.Reason())};
        }
        return {};
    }
    if (!oExtensions) {
        oExtensions = std::make_unique<CListString>();
    }
    oExtensions->RemoveAll();
    return {};
}

Result<FolderScanFilters> LoadFolderScanFilters() {
    std::unique_ptr<CListString> list;
    if (Result<void> loaded = LoadFolderScanExtensions(list); !loaded) {
        return Failure{loaded.Reason()};
    }
    FolderScanFilters filters;
    filters.extensions = ListValues(list.get());
    if (Result<void> loaded = LoadExcludeFolders(list); !loaded) {
        return Failure{
            QStringLiteral("Die ausgeschlossenen Ordner konnten nicht gelesen werden: %1")
                .arg(loaded.Reason())};
    }
    filters.excludeFolders = ListValues(list.get());
    filters.own = std::make_shared<const OwnFiles>(OwnFiles::Load(ReadDefaultPath()));
    return filters;
}

Result<void> PrepareFolderScan(SharedState& oState) {
    if (Result<void> loaded = LoadFolderScanExtensions(oState.Extensions); !loaded) {
        return loaded;
    }
    if (Result<void> loaded = LoadExcludeFolders(oState.ExcludeFolders); !loaded) {
        return Failure{
            QStringLiteral("Die ausgeschlossenen Ordner konnten nicht gelesen werden: %1")
                .arg(loaded.Reason())};
    }
    SetFolderScanParameters(oState);
    return {};
}

bool AnyFolder(const QStringList& tokens, const QString& sWorkingFolder) {
    const FileSystemObject fso;
    return std::any_of(tokens.begin(), tokens.end(), [&](const QString& token) {
        return fso.FolderExists(FullPath(token, sWorkingFolder));
    });
}

QStringList IntakeTokens(const QStringList& args) {
    QStringList tokens = TokenizeCommandLine(BuildCommandLine(args));
    tokens.removeAll(QString());
    return tokens;
}

QStringList CollectIntakeFiles(const QStringList& tokens, const QString& sWorkingFolder,
                               const FolderScanFilters& filters,
                               std::unique_ptr<CListString>& oFiles) {
    SharedState scan;
    scan.BackupFiles = oFiles ? std::move(oFiles) : std::make_unique<CListString>();
    scan.Extensions = std::make_unique<CListString>();
    for (const QString& pattern : filters.extensions) {
        scan.Extensions->Add(pattern);
    }
    scan.ExcludeFolders = std::make_unique<CListString>();
    for (const QString& sFolder : filters.excludeFolders) {
        scan.ExcludeFolders->Add(sFolder);
    }
    scan.Own = filters.own;
    QStringList notes;
    CListString& files = *scan.BackupFiles;
    for (const QString& token : tokens) {
        const QString path = FullPath(token, sWorkingFolder);
        if (scan.FSO.FolderExists(path)) {
            SetFolderScanParameters(scan);
            const ScanResult result = ScanFolderIn(scan, scan.FSO.GetFolder(path), false, false);
            if (const QString note = LevelLimitNote(path, kFolderScanLevels, result);
                !note.isEmpty()) {
                notes.append(note);
            }
        } else if (!files.ValueExists(path)) {
            files.Add(path);
        }
    }
    oFiles = std::move(scan.BackupFiles);
    return notes;
}

int TakeIntakeFiles(const QStringList& files, IWindowOutlet* window) {
    std::unique_ptr<CListString>& list = State().BackupFiles;
    if (!list) {
        list = std::make_unique<CListString>();
    }
    int added = 0;
    for (const QString& path : files) {
        if (list->ValueExists(path)) {
            continue;
        }
        list->Add(path);
        ++added;
        if (window != nullptr) {
            window->AddToFileList(path);
        }
    }
    return added;
}

}  // namespace modBackup
