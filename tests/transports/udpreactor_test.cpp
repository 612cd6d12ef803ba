#include "base/appclock.h"
#include "base/publictools.h"
#include "support/testenv.h"
#include "transports/datagramframe.h"
#include "transports/udpreactor.h"
#include "transporttestutil.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMutex>
#include <QNetworkDatagram>
#include <QUdpSocket>
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

using TestEnv::waitUntil;

namespace {

// A reactor that receives on 127.0.0.1 and a port the system picks, as a user binds one.
class BoundReactor : public JXKC::UdpReactor {
public:
    ~BoundReactor() override { deinitialize(); }
    bool onStart() override
    {
        return UdpReactor::onStart() && udpSocket()->bind(QHostAddress(QHostAddress::LocalHost), 0);
    }
};

class FailingReactor : public JXKC::UdpReactor {
public:
    ~FailingReactor() override { deinitialize(); }
    bool onStart() override { return false; }
};

struct Received {
    QMutex mutex;
    QList<CTask_FormData> requests;
    QList<CTask_FormData> responses;

    void attach(JXKC::UdpReactor& reactor)
    {
        QObject::connect(&reactor, &JXKC::UdpReactor::sigRequest, &reactor,
                         [this](const CTask_FormData& r) { QMutexLocker l(&mutex); requests << r; },
                         Qt::DirectConnection);
        QObject::connect(&reactor, &JXKC::UdpReactor::sigResponse, &reactor,
                         [this](const CTask_FormData& r) { QMutexLocker l(&mutex); responses << r; },
                         Qt::DirectConnection);
    }
    int requestCount() { QMutexLocker l(&mutex); return requests.size(); }
    CTask_FormData request(int i) { QMutexLocker l(&mutex); return requests.value(i); }
};

QByteArray message(const QByteArray& url, const QByteArray& uuid, const QByteArray& body)
{
    return "POST " + url + " HTTP/1.1\r\nUser-Agent: " + uuid +
           "\r\nContent-Type: application/json\r\nContent-Length: " + QByteArray::number(body.size()) + "\r\n\r\n" + body;
}

struct Sender {
    QUdpSocket socket;
    quint16 target;
    explicit Sender(quint16 port) : target(port) { socket.bind(QHostAddress(QHostAddress::LocalHost), 0); }
    void send(const QByteArray& bytes) { socket.writeDatagram(bytes, QHostAddress::LocalHost, target); }
};

}  // namespace

TEST(UdpReactor, GathersMessagesPerSenderAndEmitsEveryWholeOne)
{
    BoundReactor reactor;
    Received received;
    received.attach(reactor);
    ASSERT_TRUE(reactor.initialize());
    ASSERT_NE(reactor.localPort(), 0);

    Sender a(reactor.localPort());
    Sender b(reactor.localPort());
    const QByteArray first = message("/a", "ua", R"({"from":"a","n":1})");
    a.send(first.left(first.size() - 6));
    b.send(message("/b", "ub", R"({"from":"b"})"));
    ASSERT_TRUE(waitUntil([&] { return received.requestCount() == 1; }));
    EXPECT_EQ(received.request(0).url, "/b");

    // A's tail completes A's message, and a second whole message in the same datagram is
    // announced at once rather than waiting for another datagram.
    a.send(first.right(6) + message("/a2", "ua2", "{}"));
    ASSERT_TRUE(waitUntil([&] { return received.requestCount() == 3; }));
    const CTask_FormData fromA = received.request(1);
    EXPECT_EQ(fromA.url, "/a");
    EXPECT_EQ(fromA.uuid, "ua");
    EXPECT_EQ(fromA.json.value("from").toString(), "a");
    EXPECT_EQ(fromA.peer_ip, "127.0.0.1");
    EXPECT_EQ(fromA.peer_port, a.socket.localPort());
    EXPECT_EQ(received.request(2).url, "/a2");
}

TEST(UdpReactor, DropsBadHeadsForTheirSenderOnly)
{
    BoundReactor reactor;
    Received received;
    received.attach(reactor);
    ASSERT_TRUE(reactor.initialize());
    Sender bad(reactor.localPort());
    Sender good(reactor.localPort());

    bad.send("GARBAGE LINE\r\nUser-Agent: x\r\n\r\n");   // no HTTP/1.1 line
    bad.send("POST /one-line HTTP/1.1\r\n\r\n");          // one-line head, as over TCP
    bad.send("POST /huge HTTP/1.1\r\nContent-Length: 999999999\r\n\r\n");
    const QByteArray filler(60000, 'x');
    bad.send("POST /long HTTP/1.1\r\nX-Fill: " + filler);
    const QByteArray half = message("/half", "g", R"({"k":1})");
    good.send(half.left(half.size() - 2));
    bad.send(filler);   // the head has now passed 64 KiB without ending
    good.send(half.right(2));
    ASSERT_TRUE(waitUntil([&] { return received.requestCount() == 1; }));
    EXPECT_EQ(received.request(0).url, "/half");
    EXPECT_EQ(received.request(0).json.value("k").toInt(), 1);

    // A length that cannot frame the message drops it with what follows, so its body can never
    // pass for a message of its own.
    const QByteArray hidden = message("/hidden", "h", "{}");
    bad.send("POST /bad-length HTTP/1.1\r\nContent-Length: " + QByteArray::number(hidden.size()) + "x\r\n\r\n" + hidden);
    bad.send("POST /two-lengths HTTP/1.1\r\nContent-Length: 0\r\nContent-Length: " +
             QByteArray::number(hidden.size()) + "\r\n\r\n" + hidden);

    // A body in which an object repeats a name is dropped like one that is no JSON.
    bad.send(message("/repeats", "r", R"({"a":[1],"a":[1]})"));

    // The bad sender is not shut out: its next proper message is read from a clean start.
    bad.send(message("/after", "b", "{}"));
    ASSERT_TRUE(waitUntil([&] { return received.requestCount() >= 2; }));
    TestEnv::spin(100);
    ASSERT_EQ(received.requestCount(), 2) << received.request(1).url.toStdString();
    EXPECT_EQ(received.request(1).url, "/after");
}

// JSON nested deeper or holding more values than a message of the transport needs is dropped
// before Qt reads it; the sender's next message is read as usual.
TEST(UdpReactor, DropsJsonBeyondItsBounds)
{
    BoundReactor reactor;
    Received received;
    received.attach(reactor);
    ASSERT_TRUE(reactor.initialize());
    Sender sender(reactor.localPort());
    const QByteArray deep = R"({"a":)" + QByteArray(100, '[') + QByteArray(100, ']') + "}";
    const QByteArray numerous = "[" + QByteArray("0,").repeated(3000) + "0]";
    ASSERT_FALSE(QJsonDocument::fromJson(deep).isNull());
    ASSERT_FALSE(QJsonDocument::fromJson(numerous).isNull());
    sender.send(message("/deep", "d", deep));
    sender.send(message("/numerous", "n", numerous));
    sender.send(message("/after", "a", R"({"k":[[1]]})"));
    // One sender's messages are read in order: once the last is in, the others were decided.
    ASSERT_TRUE(waitUntil([&] {
        const int count = received.requestCount();
        return count > 0 && received.request(count - 1).url == "/after";
    }));
    EXPECT_EQ(received.requestCount(), 1);
}

TEST(UdpReactor, StartsStopsAndRefusesWhatCannotBeSent)
{
    BoundReactor reactor;
    EXPECT_FALSE(reactor.getTimerAlived());
    EXPECT_FALSE(reactor.isRunning());
    reactor.deinitialize();   // stopped: nothing to do

    ASSERT_TRUE(reactor.initialize());
    EXPECT_FALSE(reactor.initialize());
    EXPECT_TRUE(reactor.isRunning());
    EXPECT_TRUE(reactor.getTimerAlived());
    EXPECT_FALSE(reactor.sendMsg("x", "127.0.0.1", 0, false));
    EXPECT_FALSE(reactor.sendMsg("x", "127.0.0.1", 65536 + 9, false));
    EXPECT_FALSE(reactor.sendMsg(QByteArray(65508, 'x'), "127.0.0.1", 9, false));

    // Restarting or stopping from the worker's own thread would wait for itself.
    Received received;
    std::atomic<int> fromWorker{-1};
    QObject::connect(&reactor, &JXKC::UdpReactor::sigRequest, &reactor,
                     [&](const CTask_FormData&) {
                         reactor.deinitialize();
                         fromWorker = reactor.reAction() ? 1 : 0;
                     },
                     Qt::DirectConnection);
    Sender sender(reactor.localPort());
    sender.send(message("/x", "u", "{}"));
    ASSERT_TRUE(waitUntil([&] { return fromWorker.load() >= 0; }));
    EXPECT_EQ(fromWorker.load(), 0);
    EXPECT_TRUE(reactor.isRunning());

    reactor.deinitialize();
    EXPECT_FALSE(reactor.isRunning());
    // A send on a stopped reactor starts it again (with a new socket) and goes out.
    QUdpSocket peer;
    ASSERT_TRUE(peer.bind(QHostAddress(QHostAddress::LocalHost), 0));
    EXPECT_TRUE(reactor.sendMsg("ping", "127.0.0.1", peer.localPort(), false));
    ASSERT_TRUE(waitUntil([&] { return peer.hasPendingDatagrams(); }));
    EXPECT_EQ(peer.receiveDatagram().data(), QByteArray("ping"));

    FailingReactor failing;
    EXPECT_FALSE(failing.initialize());
    EXPECT_FALSE(failing.isRunning());
    EXPECT_FALSE(failing.sendMsg("x", "127.0.0.1", 9, false));
}

// Two threads whose sends find the reactor stopped both start it; neither may be left waiting
// for a worker that only comes once the other's has gone.
TEST(UdpReactor, SendsFromSeveralThreadsStartTheReactorOnce)
{
    QUdpSocket peer;
    ASSERT_TRUE(peer.bind(QHostAddress(QHostAddress::LocalHost), 0));
    const quint16 port = peer.localPort();
    int stuck = 0;
    int rounds = 0;
    int arrived = 0;
    auto drain = [&] {
        while (peer.hasPendingDatagrams()) {
            peer.receiveDatagram();
            ++arrived;
        }
        return arrived == 2 * rounds;
    };
    for (; rounds < 100 && stuck == 0; ++rounds) {
        drain();
        JXKC::UdpReactor reactor;
        std::atomic<int> ready{0};
        std::atomic<int> done{0};
        auto send = [&] {
            ++ready;
            while (ready.load() < 2)
                std::this_thread::yield();
            reactor.sendMsg("x", "127.0.0.1", port, false);
            ++done;
        };
        std::thread first(send);
        std::thread second(send);
        if (!waitUntil([&] { return done.load() == 2; }, 3000)) {
            ++stuck;
            // Ends each worker in turn, so a send left waiting gets its own and returns.
            waitUntil([&] {
                emit reactor.readyToClose();
                return done.load() == 2;
            }, 5000);
        }
        reactor.deinitialize();
        first.join();
        second.join();
    }
    EXPECT_EQ(stuck, 0);
    // Both sends of every round left: neither was lost to a restart by the other.
    waitUntil(drain);
    EXPECT_EQ(arrived, 2 * rounds);
}

TEST(UdpReactor, AliveStampSurvivesTheCountWrapping)
{
    // Put the 10 ms count 10 units short of its wrap, start, stop, then move past the wrap.
    struct ClockGuard {
        ~ClockGuard() { AppClock::setOffsetMs(0); }
    } guard;
    const qint64 unitsNow = (gettimeofday_ms() / 10) % 1000000000LL;
    AppClock::setOffsetMs((1000000000LL - 10 - unitsNow) * 10);
    {
        BoundReactor reactor;
        ASSERT_TRUE(reactor.initialize());
        reactor.deinitialize();
        AppClock::advanceMs(500);   // 50 units later: the count has wrapped
        EXPECT_TRUE(reactor.getTimerAlived());
        AppClock::advanceMs(5000);
        EXPECT_FALSE(reactor.getTimerAlived());
    }
}

TEST(UdpReactor, FramesDatagramsAsTheTcpWriterDoes)
{
    CTask_FormData reply;
    reply.uuid = QStringLiteral("abc");
    reply.json.insert(QStringLiteral("a"), 1);
    const QByteArray bytes = frameDatagram(reply, QHostAddress(QStringLiteral("10.1.2.3")), 4567);
    const QByteArray body = R"({"code":0,"msg":"OK","result":{"a":1}})";
    EXPECT_EQ(bytes, "HTTP/1.1 200 OK\r\nHOST: 10.1.2.3:4567\r\nUser-Agent: abc\r\nContent-Type: application/json\r\n"
                     "Content-Length: " + QByteArray::number(body.size()) + "\r\n\r\n" + body);
    CTask_FormData file;
    file.files.insert(QStringLiteral("/etc/hostname"), QByteArray());
    EXPECT_TRUE(frameDatagram(file, QHostAddress::LocalHost, 1).isEmpty());
}

// A plain python3 socket against the probe: one request, one split in two datagrams and two
// in one datagram, each answered with its own JSON.
TEST(UdpReactorProbe, AnswersPythonRequestsWithTheirJson)
{
    if (!TransportTest::havePython())
        GTEST_SKIP() << "no /usr/bin/python3";
    TransportTest::ProbeProcess probe;
    const QString first = probe.start(QStringLiteral("probe_udpreactor"), {"--listen", "127.0.0.1:0"});
    const QStringList words = first.split(' ');
    ASSERT_EQ(words.size(), 3) << first.toStdString();
    ASSERT_EQ(words.at(0), "listening");
    const QString port = words.at(2);
    ASSERT_NE(port.toInt(), 0);

    const QByteArray script = R"PY(
import json, socket, sys
port = int(sys.argv[1])
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
s.bind(("127.0.0.1", 0))
s.settimeout(5)
def msg(agent, body):
    b = json.dumps(body).encode()
    return (b"POST /echo HTTP/1.1\r\nUser-Agent: " + agent.encode() +
            b"\r\nContent-Type: application/json\r\nContent-Length: " + str(len(b)).encode() + b"\r\n\r\n" + b)
one = msg("py#1", {"a": 1})
split = msg("py#2", {"b": [1, 2, 3]})
s.sendto(one, ("127.0.0.1", port))
s.sendto(split[:len(split) - 5], ("127.0.0.1", port))
s.sendto(split[len(split) - 5:], ("127.0.0.1", port))
s.sendto(msg("py#3", {"c": "x"}) + msg("py#4", {"d": None}), ("127.0.0.1", port))
out = []
for _ in range(4):
    data = s.recv(65535)
    head, _, body = data.partition(b"\r\n\r\n")
    lines = head.decode().split("\r\n")
    fields = dict(l.split(": ", 1) for l in lines[1:])
    out.append({"status": lines[0], "agent": fields.get("User-Agent"),
                "length": int(fields.get("Content-Length", -1)), "bodylen": len(body),
                "body": json.loads(body)})
print(json.dumps(out))
)PY";
    const QByteArray out = TransportTest::runPython(script, {port});
    ASSERT_FALSE(out.isNull()) << "python peer failed";
    const QJsonArray replies = QJsonDocument::fromJson(out).array();
    ASSERT_EQ(replies.size(), 4);
    const QStringList agents{"py#1", "py#2", "py#3", "py#4"};
    const QList<QJsonObject> bodies{QJsonObject{{"a", 1}}, QJsonObject{{"b", QJsonArray{1, 2, 3}}},
                                    QJsonObject{{"c", "x"}}, QJsonObject{{"d", QJsonValue::Null}}};
    for (int i = 0; i < 4; ++i) {
        const QJsonObject reply = replies.at(i).toObject();
        EXPECT_EQ(reply.value("status").toString(), "HTTP/1.1 200 OK");
        EXPECT_EQ(reply.value("agent").toString(), agents.at(i));
        EXPECT_EQ(reply.value("length").toInt(), reply.value("bodylen").toInt());
        const QJsonObject body = reply.value("body").toObject();
        EXPECT_EQ(body.value("code").toInt(-1), 0);
        EXPECT_EQ(body.value("msg").toString(), "OK");
        EXPECT_EQ(body.value("result").toObject(), bodies.at(i)) << i;
    }
    // The probe also printed each request it received as a JSON line.
    const QJsonObject printed = QJsonDocument::fromJson(probe.readLine(5000).toUtf8()).object();
    EXPECT_EQ(printed.value("url").toString(), "/echo");
    EXPECT_EQ(printed.value("uuid").toString(), "py#1");
    EXPECT_EQ(probe.stop(), 0);
}

TEST(UdpReactorProbe, SendModePrintsTheReply)
{
    TransportTest::ProbeProcess listener;
    const QStringList words = listener.start(QStringLiteral("probe_udpreactor"), {"--listen", "127.0.0.1:0"}).split(' ');
    ASSERT_EQ(words.size(), 3);
    QProcess sender;
    sender.start(TransportTest::probePath("probe_udpreactor"),
                 {"--send", "127.0.0.1:" + words.at(2), "/hello", R"({"x":5})"});
    ASSERT_TRUE(sender.waitForFinished(10000));
    EXPECT_EQ(sender.exitCode(), 0);
    const QJsonObject reply = QJsonDocument::fromJson(sender.readAllStandardOutput().trimmed()).object();
    EXPECT_EQ(reply.value("kind").toString(), "response");
    EXPECT_EQ(reply.value("json").toObject().value("result").toObject().value("x").toInt(), 5);
}
