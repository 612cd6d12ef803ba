// Clients that lie, stall or crowd a service, each through real sockets on loopback.
#include "netcore/httpmanager.h"
#include "netcore/sciexecobjrecv.h"
#include "netcore/sciexecobjsend.h"
#include "nettestutil.h"

#include <QElapsedTimer>
#include <QJsonDocument>
#include <QTcpSocket>
#include <gtest/gtest.h>
#include <memory>

namespace {

// "/echo" answers at once, "/ping" and "/hidden" count their calls, "/upload" answers with the
// size of the body it got and the bytes of the pictures in it.
class Service : public HttpManager {
public:
    explicit Service(const JXKC::TcpReactor::Limits& limits = {}) : HttpManager(JXKT_SERVER)
    {
        setReactorLimits(limits);
        url_routes.insert("/echo", [this](const CTask_FormData& request) { answer(request, {}); });
        url_routes.insert("/ping", [this](const CTask_FormData& request) {
            ++pings;
            answer(request, {{"pong", true}});
        });
        url_routes.insert("/hidden", [this](const CTask_FormData& request) {
            ++hidden;
            answer(request, {});
        });
        url_routes.insert("/upload", [this](const CTask_FormData& request) {
            qint64 pictureBytes = 0;
            for (const cv::Mat& picture : request.images)
                pictureBytes += qint64(picture.total() * picture.elemSize());
            answer(request, {{"size", request.body.size()}, {"picture_bytes", pictureBytes}});
        });
        EXPECT_TRUE(startReactor(QHostAddress::LocalHost, 0, 4));
    }
    JXKC::TcpReactor& held() { return *reactor; }

    int pings = 0;
    int hidden = 0;

private:
    void answer(const CTask_FormData& request, const QJsonObject& result)
    {
        CTask_FormData reply;
        reply.uuid = request.uuid;
        reply.session_id = request.session_id;
        reply.json = result;
        sendAsync(reply);
    }
};

std::unique_ptr<QTcpSocket> dial(quint16 port)
{
    auto socket = std::make_unique<QTcpSocket>();
    socket->connectToHost(QHostAddress::LocalHost, port);
    EXPECT_TRUE(socket->waitForConnected(2000));
    return socket;
}

QByteArray message(const QByteArray& url, const QByteArray& agent, const QByteArray& body = QByteArray(),
                   const QByteArray& extra = QByteArray())
{
    return "POST " + url + " HTTP/1.1\r\nUser-Agent: " + agent + "\r\n" + extra +
           "Content-Length: " + QByteArray::number(body.size()) + "\r\n\r\n" + body;
}

QList<QPair<QByteArray, QByteArray>> readReplies(QTcpSocket& socket, int count, int timeoutMs = 3000)
{
    return NetTest::splitReplies(NetTest::readUntil(
        socket, [count](const QByteArray& data) { return NetTest::splitReplies(data).size() >= count; },
        timeoutMs));
}

// Everything the peer sends until it closes the connection.
QByteArray readToClose(QTcpSocket& socket, int timeoutMs = 3000)
{
    return NetTest::readUntil(
        socket, [&](const QByteArray&) { return socket.state() == QAbstractSocket::UnconnectedState; }, timeoutMs);
}

QJsonObject bodyOf(const QPair<QByteArray, QByteArray>& reply)
{
    return QJsonDocument::fromJson(reply.second).object();
}

// A multipart body the reader refuses, then a plain request: the first gets 400 with msg, the
// second its answer on the same connection.
void expectMultipartRefusedThenServed(QTcpSocket& socket, const QByteArray& parts, const QString& msg,
                                      int timeoutMs = 3000)
{
    socket.write(message("/upload", "m", parts, "Content-Type: multipart/form-data;boundary=" + kTaskBoundary + "\r\n") +
                 message("/echo", "after"));
    const auto replies = readReplies(socket, 2, timeoutMs);
    ASSERT_EQ(replies.size(), 2);
    EXPECT_TRUE(replies.at(0).first.startsWith("HTTP/1.1 400 Bad Request\r\n"));
    EXPECT_EQ(bodyOf(replies.at(0)).value("msg").toString(), msg);
    EXPECT_TRUE(replies.at(1).first.contains("User-Agent: after"));
}

// A JSON body sent many times on one connection: each is answered 400 with msg, and together
// they leave the heap as it was but for slack, after a few first ones have made what room they
// make.
void expectRefusedAtNoCost(QTcpSocket& socket, const QByteArray& body, const QString& msg, int count, qint64 slack)
{
    const QByteArray request = message("/echo", "refused", body, "Content-Type: application/json\r\n");
    const auto exchange = [&](int times) {
        socket.write(request.repeated(times));
        return readReplies(socket, times, 30000);
    };
    ASSERT_EQ(exchange(count / 10).size(), count / 10);
    const qint64 before = TestEnv::heapBytes();
    const auto replies = exchange(count);
    const qint64 grown = TestEnv::heapBytes() - before;
    ASSERT_EQ(replies.size(), count);
    EXPECT_TRUE(replies.last().first.startsWith("HTTP/1.1 400 Bad Request\r\n"));
    EXPECT_EQ(bodyOf(replies.last()).value("msg").toString(), msg);
    EXPECT_LT(grown, slack);
}

}  // namespace

TEST(Hostile, AReplyNeverRunsAHandlerAndABadRequestGets400)
{
    Service service;
    auto first = dial(service.serverPort());
    // Its body does not decode; its uuid names a route.
    first->write(message("/nowhere", "/ping", "{", "Content-Type: application/json\r\n"));
    auto replies = readReplies(*first, 1);
    ASSERT_EQ(replies.size(), 1);
    EXPECT_TRUE(replies.at(0).first.startsWith("HTTP/1.1 400 Bad Request\r\n"));
    EXPECT_EQ(bodyOf(replies.at(0)).value("code").toInt(), -1);
    EXPECT_EQ(bodyOf(replies.at(0)).value("msg").toString(), "invalid json");

    // A second connection answers with that uuid, then asks something real.
    auto second = dial(service.serverPort());
    second->write("HTTP/1.1 200 OK\r\nUser-Agent: /ping\r\nContent-Length: 0\r\n\r\n" + message("/echo", "b2"));
    replies = readReplies(*second, 1);
    ASSERT_EQ(replies.size(), 1);
    EXPECT_TRUE(replies.at(0).first.contains("User-Agent: b2"));
    EXPECT_EQ(service.pings, 0);
    // A reply this side sent is no request of its own: the peer cannot answer it back, and a
    // flood of requests leaves nothing waiting in the task table.
    EXPECT_FALSE(service.held().isAliveTcpTask("b2"));

    // The first connection still serves.
    first->write(message("/echo", "a2"));
    replies = readReplies(*first, 1);
    ASSERT_EQ(replies.size(), 1);
    EXPECT_TRUE(replies.at(0).first.startsWith("HTTP/1.1 200 OK\r\n"));
    EXPECT_EQ(service.held().heldBodyBytes(), 0);
}

TEST(Hostile, ContentLengthMustBeOnePlainNumber)
{
    Service service;
    const QByteArray hidden = message("/hidden", "h");
    for (const QByteArray& header : QList<QByteArray>{
             "Content-Length: 99999999999999999999\r\n", "Content-Length: +7\r\n", "Content-Length: 0 7\r\n",
             "Content-Length: -1\r\n", "Content-Length: 7x\r\n", "Content-Length:\r\n",
             "Content-Length: 3\r\nContent-Length: 4\r\n"}) {
        SCOPED_TRACE(header.constData());
        auto socket = dial(service.serverPort());
        socket->write("POST /echo HTTP/1.1\r\nUser-Agent: bad\r\n" + header + "\r\n" + hidden);
        const auto replies = NetTest::splitReplies(readToClose(*socket));
        EXPECT_EQ(socket->state(), QAbstractSocket::UnconnectedState);
        ASSERT_EQ(replies.size(), 1);
        EXPECT_TRUE(replies.at(0).first.startsWith("HTTP/1.1 400 Bad Request\r\n"));
        EXPECT_TRUE(replies.at(0).first.contains("User-Agent: bad"));
        EXPECT_TRUE(bodyOf(replies.at(0)).value("msg").toString().contains("Content-Length"));
    }
    EXPECT_EQ(service.hidden, 0);

    // A peer still sending when it is refused reads its answer all the same: its bytes are not
    // met with a reset that would destroy the answer unread.
    auto sender = dial(service.serverPort());
    sender->write("POST /echo HTTP/1.1\r\nUser-Agent: more\r\nContent-Length: 99999999999999999999\r\n\r\n");
    sender->write(QByteArray(8 * 1024 * 1024, 'x'));
    const auto answer = NetTest::splitReplies(readToClose(*sender, 10000));
    ASSERT_EQ(answer.size(), 1);
    EXPECT_TRUE(answer.at(0).first.startsWith("HTTP/1.1 400 Bad Request\r\n"));

    // The same length twice, or with leading zeros, is still one length. One request at a
    // time: a second for the same url while the first is served would be answered 503.
    auto socket = dial(service.serverPort());
    socket->write("POST /upload HTTP/1.1\r\nContent-Length: 3\r\nContent-Length: 3\r\n\r\nabc");
    auto replies = readReplies(*socket, 1);
    ASSERT_EQ(replies.size(), 1);
    EXPECT_EQ(bodyOf(replies.at(0)).value("result").toObject().value("size").toInt(), 3);
    socket->write("POST /upload HTTP/1.1\r\nContent-Length: 0000000002\r\n\r\nde");
    replies = readReplies(*socket, 1);
    ASSERT_EQ(replies.size(), 1);
    EXPECT_EQ(bodyOf(replies.at(0)).value("result").toObject().value("size").toInt(), 2);
}

TEST(Hostile, BodyBytesHeldAtOnceStayWithinTheReactorsBudget)
{
    JXKC::TcpReactor::Limits limits;
    limits.body_budget_bytes = 1024 * 1024;
    Service service(limits);
    const QByteArray head = "POST /upload HTTP/1.1\r\nContent-Length: 700000\r\n\r\n";

    // Announcing a body holds nothing until its bytes come: a few peers that announce much and
    // send little cannot lock everyone else's bodies out.
    auto teaser = dial(service.serverPort());
    teaser->write(head + "0123456789");
    ASSERT_TRUE(TestEnv::waitUntil([&] { return service.held().heldBodyBytes() == 10; }));
    auto first = dial(service.serverPort());
    first->write(head + QByteArray(700000, 'a'));
    auto done = readReplies(*first, 1);
    ASSERT_EQ(done.size(), 1);
    EXPECT_EQ(bodyOf(done.at(0)).value("result").toObject().value("size").toInt(), 700000);
    ASSERT_TRUE(TestEnv::waitUntil([&] { return service.held().heldBodyBytes() == 10; }));

    auto slow = dial(service.serverPort());
    slow->write(head + QByteArray(600000, 'a'));
    ASSERT_TRUE(TestEnv::waitUntil([&] { return service.held().heldBodyBytes() == 600010; }));

    // Bytes that would not fit are refused and their connection closed.
    auto greedy = dial(service.serverPort());
    greedy->write(head + QByteArray(500000, 'g'));
    const auto refused = NetTest::splitReplies(readToClose(*greedy));
    ASSERT_EQ(refused.size(), 1);
    EXPECT_TRUE(refused.at(0).first.startsWith("HTTP/1.1 413 "));

    // A client without body is served meanwhile.
    auto normal = dial(service.serverPort());
    normal->write(message("/echo", "n"));
    EXPECT_EQ(readReplies(*normal, 1).size(), 1);

    // A finished message gives its bytes back, and so does a connection that goes.
    slow->write(QByteArray(100000, 'b'));
    done = readReplies(*slow, 1);
    ASSERT_EQ(done.size(), 1);
    EXPECT_EQ(bodyOf(done.at(0)).value("result").toObject().value("size").toInt(), 700000);
    teaser->abort();
    ASSERT_TRUE(TestEnv::waitUntil([&] { return service.held().heldBodyBytes() == 0; }));
    normal->write(head + QByteArray(700000, 'c'));
    EXPECT_EQ(readReplies(*normal, 1).size(), 1);
}

TEST(Hostile, StalledHeadersAndBodiesAreCutOffButIdleConnectionsStay)
{
    JXKC::TcpReactor::Limits limits;
    limits.header_timeout_ms = 300;
    limits.body_stall_timeout_ms = 300;
    Service service(limits);
    NetTest::LogCapture log;

    auto idle = dial(service.serverPort());
    idle->write(message("/echo", "i1"));
    ASSERT_EQ(readReplies(*idle, 1).size(), 1);

    // One header byte every 100 ms never ends the header in time, though bytes keep coming.
    auto dribbler = dial(service.serverPort());
    const QByteArray header = message("/echo", "dribble");
    auto normal = dial(service.serverPort());
    QElapsedTimer timer;
    timer.start();
    int sent = 0;
    while (dribbler->state() == QAbstractSocket::ConnectedState && sent < header.size()) {
        dribbler->write(header.mid(sent++, 1));
        TestEnv::spin(100);
        if (sent == 2) {
            normal->write(message("/echo", "meanwhile"));
            EXPECT_EQ(readReplies(*normal, 1, 1000).size(), 1);
        }
    }
    EXPECT_EQ(dribbler->state(), QAbstractSocket::UnconnectedState);
    EXPECT_LT(sent, header.size());
    EXPECT_FALSE(log.lines(QtWarningMsg).filter("header not complete in time").isEmpty());

    // A body that stops arriving.
    auto staller = dial(service.serverPort());
    staller->write("POST /upload HTTP/1.1\r\nContent-Length: 10\r\n\r\n12345");
    readToClose(*staller);
    EXPECT_EQ(staller->state(), QAbstractSocket::UnconnectedState);
    EXPECT_FALSE(log.lines(QtWarningMsg).filter("body stopped arriving").isEmpty());

    // The idle keep-alive connection saw all of that and still serves.
    EXPECT_EQ(idle->state(), QAbstractSocket::ConnectedState);
    idle->write(message("/echo", "i2"));
    EXPECT_EQ(readReplies(*idle, 1).size(), 1);
}

TEST(Hostile, ANewConnectionBeyondTheCapClosesTheOneIdleLongest)
{
    JXKC::TcpReactor::Limits limits;
    limits.max_sessions = 3;
    Service service(limits);
    std::vector<std::unique_ptr<QTcpSocket>> sockets;
    for (int i = 0; i < 3; ++i) {
        sockets.push_back(dial(service.serverPort()));
        ASSERT_TRUE(TestEnv::waitUntil([&] { return service.held().getAliveSession().size() == i + 1; }));
    }
    TestEnv::spin(20);
    // The first stays quiet; the other two talk.
    for (int i = 1; i < 3; ++i) {
        sockets[i]->write(message("/echo", "busy"));
        ASSERT_EQ(readReplies(*sockets[i], 1).size(), 1);
    }
    auto fresh = dial(service.serverPort());
    readToClose(*sockets[0]);
    EXPECT_EQ(sockets[0]->state(), QAbstractSocket::UnconnectedState);
    fresh->write(message("/echo", "fresh"));
    EXPECT_EQ(readReplies(*fresh, 1).size(), 1);
    EXPECT_EQ(sockets[1]->state(), QAbstractSocket::ConnectedState);
    EXPECT_EQ(sockets[2]->state(), QAbstractSocket::ConnectedState);
    EXPECT_EQ(service.held().getAliveSession().size(), 3);
}

// Sessions in use never give way: while every session was read within busy_ms, a new
// connection is refused and the others go on being served.
TEST(Hostile, ANewConnectionIsRefusedWhileEverySessionIsInUse)
{
    JXKC::TcpReactor::Limits limits;
    limits.max_sessions = 3;
    limits.busy_ms = 60000;
    Service service(limits);
    std::vector<std::unique_ptr<QTcpSocket>> sockets;
    for (int i = 0; i < 3; ++i) {
        sockets.push_back(dial(service.serverPort()));
        sockets.back()->write(message("/echo", "busy"));
        ASSERT_EQ(readReplies(*sockets.back(), 1).size(), 1);
    }
    auto fresh = dial(service.serverPort());
    readToClose(*fresh);
    EXPECT_EQ(fresh->state(), QAbstractSocket::UnconnectedState);
    for (auto& socket : sockets) {
        socket->write(message("/echo", "still"));
        EXPECT_EQ(readReplies(*socket, 1).size(), 1);
        EXPECT_EQ(socket->state(), QAbstractSocket::ConnectedState);
    }
    EXPECT_EQ(service.held().getAliveSession().size(), 3);
}

// A peer sending refused requests as fast as it can costs a line a second and a count of the
// rest, not a line each; another peer's refusal still gets its own line.
TEST(Hostile, RefusalsOfOnePeerAreLoggedOnceASecondWithACountOfTheRest)
{
    Service service;
    NetTest::LogCapture log;
    constexpr int kRefused = 300;
    QByteArray pipeline;
    for (int i = 0; i < kRefused; ++i)
        pipeline += message("/flood", "f" + QByteArray::number(i), "{", "Content-Type: application/json\r\n");
    QElapsedTimer clock;
    clock.start();
    auto flooder = dial(service.serverPort());
    flooder->write(pipeline);
    ASSERT_EQ(readReplies(*flooder, kRefused, 30000).size(), kRefused);
    const qint64 seconds = clock.elapsed() / 1000;

    QTcpSocket other;
    ASSERT_TRUE(other.bind(QHostAddress("127.0.0.2")));
    other.connectToHost(QHostAddress::LocalHost, service.serverPort());
    ASSERT_TRUE(other.waitForConnected(2000));
    other.write(message("/other", "o", "{", "Content-Type: application/json\r\n"));
    ASSERT_EQ(readReplies(other, 1).size(), 1);

    const auto leftOut = [&] { return log.leftOut("invalid json from 127.0.0.1"); };
    const int written = log.lines(QtWarningMsg).filter("json error: /flood").size();
    EXPECT_TRUE(TestEnv::waitUntil([&] { return written + leftOut() == kRefused; }, 5000)) << written << " + " << leftOut();
    EXPECT_LE(written, seconds + 2);
    EXPECT_EQ(log.lines(QtWarningMsg).filter("json error: /other").size(), 1);
}

TEST(Hostile, ManyPipelinedRequestsAllGetTheirRepliesInOrder)
{
    // Far more than a session keeps waiting for replies at once: reading pauses and resumes.
    Service service;
    auto socket = dial(service.serverPort());
    constexpr int kRequests = 1000;
    QByteArray pipeline;
    for (int i = 0; i < kRequests; ++i)
        pipeline += message(i % 7 == 3 ? "/missing" : "/echo", "r" + QByteArray::number(i));
    socket->write(pipeline);
    const auto replies = readReplies(*socket, kRequests, 15000);
    ASSERT_EQ(replies.size(), kRequests);
    for (int i = 0; i < kRequests; ++i)
        ASSERT_TRUE(replies.at(i).first.contains("User-Agent: r" + QByteArray::number(i) + "\r\n")) << i;
}

TEST(Hostile, APeerThatDoesNotReadStopsBeingReadAndIsServedWhenItReads)
{
    // Its replies would otherwise pile up unsent in the service's memory without end.
    Service service;
    QTcpSocket socket;
    socket.setSocketOption(QAbstractSocket::ReceiveBufferSizeSocketOption, 4096);
    socket.setReadBufferSize(4096);   // the test's own event loop must not read for it
    socket.connectToHost(QHostAddress::LocalHost, service.serverPort());
    ASSERT_TRUE(socket.waitForConnected(2000));
    constexpr int kRequests = 100000;   // some 16 MB of replies, far beyond the kernel's buffers
    QByteArray pipeline;
    for (int i = 0; i < kRequests; ++i)
        pipeline += message("/ping", QByteArray::number(i));
    socket.write(pipeline);
    // Waited for until the service stops serving, however long that takes on a loaded machine:
    // a service that never stops reading stops too, once it has served every request.
    for (int seen = -1; seen != service.pings;) {
        seen = service.pings;
        TestEnv::spin(300);
    }
    EXPECT_LT(service.pings, kRequests / 2);

    // Once it reads, every request gets its reply (200, or 503 while "/ping" is busy), in order.
    socket.setReadBufferSize(0);
    QByteArray stream;
    int count = 0;
    int from = 0;
    // Given up only when replies stop coming: a loaded machine serves them slower, not fewer.
    QElapsedTimer sinceLastReply;
    sinceLastReply.start();
    while (count < kRequests && sinceLastReply.elapsed() < 15000) {
        TestEnv::spin(5);
        stream += socket.readAll();
        for (int at; (at = stream.indexOf("HTTP/1.1 ", from)) >= 0; from = at + 1) {
            ++count;
            sinceLastReply.restart();
        }
    }
    const auto replies = NetTest::splitReplies(stream);
    ASSERT_EQ(replies.size(), kRequests);
    EXPECT_TRUE(replies.last().first.contains("User-Agent: " + QByteArray::number(kRequests - 1) + "\r\n"));
}

TEST(Hostile, DecodingNeverMultipliesWhatAPeerSends)
{
    // A JSON text decodes to many times its size: one too large to be a request is refused
    // before its bytes are gathered.
    Service service;
    auto socket = dial(service.serverPort());
    socket->write("POST /upload HTTP/1.1\r\nUser-Agent: j\r\nContent-Type: application/json\r\n"
                  "Content-Length: 9000000\r\n\r\n[");
    const auto refused = NetTest::splitReplies(readToClose(*socket));
    ASSERT_EQ(refused.size(), 1);
    EXPECT_TRUE(refused.at(0).first.startsWith("HTTP/1.1 413 "));

    // So does a multipart body of countless tiny parts; the connection serves on.
    QByteArray parts;
    for (int i = 0; i < 5000; ++i)
        parts += kTaskBoundary + "\r\nContent-Disposition: form-data; name=\"p" + QByteArray::number(i) + "\"\r\n\r\nx\r\n";
    parts += kTaskBoundary + "\r\n";
    socket = dial(service.serverPort());
    expectMultipartRefusedThenServed(*socket, parts, "too many parts");

    // A multipart body is held to the bound of a JSON body, and refused on its header alone.
    socket = dial(service.serverPort());
    socket->write("POST /upload HTTP/1.1\r\nUser-Agent: m\r\nContent-Type: multipart/form-data;boundary=" +
                  kTaskBoundary + "\r\nContent-Length: " +
                  QByteArray::number(SCI_ExecObj_Recv::kMaxMultipartBytes + 1) + "\r\n\r\n");
    const auto tooLarge = NetTest::splitReplies(readToClose(*socket));
    ASSERT_EQ(tooLarge.size(), 1);
    EXPECT_TRUE(tooLarge.at(0).first.startsWith("HTTP/1.1 413 "));

    // Within it, the largest picture the panel makes passes whole, and a part one byte larger
    // is refused; the connection serves on.
    CTask_FormData picture;
    picture.url = "/upload";
    picture.uuid = "screen";
    picture.images.insert("screen", cv::Mat(1080, 1920, CV_8UC3, cv::Scalar(1, 2, 3)));
    socket = dial(service.serverPort());
    SCI_ExecObj_Send(picture).SerializeWrite(socket.get());
    const auto passed = readReplies(*socket, 1, 15000);
    ASSERT_EQ(passed.size(), 1);
    EXPECT_EQ(bodyOf(passed.at(0)).value("result").toObject().value("picture_bytes").toInt(), 1920 * 1080 * 3);
    const QByteArray oversized = kTaskBoundary +
                                 "\r\nContent-Disposition: form-data; name=\"p\"\r\n"
                                 "Content-Type: application/octet-stream\r\n\r\n" +
                                 QByteArray(int(SCI_ExecObj_Recv::kMaxPartBytes) + 1, 'p') + "\r\n" + kTaskBoundary +
                                 "\r\n";
    expectMultipartRefusedThenServed(*socket, oversized, "part too large", 15000);
}

TEST(Hostile, BodiesThatRepeatANameAreRefusedAndCostNothing)
{
    // The decoder Qt has keeps the value of every repeated array or object member for good.
    QByteArray body = R"({"url":"/a")";
    for (int i = 0; i < 100; ++i)
        body += R"(,"data":{"k":[1]})";
    body += "}";
    Service service;
    auto socket = dial(service.serverPort());
    expectRefusedAtNoCost(*socket, body, "duplicate key", 1000, 4 * 1024 * 1024);

    // A JSON part is refused the same way; the connection serves on.
    const QByteArray part = kTaskBoundary + "\r\nContent-Disposition: form-data; name=\"p\"\r\n"
                            "Content-Type: application/json\r\n\r\n" + body + "\r\n" + kTaskBoundary + "\r\n";
    expectMultipartRefusedThenServed(*socket, part, "duplicate key");
}

TEST(Hostile, NamesQtTakesForOneAreRefusedAndCostNothing)
{
    // Pairs of names whose bytes differ and which Qt merges all the same, keeping the value of
    // one of them for good: an unpaired surrogate and U+FFFD, one length differing after a raw
    // NUL, a backslash before a high byte and the surrogates Qt turns it into.
    const QByteArray array = "[" + QByteArray("1,").repeated(2000) + "1]";
    const QList<QPair<QByteArray, QByteArray>> names = {{"\\ud800", "\xef\xbf\xbd"},
                                                        {QByteArray("a\0b", 3), QByteArray("a\0c", 3)},
                                                        {"\\\xc3" "a", "\\ud7bf\\udfc3a"}};
    Service service;
    auto socket = dial(service.serverPort());
    for (const auto& pair : names) {
        SCOPED_TRACE(pair.first.toPercentEncoding().constData());
        const QByteArray body = "{\"" + pair.first + "\":" + array + ",\"" + pair.second + "\":" + array + "}";
        expectRefusedAtNoCost(*socket, body, "invalid json", 200, 2 * 1024 * 1024);
    }
}
