#include "zipcomponent/CZIP.h"

#include <stdexcept>
#include <utility>

#include "platform/Wipe.h"
#include "zipcomponent/modZIP.h"

static_assert(static_cast<int32_t>(ZIPEncryptionMethod::Traditional) == ZP_ENCRYPT_TRADITIONAL &&
              static_cast<int32_t>(ZIPEncryptionMethod::AES256) == ZP_ENCRYPT_AES256);

namespace {

// The drive root of the original setting is "/" here.
constexpr const char* kDefaultRootPath = "/";
constexpr char kDefaultLevel = '9';

// Empties the collection in place, so that a client holding it sees it empty too.
void removeAllMessages(MessageCollection* pMessages) {
    if (pMessages != nullptr) {
        pMessages->Clear();
    }
}

}  // namespace

const std::string& MessageCollection::Item(int32_t lIndex) const {
    if (lIndex < 1 || lIndex > Count()) {
        throw std::out_of_range("MessageCollection::Item");
    }
    return items[static_cast<size_t>(lIndex - 1)];
}

void MessageCollection::Remove(int32_t lIndex) {
    if (lIndex < 1 || lIndex > Count()) {
        throw std::out_of_range("MessageCollection::Remove");
    }
    items.erase(items.begin() + (lIndex - 1));
}

CZIP::CZIP() {
    modZIP::ZIPEngineState& state = modZIP::EngineState();
    modZIP::ZIPOptionsRecord& options = state.ZIPOptions;
    options.SetDate(std::nullopt);
    options.SetRootDir(kDefaultRootPath);
    options.SetTempDir(std::string());

    // Every flag from "include suffixes" on; "use the temporary directory" is never written.
    ZpOptions& fields = options.Fields();
    fields.suffixes = 0;
    fields.encrypt = 0;
    fields.systemFiles = 0;
    fields.volumeLabel = 0;
    fields.noExtraAttributes = 0;
    fields.noDirEntries = 0;
    fields.excludeNewer = 0;
    fields.includeNewer = 0;
    fields.verbose = 0;
    fields.quiet = 1;
    fields.crlfToLf = 0;
    fields.lfToCrlf = 0;
    fields.junkDirs = 0;
    fields.grow = 0;
    fields.dosNames = 0;
    fields.move = 0;
    fields.deleteEntries = 0;
    fields.update = 0;
    fields.freshen = 0;
    fields.junkSfx = 0;
    fields.latestTime = 0;
    fields.comment = 0;
    fields.adjustSfx = 0;
    fields.privileges = 0;
    fields.encryptionSupported = 0;
    fields.recurse = 0;
    fields.repair = 0;
    fields.level = kDefaultLevel;
    state.lEncryption = ZP_ENCRYPT_TRADITIONAL;

    state.Messages = std::make_shared<MessageCollection>();
}

CZIP::~CZIP() {
    FileList.clear();
    modZIP::ZIPEngineState& state = modZIP::EngineState();
    removeAllMessages(state.Messages.get());
    state.Messages.reset();
}

void CZIP::AddFile(const std::string& sFilePath) {
    if (FileList.size() > static_cast<size_t>(Tv_ZIP::kMaxFiles - 1)) {
        throw RuntimeError(Tv_ZIP::kErrMaxFiles, std::string(Tv_ZIP::kErrMaxFilesSource),
                           std::string(Tv_ZIP::kErrMaxFilesDescription));
    }
    FileList.push_back(sFilePath);
}

std::string CZIP::ZIPRootPath() const {
    return modZIP::EngineState().ZIPOptions.RootDir().value_or(std::string());
}

void CZIP::SetZIPRootPath(const std::string& sNewValue) {
    modZIP::EngineState().ZIPOptions.SetRootDir(sNewValue);
}

std::string CZIP::ZIPComment() const {
    return modZIP::EngineState().sComment;
}

void CZIP::SetZIPComment(const std::string& sNewValue) {
    modZIP::ZIPEngineState& state = modZIP::EngineState();
    state.sComment = sNewValue;
    state.ZIPOptions.Fields().comment = sNewValue.empty() ? 0 : 1;
}

std::string CZIP::ZIPPassword() const {
    return modZIP::EngineState().sPassword;
}

void CZIP::SetZIPPassword(const std::string& sNewValue) {
    modZIP::ZIPEngineState& state = modZIP::EngineState();
    platform::wipe(state.sPassword);
    state.sPassword = sNewValue;
    state.ZIPOptions.Fields().encrypt = sNewValue.empty() ? 0 : 1;
}

ZIPEncryptionMethod CZIP::ZIPEncryption() const {
    return static_cast<ZIPEncryptionMethod>(modZIP::EngineState().lEncryption);
}

void CZIP::SetZIPEncryption(ZIPEncryptionMethod eNewValue) {
    modZIP::EngineState().lEncryption = static_cast<int32_t>(eNewValue);
}

void CZIP::ForgetPassword() {
    modZIP::ForgetPasswords();
}

void* CZIP::EngineEntryPoint(const char* sName) {
    return modZIP::EngineEntryPoint(sName);
}

std::shared_ptr<MessageCollection> CZIP::Messages() const {
    modZIP::ZIPEngineState& state = modZIP::EngineState();
    if (!state.Messages) {
        state.Messages = std::make_shared<MessageCollection>();
    }
    return state.Messages;
}

bool CZIP::AppendToZIP() const {
    return modZIP::EngineState().ZIPOptions.Record().grow == 1;
}

void CZIP::SetAppendToZIP(bool bNewValue) {
    modZIP::EngineState().ZIPOptions.Fields().grow = bNewValue ? 1 : 0;
}

bool CZIP::ForceDOSNames() const {
    return modZIP::EngineState().ZIPOptions.Record().dosNames == 1;
}

void CZIP::SetForceDOSNames(bool bNewValue) {
    modZIP::EngineState().ZIPOptions.Fields().dosNames = bNewValue ? 1 : 0;
}

bool CZIP::UpdateZIP() const {
    return modZIP::EngineState().ZIPOptions.Record().update == 1;
}

void CZIP::SetUpdateZIP(bool bNewValue) {
    modZIP::EngineState().ZIPOptions.Fields().update = bNewValue ? 1 : 0;
}

int32_t CZIP::DoZip() {
    modZIP::ZIPEngineState& state = modZIP::EngineState();
    removeAllMessages(state.Messages.get());

    if (FileList.empty() || sZIPFilePath.empty()) {
        return 0;
    }

    const auto count = static_cast<int32_t>(FileList.size());
    for (int32_t i = 0; i < count; ++i) {
        state.ZIPNames[static_cast<size_t>(i)] = FileList[static_cast<size_t>(i)];
    }
    state.ZIPNameCount = count;

    CZIP* pEventSource = bSuppressEvents ? nullptr : this;
    return modZIP::RunZIPEngine(sZIPFilePath, pEventSource);
}

int32_t CZIP::VerifyZIP(ZIPVerifyProblem* pProblem) {
    ZIPVerifyProblem problem;
    const int32_t lResult =
        modZIP::RunZIPVerify(sZIPFilePath, bSuppressEvents ? nullptr : this, problem);
    if (pProblem != nullptr) {
        *pProblem = std::move(problem);
    }
    return lResult;
}

void CZIP::RaiseVerifyProgress(int32_t lDone, int32_t lTotal) {
    if (pListener != nullptr) {
        pListener->VerifyProgress(lDone, lTotal);
    }
}

void CZIP::RaiseFileAdded(const std::string& sFilename) {
    if (pListener != nullptr) {
        pListener->FileAdded(sFilename);
    }
}
