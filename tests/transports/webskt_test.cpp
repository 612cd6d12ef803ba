#include "../netcore/nettestutil.h"
#include "support/testenv.h"
#include "transports/webskt.h"
#include "transporttestutil.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QMutex>
#include <QTcpServer>
#include <QWebSocket>
#include <QElapsedTimer>

#include <algorithm>
#include <memory>
#include <vector>
#include <gtest/gtest.h>

using TestEnv::waitUntil;

namespace {

struct Inbox {
    QMutex mutex;
    QList<CTask_FormData_WebSkt_Json> list;
    void attach(WebSkt_Core& core)
    {
        QObject::connect(&core, &WebSkt_Core::sig_recv_message, &core,
                         [this](const CTask_FormData_WebSkt_Json& r) { QMutexLocker l(&mutex); list << r; },
                         Qt::DirectConnection);
    }
    int size() { QMutexLocker l(&mutex); return list.size(); }
    CTask_FormData_WebSkt_Json at(int i) { QMutexLocker l(&mutex); return list.value(i); }
};

CTask_FormData_WebSkt_Json message(const QString& url, const QJsonObject& data, qint64 handle = 0)
{
    CTask_FormData_WebSkt_Json record;
    record.url = url;
    record.data = data;
    record.client_handle = handle;
    return record;
}

// The client's connect wait is short; on a loaded machine a first try may miss it.
bool connectClient(WebSkt_Client& client, quint16 port, const QHostAddress& address = QHostAddress(QHostAddress::LocalHost))
{
    for (int attempt = 0; attempt < 5; ++attempt) {
        if (client.reAction(address, port))
            return true;
    }
    return false;
}

// The server listening on loopback at a port of its own, and a plain WebSocket peer connected to it.
bool listenAndConnect(WebSkt_Server& server, QWebSocket& peer)
{
    if (!server.reAction(QHostAddress(QHostAddress::LocalHost), 0))
        return false;
    peer.open(QUrl(QString("ws://127.0.0.1:%1").arg(server.serverPort())));
    return waitUntil([&] { return peer.state() == QAbstractSocket::ConnectedState; });
}

}  // namespace

TEST(WebSkt, ReadsOnlyWellFormedFramesAndStampsOutgoingOnes)
{
    const auto valid = WebSkt_Core::analyseBuffer_Setup1_Json(R"({"url":"/a","user_agent":"u","data":{}})");
    EXPECT_TRUE(valid.is_valid);
    EXPECT_EQ(valid.url, "/a");
    for (const char* bad : {"not json", R"({"url":"/a","data":{}})", R"({"user_agent":"u","data":{}})",
                            R"({"url":"/a","user_agent":"u","data":[1]})", R"({"url":"/a","user_agent":"u","data":"x"})",
                            R"({"url":"/a","user_agent":"u"})"})
        EXPECT_FALSE(WebSkt_Core::analyseBuffer_Setup1_Json(QString::fromUtf8(bad)).is_valid) << bad;

    WebSkt_Server server;
    QList<CTask_FormData_WebSkt_Json> sent;
    QObject::connect(&server, &WebSkt_Core::sig_send_message, &server,
                     [&](const CTask_FormData_WebSkt_Json& r) { sent << r; }, Qt::DirectConnection);
    server.sendTextMessage(message("/x", {}));
    CTask_FormData_WebSkt_Json own = message("/y", {});
    own.user_agent = QStringLiteral("mine");
    server.sendTextMessage(own);
    ASSERT_EQ(sent.size(), 2);
    EXPECT_TRUE(sent.at(0).user_agent.startsWith("sc_webskt#"));
    EXPECT_EQ(sent.at(0).user_agent.size(), QString("sc_webskt#").size() + 19);
    EXPECT_EQ(sent.at(1).user_agent, "mine");
    EXPECT_EQ(WebSkt_Core::serialize_Setup2_Json(own), R"({"data":{},"url":"/y","user_agent":"mine"})");
}

TEST(WebSkt, ServerRoutesRepliesByHandleAndForgetsGoneClients)
{
    WebSkt_Server server;
    Inbox atServer;
    atServer.attach(server);
    EXPECT_EQ(server.isCnted(), 0);
    ASSERT_TRUE(server.reAction(QHostAddress(QHostAddress::LocalHost), 0));
    EXPECT_FALSE(server.initialize());
    const quint16 port = server.serverPort();
    ASSERT_NE(port, 0);

    WebSkt_Client a, b;
    Inbox atA, atB;
    atA.attach(a);
    atB.attach(b);
    ASSERT_TRUE(connectClient(a, port));
    ASSERT_TRUE(connectClient(b, port));
    EXPECT_EQ(a.isCnted(), 1);
    ASSERT_TRUE(waitUntil([&] { return server.isCnted() == 2; }));

    a.sendTextMessage(message("/from-a", {{"n", 1}}));
    b.sendTextMessage(message("/from-b", {{"n", 2}}));
    ASSERT_TRUE(waitUntil([&] { return atServer.size() == 2; }));
    const qint64 handleA = atServer.at(0).url == "/from-a" ? atServer.at(0).client_handle : atServer.at(1).client_handle;
    const qint64 handleB = atServer.at(0).url == "/from-b" ? atServer.at(0).client_handle : atServer.at(1).client_handle;
    EXPECT_NE(handleA, 0);
    EXPECT_NE(handleA, handleB);

    server.sendTextMessage(message("/to-a", {}, handleA));
    server.sendTextMessage(message("/to-all", {}, 0));
    ASSERT_TRUE(waitUntil([&] { return atA.size() == 2 && atB.size() == 1; }));
    EXPECT_EQ(atA.at(0).url, "/to-a");
    EXPECT_EQ(atB.at(0).url, "/to-all");

    // A reply for a client that has gone reaches nobody; a new connection gets a new handle.
    a.deinitialize();
    ASSERT_TRUE(waitUntil([&] { return server.isCnted() == 1; }));
    server.sendTextMessage(message("/to-gone", {}, handleA));
    ASSERT_TRUE(connectClient(a, port));
    a.sendTextMessage(message("/again", {}));
    ASSERT_TRUE(waitUntil([&] { return atServer.size() == 3; }));
    EXPECT_NE(atServer.at(2).client_handle, handleA);
    EXPECT_NE(atServer.at(2).client_handle, handleB);
    TestEnv::spin(200);
    EXPECT_EQ(atB.size(), 1);

    server.deinitialize();
    EXPECT_EQ(server.isCnted(), 0);
    EXPECT_EQ(server.serverPort(), 0);
}

TEST(WebSkt, FramesThatRepeatANameAreDroppedWithAWarningAndCostNothing)
{
    WebSkt_Server server;
    Inbox inbox;
    inbox.attach(server);
    QWebSocket peer;
    ASSERT_TRUE(listenAndConnect(server, peer));

    // The decoder Qt has keeps the value of every repeated array or object member for good.
    QString repeating = R"({"url":"/repeating","user_agent":"u","data":{"k":[1]})";
    for (int i = 0; i < 100; ++i)
        repeating += R"(,"data":{"k":[1]})";
    repeating += "}";
    NetTest::LogCapture log;
    const auto sendRepeating = [&](int count, const QString& then) {
        for (int i = 0; i < count; ++i)
            peer.sendTextMessage(repeating);
        peer.sendTextMessage(WebSkt_Core::serialize_Setup2_Json(message(then, {})));
        return waitUntil([&] { return inbox.size() > 0 && inbox.at(inbox.size() - 1).url == then; }, 30000);
    };
    ASSERT_TRUE(sendRepeating(50, "/warm"));   // whatever the first frames make room for
    const qint64 before = TestEnv::heapBytes();
    ASSERT_TRUE(sendRepeating(1000, "/after"));
    EXPECT_LT(TestEnv::heapBytes() - before, 4 * 1024 * 1024);
    EXPECT_EQ(inbox.size(), 2);
    // A line a second for the peer, and the count of the ones left out a second later.
    const auto leftOut = [&] { return log.leftOut("duplicate key from 127.0.0.1"); };
    const int written = log.lines(QtWarningMsg).filter("repeats a name").size();
    EXPECT_TRUE(waitUntil([&] { return written + leftOut() == 1050; }, 5000)) << written << " + " << leftOut();
    EXPECT_LT(written, 1050 / 10);
}

// A frame whose data nests deeper or holds more values than the layer takes is dropped before
// Qt reads it; the peer's next frame is delivered.
TEST(WebSkt, FramesBeyondTheJsonBoundsAreDropped)
{
    WebSkt_Server server;
    Inbox inbox;
    inbox.attach(server);
    QWebSocket peer;
    ASSERT_TRUE(listenAndConnect(server, peer));

    const QString envelope = R"({"url":"%1","user_agent":"u","data":{"k":%2}})";
    const QString deep = QString(100, QLatin1Char('[')) + QString(100, QLatin1Char(']'));
    const QString numerous = "[" + QString("0,").repeated(int(WebSkt_Core::kJsonBounds.maxValues)) + "0]";
    for (const QString& frame : {envelope.arg("/deep", deep), envelope.arg("/numerous", numerous)}) {
        ASSERT_FALSE(QJsonDocument::fromJson(frame.toUtf8()).isNull());
        peer.sendTextMessage(frame);
    }
    peer.sendTextMessage(envelope.arg("/after", "[[1]]"));
    // One connection's frames are read in order: once the last is in, the others were decided.
    ASSERT_TRUE(waitUntil([&] { return inbox.size() > 0 && inbox.at(inbox.size() - 1).url == "/after"; }));
    EXPECT_EQ(inbox.size(), 1);
}

// A client sending a message every 0.5 s keeps its connection through a burst of connections
// that never send one: beyond the cap they give way to each other, never to it.
TEST(WebSkt, AClientThatTalksOutlastsABurstOfIdleConnections)
{
    WebSkt_Server server;
    Inbox inbox;
    inbox.attach(server);
    ASSERT_TRUE(server.reAction(QHostAddress(QHostAddress::LocalHost), 0));
    const QUrl url(QString("ws://127.0.0.1:%1").arg(server.serverPort()));
    QWebSocket poller;
    poller.open(url);
    ASSERT_TRUE(waitUntil([&] { return poller.state() == QAbstractSocket::ConnectedState; }));
    int sent = 0;
    const auto poll = [&] {
        poller.sendTextMessage(WebSkt_Core::serialize_Setup2_Json(message("/poll", {{"n", ++sent}})));
        return waitUntil([&] { return inbox.size() == sent; });
    };
    ASSERT_TRUE(poll());

    std::vector<std::unique_ptr<QWebSocket>> idle;
    QElapsedTimer sincePoll;
    sincePoll.start();
    while (idle.size() < 2 * WebSkt_Server::kMaxClients) {
        for (int i = 0; i < 16; ++i) {
            idle.push_back(std::make_unique<QWebSocket>());
            idle.back()->open(url);
        }
        TestEnv::spin(10);
        if (sincePoll.elapsed() >= 500) {
            ASSERT_TRUE(poll());
            sincePoll.restart();
        }
    }
    // Every handshake has ended, in a place or closed for a newer one.
    ASSERT_TRUE(waitUntil([&] {
        return std::none_of(idle.begin(), idle.end(), [](const auto& s) { return s->state() == QAbstractSocket::ConnectingState; });
    }, 10000));
    for (int i = 0; i < 2; ++i) {
        TestEnv::spin(500);
        ASSERT_TRUE(poll());
    }
    EXPECT_EQ(poller.state(), QAbstractSocket::ConnectedState);
    EXPECT_EQ(server.isCnted(), WebSkt_Server::kMaxClients);
}

TEST(WebSkt, ClientReachesAServerOnIPv6Loopback)
{
    WebSkt_Server server;
    Inbox inbox;
    inbox.attach(server);
    if (!server.reAction(QHostAddress(QHostAddress::LocalHostIPv6), 0))
        GTEST_SKIP() << "this machine has no IPv6 loopback";
    WebSkt_Client client;
    ASSERT_TRUE(connectClient(client, server.serverPort(), QHostAddress("::1")));
    client.sendTextMessage(message("/over-ipv6", {}));
    ASSERT_TRUE(waitUntil([&] { return inbox.size() == 1; }));
    EXPECT_EQ(inbox.at(0).url, "/over-ipv6");
}

TEST(WebSkt, FailedStartsLeaveTheObjectStopped)
{
    QTcpServer taken;
    ASSERT_TRUE(taken.listen(QHostAddress(QHostAddress::LocalHost), 0));
    WebSkt_Server server;
    EXPECT_FALSE(server.reAction(QHostAddress(QHostAddress::LocalHost), taken.serverPort()));
    EXPECT_FALSE(server.isRunning());

    // Nobody answers the WebSocket handshake here.
    WebSkt_Client client;
    EXPECT_FALSE(client.reAction(QHostAddress(QHostAddress::LocalHost), taken.serverPort()));
    EXPECT_FALSE(client.isRunning());
    EXPECT_EQ(client.isCnted(), 0);

    // Stopping from the worker's own thread is refused instead of waiting for itself.
    ASSERT_TRUE(server.reAction(QHostAddress(QHostAddress::LocalHost), 0));
    std::atomic<int> fromWorker{-1};
    QObject::connect(&server, &WebSkt_Core::sig_recv_message, &server,
                     [&](const CTask_FormData_WebSkt_Json&) {
                         server.deinitialize();
                         fromWorker = server.reAction(QHostAddress(QHostAddress::LocalHost), 0) ? 1 : 0;
                     },
                     Qt::DirectConnection);
    ASSERT_TRUE(connectClient(client, server.serverPort()));
    client.sendTextMessage(message("/x", {}));
    ASSERT_TRUE(waitUntil([&] { return fromWorker.load() >= 0; }));
    EXPECT_EQ(fromWorker.load(), 0);
    EXPECT_TRUE(server.isRunning());
}

// A client that sends but never reads would make the server hold every reply it cannot
// deliver; it is closed instead, and a reading client goes on being served.
TEST(WebSkt, ServerClosesAClientThatDoesNotReadItsReplies)
{
    if (!TransportTest::havePython("websockets"))
        GTEST_SKIP() << "python3-websockets is not installed";
    WebSkt_Server server;
    QObject::connect(&server, &WebSkt_Core::sig_recv_message, &server,
                     [&server](const CTask_FormData_WebSkt_Json& in) {
                         CTask_FormData_WebSkt_Json reply = message(in.url, in.data, in.client_handle);
                         server.sendTextMessage(reply);
                     },
                     Qt::DirectConnection);
    ASSERT_TRUE(server.reAction(QHostAddress(QHostAddress::LocalHost), 0));

    const QByteArray script = R"PY(
import asyncio, json, sys, websockets
async def main():
    async with websockets.connect("ws://127.0.0.1:" + sys.argv[1], max_size=None, max_queue=1) as ws:
        print("connected", flush=True)
        await asyncio.get_running_loop().run_in_executor(None, sys.stdin.readline)
        msg = json.dumps({"url": "/big", "user_agent": "py", "data": {"x": "y" * (1024 * 1024)}})
        try:
            for _ in range(48):
                await ws.send(msg)
        except websockets.ConnectionClosed:
            pass
        await asyncio.sleep(12)
asyncio.run(main())
)PY";
    QProcess python;
    python.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    python.start(TransportTest::kPython, {"-c", QString::fromUtf8(script), QString::number(server.serverPort())});
    ASSERT_TRUE(python.waitForReadyRead(10000));
    ASSERT_TRUE(waitUntil([&] { return server.isCnted() == 1; }));
    python.write("go\n");
    EXPECT_TRUE(waitUntil([&] { return server.isCnted() == 0; }, 8000));
    python.kill();
    python.waitForFinished(2000);

    WebSkt_Client reader;
    Inbox inbox;
    inbox.attach(reader);
    ASSERT_TRUE(connectClient(reader, server.serverPort()));
    reader.sendTextMessage(message("/small", {{"n", 1}}));
    ASSERT_TRUE(waitUntil([&] { return inbox.size() == 1; }));
    EXPECT_EQ(inbox.at(0).url, "/small");
}

// A server that stops reading makes the client drop what it cannot hand on, rather than hold
// every message sent meanwhile.
TEST(WebSkt, ClientDropsWhatAServerThatDoesNotReadCannotTake)
{
    if (!TransportTest::havePython("websockets"))
        GTEST_SKIP() << "python3-websockets is not installed";
    const QByteArray script = R"PY(
import asyncio, sys, websockets
# Reads nothing for three seconds, then whatever still comes: the first message may take long
# on a loaded machine, later ones stop at the first quiet two seconds.
async def handler(ws):
    await asyncio.sleep(3)
    count = 0
    try:
        while True:
            await asyncio.wait_for(ws.recv(), 2 if count else 15)
            count += 1
    except (asyncio.TimeoutError, websockets.ConnectionClosed):
        pass
    print(count, flush=True)
    done.set()
async def main():
    global done
    done = asyncio.Event()
    async with websockets.serve(handler, "127.0.0.1", 0, max_size=None, max_queue=1) as server:
        print(server.sockets[0].getsockname()[1], flush=True)
        await done.wait()
asyncio.run(asyncio.wait_for(main(), 28))
)PY";
    QProcess python;
    python.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    python.start(TransportTest::kPython, {"-c", QString::fromUtf8(script)});
    const quint16 port = quint16(TransportTest::nextLine(python, 10000).toUInt());
    ASSERT_NE(port, 0);

    WebSkt_Client client;
    ASSERT_TRUE(connectClient(client, port));
    const int sent = 48;
    for (int i = 0; i < sent; ++i)
        client.sendTextMessage(message("/big", {{"x", QString(1024 * 1024, QLatin1Char('y'))}}));
    const QString line = TransportTest::nextLine(python, 30000);
    const int received = line.toInt();
    EXPECT_GT(received, 0) << line.toStdString();
    EXPECT_LT(received, sent) << "all were held for a server that did not read";
    python.waitForFinished(5000);
}

// python3-websockets clients against the server probe: stamped echoes to the sender only;
// malformed and oversized messages cost only their own connection or nothing at all.
TEST(WebSktProbe, ServerAnswersPythonClientsToTheSenderOnly)
{
    if (!TransportTest::havePython("websockets"))
        GTEST_SKIP() << "python3-websockets is not installed";
    TransportTest::ProbeProcess probe;
    const QStringList words =
        probe.start(QStringLiteral("probe_websocket"), {"server", "--listen", "127.0.0.1:0"}).split(' ');
    ASSERT_EQ(words.size(), 3);
    ASSERT_EQ(words.at(0), "listening");

    const QByteArray script = R"PY(
import asyncio, json, sys, websockets
async def quiet(ws, seconds):
    try:
        return await asyncio.wait_for(ws.recv(), seconds)
    except asyncio.TimeoutError:
        return None
async def main():
    uri = "ws://127.0.0.1:" + sys.argv[1]
    out = {}
    async with websockets.connect(uri) as a, websockets.connect(uri) as b:
        await a.send("not json")
        await a.send(json.dumps({"url": "/x", "user_agent": "", "data": [1]}))
        await a.send(json.dumps({"url": "/x", "data": {}}))
        await a.send(json.dumps({"url": "/hello", "user_agent": "py", "data": {"v": 1}}))
        out["a"] = json.loads(await asyncio.wait_for(a.recv(), 5))
        out["b_got"] = await quiet(b, 0.5)
        big = websockets.connect(uri, max_size=None)
        async with big as c:
            try:
                await c.send("x" * (17 * 1024 * 1024))
                await asyncio.wait_for(c.recv(), 5)
                out["big"] = "answered"
            except websockets.ConnectionClosed as e:
                out["big"] = e.rcvd.code if e.rcvd else -1
        await b.send(json.dumps({"url": "/b", "user_agent": "pyb", "data": {}}))
        out["b"] = json.loads(await asyncio.wait_for(b.recv(), 5))
    print(json.dumps(out))
asyncio.run(main())
)PY";
    const QByteArray out = TransportTest::runPython(script, {words.at(2)});
    ASSERT_FALSE(out.isNull()) << "python peer failed";
    const QJsonObject result = QJsonDocument::fromJson(out).object();
    const QJsonObject a = result.value("a").toObject();
    EXPECT_EQ(a.value("url").toString(), "/hello");
    EXPECT_TRUE(a.value("user_agent").toString().startsWith("sc_webskt#")) << out.toStdString();
    EXPECT_EQ(a.value("data").toObject().value("echo").toObject().value("v").toInt(), 1);
    EXPECT_TRUE(result.value("b_got").isNull());
    EXPECT_EQ(result.value("big").toInt(), 1009);   // message too big
    EXPECT_EQ(result.value("b").toObject().value("url").toString(), "/b");
    EXPECT_EQ(probe.stop(), 0);
}

// The client probe against a python3-websockets server that answers with its own frames.
TEST(WebSktProbe, ClientSendsStdinLinesAndPrintsReplies)
{
    if (!TransportTest::havePython("websockets"))
        GTEST_SKIP() << "python3-websockets is not installed";
    const QByteArray script = R"PY(
import asyncio, json, sys, websockets
got = []
async def handler(ws):
    async for text in ws:
        got.append(json.loads(text))
        await ws.send("garbage")
        await ws.send(json.dumps({"url": "/re", "user_agent": "srv", "data": {"n": len(got)}}))
async def main():
    async with websockets.serve(handler, "127.0.0.1", 0) as server:
        print(server.sockets[0].getsockname()[1], flush=True)
        while len(got) < 2:
            await asyncio.sleep(0.05)
        await asyncio.sleep(0.3)
    print(json.dumps(got), flush=True)
asyncio.run(asyncio.wait_for(main(), 15))
)PY";
    QProcess python;
    python.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    python.start(TransportTest::kPython, {"-c", QString::fromUtf8(script)});
    const QString port = TransportTest::nextLine(python, 10000);
    ASSERT_GT(port.toInt(), 0);

    QProcess client;
    client.start(TransportTest::probePath("probe_websocket"), {"client", "127.0.0.1:" + port});
    ASSERT_TRUE(client.waitForStarted(5000));
    client.write(R"({"url":"/one","data":{"k":1}})" "\n" R"({"url":"/two","user_agent":"given","data":{}})" "\n");
    client.closeWriteChannel();
    ASSERT_TRUE(client.waitForFinished(15000));
    EXPECT_EQ(client.exitCode(), 0);
    const QList<QByteArray> lines = client.readAllStandardOutput().trimmed().split('\n');
    ASSERT_EQ(lines.size(), 3) << lines.join('|').toStdString();   // connected line and two replies
    EXPECT_TRUE(lines.at(0).startsWith("connected"));
    EXPECT_EQ(QJsonDocument::fromJson(lines.at(1)).object().value("url").toString(), "/re");

    ASSERT_TRUE(python.waitForFinished(15000));
    const QJsonArray got = QJsonDocument::fromJson(python.readAllStandardOutput().trimmed()).array();
    ASSERT_EQ(got.size(), 2);
    EXPECT_EQ(got.at(0).toObject().value("url").toString(), "/one");
    EXPECT_TRUE(got.at(0).toObject().value("user_agent").toString().startsWith("sc_webskt#"));
    EXPECT_EQ(got.at(1).toObject().value("user_agent").toString(), "given");
}
