// Floods of what any client may send, against the servers on loopback: each kind of line they
// cause is written at a small rate set for the test, and the lines left out are counted.
#include "../netcore/nettestutil.h"
#include "api/api_support.h"
#include "base/refusallog.h"
#include "detection/mojuwizard.h"
#include "netservices/api/apireplies.h"
#include "netservices/api/httpapiserver.h"
#include "netservices/companion/network.h"
#include "netservices/modbusserver.h"
#include "support/fakecommandrunner.h"
#include "transports/webskt.h"

#include <QDir>
#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QTcpServer>
#include <QTcpSocket>
#include <QWebSocket>
#include <gtest/gtest.h>

#include <memory>
#include <vector>

namespace {

constexpr int kRate = 5;

QByteArray request(const QByteArray& url, const QByteArray& body)
{
    return "POST " + url + " HTTP/1.1\r\nContent-Type: application/json\r\nContent-Length: " +
           QByteArray::number(body.size()) + "\r\n\r\n" + body;
}

QByteArray api(const char* route)
{
    return QByteArray("/v18/http/") + route;
}

// Reads until `count` replies are in, or until replies stop coming for a while: a loaded
// machine answers slower, not fewer.
QList<QPair<QByteArray, QByteArray>> readReplies(QTcpSocket& socket, int count)
{
    QByteArray stream;
    int seen = 0;
    QElapsedTimer sinceLast;
    sinceLast.start();
    while (seen < count && sinceLast.elapsed() < 10000) {
        TestEnv::spin(5);
        stream += socket.readAll();
        const int now = NetTest::splitReplies(stream).size();
        if (now > seen)
            sinceLast.restart();
        seen = now;
    }
    return NetTest::splitReplies(stream);
}

// The lines a kind of line was written with: every line holding `text` but the counts.
int written(const NetTest::LogCapture& log, const QString& text)
{
    int lines = 0;
    for (const QtMsgType type : {QtDebugMsg, QtInfoMsg, QtWarningMsg}) {
        for (const QString& line : log.lines(type))
            lines += line.contains(text) && !line.startsWith(QLatin1String("left out ")) ? 1 : 0;
    }
    return lines;
}

// The lines of a kind left out, by its count lines: those for one peer and those over all.
qint64 leftOut(const NetTest::LogCapture& log, const QString& kind)
{
    qint64 count = 0;
    for (const QtMsgType type : {QtDebugMsg, QtInfoMsg, QtWarningMsg}) {
        for (const QString& line : log.lines(type)) {
            if (line.startsWith(QLatin1String("left out ")) && line.contains(QStringLiteral("of this kind: ") + kind))
                count += line.section(QLatin1Char(' '), 2, 2).toLongLong();
        }
    }
    return count;
}

int countLines(const NetTest::LogCapture& log, const QString& kind)
{
    int lines = 0;
    for (const QtMsgType type : {QtInfoMsg, QtWarningMsg})
        lines += log.lines(type).filter(QRegularExpression(QStringLiteral("^left out \\d+ more lines of this kind: ") +
                                                           QRegularExpression::escape(kind)))
                     .size();
    return lines;
}

// The most lines of one kind since the clock started: a kind's second begins with its first
// line, so the seconds it had then need not line up with the clock's.
int bound(const QElapsedTimer& clock)
{
    return kRate * int(clock.elapsed() / 1000 + 2);
}

// The main window (its cycle runs only when asked) and the network manager with the API on.
class LogFloodTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ApiTest::holdTheCycle();
        window = std::make_unique<MoJuWizard>(nullptr, 0);
        netmn = ApiTest::listeningManager();
        port = netmn->apiServer->serverPort();
        ASSERT_NE(port, 0);
        RefusalLog::setKindRate(kRate);
    }
    void TearDown() override
    {
        RefusalLog::setKindRate(RefusalLog::kKindRate);
        netmn.reset();
        window.reset();
    }

    // Sends the requests on one connection without waiting, then waits for every reply.
    QList<QPair<QByteArray, QByteArray>> pipeline(const QByteArray& message, int count)
    {
        QTcpSocket socket;
        socket.connectToHost(QHostAddress::LocalHost, port);
        if (!socket.waitForConnected(3000))
            return {};
        QByteArray all;
        for (int i = 0; i < count; ++i)
            all += message;
        socket.write(all);
        return readReplies(socket, count);
    }

    FakeCommandRunner runner;
    std::unique_ptr<MoJuWizard> window;
    std::unique_ptr<JXK_NETMN> netmn;
    quint16 port = 0;
};

}  // namespace

// A plant system polling as fast as it can: each answered request has its timing line, and the
// log gets a few of them a second and a count of the rest.
TEST_F(LogFloodTest, AFloodOfValidRequestsLogsItsTimingLinesAtTheRate)
{
    NetTest::LogCapture log;
    QElapsedTimer clock;
    clock.start();
    constexpr int kRequests = 400;
    const auto replies = pipeline(request(api("get_product_infos"), "{}"), kRequests);
    ASSERT_EQ(replies.size(), kRequests);
    // One that came while the route's handler ran is turned away as busy; each is answered.
    for (const auto& reply : replies)
        ASSERT_TRUE(reply.first.startsWith("HTTP/1.1 200 OK") || reply.first.startsWith("HTTP/1.1 503 "))
            << reply.first.constData();

    const QString timing = QStringLiteral("usetime_ms:");
    EXPECT_TRUE(TestEnv::waitUntil([&] { return written(log, timing) + leftOut(log, "[Short_RCV]") == kRequests; }, 10000))
        << written(log, timing) << " + " << leftOut(log, "[Short_RCV]");
    EXPECT_LE(written(log, timing), bound(clock));
    EXPECT_GE(countLines(log, "[Short_RCV]"), 1);
}

TEST_F(LogFloodTest, AFloodOfUnknownUrlsLogsItsNotFoundAndTimingLinesAtTheRate)
{
    NetTest::LogCapture log;
    QElapsedTimer clock;
    clock.start();
    constexpr int kRequests = 400;
    const auto replies = pipeline(request("/v18/http/nowhere", "{}"), kRequests);
    ASSERT_EQ(replies.size(), kRequests);
    EXPECT_TRUE(replies.last().first.startsWith("HTTP/1.1 404 Not Found"));

    const QString notFound = QStringLiteral("404 Not Found");
    const QString timing = QStringLiteral("usetime_ms:");
    EXPECT_TRUE(TestEnv::waitUntil(
        [&] {
            return written(log, notFound) + leftOut(log, notFound) == kRequests
                   && written(log, timing) + leftOut(log, "[Short_RCV]") == kRequests;
        },
        10000))
        << written(log, notFound) << " + " << leftOut(log, notFound);
    EXPECT_LE(written(log, notFound), bound(clock));
    EXPECT_LE(written(log, timing), bound(clock));
    EXPECT_GE(countLines(log, notFound), 1);
}

// Each source address has its own line a second for a refusal; a new address for every request
// still gets no more than the kind's lines over all peers.
TEST_F(LogFloodTest, RefusalsFromManyAddressesShareTheirKindsRate)
{
    NetTest::LogCapture log;
    QElapsedTimer clock;
    clock.start();
    constexpr int kAddresses = 200;
    constexpr int kAtOnce = 50;   // well inside the session limit
    int refused = 0;
    for (int first = 0; first < kAddresses; first += kAtOnce) {
        std::vector<std::unique_ptr<QTcpSocket>> sockets;
        for (int i = first; i < first + kAtOnce; ++i) {
            sockets.push_back(std::make_unique<QTcpSocket>());
            ASSERT_TRUE(sockets.back()->bind(QHostAddress(QStringLiteral("127.0.%1.%2").arg(1 + i / 250).arg(1 + i % 250))));
            sockets.back()->connectToHost(QHostAddress::LocalHost, port);
        }
        for (auto& socket : sockets) {
            ASSERT_TRUE(socket->waitForConnected(3000));
            socket->write(request(api("get_product_infos"), "{"));
        }
        for (auto& socket : sockets) {
            const auto replies = readReplies(*socket, 1);
            ASSERT_EQ(replies.size(), 1);
            refused += replies.first().first.startsWith("HTTP/1.1 400") ? 1 : 0;
        }
    }
    ASSERT_EQ(refused, kAddresses);

    const QString line = QStringLiteral("json error:");
    EXPECT_TRUE(TestEnv::waitUntil([&] { return written(log, line) + leftOut(log, "invalid json") == kAddresses; }, 10000))
        << written(log, line) << " + " << leftOut(log, "invalid json");
    EXPECT_LE(written(log, line), bound(clock));
    EXPECT_GE(countLines(log, "invalid json"), 1);
}

// Clients at several addresses subscribe to addresses where nothing listens: every finished
// period dials each of them in vain, and the log gets the kind's rate of warnings, not one each.
TEST_F(LogFloodTest, PushesToClosedPortsWarnAtTheRate)
{
    QTcpServer closed;
    ASSERT_TRUE(closed.listen(QHostAddress::LocalHost, 0));
    const int closedPort = closed.serverPort();
    closed.close();

    constexpr int kClients = 8;
    constexpr int kPerClient = 8;
    for (int client = 0; client < kClients; ++client) {
        QJsonArray subscribers;
        for (int i = 0; i < kPerClient; ++i)
            subscribers.append(QJsonObject{{"subscriber_ip", QStringLiteral("127.0.2.%1").arg(1 + client * kPerClient + i)},
                                           {"subscriber_port", closedPort},
                                           {"subscriber_topic", "detected_info"}});
        QTcpSocket socket;
        ASSERT_TRUE(socket.bind(QHostAddress(QStringLiteral("127.0.0.%1").arg(2 + client))));
        socket.connectToHost(QHostAddress::LocalHost, port);
        ASSERT_TRUE(socket.waitForConnected(3000));
        socket.write(request(api("subscriber_baseinfo"),
                             QJsonDocument(QJsonObject{{"subscriber", subscribers}}).toJson(QJsonDocument::Compact)));
        const auto replies = readReplies(socket, 1);
        ASSERT_EQ(replies.size(), 1);
        ASSERT_FALSE(replies.first().second.contains("errorstring")) << replies.first().second.constData();
    }

    NetTest::LogCapture log;
    QElapsedTimer clock;
    clock.start();
    constexpr int kPeriods = 3;
    for (int i = 0; i < kPeriods; ++i) {
        netmn->start_PeriodRecord();
        netmn->finish_PeriodRecord();
    }
    constexpr int kPushes = kPeriods * kClients * kPerClient;
    const QString line = QStringLiteral("ERROR NO CONNECTED /v18/http/post_detected_info -> 127.0.2.");
    const QString kind = QStringLiteral("[POST_2_APP] ERROR NO CONNECTED");
    EXPECT_TRUE(TestEnv::waitUntil([&] { return written(log, line) + leftOut(log, kind) == kPushes; }, 20000))
        << written(log, line) << " + " << leftOut(log, kind);
    EXPECT_LE(written(log, line), bound(clock));
    EXPECT_GE(countLines(log, kind), 1);
    EXPECT_EQ(written(log, "send success"), 0);
}

// Opening and closing connections as fast as a client can costs no line each either: the
// connection lines of the Modbus and the WebSocket server come at the rate, the rest counted.
TEST_F(LogFloodTest, ConnectionFloodsLogTheirConnectionLinesAtTheRate)
{
    ModbusServer modbus(QHostAddress::LocalHost, 0);
    ASSERT_TRUE(modbus.isRunning());
    WebSkt_Server websocket;
    ASSERT_TRUE(websocket.reAction(QHostAddress(QHostAddress::LocalHost), 0));
    const QUrl url(QStringLiteral("ws://127.0.0.1:%1").arg(websocket.serverPort()));

    NetTest::LogCapture log;
    QElapsedTimer clock;
    clock.start();
    constexpr int kConnections = 160;
    constexpr int kAtOnce = 16;   // inside either server's connection limit
    for (int done = 0; done < kConnections; done += kAtOnce) {
        std::vector<std::unique_ptr<QTcpSocket>> pollers;
        std::vector<std::unique_ptr<QWebSocket>> viewers;
        for (int i = 0; i < kAtOnce; ++i) {
            pollers.push_back(std::make_unique<QTcpSocket>());
            pollers.back()->connectToHost(QHostAddress::LocalHost, modbus.serverPort());
            viewers.push_back(std::make_unique<QWebSocket>());
            viewers.back()->open(url);
        }
        ASSERT_TRUE(TestEnv::waitUntil(
            [&] {
                for (int i = 0; i < kAtOnce; ++i) {
                    if (pollers.at(i)->state() != QAbstractSocket::ConnectedState
                        || viewers.at(i)->state() != QAbstractSocket::ConnectedState)
                        return false;
                }
                return true;
            },
            10000));
        for (int i = 0; i < kAtOnce; ++i)
            viewers.at(i)->close();
        ASSERT_TRUE(TestEnv::waitUntil(
            [&] {
                for (const auto& viewer : viewers) {
                    if (viewer->state() != QAbstractSocket::UnconnectedState)
                        return false;
                }
                return true;
            },
            10000));
    }

    const QString modbusLine = QStringLiteral("connect ip:");
    const QString modbusKind = QStringLiteral("Modbus connect ip");
    const QString accepted = QStringLiteral("WebSkt_Server has new client connected!");
    const QString closed = QStringLiteral("WebSkt_Server had one client disconnected");
    const auto accounted = [&](const QString& line, const QString& kind) {
        return written(log, line) + leftOut(log, kind) == kConnections;
    };
    EXPECT_TRUE(TestEnv::waitUntil(
        [&] { return accounted(modbusLine, modbusKind) && accounted(accepted, accepted) && accounted(closed, closed); },
        10000))
        << written(log, modbusLine) << " + " << leftOut(log, modbusKind) << "; " << written(log, accepted) << " + "
        << leftOut(log, accepted) << "; " << written(log, closed) << " + " << leftOut(log, closed);
    EXPECT_LE(written(log, modbusLine), bound(clock));
    EXPECT_LE(written(log, accepted), bound(clock));
    EXPECT_LE(written(log, closed), bound(clock));
}
