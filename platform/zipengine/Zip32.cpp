// The C interface of libzip32.so. No C++ exception leaves it.
#include <new>

#include "platform/zipengine/ArchiveRun.h"
#include "platform/zipengine/EngineState.h"
#include "platform/zipengine/zip32.h"

namespace zip32 {

ThreadState& threadState() {
    thread_local ThreadState state;
    return state;
}

RunOptions optionsFromRecord(const ZpOptions& record) {
    RunOptions options;
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
    } catch (...) {
        return ZP_ERR_MEMORY;
    }
    options->encryptionSupported = 1;
    return ZP_OK;
}

ZIP32_API int32_t ZpArchive(int32_t count, const char* archivePath, char** names) {
    zip32::ThreadState& state = zip32::threadState();
    if (!state.initialised) {
        return ZP_ERR_PARAMETER;
    }
    if (count <= 0) {
        if (state.callbacks.print != nullptr) {
            static const char kNothing[] = "Nichts zu tun: keine Dateien angegeben\n";
            state.callbacks.print(kNothing, sizeof kNothing - 1);
        }
        return ZP_ERR_NOTHING_TO_DO;
    }
    if (archivePath == nullptr || names == nullptr) {
        return ZP_ERR_PARAMETER;
    }
    try {
        zip32::ArchiveRun run(state.callbacks, state.options, state.tuning);
        return run.execute(archivePath, count, names);
    } catch (...) {
        return ZP_ERR_MEMORY;
    }
}

}  // extern "C"
