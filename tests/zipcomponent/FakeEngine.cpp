#include "tests/zipcomponent/FakeEngine.h"

#include <algorithm>
#include <cstring>

namespace {

fakezip::Controls controls;
ZpCallbacks callbacks{};

constexpr size_t kGuard = 64;

fakezip::Outcome callWithBuffer(size_t size, bool bComment) {
    std::vector<unsigned char> buffer(size + kGuard, fakezip::kFill);
    char* data = reinterpret_cast<char*>(buffer.data());
    fakezip::Outcome outcome;
    outcome.result =
        bComment ? callbacks.comment(data)
                 : callbacks.password(data, static_cast<int32_t>(size), "Kennwort", "name.txt");
    outcome.buffer.assign(buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(size));
    outcome.bGuardIntact =
        std::all_of(buffer.begin() + static_cast<std::ptrdiff_t>(size), buffer.end(),
                    [](unsigned char c) { return c == fakezip::kFill; });
    return outcome;
}

void runScript(fakezip::Phase phase, char** names) {
    for (const fakezip::Step& step : controls.script) {
        if (step.phase != phase) {
            continue;
        }
        fakezip::Outcome outcome;
        switch (step.action) {
            case fakezip::Action::Print:
                outcome.result = callbacks.print(step.text.c_str(), step.number);
                break;
            case fakezip::Action::Comment:
                outcome = callWithBuffer(ZP_COMMENT_BUFFER_SIZE, true);
                break;
            case fakezip::Action::Password:
                outcome = callWithBuffer(static_cast<size_t>(step.number), false);
                break;
            case fakezip::Action::Service:
                outcome.result = callbacks.service(step.text.c_str(), step.number);
                break;
            case fakezip::Action::RenameFirst:
                if (names != nullptr && names[0] != nullptr &&
                    std::strlen(names[0]) >= step.text.size()) {
                    std::memcpy(names[0], step.text.c_str(), step.text.size() + 1);
                }
                break;
        }
        controls.outcomes.push_back(std::move(outcome));
    }
}

std::optional<std::string> text(const char* p) {
    return p != nullptr ? std::optional<std::string>(p) : std::nullopt;
}

}  // namespace

extern "C" {

__attribute__((visibility("default"))) fakezip::Controls* FakeEngineControls() {
    return &controls;
}

__attribute__((visibility("default"))) int32_t ZpInit(const ZpCallbacks* table) {
    controls.calls.push_back("ZpInit");
    callbacks = *table;
    controls.bCallbacksComplete = table->print != nullptr && table->comment != nullptr &&
                                  table->password != nullptr && table->service != nullptr;
    runScript(fakezip::Phase::Init, nullptr);
    return controls.lInitResult;
}

__attribute__((visibility("default"))) int32_t ZpSetOptions(ZpOptions* options) {
    controls.calls.push_back("ZpSetOptions");
    controls.options = *options;
    controls.sDate = text(options->date);
    controls.sRootDir = text(options->rootDir);
    controls.sTempDir = text(options->tempDir);
    options->encryptionSupported = 1;
    runScript(fakezip::Phase::SetOptions, nullptr);
    return controls.lSetOptionsResult;
}

__attribute__((visibility("default"))) int32_t ZpSetEncryption(int32_t method) {
    controls.calls.push_back("ZpSetEncryption");
    controls.lEncryption = method;
    return ZP_OK;
}

__attribute__((visibility("default"))) int32_t ZpForgetPasswords() {
    controls.calls.push_back("ZpForgetPasswords");
    return ZP_OK;
}

__attribute__((visibility("default"))) int32_t ZpArchive(int32_t count, const char* archivePath,
                                                         char** names) {
    controls.calls.push_back("ZpArchive");
    controls.lCount = count;
    controls.sArchivePath = archivePath != nullptr ? archivePath : "";
    controls.names.clear();
    for (int32_t i = 0; i < count; ++i) {
        controls.names.push_back(names[i] != nullptr ? names[i] : "<null>");
    }
    runScript(fakezip::Phase::Archive, names);
    return controls.lArchiveResult;
}
}
