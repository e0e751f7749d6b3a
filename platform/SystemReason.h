#pragma once
// Why a system call failed, in German: the reasons a user meets (a full disk, a missing
// permission, a missing file ...) in words of their own, any other with its number and the
// system's own text in parentheses. The engine and the program use this one table.

#include <cerrno>
#include <cstring>
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
        case EISDIR:
            return "ist ein Ordner";
        case ENOTDIR:
            return "ein Teil des Pfads ist kein Ordner";
        case EIO:
            return "Lese- oder Schreibfehler des Datenträgers";
        case EEXIST:
            return "existiert bereits";
        case ENAMETOOLONG:
            return "Name zu lang";
        case ELOOP:
            return "zu viele symbolische Verknüpfungen";
        case EMFILE:
        case ENFILE:
            return "zu viele offene Dateien";
        case ENOMEM:
            return "zu wenig Arbeitsspeicher";
        case EBUSY:
        case ETXTBSY:
            return "wird gerade benutzt";
        default: {
            char buffer[256];
            // The GNU variant may return a static text instead of filling the buffer.
            const char* text = strerror_r(error, buffer, sizeof buffer);
            return "Systemfehler " + std::to_string(error) + " (" + text + ")";
        }
    }
}

}  // namespace platform
