#pragma once
// One window per user. The window holds a lock file for as long as it lives and listens on a
// local socket beside it; another start of the program talks to it there instead of touching the
// stored list, which the window would write over when it closes. An intake that finds no window
// takes the same lock while it works on the store, so that no window loads the list half-way.
// sondrel-backup holds it for its whole run (it refuses to run while a window is open), and with it
// a second lock that tells a waiting start to wait as long as the backup takes.
//
// All of them live in a private folder with mode 0700: $XDG_RUNTIME_DIR/tarvello; where that
// variable is unset /run/user/<uid>/tarvello when the system made that folder for the user. Where
// that folder cannot be used (not the user's alone, or too long a path for the socket), they live
// in $XDG_STATE_HOME/tarvello/run instead; every start makes the same choice.
//
// Wire protocol. Every message is one frame: a 4-byte big-endian length N (1 to kMaxFrameBytes),
// then N bytes, the first of them the message type:
//   Hello     client -> window   "TVBACKUP", protocol version (uint16)
//   Welcome   window -> client   "TVBACKUP", protocol version (uint16)
//   Activate  client -> window   nothing more
//   Add       client -> window   texts (below): the client's working folder, then the tokens
//   Result    window -> client   ResultCode (uint8), then a UTF-8 text
// Texts: a uint32 count, then per text a uint32 length and that many UTF-8 bytes (big-endian).
// A client sends Hello, waits for Welcome, sends one request and waits for its Result; the window
// closes the connection after the Result. Anything else ends the connection.

#include <QByteArray>
#include <QByteArrayView>
#include <QString>
#include <QStringList>
#include <cstdint>
#include <optional>
#include <utility>

namespace SingleInstance {

inline constexpr quint16 kProtocolVersion = 1;
/// The command line of Linux holds at most a few MB, tokens and their lengths included.
inline constexpr qsizetype kMaxFrameBytes = 32 * 1024 * 1024;
/// How long a client waits for the window's Welcome, and a window for a peer's request.
inline constexpr int kHandshakeTimeoutMs = 2000;
inline constexpr int kPeerTimeoutMs = 10000;

/// The private folder, created when missing; empty with *sProblem set (German, a line for each
/// folder tried) when none can be made or is the user's own (a link, another owner, open to
/// others), or none leaves room for the socket's name.
QString Folder(QString* sProblem);
/// The socket's path in that folder (empty when there is none).
QString SocketPath(QString* sProblem = nullptr);

/// The lock of the window, of an intake working on the store and of sondrel-backup's run.
inline const QString kWindowLockFile = QStringLiteral("sondrel.lock");
/// Held by sondrel-backup for its whole run besides the window's lock: a start that finds the
/// window's lock taken waits for as long as this one is held, however long the backup takes.
inline const QString kBackupLockFile = QStringLiteral("sondrel-backup.lock");

/// A lock file in the private folder. Released by the destructor, and by the system when the
/// process ends.
class Lock {
public:
    enum class Result { Acquired, Busy, Unavailable };

    explicit Lock(QString sFileName = kWindowLockFile) : sFileName_(std::move(sFileName)) {}
    ~Lock();
    Lock(const Lock&) = delete;
    Lock& operator=(const Lock&) = delete;

    /// Never waits. Unavailable (with *sProblem) when the folder or the lock file cannot be used.
    Result TryAcquire(QString* sProblem);
    bool Held() const { return fd_ >= 0; }

    /// True when another lock holds that file. Never takes the lock, so it never keeps its holder
    /// from taking it.
    static bool HeldElsewhere(const QString& sFileName);

private:
    QString sFileName_;
    int fd_ = -1;
};

/// What a start says when the lock stayed taken by someone who never answered.
inline const QString kNoAnswerText = QStringLiteral(
    "Ein anderes Sondrel läuft, nimmt aber seit einer Minute nichts an; bitte später erneut "
    "versuchen.");

/// True while a sondrel-backup of this user runs.
inline bool BackupRunning() {
    return Lock::HeldElsewhere(kBackupLockFile);
}

enum class MessageType : quint8 { Hello = 1, Welcome = 2, Activate = 3, Add = 4, Result = 5 };
enum class ResultCode : quint8 {
    Done = 0,       // done; for Add: added and the list stored
    NotStored = 1,  // added, but the list could not be stored; the text says why
    Closing = 2,    // the window is closing and did nothing
    Refused = 3,    // another protocol version; the text says which
};

QByteArray Frame(MessageType type, QByteArrayView body = {});
/// The body of Hello and Welcome.
QByteArray GreetingBody();
/// The version a Hello or Welcome body carries; nullopt when it is none.
std::optional<quint16> GreetingVersion(QByteArrayView body);
QByteArray EncodeTexts(const QStringList& texts);
/// nullopt when the body is not exactly a list of texts.
std::optional<QStringList> DecodeTexts(QByteArrayView body);
QByteArray ResultBody(ResultCode code, const QString& sText);

/// Cuts frames out of a byte stream.
class FrameReader {
public:
    enum class Status { NeedMore, Ready, Bad };
    void Append(QByteArrayView data);
    /// Ready: *type and *body hold the next frame. Bad: a length out of bounds; the stream is
    /// useless from here on.
    Status Next(MessageType* type, QByteArray* body);

private:
    QByteArray buffer_;
};

/// What a running window answered to one request.
struct Answer {
    enum class Kind {
        NoWindow,   // nobody (or nobody of ours) answered the greeting
        Done,       // see ResultCode
        NotStored,  //
        Closing,    // also: the connection broke before the result
        Refused,    //
    };
    Kind kind = Kind::NoWindow;
    QString sText;
};

/// Sends one request (Activate, or Add with the working folder and the tokens) to the window of
/// this user and waits for its result as long as the window is there. Blocking; needs no
/// application object.
Answer Request(MessageType request, const QStringList& texts = {});

/// True when a window of this user answers the greeting.
bool WindowInstanceRunning();

}  // namespace SingleInstance
