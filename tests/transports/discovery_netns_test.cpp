// Broadcast tests of the camera discovery protocol. They need real interfaces, so the outer
// test re-runs this program under `unshare -n` (a private network namespace holding only a
// veth pair it sets up) and the inner tests run there; anywhere else they skip, whatever the
// environment says: they add links, addresses and routes.
#include "base/publictools.h"
#include "support/fakecommandrunner.h"
#include "support/testenv.h"
#include "transports/gvcppackets.h"
#include "transports/udpacam.h"
#include "transporttestutil.h"

#include <QCoreApplication>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkDatagram>
#include <QProcess>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QUdpSocket>
#include <gtest/gtest.h>

#include <unistd.h>

using TestEnv::waitUntil;

namespace {

constexpr char kInnerMarker[] = "MOULD_NETNS_INNER";
// Printed by an inner run whose veth pair could not be set up; the outer test then skips.
constexpr char kSetupFailed[] = "NETNS-SETUP-FAILED";

bool inNamespace()
{
    return qEnvironmentVariable(kInnerMarker) == QLatin1String("1") && TestEnv::inNamespaceOfItsOwn("net");
}

// Host side mtv0 10.0.0.5/24; camera side mtv1 10.0.0.6/24 and 192.168.1.20/24; a default
// route on each, so both are complete interfaces.
bool setUpNetwork()
{
    static int done = -1;
    if (done >= 0)
        return done == 1;
    const QList<QStringList> steps{
        {"link", "set", "lo", "up"},
        {"link", "add", "mtv0", "type", "veth", "peer", "name", "mtv1"},
        {"addr", "add", "10.0.0.5/24", "dev", "mtv0"},
        {"addr", "add", "10.0.0.6/24", "dev", "mtv1"},
        {"addr", "add", "192.168.1.20/24", "dev", "mtv1"},
        {"link", "set", "mtv0", "up"},
        {"link", "set", "mtv1", "up"},
        {"route", "add", "default", "via", "10.0.0.1", "dev", "mtv0"},
        {"route", "add", "default", "via", "10.0.0.1", "dev", "mtv1", "metric", "50"},
    };
    done = 1;
    for (const QStringList& step : steps) {
        if (!TestEnv::commandSucceeds(QStringLiteral("ip"), step)) {
            done = 0;
            return false;
        }
    }
    const bool up = waitUntil([] {
        QProcess show;
        show.start(QStringLiteral("ip"), {"-o", "link", "show", "mtv0"});
        return show.waitForFinished(2000) && show.readAllStandardOutput().contains("state UP");
    }, 5000);
    done = up ? 1 : 0;
    return up;
}

class InNetns : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!inNamespace())
            GTEST_SKIP() << "runs only inside the network namespace DiscoveryNetns makes";
        if (!setUpNetwork()) {
            std::puts(kSetupFailed);
            GTEST_SKIP() << "the veth pair could not be set up";
        }
    }

    static DeviceNetInfo_Detail read(const char* name)
    {
        char ip[32] = {}, mask[32] = {}, gateway[32] = {}, mac[32] = {};
        QByteArray copy(name);
        if (GetIfAddr(copy.data(), ip, mask, gateway, mac) < 0)
            return {};
        return {QString::fromLatin1(name), ip, mask, mac, gateway};
    }
};

}  // namespace

TEST(DiscoveryNetns, RunsTheBroadcastTestsInAPrivateNetwork)
{
    if (inNamespace())
        GTEST_SKIP() << "already inside";
    if (::geteuid() != 0 || !TestEnv::commandSucceeds(QStringLiteral("unshare"), {"-n", "true"}))
        GTEST_SKIP() << "needs root and unshare -n for a private network namespace";
    if (!TestEnv::commandSucceeds(QStringLiteral("ip"), {"-V"}))
        GTEST_SKIP() << "needs ip (iproute2)";

    const TestEnv::Rerun rerun = TestEnv::rerunSelf({"-n"}, kInnerMarker, QStringLiteral("InNetns.*"), 60000);
    ASSERT_TRUE(rerun.started);
    if (rerun.output.contains(kSetupFailed))
        GTEST_SKIP() << "no veth pair here:\n" << rerun.output.toStdString();
    EXPECT_TRUE(rerun.passed(4)) << rerun.output.toStdString();
}

TEST_F(InNetns, BroadcastDiscoverBringsTheInterfaceAnswer)
{
    FakeCommandRunner runner;
    UDP_ACam_Server server;
    server.setDeviceId("cam-ns");
    ASSERT_TRUE(server.isListening());
    const DeviceNetInfo_Detail camera = read("mtv1");
    ASSERT_FALSE(camera.mac.isEmpty());
    ASSERT_TRUE(server.interfaces().contains(camera.mac));

    QUdpSocket host;
    ASSERT_TRUE(host.bind(QHostAddress::AnyIPv4, kGvcpHostPort));
    QUdpSocket asker;
    ASSERT_TRUE(asker.bind(QHostAddress(QStringLiteral("10.0.0.5")), 0));
    asker.writeDatagram(QByteArray::fromHex("4211000200000001"), QHostAddress::Broadcast, kGvcpCameraPort);

    bool seen = false;
    waitUntil([&] {
        while (host.hasPendingDatagrams()) {
            const QByteArray answer = host.receiveDatagram().data();
            EXPECT_EQ(answer.size(), 224);
            gvcp_discover_ack_payload payload{};
            if (!gvcp_read_payload(answer, &payload, sizeof payload) || gvcp_ip_text(payload.ip) != camera.ip)
                continue;
            unsigned char mac[6];
            string2ethaddr(camera.mac, mac);
            EXPECT_EQ(QByteArray(reinterpret_cast<char*>(payload.mac), 6), QByteArray(reinterpret_cast<char*>(mac), 6));
            EXPECT_EQ(gvcp_ip_text(payload.netmask), "255.255.255.0");
            EXPECT_EQ(gvcp_ip_text(payload.gateway), "10.0.0.1");
            EXPECT_EQ(gvcp_ip_text(payload.host_ip), "10.0.0.5");
            EXPECT_EQ(gvcp_text(payload.device_id, 32), "cam-ns");
            seen = true;
        }
        return seen;
    }, 5000);
    EXPECT_TRUE(seen);
}

// A camera in 192.168.1.0/24, found through hosts 10.0.0.5 and 10.0.0.6 on a /24, is moved to
// 10.0.0.7: its candidate, the host address, is taken, and so is the first try, 10.0.0.6.
TEST_F(InNetns, ClientMovesTheCameraSetsClocksAndRestarts)
{
    FakeCommandRunner runner;
    const DeviceNetInfo_Detail side = read("mtv1");
    InterfaceTable cameraTable;
    cameraTable.insert(side.mac, {"mtv1", "192.168.1.20", "255.255.255.0", side.mac, "192.168.1.1"});
    UDP_ACam_Server server(cameraTable, ACamRoute::camera());
    server.setDeviceId("cam-b");
    QSignalSpy clockSet(&server, &UDP_ACam_Server::sig_updatetime);
    QSignalSpy restarted(&server, &UDP_ACam_Server::sig_rebootdaemon);

    UDP_ACam_Client client;   // the machine's interfaces: mtv0 and mtv1
    ASSERT_EQ(client.interfaces().size(), 2);
    EXPECT_GE(clockSet.count(), 1);
    EXPECT_GE(runner.count("hwclock"), 1);

    const QMap<QString, gvcp_discover_ack_payload> found = client.findCamera();
    ASSERT_TRUE(found.contains("cam-b"));
    EXPECT_EQ(gvcp_ip_text(found.value("cam-b").ip), "192.168.1.20");

    client.ActForceIP();
    const QStringList commands = runner.commands();
    const QStringList expected{"ip addr flush dev mtv1", "ip route flush table main",
                               "ifconfig mtv1 10.0.0.7 netmask 255.255.255.0", "route add default gw 10.0.0.7"};
    const int first = commands.indexOf(expected.first());
    ASSERT_GE(first, 0) << commands.join('|').toStdString();
    EXPECT_EQ(commands.mid(first, 4), expected);
    // Only recorded: mtv1 kept its addresses, and the answer reported them.
    EXPECT_EQ(gvcp_ip_text(client.foundCameras().value("cam-b").ip), "10.0.0.6");

    client.ActRebootDaemon("cam-b");
    EXPECT_GE(restarted.count(), 1);
}

TEST_F(InNetns, ProbesFindTheCameraAndRecordItsCommands)
{
    const QString commandLog = TestEnv::workDir() + QStringLiteral("/commands.log");
    TransportTest::ProbeProcess server;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("MOULD_COMMAND_LOG", commandLog);
    server.process.setProcessEnvironment(environment);
    ASSERT_EQ(server.start(QStringLiteral("probe_discovery"), {"server", "--device-id", "cam-p"}),
              "listening 255.255.255.255 3956");
    EXPECT_TRUE(server.readLine(2000).contains("\"ip\":\"10.0.0."));

    auto host = [](const QStringList& arguments) {
        QProcess probe;
        probe.start(TransportTest::probePath("probe_discovery"), arguments);
        probe.waitForFinished(10000);
        EXPECT_EQ(probe.exitCode(), 0);
        return QString::fromUtf8(probe.readAllStandardOutput());
    };
    const QString listed = host({"find"});
    const QJsonObject camera = QJsonDocument::fromJson(listed.split('\n').first().toUtf8()).object();
    EXPECT_EQ(camera.value("device_id").toString(), "cam-p");
    EXPECT_EQ(camera.value("netmask").toString(), "255.255.255.0");

    // The camera sits at a host interface's address, so it is moved to a free one.
    host({"forceip"});
    host({"reboot", "cam-p"});
    bool clock = false, restart = false;
    for (QString line = server.readLine(3000); !line.isEmpty(); line = server.readLine(500)) {
        clock |= line == "updatetime";
        restart |= line == "rebootdaemon";
    }
    EXPECT_TRUE(clock);
    EXPECT_TRUE(restart);

    QFile log(commandLog);
    ASSERT_TRUE(log.open(QIODevice::ReadOnly));
    const QString recorded = QString::fromUtf8(log.readAll());
    const QRegularExpression forced(QStringLiteral("ip addr flush dev (mtv[01])\nip route flush table main\n"
                                                   "ifconfig \\1 (10\\.0\\.0\\.\\d+) netmask 255\\.255\\.255\\.0\n"
                                                   "route add default gw \\2\n"));
    EXPECT_TRUE(forced.match(recorded).hasMatch()) << recorded.toStdString();
    EXPECT_TRUE(recorded.contains("hwclock --systohc")) << recorded.toStdString();
}

// A copy of this program started here with the marker, but in its starter's network rather than
// one of its own, is what a marker set in a shell looks like: its cases must not touch the
// network it finds. Tried in here, so a copy that did would only meet this private network.
TEST_F(InNetns, CasesStartedWithTheMarkerButNoNetworkOfTheirOwnSkip)
{
    QProcess copy;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(kInnerMarker, "1");
    copy.setProcessEnvironment(environment);
    copy.setProcessChannelMode(QProcess::MergedChannels);
    copy.start(QCoreApplication::applicationFilePath(),
               {"--gtest_filter=InNetns.*:-InNetns.CasesStartedWithTheMarkerButNoNetworkOfTheirOwnSkip"});
    ASSERT_TRUE(copy.waitForFinished(60000));
    const QByteArray output = copy.readAll();
    // Shown without the set-up marker: the outer test would take it for its own and skip.
    const std::string shown = QByteArray(output).replace(kSetupFailed, "(veth set-up failed)").toStdString();
    EXPECT_EQ(copy.exitCode(), 0) << shown;
    EXPECT_TRUE(output.contains("[  SKIPPED ] 3 tests")) << shown;
    EXPECT_EQ(output.count("runs only inside the network namespace DiscoveryNetns makes"), 3) << shown;
    EXPECT_FALSE(output.contains(kSetupFailed)) << shown;
}
