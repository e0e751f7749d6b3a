#include "app/SingleInstance.h"

#include <QLocalSocket>

namespace SingleInstance {

namespace {

// Reads from the socket until a whole frame is there; false on timeout, close or a bad frame.
bool ReadFrame(QLocalSocket& socket, FrameReader& reader, int timeoutMs, MessageType* type,
               QByteArray* body) {
    for (;;) {
        switch (reader.Next(type, body)) {
            case FrameReader::Status::Ready:
                return true;
            case FrameReader::Status::Bad:
                return false;
            case FrameReader::Status::NeedMore:
                break;
        }
        if (socket.bytesAvailable() == 0 && !socket.waitForReadyRead(timeoutMs)) {
            return false;
        }
        reader.Append(socket.readAll());
    }
}

bool Send(QLocalSocket& socket, const QByteArray& frame) {
    socket.write(frame);
    while (socket.bytesToWrite() > 0) {
        if (!socket.waitForBytesWritten(kPeerTimeoutMs)) {
            return false;
        }
    }
    return true;
}

}  // namespace

namespace {

// Connects and greets; the version the window answered with, nullopt when nobody of ours did.
std::optional<quint16> Greet(QLocalSocket& socket, FrameReader& reader) {
    const Result<QString> path = SocketPath();
    if (!path) {
        return std::nullopt;
    }
    socket.connectToServer(*path);
    if (!socket.waitForConnected(kHandshakeTimeoutMs) ||
        !Send(socket, Frame(MessageType::Hello, GreetingBody()))) {
        return std::nullopt;
    }
    MessageType type{};
    QByteArray body;
    if (!ReadFrame(socket, reader, kHandshakeTimeoutMs, &type, &body) ||
        type != MessageType::Welcome) {
        return std::nullopt;
    }
    return GreetingVersion(body);
}

}  // namespace

Answer Request(MessageType request, const QStringList& texts) {
    Answer answer;
    QLocalSocket socket;
    FrameReader reader;
    const std::optional<quint16> version = Greet(socket, reader);
    if (!version) {
        return answer;
    }
    if (*version != kProtocolVersion) {
        answer.kind = Answer::Kind::Refused;
        answer.sText = QStringLiteral(
                           "Das geöffnete Sondrel-Fenster spricht Version %1 statt %2; "
                           "bitte schließen Sie es und versuchen Sie es erneut.")
                           .arg(*version)
                           .arg(kProtocolVersion);
        return answer;
    }
    const QByteArray requestBody = request == MessageType::Add ? EncodeTexts(texts) : QByteArray();
    if (requestBody.size() + 1 > kMaxFrameBytes) {
        answer.kind = Answer::Kind::Refused;
        answer.sText = QStringLiteral("Die Befehlszeile ist zu lang.");
        return answer;
    }
    // From here on a broken connection means: what the window did is unknown, so it counts as
    // nothing done.
    answer.kind = Answer::Kind::Closing;
    MessageType type{};
    QByteArray body;
    if (!Send(socket, Frame(request, requestBody)) ||
        !ReadFrame(socket, reader, -1, &type, &body) || type != MessageType::Result ||
        body.isEmpty()) {
        return answer;
    }
    answer.sText = QString::fromUtf8(body.sliced(1));
    switch (static_cast<ResultCode>(body[0])) {
        case ResultCode::Done:
            answer.kind = Answer::Kind::Done;
            break;
        case ResultCode::NotStored:
            answer.kind = Answer::Kind::NotStored;
            break;
        case ResultCode::Refused:
            answer.kind = Answer::Kind::Refused;
            break;
        default:
            break;
    }
    return answer;
}

bool WindowInstanceRunning() {
    QLocalSocket socket;
    FrameReader reader;
    return Greet(socket, reader).has_value();
}

}  // namespace SingleInstance
