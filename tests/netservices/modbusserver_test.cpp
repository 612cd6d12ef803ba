#include "../netcore/nettestutil.h"
#include "base/storewriter.h"
#include "detection/counters.h"
#include "detection/mojuwizard.h"
#include "netservices/modbusserver.h"
#include "support/testenv.h"

#include <QDir>
#include <QElapsedTimer>
#include <QSettings>
#include <QThread>
#include <QTcpSocket>
#include <QtEndian>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <thread>
#include <vector>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

QByteArray u16(quint16 value)
{
    QByteArray bytes(2, '\0');
    qToBigEndian(value, reinterpret_cast<uchar*>(bytes.data()));
    return bytes;
}

quint16 u16At(const QByteArray& data, int offset)
{
    return qFromBigEndian<quint16>(reinterpret_cast<const uchar*>(data.constData()) + offset);
}

// One application data unit; the length field follows the PDU unless forced.
QByteArray adu(quint16 transaction, const QByteArray& pdu, quint8 unit = 1, quint16 protocol = 0, int length = -1)
{
    return u16(transaction) + u16(protocol) + u16(quint16(length < 0 ? pdu.size() + 1 : length)) + char(unit) + pdu;
}

QByteArray readRequest(quint16 transaction, quint16 start, quint16 quantity, quint8 function = 3)
{
    return adu(transaction, char(function) + u16(start) + u16(quantity));
}

QByteArray writeRequest(quint16 transaction, quint16 start, const QList<quint16>& values)
{
    QByteArray pdu = char(16) + u16(start) + u16(quint16(values.size())) + char(values.size() * 2);
    for (quint16 value : values)
        pdu += u16(value);
    return adu(transaction, pdu);
}

QList<quint16> registersOf(const QByteArray& reply)
{
    QList<quint16> values;
    for (int offset = 9; offset + 1 < reply.size(); offset += 2)
        values << u16At(reply, offset);
    return values;
}

// A raw Modbus TCP peer on loopback. It waits with the event loop running, as the server asks
// this (GUI) thread for the register values.
class RawClient {
public:
    explicit RawClient(quint16 port)
    {
        m_socket.connectToHost(QHostAddress::LocalHost, port);
        TestEnv::waitUntil([this] { return m_socket.state() == QAbstractSocket::ConnectedState; }, 3000);
    }

    bool connected() const { return m_socket.state() == QAbstractSocket::ConnectedState; }
    void send(const QByteArray& bytes)
    {
        m_socket.write(bytes);
        m_socket.flush();
    }

    // The next whole reply, cut by its length field; empty when none came in time.
    QByteArray reply(int timeoutMs = 3000)
    {
        auto complete = [this] {
            if (m_socket.bytesAvailable() < 6)
                return false;
            return m_socket.bytesAvailable() >= 6 + u16At(m_socket.peek(6), 4);
        };
        if (!TestEnv::waitUntil(complete, timeoutMs))
            return {};
        return m_socket.read(6 + u16At(m_socket.peek(6), 4));
    }

    QByteArray exchange(const QByteArray& request)
    {
        send(request);
        return reply();
    }

    bool waitClosed(int timeoutMs = 3000)
    {
        return TestEnv::waitUntil([this] { return m_socket.state() == QAbstractSocket::UnconnectedState; }, timeoutMs);
    }

    QTcpSocket& socket() { return m_socket; }

private:
    QTcpSocket m_socket;
};

// A peer on a plain descriptor, for what QTcpSocket does not do: leave replies unread in the
// kernel, shut down only its sending side, or reset. Its calls block, so they run off this
// (GUI) thread through runAside().
class PosixPeer {
public:
    // A small receive buffer makes the server's replies back up soon when they are not read.
    explicit PosixPeer(quint16 port, int receiveBuffer = 4096) : m_fd(::socket(AF_INET, SOCK_STREAM, 0))
    {
        ::setsockopt(m_fd, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof(receiveBuffer));
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(port);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::connect(m_fd, reinterpret_cast<sockaddr*>(&address), sizeof(address));
    }
    ~PosixPeer() { close(); }

    // Without waiting, only what the kernel takes at once is sent.
    bool send(const QByteArray& bytes, bool wait = true)
    {
        for (int offset = 0; offset < bytes.size();) {
            const ssize_t sent = ::send(m_fd, bytes.constData() + offset, size_t(bytes.size() - offset),
                                        MSG_NOSIGNAL | (wait ? 0 : MSG_DONTWAIT));
            if (sent <= 0)
                return false;
            offset += int(sent);
        }
        return true;
    }

    // Up to count bytes, fewer when the server closed or the time ran out.
    QByteArray receive(int count)
    {
        QByteArray bytes(count, '\0');
        int got = 0;
        while (got < count && readable(10000)) {
            const ssize_t n = ::recv(m_fd, bytes.data() + got, size_t(count - got), 0);
            if (n <= 0)
                break;
            got += int(n);
        }
        bytes.resize(got);
        return bytes;
    }

    // True when the server closed its side with nothing more to read.
    bool receivedEnd()
    {
        char byte;
        return readable(3000) && ::recv(m_fd, &byte, 1, 0) == 0;
    }

    void shutdownSending() { ::shutdown(m_fd, SHUT_WR); }

    // An abortive close makes the server see a reset.
    void close(bool reset = false)
    {
        const linger abort{1, 0};
        if (reset)
            ::setsockopt(m_fd, SOL_SOCKET, SO_LINGER, &abort, sizeof(abort));
        if (m_fd >= 0)
            ::close(m_fd);
        m_fd = -1;
    }

private:
    bool readable(int timeoutMs)
    {
        pollfd entry{m_fd, POLLIN, 0};
        return ::poll(&entry, 1, timeoutMs) == 1;
    }

    int m_fd;
};

// Runs blocking peers in threads of their own while this thread serves the server's register
// requests; false when they did not finish in time (they are still joined).
bool runAside(const std::vector<std::function<void()>>& peers)
{
    std::atomic<int> running{int(peers.size())};
    std::vector<std::thread> threads;
    for (const auto& peer : peers)
        threads.emplace_back([&running, peer] {
            peer();
            --running;
        });
    const bool finished = TestEnv::waitUntil([&] { return running == 0; }, 20000);
    for (std::thread& thread : threads)
        thread.join();
    return finished;
}

int openDescriptors()
{
    return int(QDir(QStringLiteral("/proc/self/fd")).entryList(QDir::NoDotAndDotDot | QDir::System).size());
}

// Reads of register 2 with transaction ids 0, 1, ...; or their replies while it holds value.
QByteArray pipelinedReads(int count, int value = -1)
{
    QByteArray bytes;
    for (int i = 0; i < count; ++i)
        bytes += value < 0 ? readRequest(quint16(i), 2, 1)
                           : u16(quint16(i)) + u16(0) + u16(5) + char(1) + char(3) + char(2) + u16(quint16(value));
    return bytes;
}

class ModbusServerTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        gpWin = nullptr;
        std::fill(gAllNum, gAllNum + kMaxCameras, 0);
        std::fill(gFailNum, gFailNum + kMaxCameras, 0);
        gAllNum[0] = 57;
        gAllNum[1] = 120;
        gFailNum[0] = 4;
        gFailNum[1] = 9;
        gSyncNGNum = 13;
        server = std::make_unique<ModbusServer>(QHostAddress::LocalHost, 0);
        ASSERT_TRUE(server->isRunning());
        ASSERT_NE(server->serverPort(), 0);
    }

    void TearDown() override { server.reset(); }

    std::unique_ptr<ModbusServer> server;
};

}  // namespace

TEST_F(ModbusServerTest, ReadsTheRegisterMapWithTheRequestIds)
{
    RawClient client(server->serverPort());
    ASSERT_TRUE(client.connected());

    const QByteArray reply = client.exchange(adu(0x1234, char(3) + u16(0) + u16(5), 7));
    ASSERT_EQ(reply.size(), 9 + 10);
    EXPECT_EQ(u16At(reply, 0), 0x1234);
    EXPECT_EQ(u16At(reply, 2), 0);
    EXPECT_EQ(u16At(reply, 4), 13);   // unit, function, byte count, 5 registers
    EXPECT_EQ(quint8(reply.at(6)), 7);
    EXPECT_EQ(quint8(reply.at(7)), 3);
    EXPECT_EQ(quint8(reply.at(8)), 10);
    // No main window: not running, no alarm; the largest camera total; the NG total; 0.
    EXPECT_EQ(registersOf(reply), (QList<quint16>{0, 0, 120, 13, 0}));

    EXPECT_EQ(registersOf(client.exchange(readRequest(2, 2, 3))), (QList<quint16>{120, 13, 0}));
    // Beyond the map every register reads 0.
    EXPECT_EQ(registersOf(client.exchange(readRequest(3, 4, 3))), (QList<quint16>{0, 0, 0}));
    EXPECT_EQ(registersOf(client.exchange(readRequest(4, 65535, 1))), (QList<quint16>{0}));
}

TEST_F(ModbusServerTest, ReadsLiveValuesInTheirLowSixteenBits)
{
    RawClient client(server->serverPort());
    gAllNum[5] = 70000;
    gSyncNGNum = 65537;
    EXPECT_EQ(registersOf(client.exchange(readRequest(1, 2, 2))), (QList<quint16>{70000 & 0xFFFF, 1}));
    gAllNum[5] = 0;
    gSyncNGNum = 14;
    EXPECT_EQ(registersOf(client.exchange(readRequest(2, 2, 2))), (QList<quint16>{120, 14}));

    const QByteArray largest = client.exchange(readRequest(3, 0, 125));
    ASSERT_EQ(largest.size(), 9 + 250);
    EXPECT_EQ(u16At(largest, 4), 253);
    EXPECT_EQ(quint8(largest.at(8)), 250);
}

TEST_F(ModbusServerTest, WritingOneToRegisterFourResetsTheCameraCounters)
{
    RawClient client(server->serverPort());

    const QByteArray request = writeRequest(0x0102, 4, {1});
    const QByteArray reply = client.exchange(request);
    EXPECT_EQ(reply, request.left(12).replace(4, 2, u16(6)));
    EXPECT_TRUE(std::all_of(gAllNum, gAllNum + kMaxCameras, [](int n) { return n == 0; }));
    EXPECT_TRUE(std::all_of(gFailNum, gFailNum + kMaxCameras, [](int n) { return n == 0; }));
    EXPECT_EQ(gSyncNGNum, 13);

    // Inside a longer write that covers register 4, and past the end of the map.
    gAllNum[2] = 5;
    gFailNum[2] = 1;
    EXPECT_EQ(client.exchange(writeRequest(2, 0, {9, 9, 9, 9, 1})).size(), 12);
    EXPECT_EQ(gAllNum[2], 0);
    EXPECT_EQ(gFailNum[2], 0);
    gAllNum[2] = 5;
    EXPECT_EQ(client.exchange(writeRequest(3, 3, {0, 1, 7})).size(), 12);
    EXPECT_EQ(gAllNum[2], 0);
}

TEST_F(ModbusServerTest, OtherWritesAreAcknowledgedWithoutResetting)
{
    RawClient client(server->serverPort());
    const QList<QList<quint16>> writes{{0}, {2}, {0xFFFF}};
    quint16 transaction = 1;
    for (const QList<quint16>& values : writes) {
        const QByteArray reply = client.exchange(writeRequest(transaction, 4, values));
        ASSERT_EQ(reply.size(), 12);
        EXPECT_EQ(u16At(reply, 0), transaction);
        EXPECT_EQ(u16At(reply, 4), 6);
        EXPECT_EQ(u16At(reply, 8), 4);
        EXPECT_EQ(u16At(reply, 10), 1);
        ++transaction;
    }
    // Registers 0 to 3 only, even holding a 1.
    EXPECT_EQ(client.exchange(writeRequest(9, 0, {1, 1, 1, 1})).size(), 12);
    EXPECT_EQ(gAllNum[1], 120);
    EXPECT_EQ(gFailNum[1], 9);
}

TEST_F(ModbusServerTest, AnswersBadRequestsWithExceptions)
{
    RawClient client(server->serverPort());
    struct Case {
        QByteArray request;
        quint8 function;
        quint8 code;
    };
    const QByteArray shortWrite = adu(11, char(16) + u16(4) + u16(2) + char(4) + u16(1));
    const QList<Case> cases{
        {readRequest(1, 0, 5, 4), 0x84, 1},
        {adu(2, char(6) + u16(4) + u16(1)), 0x86, 1},
        {readRequest(3, 0, 0), 0x83, 3},
        {readRequest(4, 0, 126), 0x83, 3},
        {adu(5, char(3) + u16(0) + char(5)), 0x83, 3},   // 11 bytes: no quantity
        {writeRequest(6, 5, {1}), 0x90, 2},
        {writeRequest(7, 0, QVector<quint16>(124, 0).toList()), 0x90, 3},
        {adu(8, char(16) + u16(4) + u16(0) + char(0)), 0x90, 3},
        {adu(9, char(16) + u16(4) + u16(1) + char(4) + u16(1) + u16(1)), 0x90, 3},   // byte count 4 for 1
        {adu(10, char(16) + u16(4) + u16(1)), 0x90, 3},                             // no byte count
        {shortWrite, 0x90, 3},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.request.toHex().toStdString());
        const QByteArray reply = client.exchange(c.request);
        ASSERT_EQ(reply.size(), 9);
        EXPECT_EQ(reply.left(4), c.request.left(4));
        EXPECT_EQ(u16At(reply, 4), 3);
        EXPECT_EQ(reply.at(6), c.request.at(6));
        EXPECT_EQ(quint8(reply.at(7)), c.function);
        EXPECT_EQ(quint8(reply.at(8)), c.code);
    }
    EXPECT_EQ(gAllNum[1], 120);
    EXPECT_TRUE(client.connected());
}

TEST_F(ModbusServerTest, CutsFramesByTheirLengthField)
{
    RawClient client(server->serverPort());

    // Split over two reads.
    const QByteArray split = readRequest(1, 2, 1);
    client.send(split.left(5));
    TestEnv::spin(50);
    client.send(split.mid(5));
    EXPECT_EQ(registersOf(client.reply()), (QList<quint16>{120}));

    // Three frames in one read get three replies in order.
    client.send(readRequest(2, 3, 1) + writeRequest(3, 4, {0}) + readRequest(4, 0, 1, 4));
    EXPECT_EQ(registersOf(client.reply()), (QList<quint16>{13}));
    EXPECT_EQ(u16At(client.reply(), 0), 3);
    EXPECT_EQ(quint8(client.reply().at(7)), 0x84);

    // A frame too short to serve gets no reply, and the frame after it is still read.
    client.send(adu(5, QByteArray::fromHex("0300")) + readRequest(6, 2, 1));
    EXPECT_EQ(u16At(client.reply(), 0), 6);

    // A write whose length field ends before its value is not completed from the next frame,
    // whose transaction id 1 would read as a 1 for register 4.
    const QByteArray truncated = adu(7, char(16) + u16(4) + u16(1) + char(2));
    client.send(truncated + readRequest(1, 2, 1));
    const QByteArray first = client.reply();
    ASSERT_EQ(first.size(), 9);
    EXPECT_EQ(u16At(first, 0), 7);
    EXPECT_EQ(quint8(first.at(7)), 0x90);
    EXPECT_EQ(registersOf(client.reply()), (QList<quint16>{120}));
    EXPECT_EQ(gAllNum[1], 120);
}

TEST_F(ModbusServerTest, ClosesConnectionsThatAreNotModbus)
{
    {
        RawClient client(server->serverPort());
        client.send(adu(1, char(3) + u16(0) + u16(1), 1, /*protocol*/ 1));
        EXPECT_TRUE(client.waitClosed());
    }
    {
        RawClient client(server->serverPort());
        client.send(adu(1, char(3) + u16(0) + u16(1), 1, 0, /*length*/ 261));
        EXPECT_TRUE(client.waitClosed());
    }
    {
        // Nonsense after a good frame: the good frame is still answered.
        RawClient client(server->serverPort());
        client.send(readRequest(1, 2, 1) + QByteArray("GET / HTTP/1.1\r\n\r\n"));
        EXPECT_EQ(registersOf(client.reply()), (QList<quint16>{120}));
        EXPECT_TRUE(client.waitClosed());
    }
    // The server keeps serving others.
    RawClient client(server->serverPort());
    EXPECT_EQ(registersOf(client.exchange(readRequest(1, 3, 1))), (QList<quint16>{13}));
}

TEST_F(ModbusServerTest, StopsPromptlyWhileARequestWaitsForThisThread)
{
    RawClient idle(server->serverPort());
    RawClient client(server->serverPort());
    ASSERT_TRUE(idle.connected());
    ASSERT_TRUE(client.connected());

    // The reset reaches the pool thread, which then waits for this thread; this thread does
    // not run its event loop until the server is stopped.
    client.socket().write(writeRequest(1, 4, {1}));
    ASSERT_TRUE(client.socket().waitForBytesWritten(1000));
    QThread::msleep(100);

    QElapsedTimer timer;
    timer.start();
    server->deinitialize();
    EXPECT_LT(timer.elapsed(), 1000);
    EXPECT_FALSE(server->isRunning());
    EXPECT_EQ(server->serverPort(), 0);

    // The dropped reset is not done later, and both peers see the connection closed.
    EXPECT_TRUE(client.waitClosed());
    EXPECT_TRUE(idle.waitClosed());
    EXPECT_EQ(gAllNum[1], 120);
    EXPECT_EQ(gFailNum[1], 9);
    EXPECT_TRUE(client.socket().readAll().isEmpty());

    // It starts again and serves as before.
    ASSERT_TRUE(server->initialize());
    RawClient again(server->serverPort());
    EXPECT_EQ(registersOf(again.exchange(readRequest(2, 2, 1))), (QList<quint16>{120}));
}

TEST_F(ModbusServerTest, DestroyingWithClientsConnectedClosesThem)
{
    RawClient first(server->serverPort());
    RawClient second(server->serverPort());
    EXPECT_EQ(first.exchange(readRequest(1, 0, 1)).size(), 11);
    second.socket().write(readRequest(2, 0, 1));
    ASSERT_TRUE(second.socket().waitForBytesWritten(1000));
    QThread::msleep(50);

    QElapsedTimer timer;
    timer.start();
    server.reset();
    EXPECT_LT(timer.elapsed(), 1000);
    EXPECT_TRUE(first.waitClosed());
    EXPECT_TRUE(second.waitClosed());
}

TEST_F(ModbusServerTest, MovesToAnotherPortAndReportsAFailedListen)
{
    const quint16 oldPort = server->serverPort();
    ASSERT_TRUE(server->reAction(QHostAddress::LocalHost, 0));
    EXPECT_NE(server->serverPort(), oldPort);
    RawClient client(server->serverPort());
    EXPECT_EQ(registersOf(client.exchange(readRequest(1, 2, 1))), (QList<quint16>{120}));

    // The port is taken: the second server stays stopped.
    ModbusServer second(QHostAddress::LocalHost, server->serverPort());
    EXPECT_FALSE(second.isRunning());
    EXPECT_EQ(second.serverPort(), 0);
    second.deinitialize();
}

TEST_F(ModbusServerTest, ReportsTheMainWindowAndStoresTheResetCounters)
{
    // A main window whose cycle runs only when called; camera 1 judges NG every cycle.
    qputenv("MOULD_SIM_CYCLE_MS", "3600000");
    qputenv("MOULD_SIM_NG_EVERY", "1");
    qputenv("MOULD_SIM_CAMERAS", "2");
    MoJuWizard window(nullptr, 0);
    std::fill(gAllNum, gAllNum + kMaxCameras, 0);
    std::fill(gFailNum, gFailNum + kMaxCameras, 0);
    gSyncNGNum = 0;
    RawClient client(server->serverPort());

    EXPECT_EQ(registersOf(client.exchange(readRequest(1, 0, 4))), (QList<quint16>{1, 0, 0, 0}));

    // The NG at the last of the two steps raises the alarm at a step other than the first.
    window.Run();
    EXPECT_EQ(registersOf(client.exchange(readRequest(2, 0, 4))), (QList<quint16>{1, 2, 2, 1}));

    window.StopDetect();
    EXPECT_EQ(registersOf(client.exchange(readRequest(3, 0, 1))), (QList<quint16>{0}));

    EXPECT_EQ(client.exchange(writeRequest(4, 3, {0, 1})).size(), 12);
    EXPECT_EQ(registersOf(client.exchange(readRequest(5, 2, 2))), (QList<quint16>{0, 1}));
    ASSERT_TRUE(window.storeWriter()->waitUntilStored(10000));
    QSettings count(MoJuWizard::countFilePath(), QSettings::IniFormat);
    EXPECT_EQ(count.value(QStringLiteral("count/allNum0")).toInt(), 0);
    EXPECT_EQ(count.value(QStringLiteral("count/failNum0")).toInt(), 0);
    EXPECT_EQ(count.value(QStringLiteral("count/syncNGNum")).toInt(), 1);
}


TEST_F(ModbusServerTest, AnswersEveryPipelinedReadReadLateThenClosesAfterTheHalfClose)
{
    constexpr int kReads = 30000;
    const QByteArray expected = pipelinedReads(kReads, 120);
    PosixPeer peer(server->serverPort());
    bool sent = false;
    bool ended = false;
    QByteArray replies;
    ASSERT_TRUE(runAside({
        [&] {
            // A partial frame is left when the input ends.
            sent = peer.send(pipelinedReads(kReads) + readRequest(1, 2, 1).left(7));
            peer.shutdownSending();
        },
        [&] {
            // Late enough for the replies to back up and the server to stop reading.
            std::this_thread::sleep_for(std::chrono::seconds(1));
            replies = peer.receive(expected.size());
            ended = peer.receivedEnd();
        },
    }));
    EXPECT_TRUE(sent);
    ASSERT_EQ(replies.size(), expected.size());
    EXPECT_TRUE(replies == expected);
    EXPECT_TRUE(ended);

    // Two requests just before the end of input: both replies, then the close.
    PosixPeer two(server->serverPort());
    const QByteArray reset = writeRequest(2, 4, {1});
    ended = false;
    ASSERT_TRUE(runAside({[&] {
        two.send(readRequest(1, 3, 1) + reset);
        two.shutdownSending();
        replies = two.receive(11 + 12);
        ended = two.receivedEnd();
    }}));
    EXPECT_EQ(registersOf(replies.left(11)), (QList<quint16>{13}));
    EXPECT_EQ(replies.mid(11), QByteArray(reset.left(12)).replace(4, 2, u16(6)));
    EXPECT_TRUE(ended);
    EXPECT_EQ(gAllNum[1], 0);
}

TEST_F(ModbusServerTest, PeersThatFloodAndThenCloseOrResetFreeTheirSlots)
{
    const quint16 port = server->serverPort();
    const int before = openDescriptors();
    const QByteArray flood = pipelinedReads(20000);
    ASSERT_TRUE(runAside({[&] {
        std::vector<std::unique_ptr<PosixPeer>> peers;
        for (int i = 0; i < 60; ++i) {
            peers.push_back(std::make_unique<PosixPeer>(port));
            peers.back()->send(flood, /*wait*/ false);
        }
        // Time for the server to read and back up; no reply is ever read.
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        for (int i = 0; i < 60; ++i)
            peers[size_t(i)]->close(/*reset*/ i % 2 == 1);
    }}));
    // The peers' descriptors are closed; the server's side must follow.
    EXPECT_TRUE(TestEnv::waitUntil([&] { return openDescriptors() == before; }, 10000))
        << openDescriptors() - before << " descriptors left open";

    std::vector<std::unique_ptr<RawClient>> fresh;
    for (int i = 0; i < ModbusServer::kMaxConnections; ++i)
        fresh.push_back(std::make_unique<RawClient>(port));
    for (int i = 0; i < ModbusServer::kMaxConnections; ++i)
        EXPECT_EQ(registersOf(fresh[size_t(i)]->exchange(readRequest(quint16(i), 2, 1))), (QList<quint16>{120})) << i;
}

TEST_F(ModbusServerTest, BeyondTheCapTheIdlestGivesWayButNoneThatPolledWithinASecond)
{
    const quint16 port = server->serverPort();
    std::vector<std::unique_ptr<RawClient>> held;
    for (int i = 0; i < ModbusServer::kMaxConnections; ++i) {
        held.push_back(std::make_unique<RawClient>(port));
        ASSERT_EQ(held.back()->exchange(readRequest(quint16(i), 2, 1)).size(), 11);
    }
    // Every connection has just been read: the newcomer is the one refused.
    RawClient refused(port);
    EXPECT_TRUE(refused.waitClosed());
    for (size_t i : {size_t(0), held.size() - 1})
        EXPECT_EQ(registersOf(held[i]->exchange(readRequest(quint16(100 + i), 3, 1))), (QList<quint16>{13})) << i;

    // A second later the first connection asks again: the second has now gone without a
    // request the longest, and makes room.
    TestEnv::spin(int(ModbusServer::kBusyMs) + 100);
    ASSERT_EQ(held[0]->exchange(readRequest(200, 2, 1)).size(), 11);
    RawClient newcomer(port);
    EXPECT_EQ(registersOf(newcomer.exchange(readRequest(300, 3, 1))), (QList<quint16>{13}));
    EXPECT_TRUE(held[1]->waitClosed());
    for (size_t i : {size_t(0), size_t(2), held.size() - 1})
        EXPECT_EQ(registersOf(held[i]->exchange(readRequest(quint16(400 + i), 3, 1))), (QList<quint16>{13})) << i;
}

TEST_F(ModbusServerTest, APollerOutlastsABurstOfConnectionsThatSendNothing)
{
    const quint16 port = server->serverPort();
    RawClient poller(port);
    ASSERT_EQ(poller.exchange(readRequest(1, 2, 1)).size(), 11);

    std::vector<std::unique_ptr<QTcpSocket>> burst;
    for (int i = 0; i < 50; ++i) {
        burst.push_back(std::make_unique<QTcpSocket>());
        burst.back()->connectToHost(QHostAddress::LocalHost, port);
    }
    // Every burst connection is accepted; the oldest of them make room for the newest.
    const auto closedOfBurst = [&] {
        return std::count_if(burst.cbegin(), burst.cend(), [](const auto& socket) {
            return socket->state() == QAbstractSocket::UnconnectedState;
        });
    };
    const int overCap = 50 - (ModbusServer::kMaxConnections - 1);
    TestEnv::waitUntil([&] { return closedOfBurst() == overCap || !poller.connected(); });
    ASSERT_TRUE(poller.connected());
    EXPECT_EQ(closedOfBurst(), overCap);
    // The poller asks on every 100 ms as before; the newest of the burst are still there.
    for (int poll = 0; poll < 5; ++poll) {
        TestEnv::spin(100);
        EXPECT_EQ(registersOf(poller.exchange(readRequest(quint16(10 + poll), 3, 1))), (QList<quint16>{13})) << poll;
    }
    EXPECT_EQ(burst.back()->state(), QAbstractSocket::ConnectedState);
}

TEST_F(ModbusServerTest, GoesOnAcceptingAfterRunningOutOfDescriptors)
{
    const quint16 port = server->serverPort();
    rlimit old{};
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &old), 0);
    int highest = 0;
    for (int fd = 0; fd < int(std::min<rlim_t>(old.rlim_cur, 65536)); ++fd) {
        if (::fcntl(fd, F_GETFD) != -1)
            highest = fd;
    }
    // Every descriptor the process may have is taken, the last one by the peer: the server's
    // accept fails for want of one until some are given back.
    rlimit low = old;
    low.rlim_cur = rlim_t(highest + 2);
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &low), 0);
    std::vector<int> fillers;
    for (int fd = ::socket(AF_INET, SOCK_DGRAM, 0); fd >= 0; fd = ::socket(AF_INET, SOCK_DGRAM, 0))
        fillers.push_back(fd);
    if (!fillers.empty()) {
        ::close(fillers.back());
        fillers.pop_back();
    }
    bool refused = false;
    {
        NetTest::LogCapture log;
        PosixPeer peer(port);
        refused = TestEnv::waitUntil([&log] { return !log.lines(QtWarningMsg).filter("accept").isEmpty(); }, 5000);
        for (const int fd : fillers)
            ::close(fd);
        ::setrlimit(RLIMIT_NOFILE, &old);

        QByteArray reply;
        ASSERT_TRUE(runAside({[&] {
            peer.send(readRequest(1, 3, 1));
            reply = peer.receive(11);
        }}));
        EXPECT_EQ(registersOf(reply), (QList<quint16>{13}));
    }
    EXPECT_TRUE(refused);
}
