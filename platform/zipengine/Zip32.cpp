// The C interface of libzip32.so. No C++ exception leaves it.
#include <memory>
#include <new>
#include <string>
#include <utility>

#include "platform/zipengine/ArchiveCheck.h"
#include "platform/zipengine/ArchiveRead.h"
#include "platform/zipengine/ArchiveRun.h"
#include "platform/zipengine/EngineState.h"
#include "platform/zipengine/ZipReason.h"
#include "platform/zipengine/zip32.h"

namespace zip32 {

ThreadState& threadState() {
    thread_local ThreadState state;
    return state;
}

RunOptions optionsFromRecord(const ZpOptions& record) {
    RunOptions options;
    const std::pair<const char*, int32_t> unimplemented[] = {
        {"useTempDir", record.useTempDir},
        {"suffixes", record.suffixes},
        {"volumeLabel", record.volumeLabel},
        {"noExtraAttributes", record.noExtraAttributes},
        {"excludeNewer", record.excludeNewer},
        {"includeNewer", record.includeNewer},
        {"crlfToLf", record.crlfToLf},
        {"lfToCrlf", record.lfToCrlf},
        {"junkDirs", record.junkDirs},
        {"move", record.move},
        {"deleteEntries", record.deleteEntries},
        {"freshen", record.freshen},
        {"junkSfx", record.junkSfx},
        {"latestTime", record.latestTime},
        {"adjustSfx", record.adjustSfx},
        {"privileges", record.privileges},
        {"recurse", record.recurse},
        {"repair", record.repair}};
    for (const auto& [name, value] : unimplemented) {
        if (value != 0) {
            options.unsupported.emplace_back(name);
        }
    }
    if (record.rootDir != nullptr) {
        options.rootDir = std::string(record.rootDir);
    }
    options.encrypt = record.encrypt != 0;
    options.verbose = record.verbose != 0;
    options.quiet = record.quiet != 0;
    options.grow = record.grow != 0;
    options.dosNames = record.dosNames != 0;
    options.update = record.update != 0;
    options.comment = record.comment != 0;
    options.level = record.level >= '0' && record.level <= '9' ? record.level - '0' : 9;
    return options;
}

}  // namespace zip32

namespace {

void print(const zip32::ThreadState& state, const std::string& line) {
    if (state.callbacks.print != nullptr) {
        state.callbacks.print(line.c_str(), static_cast<int32_t>(line.size()));
    }
}

// What a caught exception means for a reader's call: its result and the reason.
int32_t failure(const std::exception& error, std::string& reason) {
    const bool memory = dynamic_cast<const std::bad_alloc*>(&error) != nullptr;
    try {
        reason = zip32::exceptionReason(error);
    } catch (...) {
        reason = memory ? "zu wenig Arbeitsspeicher" : "interner Fehler";
    }
    return memory ? ZP_ERR_MEMORY : ZP_ERR_VERIFY;
}

}  // namespace

struct ZpReader {
    zip32::ArchiveReader archive;
};

extern "C" {

ZIP32_API int32_t ZpInit(const ZpCallbacks* callbacks) {
    if (callbacks == nullptr) {
        return ZP_ERR_PARAMETER;
    }
    zip32::ThreadState& state = zip32::threadState();
    state.callbacks = *callbacks;
    state.initialised = true;
    return ZP_OK;
}

ZIP32_API int32_t ZpSetOptions(ZpOptions* options) {
    if (options == nullptr) {
        return ZP_ERR_PARAMETER;
    }
    try {
        // A copy: the caller frees its record, texts included, right after this call.
        zip32::threadState().options = zip32::optionsFromRecord(*options);
    } catch (const std::bad_alloc&) {
        return ZP_ERR_MEMORY;
    } catch (...) {
        return ZP_ERR_PARAMETER;
    }
    options->encryptionSupported = 1;
    return zip32::threadState().options.unsupported.empty() ? ZP_OK : ZP_ERR_PARAMETER;
}

ZIP32_API int32_t ZpArchive(int32_t count, const char* archivePath, char** names) {
    zip32::ThreadState& state = zip32::threadState();
    if (!state.initialised) {
        return ZP_ERR_PARAMETER;
    }
    if (count <= 0) {
        print(state, "Nichts zu tun: keine Dateien angegeben\n");
        return ZP_ERR_NOTHING_TO_DO;
    }
    if (archivePath == nullptr || names == nullptr) {
        return ZP_ERR_PARAMETER;
    }
    // Doing less than asked and reporting success would be worse than doing nothing.
    if (!state.options.unsupported.empty()) {
        for (const std::string& field : state.options.unsupported) {
            print(state, "Fehler: Option nicht unterstützt: " + field + "\n");
        }
        return ZP_ERR_PARAMETER;
    }
    std::string reason;
    int32_t result = ZP_ERR_ARCHIVE_WRITE;
    try {
        zip32::ArchiveRun run(state.callbacks, state.options, state.encryption, state.tuning);
        return run.execute(archivePath, count, names);
    } catch (const std::exception& error) {
        if (dynamic_cast<const std::bad_alloc*>(&error) != nullptr) {
            result = ZP_ERR_MEMORY;
        }
        try {
            reason = zip32::exceptionReason(error);
        } catch (...) {
        }
    } catch (...) {
    }
    // Nothing was written: the archive stays as it was.
    try {
        print(state, "Fehler: Archiv " + std::string(archivePath) + " nicht geschrieben: " +
                         (reason.empty() ? "interner Fehler" : reason) + "\n");
    } catch (...) {
    }
    return result;
}

ZIP32_API int32_t ZpSetEncryption(int32_t method) {
    if (method != ZP_ENCRYPT_TRADITIONAL && method != ZP_ENCRYPT_AES256) {
        return ZP_ERR_PARAMETER;
    }
    zip32::threadState().encryption = method;
    return ZP_OK;
}

ZIP32_API int32_t ZpForgetPasswords(void) {
    for (zip32::WrittenEntry& entry : zip32::threadState().written.entries) {
        entry.password.reset();
        entry.aesKeys.reset();
    }
    return ZP_OK;
}

ZIP32_API int32_t ZpVerify(const char* archivePath, ZpVerifyProgress progress,
                           ZpVerifyProblem problem, void* context) {
    if (archivePath == nullptr) {
        return ZP_ERR_PARAMETER;
    }
    try {
        const zip32::WrittenArchive& written = zip32::threadState().written;
        zip32::CheckProblem found;
        int32_t result = ZP_ERR_PARAMETER;
        if (written.path != archivePath) {
            found = {archivePath, "von keinem Lauf dieses Programms geschrieben"};
        } else {
            zip32::CheckProgress report;
            if (progress != nullptr) {
                report = [&](int32_t done, int32_t total) { progress(context, done, total); };
            }
            result = zip32::checkArchive(archivePath, written.entries, report, found,
                                         zip32::threadState().tuning.checkPiece);
        }
        if (result != ZP_OK && problem != nullptr) {
            problem(context, found.entry.c_str(), found.reason.c_str());
        }
        return result;
    } catch (const std::exception& error) {
        // The archive was not shown to hold what was written; the reason says why.
        const bool memory = dynamic_cast<const std::bad_alloc*>(&error) != nullptr;
        if (problem != nullptr) {
            try {
                problem(context, archivePath,
                        ("nicht prüfbar: " + zip32::exceptionReason(error)).c_str());
            } catch (...) {
                problem(context, archivePath,
                        memory ? "zu wenig Arbeitsspeicher" : "nicht prüfbar");
            }
        }
        return memory ? ZP_ERR_MEMORY : ZP_ERR_VERIFY;
    } catch (...) {
        return ZP_ERR_VERIFY;
    }
}

ZIP32_API int32_t ZpOpenReader(const char* archivePath, ZpReader** reader, ZpVerifyProblem problem,
                               void* context) {
    if (archivePath == nullptr || reader == nullptr) {
        return ZP_ERR_PARAMETER;
    }
    *reader = nullptr;
    std::string reason;
    int32_t result = ZP_ERR_MEMORY;
    try {
        auto opened = std::make_unique<ZpReader>();
        result = opened->archive.open(archivePath, reason);
        if (result == ZP_OK) {
            *reader = opened.release();
            return ZP_OK;
        }
    } catch (const std::exception& error) {
        result = failure(error, reason);
        if (result != ZP_ERR_MEMORY) {
            result = ZP_ERR_FILE_READ;
        }
    } catch (...) {
        result = ZP_ERR_FILE_READ;
        reason = "interner Fehler";
    }
    if (problem != nullptr) {
        problem(context, archivePath, reason.c_str());
    }
    return result;
}

ZIP32_API int64_t ZpEntryCount(const ZpReader* reader) {
    return reader == nullptr ? 0 : static_cast<int64_t>(reader->archive.count());
}

ZIP32_API const ZpEntryInfo* ZpEntryAt(const ZpReader* reader, int64_t index) {
    if (reader == nullptr || index < 0 || static_cast<uint64_t>(index) >= reader->archive.count()) {
        return nullptr;
    }
    return &reader->archive.entry(static_cast<size_t>(index));
}

ZIP32_API int32_t ZpExtract(ZpReader* reader, int64_t index, const char* password,
                            ZpWriteCallback write, ZpVerifyProblem problem, void* context) {
    const ZpEntryInfo* entry = ZpEntryAt(reader, index);
    if (entry == nullptr || write == nullptr) {
        if (problem != nullptr) {
            problem(context, reader == nullptr ? "" : reader->archive.path().c_str(),
                    entry == nullptr ? "kein solcher Eintrag" : "keine Ausgabe angegeben");
        }
        return ZP_ERR_PARAMETER;
    }
    std::string reason;
    int32_t result = ZP_ERR_MEMORY;
    try {
        const zip32::EntrySink sink = [write, context](const unsigned char* data, size_t length) {
            return write(context, data, length) == 0;
        };
        result = reader->archive.extract(static_cast<size_t>(index), password, sink, reason);
    } catch (const std::exception& error) {
        result = failure(error, reason);
    } catch (...) {
        result = ZP_ERR_VERIFY;
        reason = "interner Fehler";
    }
    if (result != ZP_OK && result != ZP_ERR_STOPPED && problem != nullptr) {
        problem(context, entry->name, reason.c_str());
    }
    return result;
}

ZIP32_API int32_t ZpCheckPassword(ZpReader* reader, int64_t index, const char* password) {
    if (ZpEntryAt(reader, index) == nullptr) {
        return ZP_ERR_PARAMETER;
    }
    try {
        return reader->archive.checkPassword(static_cast<size_t>(index), password);
    } catch (const std::bad_alloc&) {
        return ZP_ERR_MEMORY;
    } catch (...) {
        return ZP_ERR_FILE_READ;
    }
}

ZIP32_API void ZpCloseReader(ZpReader* reader) {
    delete reader;
}

}  // extern "C"
