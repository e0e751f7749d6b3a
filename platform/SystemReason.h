#pragma once
// Why a system call failed, in German: every reason a file, folder, lock or socket can give, in
// words of its own; any other by its number alone. The engine and the program use this one table.

#include <cerrno>
#include <string>

namespace platform {

inline std::string systemReason(int error) {
    switch (error) {
        case ENOENT:
            return "Datei oder Ordner nicht gefunden";
        case EACCES:
            return "keine Berechtigung";
        case EPERM:
            return "Vorgang nicht erlaubt";
        case ENOSPC:
            return "kein Platz mehr auf dem Datenträger";
        case EDQUOT:
            return "Speicherkontingent erschöpft";
        case EROFS:
            return "Dateisystem ist schreibgeschützt";
        case EFBIG:
            return "Datei zu groß";
        case EOVERFLOW:
            return "Datei zu groß für diesen Zugriff";
        case EISDIR:
            return "ist ein Ordner";
        case ENOTDIR:
            return "ein Teil des Pfads ist kein Ordner";
        case ENOTEMPTY:
            return "Ordner ist nicht leer";
        case EIO:
            return "Lese- oder Schreibfehler des Datenträgers";
        case EREMOTEIO:
            return "Lese- oder Schreibfehler eines entfernten Datenträgers";
        case EUCLEAN:
            return "Dateisystem ist beschädigt";
        case EEXIST:
            return "existiert bereits";
        case ENAMETOOLONG:
            return "Name zu lang";
        case ELOOP:
            return "zu viele symbolische Verknüpfungen";
        case EMFILE:
        case ENFILE:
            return "zu viele offene Dateien";
        case EMLINK:
            return "zu viele Verknüpfungen";
        case ENOMEM:
            return "zu wenig Arbeitsspeicher";
        case EBUSY:
        case ETXTBSY:
            return "wird gerade benutzt";
        case EAGAIN:
            return "vorübergehend nicht verfügbar";
        case EINTR:
            return "unterbrochen";
        case ENXIO:
            return "Gerät oder Adresse nicht vorhanden";
        case ENODEV:
            return "Gerät nicht vorhanden";
        case ENOMEDIUM:
            return "kein Datenträger eingelegt";
        case EMEDIUMTYPE:
            return "falscher Datenträgertyp";
        case ESTALE:
            return "Datei auf dem Netzlaufwerk nicht mehr gültig";
        case EXDEV:
            return "liegt auf einem anderen Dateisystem";
        case EINVAL:
            return "ungültiges Argument";
        case EBADF:
            return "ungültiger Dateideskriptor";
        case ESPIPE:
            return "kein Suchen möglich (Pipe)";
        case EPIPE:
            return "Gegenstelle hat die Verbindung geschlossen";
        case ENOTTY:
            return "falscher Gerätetyp";
        case ENOLCK:
            return "keine Sperren verfügbar";
        case EDEADLK:
            return "Verklemmung vermieden";
        case ENOSYS:
        case EOPNOTSUPP:
            return "vom System nicht unterstützt";
        case EILSEQ:
            return "ungültige Zeichenfolge im Namen";
        case ENODATA:
            return "keine Daten vorhanden";
        case ETIMEDOUT:
            return "Zeitüberschreitung";
        case ECONNREFUSED:
            return "Verbindung abgelehnt";
        case ECONNRESET:
        case ECONNABORTED:
            return "Verbindung abgebrochen";
        case ENOTCONN:
            return "nicht verbunden";
        case EADDRINUSE:
            return "Adresse wird bereits verwendet";
        case EADDRNOTAVAIL:
            return "Adresse nicht verfügbar";
        case ENOTSOCK:
            return "keine Socket-Datei";
        case EHOSTDOWN:
        case EHOSTUNREACH:
        case ENETDOWN:
        case ENETUNREACH:
            return "Netzwerk nicht erreichbar";
        case ENOBUFS:
            return "kein Pufferspeicher mehr frei";
        case ECANCELED:
            return "abgebrochen";
        case ENOKEY:
        case EKEYEXPIRED:
        case EKEYREVOKED:
        case EKEYREJECTED:
            return "Schlüssel für verschlüsselten Ordner nicht verfügbar";
        default:
            return "Systemfehler " + std::to_string(error);
    }
}

}  // namespace platform
