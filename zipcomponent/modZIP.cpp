#include "zipcomponent/modZIP.h"

#include <dlfcn.h>

#include <cstring>
#include <mutex>
#include <new>
#include <stdexcept>
#include <system_error>
#include <utility>

#include "platform/SystemReason.h"
#include "platform/Wipe.h"
#include "zipcomponent/CZIP.h"

namespace modZIP {
namespace {

using ZpInitFn = int32_t (*)(const ZpCallbacks*);
using ZpSetOptionsFn = int32_t (*)(ZpOptions*);
using ZpArchiveFn = int32_t (*)(int32_t, const char*, char**);
using ZpVerifyFn = int32_t (*)(const char*, ZpVerifyProgress, ZpVerifyProblem, void*);
using ZpSetEncryptionFn = int32_t (*)(int32_t);
using ZpForgetPasswordsFn = int32_t (*)();

constexpr const char* kEngineFileName = "libzip32.so";
const char kOwnAddress = 0;  // any address inside this library, for dladdr

class EngineUnavailable : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// One engine per process, shared by every thread; the handle is guarded, the calls are not.
std::mutex engineMutex;
void* engineHandle = nullptr;
std::string sEngineFileOverride;

void* openEngine() {
    constexpr int kFlags = RTLD_NOW | RTLD_LOCAL;
    if (!sEngineFileOverride.empty()) {
        return dlopen(sEngineFileOverride.c_str(), kFlags);
    }
    Dl_info info{};
    if (dladdr(&kOwnAddress, &info) != 0 && info.dli_fname != nullptr) {
        const std::string sOwnFile = info.dli_fname;
        const auto slash = sOwnFile.rfind('/');
        if (slash != std::string::npos) {
            const std::string sBeside = sOwnFile.substr(0, slash + 1) + kEngineFileName;
            if (void* handle = dlopen(sBeside.c_str(), kFlags)) {
                return handle;
            }
        }
    }
    return dlopen(kEngineFileName, kFlags);
}

// Loads the engine when it is not loaded yet, so a later call can still succeed after a failed
// one; throws EngineUnavailable when the library or the entry point is missing.
template <typename Fn>
Fn entryPoint(const char* name) {
    std::lock_guard lock(engineMutex);
    if (engineHandle == nullptr) {
        engineHandle = openEngine();
    }
    if (engineHandle == nullptr) {
        throw EngineUnavailable(kEngineFileName);
    }
    void* symbol = dlsym(engineHandle, name);
    if (symbol == nullptr) {
        throw EngineUnavailable(name);
    }
    return reinterpret_cast<Fn>(symbol);
}

// The engine's copy of a text: it may write into it, so each copy is its own buffer.
char* copyForEngine(const std::optional<std::string>& sText,
                    std::vector<std::unique_ptr<char[]>>& owner) {
    if (!sText) {
        return nullptr;
    }
    auto buffer = std::make_unique<char[]>(sText->size() + 1);
    std::memcpy(buffer.get(), sText->c_str(), sText->size() + 1);
    owner.push_back(std::move(buffer));
    return owner.back().get();
}

std::optional<std::string> textFromEngine(const char* text) {
    if (text == nullptr) {
        return std::nullopt;
    }
    return std::string(text);
}

// At most lMax bytes of sText, never ending inside a UTF-8 sequence.
size_t cutLength(const std::string& sText, size_t lMax) {
    if (sText.size() <= lMax) {
        return sText.size();
    }
    size_t length = lMax;
    while (length > 0 && (static_cast<unsigned char>(sText[length]) & 0xC0) == 0x80) {
        --length;
    }
    return length;
}

int32_t ZIPPrintCallback(const char* text, int32_t /*length*/) {
    try {
        const std::string sText = text != nullptr ? std::string(text) : std::string();
        ZIPEngineState& state = EngineState();
        if (!state.Messages) {
            state.Messages = std::make_shared<MessageCollection>();
        }
        state.Messages->Add(sText);
    } catch (...) {
    }
    return 0;
}

int16_t ZIPCommentCallback(char* buffer) {
    try {
        const std::string& sComment = EngineState().sComment;
        if (sComment.empty() || buffer == nullptr) {
            return 1;
        }
        const size_t length = cutLength(sComment, ZP_COMMENT_BUFFER_SIZE - 1);
        std::memcpy(buffer, sComment.data(), length);
        buffer[length] = '\0';
    } catch (...) {
    }
    return 1;
}

int16_t ZIPPasswordCallback(char* buffer, int32_t size, const char* /*prompt*/,
                            const char* /*name*/) {
    try {
        const std::string& sPassword = EngineState().sPassword;
        if (sPassword.empty() || buffer == nullptr || size <= 0) {
            return 1;
        }
        std::memset(buffer, 0, static_cast<size_t>(size));
        std::memcpy(buffer, sPassword.data(), cutLength(sPassword, static_cast<size_t>(size) - 1));
    } catch (...) {
    }
    return 0;
}

// The engine may keep the table's address, so it lives as long as the library.
const ZpCallbacks kCallbacks = {&ZIPPrintCallback, &ZIPCommentCallback, &ZIPPasswordCallback,
                                &ZIPServiceCallback};

}  // namespace

void ZIPOptionsRecord::SetDate(std::optional<std::string> sNewValue) {
    sDate = std::move(sNewValue);
    pointAtTexts();
}

void ZIPOptionsRecord::SetRootDir(std::optional<std::string> sNewValue) {
    sRootDir = std::move(sNewValue);
    pointAtTexts();
}

void ZIPOptionsRecord::SetTempDir(std::optional<std::string> sNewValue) {
    sTempDir = std::move(sNewValue);
    pointAtTexts();
}

void ZIPOptionsRecord::CopyFrom(const ZpOptions& engineRecord) {
    auto sNewDate = textFromEngine(engineRecord.date);
    auto sNewRootDir = textFromEngine(engineRecord.rootDir);
    auto sNewTempDir = textFromEngine(engineRecord.tempDir);
    record = engineRecord;
    sDate = std::move(sNewDate);
    sRootDir = std::move(sNewRootDir);
    sTempDir = std::move(sNewTempDir);
    pointAtTexts();
}

void ZIPOptionsRecord::pointAtTexts() {
    record.date = sDate ? sDate->c_str() : nullptr;
    record.rootDir = sRootDir ? sRootDir->c_str() : nullptr;
    record.tempDir = sTempDir ? sTempDir->c_str() : nullptr;
}

ZIPEngineState::~ZIPEngineState() {
    platform::wipe(sPassword);
}

void ForgetPasswords() {
    ZIPEngineState& state = EngineState();
    platform::wipe(state.sPassword);
    state.ZIPOptions.Fields().encrypt = 0;
    try {
        entryPoint<ZpForgetPasswordsFn>("ZpForgetPasswords")();
    } catch (...) {
    }
}

void* EngineEntryPoint(const char* name) {
    try {
        return entryPoint<void*>(name);
    } catch (const EngineUnavailable&) {
        return nullptr;
    }
}

ZIPEngineState& EngineState() {
    thread_local ZIPEngineState state;
    return state;
}

int32_t ZIPServiceCallback(const char* name, int32_t /*size*/) {
    try {
        const std::string sName = name != nullptr ? std::string(name) : std::string();
        if (CZIP* source = EngineState().ZIPEventSource) {
            source->RaiseFileAdded(sName);
        }
    } catch (...) {
    }
    return 0;
}

int32_t RunZIPEngine(const std::string& sZIPFile, CZIP* pEventSource) {
    int32_t result = 0;
    ZIPEngineState& state = EngineState();

    try {
        result = entryPoint<ZpInitFn>("ZpInit")(&kCallbacks);
    } catch (...) {
    }

    try {
        std::vector<std::unique_ptr<char[]>> texts;
        ZpOptions options = state.ZIPOptions.Record();
        options.date = copyForEngine(state.ZIPOptions.Date(), texts);
        options.rootDir = copyForEngine(state.ZIPOptions.RootDir(), texts);
        options.tempDir = copyForEngine(state.ZIPOptions.TempDir(), texts);
        try {
            result = entryPoint<ZpSetOptionsFn>("ZpSetOptions")(&options);
        } catch (...) {
        }
        state.ZIPOptions.CopyFrom(options);
    } catch (...) {
    }

    // The method counts only when the archive is encrypted; an engine that cannot take it would
    // encrypt traditionally, which must not happen behind the client's back.
    if (state.ZIPOptions.Record().encrypt != 0) {
        try {
            entryPoint<ZpSetEncryptionFn>("ZpSetEncryption")(state.lEncryption);
        } catch (...) {
            if (state.lEncryption != ZP_ENCRYPT_TRADITIONAL) {
                ZIPPrintCallback(
                    "Fehler: der ZIP-Dienst libzip32.so kann nicht mit AES-256 verschlüsseln\n", 0);
                return ZP_ERR_PARAMETER;
            }
        }
    }

    state.ZIPEventSource = pEventSource;

    try {
        std::vector<std::unique_ptr<char[]>> texts;
        std::vector<char*> names(kMaxNames);
        for (int32_t i = 0; i < kMaxNames; ++i) {
            names[i] = copyForEngine(state.ZIPNames[i], texts);
        }
        char* path = copyForEngine(sZIPFile, texts);
        try {
            result = entryPoint<ZpArchiveFn>("ZpArchive")(state.ZIPNameCount, path, names.data());
        } catch (...) {
        }
        for (int32_t i = 0; i < kMaxNames; ++i) {
            state.ZIPNames[i] = textFromEngine(names[i]);
        }
    } catch (...) {
    }

    state.ZIPEventSource = nullptr;
    return result;
}

namespace {

// What the check's callbacks reach through their context.
struct VerifyContext {
    CZIP* pEventSource;
    ZIPVerifyProblem* pProblem;
};

void ZIPVerifyProblemCallback(void* context, const char* entry, const char* reason) {
    try {
        ZIPVerifyProblem& problem = *static_cast<VerifyContext*>(context)->pProblem;
        problem.sEntry = entry != nullptr ? entry : "";
        problem.sReason = reason != nullptr ? reason : "";
    } catch (...) {
    }
}

}  // namespace

void ZIPVerifyProgressCallback(void* context, int32_t done, int32_t total) {
    try {
        if (CZIP* source = static_cast<VerifyContext*>(context)->pEventSource) {
            source->RaiseVerifyProgress(done, total);
        }
    } catch (...) {
    }
}

int32_t RunZIPVerify(const std::string& sZIPFile, CZIP* pEventSource, ZIPVerifyProblem& problem) {
    VerifyContext context{pEventSource, &problem};
    try {
        const auto verify = entryPoint<ZpVerifyFn>("ZpVerify");
        return verify(sZIPFile.c_str(), &ZIPVerifyProgressCallback, &ZIPVerifyProblemCallback,
                      &context);
    } catch (const EngineUnavailable&) {
        problem = {sZIPFile, "der ZIP-Dienst libzip32.so kann Archive nicht prüfen"};
    } catch (const std::bad_alloc&) {
        problem = {sZIPFile, platform::systemReason(ENOMEM)};
    } catch (const std::system_error& error) {
        problem = {sZIPFile, "der ZIP-Dienst libzip32.so kann nicht aufgerufen werden: " +
                                 platform::systemReason(error.code().value())};
    } catch (...) {
        problem = {sZIPFile, "der ZIP-Dienst libzip32.so kann nicht aufgerufen werden"};
    }
    return ZP_ERR_PARAMETER;
}

void SetEngineFileForTesting(const std::string& sPath) {
    std::lock_guard lock(engineMutex);
    if (engineHandle != nullptr) {
        dlclose(engineHandle);
        engineHandle = nullptr;
    }
    sEngineFileOverride = sPath;
}

}  // namespace modZIP
