#include "base/appclock.h"
#include "base/publictools.h"
#include "support/testenv.h"
#include "vision/wizardpara.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cstdlib>
#include <cstring>
#include <sys/time.h>

namespace {

QJsonObject readConfig()
{
    QFile file(QStringLiteral("cnt_net/config.json"));
    if (!file.open(QIODevice::ReadOnly))
        return QJsonObject();
    return QJsonDocument::fromJson(file.readAll()).object();
}

qint64 systemMs()
{
    timeval now{};
    gettimeofday(&now, nullptr);
    return qint64(now.tv_sec) * 1000 + now.tv_usec / 1000;
}

}  // namespace

TEST(AddressText, SubNetAndsEveryOctet)
{
    EXPECT_EQ(getSubNet("192.168.17.201", "255.255.240.0"), "192.168.16.0");
    EXPECT_EQ(getSubNet("10.1.2.3", "255.0.0.0"), "10.0.0.0");
    EXPECT_EQ(getSubNet("10.1.2.3", "0.0.0.0"), "0.0.0.0");
}

TEST(AddressText, SubNetOfMalformedTextIsEmpty)
{
    EXPECT_TRUE(getSubNet("192.168.1", "255.255.255.0").isEmpty());
    EXPECT_TRUE(getSubNet("192.168.1.1", "255.255.255").isEmpty());
    EXPECT_TRUE(getSubNet("192.168.1.x", "255.255.255.0").isEmpty());
    EXPECT_TRUE(getSubNet("192.168.1.256", "255.255.255.0").isEmpty());
    EXPECT_TRUE(getSubNet("", "").isEmpty());
}

TEST(AddressText, SetIPLastReplacesOnlyTheLastPart)
{
    QString ip = QStringLiteral("192.168.1.5");
    EXPECT_TRUE(setIPLast(ip, 254));
    EXPECT_EQ(ip, "192.168.1.254");

    QString shortIp = QStringLiteral("192.168.1");
    EXPECT_FALSE(setIPLast(shortIp, 7));
    EXPECT_EQ(shortIp, "192.168.1");
    QString longIp = QStringLiteral("1.2.3.4.5");
    EXPECT_FALSE(setIPLast(longIp, 7));
    EXPECT_EQ(longIp, "1.2.3.4.5");
}

TEST(AddressText, Nint2StringReadsNetworkByteOrder)
{
    EXPECT_EQ(nint2string(htonl(0xC0A80A01)), "192.168.10.1");
    EXPECT_EQ(nint2string(htonl(INADDR_LOOPBACK)), "127.0.0.1");
    EXPECT_EQ(nint2string(0), "0.0.0.0");
}

TEST(AddressText, String2EthaddrParsesSixHexBytes)
{
    unsigned char mac[6] = {};
    ASSERT_TRUE(string2ethaddr("00:1a:2B:c3:4D:ff", mac));
    const unsigned char expected[6] = {0x00, 0x1a, 0x2b, 0xc3, 0x4d, 0xff};
    EXPECT_EQ(std::memcmp(mac, expected, 6), 0);
    ASSERT_TRUE(string2ethaddr("0:1:2:3:4:5", mac));
    EXPECT_EQ(mac[5], 5);
}

TEST(AddressText, String2EthaddrRejectsMalformedTextAndLeavesTheBytes)
{
    const unsigned char untouched[6] = {1, 2, 3, 4, 5, 6};
    for (const char* text : {"00:1a:2b:3c:4d", "00:1a:2b:3c:4d:5e:6f", "00:1a:2b:3c:4d:5g", "001:a:2b:3c:4d:5e",
                             "00:1a::3c:4d:5e", "00-1a-2b-3c-4d-5e", "+1:1a:2b:3c:4d:5e", "1a: b:3c:4d:5e:6f"}) {
        unsigned char mac[6];
        std::memcpy(mac, untouched, 6);
        EXPECT_FALSE(string2ethaddr(QString::fromLatin1(text), mac)) << text;
        EXPECT_EQ(std::memcmp(mac, untouched, 6), 0) << text;
    }
}

TEST(RandPort, LowSixteenBitsAreAUsablePort)
{
    std::srand(12345);
    for (int draw = 0; draw < 20000; ++draw) {
        const int low = RandPort() & 0xFFFF;
        ASSERT_GE(low, 10001);
        ASSERT_FALSE(low >= 10410 && low <= 10419) << low;
    }
}

TEST(Clock, MillisecondsFollowTheSystemClock)
{
    const qint64 before = systemMs();
    const qint64 ms = gettimeofday_ms();
    const qint64 after = systemMs();
    EXPECT_GE(ms, before);
    EXPECT_LE(ms, after);
}

TEST(Clock, TenMillisecondUnitsWrapEveryBillion)
{
    const qint64 before = gettimeofday_ms() / 10 % 1000000000LL;
    const int units = curtime_qint64_2_int();
    const qint64 after = gettimeofday_ms() / 10 % 1000000000LL;
    EXPECT_GE(units, before);
    EXPECT_LE(units, after);

    // Just past a wrap the units start again near zero.
    const qint64 wrapMs = (gettimeofday_ms() / 10000000000LL + 1) * 10000000000LL;
    AppClock::setOffsetMs(wrapMs + 5000 - QDateTime::currentMSecsSinceEpoch());
    const int wrapped = curtime_qint64_2_int();
    AppClock::setOffsetMs(0);
    EXPECT_GE(wrapped, 500);
    EXPECT_LT(wrapped, 1500);
}

class VersionFile : public ::testing::Test {
protected:
    void SetUp() override { m_savedCameras = numCamera; }
    void TearDown() override
    {
        numCamera = m_savedCameras;
        AppClock::setOffsetMs(0);
    }

private:
    int m_savedCameras = 0;
};

TEST_F(VersionFile, WritesVersionAndCameraCountIntoANewFile)
{
    numCamera = 3;
    writeVersionToJson();
    const QJsonObject config = readConfig();
    EXPECT_EQ(config.value("version").toString(), "18.0.1.71");
    EXPECT_EQ(config.value("camcount").toInt(-1), 3);
    EXPECT_EQ(config.size(), 2);
}

TEST_F(VersionFile, KeepsEveryOtherKey)
{
    numCamera = 2;
    TestEnv::writeText("cnt_net/config.json",
                       R"({"netflag": 1, "serverip": "192.168.1.9", "version": "1.0", "camcount": 8,
                           "nested": {"a": [1, 2]}})");
    writeVersionToJson();
    const QJsonObject config = readConfig();
    EXPECT_EQ(config.value("netflag").toInt(), 1);
    EXPECT_EQ(config.value("serverip").toString(), "192.168.1.9");
    EXPECT_EQ(config.value("nested").toObject().value("a").toArray().size(), 2);
    EXPECT_EQ(config.value("version").toString(), "18.0.1.71");
    EXPECT_EQ(config.value("camcount").toInt(), 2);

    QFile file(QStringLiteral("cnt_net/config.json"));
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    EXPECT_TRUE(file.readAll().contains("\n    \"")) << "written indented";
}

// A stray comma, a cut file or an array: what the operator set survives as a copy beside it.
TEST_F(VersionFile, KeepsACopyOfAnUnreadableFileBeforeReplacingIt)
{
    numCamera = 1;
    const QList<QByteArray> unreadable{R"({"devicename": "press-4", "device_workapifunc": true,})",
                                       R"({"devicename": "press-4", "serv)", R"(["press-4"])"};
    for (int i = 0; i < unreadable.size(); ++i) {
        SCOPED_TRACE(i);
        AppClock::setNow(QDateTime(QDate(2024, 5, 6), QTime(9, 0, i)));
        TestEnv::writeText("cnt_net/config.json", unreadable.at(i));
        writeVersionToJson();
        const QJsonObject config = readConfig();
        EXPECT_EQ(config.size(), 2);
        EXPECT_EQ(config.value("version").toString(), "18.0.1.71");
        EXPECT_EQ(config.value("camcount").toInt(), 1);
        QFile kept(QStringLiteral("cnt_net/config.json.broken-2024050609000%1").arg(i));
        ASSERT_TRUE(kept.open(QIODevice::ReadOnly));
        EXPECT_EQ(kept.readAll(), unreadable.at(i));
    }
}

TEST(DeviceId, ReadsTheBoardSerial)
{
    TestEnv::EnvGuard root("MOULD_ROOT", TestEnv::workDir().toUtf8() + "/root");
    TestEnv::writeText(TestEnv::workDir() + "/root/proc/cpuinfo",
                       "processor\t: 0\nBogoMIPS\t: 108.00\n\nHardware\t: BCM2835\n"
                       "Serial\t\t: 10000000a1b2c3d4\nModel\t\t: Panel\n");
    EXPECT_EQ(getlocal_deviceid(), "10000000a1b2c3d4");
}

TEST(DeviceId, WithoutSerialKeepsOneStableId)
{
    TestEnv::EnvGuard root("MOULD_ROOT", TestEnv::workDir().toUtf8() + "/root");
    TestEnv::writeText(TestEnv::workDir() + "/root/proc/cpuinfo",
                       "processor\t: 0\nmodel name\t: Some PC\nSerial\t\t: 0000000000000000\n");
    const QString first = getlocal_deviceid();
    EXPECT_FALSE(first.isEmpty());
    EXPECT_NE(first, "0000000000000000");
    EXPECT_EQ(getlocal_deviceid(), first);

    // Also when the cpu information cannot be read at all.
    QFile::remove(TestEnv::workDir() + "/root/proc/cpuinfo");
    EXPECT_EQ(getlocal_deviceid(), first);
}

TEST(GetIfAddr, LoopbackAddressMaskAndMac)
{
    TestEnv::EnvGuard root("MOULD_ROOT", TestEnv::workDir().toUtf8() + "/root");
    TestEnv::writeText(TestEnv::workDir() + "/root/proc/net/route",
                       "Iface\tDestination\tGateway \tFlags\tRefCnt\tUse\tMetric\tMask\t\tMTU\tWindow\tIRTT\n"
                       "eth0\t00000000\t010200C0\t0003\t0\t0\t0\t00000000\t0\t0\t0\n"
                       "lo\t0000007F\t00000000\t0001\t0\t0\t0\t000000FF\t0\t0\t0\n");
    char name[] = "lo";
    char ip[32] = {}, mask[32] = {}, gateway[32] = {}, mac[32] = {};

    // No default route through lo: the addresses are filled but the lookup reports it.
    EXPECT_EQ(GetIfAddr(name, ip, mask, gateway, mac), -7);
    EXPECT_STREQ(ip, "127.0.0.1");
    EXPECT_STREQ(mask, "255.0.0.0");
    EXPECT_STREQ(mac, "00:00:00:00:00:00");

    TestEnv::writeText(TestEnv::workDir() + "/root/proc/net/route",
                       "Iface\tDestination\tGateway \tFlags\tRefCnt\tUse\tMetric\tMask\t\tMTU\tWindow\tIRTT\n"
                       "eth0\t00000000\t010200C0\t0003\t0\t0\t0\t00000000\t0\t0\t0\n"
                       "lo\t00000000\t0101A8C0\t0003\t0\t0\t0\t00000000\t0\t0\t0\n");
    EXPECT_EQ(GetIfAddr(name, ip, mask, gateway, mac), 0);
    EXPECT_STREQ(gateway, "192.168.1.1");

    QFile::remove(TestEnv::workDir() + "/root/proc/net/route");
    EXPECT_EQ(GetIfAddr(name, ip, mask, gateway, mac), -6);
}

TEST(GetIfAddr, MissingInterfaceHasNoHardwareAddress)
{
    char name[] = "nosuchif0";
    char ip[32] = {}, mask[32] = {}, gateway[32] = {}, mac[32] = {};
    EXPECT_EQ(GetIfAddr(name, ip, mask, gateway, mac), -2);
}

TEST(GetIfAddr, OverlongNameIsCutNotOverrun)
{
    char name[] = "an-interface-name-far-longer-than-the-kernel-allows";
    char ip[32] = {}, mask[32] = {}, gateway[32] = {}, mac[32] = {};
    EXPECT_LT(GetIfAddr(name, ip, mask, gateway, mac), 0);
}
