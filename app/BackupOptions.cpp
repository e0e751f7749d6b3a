#include "app/BackupOptions.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <utility>

#include "app/BackupRun.h"
#include "app/NativePath.h"
#include "app/WipeText.h"

namespace BackupCommand {

namespace {

// The first line is the password; a file much longer than one is no password file.
constexpr qsizetype kMaxPasswordFileBytes = 64 * 1024;

}  // namespace

Result<Options> ParseOptions(const QStringList& args) {
    Options options;
    const auto fail = [](const QString& sText) -> Result<Options> { return Failure{sText}; };
    const std::array<std::pair<QStringView, bool*>, 7> flags = {{
        {u"--search", &options.bSearch},
        {u"--keep-list", &options.bKeepList},
        {u"--no-stamp", &options.bNoStamp},
        {u"--dry-run", &options.bDryRun},
        {u"--help", &options.bHelp},
        {u"-h", &options.bHelp},
        {u"--version", &options.bVersion},
    }};
    for (qsizetype i = 0; i < args.size(); ++i) {
        const QString& arg = args[i];
        const qsizetype equals = arg.startsWith(u"--") ? arg.indexOf(u'=') : -1;
        const QString name = equals < 0 ? arg : arg.left(equals);
        std::optional<QString> value;
        if (equals >= 0) {
            value = arg.mid(equals + 1);
        }
        if (name == u"--search" && value) {
            if (value->compare(u"archivmarke", Qt::CaseInsensitive) == 0) {
                options.searchRule = DailySearch::Rule::ArchiveMark;
            } else if (value->compare(u"datum", Qt::CaseInsensitive) == 0) {
                options.searchRule = DailySearch::Rule::Date;
            } else {
                return fail(QStringLiteral("Die Option „--search“ nimmt „archivmarke“ oder "
                                           "„datum“, nicht „%1“.")
                                .arg(*value));
            }
            options.bSearch = true;
            continue;
        }
        bool* flag = nullptr;
        for (const auto& [flagName, target] : flags) {
            if (name == flagName) {
                flag = target;
            }
        }
        if (flag != nullptr) {
            if (value) {
                return fail(QStringLiteral("Die Option „%1“ nimmt keinen Wert.").arg(name));
            }
            *flag = true;
            continue;
        }
        QString* target = name == u"--password-file" ? &options.sPasswordFile
                          : name == u"--folder"      ? &options.sFolder
                                                     : nullptr;
        const bool bTakesText = name == u"--comment" || name == u"--encryption";
        if (target == nullptr && !bTakesText) {
            return fail(name.startsWith(u'-')
                            ? QStringLiteral("Unbekannte Option „%1“.").arg(name)
                            : QStringLiteral("Unerwartetes Argument „%1“.").arg(DisplayPath(arg)));
        }
        if (!value) {
            if (i + 1 >= args.size()) {
                return fail(QStringLiteral("Der Option „%1“ fehlt ihr Wert.").arg(name));
            }
            value = args[++i];
        }
        if (name == u"--encryption") {
            if (*value == u"aes256") {
                options.encryption = modBackup::EncryptionMethod::AES256;
            } else if (*value == u"zip20") {
                options.encryption = modBackup::EncryptionMethod::ZIP20;
            } else {
                return fail(QStringLiteral("Die Option „--encryption“ nimmt „aes256“ oder „zip20“, "
                                           "nicht „%1“.")
                                .arg(*value));
            }
        } else if (target == nullptr) {
            options.comment = *value;  // an empty comment is no comment
        } else if (value->isEmpty()) {
            return fail(QStringLiteral("Der Option „%1“ fehlt ihr Wert.").arg(name));
        } else {
            *target = *value;
        }
    }
    return options;
}

Result<QString> ReadPasswordFile(const QString& sPath, qsizetype lMaxBytes) {
    const auto fail = [&](const QString& sWhy) -> Result<QString> {
        return Failure{QStringLiteral("Die Passwortdatei „%1“ %2.").arg(DisplayPath(sPath), sWhy)};
    };
    // Not blocking: a pipe named by mistake must not hold the run.
    const int fd =
        ::open(NativePath(sPath).constData(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) {
        return fail(QStringLiteral("kann nicht gelesen werden: ") + SystemReason(errno));
    }
    struct stat st {};
    const bool bStat = ::fstat(fd, &st) == 0;
    const bool bPlain = bStat && S_ISREG(st.st_mode);
    const bool bPrivate = bStat && (st.st_mode & (S_IRGRP | S_IROTH)) == 0;
    QByteArray data;
    int readError = 0;
    if (bPlain && bPrivate) {
        data.resize(kMaxPasswordFileBytes);
        const ssize_t lRead = ::read(fd, data.data(), static_cast<size_t>(data.size()));
        readError = lRead < 0 ? errno : 0;
        data.resize(lRead < 0 ? 0 : lRead);
    }
    ::close(fd);
    if (!bPlain) {
        return fail(QStringLiteral("ist keine gewöhnliche Datei"));
    }
    if (!bPrivate) {
        return fail(QStringLiteral("ist auch für andere Benutzer lesbar; nur ihr Besitzer darf "
                                   "sie lesen können (chmod 600 „%1“)")
                        .arg(DisplayPath(sPath)));
    }
    if (readError != 0) {
        return fail(QStringLiteral("kann nicht gelesen werden: ") + SystemReason(readError));
    }
    // What was read goes, whatever the answer.
    struct Wiped {
        QByteArray& bytes;
        ~Wiped() { WipeBytes(bytes); }
    } wipedData{data};
    const qsizetype lineEnd = data.indexOf('\n');
    const qsizetype lineSize = lineEnd < 0 ? data.size() : lineEnd;
    const bool bCarriageReturn = lineSize > 0 && data[lineSize - 1] == '\r';
    // A view, not a copy: the bytes stay in data only.
    const QByteArrayView line(data.constData(), lineSize - (bCarriageReturn ? 1 : 0));
    if (line.isEmpty()) {
        return fail(QStringLiteral("ist leer; ihre erste Zeile muss das Passwort sein"));
    }
    QString sPassword = QString::fromUtf8(line);
    QByteArray again = sPassword.toUtf8();
    const bool bUtf8 = !line.contains('\0') && again == line;
    WipeBytes(again);
    if (!bUtf8) {
        WipeText(sPassword);
        return fail(QStringLiteral("enthält in ihrer ersten Zeile keinen UTF-8-Text"));
    }
    if (line.size() > lMaxBytes) {
        WipeText(sPassword);
        return fail(QStringLiteral("enthält ein Passwort von mehr als %1 Byte").arg(lMaxBytes));
    }
    return sPassword;
}

QString HelpText() {
    return QStringLiteral(
        "Aufruf: sondrel-backup [OPTION]...\n"
        "Sichert die Backup-Liste von Tarvello-Backup ohne Fenster in ein ZIP-Archiv, so wie der\n"
        "Dialog „Backup durchführen“ mit seinen Voreinstellungen: in den Ordner „DefaultPath“ der\n"
        "Optionen, unter dem ersten freien Namen „JJJJMMTT_hhmm Backup.zip“, mit dem Kommentar\n"
        "„tägliches Backup von TT.MM.JJJJ hh:mm“. Das Archiv wird danach von der Platte gelesen\n"
        "und geprüft. Erst dann wird das Datum des letzten Backups gespeichert, werden die\n"
        "Archivmarken gelöscht (wenn in den Optionen eingestellt) und wird die Liste geleert.\n"
        "\n"
        "Optionen:\n"
        "  --search[=REGEL]       vorher suchen und das Gefundene in die Liste aufnehmen: im\n"
        "                         Startverzeichnis des Dialogs „Dateien suchen“, mit seinem\n"
        "                         Filter für Dateierweiterungen und seiner Ebenenbegrenzung,\n"
        "                         außer in den Ordnern, die die Optionen ausschließen.\n"
        "                         REGEL „archivmarke“: jede Datei mit gesetzter Archivmarke, also\n"
        "                         jede neue, geänderte, verschobene, umbenannte, kopierte und\n"
        "                         entpackte Datei; der erste Lauf sichert so alles. Die Marken "
        "der\n"
        "                         gesicherten Dateien werden danach immer gelöscht, auch ohne\n"
        "                         „Archiv-Flag gesicherter Dateien löschen“ in den Optionen, "
        "sonst\n"
        "                         nähme jeder Lauf wieder alles.\n"
        "                         REGEL „datum“: jede Datei, die seit dem letzten Backup geändert\n"
        "                         wurde (nach ihrem Änderungsdatum: verschobene, kopierte und\n"
        "                         entpackte Dateien behalten ihr altes Datum und fehlen dann);\n"
        "                         ohne gespeichertes letztes Backup jede Datei.\n"
        "                         Ohne REGEL gilt „täglich nach Archivmarke suchen“ in den\n"
        "                         Optionen (voreingestellt: archivmarke).\n"
        "  --password-file DATEI  das Archiv mit dem Passwort aus der ersten Zeile von DATEI\n"
        "                         verschlüsseln; DATEI darf nur ihr Besitzer lesen können\n"
        "  --encryption VERFAHREN aes256 (sicher; lesen 7-Zip und die Archivprogramme des\n"
        "                         Desktops) oder zip20 (liest jedes Programm, aber leicht zu\n"
        "                         knacken); ohne die Option das Verfahren der Optionen\n"
        "  --comment TEXT         TEXT als Kommentar des Archivs (leer: kein Kommentar)\n"
        "  --folder ORDNER        das Archiv in ORDNER statt in „DefaultPath“ schreiben\n"
        "  --keep-list            die Liste nach dem Backup nicht leeren\n"
        "  --no-stamp             das Datum des letzten Backups nicht speichern\n"
        "  --dry-run              nur zeigen, was wohin gesichert würde; nichts ändern\n"
        "  -h, --help             diese Hilfe zeigen\n"
        "  --version              die Version zeigen\n"
        "\n"
        "Auf einem Terminal zeigt eine Zeile auf der Standardfehlerausgabe den Fortschritt. Am\n"
        "Ende sagt eine Zeile, was gefunden und gesichert wurde oder warum nichts geschah. Liegt\n"
        "das Archiv auf demselben Datenträger wie gesicherte Dateien, sagt eine Zeile auch das.\n"
        "\n"
        "Exit-Status:\n"
        "  0   Archiv geschrieben und geprüft\n"
        "  1   fehlgeschlagen (der Grund steht auf der Standardfehlerausgabe; mit einer\n"
        "      Sitzung auch als Desktop-Benachrichtigung)\n"
        "  2   nichts zu sichern: die Suche hat nichts gefunden, und die Liste ist leer\n"
        "  3   das Sondrel-Fenster ist geöffnet; es hält die Liste, nichts wurde geändert\n"
        "  64  falscher Aufruf\n"
        "\n"
        "Täglich sichern: systemctl --user enable --now sondrel-backup.timer\n"
        "Mehr in „man sondrel-backup“.\n");
}

}  // namespace BackupCommand
