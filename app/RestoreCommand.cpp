#include "app/RestoreCommand.h"

#include <signal.h>
#include <unistd.h>

#include <QDir>
#include <QRegularExpression>
#include <atomic>
#include <cstdio>

#include "app/BackupOptions.h"
#include "app/BackupRun.h"
#include "app/NativePath.h"
#include "app/Restore.h"
#include "app/TerminalProgress.h"
#include "app/WipeText.h"

namespace RestoreCommand {

namespace {

using CommandOutput::Write;

void Tell(const QString& sText) {
    CommandOutput::Tell("sondrel-restore", sText);
}

QString MomentText(const QDateTime& moment) {
    return moment.toString(QStringLiteral("yyyy-MM-dd HH:mm"));
}

QByteArray PathBytes(const QString& sPath) {
    return NativePath(sPath);
}

// A stop (the terminal's Ctrl+C, SIGTERM) lets the files in progress finish and ends the run
// there, leaving no work file behind.
std::atomic<bool> stopRequested{false};
static_assert(std::atomic<bool>::is_always_lock_free);

extern "C" void OnStopSignal(int /*signalNumber*/) {
    stopRequested = true;
}

void InstallStopHandlers() {
    struct sigaction action {};
    action.sa_handler = &OnStopSignal;
    sigemptyset(&action.sa_mask);
    for (const int signalNumber : {SIGTERM, SIGINT, SIGHUP}) {
        sigaction(signalNumber, &action, nullptr);
    }
}

}  // namespace

Result<QDateTime> ParseMoment(const QString& sText) {
    static const QRegularExpression minute(QStringLiteral("^\\d{4}-\\d{2}-\\d{2} \\d{2}:\\d{2}$"));
    static const QRegularExpression day(QStringLiteral("^\\d{4}-\\d{2}-\\d{2}$"));
    const QString sTrimmed = sText.trimmed();
    QDateTime moment;
    if (minute.match(sTrimmed).hasMatch()) {
        moment = QDateTime::fromString(sTrimmed, QStringLiteral("yyyy-MM-dd HH:mm")).addSecs(59);
    } else if (day.match(sTrimmed).hasMatch()) {
        const QDate date = QDate::fromString(sTrimmed, QStringLiteral("yyyy-MM-dd"));
        if (date.isValid()) {
            moment = QDateTime(date, QTime(23, 59, 59));
        }
    }
    if (!moment.isValid()) {
        return Failure{QStringLiteral("Der Zeitpunkt „%1“ ist ungültig; erwartet wird "
                                      "„JJJJ-MM-TT HH:MM“ oder „JJJJ-MM-TT“.")
                           .arg(sText)};
    }
    return moment;
}

Result<Options> ParseOptions(const QStringList& args) {
    Options options;
    bool bOnlyPaths = false;
    for (qsizetype i = 0; i < args.size(); ++i) {
        const QString& arg = args[i];
        if (bOnlyPaths || !arg.startsWith(u'-') || arg == u"-") {
            if (!QDir::isAbsolutePath(arg)) {
                return Failure{QStringLiteral("Der Pfad „%1“ ist nicht absolut; anzugeben ist der "
                                              "ganze Pfad, wie er gesichert wurde.")
                                   .arg(DisplayPath(arg))};
            }
            options.paths.append(arg);
            continue;
        }
        if (arg == u"--") {
            bOnlyPaths = true;
            continue;
        }
        const qsizetype equals = arg.indexOf(u'=');
        const QString name = equals < 0 ? arg : arg.left(equals);
        std::optional<QString> value;
        if (equals >= 0) {
            value = arg.mid(equals + 1);
        }
        bool* flag = name == u"--list"                    ? &options.bList
                     : name == u"--versions"              ? &options.bVersions
                     : name == u"--deleted"               ? &options.bDeleted
                     : name == u"--overwrite"             ? &options.bOverwrite
                     : name == u"--help" || name == u"-h" ? &options.bHelp
                     : name == u"--version"               ? &options.bVersion
                                                          : nullptr;
        if (flag != nullptr) {
            if (value) {
                return Failure{QStringLiteral("Die Option „%1“ nimmt keinen Wert.").arg(name)};
            }
            *flag = true;
            continue;
        }
        if (name != u"--folder" && name != u"--at" && name != u"--target" &&
            name != u"--password-file") {
            return Failure{QStringLiteral("Unbekannte Option „%1“.").arg(name)};
        }
        if (!value) {
            if (i + 1 >= args.size()) {
                return Failure{QStringLiteral("Die Option „%1“ braucht einen Wert.").arg(name)};
            }
            value = args[++i];
        }
        if (value->isEmpty()) {
            return Failure{QStringLiteral("Die Option „%1“ braucht einen Wert.").arg(name)};
        }
        if (name == u"--folder") {
            options.folders.append(FullPath(*value));
        } else if (name == u"--target") {
            options.sTarget = FullPath(*value);
        } else if (name == u"--password-file") {
            options.sPasswordFile = *value;
        } else {
            const Result<QDateTime> moment = ParseMoment(*value);
            if (!moment) {
                return Failure{moment.Reason()};
            }
            options.dtAt = *moment;
        }
    }
    if (options.bList && options.bVersions) {
        return Failure{QStringLiteral("„--list“ und „--versions“ schließen einander aus.")};
    }
    if (options.bVersions && options.paths.isEmpty()) {
        return Failure{QStringLiteral("„--versions“ braucht mindestens einen PFAD.")};
    }
    return options;
}

QString HelpText() {
    return QStringLiteral(
        "Aufruf: sondrel-restore [--folder ARCHIVORDNER] [--at \"JJJJ-MM-TT HH:MM\"]\n"
        "                        [--target ZIELORDNER] [--password-file DATEI] [--list]\n"
        "                        [--versions] [--deleted] [--overwrite] [PFAD...]\n"
        "\n"
        "Holt Dateien aus den Archiven der Backups zurück, wie sie zu einem Zeitpunkt waren.\n"
        "\n"
        "  --folder ARCHIVORDNER  wo die Archive liegen (mehrfach möglich); ohne: der "
        "Archivordner\n"
        "                         der Optionen und jeder Ordner, in den ein Backup schrieb\n"
        "  --at ZEITPUNKT         \"JJJJ-MM-TT HH:MM\" oder \"JJJJ-MM-TT\" (Ende des Tages); jede\n"
        "                         Datei kommt aus dem neuesten Archiv bis dahin; ohne: das "
        "neueste\n"
        "  --target ZIELORDNER    unter diesem Ordner wiederherstellen (der ursprüngliche Pfad\n"
        "                         darunter); ohne: an den ursprünglichen Ort\n"
        "  --password-file DATEI  das Passwort verschlüsselter Archive, erste Zeile der Datei\n"
        "                         (nur für den Eigentümer lesbar)\n"
        "  --list                 zeigen, was wiederhergestellt würde (Pfad, Zeitpunkt, Archiv);\n"
        "                         nichts wird geschrieben\n"
        "  --versions             jede Version jedes PFADs (Zeitpunkt, Größe, Archiv), die "
        "neueste\n"
        "                         zuerst\n"
        "  --deleted              auch Dateien, die zum Zeitpunkt schon gelöscht waren\n"
        "  --overwrite            abweichende vorhandene Dateien ersetzen; ohne wird daneben\n"
        "                         \"Name (wiederhergestellt JJJJ-MM-TT HHMM).ext\" geschrieben\n"
        "  -h, --help             diese Hilfe\n"
        "  --version              die Version\n"
        "\n"
        "PFAD: Dateien und Ordner als absolute Pfade, wie sie gesichert wurden (ein Ordner meint\n"
        "alles darunter); ohne PFAD: alles.\n"
        "\n"
        "Rückgabewerte: 0 alles Verlangte wurde wiederhergestellt, 1 etwas ist fehlgeschlagen\n"
        "(auf stderr genannt, der Rest wurde wiederhergestellt), 2 nichts passte, 64 falscher\n"
        "Aufruf.\n");
}

int Run(const QStringList& args) {
    const Result<Options> parsed = ParseOptions(args);
    if (!parsed) {
        Tell(parsed.Reason() + QStringLiteral("\n„sondrel-restore --help“ zeigt die Optionen."));
        return kBadUsage;
    }
    const Options& options = *parsed;
    if (options.bHelp) {
        Write(stdout, HelpText());
        return kRestored;
    }
    if (options.bVersion) {
        Write(stdout, QStringLiteral("sondrel-restore %1.%2.%3\n")
                          .arg(SONDREL_VERSION_MAJOR)
                          .arg(SONDREL_VERSION_MINOR)
                          .arg(SONDREL_VERSION_PATCH));
        return kRestored;
    }
    QByteArray password;
    struct Wipe {
        QByteArray& bytes;
        ~Wipe() { WipeBytes(bytes); }
    } wipe{password};
    if (!options.sPasswordFile.isEmpty()) {
        Result<QString> read =
            BackupCommand::ReadPasswordFile(options.sPasswordFile, BackupRun::kMaxPasswordBytes);
        if (!read) {
            Tell(read.Reason());
            return kFailed;
        }
        QString sPassword = *read;
        password = sPassword.toUtf8();
        WipeText(sPassword);
    }
    const Restore::PasswordSource source = [&password]() -> std::optional<QByteArray> {
        if (password.isEmpty()) {
            return std::nullopt;
        }
        // A deep copy: the caller wipes what it gets.
        return QByteArray(password.constData(), password.size());
    };

    const QStringList folders =
        options.folders.isEmpty() ? Restore::DefaultFolders() : options.folders;
    if (folders.isEmpty()) {
        Tell(QStringLiteral("Es gibt keinen Archivordner; „--folder“ nennt einen."));
        return kFailed;
    }
    Result<Restore::Catalog> catalog = Restore::Catalog::Read(folders);
    if (!catalog) {
        Tell(catalog.Reason());
        return kFailed;
    }
    for (const QString& sLine : catalog->Skipped()) {
        Tell(sLine);
    }
    // Archives there, none readable: a failure, not "nothing matched".
    if (catalog->Archives().empty() && !catalog->Skipped().isEmpty()) {
        return kFailed;
    }
    QList<QByteArray> paths;
    for (const QString& sPath : options.paths) {
        paths.append(PathBytes(QDir::cleanPath(sPath)));
    }
    const std::vector<Restore::ArchiveInfo>& archives = catalog->Archives();

    if (options.bVersions) {
        QString out;
        bool bAny = false;
        for (const QByteArray& path : paths) {
            if (paths.size() > 1) {
                out += DisplayPath(PathFromNative(path)) + QStringLiteral(":\n");
            }
            for (const Restore::Version& version : catalog->VersionsOf(path)) {
                bAny = true;
                const Restore::ArchiveInfo& archive =
                    archives[static_cast<size_t>(version.iArchive)];
                out += QStringLiteral("%1\t%2\t%3\n")
                           .arg(MomentText(archive.dtMoment))
                           .arg(version.lSize)
                           .arg(DisplayPath(archive.sPath));
            }
        }
        Write(stdout, out);
        if (!bAny) {
            Tell(QStringLiteral("Von keinem dieser Pfade gibt es eine Version."));
            return kNothing;
        }
        return kRestored;
    }

    // A run without a password file learns why encrypted archives fail, once.
    const auto tellPasswordFile = [&options](const QString& sReason) {
        if (options.sPasswordFile.isEmpty() && sReason.contains(u"Passwort fehlt")) {
            Tell(
                QStringLiteral("Die Archive sind verschlüsselt; „--password-file DATEI“ gibt "
                               "das Passwort an."));
        }
    };
    Result<Restore::Plan> plan = catalog->PlanAt(options.dtAt, paths, options.bDeleted, source);
    if (!plan) {
        Tell(plan.Reason());
        tellPasswordFile(plan.Reason());
        return kFailed;
    }
    for (const QByteArray& path : plan->unmatched) {
        Tell(QStringLiteral("„%1“: Bis zu diesem Zeitpunkt wurde davon nichts gesichert.")
                 .arg(DisplayPath(PathFromNative(path))));
    }
    if (plan->files.empty()) {
        if (paths.isEmpty()) {
            Tell(QStringLiteral("Bis zu diesem Zeitpunkt gibt es nichts wiederherzustellen."));
        }
        return kNothing;
    }
    if (options.bList) {
        if (!plan->bHasRecord) {
            Tell(
                QStringLiteral("Hinweis: Kein Zustand eines täglichen Backups verzeichnet "
                               "gelöschte Dateien; jeder archivierte Pfad zählt."));
        }
        // Written as it goes: a million lines need not be held at once.
        QByteArray out;
        for (const Restore::PlannedFile& file : plan->files) {
            const Restore::ArchiveInfo& archive =
                archives[static_cast<size_t>(file.version.iArchive)];
            out += (DisplayPath(PathFromNative(file.path)) + u'\t' + MomentText(archive.dtMoment) +
                    u'\t' + DisplayPath(archive.sPath) + u'\n')
                       .toUtf8();
            if (out.size() > 65536) {
                std::fwrite(out.constData(), 1, static_cast<size_t>(out.size()), stdout);
                out.clear();
            }
        }
        std::fwrite(out.constData(), 1, static_cast<size_t>(out.size()), stdout);
        std::fflush(stdout);
        return plan->unmatched.isEmpty() ? kRestored : kFailed;
    }

    TerminalProgress progress(::isatty(STDERR_FILENO) == 1);
    InstallStopHandlers();
    Restore::Options runOptions;
    runOptions.sTarget = options.sTarget;
    runOptions.bOverwrite = options.bOverwrite;
    const Restore::Summary summary = Restore::Run(
        *catalog, *plan, runOptions, source,
        [&progress](const Restore::Progress& now) {
            progress.Archiving(now.lFilesDone, now.lFilesTotal,
                               static_cast<int64_t>(now.lBytesDone),
                               static_cast<int64_t>(now.lBytesTotal));
        },
        stopRequested);
    progress.Clear();
    for (const QString& sFailure : summary.failures) {
        Tell(sFailure);
    }
    tellPasswordFile(summary.failures.join(u'\n'));
    QString out;
    for (const QString& sBeside : summary.beside) {
        out += QStringLiteral("Daneben geschrieben: %1\n").arg(sBeside);
    }
    out += Restore::SummaryLine(summary) + u'\n';
    Write(stdout, out);
    if (summary.bCancelled) {
        Tell(
            QStringLiteral("Abgebrochen: Was wiederhergestellt ist, ist vollständig; der Rest "
                           "fehlt."));
        return kFailed;
    }
    return summary.failures.isEmpty() && plan->unmatched.isEmpty() ? kRestored : kFailed;
}

}  // namespace RestoreCommand
