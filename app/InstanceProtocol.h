#pragma once
// The single window's wire protocol, between another start of the program and the open window.
// Every message is one frame: a 4-byte big-endian length N (1 to kMaxFrameBytes),
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

namespace SingleInstance {

inline constexpr quint16 kProtocolVersion = 1;
/// The command line of Linux holds at most a few MB, tokens and their lengths included.
inline constexpr qsizetype kMaxFrameBytes = 32 * 1024 * 1024;
/// How long a client waits for the window's Welcome, and a window for a peer's request.
inline constexpr int kHandshakeTimeoutMs = 2000;
inline constexpr int kPeerTimeoutMs = 10000;

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

}  // namespace SingleInstance
