// The reasons the engine gives in its messages: German words for the system's and libzip's
// errors, and for failures inside the engine.
#include <gtest/gtest.h>
#include <zip.h>

#include <cerrno>
#include <new>
#include <stdexcept>
#include <string>
#include <system_error>

#include "platform/SystemReason.h"
#include "platform/zipengine/BlockDeflate.h"
#include "platform/zipengine/ZipReason.h"

namespace {

TEST(EngineReasons, ReasonsAreGermanAndUnknownOnesKeepTheirNumber) {
    EXPECT_EQ(platform::systemReason(ENOSPC), "kein Platz mehr auf dem Datenträger");
    EXPECT_EQ(platform::systemReason(EACCES), "keine Berechtigung");
    EXPECT_EQ(platform::systemReason(EROFS), "Dateisystem ist schreibgeschützt");
    // A FIFO opened for writing without a reader, or a socket opened as a file.
    EXPECT_EQ(platform::systemReason(ENXIO), "Gerät oder Adresse nicht vorhanden");
    EXPECT_EQ(platform::systemReason(EPROTO), "Systemfehler " + std::to_string(EPROTO));
    zip_error_t error;
    zip_error_init_with_code(&error, ZIP_ER_NOZIP);
    EXPECT_EQ(zip32::zipReason(error), "keine ZIP-Datei");
    zip_error_set(&error, ZIP_ER_WRITE, ENOSPC);
    EXPECT_EQ(zip32::zipReason(error), "Schreibfehler: kein Platz mehr auf dem Datenträger");
    zip_error_set(&error, ZIP_ER_MULTIDISK, 0);
    EXPECT_EQ(zip32::zipReason(error), "ZIP-Fehler (Multi-disk zip archives not supported)");
    zip_error_fini(&error);
}

// Only a lack of memory reads as one: a thread that cannot be started and a failure of zlib
// carry their own reasons.
TEST(EngineReasons, FailuresInsideTheEngineSayWhatFailed) {
    EXPECT_EQ(zip32::exceptionReason(std::bad_alloc()), "zu wenig Arbeitsspeicher");
    const std::string thread =
        zip32::exceptionReason(std::system_error(EAGAIN, std::generic_category()));
    EXPECT_EQ(thread, platform::systemReason(EAGAIN));
    EXPECT_NE(thread, "zu wenig Arbeitsspeicher");
    try {
        zip32::BlockDeflater deflater(10);  // a level zlib does not know
        ADD_FAILURE() << "zlib took level 10";
    } catch (const std::exception& error) {
        EXPECT_EQ(
            zip32::exceptionReason(error).rfind("Kompressionsfehler (zlib, deflateInit2: ", 0), 0u)
            << zip32::exceptionReason(error);
    }
    EXPECT_EQ(zip32::exceptionReason(std::logic_error("x")), "interner Fehler (x)");
    zip_error_t error;
    zip_error_init_with_code(&error, ZIP_ER_INTERNAL);
    EXPECT_EQ(zip32::zipReason(error), "interner Fehler");
    zip_error_fini(&error);
}

}  // namespace
