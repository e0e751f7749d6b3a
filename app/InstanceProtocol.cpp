#include "app/InstanceProtocol.h"

#include <QtEndian>

namespace SingleInstance {

namespace {

constexpr QByteArrayView kMagic = "TVBACKUP";

void AppendU32(QByteArray& out, quint32 value) {
    char bytes[4];
    qToBigEndian(value, bytes);
    out.append(bytes, 4);
}

quint32 ReadU32(QByteArrayView data, qsizetype at) {
    return qFromBigEndian<quint32>(data.data() + at);
}

}  // namespace

QByteArray Frame(MessageType type, QByteArrayView body) {
    QByteArray frame;
    frame.reserve(5 + body.size());
    AppendU32(frame, static_cast<quint32>(body.size() + 1));
    frame.append(static_cast<char>(type));
    frame.append(body);
    return frame;
}

QByteArray GreetingBody() {
    QByteArray body(kMagic.data(), kMagic.size());
    char version[2];
    qToBigEndian(kProtocolVersion, version);
    body.append(version, 2);
    return body;
}

std::optional<quint16> GreetingVersion(QByteArrayView body) {
    if (body.size() != kMagic.size() + 2 || !body.startsWith(kMagic)) {
        return std::nullopt;
    }
    return qFromBigEndian<quint16>(body.data() + kMagic.size());
}

QByteArray EncodeTexts(const QStringList& texts) {
    QByteArray body;
    AppendU32(body, static_cast<quint32>(texts.size()));
    for (const QString& text : texts) {
        const QByteArray utf8 = text.toUtf8();
        AppendU32(body, static_cast<quint32>(utf8.size()));
        body.append(utf8);
    }
    return body;
}

std::optional<QStringList> DecodeTexts(QByteArrayView body) {
    if (body.size() < 4) {
        return std::nullopt;
    }
    const quint32 count = ReadU32(body, 0);
    // Each text takes at least its four length bytes.
    if (count > static_cast<quint32>((body.size() - 4) / 4)) {
        return std::nullopt;
    }
    QStringList texts;
    texts.reserve(static_cast<qsizetype>(count));
    qsizetype at = 4;
    for (quint32 i = 0; i < count; ++i) {
        if (body.size() - at < 4) {
            return std::nullopt;
        }
        const quint32 length = ReadU32(body, at);
        at += 4;
        if (length > static_cast<quint32>(body.size() - at)) {
            return std::nullopt;
        }
        texts.append(QString::fromUtf8(body.sliced(at, length)));
        at += length;
    }
    if (at != body.size()) {
        return std::nullopt;
    }
    return texts;
}

QByteArray ResultBody(ResultCode code, const QString& sText) {
    QByteArray body(1, static_cast<char>(code));
    body.append(sText.toUtf8());
    return body;
}

void FrameReader::Append(QByteArrayView data) {
    buffer_.append(data);
}

FrameReader::Status FrameReader::Next(MessageType* type, QByteArray* body) {
    if (buffer_.size() < 4) {
        return Status::NeedMore;
    }
    const quint32 length = ReadU32(buffer_, 0);
    if (length < 1 || length > static_cast<quint32>(kMaxFrameBytes)) {
        return Status::Bad;
    }
    if (buffer_.size() - 4 < static_cast<qsizetype>(length)) {
        return Status::NeedMore;
    }
    *type = static_cast<MessageType>(buffer_[4]);
    *body = buffer_.mid(5, length - 1);
    buffer_.remove(0, 4 + length);
    return Status::Ready;
}

}  // namespace SingleInstance
