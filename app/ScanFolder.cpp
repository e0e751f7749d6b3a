#include "app/ScanFolder.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <vector>

#include "app/NativePath.h"
#include "app/OwnFiles.h"
#include "app/TerminalProgress.h"
#include "app/modBackup.h"
#include "list/Wildcard.h"

namespace modBackup {

namespace {

// Longest stretch a reporting scan runs without letting the event loop (and a stop request) in.
constexpr qint64 kYieldIntervalMs = 100;

class ScanRun {
public:
    ScanRun(SharedState& state, bool bAddToWindow, bool bReportToSearch)
        : state_(state), addToWindow_(bAddToWindow), reportToSearch_(bReportToSearch) {
        if (!state_.BackupFiles) {
            state_.BackupFiles = std::make_unique<CListString>();
        }
        // The patterns are walked once per scan instead of once per file; the list does not
        // change while the scan runs.
        if (state_.Extensions) {
            CListString& extensions = *state_.Extensions;
            for (extensions.MoveFirst(); !extensions.EOL(); extensions.MoveNext()) {
                patterns_.push_back(extensions.Data().toUpper());
            }
        }
        own_ = state_.Own ? state_.Own
                          : std::make_shared<const OwnFiles>(OwnFiles::Load(ReadDefaultPath()));
        sinceYield_.start();
    }

    void Walk(const FSOFolder& folder, int32_t level) {
        if (state_.ScanRecursionLimit >= 1 && level >= state_.ScanRecursionLimit) {
            if (!Excluded(folder.Path()) && own_->KindOf(folder.Path()) != OwnFiles::Folder::Own) {
                if (result_.lFoldersCut++ == 0) {
                    result_.sFirstCut = folder.Path();
                }
                if (state_.CutOutlet) {
                    state_.CutOutlet(folder.Path());
                }
            }
            return;
        }
        if (Excluded(folder.Path())) {
            return;
        }
        const OwnFiles::Folder kind = own_->KindOf(folder.Path());
        if (kind == OwnFiles::Folder::Own) {
            return;
        }
        const qsizetype nameStart = folder.IsRootFolder() ? 1 : folder.Path().size() + 1;
        for (const FSOFile& file : folder.Files()) {
            if (YieldOnTime()) {
                return;
            }
            if (own_->IsOwnFile(file.Path(), nameStart, kind) || !PassesFilter(file)) {
                continue;
            }
            if (state_.PresentOutlet) {
                state_.PresentOutlet(file);
            }
            if (IsChanged(file) && Take(file.Path())) {
                return;
            }
        }
        if (folder.IsRootFolder()) {
            return;
        }
        for (const FSOFolder& sub : folder.SubFolders()) {
            if (YieldOnTime()) {
                return;
            }
            // A copy, so that each folder's listing is released once it has been walked.
            Walk(FSOFolder(sub), level + 1);
            if (stopped_) {
                return;
            }
        }
    }

    const ScanResult& Outcome() const { return result_; }

private:
    bool Excluded(const QString& sPath) const {
        return state_.ExcludeFolders && state_.ExcludeFolders->ValueExists(sPath);
    }

    bool PassesFilter(const FSOFile& file) const {
        if (!patterns_.empty()) {
            const QString extension = FileSystemObject::GetExtensionName(file.Name()).toUpper();
            for (const QString& pattern : patterns_) {
                if (WildcardMatch(extension, pattern)) {
                    return false;
                }
            }
        }
        return true;
    }

    bool IsChanged(const FSOFile& file) const {
        if (state_.ScanArchiveOnly && !file.ArchiveMarkSet()) {
            return false;
        }
        if (state_.ScanChangedOnly) {
            const QDateTime modified = file.DateLastModified();
            if (!modified.isValid() || modified < state_.ScanSince) {
                return false;
            }
        }
        return true;
    }

    // Appends a new path and passes it on; true when the scan must end.
    bool Take(const QString& sPath) {
        CListString& backupFiles = *state_.BackupFiles;
        if (backupFiles.ValueExists(sPath)) {
            return false;
        }
        backupFiles.Add(sPath);
        if (addToWindow_ && state_.WindowOutlet != nullptr) {
            state_.WindowOutlet->AddToFileList(sPath);
        }
        if (reportToSearch_ && state_.SearchOutlet != nullptr) {
            state_.SearchOutlet->FileFound(sPath);
            return Yield();
        }
        return false;
    }

    bool Yield() {
        QCoreApplication::processEvents();
        sinceYield_.restart();
        stopped_ = state_.SearchOutlet != nullptr && state_.SearchOutlet->bStopped();
        return stopped_;
    }

    bool YieldOnTime() {
        if (reportToSearch_ && sinceYield_.elapsed() >= kYieldIntervalMs) {
            return Yield();
        }
        return stopped_;
    }

    SharedState& state_;
    const bool addToWindow_;
    const bool reportToSearch_;
    std::vector<QString> patterns_;
    std::shared_ptr<const OwnFiles> own_;
    ScanResult result_;
    QElapsedTimer sinceYield_;
    bool stopped_ = false;
};

}  // namespace

ScanResult ScanFolder(const FSOFolder& oFolder, bool AddToWindow, bool ReportToSearch) {
    return ScanFolderIn(State(), oFolder, AddToWindow, ReportToSearch);
}

ScanResult ScanFolderIn(SharedState& oState, const FSOFolder& oFolder, bool AddToWindow,
                        bool ReportToSearch) {
    ScanRun run(oState, AddToWindow, ReportToSearch);
    run.Walk(oFolder, 0);
    return run.Outcome();
}

QString LevelLimitNote(const QString& sFolder, int32_t lLimit, const ScanResult& result) {
    if (result.lFoldersCut <= 0) {
        return QString();
    }
    const QString sDepth =
        lLimit == 1 ? QStringLiteral("1 Ebene") : QStringLiteral("%1 Ebenen").arg(lLimit);
    if (result.lFoldersCut == 1) {
        return QStringLiteral(
                   "„%1“ wurde nur %2 tief durchsucht; der Ordner „%3“ darunter wurde mit "
                   "seinem Inhalt ausgelassen.")
            .arg(DisplayPath(sFolder), sDepth, DisplayPath(result.sFirstCut));
    }
    return QStringLiteral(
               "„%1“ wurde nur %2 tief durchsucht; %3 Ordner darunter wurden mit ihrem Inhalt "
               "ausgelassen, der erste ist „%4“.")
        .arg(DisplayPath(sFolder), sDepth, GermanNumber::Count(result.lFoldersCut),
             DisplayPath(result.sFirstCut));
}

}  // namespace modBackup
