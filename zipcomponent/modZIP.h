#pragma once
// modZIP: the only code that talks to the ZIP engine libzip32.so. It keeps the per-thread engine
// state shared by all CZIP objects of a thread, loads the engine on first use, and serves the
// engine's four callbacks.
//
// Errors: nothing here raises. Each step of a run and each callback absorbs its own failures, so
// a missing engine makes every engine call fail and the run returns the result of the last call
// that did return (0 when none did).

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/zipengine/zip32.h"

class CZIP;
class MessageCollection;
struct ZIPVerifyProblem;

namespace modZIP {

inline constexpr int32_t kMaxNames = 4096;

/// The options record for the engine with storage for its three texts. The record's text pointers
/// always point into that storage (or are null for a null text), so the object is not copyable.
class ZIPOptionsRecord {
public:
    ZIPOptionsRecord() = default;
    ZIPOptionsRecord(const ZIPOptionsRecord&) = delete;
    ZIPOptionsRecord& operator=(const ZIPOptionsRecord&) = delete;

    /// Flags, numbers and level; the text pointers must not be changed through it.
    ZpOptions& Fields() { return record; }
    const ZpOptions& Record() const { return record; }

    const std::optional<std::string>& Date() const { return sDate; }
    const std::optional<std::string>& RootDir() const { return sRootDir; }
    const std::optional<std::string>& TempDir() const { return sTempDir; }
    void SetDate(std::optional<std::string> sNewValue);
    void SetRootDir(std::optional<std::string> sNewValue);
    void SetTempDir(std::optional<std::string> sNewValue);
    /// Takes over every field of a record the engine may have changed, its texts as copies.
    void CopyFrom(const ZpOptions& engineRecord);

private:
    void pointAtTexts();

    ZpOptions record{};
    std::optional<std::string> sDate;
    std::optional<std::string> sRootDir;
    std::optional<std::string> sTempDir;
};

/// What all CZIP objects of one thread share. Created zeroed on the thread's first use; the
/// password is overwritten when the thread ends.
struct ZIPEngineState {
    ZIPEngineState() = default;
    ~ZIPEngineState();
    ZIPEngineState(const ZIPEngineState&) = delete;
    ZIPEngineState& operator=(const ZIPEngineState&) = delete;

    std::string sComment;
    std::string sPassword;
    int32_t lEncryption = ZP_ENCRYPT_TRADITIONAL;
    std::shared_ptr<MessageCollection> Messages;  // null: no collection, read as an empty one
    ZIPOptionsRecord ZIPOptions;
    CZIP* ZIPEventSource = nullptr;  // set only while ZpArchive runs
    std::vector<std::optional<std::string>> ZIPNames =
        std::vector<std::optional<std::string>>(kMaxNames);
    int32_t ZIPNameCount = 0;
};

/// The calling thread's state.
ZIPEngineState& EngineState();

/// One engine run over ZIPNameCount names of the thread's state: ZpInit, ZpSetOptions, ZpArchive,
/// and when it encrypts, ZpSetEncryption before ZpArchive. An engine without ZpSetEncryption
/// writes nothing under AES-256 rather than a weaker archive: the result is then ZP_ERR_PARAMETER
/// with a message. pEventSource receives FileAdded for each file the engine reports; nullptr
/// raises nothing.
int32_t RunZIPEngine(const std::string& sZIPFile, CZIP* pEventSource);

/// The engine's service callback; declared here so that CZIP can let it raise FileAdded.
int32_t ZIPServiceCallback(const char* name, int32_t size);

/// The engine's check of what this thread's runs wrote into sZIPFile (ZpVerify). pEventSource
/// receives VerifyProgress; nullptr raises nothing. An engine without the check, or none at all,
/// gives ZP_ERR_PARAMETER and a reason, never 0.
int32_t RunZIPVerify(const std::string& sZIPFile, CZIP* pEventSource, ZIPVerifyProblem& problem);

/// Overwrites the thread's password, clears the encrypt flag, and has the engine forget its
/// copies (ZpForgetPasswords, where it has it).
void ForgetPasswords();

/// The engine's entry point of that name; null when the engine or the entry point is missing.
void* EngineEntryPoint(const char* name);

/// The check's progress callback; context is the run's CZIP (or nullptr).
void ZIPVerifyProgressCallback(void* context, int32_t done, int32_t total);

/// Test hook: load the engine from sPath from now on (an empty path restores the normal lookup:
/// libzip32.so beside libTv_ZIP.so, then the library search path). Unloads the current engine.
void SetEngineFileForTesting(const std::string& sPath);

}  // namespace modZIP
