#include "base/publictools.h"
#include "support/testenv.h"
#include "transports/gvcppackets.h"
#include "transports/udpcore.h"

#include <QElapsedTimer>
#include <QMutex>
#include <QSemaphore>
#include <QNetworkDatagram>
#include <QThread>
#include <QUdpSocket>
#include <QtEndian>
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <atomic>
#include <limits>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

using TestEnv::waitUntil;

// Waits that only the test runner's own time-out ends: a loaded machine is slower, not wrong.
constexpr int kUntilTheRunnerStops = std::numeric_limits<int>::max();

namespace {

// Records what reaches the handler, and on which thread.
class RecordingCore : public UDP_Core {
public:
    RecordingCore() : UDP_Core(InterfaceTable()) {}
    explicit RecordingCore(const InterfaceTable& table) : UDP_Core(table) {}
    ~RecordingCore() override { stopListen(); }

    QString AnalysisRecvMessage(sockaddr_in from, QByteArray const& recvbuf) override
    {
        {
            QMutexLocker lock(&mutex);
            received << recvbuf;
            threads << QThread::currentThread();
        }
        return UDP_Core::AnalysisRecvMessage(from, recvbuf);
    }
    int count()
    {
        QMutexLocker lock(&mutex);
        return received.size();
    }

    QMutex mutex;
    QList<QByteArray> received;
    QList<QThread*> threads;
};

struct Peer {
    QUdpSocket socket;
    Peer() { socket.bind(QHostAddress(QHostAddress::LocalHost), 0); }
    int drain()
    {
        int n = 0;
        while (socket.hasPendingDatagrams()) {
            socket.receiveDatagram();
            ++n;
        }
        return n;
    }
};

Udpsend_Cond toPeer(const Peer& peer, int waitMs = 0, int resendMs = 0)
{
    return Udpsend_Cond{"127.0.0.1", peer.socket.localPort(), "127.0.0.1", waitMs, resendMs};
}

// Tells the sender each time the listening loop has taken a datagram off its socket, and what
// became of it.
class PacedCore : public RecordingCore {
public:
    void PrintRecvMsg(QString result, QString line) override
    {
        if (result == QLatin1String("dropped"))
            ++dropped;
        taken.release();
        RecordingCore::PrintRecvMsg(result, line);
    }

    QSemaphore taken;
    std::atomic<int> dropped{0};
};

}  // namespace

TEST(UdpCore, SendsOnceOrWaitsWithinBounds)
{
    UDP_Core core{InterfaceTable()};
    Peer peer;
    std::string answer;

    EXPECT_EQ(core.send_core(toPeer(peer), "once", answer), ZLU_SUCCESS);
    EXPECT_EQ(core.send_core(toPeer(peer, -1), "never", answer), ZLU_ERR_PARAM);
    EXPECT_EQ(core.send_core(toPeer(peer, 0, -1), "never", answer), ZLU_ERR_PARAM);
    ASSERT_TRUE(waitUntil([&] { return peer.socket.hasPendingDatagrams(); }));
    TestEnv::spin(50);
    EXPECT_EQ(peer.drain(), 1);

    // Waiting without resends: the one datagram leaves at once, then the wait runs out.
    QElapsedTimer timer;
    timer.start();
    EXPECT_EQ(core.send_core(toPeer(peer, 300, 0), "wait", answer), ZLU_ERR_TIMEOUT);
    EXPECT_GE(timer.elapsed(), 250);
    TestEnv::spin(50);
    EXPECT_EQ(peer.drain(), 1);

    // Resends at the period, and waits of more than a second are cut to one.
    timer.restart();
    EXPECT_EQ(core.send_core(toPeer(peer, 5000, 200), "again", answer), ZLU_ERR_TIMEOUT);
    EXPECT_LT(timer.elapsed(), 3000);
    TestEnv::spin(50);
    EXPECT_GE(peer.drain(), 3);

    // Text that is not an address gives no socket, which is reported rather than taken as sent.
    Udpsend_Cond bad = toPeer(peer);
    bad.src_ip = "999.0.0.1";
    EXPECT_EQ(core.send_core(bad, "x", answer), ZLU_ERR_SEND);
    bad = toPeer(peer, 300);
    bad.dst_ip = "nowhere";
    EXPECT_EQ(core.send_core(bad, "x", answer), ZLU_ERR_SEND);
}

TEST(UdpCore, WaitingSendTakesTheAnswerFromTheListeningSockets)
{
    RecordingCore core;
    core.setDirectHandler(true);   // the caller blocks in send_core
    ASSERT_EQ(core.addListen("127.0.0.1", 0), ZLU_SUCCESS);
    const quint16 listenPort = core.boundPorts().value(0);

    // A peer that answers the first datagram to the core's listening port.
    const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local), 0);
    socklen_t size = sizeof local;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &size);
    timeval limit{3, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    std::thread answering([fd, listenPort] {
        char buffer[64];
        if (::recv(fd, buffer, sizeof buffer, 0) <= 0)
            return;
        sockaddr_in back{};
        back.sin_family = AF_INET;
        back.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        back.sin_port = htons(listenPort);
        ::sendto(fd, "pong", 4, 0, reinterpret_cast<sockaddr*>(&back), sizeof back);
    });
    std::string answer;
    const int code = core.send_core(Udpsend_Cond{"127.0.0.1", ntohs(local.sin_port), "127.0.0.1", 1000, 0}, "ping", answer);
    answering.join();
    ::close(fd);
    EXPECT_EQ(code, ZLU_SUCCESS);
    EXPECT_EQ(answer, "pong");
    ASSERT_EQ(core.count(), 1);
    EXPECT_EQ(core.received.at(0), QByteArray("pong"));   // the datagram's own bytes, not 2048
}

TEST(UdpCore, ListensOnSeveralSocketsAndRestartsAfterAStop)
{
    RecordingCore core;
    ASSERT_EQ(core.addListen("127.0.0.1", 0), ZLU_SUCCESS);
    ASSERT_EQ(core.addListen("127.0.0.1", 0), ZLU_SUCCESS);   // joins the running loop
    EXPECT_EQ(core.addListen("not-an-address", 0), ZLU_ERR_BIND);
    const QList<quint16> ports = core.boundPorts();
    ASSERT_EQ(ports.size(), 2);
    EXPECT_EQ(core.addListen("127.0.0.1", ports.at(0)), ZLU_ERR_BIND);

    Peer peer;
    peer.socket.writeDatagram("0123456789", QHostAddress(QHostAddress::LocalHost), ports.at(0));
    peer.socket.writeDatagram("second", QHostAddress(QHostAddress::LocalHost), ports.at(1));
    ASSERT_TRUE(waitUntil([&] { return core.count() == 2; }));
    EXPECT_EQ(core.received.at(0).size() + core.received.at(1).size(), 16);
    EXPECT_EQ(core.threads.at(0), QThread::currentThread());   // queued onto the object's thread

    core.stopListen();
    EXPECT_FALSE(core.isListening());
    peer.socket.writeDatagram("while stopped", QHostAddress(QHostAddress::LocalHost), ports.at(0));
    TestEnv::spin(300);
    EXPECT_EQ(core.count(), 2);
    ASSERT_EQ(core.addListen("127.0.0.1", 0), ZLU_SUCCESS);   // the loop runs again, for all three
    ASSERT_TRUE(waitUntil([&] { return core.count() == 3; }));
    EXPECT_EQ(core.received.at(2), QByteArray("while stopped"));

    // A core whose only bind failed does not claim to listen.
    RecordingCore refused;
    EXPECT_EQ(refused.addListen("127.0.0.1", ports.at(0)), ZLU_ERR_BIND);
    EXPECT_FALSE(refused.isListening());
}

// A flood while the object's thread is busy must not pile up without end in its event queue:
// what does not fit is dropped, and datagrams are handled again once the queue has drained.
TEST(UdpCore, BoundsTheDatagramsWaitingForABusyObjectThread)
{
    PacedCore core;
    ASSERT_EQ(core.addListen("127.0.0.1", 0), ZLU_SUCCESS);
    const quint16 port = core.boundPorts().value(0);
    Peer peer;
    // Datagrams go in batches far smaller than the socket's receive buffer, each batch sent once
    // the loop has taken the one before: the kernel drops none however slow the machine is, and
    // this thread handles nothing meanwhile.
    constexpr int kBatch = 32;
    const auto sendTaken = [&](const QList<QByteArray>& batch) {
        for (const QByteArray& datagram : batch)
            peer.socket.writeDatagram(datagram, QHostAddress(QHostAddress::LocalHost), port);
        core.taken.acquire(batch.size());
    };
    const int flood = 3 * UDP_Core::kMaxQueuedDatagrams;
    for (int first = 0; first < flood; first += kBatch) {
        QList<QByteArray> batch;
        for (int i = first; i < qMin(flood, first + kBatch); ++i)
            batch << QByteArray::number(i);
        sendTaken(batch);
    }
    EXPECT_EQ(core.dropped.load(), flood - UDP_Core::kMaxQueuedDatagrams);
    EXPECT_EQ(core.count(), 0);

    // The ones that waited are exactly the first that came, handled in order.
    ASSERT_TRUE(waitUntil([&] { return core.count() >= UDP_Core::kMaxQueuedDatagrams; }, kUntilTheRunnerStops));
    TestEnv::spin(100);
    ASSERT_EQ(core.count(), UDP_Core::kMaxQueuedDatagrams);
    EXPECT_EQ(core.received.first(), QByteArray("0"));
    EXPECT_EQ(core.received.last(), QByteArray::number(UDP_Core::kMaxQueuedDatagrams - 1));

    const int droppedBefore = core.dropped.load();
    sendTaken({"after"});
    ASSERT_TRUE(waitUntil([&] { return core.count() == UDP_Core::kMaxQueuedDatagrams + 1; }, kUntilTheRunnerStops));
    EXPECT_EQ(core.dropped.load(), droppedBefore);
    EXPECT_EQ(core.received.last(), QByteArray("after"));
}

TEST(UdpCore, FindsInterfacesByAddressAndNetwork)
{
    InterfaceTable table;
    table.insert("aa:00:00:00:00:01", {"eth0", "192.168.1.10", "255.255.255.0", "aa:00:00:00:00:01", "192.168.1.1"});
    table.insert("aa:00:00:00:00:02", {"eth1", "10.0.0.5", "255.255.0.0", "aa:00:00:00:00:02", "10.0.0.1"});
    table.insert("aa:00:00:00:00:03", {"eth2", "10.0.9.5", "255.255.0.0", "aa:00:00:00:00:03", "10.0.0.1"});
    UDP_Core core(table);
    EXPECT_EQ(core.foundNetBaseByIP("10.0.0.5").name, "eth1");
    EXPECT_TRUE(core.foundNetBaseByIP("10.0.0.6").name.isEmpty());
    EXPECT_EQ(core.getSameUseNet("192.168.1.77"), "192.168.1.10");
    EXPECT_EQ(core.getSameUseNet("10.0.200.1"), "10.0.9.5");   // the last entry that matches
    EXPECT_TRUE(core.getSameUseNet("172.16.0.1").isEmpty());
}

TEST(GvcpPackets, BuildsTheWireBytesExactly)
{
    EXPECT_EQ(QByteArray::fromStdString(gvcp_cmd_discover()), QByteArray::fromHex("4211000200000001"));

    const qint64 before = gettimeofday_ms();
    const QByteArray clock = QByteArray::fromStdString(gvcp_cmd_uptime());
    ASSERT_EQ(clock.size(), 24);
    EXPECT_EQ(clock.left(16), QByteArray::fromHex("4211008200100001" "01000000" "00000000"));
    const qint64 sent = qFromLittleEndian<qint64>(clock.constData() + 16);
    EXPECT_GE(sent, before);
    EXPECT_LE(sent, gettimeofday_ms());
    EXPECT_EQ(QByteArray::fromStdString(gvcp_cmd_rebootdaemon()),
              QByteArray::fromHex("4211008200100001" "02000000" "00000000" "0000000000000000"));

    const std::string longId(40, 'x');
    const QByteArray force =
        QByteArray::fromStdString(gvcp_cmd_forceip("10.0.0.7", "255.255.255.0", "bad text", longId.c_str()));
    ASSERT_EQ(force.size(), 64);
    EXPECT_EQ(force.left(8), QByteArray::fromHex("4211000400380001"));
    EXPECT_EQ(force.mid(8, 12), QByteArray(12, '\0'));
    EXPECT_EQ(force.mid(20, 12), QByteArray::fromHex("0a000007" "ffffff00" "00000000"));   // bad text: 0.0.0.0
    EXPECT_EQ(force.mid(32, 32), QByteArray(31, 'x') + '\0');

    const QByteArray ack = QByteArray::fromStdString(
        gvcp_ack_discover("cam-1", "10.0.0.5", "10.0.0.6", "255.255.255.0", "10.0.0.1", "02:1a:2b:3c:4d:5e"));
    ASSERT_EQ(ack.size(), 224);
    EXPECT_EQ(ack.left(8), QByteArray::fromHex("0000000300d80001"));
    EXPECT_EQ(ack.mid(8, 24), QByteArray::fromHex("021a2b3c4d5e0000" "0a000005" "0a000006" "ffffff00" "0a000001"));
    gvcp_discover_ack_payload payload{};
    ASSERT_TRUE(gvcp_read_payload(ack, &payload, sizeof payload));
    EXPECT_EQ(gvcp_text(payload.vendor, 32).size(), 3);
    EXPECT_EQ(gvcp_text(payload.version, 32).size(), 20);
    EXPECT_EQ(gvcp_text(payload.device_id, 32), "cam-1");
    EXPECT_EQ(ack.mid(8 + 200, 16), QByteArray(16, '\0'));

    const QByteArray forceAck = QByteArray::fromStdString(
        gvcp_ack_forceip("cam-1", "10.0.0.5", "10.0.0.7", "255.255.255.0", "10.0.0.7", "02:1a:2b:3c:4d:5e"));
    ASSERT_EQ(forceAck.size(), 64);
    EXPECT_EQ(forceAck.left(8), QByteArray::fromHex("0000000500380001"));
    const QByteArray clockAck = QByteArray::fromStdString(gvcp_ack_rebootdaemon());
    ASSERT_EQ(clockAck.size(), 24);
    EXPECT_EQ(clockAck.left(12), QByteArray::fromHex("0000008300100001" "02000000"));

    // A payload shorter than its layout, received or announced, is not read.
    EXPECT_FALSE(gvcp_read_payload(ack.left(223), &payload, sizeof payload));
    QByteArray understated = ack;
    understated[5] = char(0x10);
    EXPECT_FALSE(gvcp_read_payload(understated, &payload, sizeof payload));
    uint16_t code = 0;
    EXPECT_FALSE(gvcp_read_code(QByteArray::fromHex("42110002000000"), code));
}
