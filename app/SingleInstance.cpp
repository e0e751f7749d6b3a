#include "app/SingleInstance.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <QDir>
#include <QLocalSocket>
#include <QtEndian>
#include <cerrno>

#include "app/FileSystem.h"
#include "app/NativePath.h"
#include "platform/SystemReason.h"

namespace SingleInstance {

namespace {

constexpr QByteArrayView kMagic = "TVBACKUP";
// sockaddr_un holds 108 bytes with the terminating zero.
constexpr qsizetype kMaxSocketPath = 107;

QString SystemText(int error) {
    return QString::fromStdString(platform::systemReason(error));
}

void AppendU32(QByteArray& out, quint32 value) {
    char bytes[4];
    qToBigEndian(value, bytes);
    out.append(bytes, 4);
}

quint32 ReadU32(QByteArrayView data, qsizetype at) {
    return qFromBigEndian<quint32>(data.data() + at);
}

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

const QString kSocketName = QStringLiteral("sondrel.socket");

// The folders the lock and the socket may live in, best first: the user's runtime folder (the
// variable's, else the one the system makes at login, so that a job started by cron still meets
// the window), then a folder under the user's own state folder. A shared temporary folder is
// never used: another user could take the name there first.
QStringList CandidateFolders() {
    QStringList folders;
    const QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
    if (!runtime.isEmpty() && QDir::isAbsolutePath(runtime)) {
        folders.append(runtime + QStringLiteral("/tarvello"));
    } else {
        const QString login = QStringLiteral("/run/user/") + QString::number(::getuid());
        struct stat st {};
        if (::lstat(NativePath(login).constData(), &st) == 0 && S_ISDIR(st.st_mode) &&
            st.st_uid == ::getuid()) {
            folders.append(login + QStringLiteral("/tarvello"));
        }
    }
    folders.append(StateFolder() + QStringLiteral("/run"));
    return folders;
}

// Makes the folder (and what is missing above it) and checks that it is this user's alone and
// that a socket in it can be named; empty, or why not.
QString FolderProblem(const QString& folder) {
    const QByteArray native = NativePath(folder);
    const QByteArray socket = NativePath(folder + u'/' + kSocketName);
    if (socket.size() > kMaxSocketPath) {
        return QStringLiteral(
                   "Der Pfad „%1“ ist für eine Socket-Datei zu lang (höchstens %2 Bytes).")
            .arg(DisplayPath(PathFromNative(socket)))
            .arg(kMaxSocketPath);
    }
    for (qsizetype slash = native.indexOf('/', 1); slash > 0;
         slash = native.indexOf('/', slash + 1)) {
        ::mkdir(native.left(slash).constData(), 0700);
    }
    if (::mkdir(native.constData(), 0700) != 0 && errno != EEXIST) {
        return QStringLiteral("Der Ordner „%1“ kann nicht angelegt werden: %2")
            .arg(DisplayPath(folder), SystemText(errno));
    }
    struct stat st {};
    if (::lstat(native.constData(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != ::getuid() ||
        (st.st_mode & 0077) != 0) {
        return QStringLiteral(
                   "Der Ordner „%1“ gehört nicht allein diesem Benutzer (er muss ihm gehören und "
                   "die Rechte 0700 haben).")
            .arg(DisplayPath(folder));
    }
    return QString();
}

}  // namespace

QString Folder(QString* sProblem) {
    QStringList problems;
    for (const QString& folder : CandidateFolders()) {
        const QString problem = FolderProblem(folder);
        if (problem.isEmpty()) {
            return folder;
        }
        problems.append(problem);
    }
    if (sProblem != nullptr) {
        *sProblem = problems.join(u'\n');
    }
    return QString();
}

QString SocketPath(QString* sProblem) {
    const QString folder = Folder(sProblem);
    return folder.isEmpty() ? QString() : folder + u'/' + kSocketName;
}

// ---- Lock

namespace {

// Locks of the open file description (not of the process), so that a lock is released when its
// one descriptor closes, and so that another can look at it without taking it.
struct flock WholeFile(short type) {
    struct flock range {};
    range.l_type = type;
    range.l_whence = SEEK_SET;
    return range;
}

}  // namespace

Lock::~Lock() {
    if (fd_ >= 0) {
        ::close(fd_);  // closing releases the lock
    }
}

Lock::Result Lock::TryAcquire(QString* sProblem) {
    if (fd_ >= 0) {
        return Result::Acquired;
    }
    const QString folder = Folder(sProblem);
    if (folder.isEmpty()) {
        return Result::Unavailable;
    }
    const QString path = folder + u'/' + sFileName_;
    // Close-on-exec: a program started from the window must not keep the lock after it.
    const int fd =
        ::open(NativePath(path).constData(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) {
        if (sProblem != nullptr) {
            *sProblem = QStringLiteral("Die Datei „%1“ kann nicht geöffnet werden: %2")
                            .arg(DisplayPath(path), SystemText(errno));
        }
        return Result::Unavailable;
    }
    struct flock range = WholeFile(F_WRLCK);
    if (::fcntl(fd, F_OFD_SETLK, &range) != 0) {
        const int error = errno;
        ::close(fd);
        if (error == EAGAIN || error == EACCES) {
            return Result::Busy;
        }
        if (sProblem != nullptr) {
            *sProblem = QStringLiteral("Die Datei „%1“ kann nicht gesperrt werden: %2")
                            .arg(DisplayPath(path), SystemText(error));
        }
        return Result::Unavailable;
    }
    fd_ = fd;
    return Result::Acquired;
}

bool Lock::HeldElsewhere(const QString& sFileName) {
    const QString folder = Folder(nullptr);
    if (folder.isEmpty()) {
        return false;
    }
    const int fd = ::open(NativePath(folder + u'/' + sFileName).constData(),
                          O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) {
        return false;  // never made: never held
    }
    struct flock range = WholeFile(F_WRLCK);
    const bool held = ::fcntl(fd, F_OFD_GETLK, &range) == 0 && range.l_type != F_UNLCK;
    ::close(fd);
    return held;
}

// ---- Wire protocol

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

// ---- Client

namespace {

// Connects and greets; the version the window answered with, nullopt when nobody of ours did.
std::optional<quint16> Greet(QLocalSocket& socket, FrameReader& reader) {
    const QString path = SocketPath();
    if (path.isEmpty()) {
        return std::nullopt;
    }
    socket.connectToServer(path);
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
