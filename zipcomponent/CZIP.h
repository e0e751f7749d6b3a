#pragma once
// CZIP: the archiver component of libTv_ZIP.so. A client creates one object per backup run, sets
// the archive path and options, hands over file paths with AddFile, calls DoZip once and hears one
// FileAdded per archived file through the listener it registered.
//
// Design: the options, the comment, the password, the messages and the names table live in one
// per-thread state shared by every CZIP of that thread (see modZIP.h); an object only keeps its
// file list, its archive path and its suppress flag. So a new object resets the options of the
// others of its thread, and destroying any object empties the shared Messages.
//
// Paths, names and the comment are bytes and reach the engine unchanged, also where they are no
// UTF-8 (the engine writes such names and comments as they are). Errors: AddFile raises
// RuntimeError 47110815 past 4096 files; nothing else raises; engine failures show only in the
// result of DoZip and the absence of the archive.
//
// Beyond the published interface, VerifyZIP reads an archive back and checks what the runs wrote
// (the engine's ZpVerify); a client that forgets anything on the strength of a backup calls it
// first. ZIPEncryption chooses how ZIPPassword encrypts (the traditional method unless set), and
// ForgetPassword overwrites the password wherever the component and the engine hold it once the
// client is done. The library exports this interface and nothing else.

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/RuntimeError.h"

class CZIP;

namespace modZIP {
int32_t ZIPServiceCallback(const char* name, int32_t size);
void ZIPVerifyProgressCallback(void* context, int32_t done, int32_t total);
}  // namespace modZIP

// Identities published with the component; kept so that a host can still name the class.
namespace Tv_ZIP {
inline constexpr std::string_view kLibraryName = "Tv_ZIP";
inline constexpr std::string_view kLibraryHelpString = "COM-Wrapper for InfoZIP's ZIP32.DLL";
inline constexpr std::string_view kLibraryId = "{01565A90-275B-45DF-BAF4-19A2471E6DAD}";
inline constexpr std::string_view kClassId = "{EFC91593-8721-42CA-BFDF-A5A2F3E5AE22}";      // CZIP
inline constexpr std::string_view kInterfaceId = "{AAFD0260-6D62-4B31-AD8B-4BA10D967ED8}";  // _CZIP
inline constexpr std::string_view kEventInterfaceId =
    "{5B114DB9-A2C1-4B62-BF11-DD9C6ECF49C6}";  // __CZIP
inline constexpr int32_t kFileAddedDispatchId = 1;

inline constexpr int32_t kMaxFiles = 4096;
inline constexpr int32_t kErrMaxFiles = 47110815;
inline constexpr std::string_view kErrMaxFilesSource = "Tv_ZIP:AddFile";
inline constexpr std::string_view kErrMaxFilesDescription = "Maximum number of files reached";
}  // namespace Tv_ZIP

/// How ZIPPassword encrypts the entries. Values as the engine's ZP_ENCRYPT_ constants.
enum class ZIPEncryptionMethod : int32_t {
    Traditional = 0,  // ZIP 2.0: every unzip reads it, but a known-plaintext attack breaks it
    AES256 = 1,       // WinZip AES-256: 7-Zip and libzip or libarchive read it, unzip 6.0 not
};

/// Ordered collection of strings, 1-based, shared by reference: the engine messages of a thread.
class MessageCollection {
public:
    int32_t Count() const { return static_cast<int32_t>(items.size()); }
    /// Item lIndex (1 to Count); std::out_of_range otherwise.
    const std::string& Item(int32_t lIndex) const;
    void Add(const std::string& sItem) { items.push_back(sItem); }
    /// Removes item lIndex (1 to Count); std::out_of_range otherwise.
    void Remove(int32_t lIndex);
    void Clear() { items.clear(); }
    const std::vector<std::string>& Items() const { return items; }

private:
    std::vector<std::string> items;
};

/// The event interface __CZIP. Handlers run synchronously inside DoZip, on its thread; an
/// exception thrown by a handler ends that handler only.
class ICZIPEvents {
public:
    virtual ~ICZIPEvents() = default;
    /// "Event is raised when the file has been added to the archive"
    virtual void FileAdded(const std::string& sFilename) = 0;
    /// Raised by VerifyZIP after each entry checked: entries checked so far and their number.
    virtual void VerifyProgress(int32_t lDone, int32_t lTotal) {
        (void)lDone;
        (void)lTotal;
    }
};

/// What VerifyZIP found wrong: the entry (the archive's path when it cannot be read at all) and
/// why, in German.
struct ZIPVerifyProblem {
    std::string sEntry;
    std::string sReason;
};

class CZIP {
public:
    CZIP();
    ~CZIP();
    CZIP(const CZIP&) = delete;
    CZIP& operator=(const CZIP&) = delete;

    /// Registers the client's event sink (not owned; nullptr for none).
    void SetEventListener(ICZIPEvents* pNewListener) { pListener = pNewListener; }

    /// "suppress all events of the class"
    bool SuppressEvents() const { return bSuppressEvents; }
    void SetSuppressEvents(bool bNewValue) { bSuppressEvents = bNewValue; }

    /// "sets the fully qualified path for the ZIP file"
    std::string ZIPFilePath() const { return sZIPFilePath; }
    void SetZIPFilePath(const std::string& sNewValue) { sZIPFilePath = sNewValue; }

    /// "adds a file to the list of files to be archived "
    void AddFile(const std::string& sFilePath);

    /// "sets the root path of the ZIP archive. This property controls how paths are stored within
    /// the ZIP archive"
    std::string ZIPRootPath() const;
    void SetZIPRootPath(const std::string& sNewValue);

    /// "returns or sets a comment for the resulting ZIP file"
    std::string ZIPComment() const;
    void SetZIPComment(const std::string& sNewValue);

    /// "sets a password for the ZIP archive. Be sure to have a encryption-enabled ZIP32.DLL when
    /// using passwords."
    std::string ZIPPassword() const;
    void SetZIPPassword(const std::string& sNewValue);

    /// "selects the encryption of a password-protected archive: the traditional ZIP 2.0 (the
    /// default, readable everywhere) or AES-256". Like the options, reset by a new object of the
    /// thread; an engine that cannot encrypt with AES then writes nothing.
    ZIPEncryptionMethod ZIPEncryption() const;
    void SetZIPEncryption(ZIPEncryptionMethod eNewValue);

    /// Overwrites the password of this thread's objects and the engine's copies kept for
    /// VerifyZIP: ZIPPassword is empty afterwards, and VerifyZIP can no longer read encrypted
    /// entries. A client calls it when its run and its check are done.
    static void ForgetPassword();

    /// The engine's entry point of that name (its reader, for a restore), from the engine this
    /// component loads; null when the engine or the entry point is missing, so that a program
    /// without an engine still starts and says so where it needs it.
    static void* EngineEntryPoint(const char* sName);

    /// "collection of messages from the ZIP32.DLL during the zipping process"
    /// The thread's shared collection itself; never null (a thread without one gets a new, empty
    /// collection).
    std::shared_ptr<MessageCollection> Messages() const;

    /// "if set to True, files will be added to the existing archive, otherwise it is recreated"
    bool AppendToZIP() const;
    void SetAppendToZIP(bool bNewValue);

    /// "if set to True, all files are stored in the DOS filename conventions (8.3)"
    bool ForceDOSNames() const;
    void SetForceDOSNames(bool bNewValue);

    /// "controls if files already archived are updated or not."
    bool UpdateZIP() const;
    void SetUpdateZIP(bool bNewValue);

    /// "this does the zipping: be sure to set all other properties before calling this method"
    /// Returns the engine's status: 0 when the archive was written, and also 0 when the engine
    /// could not be reached at all; check that the archive exists.
    int32_t DoZip();

    /// Reads the archive at ZIPFilePath back from the disk and checks every entry that the DoZip
    /// runs of this thread wrote into it since one made it anew: there under its name, readable
    /// with the password it was written with, of the size and CRC written. Entries that were in
    /// the archive before are not checked. Returns 0 when all hold; otherwise the engine's code
    /// (7 when the archive does not hold what was written), with *pProblem naming the entry and
    /// the reason; an engine that cannot be reached never gives 0. Raises VerifyProgress unless
    /// events are suppressed.
    int32_t VerifyZIP(ZIPVerifyProblem* pProblem = nullptr);

private:
    friend int32_t modZIP::ZIPServiceCallback(const char* name, int32_t size);
    friend void modZIP::ZIPVerifyProgressCallback(void* context, int32_t done, int32_t total);
    void RaiseFileAdded(const std::string& sFilename);
    void RaiseVerifyProgress(int32_t lDone, int32_t lTotal);

    std::vector<std::string> FileList;
    std::string sZIPFilePath;
    bool bSuppressEvents = false;
    ICZIPEvents* pListener = nullptr;
};
