#include "platform/zipengine/ZipReason.h"

#include <cerrno>
#include <new>
#include <system_error>

#include "platform/SystemReason.h"

namespace zip32 {

namespace {

// What failed, for the codes that carry the system's reason.
const char* systemStep(int code) {
    switch (code) {
        case ZIP_ER_READ:
            return "Lesefehler";
        case ZIP_ER_WRITE:
            return "Schreibfehler";
        case ZIP_ER_SEEK:
        case ZIP_ER_TELL:
            return "Positionierfehler";
        case ZIP_ER_OPEN:
            return "kann nicht geöffnet werden";
        case ZIP_ER_TMPOPEN:
            return "temporäre Datei kann nicht angelegt werden";
        case ZIP_ER_RENAME:
            return "kann nicht an seinen Platz gebracht werden";
        case ZIP_ER_REMOVE:
            return "kann nicht gelöscht werden";
        case ZIP_ER_CLOSE:
            return "kann nicht geschlossen werden";
        default:
            return nullptr;
    }
}

const char* ownText(int code) {
    switch (code) {
        case ZIP_ER_NOZIP:
            return "keine ZIP-Datei";
        case ZIP_ER_INCONS:
            return "ZIP-Datei ist beschädigt";
        case ZIP_ER_CRC:
            return "Prüfsumme (CRC) stimmt nicht";
        case ZIP_ER_ZLIB:
        case ZIP_ER_COMPRESSED_DATA:
            return "Daten lassen sich nicht entpacken";
        case ZIP_ER_EOF:
            return "Datei endet vorzeitig";
        case ZIP_ER_MEMORY:
            return "zu wenig Arbeitsspeicher";
        case ZIP_ER_EXISTS:
            return "existiert bereits";
        case ZIP_ER_NOENT:
            return "Eintrag nicht gefunden";
        case ZIP_ER_NOPASSWD:
            return "kein Passwort angegeben";
        case ZIP_ER_WRONGPASSWD:
            return "falsches Passwort";
        case ZIP_ER_CANCELLED:
            return "abgebrochen";
        case ZIP_ER_COMPNOTSUPP:
            return "Kompressionsverfahren nicht unterstützt";
        case ZIP_ER_ENCRNOTSUPP:
            return "Verschlüsselungsverfahren nicht unterstützt";
        case ZIP_ER_INTERNAL:
            return "interner Fehler";
        default:
            return nullptr;
    }
}

}  // namespace

std::string zipReason(zip_error_t& error) {
    const int code = zip_error_code_zip(&error);
    if (const char* step = systemStep(code)) {
        const int system = zip_error_code_system(&error);
        return system != 0 ? std::string(step) + ": " + platform::systemReason(system) : step;
    }
    if (const char* text = ownText(code)) {
        return text;
    }
    return std::string("ZIP-Fehler (") + zip_error_strerror(&error) + ")";
}

std::string exceptionReason(const std::exception& error) {
    if (dynamic_cast<const std::bad_alloc*>(&error) != nullptr) {
        return platform::systemReason(ENOMEM);
    }
    if (const auto* system = dynamic_cast<const std::system_error*>(&error)) {
        const std::error_code& code = system->code();
        if (code.category() == std::generic_category() ||
            code.category() == std::system_category()) {
            return platform::systemReason(code.value());
        }
    }
    if (dynamic_cast<const CompressionError*>(&error) != nullptr) {
        return error.what();
    }
    return std::string("interner Fehler (") + error.what() + ")";
}

std::string zipReason(zip_t* archive) {
    return zipReason(*zip_get_error(archive));
}

std::string zipReason(zip_file_t* file) {
    return zipReason(*zip_file_get_error(file));
}

}  // namespace zip32
