#include "app/EngineReader.h"

#include <atomic>
#include <mutex>

#include "zipcomponent/CZIP.h"

namespace EngineReader {

namespace {

struct Calls {
    decltype(&ZpOpenReader) open = nullptr;
    decltype(&ZpEntryCount) count = nullptr;
    decltype(&ZpEntryAt) at = nullptr;
    decltype(&ZpExtract) extract = nullptr;
    decltype(&ZpCheckPassword) checkPassword = nullptr;
    decltype(&ZpCloseReader) close = nullptr;
};

template <typename Fn>
bool Bind(Fn& call, const char* name) {
    call = reinterpret_cast<Fn>(CZIP::EngineEntryPoint(name));
    return call != nullptr;
}

// Null while the engine cannot be loaded; tried again at the next call, as the archiver does.
const Calls* Bound() {
    static std::atomic<const Calls*> bound{nullptr};
    static std::mutex mutex;
    static Calls calls;
    if (const Calls* ready = bound.load(std::memory_order_acquire)) {
        return ready;
    }
    const std::lock_guard<std::mutex> lock(mutex);
    if (bound.load() == nullptr && Bind(calls.open, "ZpOpenReader") &&
        Bind(calls.count, "ZpEntryCount") && Bind(calls.at, "ZpEntryAt") &&
        Bind(calls.extract, "ZpExtract") && Bind(calls.checkPassword, "ZpCheckPassword") &&
        Bind(calls.close, "ZpCloseReader")) {
        bound.store(&calls, std::memory_order_release);
    }
    return bound.load();
}

}  // namespace

int32_t Open(const char* archivePath, ZpReader** reader, ZpVerifyProblem problem, void* context) {
    const Calls* calls = Bound();
    if (calls == nullptr) {
        if (reader != nullptr) {
            *reader = nullptr;
        }
        if (problem != nullptr) {
            problem(context, archivePath,
                    "die ZIP-Engine libzip32.so fehlt oder kann keine Archive lesen");
        }
        return ZP_ERR_FILE_READ;
    }
    return calls->open(archivePath, reader, problem, context);
}

// A reader exists only where Open bound the calls.
int64_t Count(const ZpReader* reader) {
    return reader != nullptr ? Bound()->count(reader) : 0;
}

const ZpEntryInfo* At(const ZpReader* reader, int64_t index) {
    return reader != nullptr ? Bound()->at(reader, index) : nullptr;
}

int32_t Extract(ZpReader* reader, int64_t index, const char* password, ZpWriteCallback write,
                ZpVerifyProblem problem, void* context) {
    return reader != nullptr ? Bound()->extract(reader, index, password, write, problem, context)
                             : ZP_ERR_PARAMETER;
}

int32_t CheckPassword(ZpReader* reader, int64_t index, const char* password) {
    return reader != nullptr ? Bound()->checkPassword(reader, index, password) : ZP_ERR_PARAMETER;
}

void Close(ZpReader* reader) {
    if (reader != nullptr) {
        Bound()->close(reader);
    }
}

}  // namespace EngineReader
