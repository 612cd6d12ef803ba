#include "netcore/httpmanager.h"
#include "nettestutil.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QJsonDocument>
#include <QRegularExpression>
#include <QSemaphore>
#include <QTimer>
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <stdexcept>

namespace {

// What the deferred routes of the test service do, shared with their work threads: a log of
// steps, and a gate the work waits at until the test opens it.
struct Deferred {
    std::mutex mutex;
    std::condition_variable changed;
    QStringList steps;
    bool open = false;

    void note(const QString& step)
    {
        std::lock_guard<std::mutex> lock(mutex);
        steps << step;
    }
    QStringList log()
    {
        std::lock_guard<std::mutex> lock(mutex);
        return steps;
    }
    void release()
    {
        std::lock_guard<std::mutex> lock(mutex);
        open = true;
        changed.notify_all();
    }
    // False when the gate stayed shut for 10 s.
    bool waitAtGate()
    {
        std::unique_lock<std::mutex> lock(mutex);
        return changed.wait_for(lock, std::chrono::seconds(10), [this] { return open; });
    }
};

// A small service made for the tests: "/echo" answers with the request's JSON, "/slow" takes
// 400 ms in its handler, "/quiet" never answers, "/throw" fails. "/later" answers from a work
// thread once the gate opens; "/long" works until the service stops, then answers as if done.
class TestService : public HttpManager {
public:
    explicit TestService(JXKT_TYPE type = JXKT_SERVER) : HttpManager(type)
    {
        url_routes.insert("/later", [this](const CTask_FormData& request) {
            const int n = request.json.value("n").toInt();
            deferred->note(QStringLiteral("start %1").arg(n));
            answerLater(request, [state = deferred, request, n](const std::atomic<bool>&) {
                state->note(QStringLiteral("work %1").arg(n));
                state->waitAtGate();
                state->note(QStringLiteral("reply %1").arg(n));
                return answerTo(request);
            });
        });
        url_routes.insert("/long", [this](const CTask_FormData& request) {
            answerLater(request, [state = deferred, request](const std::atomic<bool>& stopping) {
                state->note(QStringLiteral("long"));
                for (int waited = 0; !stopping && waited < 10000; waited += 5)
                    QThread::msleep(5);
                return answerTo(request);
            });
        });
        url_routes.insert("/echo", [this](const CTask_FormData& request) {
            sessions.append(request.session_id);
            if (!request.images.isEmpty())
                images = request.images;
            reply(request);
        });
        url_routes.insert("/slow", [this](const CTask_FormData& request) {
            ++slowCalls;
            if (onSlow)
                onSlow();
            QEventLoop loop;
            QTimer::singleShot(400, &loop, &QEventLoop::quit);
            loop.exec();
            reply(request);
        });
        url_routes.insert("/quiet", [](const CTask_FormData&) {});   // never answers
        url_routes.insert("/throw", [this](const CTask_FormData&) {
            ++throwCalls;
            throw std::runtime_error("broken handler");
        });
    }

    ~TestService() override { stopService(); }

    static CTask_FormData answerTo(const CTask_FormData& request)
    {
        CTask_FormData answer;
        answer.uuid = request.uuid;
        answer.session_id = request.session_id;
        answer.request_seq = request.request_seq;
        answer.json = request.json;
        answer.json.insert("thread", QThread::currentThread() == qApp->thread() ? "gui" : "other");
        return answer;
    }
    void reply(const CTask_FormData& request) { sendAsync(answerTo(request)); }

    // Counts the requests the reactor's thread has accepted or refused.
    void SlotRecvRequest_Pre_ThreadMold2(CTask_FormData request) override
    {
        HttpManager::SlotRecvRequest_Pre_ThreadMold2(request);
        arrived.release();
    }

    QList<QString> busy()
    {
        QMutexLocker lock(&mutex);
        return busy_urls;
    }
    JXKC::TcpReactor* held() { return reactor.data(); }

    QList<int> sessions;
    QMap<QString, cv::Mat> images;
    int slowCalls = 0;
    int throwCalls = 0;
    std::function<void()> onSlow;
    std::shared_ptr<Deferred> deferred = std::make_shared<Deferred>();
    QSemaphore arrived;
};

CTask_FormData request(const QString& url, int n = 0)
{
    CTask_FormData record;
    record.url = url;
    record.json.insert("n", n);
    return record;
}

QByteArray post(const char* url, int n)
{
    const QByteArray body = "{\"n\":" + QByteArray::number(n) + "}";
    return QByteArray("POST ") + url + " HTTP/1.1\r\nContent-Type: application/json\r\nContent-Length: " +
           QByteArray::number(body.size()) + "\r\n\r\n" + body;
}

// The first whole reply that arrives on the socket, within 10 s.
QPair<QByteArray, QByteArray> firstReply(QTcpSocket& socket)
{
    const auto replies = NetTest::splitReplies(NetTest::readUntil(
        socket, [](const QByteArray& data) { return !NetTest::splitReplies(data).isEmpty(); }, 10000));
    return replies.isEmpty() ? QPair<QByteArray, QByteArray>() : replies.first();
}

}  // namespace

TEST(HttpManager, CurlGetsTheReplyFormatAndKeepsItsConnection)
{
    TestService service;
    ASSERT_TRUE(service.startReactor(QHostAddress::LocalHost, 0, 4));
    const QString url = QStringLiteral("http://127.0.0.1:%1/echo").arg(service.serverPort());
    const CommandResult result =
        NetTest::runAside("curl", {"-s", "-i", "--noproxy", "*", "-H", "Content-Type: application/json", "-d",
                                   "{\"a\":1}", url, url});
    ASSERT_TRUE(result.ok()) << result.exitCode;
    const auto replies = NetTest::splitReplies(result.output);
    ASSERT_EQ(replies.size(), 2) << result.output.constData();
    for (const auto& reply : replies) {
        EXPECT_TRUE(reply.first.startsWith("HTTP/1.1 200 OK\r\n"));
        EXPECT_TRUE(reply.first.contains("Content-Length: " + QByteArray::number(reply.second.size())));
        const QJsonObject body = QJsonDocument::fromJson(reply.second).object();
        EXPECT_EQ(body.value("code").toInt(-9), 0);
        EXPECT_EQ(body.value("msg").toString(), "OK");
        EXPECT_EQ(body.value("result").toObject().value("a").toInt(), 1);
        EXPECT_EQ(body.value("result").toObject().value("thread").toString(), "gui");
    }
    ASSERT_EQ(service.sessions.size(), 2);
    EXPECT_EQ(service.sessions.at(0), service.sessions.at(1));   // the second request reused the connection
}

TEST(HttpManager, CurlSeesNotFound)
{
    TestService service;
    ASSERT_TRUE(service.startReactor(QHostAddress::LocalHost, 0, 4));
    NetTest::LogCapture log;
    const CommandResult result = NetTest::runAside(
        "curl", {"-s", "-i", "--noproxy", "*", QStringLiteral("http://127.0.0.1:%1/nowhere").arg(service.serverPort())});
    const QStringList info = log.lines(QtInfoMsg);
    EXPECT_TRUE(info.contains("SlotRecvRequest_Pre_ThreadMold2 404 Not Found")) << info.join('\n').toStdString();
    // Fields are separated by single blanks, the url unquoted.
    EXPECT_EQ(info.filter(QRegularExpression(
                  "^\\[Short_RCV\\]\\[SlotRecvRequest\\] \\*{22} /nowhere usetime_ms: -?\\d+ packs: 1$")).size(),
              1)
        << info.join('\n').toStdString();
    const auto replies = NetTest::splitReplies(result.output);
    ASSERT_EQ(replies.size(), 1) << result.output.constData();
    EXPECT_TRUE(replies.first().first.startsWith("HTTP/1.1 404 Not Found"));
    const QJsonObject body = QJsonDocument::fromJson(replies.first().second).object();
    EXPECT_EQ(body.value("code").toInt(), -1);
    EXPECT_EQ(body.value("msg").toString(), "no found url");
    EXPECT_TRUE(service.busy().isEmpty());
}

TEST(HttpManager, PipelinedRequestsGetRepliesInOrderAndFiftyMebibytesArrive)
{
    TestService service;
    service.setProperty("name", "pipe");
    ASSERT_TRUE(service.startReactor(QHostAddress::LocalHost, 0, 4));
    EXPECT_EQ(service.held()->property("name").toString(), "pipe");

    QTcpSocket socket;
    socket.connectToHost(QHostAddress::LocalHost, service.serverPort());
    ASSERT_TRUE(socket.waitForConnected(2000));
    auto message = [](const QByteArray& body, const QByteArray& agent) {
        return "POST /echo HTTP/1.1\r\nHost: t\r\nUser-Agent: " + agent +
               "\r\nContent-Type: application/json\r\nContent-Length: " + QByteArray::number(body.size()) + "\r\n\r\n" +
               body;
    };
    socket.write(message("{\"n\":1}", "p1") + message("{\"n\":2}", "p2"));
    const QByteArray stream =
        NetTest::readUntil(socket, [](const QByteArray& data) { return NetTest::splitReplies(data).size() >= 2; });
    const auto replies = NetTest::splitReplies(stream);
    ASSERT_EQ(replies.size(), 2);
    EXPECT_TRUE(replies.at(0).first.contains("User-Agent: p1"));
    EXPECT_EQ(QJsonDocument::fromJson(replies.at(0).second).object().value("result").toObject().value("n").toInt(), 1);
    EXPECT_TRUE(replies.at(1).first.contains("User-Agent: p2"));

    // A 50 MiB body reaches the handler byte for byte.
    QByteArray big(50 * 1024 * 1024, Qt::Uninitialized);
    for (int i = 0; i < big.size(); ++i)
        big[i] = char(i * 7 + (i >> 12));
    QByteArray got;
    HttpManager::Handler upload = [&got](const CTask_FormData& record) { got = record.files.value(QString()); };
    // Routes are filled before the reactor starts.
    TestService uploads;
    uploads.setProperty("name", "");
    struct Access : TestService {
        using TestService::url_routes;
    };
    static_cast<Access&>(uploads).url_routes.insert("/upload", upload);
    ASSERT_TRUE(uploads.startReactor(QHostAddress::LocalHost, 0, 4));
    EXPECT_TRUE(uploads.held()->property("name").toString().isEmpty());
    QTcpSocket sender;
    sender.connectToHost(QHostAddress::LocalHost, uploads.serverPort());
    ASSERT_TRUE(sender.waitForConnected(2000));
    sender.write("POST /upload HTTP/1.1\r\nHost: t\r\nContent-Type: application/octet-stream\r\nContent-Length: " +
                 QByteArray::number(big.size()) + "\r\n\r\n");
    sender.write(big);
    ASSERT_TRUE(TestEnv::waitUntil([&] { return !got.isEmpty(); }, 10000));
    EXPECT_TRUE(got == big);
}

TEST(HttpManager, PipelinedRepliesLeaveInRequestOrderInEveryMode)
{
    for (int mode = 1; mode <= 4; ++mode) {
        SCOPED_TRACE(mode);
        TestService service;
        ASSERT_TRUE(service.startReactor(QHostAddress::LocalHost, 0, mode));
        QTcpSocket socket;
        socket.connectToHost(QHostAddress::LocalHost, service.serverPort());
        ASSERT_TRUE(socket.waitForConnected(2000));
        QByteArray pipeline;
        for (const char* url : {"/slow", "/quiet", "/missing", "/echo"})
            pipeline += QByteArray("POST ") + url + " HTTP/1.1\r\nUser-Agent: " + url + "\r\nContent-Length: 0\r\n\r\n";
        socket.write(pipeline);
        const QByteArray stream = NetTest::readUntil(
            socket, [](const QByteArray& data) { return NetTest::splitReplies(data).size() >= 3; }, 5000);
        const auto replies = NetTest::splitReplies(stream);
        ASSERT_EQ(replies.size(), 3) << stream.constData();
        EXPECT_TRUE(replies.at(0).first.startsWith("HTTP/1.1 200 OK\r\n"));
        EXPECT_TRUE(replies.at(0).first.contains("User-Agent: /slow"));
        EXPECT_TRUE(replies.at(1).first.startsWith("HTTP/1.1 404 Not Found\r\n"));
        EXPECT_TRUE(replies.at(2).first.contains("User-Agent: /echo"));
    }
}

TEST(HttpManager, BusyUrlGets503AndAFailingHandlerClearsItsMark)
{
    TestService service;
    ASSERT_TRUE(service.startReactor(QHostAddress::LocalHost, 0, 4));
    JXKC::TcpCliReactor client;
    ASSERT_TRUE(client.reAction(QHostAddress::LocalHost, service.serverPort()));
    NetTest::Replies replies;
    replies.attach(client);

    CTask_FormData first = request("/slow", 1);
    first.uuid = "s1";
    CTask_FormData second = request("/slow", 2);
    second.uuid = "s2";
    bool sent = false;
    service.onSlow = [&] {
        if (sent)
            return;
        sent = true;
        client.post_async(second);   // arrives while the first is being served
    };
    client.post_async(first);
    ASSERT_TRUE(TestEnv::waitUntil([&] { return replies.size() == 2; }));
    {
        // The 503 is decided while the first runs, and still leaves after the first's reply.
        QMutexLocker lock(&replies.mutex);
        EXPECT_EQ(replies.list.at(0).first.uuid, "s1");
        EXPECT_EQ(replies.list.at(0).first.json.value("result").toObject().value("n").toInt(), 1);
        EXPECT_EQ(replies.list.at(1).first.uuid, "s2");
        const QJsonObject busy = QJsonDocument::fromJson(replies.list.at(1).first.body).object();
        EXPECT_EQ(busy.value("code").toInt(), -1);
        EXPECT_EQ(busy.value("msg").toString(), QString::fromUtf8("服务器忙碌中"));
    }
    EXPECT_EQ(service.slowCalls, 1);

    CTask_FormData reply;
    CTask_FormData again = request("/slow", 3);
    ASSERT_TRUE(client.post_sync(again, reply, 3000));
    EXPECT_EQ(reply.json.value("result").toObject().value("n").toInt(), 3);

    CTask_FormData broken = request("/throw");
    client.post_async(broken);
    ASSERT_TRUE(TestEnv::waitUntil([&] { return service.throwCalls == 1; }));
    client.post_async(broken);
    ASSERT_TRUE(TestEnv::waitUntil([&] { return service.throwCalls == 2; }));
    EXPECT_TRUE(service.busy().isEmpty());
}

TEST(HttpManager, ModeThreeServesOnWorkersAndRestartsCleanly)
{
    TestService service;
    ASSERT_TRUE(service.startReactor(QHostAddress::LocalHost, 0, 3));
    JXKC::TcpCliReactor client;
    ASSERT_TRUE(client.reAction(QHostAddress::LocalHost, service.serverPort()));
    CTask_FormData reply;
    CTask_FormData ask = request("/echo", 4);
    ASSERT_TRUE(client.post_sync(ask, reply, 3000));
    EXPECT_EQ(reply.json.value("result").toObject().value("thread").toString(), "other");
    EXPECT_EQ(service.sessions.size(), 1);   // one worker took it, the other found the list empty

    // Restarting replaces the reactor and the workers; the old connection is gone.
    QElapsedTimer timer;
    timer.start();
    ASSERT_TRUE(service.startReactor(QHostAddress::LocalHost, 0, 3));
    EXPECT_LT(timer.elapsed(), 1000);
    EXPECT_TRUE(TestEnv::waitUntil([&] { return !client.hasSession(); }));
    ASSERT_TRUE(client.reAction(QHostAddress::LocalHost, service.serverPort()));
    CTask_FormData next = request("/missing");
    ASSERT_TRUE(client.post_sync(next, reply, 3000));
    // An empty reply carries no content type: its wrapper arrives as the raw body.
    EXPECT_EQ(QJsonDocument::fromJson(reply.body).object().value("msg").toString(), "no found url");
}

TEST(HttpManager, ReplacingTheReactorWaitsForAHandlerOnItsThread)
{
    struct Holder : HttpManager {
        Holder() : HttpManager(JXKT_SERVER)
        {
            url_routes.insert("/hold", [this](const CTask_FormData&) {
                const auto keep = currentReactor();   // as sending does, for a moment
                inside = true;
                QThread::msleep(300);
                done = true;
            });
        }
        std::atomic<bool> inside{false};
        std::atomic<bool> done{false};
    } service;
    ASSERT_TRUE(service.startReactor(QHostAddress::LocalHost, 0, 2));   // handlers on the reactor's thread
    QTcpSocket socket;
    socket.connectToHost(QHostAddress::LocalHost, service.serverPort());
    ASSERT_TRUE(socket.waitForConnected(2000));
    socket.write("POST /hold HTTP/1.1\r\nHost: t\r\n\r\n");
    ASSERT_TRUE(TestEnv::waitUntil([&] { return service.inside.load(); }));

    ASSERT_TRUE(service.startReactor(QHostAddress::LocalHost, 0, 2));
    // The old reactor's thread ended its handler first; the old reactor is gone, not stuck
    // waiting for its own thread, and its connection is closed.
    EXPECT_TRUE(service.done.load());
    EXPECT_TRUE(TestEnv::waitUntil([&] { return socket.state() == QAbstractSocket::UnconnectedState; }, 2000));
}

TEST(HttpManager, ClientServiceRoutesRepliesByTheirRequestsUrl)
{
    TestService server;
    ASSERT_TRUE(server.startReactor(QHostAddress::LocalHost, 0, 4));

    struct Caller : HttpManager {
        Caller() : HttpManager(JXKT_CLIENT)
        {
            url_routes.insert("/echo", [this](const CTask_FormData& reply) { answers.append(reply); });
        }
        JXKC::TcpReactor* held() { return reactor.data(); }
        QList<CTask_FormData> answers;
    } caller;
    ASSERT_TRUE(caller.startReactor(QHostAddress::LocalHost, server.serverPort(), 1));
    caller.sendAsync(request("/echo", 9));
    ASSERT_TRUE(TestEnv::waitUntil([&] { return caller.answers.size() == 1; }));
    EXPECT_EQ(caller.answers.first().json.value("result").toObject().value("n").toInt(), 9);
    EXPECT_EQ(caller.answers.first().progressCopy().first().url, "/echo");

    // A uuid made from a device name with blanks comes back without them: still its request's.
    CTask_FormData period = request("/echo", 10);
    period.uuid = "V18#press 7@18c";
    caller.sendAsync(period);
    ASSERT_TRUE(TestEnv::waitUntil([&] { return caller.answers.size() == 2; }));
    EXPECT_EQ(caller.answers.last().json.value("result").toObject().value("n").toInt(), 10);
    EXPECT_FALSE(caller.held()->isAliveTcpTask("V18#press 7@18c"));
}

TEST(HttpManager, TwoProcessesTalk)
{
    TestService service;
    ASSERT_TRUE(service.startReactor(QHostAddress::LocalHost, 0, 4));
    const QString helper = QCoreApplication::applicationDirPath() + "/tcpreactor_helper";
    const CommandResult result = NetTest::runAside(helper, {QString::number(service.serverPort())});
    EXPECT_TRUE(result.ok()) << result.output.constData();
    ASSERT_EQ(service.sessions.size(), 2);
    EXPECT_EQ(service.sessions.at(0), service.sessions.at(1));
    // The multipart image crossed the process boundary through both sessions intact.
    ASSERT_TRUE(service.images.contains("shot-info"));
    const cv::Mat image = service.images.value("shot-info");
    ASSERT_EQ(image.type(), CV_8UC3);
    ASSERT_EQ(image.rows, 5);
    ASSERT_EQ(image.cols, 7);
    bool same = true;
    for (int i = 0; i < int(image.total()) * 3; ++i)
        same = same && image.data[i] == uchar(i * 13);
    EXPECT_TRUE(same);
}

TEST(HttpManager, RestartedReactorsDieInTheirOwnThreadWhileAnotherThreadSends)
{
    // The companion link restarts its client every second while pictures are sent from another
    // thread: a sender may hold the last reference to a reactor that was just replaced.
    struct Restarter : HttpManager {
        Restarter() : HttpManager(JXKT_CLIENT) {}
        JXKC::TcpReactor* held() { return reactor.data(); }
    } service;
    NetTest::LogCapture log;
    std::atomic<int> created{0};
    std::atomic<int> destroyed{0};
    std::atomic<int> destroyedElsewhere{0};
    QThread* const owner = QThread::currentThread();

    std::atomic<bool> stop{false};
    std::thread sender([&] {
        CTask_FormData picture = request("/picture");
        while (!stop)
            service.sendAsync(picture);
    });
    constexpr int kRestarts = 1000;
    for (int i = 0; i < kRestarts; ++i) {
        service.startReactor(QHostAddress::LocalHost, 1, 1);   // nothing listens: the dial fails
        ++created;
        QObject::connect(service.held(), &QObject::destroyed, [&, owner] {
            if (QThread::currentThread() != owner)
                ++destroyedElsewhere;
            ++destroyed;
        });
    }
    stop = true;
    sender.join();
    ASSERT_TRUE(TestEnv::waitUntil([&] { return destroyed == created - 1; }, 10000))
        << destroyed << " of " << created - 1;
    EXPECT_EQ(destroyedElsewhere, 0);
    EXPECT_TRUE(log.lines(QtWarningMsg).filter("Timers cannot be stopped").isEmpty());
}

TEST(HttpManager, SameUrlRequestsAcceptedTogetherAreServedOneAfterTheOther)
{
    TestService service;
    ASSERT_TRUE(service.startReactor(QHostAddress::LocalHost, 0, 4));
    QTcpSocket first, second, third;
    for (QTcpSocket* socket : {&first, &second, &third}) {
        socket->connectToHost(QHostAddress::LocalHost, service.serverPort());
        ASSERT_TRUE(socket->waitForConnected(3000));
    }
    // Both arrive before this thread (the service's) has taken either: both are accepted.
    first.write(post("/later", 1));
    second.write(post("/later", 2));
    ASSERT_TRUE(first.waitForBytesWritten(3000) && second.waitForBytesWritten(3000));
    ASSERT_TRUE(service.arrived.tryAcquire(2, 10000));

    // The first one's work runs; one arriving now finds its url busy.
    ASSERT_TRUE(TestEnv::waitUntil([&] { return service.deferred->log().contains("work 1"); }));
    third.write(post("/later", 3));
    EXPECT_TRUE(firstReply(third).first.startsWith("HTTP/1.1 503 Service Unavailable\r\n"));
    EXPECT_EQ(service.deferred->log(), QStringList({"start 1", "work 1"}));

    // The second starts once the first has answered.
    service.deferred->release();
    for (QTcpSocket* socket : {&first, &second}) {
        const auto reply = firstReply(*socket);
        EXPECT_TRUE(reply.first.startsWith("HTTP/1.1 200 OK\r\n")) << reply.first.constData();
    }
    EXPECT_EQ(service.deferred->log(),
              QStringList({"start 1", "work 1", "reply 1", "start 2", "work 2", "reply 2"}));
    EXPECT_TRUE(TestEnv::waitUntil([&] { return service.busy().isEmpty(); }));
}

TEST(HttpManager, WorkTheStopCutsShortIsNotAnsweredAsComplete)
{
    auto service = std::make_unique<TestService>();
    ASSERT_TRUE(service->startReactor(QHostAddress::LocalHost, 0, 4));
    const std::shared_ptr<Deferred> deferred = service->deferred;
    QTcpSocket client;
    client.connectToHost(QHostAddress::LocalHost, service->serverPort());
    ASSERT_TRUE(client.waitForConnected(3000));
    client.write(post("/long", 1));
    ASSERT_TRUE(client.waitForBytesWritten(3000));
    ASSERT_TRUE(TestEnv::waitUntil([&] { return deferred->log().contains("long"); }));

    service.reset();
    // The client is left without an answer and sees its connection end.
    const QByteArray data = NetTest::readUntil(
        client, [&client](const QByteArray&) { return client.state() == QAbstractSocket::UnconnectedState; }, 10000);
    EXPECT_EQ(client.state(), QAbstractSocket::UnconnectedState);
    EXPECT_TRUE(data.isEmpty()) << data.constData();
}
