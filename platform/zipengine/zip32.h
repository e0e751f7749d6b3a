#pragma once
/* The ZIP engine's C interface: three entry points, four callbacks, the options record, an
 * entry point that checks what the runs wrote, two for encryption (the choice of the method and
 * the end of the passwords' stay in memory), and a reader that gives entries back for a restore.
 * Field order and meaning follow the engine contract; pointers are 8 bytes on x86-64, every other
 * field keeps its width. Texts are zero-terminated UTF-8. */

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#if defined(ZIP32_BUILDING)
#define ZIP32_API __attribute__((visibility("default")))
#else
#define ZIP32_API
#endif

/* print: one message text (not necessarily a whole line) and its length; result always 0. A line
 * that begins with "Hinweis: " is meant for the user also after a run that succeeded. */
typedef int32_t (*ZpPrintCallback)(const char* text, int32_t length);
/* comment: the engine's comment buffer (ZP_COMMENT_BUFFER_SIZE bytes); result always 1. */
typedef int16_t (*ZpCommentCallback)(char* buffer);
/* password: buffer, its size, a prompt, an entry name; 0 when a password was written, 1 when none.
 */
typedef int16_t (*ZpPasswordCallback)(char* buffer, int32_t size, const char* prompt,
                                      const char* name);
/* service: the name of the file just archived and its size (clamped to INT32_MAX); 0 goes on, any
 * other answer stops the run. */
typedef int32_t (*ZpServiceCallback)(const char* name, int32_t size);

typedef struct ZpCallbacks {
    ZpPrintCallback print;
    ZpCommentCallback comment;
    ZpPasswordCallback password;
    ZpServiceCallback service;
} ZpCallbacks;

/* The options record. Honoured: rootDir, encrypt (with the method of ZpSetEncryption), verbose,
 * quiet, grow, dosNames, update, comment and level. Accepted as they are: systemFiles (every listed
 * file is taken, hidden ones too), noDirEntries (no folder entries are ever written),
 * encryptionSupported (written by the engine) and the texts date and tempDir (meaningful only with
 * their flags). Every other field must be 0: ZpSetOptions answers ZP_ERR_PARAMETER while one is
 * set, and ZpArchive then refuses to run, naming each such field in a message. */
typedef struct ZpOptions {
    const char* date;    /* date text for date filtering (not used by this engine) */
    const char* rootDir; /* stored names are taken relative to it */
    const char*
        tempDir; /* temporary directory (not used: the temporary file lies beside the archive) */
    int32_t useTempDir;
    int32_t suffixes;
    int32_t encrypt;
    int32_t systemFiles;
    int32_t volumeLabel;
    int32_t noExtraAttributes;
    int32_t noDirEntries;
    int32_t excludeNewer;
    int32_t includeNewer;
    int32_t verbose;
    int32_t quiet;
    int32_t crlfToLf;
    int32_t lfToCrlf;
    int32_t junkDirs;
    int32_t grow;
    int32_t dosNames;
    int32_t move;
    int32_t deleteEntries;
    int32_t update;
    int32_t freshen;
    int32_t junkSfx;
    int32_t latestTime;
    int32_t comment;
    int32_t adjustSfx;
    int32_t privileges;
    int32_t encryptionSupported; /* written by the engine: 1 */
    int32_t recurse;
    int32_t repair;
    char level; /* '0' to '9' */
} ZpOptions;

/* Buffer sizes the engine hands to the comment and password callbacks. */
#define ZP_COMMENT_BUFFER_SIZE 32768
#define ZP_PASSWORD_BUFFER_SIZE 256

/* Result codes of the engine; each defined once. */
#define ZP_OK 0                /* the archive was written and synced to disk */
#define ZP_ERR_NOTHING_TO_DO 1 /* no names were given */
#define ZP_ERR_FILE_READ 2 /* a listed file was skipped (unreadable, a folder); others archived */
#define ZP_ERR_ARCHIVE_WRITE \
    3 /* the archive could not be written, or the run was stopped; none left */
#define ZP_ERR_ARCHIVE_DAMAGED \
    4                      /* grow or update: the existing archive is not a readable ZIP file */
#define ZP_ERR_PARAMETER 5 /* not initialised, a null argument, or no password to encrypt with */
#define ZP_ERR_MEMORY 6    /* out of memory */
#define ZP_ERR_VERIFY 7    /* ZpVerify: the archive read back does not hold what was written */

/* Encryption methods of ZpSetEncryption. */
#define ZP_ENCRYPT_TRADITIONAL \
    0                       /* ZIP 2.0: every unzip reads it; a known-plaintext attack breaks it */
#define ZP_ENCRYPT_AES256 1 /* WinZip AES-256 with an authentication code; not for unzip 6.0 */

ZIP32_API int32_t ZpInit(const ZpCallbacks* callbacks);
ZIP32_API int32_t ZpSetOptions(ZpOptions* options);
ZIP32_API int32_t ZpArchive(int32_t count, const char* archivePath, char** names);

/* How this thread's ZpArchive runs from now on encrypt, when the options ask them to:
 * ZP_ENCRYPT_TRADITIONAL (what they do before any call) or ZP_ENCRYPT_AES256. ZP_OK, or
 * ZP_ERR_PARAMETER for any other value, which leaves the method as it was. A grow or update whose
 * archive holds encrypted entries encrypts the new ones as those are, so that the archive keeps
 * one method; it says so through the print callback ("Hinweis: ...") when that is not the method
 * chosen here, and also when the archive's entries already use several methods (the new ones
 * then take the chosen one). */
ZIP32_API int32_t ZpSetEncryption(int32_t method);

/* The check of ZpVerify: entries checked so far and their number, before the first entry and as
 * they are checked (not necessarily after each), on the thread that called ZpVerify. */
typedef void (*ZpVerifyProgress)(void* context, int32_t done, int32_t total);
/* The first problem ZpVerify found: the entry's name (the archive's path when the archive cannot
 * be read at all) and the reason, in German. */
typedef void (*ZpVerifyProblem)(void* context, const char* entry, const char* reason);

/* Reads the archive at archivePath back from the disk (its cached pages dropped first) and checks
 * every entry that this thread's ZpArchive runs wrote into it since a run made it anew (a grow
 * adds to these): present under its name, its local header agreeing with its central record,
 * readable with the password it was written with (under AES with the right password
 * verification value, "falsches Passwort" when it differs, and the right authentication code),
 * its data inflating to its last stored byte and to the size and the CRC that were written. Entries
 * that were there before are not checked. ZP_OK when all hold; ZP_ERR_VERIFY after calling problem
 * once; ZP_ERR_PARAMETER when no run of this thread wrote archivePath (problem is called too).
 * progress and problem may be null; context is handed to both. */
ZIP32_API int32_t ZpVerify(const char* archivePath, ZpVerifyProgress progress,
                           ZpVerifyProblem problem, void* context);

/* Overwrites the passwords (and the keys made from them) that this thread's engine keeps for
 * ZpVerify, and lets them go: a client calls it once it has checked what it wrote. ZpVerify then
 * finds the encrypted entries unreadable ("Passwort nicht mehr bekannt"). Always ZP_OK. */
ZIP32_API int32_t ZpForgetPasswords(void);

/* Reading an archive back, for the restore. A reader holds the archive open and its central
 * directory parsed; ZpExtract may run on several threads at once over one reader (each call reads
 * with its own position). Names are the stored bytes, not necessarily UTF-8. */
#define ZP_ERR_PASSWORD 8 /* ZpExtract, ZpCheckPassword: no password, or a wrong one */
#define ZP_ERR_STOPPED 9  /* ZpExtract: the write callback asked to stop */

typedef struct ZpReader ZpReader;

typedef struct ZpEntryInfo {
    const char* name;    /* the stored name, zero-terminated; valid while the reader is open */
    uint32_t nameLength; /* in bytes (a name may not hold a zero byte; such entries are refused) */
    uint32_t crc;
    uint64_t size;
    uint64_t compressedSize;
    int64_t mtime;       /* seconds since 1970 UTC: the extended field's, else the DOS time's */
    uint32_t mode;       /* st_mode as archived on Unix (type and permission bits); 0 when none */
    int32_t encryption;  /* -1 none, ZP_ENCRYPT_TRADITIONAL, or ZP_ENCRYPT_AES256 (any strength) */
} ZpEntryInfo;

/* Opens the archive at archivePath and reads its directory. ZP_OK with *reader set; otherwise
 * ZP_ERR_ARCHIVE_DAMAGED (not a ZIP archive, its directory is damaged, or a name holds a zero
 * byte) or ZP_ERR_FILE_READ (cannot be opened or read), after calling problem once with the
 * archive's path and the reason in German. problem may be null. */
ZIP32_API int32_t ZpOpenReader(const char* archivePath, ZpReader** reader,
                               ZpVerifyProblem problem, void* context);
ZIP32_API int64_t ZpEntryCount(const ZpReader* reader);
/* The entry at index (0 <= index < ZpEntryCount), in the order of the central directory. */
ZIP32_API const ZpEntryInfo* ZpEntryAt(const ZpReader* reader, int64_t index);

/* write: the next bytes of an entry's data; 0 goes on, any other answer stops the extraction. */
typedef int32_t (*ZpWriteCallback)(void* context, const void* data, uint64_t length);

/* Hands the entry's data to write, front to back, decrypted with password (null or empty when the
 * entry is not encrypted) and inflated, after the same checks as ZpVerify: local header agreeing
 * with its record, data to its last stored byte, the AES authentication code. Bytes reach write
 * before the whole entry is known to be good: ZP_OK only when size and CRC (and the code) held at
 * the end; a caller keeps what it wrote only then. ZP_ERR_PASSWORD ("falsches Passwort", or
 * "Passwort fehlt") before any byte was written; ZP_ERR_VERIFY for a damaged entry; ZP_ERR_FILE_READ
 * when the archive cannot be read; ZP_ERR_STOPPED when write stopped it; ZP_ERR_PARAMETER for a bad
 * index. Every result but ZP_OK and ZP_ERR_STOPPED calls problem once (entry name, reason). */
ZIP32_API int32_t ZpExtract(ZpReader* reader, int64_t index, const char* password,
                            ZpWriteCallback write, ZpVerifyProblem problem, void* context);

/* Whether password opens the encrypted entry at index, from its verification value (AES) or its
 * check byte (traditional: a wrong password passes this once in 256; ZpExtract still finds it).
 * ZP_OK, ZP_ERR_PASSWORD, ZP_ERR_FILE_READ or ZP_ERR_PARAMETER; ZP_OK for an entry not encrypted,
 * and for one too damaged to tell (ZpExtract then says why). */
ZIP32_API int32_t ZpCheckPassword(ZpReader* reader, int64_t index, const char* password);

ZIP32_API void ZpCloseReader(ZpReader* reader);

#ifdef __cplusplus
}
#endif
