#include "app/BackupRun.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <memory>

#include "app/NativePath.h"
#include "app/modBackup.h"
#include "list/CListString.h"
#include "platform/SystemReason.h"
#include "platform/archivemarks/ArchiveMarkStore.h"
#include "platform/zipengine/zip32.h"

#ifdef SONDREL_HAVE_ZIP
#include "zipcomponent/CZIP.h"
#endif

namespace {

// The archive's names are taken relative to the file system's root.
constexpr const char* kRootPath = "/";
// A message box stays readable: longer lists are cut with a count of the rest.
constexpr qsizetype kMaxListedFiles = 20;
constexpr qsizetype kMaxListedMessages = 30;

QString SystemReason(int error) {
    return QString::fromStdString(platform::systemReason(error));
}

BackupRun::TestHooks& Hooks() {
    static BackupRun::TestHooks hooks;
    return hooks;
}

QString EngineCodeText(int32_t lResult) {
    switch (lResult) {
        case ZP_ERR_NOTHING_TO_DO:
            return QStringLiteral("keine Dateien übergeben");
        case ZP_ERR_FILE_READ:
            return QStringLiteral("Dateien übersprungen");
        case ZP_ERR_ARCHIVE_WRITE:
            return QStringLiteral("Archiv nicht geschrieben");
        case ZP_ERR_ARCHIVE_DAMAGED:
            return QStringLiteral("vorhandenes Archiv nicht lesbar");
        case ZP_ERR_PARAMETER:
            return QStringLiteral("ungültige Angaben");
        case ZP_ERR_MEMORY:
            return QStringLiteral("zu wenig Arbeitsspeicher");
        default:
            return QStringLiteral("unbekannter Fehler");
    }
}

#ifdef SONDREL_HAVE_ZIP
class ArchiverSink : public ICZIPEvents {
public:
    ArchiverSink(std::function<void(const std::string&)> onFileAdded,
                 std::function<void(int32_t, int32_t)> onVerifyProgress)
        : onFileAdded_(std::move(onFileAdded)), onVerifyProgress_(std::move(onVerifyProgress)) {}
    void FileAdded(const std::string& sFilename) override { onFileAdded_(sFilename); }
    void VerifyProgress(int32_t lDone, int32_t lTotal) override {
        onVerifyProgress_(lDone, lTotal);
    }

private:
    std::function<void(const std::string&)> onFileAdded_;
    std::function<void(int32_t, int32_t)> onVerifyProgress_;
};
#endif

}  // namespace

BackupRun::BackupRun(BackupSettings settings, FileAddedHandler onFileAdded, EventPump pumpEvents)
    : settings(std::move(settings)),
      onFileAdded(std::move(onFileAdded)),
      pumpEvents(std::move(pumpEvents)) {}

void BackupRun::SetTestHooks(TestHooks hooks) {
    Hooks() = std::move(hooks);
}

void BackupRun::SetVerifyProgressHandler(VerifyProgressHandler handler) {
    onVerifyProgress = std::move(handler);
}

QString BackupRun::PasswordToUse(const QString& sPassword0, const QString& sPassword1) {
    return sPassword0 == sPassword1 ? sPassword0 : QString();
}

bool BackupRun::Run(CListString* files) {
    // Taken before anything is handed over: a file changed from now on is found by the next
    // change search and keeps its archive mark.
    dtStarted =
        settings.dtStartedAt.isValid() ? settings.dtStartedAt : QDateTime::currentDateTime();
    bSucceeded = false;

    if (files == nullptr || files->Count() == 0) {
        Fail({QStringLiteral("Die Backup-Liste ist leer.")});
        return false;
    }

    CListString& list = *files;
    entries.reserve(static_cast<size_t>(list.Count()));
    for (list.MoveFirst(); !list.EOL(); list.MoveNext()) {
        Entry entry;
        entry.sPath = list.Data();
        entry.stateAtStart = SignatureOfFile(entry.sPath);
        BytesTotal_ += entry.stateAtStart ? entry.stateAtStart->size : 0;
        entries.push_back(std::move(entry));
    }
    list.MoveFirst();
    entryOfName.reserve(entries.size());
    for (size_t i = 0; i < entries.size(); ++i) {
        entryOfName.emplace(NativePath(entries[i].sPath).toStdString(), i);
    }
    FilesTotal_ = static_cast<int32_t>(entries.size());
    FilesDone_ = 0;

    QStringList reasons;
    int32_t lFailedResult = 0;
    int32_t lLastResult = 0;
    bool bArchiveWritten = true;
    for (size_t first = 0; first < entries.size(); first += kFilesPerRun) {
        const size_t last = std::min(entries.size(), first + kFilesPerRun);
        lLastResult = RunArchiver(first, last, settings.bGrowExisting || first > 0);
        if (lLastResult != ZP_OK) {
            lFailedResult = lLastResult;
        }
        // Skipped files leave a written archive that the next run can still grow.
        if (lLastResult != ZP_OK && lLastResult != ZP_ERR_FILE_READ) {
            bArchiveWritten = false;
            break;
        }
    }

    struct stat archive {};
    if (!bArchiveWritten || ::stat(NativePath(settings.sArchivePath).constData(), &archive) != 0 ||
        !S_ISREG(archive.st_mode)) {
        reasons.append(QStringLiteral("Das Archiv „%1“ konnte nicht geschrieben werden: %2")
                           .arg(settings.sArchivePath, ArchiveProblem(lLastResult)));
    }
    if (!sAddFileError.isEmpty()) {
        reasons.append(sAddFileError);
    }
    QStringList unread;
    for (const Entry& entry : entries) {
        if (entry.bHanded && !entry.bReported) {
            unread.append(DisplayPath(entry.sPath));
        }
    }
    // Files of a run that wrote nothing were not refused one by one.
    if (!unread.isEmpty() && bArchiveWritten) {
        reasons.append(QStringLiteral("Diese Dateien konnten nicht gelesen werden:\n") +
                       CappedLines(unread, kMaxListedFiles));
    }
    if (lFailedResult != ZP_OK) {
        reasons.append(QStringLiteral("Der ZIP-Dienst meldete den Fehler %1 (%2).")
                           .arg(lFailedResult)
                           .arg(EngineCodeText(lFailedResult)));
    }
    if (!reasons.isEmpty() && !engineMessages.isEmpty()) {
        reasons.append(QStringLiteral("Meldungen des ZIP-Dienstes:\n") +
                       CappedLines(engineMessages, kMaxListedMessages));
    }
    // Nothing is forgotten on the word of the writer alone.
    if (reasons.isEmpty()) {
        const QString sDamage = VerifyArchive();
        if (!sDamage.isEmpty()) {
            reasons.append(sDamage);
        }
    }
    if (!reasons.isEmpty()) {
        Fail(reasons);
        return false;
    }
    bSucceeded = true;
    sFailure.clear();
    failureReasons.clear();
    return true;
}

int32_t BackupRun::RunArchiver(size_t first, size_t last, bool bGrow) {
#ifdef SONDREL_HAVE_ZIP
    ArchiverSink sink([this](const std::string& sFilename) { FileAdded(sFilename); },
                      [](int32_t, int32_t) {});
    int32_t lResult = ZP_OK;
    {
        // One archiver per run; a new one starts with fresh options, so each is set up whole.
        CZIP ZIP;
        ZIP.SetEventListener(&sink);
        ZIP.SetZIPFilePath(NativePath(settings.sArchivePath).toStdString());
        if (!settings.sPassword.isEmpty()) {
            ZIP.SetZIPPassword(settings.sPassword.toStdString());
        }
        ZIP.SetZIPComment(settings.sComment.toStdString());
        try {
            for (size_t i = first; i < last; ++i) {
                // The engine opens and names each file by its bytes, also those that are not
                // UTF-8.
                ZIP.AddFile(NativePath(entries[i].sPath).toStdString());
                entries[i].bHanded = true;
                Yield();
            }
        } catch (const RuntimeError& e) {
            sAddFileError = QStringLiteral("Fehler %1 (%2): %3")
                                .arg(e.number())
                                .arg(QString::fromStdString(e.source()),
                                     QString::fromStdString(e.description()));
            return ZP_ERR_PARAMETER;
        }
        ZIP.SetAppendToZIP(bGrow);
        ZIP.SetZIPRootPath(kRootPath);
        lResult = ZIP.DoZip();

        // The messages belong to all archivers of the thread and go with this one.
        QString sText;
        for (const std::string& sPart : ZIP.Messages()->Items()) {
            sText += QString::fromStdString(sPart);
        }
        for (const QString& sLine : sText.split(u'\n', Qt::SkipEmptyParts)) {
            engineMessages.append(sLine.trimmed());
        }
        ZIP.SetEventListener(nullptr);
    }
    return lResult;
#else
    (void)first;
    (void)last;
    (void)bGrow;
    sAddFileError = QStringLiteral("Das Archiv-Modul libTv_ZIP.so fehlt in diesem Programm.");
    return ZP_ERR_PARAMETER;
#endif
}

void BackupRun::FileAdded(const std::string& sFilename) {
    const auto it = entryOfName.find(sFilename);
    if (it != entryOfName.end() && !entries[it->second].bReported) {
        Entry& entry = entries[it->second];
        entry.bReported = true;
        BytesDone_ += entry.stateAtStart ? entry.stateAtStart->size : 0;
    }
    ++FilesDone_;
    const auto fPercent = static_cast<float>(static_cast<double>(FilesDone_) * 100.0 / FilesTotal_);
    if (onFileAdded) {
        onFileAdded(DisplayPath(PathFromNative(sFilename)), fPercent);
    }
    Yield();
}

QString BackupRun::VerifyArchive() {
    if (Hooks().beforeVerify) {
        Hooks().beforeVerify(settings.sArchivePath);
    }
    if (Hooks().bSkipVerify) {
        return QString();
    }
#ifdef SONDREL_HAVE_ZIP
    ArchiverSink sink([](const std::string&) {},
                      [this](int32_t lDone, int32_t lTotal) {
                          if (onVerifyProgress) {
                              onVerifyProgress(lDone, lTotal);
                          }
                          Yield();
                      });
    CZIP ZIP;
    ZIP.SetEventListener(&sink);
    ZIP.SetZIPFilePath(settings.sArchivePath.toStdString());
    ZIPVerifyProblem problem;
    if (ZIP.VerifyZIP(&problem) == ZP_OK) {
        return QString();
    }
    return QStringLiteral("Das Archiv ist fehlerhaft: %1: %2")
        .arg(QString::fromStdString(problem.sEntry), QString::fromStdString(problem.sReason));
#else
    return QString();
#endif
}

void BackupRun::Yield() {
    if (pumpEvents && (!pumpClock.isValid() || pumpClock.hasExpired(kPumpIntervalMs))) {
        pumpEvents();
        pumpClock.start();
    }
}

QString BackupRun::ArchiveProblem(int32_t lLastResult) const {
    // The place of the archive is checked first: its reason is the system's own.
    const QString sPath = settings.sArchivePath;
    const QByteArray native = NativePath(sPath);
    struct stat st {};
    if (!sPath.isEmpty() && ::stat(native.constData(), &st) == 0 && S_ISDIR(st.st_mode)) {
        return SystemReason(EISDIR);
    }
    const QString sFolder = FileSystemObject::GetParentFolderName(sPath);
    const QString sFolderProblem = FolderProblem(sFolder.isEmpty() ? QStringLiteral(".") : sFolder);
    if (!sFolderProblem.isEmpty()) {
        return sFolderProblem;
    }
    if (lLastResult == ZP_OK && engineMessages.isEmpty() && sAddFileError.isEmpty()) {
        return QStringLiteral("der ZIP-Dienst libzip32.so ist nicht erreichbar");
    }
    return QStringLiteral("siehe die Meldungen des ZIP-Dienstes");
}

QString BackupRun::FolderProblem(const QString& sFolder) {
    const QByteArray folder = NativePath(sFolder);
    struct stat st {};
    if (::stat(folder.constData(), &st) != 0) {
        return SystemReason(errno);
    }
    if (!S_ISDIR(st.st_mode)) {
        return SystemReason(ENOTDIR);
    }
    if (::access(folder.constData(), W_OK | X_OK) != 0) {
        return SystemReason(errno);
    }
    return QString();
}

QString BackupRun::CappedLines(const QStringList& lines, qsizetype lMax) {
    QStringList shown = lines.mid(0, lMax);
    if (lines.size() > lMax) {
        shown.append(QStringLiteral("… und %1 weitere").arg(lines.size() - lMax));
    }
    return shown.join(u'\n');
}

QString BackupRun::FailedBecause(const QStringList& reasons) {
    return QStringLiteral("Das Backup ist fehlgeschlagen.\n\n") + reasons.join(u"\n\n");
}

void BackupRun::Fail(const QStringList& reasons) {
    bSucceeded = false;
    failureReasons = reasons;
    sFailure = FailedBecause(reasons);
}

QStringList BackupRun::ArchivedPaths() const {
    QStringList paths;
    for (const Entry& entry : entries) {
        if (entry.bReported) {
            paths.append(entry.sPath);
        }
    }
    return paths;
}

QString BackupRun::ApplyAfterEffects(const ListEmptier& emptyList) {
    if (!bSucceeded) {
        return QString();
    }
    QStringList problems;
    if (settings.bAdjustLastBackupDate && !modBackup::WriteLastBackupAt(dtStarted)) {
        problems.append(
            QStringLiteral("Das Datum des letzten Backups konnte nicht gespeichert werden: %1")
                .arg(modBackup::StoreProblemText()));
    }
    if (settings.bClearArchiveFlag) {
        FileSystemObject& fso = modBackup::State().FSO;
        int lNotCleared = 0;
        fso.Marks().BeginBatch();
        for (const Entry& entry : entries) {
            // A file changed or gone since the start keeps its mark, or is skipped.
            if (!entry.bReported || !entry.stateAtStart ||
                SignatureOfFile(entry.sPath) != entry.stateAtStart) {
                continue;
            }
            FSOFile file = fso.GetFile(entry.sPath);
            const int32_t lAttributes = file.Attributes();
            if ((lAttributes & AttrArchive) != 0 &&
                !file.SetAttributes(lAttributes - AttrArchive)) {
                ++lNotCleared;
            }
        }
        if (!fso.Marks().EndBatch()) {
            lNotCleared = static_cast<int>(entries.size());
        }
        if (lNotCleared > 0) {
            problems.append(
                QStringLiteral("Die Archiv-Markierungen der gesicherten Dateien konnten "
                               "nicht (alle) gelöscht werden; sie bleiben gesetzt."));
        }
    }
    QString sListProblem;
    if (settings.bClearList && emptyList && !emptyList(&sListProblem)) {
        problems.append(
            QStringLiteral("Die Dateiliste konnte nicht geleert werden: %1").arg(sListProblem));
    }
    return problems.join(u'\n');
}
