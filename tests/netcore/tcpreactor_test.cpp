#include "netcore/tcpreactor.h"
#include "nettestutil.h"

#include <QElapsedTimer>
#include <QFile>
#include <QJsonDocument>
#include <QMutex>
#include <atomic>
#include <gtest/gtest.h>

namespace {

class Server : public JXKC::TcpServReactor {
public:
    // The worker calls InitSession: it stops before this class goes.
    ~Server() override { deinitialize(); }
    int tableSize()
    {
        QMutexLocker lock(&sessions_mutex);
        return sessions.size();
    }
    void InitSession(Session* session) override
    {
        QObject::connect(session, &QObject::destroyed, [this] { ++finished; });
        TcpServReactor::InitSession(session);
    }
    // Sessions that have been created and destroyed again.
    std::atomic<int> finished{0};
};

// A server that answers every request from its own thread: "/echo" echoes the JSON, "/file"
// sends the named file followed by a JSON note, "/twice" answers twice, "/wrong" first answers
// with a foreign uuid.
class EchoServer : public Server {
public:
    EchoServer()
    {
        connect(this, &TcpReactor::sigRequest, this, [this](const CTask_FormData& request) { answer(request); },
                Qt::DirectConnection);
    }

private:
    void answer(const CTask_FormData& request)
    {
        CTask_FormData reply;
        reply.uuid = request.uuid;
        reply.session_id = request.session_id;
        reply.json = request.json;
        if (request.url == "/file") {
            reply.files.insert(request.json.value("path").toString(), QByteArray());
            post_async(reply);
            CTask_FormData note;
            note.uuid = "note";
            note.session_id = request.session_id;
            note.json.insert("after", "file");
            post_async(note);
            return;
        }
        if (request.url == "/wrong") {
            CTask_FormData other(reply);
            other.uuid = "other";
            other.json.insert("wrong", true);
            post_async(other);
        }
        if (request.url == "/tagged")
            reply.uuid = "ack:" + request.uuid;
        post_async(reply);
        if (request.url == "/twice")
            post_async(reply);
    }
};


bool startServer(JXKC::TcpServReactor& server)
{
    return server.reAction(QHostAddress::LocalHost, 0) && server.serverPort() != 0;
}

}  // namespace

TEST(TcpReactor, SessionIdsCountOnAcrossReactors)
{
    Server server;
    ASSERT_TRUE(startServer(server));
    JXKC::TcpCliReactor client;
    ASSERT_TRUE(client.reAction(QHostAddress::LocalHost, server.serverPort()));
    ASSERT_TRUE(TestEnv::waitUntil([&] { return server.getAliveSession().size() == 1; }));
    const int base = JXKC::TcpReactor::_increase_index_session.loadAcquire();
    QTcpSocket a, b, c;
    for (QTcpSocket* socket : {&a, &b, &c})
        socket->connectToHost(QHostAddress::LocalHost, server.serverPort());
    ASSERT_TRUE(TestEnv::waitUntil([&] { return server.getAliveSession().size() == 4; }));
    const QList<int> ids = server.getAliveSession();
    EXPECT_EQ(ids.mid(1), (QList<int>{base + 1, base + 2, base + 3}));
}

TEST(TcpReactor, ClientDialFailsFastAndKeepsRunningAfterPeerCloses)
{
    quint16 deadPort = 0;
    {
        QTcpServer probe;
        ASSERT_TRUE(probe.listen(QHostAddress::LocalHost, 0));
        deadPort = probe.serverPort();
    }
    JXKC::TcpCliReactor client;
    QElapsedTimer timer;
    timer.start();
    EXPECT_FALSE(client.reAction(QHostAddress::LocalHost, deadPort));
    EXPECT_LT(timer.elapsed(), 1000);
    EXPECT_FALSE(client.hasSession());
    EXPECT_FALSE(client.isRunning());

    auto server = std::make_unique<Server>();
    ASSERT_TRUE(startServer(*server));
    ASSERT_TRUE(client.reAction(QHostAddress::LocalHost, server->serverPort()));
    EXPECT_TRUE(client.hasSession());
    server.reset();
    EXPECT_TRUE(TestEnv::waitUntil([&] { return !client.hasSession(); }));
    EXPECT_TRUE(client.isRunning());
}

TEST(TcpReactor, RepliesAreMatchedToTheirTasks)
{
    EchoServer server;
    ASSERT_TRUE(startServer(server));
    JXKC::TcpCliReactor client;
    ASSERT_TRUE(client.reAction(QHostAddress::LocalHost, server.serverPort()));
    NetTest::Replies replies;
    replies.attach(client);

    CTask_FormData request;
    request.url = "/twice";
    request.uuid = "u1";
    request.json.insert("n", 1);
    // The task is entered even when nothing can leave; checking "u1" right after sending would
    // race with its reply.
    CTask_FormData parked(request);
    parked.uuid = "parked";
    parked.session_id = -2;
    client.post_async(parked);
    EXPECT_TRUE(client.isAliveTcpTask("parked"));

    client.post_async(request);
    ASSERT_TRUE(TestEnv::waitUntil([&] { return replies.size() == 2; }));
    QMutexLocker lock(&replies.mutex);
    EXPECT_TRUE(replies.list.at(0).second);
    ASSERT_EQ(replies.list.at(0).first.progressCopy().size(), 1);
    EXPECT_EQ(replies.list.at(0).first.progressCopy().first().url, "/twice");
    EXPECT_EQ(replies.list.at(0).first.json.value("result").toObject().value("n").toInt(), 1);
    EXPECT_FALSE(replies.list.at(1).second);
    EXPECT_TRUE(replies.list.at(1).first.progressCopy().isEmpty());
    EXPECT_FALSE(client.isAliveTcpTask("u1"));
}

TEST(TcpReactor, PostSyncGuardsTimesOutAndMatchesByItsOwnUuid)
{
    EchoServer server;
    ASSERT_TRUE(startServer(server));
    JXKC::TcpCliReactor client;
    CTask_FormData request;
    CTask_FormData reply;
    request.url = "/echo";
    EXPECT_FALSE(client.post_sync(request, reply, 100));   // no session
    ASSERT_TRUE(client.reAction(QHostAddress::LocalHost, server.serverPort()));
    EXPECT_FALSE(client.post_sync(request, reply, 0));
    EXPECT_FALSE(client.post_sync(request, reply, 60001));

    // A request without uuid gets a fresh one and ignores a reply carrying another uuid.
    request.url = "/wrong";
    request.json.insert("n", 5);
    ASSERT_TRUE(client.post_sync(request, reply, 2000));
    EXPECT_FALSE(request.uuid.isEmpty());
    EXPECT_EQ(reply.uuid, request.uuid);
    EXPECT_FALSE(reply.json.value("result").toObject().contains("wrong"));
    EXPECT_EQ(reply.json.value("result").toObject().value("n").toInt(), 5);

    // A reply whose uuid holds the request's is its reply, also when the request's had blanks.
    request.url = "/tagged";
    request.uuid = "press 7#1";
    ASSERT_TRUE(client.post_sync(request, reply, 2000));
    EXPECT_EQ(reply.uuid, "ack:press7#1");

    // A peer that never answers.
    QTcpServer silent;
    ASSERT_TRUE(silent.listen(QHostAddress::LocalHost, 0));
    JXKC::TcpCliReactor lonely;
    ASSERT_TRUE(lonely.reAction(QHostAddress::LocalHost, silent.serverPort()));
    CTask_FormData untouched;
    untouched.url = "/kept";
    QElapsedTimer timer;
    timer.start();
    EXPECT_FALSE(lonely.post_sync(request, untouched, 300));
    EXPECT_GE(timer.elapsed(), 250);   // coarse timers may fire a little early
    EXPECT_LT(timer.elapsed(), 2000);
    EXPECT_EQ(untouched.url, "/kept");
}

TEST(TcpReactor, TasksAgeAfterSixtySeconds)
{
    Server server;
    CTask_FormData record;
    record.uuid = "old";
    record.url = "/x";
    server.append_TcpTask(record);
    // Aged against the moment the task was made, not the wall clock, which a loaded machine moves on.
    const qint64 created = server.getTcpTask("old").getValue().create_timing;
    server.ageTasksAt(created + 60000);
    EXPECT_TRUE(server.isAliveTcpTask("old"));
    server.ageTasksAt(created + 60001);
    EXPECT_FALSE(server.isAliveTcpTask("old"));
}

TEST(TcpReactor, ConnectAndCloseCyclesLeaveNothingBehind)
{
    Server server;
    ASSERT_TRUE(startServer(server));
    // Warm up once so lazily created descriptors (the pool thread's event fds) are counted.
    {
        QTcpSocket socket;
        socket.connectToHost(QHostAddress::LocalHost, server.serverPort());
        ASSERT_TRUE(socket.waitForConnected(2000));
        ASSERT_TRUE(TestEnv::waitUntil([&] { return server.tableSize() == 1; }));
    }
    ASSERT_TRUE(TestEnv::waitUntil([&] { return server.tableSize() == 0; }));
    const int before = NetTest::openDescriptors();
    for (int i = 0; i < 200; ++i) {
        QTcpSocket socket;
        socket.connectToHost(QHostAddress::LocalHost, server.serverPort());
        ASSERT_TRUE(socket.waitForConnected(2000));
        socket.disconnectFromHost();
    }
    // A connection still waiting in the listen queue has neither a session nor a descriptor yet.
    EXPECT_TRUE(TestEnv::waitUntil([&] {
        return server.finished == 201 && server.tableSize() == 0 && NetTest::openDescriptors() <= before;
    }));
    EXPECT_TRUE(server.getAliveSession().isEmpty());
}

TEST(TcpReactor, SessionsAreClosedFromAnotherThreadByIdOrAll)
{
    Server server;
    ASSERT_TRUE(startServer(server));
    QTcpSocket first, second, third;
    int expected = 0;
    for (QTcpSocket* socket : {&first, &second, &third}) {
        socket->connectToHost(QHostAddress::LocalHost, server.serverPort());
        ASSERT_TRUE(socket->waitForConnected(2000));
        ++expected;   // one at a time, so the ids follow the sockets' order
        ASSERT_TRUE(TestEnv::waitUntil([&] { return server.tableSize() == expected; }));
    }
    const QList<int> ids = server.getAliveSession();
    ASSERT_EQ(ids.size(), 3);

    QElapsedTimer timer;
    timer.start();
    server.remove_ClientSession(ids.first());   // from this thread, not the reactor's
    EXPECT_LT(timer.elapsed(), 500);
    EXPECT_EQ(server.getAliveSession(), ids.mid(1));
    EXPECT_TRUE(TestEnv::waitUntil([&] { return first.state() == QAbstractSocket::UnconnectedState; }, 2000));
    EXPECT_EQ(second.state(), QAbstractSocket::ConnectedState);

    server.remove_ClientSession(-1);
    EXPECT_LT(timer.elapsed(), 1000);
    EXPECT_EQ(server.tableSize(), 0);
    EXPECT_TRUE(TestEnv::waitUntil([&] {
        return second.state() == QAbstractSocket::UnconnectedState && third.state() == QAbstractSocket::UnconnectedState;
    }, 2000));
}

TEST(TcpReactor, EveryReactorStopsWithinASecond)
{
    auto server = std::make_unique<Server>();
    ASSERT_TRUE(startServer(*server));
    JXKC::TcpCliReactor client;
    ASSERT_TRUE(client.reAction(QHostAddress::LocalHost, server->serverPort()));
    QTcpSocket extra;
    extra.connectToHost(QHostAddress::LocalHost, server->serverPort());
    ASSERT_TRUE(TestEnv::waitUntil([&] { return server->getAliveSession().size() == 2; }));

    QElapsedTimer timer;
    timer.start();
    client.deinitialize();
    EXPECT_FALSE(client.isRunning());
    server->deinitialize();
    EXPECT_FALSE(server->isRunning());
    EXPECT_EQ(server->tableSize(), 0);
    server.reset();
    EXPECT_LT(timer.elapsed(), 1000);
}

TEST(TcpReactor, LargeFileReplyArrivesWholeAndLaterSendsWait)
{
    QByteArray content(50 * 1024 * 1024, Qt::Uninitialized);
    for (int i = 0; i < content.size(); ++i)
        content[i] = char((qint64(i) * 131) >> 7);
    QFile file("big.bin");
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(content);
    file.close();

    EchoServer server;
    ASSERT_TRUE(startServer(server));
    JXKC::TcpCliReactor client;
    ASSERT_TRUE(client.reAction(QHostAddress::LocalHost, server.serverPort()));
    NetTest::Replies replies;
    replies.attach(client);
    CTask_FormData request;
    request.url = "/file";
    request.uuid = "f1";
    request.json.insert("path", QFileInfo(file).absoluteFilePath());
    client.post_async(request);
    ASSERT_TRUE(TestEnv::waitUntil([&] { return replies.size() == 2; }, 10000));
    QMutexLocker lock(&replies.mutex);
    EXPECT_EQ(replies.list.at(0).first.uuid, "f1");
    EXPECT_TRUE(replies.list.at(0).first.files.value(QString()) == content);
    EXPECT_EQ(replies.list.at(1).first.json.value("result").toObject().value("after").toString(), "file");
}

TEST(TcpReactorSession, PipelinedJunkPrefixedAndOversizedInput)
{
    Server server;
    ASSERT_TRUE(startServer(server));
    QMutex mutex;
    QList<CTask_FormData> requests;
    QObject::connect(&server, &JXKC::TcpReactor::sigRequest, &server,
                     [&](const CTask_FormData& record) {
                         QMutexLocker lock(&mutex);
                         requests.append(record);
                     },
                     Qt::DirectConnection);
    auto count = [&] {
        QMutexLocker lock(&mutex);
        return requests.size();
    };

    QTcpSocket socket;
    socket.connectToHost(QHostAddress::LocalHost, server.serverPort());
    ASSERT_TRUE(socket.waitForConnected(2000));
    socket.write("stray line\r\nPOST /one HTTP/1.1\r\nHost: x\r\nContent-Length: 2\r\n\r\nab"
                 "POST /two HTTP/1.1\r\nHost: x\r\n\r\n"
                 "POST /three HTTP/1.1\r\n\r\n"   // only a request line: dropped
                 "POST /four HTTP/1.1\r\nContent-Type: application/octet-stream\r\nContent-Length: 100\r\n\r\n");
    ASSERT_TRUE(TestEnv::waitUntil([&] { return count() == 2; }));
    socket.write(QByteArray(40, 'x'));
    TestEnv::spin(50);
    socket.write(QByteArray(60, 'y'));
    ASSERT_TRUE(TestEnv::waitUntil([&] { return count() == 3; }));
    {
        QMutexLocker lock(&mutex);
        EXPECT_EQ(requests.at(0).url, "/one");
        EXPECT_EQ(requests.at(0).body, "ab");
        EXPECT_EQ(requests.at(1).url, "/two");
        EXPECT_EQ(requests.at(2).url, "/four");
        EXPECT_EQ(requests.at(2).files.value(QString()).size(), 100);
        ASSERT_EQ(requests.at(2).progressCopy().size(), 1);
        EXPECT_EQ(requests.at(2).progressCopy().first().recv_times, 3);   // the header's read, then two body reads
        EXPECT_EQ(requests.at(2).progressCopy().first().recvpacklength, 100);
    }

    // A body over 64 MiB is refused with a 413 reply and the connection closes.
    QTcpSocket big;
    big.connectToHost(QHostAddress::LocalHost, server.serverPort());
    ASSERT_TRUE(big.waitForConnected(2000));
    big.write("POST /big HTTP/1.1\r\nUser-Agent: b1\r\nContent-Length: 70000000\r\n\r\n");
    const QByteArray answer = NetTest::readUntil(big, [&](const QByteArray&) {
        return big.state() == QAbstractSocket::UnconnectedState;
    });
    EXPECT_TRUE(answer.startsWith("HTTP/1.1 413 "));
    EXPECT_TRUE(answer.contains("User-Agent: b1"));

    // So is a header that never ends within 64 KiB.
    QTcpSocket endless;
    endless.connectToHost(QHostAddress::LocalHost, server.serverPort());
    ASSERT_TRUE(endless.waitForConnected(2000));
    endless.write("POST /h HTTP/1.1\r\nX-Long: " + QByteArray(70000, 'h'));
    NetTest::readUntil(endless, [&](const QByteArray&) { return endless.state() == QAbstractSocket::UnconnectedState; });
    EXPECT_EQ(endless.state(), QAbstractSocket::UnconnectedState);
    EXPECT_EQ(count(), 3);
}

TEST(TcpReactorSession, ASessionClosedByItsOwnHandlerIsDeletedAfterItsEmission)
{
    struct Closer : Server {
        void InitSession(Session* session) override
        {
            live.insert(session->id(), session);
            Server::InitSession(session);
        }
        QMap<int, QPointer<Session>> live;   // worker thread only
    } server;
    std::atomic<int> handled{0};
    std::atomic<bool> survivedRemoval{false};
    QObject::connect(&server, &JXKC::TcpReactor::sigRequest, &server,
                     [&](const CTask_FormData& record) {
                         ++handled;
                         server.remove_ClientSession(record.session_id);
                         survivedRemoval = !server.live.value(record.session_id).isNull();
                     },
                     Qt::DirectConnection);
    ASSERT_TRUE(startServer(server));
    QTcpSocket socket;
    socket.connectToHost(QHostAddress::LocalHost, server.serverPort());
    ASSERT_TRUE(socket.waitForConnected(2000));
    // The second request is already buffered when the first one's handler closes the session.
    socket.write("POST /a HTTP/1.1\r\nHost: x\r\n\r\nPOST /b HTTP/1.1\r\nHost: x\r\n\r\n");
    ASSERT_TRUE(TestEnv::waitUntil([&] { return server.finished == 1; }));
    EXPECT_TRUE(survivedRemoval.load());
    EXPECT_EQ(handled, 1);
    EXPECT_TRUE(TestEnv::waitUntil([&] { return socket.state() == QAbstractSocket::UnconnectedState; }, 2000));
}
