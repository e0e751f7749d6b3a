#pragma once
// A stand-in for libzip32.so in the component's tests. It records what the component hands over
// and calls the component's callbacks as scripted, with guarded buffers. The tests reach its
// controls through FakeEngineControls(), found with dlsym in the same loaded copy that the
// component uses.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/zipengine/zip32.h"

namespace fakezip {

enum class Phase { Init, SetOptions, Archive };
enum class Action {
    Print,       // print(text, number)
    Comment,     // comment(buffer of ZP_COMMENT_BUFFER_SIZE bytes)
    Password,    // password(buffer of `number` bytes, size `number`)
    Service,     // service(text, number)
    RenameFirst  // writes `text` into the first name's copy (no longer than it)
};

struct Step {
    Phase phase;
    Action action;
    std::string text;
    int32_t number = 0;
};

// What a callback returned and, for the buffer callbacks, the buffer afterwards.
struct Outcome {
    int32_t result = 0;
    std::vector<unsigned char> buffer;  // the buffer handed over, without its guard
    bool bGuardIntact = true;           // no byte written past the buffer
};

inline constexpr unsigned char kFill = 0xCC;

struct Controls {
    // Script and results, set by a test.
    std::vector<Step> script;
    int32_t lInitResult = 11;
    int32_t lSetOptionsResult = 12;
    int32_t lArchiveResult = 0;

    // Records, kept until Reset.
    std::vector<std::string> calls;  // entry point names in call order
    bool bCallbacksComplete = false;
    ZpOptions options{};  // as received; its text pointers are not valid after the call
    std::optional<std::string> sDate, sRootDir, sTempDir;
    int32_t lCount = -1;
    int32_t lEncryption = -1;  // the last method ZpSetEncryption received
    std::string sArchivePath;
    std::vector<std::string> names;  // the first lCount names
    std::vector<Outcome> outcomes;   // one per callback step, in script order

    void Reset() { *this = Controls(); }
};

}  // namespace fakezip

extern "C" fakezip::Controls* FakeEngineControls();
