// One window per user: the lock, the wire protocol, and the window's socket end talking to the
// real client of another start, to peers that talk nonsense, and to a stale socket file.

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>
#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QFile>
#include <QLocalSocket>
#include <future>

#include "app/InstanceServer.h"
#include "app/NativePath.h"
#include "app/SingleInstance.h"
#include "tests/app/AppTestSupport.h"

using namespace SingleInstance;

namespace {

// Runs the event loop until done() holds or the time is up.
bool Spin(const std::function<bool()>& done, int timeoutMs = 10000) {
    const QDeadlineTimer deadline(timeoutMs);
    while (!done() && !deadline.hasExpired()) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    }
    return done();
}

QByteArray U32(quint32 value) {
    return QByteArray(1, static_cast<char>(value >> 24)) + static_cast<char>(value >> 16) +
           static_cast<char>(value >> 8) + static_cast<char>(value);
}

}  // namespace

TEST(InstanceProtocol, FramesAndTextsRoundTripAndRejectWhatIsOutOfBounds) {
    FrameReader reader;
    const QStringList texts = {"/home/u", "a b.txt", "", "Bücher"};
    const QByteArray frame = Frame(MessageType::Add, EncodeTexts(texts));
    MessageType type{};
    QByteArray body;
    reader.Append(frame.left(3));
    EXPECT_EQ(reader.Next(&type, &body), FrameReader::Status::NeedMore);
    reader.Append(frame.mid(3) + Frame(MessageType::Activate));
    ASSERT_EQ(reader.Next(&type, &body), FrameReader::Status::Ready);
    EXPECT_EQ(type, MessageType::Add);
    EXPECT_EQ(DecodeTexts(body), texts);
    ASSERT_EQ(reader.Next(&type, &body), FrameReader::Status::Ready);
    EXPECT_EQ(type, MessageType::Activate);

    // A text list that ends early, runs over, or claims more texts than it has bytes for.
    const QByteArray good = EncodeTexts({"abc"});
    EXPECT_FALSE(DecodeTexts(good.left(good.size() - 1)));
    EXPECT_FALSE(DecodeTexts(good + "x"));
    EXPECT_FALSE(DecodeTexts(U32(0x40000000)));
    EXPECT_FALSE(GreetingVersion("TVBACKU\x01"));
    EXPECT_EQ(GreetingVersion(GreetingBody()), kProtocolVersion);

    for (const quint32 length : {0u, static_cast<quint32>(kMaxFrameBytes) + 1, 0xFFFFFFFFu}) {
        FrameReader bad;
        bad.Append(U32(length) + "x");
        EXPECT_EQ(bad.Next(&type, &body), FrameReader::Status::Bad) << length;
    }
}

class Instance : public CoreTest {
protected:
    QString Folder() const { return Root() + "/runtime/tarvello"; }
};

TEST_F(Instance, TheLockIsHeldByOneOnlyAndItsFolderMustBePrivate) {
    {
        Lock first;
        ASSERT_EQ(LockState(first.TryAcquire()), "Acquired");
        Lock second;
        EXPECT_EQ(LockState(second.TryAcquire()), "Busy");
        struct stat st {};
        ASSERT_EQ(::stat(NativePath(Folder()).constData(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, 0700u);
    }
    Lock again;
    EXPECT_EQ(LockState(again.TryAcquire()), "Acquired");

    // The backup's lock is a lock of its own, and looking at it never takes it.
    EXPECT_FALSE(BackupRunning());
    {
        Lock backup(kBackupLockFile);
        ASSERT_EQ(LockState(backup.TryAcquire()), "Acquired");
        EXPECT_TRUE(BackupRunning());
        Lock other(kBackupLockFile);
        EXPECT_EQ(LockState(other.TryAcquire()), "Busy");
    }
    EXPECT_FALSE(BackupRunning());
}

// A runtime folder that another user opened up (or one too long for a socket's name) must not
// leave the window unlocked: every start falls back to the same private folder, and where none
// can be used, says why at once.
TEST_F(Instance, AnUnusableRuntimeFolderFallsBackToAPrivateOne) {
    const QString fallback = Root() + "/state/tarvello/run";
    ASSERT_EQ(SocketPath().ValueOr(""), Folder() + "/sondrel.socket");
    ::chmod(NativePath(Folder()).constData(), 0777);
    {
        Lock first;
        ASSERT_EQ(LockState(first.TryAcquire()), "Acquired");
        EXPECT_TRUE(QFile::exists(fallback + "/sondrel.lock"));
        Lock second;
        EXPECT_EQ(LockState(second.TryAcquire()), "Busy");
        EXPECT_EQ(SocketPath().ValueOr(""), fallback + "/sondrel.socket");
    }
    const QString longRuntime = Root() + "/" + QString(110, 'r');
    MakeFolder(QString(110, 'r'));
    qputenv("XDG_RUNTIME_DIR", NativePath(longRuntime));
    EXPECT_EQ(SocketPath().ValueOr(""), fallback + "/sondrel.socket");

    ::chmod(NativePath(fallback).constData(), 0755);
    Lock none;
    const Result<bool> unavailable = none.TryAcquire();
    ASSERT_FALSE(unavailable);
    EXPECT_TRUE(unavailable.Reason().contains("zu lang")) << unavailable.Reason().toStdString();
    EXPECT_TRUE(unavailable.Reason().contains("0700")) << unavailable.Reason().toStdString();
    EXPECT_FALSE(SocketPath());
}

// The window's end against the real client, run on a thread as another start would run it.
TEST_F(Instance, ARequestArrivesWithItsWorkingFolderAndGetsItsAnswer) {
    InstanceServer server;
    EXPECT_FALSE(WindowInstanceRunning());
    const Result<void> listening = server.Listen();
    ASSERT_TRUE(listening) << listening.Reason().toStdString();
    QStringList received;
    QObject::connect(&server, &InstanceServer::AddRequested,
                     [&](quint64 id, const QString& folder, const QStringList& tokens) {
                         received = QStringList{folder} + tokens;
                         server.Answer(id, ResultCode::NotStored, "voll");
                     });
    QObject::connect(&server, &InstanceServer::ActivateRequested,
                     [&](quint64 id) { server.Answer(id, ResultCode::Done); });

    auto add = std::async(std::launch::async, [] {
        return Request(MessageType::Add, {"/work", "a.txt", "/b c"});
    });
    ASSERT_TRUE(
        Spin([&] { return add.wait_for(std::chrono::seconds(0)) == std::future_status::ready; }));
    const Answer answer = add.get();
    EXPECT_EQ(answer.kind, Answer::Kind::NotStored);
    EXPECT_EQ(answer.sText, "voll");
    EXPECT_EQ(received, QStringList({"/work", "a.txt", "/b c"}));

    auto running = std::async(std::launch::async, [] { return WindowInstanceRunning(); });
    auto activate = std::async(std::launch::async, [] { return Request(MessageType::Activate); });
    ASSERT_TRUE(Spin([&] {
        return running.wait_for(std::chrono::seconds(0)) == std::future_status::ready &&
               activate.wait_for(std::chrono::seconds(0)) == std::future_status::ready;
    }));
    EXPECT_TRUE(running.get());
    EXPECT_EQ(activate.get().kind, Answer::Kind::Done);
}

// Peers that send garbage, an endless frame, a second request or nothing at all are dropped,
// and the next real start is served as if they had not been there.
TEST_F(Instance, PeersThatTalkNonsenseAreDroppedWithoutHarm) {
    InstanceServer server;
    ASSERT_TRUE(server.Listen());
    int requests = 0;
    QObject::connect(&server, &InstanceServer::AddRequested,
                     [&](quint64 id, const QString&, const QStringList&) {
                         ++requests;
                         server.Answer(id, ResultCode::Done);
                     });
    const QString path = SocketPath().ValueOr("");
    const QByteArray hello = Frame(MessageType::Hello, GreetingBody());
    const QList<QByteArray> talks = {
        "GET / HTTP/1.0\r\n\r\n",
        U32(0xFFFFFFF0) + QByteArray(100, 'x'),
        Frame(MessageType::Add, EncodeTexts({"/no greeting"})),
        hello + Frame(MessageType::Add, "not texts"),
        hello + Frame(MessageType::Welcome, GreetingBody()),
        Frame(MessageType::Hello, "TVBACKUP"),
    };
    for (const QByteArray& talk : talks) {
        QLocalSocket peer;
        peer.connectToServer(path);
        ASSERT_TRUE(peer.waitForConnected(2000));
        peer.write(talk);
        peer.flush();
        ASSERT_TRUE(Spin([&] { return peer.state() == QLocalSocket::UnconnectedState; }))
            << talk.left(20).toStdString();
    }
    QLocalSocket silent;
    silent.connectToServer(path);
    ASSERT_TRUE(silent.waitForConnected(2000));

    auto add = std::async(std::launch::async, [] { return Request(MessageType::Add, {"/w"}); });
    ASSERT_TRUE(
        Spin([&] { return add.wait_for(std::chrono::seconds(0)) == std::future_status::ready; }));
    EXPECT_EQ(add.get().kind, Answer::Kind::Done);
    EXPECT_EQ(requests, 1);
    // The silent one is dropped once its time is up.
    EXPECT_TRUE(Spin([&] { return silent.state() == QLocalSocket::UnconnectedState; },
                     kPeerTimeoutMs + 5000));
}

// A window killed without cleaning up leaves its socket file; the next window replaces it.
TEST_F(Instance, AStaleSocketFileIsReplaced) {
    const QString path = SocketPath().ValueOr("");
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, NativePath(path).constData(), sizeof address.sun_path - 1);
    ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ::close(fd);
    ASSERT_TRUE(QFile::exists(path));
    EXPECT_FALSE(WindowInstanceRunning());

    InstanceServer server;
    const Result<void> listening = server.Listen();
    ASSERT_TRUE(listening) << listening.Reason().toStdString();
    auto running = std::async(std::launch::async, [] { return WindowInstanceRunning(); });
    ASSERT_TRUE(Spin(
        [&] { return running.wait_for(std::chrono::seconds(0)) == std::future_status::ready; }));
    EXPECT_TRUE(running.get());
}
