#include "app/DailySearch.h"

#include <sqlite3.h>

#include <QDateTime>
#include <cerrno>

#include "app/LeadingNumber.h"
#include "app/NativePath.h"
#include "app/SearchSettings.h"
#include "app/StateRecord.h"
#include "app/TerminalProgress.h"
#include "app/modBackup.h"
#include "app/modRegistry.h"

namespace DailySearch {

namespace {

const QString kRuleName = QStringLiteral("DailySearchByArchiveMark");

// Counts what the search adds and passes it on.
class CountingOutlet : public modBackup::ISearchOutlet {
public:
    explicit CountingOutlet(modBackup::ISearchOutlet& next) : next_(next) {}
    void FileFound(const QString& sFile) override {
        ++lFound;
        next_.FileFound(sFile);
    }
    bool bStopped() const override { return next_.bStopped(); }
    int64_t lFound = 0;

private:
    modBackup::ISearchOutlet& next_;
};

QString MarksReason(int code, int systemError) {
    switch (code & 0xFF) {
        case SQLITE_NOTADB:
            return QStringLiteral("die Datei ist keine SQLite-Datenbank");
        case SQLITE_CORRUPT:
            return QStringLiteral("die Datei ist beschädigt");
        case SQLITE_BUSY:
        case SQLITE_LOCKED:
            return QStringLiteral(
                "die Datei ist länger als 5 Sekunden von einem anderen Programm gesperrt");
        default:
            return systemError != 0 ? SystemReason(systemError)
                                    : QString::fromUtf8(sqlite3_errstr(code));
    }
}

// Loads the marks below sFolder for the scan; empty, or what went wrong and what became of the
// store.
QString PreloadMarks(const QString& sFolder, bool bRepair) {
    ArchiveMarkStore& marks = modBackup::State().FSO.Marks();
    const QByteArray folder = NativePath(sFolder);
    const ArchiveMarkStore::Load load =
        marks.Preload(std::string_view(folder.constData(), static_cast<size_t>(folder.size())));
    if (load == ArchiveMarkStore::Load::Loaded) {
        return QString();
    }
    const QString sFile = DisplayPath(PathFromNative(marks.Path()));
    const QString sReason = MarksReason(marks.ProblemCode(), marks.ProblemErrno());
    if (load != ArchiveMarkStore::Load::Damaged) {
        return QStringLiteral("Die Archivmarken „%1“ können nicht gelesen werden: %2.")
            .arg(sFile, sReason);
    }
    if (!bRepair) {
        return QStringLiteral("Die Archivmarken „%1“ sind beschädigt: %2.").arg(sFile, sReason);
    }
    const std::string moved =
        marks.MoveAside(modRegistry::DamagedSuffix(QDateTime::currentDateTime()));
    if (moved.empty()) {
        return QStringLiteral(
                   "Die Archivmarken „%1“ sind beschädigt (%2) und konnten nicht beiseitegelegt "
                   "werden: %3.")
            .arg(sFile, sReason, SystemReason(errno));
    }
    return QStringLiteral(
               "Die Archivmarken „%1“ waren beschädigt (%2); die Datei liegt unverändert unter "
               "„%3“, und mit diesem Backup beginnen neue.")
        .arg(sFile, sReason, DisplayPath(PathFromNative(moved)));
}

}  // namespace

Rule StoredRule() {
    const QString text = modBackup::ReadOption(kRuleName, QStringLiteral("1"));
    return LeadingNumber(text) >= 1 ? Rule::ArchiveMark : Rule::Date;
}

Result<void> StoreRule(Rule rule) {
    return modBackup::WriteOption(
        kRuleName, rule == Rule::ArchiveMark ? QStringLiteral("1") : QStringLiteral("0"));
}

Result<Found> Run(Rule rule, modBackup::ISearchOutlet& outlet, bool bRepair) {
    using namespace modBackup;
    SharedState& state = State();
    SearchSettings::Values values = SearchSettings::Load();
    Found found;
    found.rule = rule;
    found.sFolder = values.sSearchPath;
    if (!state.FSO.FolderExists(values.sSearchPath)) {
        return Failure{QStringLiteral("Das Startverzeichnis der Suche „%1“ gibt es nicht.")
                           .arg(DisplayPath(values.sSearchPath))};
    }
    if (rule == Rule::ArchiveMark) {
        values.bUseArchiveFlag = true;
        values.bNoLastBackupDate = true;
    }
    if (const Result<void> prepared = SearchSettings::PrepareScan(values); !prepared) {
        return Failure{prepared.Reason()};
    }
    if (rule == Rule::Date && state.ScanChangedOnly) {
        found.since = state.ScanSince;
    }
    // The folders the options exclude, which the window loads only with the options dialog. Not
    // read, they would be searched as if none were excluded.
    if (const Result<void> loaded = LoadExcludeFolders(state.ExcludeFolders); !loaded) {
        return Failure{
            QStringLiteral("Die ausgeschlossenen Ordner konnten nicht gelesen werden: %1")
                .arg(loaded.Reason())};
    }
    const FSOFolder folder = state.FSO.GetFolder(values.sSearchPath);
    if (state.ScanArchiveOnly) {
        found.sMarksProblem = PreloadMarks(folder.Path(), bRepair);
        if (!found.sMarksProblem.isEmpty()) {
            state.ScanArchiveOnly = false;
            found.sMarksProblem +=
                rule == Rule::ArchiveMark
                    ? QStringLiteral(
                          " Dieses Backup nimmt darum jede Datei in „%1“, wie ein "
                          "erstes Backup.")
                          .arg(DisplayPath(folder.Path()))
                    : QStringLiteral(
                          " Die Suche lässt darum die Archivmarken außer Acht und "
                          "nimmt jede seit dem letzten Backup geänderte Datei.");
        }
    }
    CountingOutlet counter(outlet);
    ISearchOutlet* const previous = state.SearchOutlet;
    state.SearchOutlet = &counter;
    StateRecord::Builder record(NativePath(folder.Path()));
    state.PresentOutlet = [&record](const FSOFile& file) {
        const QDateTime modified = file.DateLastModified();
        record.AddFile(NativePath(file.Path()), static_cast<uint64_t>(file.Size()),
                       modified.isValid() ? modified.toSecsSinceEpoch() : 0);
    };
    state.CutOutlet = [&record](const QString& sFolder) {
        record.AddCutFolder(NativePath(sFolder));
    };
    const ScanResult scanned = ScanFolder(folder, false, true);
    state.SearchOutlet = previous;
    state.PresentOutlet = nullptr;
    state.CutOutlet = nullptr;
    found.stateRecord = record.Text();
    found.lFound = counter.lFound;
    found.sLevelNote = LevelLimitNote(folder.Path(), state.ScanRecursionLimit, scanned);
    return found;
}

QString FoundText(const Found& found) {
    QString sRule = QStringLiteral("Suche nach Archivmarke");
    if (found.rule == Rule::Date) {
        sRule = found.since ? QStringLiteral("Suche nach Änderungen seit %1")
                                  .arg(found.since->toString(QStringLiteral("dd.MM.yyyy HH:mm:ss")))
                            : QStringLiteral("Suche ohne gespeichertes letztes Backup");
    }
    return QStringLiteral("%1 in %2: %3 gefunden.")
        .arg(sRule, DisplayPath(found.sFolder), GermanNumber::Files(found.lFound));
}

QString NothingFoundText(const Found& found) {
    const QString sWhat = found.rule == Rule::ArchiveMark
                              ? QStringLiteral("Datei mit gesetzter Archivmarke")
                          : found.since ? QStringLiteral("seit dem letzten Backup geänderte Datei")
                                        : QStringLiteral("Datei");
    return QStringLiteral(
               "Nichts zu sichern: Die Suche in „%1“ hat keine %2 gefunden, und die Backup-Liste "
               "ist leer.")
        .arg(DisplayPath(found.sFolder), sWhat);
}

}  // namespace DailySearch
