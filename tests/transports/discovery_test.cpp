#include "support/fakecommandrunner.h"
#include "support/testenv.h"
#include "transports/gvcppackets.h"
#include "transports/udpacam.h"

#include <QNetworkDatagram>
#include <QSignalSpy>
#include <QUdpSocket>
#include <QtEndian>
#include <gtest/gtest.h>

#include <arpa/inet.h>

using TestEnv::waitUntil;

namespace {

// An interface that does not exist on the machine, so re-reading it after a forced address
// keeps the table as it is.
const DeviceNetInfo_Detail kCameraSide{"mouldtest0", "127.0.0.1", "255.0.0.0", "02:00:00:00:00:01", "127.0.0.254"};

InterfaceTable tableOf(const QList<DeviceNetInfo_Detail>& entries)
{
    InterfaceTable table;
    for (const DeviceNetInfo_Detail& entry : entries)
        table.insert(entry.mac, entry);
    return table;
}

// The other end on loopback: receives what is sent to it and sends raw datagrams.
struct RawPeer {
    QUdpSocket socket;
    RawPeer() { socket.bind(QHostAddress(QHostAddress::LocalHost), 0); }
    quint16 port() const { return socket.localPort(); }
    void send(const std::string& bytes, quint16 to)
    {
        socket.writeDatagram(QByteArray::fromStdString(bytes), QHostAddress(QHostAddress::LocalHost), to);
    }
    void sendRaw(const QByteArray& bytes, quint16 to) { socket.writeDatagram(bytes, QHostAddress(QHostAddress::LocalHost), to); }
    // The next datagram within the wait, or a null array.
    QByteArray next(int timeoutMs = 3000)
    {
        if (!waitUntil([&] { return socket.hasPendingDatagrams(); }, timeoutMs))
            return QByteArray();
        return socket.receiveDatagram().data();
    }
    bool quiet(int ms = 400)
    {
        TestEnv::spin(ms);
        return !socket.hasPendingDatagrams();
    }
};

uint16_t codeOf(const QByteArray& datagram)
{
    uint16_t code = 0;
    gvcp_read_code(datagram, code);
    return code;
}

std::string forceCommand(const char* ip, const char* mask, const char* gateway, const char* id)
{
    return gvcp_cmd_forceip(ip, mask, gateway, id);
}

}  // namespace

TEST(ACamServer, AnswersDiscoveryClockAndRestart)
{
    FakeCommandRunner runner;
    RawPeer host;
    UDP_ACam_Server server(tableOf({kCameraSide}), ACamRoute{"127.0.0.1", 0, "127.0.0.1", host.port()});
    server.setDeviceId("cam-7");
    ASSERT_TRUE(server.isListening());
    const quint16 port = server.boundPorts().value(0);
    QSignalSpy updated(&server, &UDP_ACam_Server::sig_updatetime);
    QSignalSpy reboot(&server, &UDP_ACam_Server::sig_rebootdaemon);

    host.send(gvcp_cmd_discover(), port);
    const QByteArray answer = host.next();
    ASSERT_EQ(answer.size(), 224);
    EXPECT_EQ(codeOf(answer), GVCP_DISCOVERY_ACK);
    gvcp_discover_ack_payload payload{};
    ASSERT_TRUE(gvcp_read_payload(answer, &payload, sizeof payload));
    EXPECT_EQ(gvcp_text(payload.device_id, 32), "cam-7");
    EXPECT_EQ(gvcp_ip_text(payload.host_ip), "127.0.0.1");
    EXPECT_EQ(gvcp_ip_text(payload.ip), "127.0.0.1");
    EXPECT_EQ(gvcp_ip_text(payload.netmask), "255.0.0.0");
    EXPECT_EQ(gvcp_ip_text(payload.gateway), "127.0.0.254");
    EXPECT_EQ(QByteArray(reinterpret_cast<const char*>(payload.mac), 6), QByteArray::fromHex("020000000001"));

    host.send(gvcp_cmd_uptime(), port);
    const QByteArray clockAnswer = host.next();
    ASSERT_EQ(clockAnswer.size(), 24);
    EXPECT_EQ(codeOf(clockAnswer), GVCP_DAEMON_ACK);
    EXPECT_EQ(qFromLittleEndian<quint32>(clockAnswer.constData() + 8), 1u);
    EXPECT_EQ(updated.count(), 1);
    const QStringList commands = runner.commands();
    ASSERT_EQ(commands.size(), 3);
    EXPECT_TRUE(commands.at(0).startsWith("cp ") && commands.at(0).endsWith("/etc/localtime"));
    EXPECT_TRUE(commands.at(1).startsWith("date -s \"")) << commands.at(1).toStdString();   // one argument
    EXPECT_EQ(commands.at(2), "hwclock --systohc");

    host.send(gvcp_cmd_rebootdaemon(), port);
    const QByteArray rebootAnswer = host.next();
    ASSERT_EQ(rebootAnswer.size(), 24);
    EXPECT_EQ(qFromLittleEndian<quint32>(rebootAnswer.constData() + 8), 2u);
    EXPECT_EQ(reboot.count(), 1);
}

TEST(ACamServer, AppliesOnlySoundForcedAddressesForItsOwnId)
{
    FakeCommandRunner runner;
    RawPeer host;
    UDP_ACam_Server server(tableOf({kCameraSide}), ACamRoute{"127.0.0.1", 0, "127.0.0.1", host.port()});
    server.setDeviceId("cam-7");
    const quint16 port = server.boundPorts().value(0);

    // Refused before anything is flushed: other ids, bad addresses and netmasks, short payloads.
    host.send(forceCommand("10.1.2.3", "255.255.255.0", "10.1.2.1", "cam-8"), port);
    for (const char* ip : {"0.0.0.0", "255.255.255.255", "127.0.0.9", "224.0.0.1", "240.0.0.1", "10.1.2.0", "10.1.2.255"})
        host.send(forceCommand(ip, "255.255.255.0", "10.1.2.1", "cam-7"), port);
    for (const char* mask : {"255.0.255.0", "255.255.255.254", "255.255.255.255", "0.0.0.0"})
        host.send(forceCommand("10.1.2.3", mask, "10.1.2.1", "cam-7"), port);
    host.send(forceCommand("10.1.2.3", "255.255.255.0", "10.1.2.1", "cam-7").substr(0, 40), port);
    host.sendRaw(QByteArray::fromHex("421100"), port);
    EXPECT_TRUE(host.quiet());
    EXPECT_TRUE(runner.commands().isEmpty()) << runner.commands().join('|').toStdString();

    host.send(forceCommand("10.1.2.3", "255.255.255.0", "10.1.2.1", "cam-7"), port);
    const QByteArray answer = host.next();
    ASSERT_EQ(answer.size(), 64);
    EXPECT_EQ(codeOf(answer), GVCP_FORCEIP_ACK);
    EXPECT_EQ(runner.commands(), QStringList({"ip addr flush dev mouldtest0", "ip route flush table main",
                                              "ifconfig mouldtest0 10.1.2.3 netmask 255.255.255.0",
                                              "route add default gw 10.1.2.1"}));
    gvcp_forceip_ack_payload payload{};
    ASSERT_TRUE(gvcp_read_payload(answer, &payload, sizeof payload));
    EXPECT_EQ(gvcp_text(payload.device_id, 32), "cam-7");
    // The interface could not be read again, so the answer reports the data it had.
    EXPECT_EQ(gvcp_ip_text(payload.ip), "127.0.0.1");
}

TEST(ACamServer, WithoutInterfacesSetsTheClockButAnswersNothing)
{
    FakeCommandRunner runner;
    RawPeer host;
    UDP_ACam_Server server(InterfaceTable(), ACamRoute{"127.0.0.1", 0, "127.0.0.1", host.port()});
    QSignalSpy updated(&server, &UDP_ACam_Server::sig_updatetime);
    const quint16 port = server.boundPorts().value(0);
    host.send(gvcp_cmd_uptime(), port);
    host.send(gvcp_cmd_rebootdaemon(), port);
    host.send(forceCommand("10.1.2.3", "255.255.255.0", "10.1.2.1", ""), port);
    ASSERT_TRUE(waitUntil([&] { return updated.count() == 1; }));
    EXPECT_TRUE(host.quiet());
    EXPECT_EQ(runner.count("date"), 1);
    EXPECT_EQ(runner.count("ip"), 0);
}

// The host side against a raw camera on loopback; 127.0.0.5 and .6 stand for two host
// interfaces on one /24 (every 127.x address is local).
TEST(ACamClient, MovesCamerasIntoTheHostNetworkWithFreeAddresses)
{
    RawPeer camera;
    const InterfaceTable hostTable =
        tableOf({{"eth0", "127.0.0.5", "255.255.255.0", "aa:00:00:00:00:02", "127.0.0.1"},
                 {"eth1", "127.0.0.6", "255.255.255.0", "aa:00:00:00:00:01", "127.0.0.1"}});
    UDP_ACam_Client client(hostTable, ACamRoute{"127.0.0.1", 0, "127.0.0.1", camera.port()});
    // The constructor set the clock through every interface.
    for (int i = 0; i < 2; ++i) {
        const QByteArray clock = camera.next();
        EXPECT_EQ(clock.size(), 24);
        EXPECT_EQ(codeOf(clock), GVCP_DAEMON_CMD);
    }
    const quint16 port = client.boundPorts().value(0);

    // One camera elsewhere, seen through 127.0.0.5; one at the host interface's own address;
    // one whose address is free on the host's network and stays.
    camera.send(gvcp_ack_discover("cam-b", "127.0.0.5", "192.168.1.20", "255.255.255.0", "192.168.1.1", "02:00:00:00:00:0b"), port);
    camera.send(gvcp_ack_discover("cam-c", "127.0.0.6", "127.0.0.6", "255.255.255.0", "127.0.0.1", "02:00:00:00:00:0c"), port);
    camera.send(gvcp_ack_discover("cam-a", "127.0.0.5", "127.0.0.9", "255.255.255.0", "127.0.0.1", "02:00:00:00:00:0a"), port);
    camera.sendRaw(QByteArray::fromStdString(gvcp_ack_discover("cam-z", "1.1.1.1", "1.1.1.1", "255.0.0.0", "", "")).left(100), port);
    ASSERT_TRUE(waitUntil([&] { return client.foundCameras().size() == 3; }));

    client.ActForceIP();
    QMap<QString, QByteArray> commands;
    for (QByteArray datagram = camera.next(); !datagram.isNull(); datagram = camera.next(300)) {
        gvcp_forceip_payload payload{};
        ASSERT_EQ(codeOf(datagram), GVCP_FORCEIP_CMD);
        ASSERT_TRUE(gvcp_read_payload(datagram, &payload, sizeof payload));
        commands.insert(gvcp_text(payload.device_id, 32),
                        (gvcp_ip_text(payload.ip) + " " + gvcp_ip_text(payload.netmask) + " " + gvcp_ip_text(payload.gateway)).toLatin1());
    }
    // cam-b: 127.0.0.5 is taken, (5 + 0) mod 253 + 1 = 6 is taken, 7 is free.
    EXPECT_EQ(commands.value("cam-b"), "127.0.0.7 255.255.255.0 127.0.0.7");
    // cam-c: its address is an interface's: (6 + 0) mod 253 + 1 = 7 is taken by then, so 8.
    EXPECT_EQ(commands.value("cam-c"), "127.0.0.8 255.255.255.0 127.0.0.8");
    EXPECT_FALSE(commands.contains("cam-a"));
    EXPECT_EQ(commands.size(), 2);

    // A force-address answer updates the stored camera; one for an unknown id changes nothing.
    camera.send(gvcp_ack_forceip("cam-b", "127.0.0.5", "127.0.0.7", "255.255.255.0", "127.0.0.7", "02:00:00:00:00:0b"), port);
    camera.send(gvcp_ack_forceip("cam-q", "127.0.0.5", "127.0.0.7", "255.255.255.0", "127.0.0.7", "02:00:00:00:00:0b"), port);
    ASSERT_TRUE(waitUntil([&] { return gvcp_ip_text(client.foundCameras().value("cam-b").ip) == "127.0.0.7"; }));
    TestEnv::spin(100);
    EXPECT_EQ(client.foundCameras().size(), 3);

    // Restart goes from the interface on the camera's network; an unknown id sends nothing.
    client.ActRebootDaemon("cam-unknown");
    EXPECT_TRUE(camera.quiet(100));
    client.ActRebootDaemon("cam-a");
    const QByteArray restart = camera.next();
    ASSERT_EQ(restart.size(), 24);
    EXPECT_EQ(qFromLittleEndian<quint32>(restart.constData() + 8), 2u);
}

TEST(ACamClient, KeepsAtMostAThousandCameras)
{
    RawPeer camera;
    UDP_ACam_Client client(InterfaceTable(), ACamRoute{"127.0.0.1", 0, "127.0.0.1", camera.port()});
    sockaddr_in from{};
    for (int i = 0; i <= UDP_ACam_Client::kMaxFound; ++i) {
        const std::string id = "cam-" + std::to_string(i);
        client.AnalysisRecvMessage(from, QByteArray::fromStdString(gvcp_ack_discover(id.c_str(), "10.0.0.5", "10.0.0.6",
                                                                                     "255.255.255.0", "10.0.0.1", "")));
    }
    EXPECT_EQ(client.foundCameras().size(), UDP_ACam_Client::kMaxFound);
    EXPECT_EQ(client.AnalysisRecvMessage(from, QByteArray("short")), "no success");
    EXPECT_TRUE(client.findCamera().isEmpty());   // no interfaces: nothing asked, nothing found
}
