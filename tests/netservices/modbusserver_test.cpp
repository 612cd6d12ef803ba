#include "detection/counters.h"
#include "detection/mojuwizard.h"
#include "netservices/modbusserver.h"
#include "support/testenv.h"

#include <QElapsedTimer>
#include <QSettings>
#include <QThread>
#include <QTcpSocket>
#include <QtEndian>
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>

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
    QSettings count(MoJuWizard::countFilePath(), QSettings::IniFormat);
    EXPECT_EQ(count.value(QStringLiteral("count/allNum0")).toInt(), 0);
    EXPECT_EQ(count.value(QStringLiteral("count/failNum0")).toInt(), 0);
    EXPECT_EQ(count.value(QStringLiteral("count/syncNGNum")).toInt(), 1);
}
