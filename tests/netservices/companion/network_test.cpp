// The network manager's configuration, the detection-period record and the region cache.
#include "../../netcore/nettestutil.h"
#include "base/appclock.h"
#include "base/publictools.h"
#include "netservices/api/httpapiserver.h"
#include "netservices/companion/network.h"
#include "netservices/companion/viewwatch2vud.h"
#include "support/fakecommandrunner.h"
#include "support/testenv.h"
#include "vision/wizardpara.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QTcpServer>
#include <QTcpSocket>
#include <gtest/gtest.h>

namespace {

param_roi roi(int camera, int detect, int id, bool passed, int sensitivity = 0)
{
    param_roi r;
    r.camera = camera;
    r.detect = detect;
    r.roi_id = id;
    r.algorithm_type = 3;
    r.algorithm_result = 40 + id;
    r.algorithm_sensitivity = sensitivity;
    r.algorithm_areaMin = 0x0205;
    r.packed = 0x0307;
    r.roi_result = passed ? 1 : 0;
    return r;
}

void insert(JXK_NETMN& netmn, const param_roi& r)
{
    QMutexLocker lock(&netmn.roiMutex);
    netmn.roiCache.insert(JXK_NETMN::roiKey(r.camera, r.detect, r.roi_id), r);
}

QJsonArray ids(const QJsonArray& rois)
{
    QJsonArray out;
    for (const QJsonValue& value : rois)
        out.append(value.toObject().value("roi_index"));
    return out;
}

class NetworkManagerTest : public ::testing::Test {
protected:
    FakeCommandRunner runner;   // the companion is only recorded here
    JXK_NETMN netmn{1, QHostAddress::LocalHost, 0};   // nothing listens on port 1
};

TEST(RegionCache, DetailGroupsByTextAndOrdersRegionsByNumber)
{
    QMap<QString, param_roi> cache;
    for (const param_roi& r : {roi(0, 2, 10, true), roi(0, 2, 1, true), roi(0, 2, 2, false, 258), roi(0, 10, 0, true)})
        cache.insert(JXK_NETMN::roiKey(r.camera, r.detect, r.roi_id), r);

    const QJsonArray detail = JXK_NETMN::Parse_CacheDetectedRoiInfos_2_QJsonArray(cache);
    ASSERT_EQ(detail.size(), 2);
    // "0;10" sorts before "0;2" as text.
    EXPECT_EQ(detail[0].toObject().value("detect_index").toInt(), 10);
    EXPECT_TRUE(detail[0].toObject().value("detect_result").toBool());
    const QJsonObject step2 = detail[1].toObject();
    EXPECT_EQ(step2.value("camera_index").toInt(), 0);
    EXPECT_EQ(step2.value("detect_index").toInt(), 2);
    EXPECT_FALSE(step2.value("detect_result").toBool());
    EXPECT_EQ(ids(step2.value("rois").toArray()), (QJsonArray{1, 2, 10}));

    const QJsonObject region2 = step2.value("rois").toArray()[1].toObject();
    EXPECT_FALSE(region2.value("roi_result").toBool());
    EXPECT_EQ(region2.value("roi_func").toInt(), 3);
    // result; low bytes of the three parameters; then their second bytes.
    EXPECT_EQ(region2.value("roi_algorithm").toArray(), (QJsonArray{42, 2, 5, 7, 1, 2, 3}));
}

TEST(RegionCache, LaterEntryOfTheSameRegionReplacesButStillCountsForTheStep)
{
    QMap<QString, param_roi> cache;
    cache.insert("a", roi(1, 0, 4, false));
    cache.insert("b", roi(1, 0, 4, true));
    const QJsonArray detail = JXK_NETMN::Parse_CacheDetectedRoiInfos_2_QJsonArray(cache);
    ASSERT_EQ(detail.size(), 1);
    const QJsonArray rois = detail[0].toObject().value("rois").toArray();
    ASSERT_EQ(rois.size(), 1);
    EXPECT_TRUE(rois[0].toObject().value("roi_result").toBool());
    EXPECT_FALSE(detail[0].toObject().value("detect_result").toBool());
}

TEST_F(NetworkManagerTest, PeriodRecordTakesPicturesOnlyAfterItsSummary)
{
    netmn.setWorkTask(false, false, true);
    netmn.devicename = "line\r\n7";
    AppClock::setNow(QDateTime::fromMSecsSinceEpoch(0x18c2a5b3f00LL));
    netmn.start_PeriodRecord();
    AppClock::setOffsetMs(0);
    insert(netmn, roi(0, 0, 0, true));
    insert(netmn, roi(1, 0, 0, false));

    JXK_NETMN::sAPI_LastDetect_Info record = netmn.periodRecordCell.getValue();
    // The device name loses its line breaks; the start time (the clock runs on while the test
    // does) is lower-case hex milliseconds.
    ASSERT_TRUE(record.uuid.startsWith("V18#line7@")) << record.uuid.toStdString();
    const QString stamp = record.uuid.mid(10);
    EXPECT_EQ(stamp, stamp.toLower());
    bool hex = false;
    const qint64 startMs = stamp.toLongLong(&hex, 16);
    ASSERT_TRUE(hex);
    EXPECT_GE(startMs, 0x18c2a5b3f00LL);
    EXPECT_LT(startMs, 0x18c2a5b3f00LL + 5000);
    netmn.add_PeriodRecord_Picture(0, 0, true, "/pics/early.jpg");
    EXPECT_TRUE(netmn.periodRecordCell.getValue().pictures.isEmpty());

    netmn.finish_PeriodRecord();
    record = netmn.periodRecordCell.getValue();
    EXPECT_EQ(record.record.value("uuid").toString(), record.uuid);
    EXPECT_FALSE(record.record.value("detect_result").toBool());
    EXPECT_EQ(record.record.value("detail").toArray().size(), 2);
    EXPECT_EQ(record.record.value("starttime").toString(), record.starttime);

    netmn.add_PeriodRecord_Picture(1, 0, false, "/pics/camera2/ng.jpg");
    record = netmn.periodRecordCell.getValue();
    EXPECT_EQ(record.pictures.value("1;0;0"), "/pics/camera2/ng.jpg");

    // The next period starts empty.
    netmn.start_PeriodRecord();
    EXPECT_TRUE(netmn.periodRecordCell.getValue().pictures.isEmpty());
    EXPECT_TRUE(netmn.periodRecordCell.getValue().record.isEmpty());
    QMutexLocker lock(&netmn.roiMutex);
    EXPECT_TRUE(netmn.roiCache.isEmpty());
}

TEST_F(NetworkManagerTest, EmptyCacheFinishesAsPassedWithEmptyDetail)
{
    netmn.setWorkTask(true, false, false);
    netmn.start_PeriodRecord();
    netmn.finish_PeriodRecord();
    const QJsonObject summary = netmn.periodRecordCell.getValue().record;
    EXPECT_TRUE(summary.value("detect_result").toBool());
    EXPECT_TRUE(summary.value("detail").isArray());
    EXPECT_TRUE(summary.value("detail").toArray().isEmpty());
}

TEST_F(NetworkManagerTest, SwitchesOffEmptyInsteadOfRecording)
{
    netmn.setWorkTask(true, false, false);
    netmn.start_PeriodRecord();
    insert(netmn, roi(0, 0, 0, true));
    netmn.setWorkTask(false, false, false);
    netmn.finish_PeriodRecord();
    EXPECT_TRUE(netmn.periodRecordCell.isEmpty());
    QMutexLocker lock(&netmn.roiMutex);
    EXPECT_TRUE(netmn.roiCache.isEmpty());
}

TEST_F(NetworkManagerTest, AlarmDurationCellFollowsEachPeriodsOwnVerdict)
{
    netmn.setWorkTask(true, false, false);
    const auto period = [this](bool passed) {
        netmn.start_PeriodRecord();
        insert(netmn, roi(0, 0, 0, passed));
        netmn.finish_PeriodRecord();
    };
    period(true);   // the first period after start is OK
    EXPECT_TRUE(netmn.alarmDurationCell.isEmpty());
    period(false);
    ASSERT_FALSE(netmn.alarmDurationCell.isEmpty());
    EXPECT_EQ(netmn.alarmDurationCell.getValue(), 0);
    period(true);
    EXPECT_TRUE(netmn.alarmDurationCell.isEmpty());
    EXPECT_TRUE(netmn.firstResultCell.getValue());
}

TEST_F(NetworkManagerTest, ConfigurationFileSetsSwitchesAndWorkspace)
{
    TestEnv::writeText("cnt_net/config.json",
                       R"({"devicename":"M7","device_workapifunc":true,"device_worknetfunc":"yes",)"
                       R"("serverport":"10432","version":"18.0.1.71"})");
    netmn.initStart();
    EXPECT_EQ(netmn.devicename, "M7");
    EXPECT_TRUE(netmn.device_workapifunc);
    EXPECT_FALSE(netmn.device_worknetfunc);   // not a boolean
    EXPECT_EQ(netmn.workspace, "./cnt_net/workspace/");
    EXPECT_TRUE(QDir("cnt_net/workspace").exists());
    // The API started where this manager was told, not on the fixed port of every interface.
    const quint16 apiPort = netmn.apiServer->serverPort();
    EXPECT_NE(apiPort, 0);
    EXPECT_NE(apiPort, JXK_NETMN::kApiPort);
    QTcpSocket client;
    client.connectToHost(QHostAddress::LocalHost, apiPort);
    EXPECT_TRUE(client.waitForConnected(2000));

    EXPECT_EQ(JXK_NETMN::getConfigValue("serverport"), QVariant(QString("10432")));
    EXPECT_FALSE(JXK_NETMN::getConfigValue("camcount").isValid());

    // Unparsable counts as empty: everything off, the program goes on.
    TestEnv::writeText("cnt_net/config.json", "{not json");
    netmn.initStart();
    EXPECT_FALSE(netmn.device_workapifunc);
    EXPECT_TRUE(netmn.devicename.isEmpty());
    EXPECT_FALSE(JXK_NETMN::getConfigValue("devicename").isValid());
}

// The companion reads and writes the same file: a value this program cannot read (a port
// written as a number, a switch written as text) and a key only the companion knows stay in it
// through a start, read here as absent and named in the log once; nothing is copied aside.
TEST_F(NetworkManagerTest, AStartLeavesValuesItCannotReadAndOtherKeysInTheFile)
{
    const int cameras = numCamera;
    numCamera = 2;
    TestEnv::writeText("cnt_net/config.json",
                       R"({"devicename":"M7","serverport":10432,"device_workapifunc":"yes","workspace":5,)"
                       R"("vud_session":{"id":7}})");
    NetTest::LogCapture log;
    writeVersionToJson();
    netmn.initStart();
    EXPECT_EQ(netmn.devicename, "M7");
    EXPECT_FALSE(netmn.device_workapifunc);
    EXPECT_EQ(netmn.workspace, "./cnt_net/workspace/");
    EXPECT_FALSE(JXK_NETMN::getConfigValue("serverport").isValid());
    netmn.initStart();
    numCamera = cameras;

    QFile file("cnt_net/config.json");
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    const QJsonObject config = QJsonDocument::fromJson(file.readAll()).object();
    EXPECT_EQ(config, (QJsonObject{{"devicename", "M7"}, {"serverport", 10432}, {"device_workapifunc", "yes"},
                                   {"workspace", 5}, {"vud_session", QJsonObject{{"id", 7}}},
                                   {"version", "18.0.1.71"}, {"camcount", 2}}));
    EXPECT_EQ(QDir("cnt_net").entryList({"config.json.broken-*"}), QStringList());
    const QStringList warnings = log.lines(QtWarningMsg);
    for (const char* key : {"\"serverport\"", "\"device_workapifunc\"", "\"workspace\""})
        EXPECT_EQ(warnings.filter(key).size(), 1) << key << "\n" << warnings.join('\n').toStdString();
}

// Whatever folder the file names for the workspace (where the subscriptions are kept), off the
// panel it is made under the working directory, or MOULD_ROOT: never elsewhere on this machine.
TEST_F(NetworkManagerTest, AWorkspaceNamingAnotherFolderStaysUnderTheWorkingDirectory)
{
    const QString work = TestEnv::workDir();
    const QString elsewhere = "/tmp/elsewhere-" + QFileInfo(work).fileName() + "/";
    const auto workspaceFor = [&](const QString& named) {
        TestEnv::writeText("cnt_net/config.json", QJsonDocument(QJsonObject{{"workspace", named}}).toJson());
        netmn.initStart();
        return netmn.workspace;
    };
    EXPECT_EQ(workspaceFor(elsewhere), work + elsewhere);
    EXPECT_TRUE(QFileInfo(work + elsewhere).isDir());
    EXPECT_FALSE(QFileInfo::exists(elsewhere));
    EXPECT_EQ(workspaceFor("/root/div-OVE/../../.." + elsewhere), work + elsewhere);
    EXPECT_EQ(workspaceFor("cnt_net/../../ws/"), "ws/");
    // Written without its slash, it is still the folder the files go in.
    EXPECT_EQ(workspaceFor("/root/div-OVE/cnt_net/ws"), work + "/cnt_net/ws/");

    TestEnv::EnvGuard root("MOULD_ROOT", (work + "/fake").toUtf8());
    EXPECT_EQ(workspaceFor(elsewhere), work + "/fake" + elsewhere);
    EXPECT_TRUE(QFileInfo(work + "/fake" + elsewhere).isDir());
    EXPECT_EQ(workspaceFor("/root/div-OVE/../../../x/"), work + "/fake/x/");
    EXPECT_FALSE(QFileInfo::exists(elsewhere));
}

TEST_F(NetworkManagerTest, MissingConfigurationChangesNothing)
{
    netmn.setWorkTask(false, false, true);
    netmn.start_PeriodRecord();
    netmn.initStart();
    EXPECT_TRUE(netmn.device_workapifunc);
    EXPECT_FALSE(netmn.periodRecordCell.isEmpty());
    EXPECT_TRUE(runner.commands().isEmpty());
}

TEST_F(NetworkManagerTest, TimeQuerySetsTheClockThroughTheRunner)
{
    QTcpServer server;
    ASSERT_TRUE(server.listen(QHostAddress::LocalHost, 0));
    QByteArray seen;
    QByteArray padding;   // blanks after the JSON, to make the reply as large as a test needs
    QObject::connect(&server, &QTcpServer::newConnection, [&] {
        QTcpSocket* socket = server.nextPendingConnection();
        QObject::connect(socket, &QTcpSocket::readyRead, [&seen, &padding, socket] {
            seen += socket->readAll();
            if (!seen.contains("\r\n\r\n"))
                return;
            const QByteArray body = R"({"result":{"time":1700000000000}})" + padding;
            socket->write("HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: " +
                          QByteArray::number(body.size()) + "\r\nConnection: close\r\n\r\n" + body);
            socket->disconnectFromHost();
        });
    });
    TestEnv::writeText("cnt_net/config.json",
                       QByteArray(R"({"serveraddr":"127.0.0.1","serverport":")") +
                               QByteArray::number(server.serverPort()) + "\"}");
    ASSERT_TRUE(netmn.getNTP_Timing_sync());
    EXPECT_TRUE(seen.startsWith("GET /dudaviz17/api/time "));
    const QString expected = QDateTime::fromMSecsSinceEpoch(1700000000000LL).toString("yyyyMMdd hh:mm:ss");
    EXPECT_EQ(runner.commands(), (QStringList{"date -s \"" + expected + "\"", "hwclock --systohc"}));

    // A reply of megabytes is not taken in, however well-formed.
    padding = QByteArray(8 << 20, ' ');
    seen.clear();
    EXPECT_FALSE(netmn.getNTP_Timing_sync());
    EXPECT_EQ(runner.commands().size(), 2);

    // A port written as a number is not used.
    TestEnv::writeText("cnt_net/config.json", R"({"serveraddr":"127.0.0.1","serverport":10432})");
    EXPECT_FALSE(netmn.getNTP_Timing_sync());
    EXPECT_EQ(runner.commands().size(), 2);
}

}  // namespace
