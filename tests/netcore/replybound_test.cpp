// Replies that peers do not read: what the transport holds for them stays bounded, big work is
// refused with 503 before it starts, a peer that reads nothing loses its connection, and a
// reader, however slow, gets every byte. Real sockets on loopback throughout.
#include "netcore/httpmanager.h"
#include "netcore/sciexecobjsend.h"
#include "nettestutil.h"

#include <QJsonDocument>
#include <QTcpSocket>
#include <QTimer>
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <vector>

namespace {

constexpr qint64 kMiB = 1024 * 1024;

// The "result" of a big reply: a JSON text of exactly `bytes` bytes whose content says where
// each byte belongs, so a byte lost or repeated shows.
QByteArray bigResult(qint64 bytes)
{
    QByteArray text(int(bytes), 'x');
    text[0] = '"';
    for (int i = 1; i < text.size() - 1; ++i)
        text[i] = "0123456789abcdefghijklmnopqrstuv"[(i / 7) % 32];
    text[text.size() - 1] = '"';
    return text;
}

QByteArray wrapped(const QByteArray& result)
{
    return R"({"code":0,"msg":"OK","result":)" + result + "}";
}

// "/big" builds a reply of `bigBytes` on a work thread, reserved beforehand; "/echo" answers at
// once with a small one.
class Service : public HttpManager {
public:
    Service(const JXKC::TcpReactor::Limits& limits, qint64 bigBytes) : HttpManager(JXKT_SERVER)
    {
        setReactorLimits(limits);
        url_routes.insert("/big", [this, bigBytes](const CTask_FormData& request) {
            answerBounded(request, [bigBytes] { return bigBytes; },
                          [request, bigBytes](const std::atomic<bool>&) {
                              CTask_FormData reply;
                              reply.uuid = request.uuid;
                              reply.session_id = request.session_id;
                              reply.request_seq = request.request_seq;
                              reply.content_type = "application/json";
                              reply.body = bigResult(bigBytes);
                              return reply;
                          });
        });
        url_routes.insert("/echo", [this](const CTask_FormData& request) {
            CTask_FormData reply;
            reply.uuid = request.uuid;
            reply.session_id = request.session_id;
            reply.json = {{"echo", true}};
            sendAsync(reply);
        });
        EXPECT_TRUE(startReactor(QHostAddress::LocalHost, 0, 4));
    }
    ~Service() override { stopService(); }

    JXKC::TcpReactor& held() { return *reactor; }
};

QByteArray message(const QByteArray& url, const QByteArray& agent)
{
    return "POST " + url + " HTTP/1.1\r\nUser-Agent: " + agent + "\r\nContent-Length: 0\r\n\r\n";
}

// A client whose Qt socket reads ahead at most `readBuffer` bytes (0: without bound).
std::unique_ptr<QTcpSocket> dial(quint16 port, qint64 readBuffer = 0)
{
    auto socket = std::make_unique<QTcpSocket>();
    socket->setReadBufferSize(readBuffer);
    socket->connectToHost(QHostAddress::LocalHost, port);
    EXPECT_TRUE(socket->waitForConnected(2000));
    return socket;
}

// A client that will stop reading: the kernel and Qt hold next to nothing for it, so what it
// does not read stays with the service. (The kernel's option only takes on a connected socket.)
std::unique_ptr<QTcpSocket> dialSilent(quint16 port)
{
    auto socket = dial(port, 4096);
    socket->setSocketOption(QAbstractSocket::ReceiveBufferSizeSocketOption, 4096);
    return socket;
}

// The header of the next reply (the bytes up to its empty line), reading only that far: the
// body is left unread. Empty when none came in time.
QByteArray readHeader(QTcpSocket& socket, QByteArray& pending, int timeoutMs = 30000)
{
    const QByteArray data = NetTest::readUntil(
        socket, [&pending](const QByteArray& bytes) { return (pending + bytes).contains("\r\n\r\n"); }, timeoutMs);
    pending += data;
    const int end = pending.indexOf("\r\n\r\n");
    if (end < 0)
        return QByteArray();
    const QByteArray header = pending.left(end + 4);
    pending.remove(0, end + 4);
    return header;
}

qint64 contentLength(const QByteArray& header)
{
    for (const QByteArray& line : header.split('\n')) {
        if (line.startsWith("Content-Length:"))
            return line.mid(15).trimmed().toLongLong();
    }
    return -1;
}

// A client that asks for "/big" again after every 503 and reads nothing once its answer comes.
// Returns the header of that answer, or of the last 503 after `tries`.
QByteArray askUntilAnswered(QTcpSocket& socket, QByteArray& pending, int tries)
{
    QByteArray header;
    for (int i = 0; i < tries; ++i) {
        socket.write(message("/big", "big"));
        header = readHeader(socket, pending);
        if (!header.startsWith("HTTP/1.1 503 "))
            return header;
        pending.remove(0, int(contentLength(header)));   // the 503's own small body
    }
    return header;
}

// Notes the largest figure the reactor reported while it lives.
struct HeldPeak {
    explicit HeldPeak(JXKC::TcpReactor& reactor)
    {
        QObject::connect(&timer, &QTimer::timeout, [this, &reactor] { peak = std::max(peak, reactor.heldReplyBytes()); });
        timer.start(5);
    }
    QTimer timer;
    qint64 peak = 0;
};

}  // namespace

TEST(ReplyBound, NonReadersOfBigRepliesStayWithinTheBudgetWhileAPollerIsAnswered)
{
    JXKC::TcpReactor::Limits limits;
    limits.reply_budget_bytes = 20 * kMiB;
    limits.session_reply_bytes = 12 * kMiB;
    constexpr qint64 kBig = 8 * kMiB;
    Service service(limits, kBig);
    HeldPeak held(service.held());
    const qint64 heapBefore = TestEnv::heapBytes();

    // Six clients want 8 MiB each and read nothing of it; two fit.
    constexpr int kClients = 6;
    std::vector<std::unique_ptr<QTcpSocket>> clients;
    std::vector<QByteArray> pending(kClients);
    std::vector<bool> done(kClients, false);
    auto poller = dial(service.serverPort());
    int answered = 0;
    for (int round = 0; round < 3; ++round) {
        for (int i = 0; i < kClients; ++i) {
            if (round == 0)
                clients.push_back(dialSilent(service.serverPort()));
            QTcpSocket& client = *clients[i];
            if (done[i])
                continue;
            const QByteArray header = askUntilAnswered(client, pending[i], 1);
            ASSERT_FALSE(header.isEmpty()) << "client " << i << " got no answer at all";
            if (header.startsWith("HTTP/1.1 503 ")) {
                // Refused before the work, as a busy route is refused.
                EXPECT_TRUE(header.contains("Content-Length:"));
            } else {
                EXPECT_TRUE(header.startsWith("HTTP/1.1 200 OK\r\n"));
                EXPECT_EQ(contentLength(header), wrapped(bigResult(kBig)).size());
                done[i] = true;
                ++answered;
            }
            // A client that polls on a connection of its own is answered all the while.
            poller->write(message("/echo", "poll"));
            QByteArray polled;
            const QByteArray pollHeader = readHeader(*poller, polled, 10000);
            ASSERT_TRUE(pollHeader.startsWith("HTTP/1.1 200 OK\r\n")) << pollHeader.constData();
            NetTest::readUntil(*poller, [&](const QByteArray& bytes) {
                return polled.size() + bytes.size() >= contentLength(pollHeader);
            });
        }
    }
    EXPECT_EQ(answered, 2);
    EXPECT_LE(held.peak, limits.reply_budget_bytes + kClients * Session::kMaxUnsentBytes);
    EXPECT_GE(held.peak, 2 * kBig);
    // What the heap holds tells the same, whatever the reactor counts: the two answers, with
    // room for the rest of the test's and Qt's own.
    EXPECT_LT(TestEnv::heapBytes() - heapBefore, limits.reply_budget_bytes + 8 * kMiB);

    // Their going gives it all back.
    clients.clear();
    EXPECT_TRUE(TestEnv::waitUntil([&] { return service.held().heldReplyBytes() == 0; }, 30000))
        << service.held().heldReplyBytes();
    EXPECT_TRUE(TestEnv::waitUntil([&] { return TestEnv::heapBytes() - heapBefore < 4 * kMiB; }, 30000))
        << TestEnv::heapBytes() - heapBefore;
}

// The oldest client refused for want of room keeps a claim on what frees up: a newcomer does not
// take it first, so a client that asks again is served in the end however many others ask.
TEST(ReplyBound, WhatFreesUpGoesToTheClientRefusedFirst)
{
    JXKC::TcpReactor::Limits limits;
    limits.reply_budget_bytes = 20 * kMiB;
    constexpr qint64 kBig = 8 * kMiB;
    Service service(limits, kBig);

    QByteArray pendingA, pendingB, pendingC, pendingD;
    auto a = dialSilent(service.serverPort());
    auto b = dialSilent(service.serverPort());
    ASSERT_TRUE(askUntilAnswered(*a, pendingA, 1).startsWith("HTTP/1.1 200 "));
    ASSERT_TRUE(askUntilAnswered(*b, pendingB, 1).startsWith("HTTP/1.1 200 "));

    auto c = dialSilent(service.serverPort());
    ASSERT_TRUE(askUntilAnswered(*c, pendingC, 1).startsWith("HTTP/1.1 503 "));
    a.reset();
    ASSERT_TRUE(TestEnv::waitUntil([&] { return service.held().heldReplyBytes() < 2 * kBig; }, 30000));

    // There is room for one more now: it is kept for the client that was refused.
    auto d = dialSilent(service.serverPort());
    EXPECT_TRUE(askUntilAnswered(*d, pendingD, 1).startsWith("HTTP/1.1 503 "));
    EXPECT_TRUE(askUntilAnswered(*c, pendingC, 1).startsWith("HTTP/1.1 200 "));
}

TEST(ReplyBound, APeerThatReadsNothingIsClosedWhileASlowReaderGetsEveryByte)
{
    JXKC::TcpReactor::Limits limits;
    limits.reply_stall_timeout_ms = 3000;
    constexpr qint64 kBig = 8 * kMiB;
    Service service(limits, kBig);
    NetTest::LogCapture log;
    const QByteArray expected = wrapped(bigResult(kBig));

    // It asks, sees its answer begin, and reads no more.
    QByteArray silentPending;
    auto silent = dialSilent(service.serverPort());
    ASSERT_TRUE(askUntilAnswered(*silent, silentPending, 1).startsWith("HTTP/1.1 200 "));
    ASSERT_EQ(service.held().getAliveSession().size(), 1);

    // This one takes at most 64 KiB at a time with pauses far shorter than the limit, and so
    // goes on being served, however long the whole reply takes.
    QByteArray body;
    auto slow = dial(service.serverPort(), 64 * 1024);
    const QByteArray header = askUntilAnswered(*slow, body, 1);
    ASSERT_TRUE(header.startsWith("HTTP/1.1 200 "));
    ASSERT_EQ(contentLength(header), expected.size());
    QElapsedTimer sinceProgress;
    sinceProgress.start();
    while (body.size() < expected.size() && slow->state() == QAbstractSocket::ConnectedState &&
           sinceProgress.elapsed() < 30000) {
        TestEnv::spin(50);
        const QByteArray bytes = slow->readAll();
        if (!bytes.isEmpty())
            sinceProgress.restart();
        body += bytes;
    }
    EXPECT_EQ(slow->state(), QAbstractSocket::ConnectedState);
    ASSERT_EQ(body.size(), expected.size());
    EXPECT_TRUE(body == expected);

    // The silent one's connection went, and what it held with it.
    EXPECT_TRUE(TestEnv::waitUntil([&] { return service.held().getAliveSession().size() == 1; }, 30000));
    EXPECT_TRUE(TestEnv::waitUntil([&] { return service.held().heldReplyBytes() == 0; }, 30000))
        << service.held().heldReplyBytes();
    EXPECT_FALSE(log.lines(QtWarningMsg).filter("has read nothing of its replies").isEmpty());

    // The slow reader's connection serves on.
    slow->write(message("/echo", "after"));
    QByteArray rest;
    EXPECT_TRUE(readHeader(*slow, rest, 10000).startsWith("HTTP/1.1 200 OK\r\n"));
}

// A reply is in the kernel when the session has taken it, not only once the session's event
// loop comes round again: the peer can read it while this thread does nothing else.
TEST(ReplyBound, AReplyIsWrittenAtOnce)
{
    JXKC::TcpServReactor reactor;
    NetTest::SocketPair pair;
    ASSERT_TRUE(pair.open());
    Session session(&reactor, pair.accepted, 1);

    CTask_FormData reply;
    reply.uuid = "now";
    reply.json = {{"a", 1}};
    session.SlotSendAction(SCI_ExecObj_Send(reply));
    ASSERT_TRUE(pair.client.waitForReadyRead(5000));
    const auto replies = NetTest::splitReplies(NetTest::readUntil(
        pair.client, [](const QByteArray& bytes) { return !NetTest::splitReplies(bytes).isEmpty(); }));
    ASSERT_EQ(replies.size(), 1);
    EXPECT_TRUE(replies.first().first.contains("User-Agent: now"));
}
