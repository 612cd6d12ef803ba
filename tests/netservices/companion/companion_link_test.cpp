// The companion link against a companion on loopback: a fake one inside the test for the
// message rules, and the shipped stand-in, started by the link itself, for a whole run of the
// simulated cycle with the screen share.
#include "base/appclock.h"
#include "base/globals.h"
#include "detection/mojuwizard.h"
#include "netcore/httpmanager.h"
#include "netservices/companion/network.h"
#include "netservices/companion/viewwatch2vud.h"
#include "records/copy2movedisk.h"
#include "records/savefialimagethread.h"
#include "support/fakecommandrunner.h"
#include "support/testenv.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QImage>
#include <QJsonArray>
#include <QJsonDocument>
#include <QProcess>
#include <QTcpServer>
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <csignal>
#include <limits>
#include <netinet/in.h>
#include <poll.h>
#include <sys/syscall.h>
#include <sys/socket.h>
#include <unistd.h>
#include <sys/shm.h>
#include <thread>
#include <vector>

namespace {

const QString kHeartBeat = "/inline/bymain/heartbeat";
// Waits that only the test runner's own time-out ends: a loaded machine is slower, not wrong.
constexpr int kUntilTheRunnerStops = std::numeric_limits<int>::max();

QJsonObject allFlags(bool cntserver = true, bool registered = true, bool needokimg = false)
{
    return {{"cntserver", cntserver}, {"register", registered}, {"needokimg", needokimg}, {"needvideo", true}};
}

// Listens on a port the OS picks, answers heart-beats with the flags the test sets.
class FakeCompanion : public HttpManager {
public:
    FakeCompanion() : HttpManager(JXKT_SERVER) {}

    void SlotRecvRequest(CTask_FormData request) override
    {
        received.append(request);
        if (request.url != kHeartBeat) {
            callback_immediately(request, 200, QString());
            return;
        }
        CTask_FormData reply;
        reply.uuid = request.uuid;
        reply.session_id = request.session_id;
        reply.json = heartBeatReply;
        sendAsync(reply);
    }

    QList<CTask_FormData> of(const QString& url) const
    {
        QList<CTask_FormData> found;
        for (const CTask_FormData& request : received) {
            if (request.url == url)
                found.append(request);
        }
        return found;
    }

    QJsonObject heartBeatReply = allFlags();
    QList<CTask_FormData> received;
};

// One line of the stand-in's log: url, uuid, compact JSON body.
struct Logged {
    QString url;
    QString uuid;
    QJsonObject json;
};

QList<Logged> readLog(const QString& path)
{
    QList<Logged> entries;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return entries;
    for (const QByteArray& line : file.readAll().split('\n')) {
        const QList<QByteArray> fields = line.split('\t');
        if (fields.size() == 3)
            entries.append({QString::fromUtf8(fields[0]), QString::fromUtf8(fields[1]),
                            QJsonDocument::fromJson(fields[2]).object()});
    }
    return entries;
}

class CompanionLinkTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        JXK_NETMN::destroyInstance();
        ASSERT_TRUE(companion.startReactor(QHostAddress::LocalHost, 0, 1));
        netmn = std::make_unique<JXK_NETMN>(companion.serverPort());
        netmn->setWorkTask(true, false, false);
        link = netmn->viewWatch;
        link->init();
        ASSERT_TRUE(TestEnv::waitUntil([&] { return link->getSoftCnted(); }, kUntilTheRunnerStops));
    }
    void TearDown() override { netmn.reset(); }

    // One heart-beat round trip with the given reply; the link's state follows it.
    void beat(const QJsonObject& flags)
    {
        companion.heartBeatReply = flags;
        const int before = companion.of(kHeartBeat).size();
        link->sndHeartBeat();
        ASSERT_TRUE(TestEnv::waitUntil([&] { return companion.of(kHeartBeat).size() > before; },
                                       kUntilTheRunnerStops));
        // The reply is queued back to the link's thread: wait for its effect or a short while.
        TestEnv::waitUntil([&] { return link->flag("cntserver") == flags.value("cntserver").toBool(false) &&
                                        link->flag("register") == flags.value("register").toBool(false) &&
                                        link->flag("needokimg") == flags.value("needokimg").toBool(false); },
                           2000);
    }

    FakeCommandRunner runner;
    FakeCompanion companion;
    std::unique_ptr<JXK_NETMN> netmn;
    ViewWatch2VUD* link = nullptr;
};

TEST_F(CompanionLinkTest, HeartBeatReplyDecidesWhatMaySend)
{
    const QString config = QDir::currentPath() + "/cnt_net/config.json";
    EXPECT_EQ(runner.commands(), (QStringList{"killall -9 zuzad_evurevi", "killall -9 vuz_azur",
                                              "./cnt_net/zuzad_evurevi/zuzad_evurevi " + config + " " +
                                                      QString::number(companion.serverPort())}));
    // The link's first heart-beat may be answered by now: a reply without the server's flag
    // decides it whatever came before.
    beat(QJsonObject());
    EXPECT_EQ(link->isAllowSnd_2_VW(), -3);

    // The companion's reply object goes out as the reply's "result".
    beat(QJsonObject{{"cntserver", true}});
    EXPECT_EQ(link->isAllowSnd_2_VW(), -4);   // "register" missing
    link->sndRecordOperate({{"remarks", "dropped"}});
    beat(QJsonObject{{"cntserver", "true"}, {"register", true}});
    EXPECT_EQ(link->isAllowSnd_2_VW(), -3);   // a text is not a boolean

    const QJsonObject heartBeat = companion.of(kHeartBeat).last().json;
    EXPECT_EQ(heartBeat.value("deviceBaseinfo").toString(), "cpu：10%，memory：10%，disk：10%");
    EXPECT_EQ(heartBeat.value("deviceState").toString(), "UNKNOW");   // no main window here
    EXPECT_FALSE(heartBeat.value("isPutVideo").toBool(true));

    beat(allFlags());
    ASSERT_EQ(link->isAllowSnd_2_VW(), 1);
    link->sndRecordOperate({{"remarks", "sent"}});
    // OK pictures wait for "needokimg"; NG pictures go regardless; both from the picture thread.
    std::thread([this] {
        link->sndAlarmPicture(0, 1, true, "/pics/ok.jpg");
        link->sndAlarmPicture(1, 1, false, "/pics/ng.jpg");
    }).join();
    ASSERT_TRUE(TestEnv::waitUntil([&] { return companion.of("/inline/bymain/alarmpicture").size() == 1; }));
    beat(allFlags(true, true, true));
    std::thread([this] { link->sndAlarmPicture(0, 2, true, "/pics/ok2.jpg"); }).join();
    ASSERT_TRUE(TestEnv::waitUntil([&] { return companion.of("/inline/bymain/alarmpicture").size() == 2; }));

    const QList<CTask_FormData> pictures = companion.of("/inline/bymain/alarmpicture");
    EXPECT_EQ(pictures.at(0).json.value("alarmpic_path").toString(), "/pics/ng.jpg");
    EXPECT_EQ(pictures.at(0).json.value("result").toInt(-1), 0);
    EXPECT_EQ(pictures.at(1).json.value("alarmpic_path").toString(), "/pics/ok2.jpg");
    const QList<CTask_FormData> records = companion.of("/inline/bymain/recordoperate");
    ASSERT_EQ(records.size(), 1);
    EXPECT_EQ(records.at(0).json.value("remarks").toString(), "sent");

    // Silence for longer than the liveness window: the link counts as down.
    AppClock::advanceMs(ViewWatch2VUD::kLivenessMs + 1);
    EXPECT_EQ(link->isAllowSnd_2_VW(), -2);
    AppClock::setOffsetMs(0);
    netmn->setWorkTask(false, false, false);
    EXPECT_EQ(link->isAllowSnd_2_VW(), -1);
}

TEST_F(CompanionLinkTest, AlarmIsReportedOnceWithItsUuidAndLeavesTheNextCycleTime)
{
    beat(allFlags());
    ASSERT_TRUE(TestEnv::waitUntil([&] { return link->isAllowSnd_2_VW() == 1; }, kUntilTheRunnerStops));
    netmn->start_PeriodRecord();
    {
        param_roi failed;
        failed.camera = 1;
        failed.roi_id = 3;
        failed.algorithm_areaMin = 77;
        QMutexLocker lock(&netmn->roiMutex);
        netmn->roiCache.insert(JXK_NETMN::roiKey(1, 0, 3), failed);
    }
    netmn->finish_PeriodRecord();
    QElapsedTimer alarmShown;
    alarmShown.start();
    link->sndAlarmStartTiming(0);
    link->addClearMethod(1, 4);
    link->addClearMethod(0, 9);
    link->setAlarmState(ViewWatch2VUD::AlarmCleared);
    AppClock::advanceMs(6000);
    // A heart-beat answered after the jump keeps the link live, however long the steps before
    // took: its reply (another flag) is seen by the link only after it counted as activity.
    companion.heartBeatReply = allFlags(true, true, true);
    link->sndHeartBeat();
    ASSERT_TRUE(TestEnv::waitUntil([&] { return link->flag("needokimg"); }, kUntilTheRunnerStops));
    link->sndAlarmFinishTiming();
    const qint64 alarmMs = alarmShown.elapsed();
    AppClock::setOffsetMs(0);
    // A second clearing without a new alarm reports nothing.
    link->setAlarmState(ViewWatch2VUD::AlarmCleared);
    link->sndAlarmFinishTiming();
    // A message of its own, heard after everything above on the same connection (a heart-beat
    // of the link's own timer may be on its way still and proves nothing).
    const QJsonObject barrier{{"remarks", "barrier"}};
    link->sndRecordOperate(barrier);
    ASSERT_TRUE(TestEnv::waitUntil(
        [&] {
            const QList<CTask_FormData> records = companion.of("/inline/bymain/recordoperate");
            return !records.isEmpty() && records.last().json == barrier;
        },
        kUntilTheRunnerStops));

    const QList<CTask_FormData> once = companion.of("/inline/bymain/detectonceinfo");
    ASSERT_EQ(once.size(), 1);
    EXPECT_EQ(once.at(0).uuid, netmn->periodRecordCell.getValue().uuid);
    EXPECT_FALSE(once.at(0).json.value("result").toBool(true));
    const QJsonObject group = once.at(0).json.value("detect_detail").toArray().at(0).toObject();
    EXPECT_EQ(group.value("camera").toInt(), 1);
    const QJsonObject region = group.value("roi_detail").toArray().at(0).toObject();
    EXPECT_EQ(region.value("roi_id").toInt(), 3);
    EXPECT_EQ(region.value("algorithm_areaMin").toInt(), 77);
    EXPECT_EQ(region.value("is_alarm").toInt(-1), 0);

    const QList<CTask_FormData> started = companion.of("/inline/bymain/alarm_starttiming");
    const QList<CTask_FormData> finished = companion.of("/inline/bymain/alarm_finishtiming");
    ASSERT_EQ(started.size(), 1);
    ASSERT_EQ(finished.size(), 1);
    const QString uuid = started.at(0).json.value("uuid").toString();
    EXPECT_FALSE(uuid.isEmpty());
    EXPECT_FALSE(uuid.contains('\n'));
    EXPECT_EQ(finished.at(0).json.value("uuid").toString(), uuid);
    EXPECT_EQ(finished.at(0).json.value("clear_method").toString(), " 相机2:不检测此模解除 相机1:unknow");

    // The NG period left the cell at 0 and the alarm put its duration there.
    const int duration = netmn->alarmDurationCell.getValue();
    EXPECT_GE(duration, 6000);
    EXPECT_LE(duration, 6000 + alarmMs + 1);   // whole ms of two clocks
    netmn->alarmDurationCell.setValue(12345);
    EXPECT_DOUBLE_EQ(link->detectOnceBody(250).value("dtime").toDouble(), 12.7);
    netmn->alarmDurationCell = CVariant<int>();
    EXPECT_DOUBLE_EQ(link->detectOnceBody(250).value("dtime").toDouble(), 25.0);

    // The first working-time report after start is sent at once.
    link->update_running_time();
    ASSERT_TRUE(TestEnv::waitUntil([&] { return !companion.of("/inline/bymain/working_time_record").isEmpty(); }));
    EXPECT_EQ(companion.of("/inline/bymain/working_time_record").at(0).json.value("stop_time").toInt(), 1);
}

TEST_F(CompanionLinkTest, PictureCarriesThePeriodItWasSavedFor)
{
    beat(allFlags());
    netmn->start_PeriodRecord();
    netmn->finish_PeriodRecord();
    const QString saved = netmn->periodRecordCell.getValue().uuid;
    std::thread([this] { link->sndAlarmPicture(1, 0, false, "/pics/ng.jpg"); }).join();
    // The cycle starts the next period before the GUI thread serves the picture.
    AppClock::advanceMs(5);
    netmn->start_PeriodRecord();
    AppClock::setOffsetMs(0);
    ASSERT_NE(netmn->periodRecordCell.getValue().uuid, saved);
    ASSERT_TRUE(TestEnv::waitUntil([&] { return !companion.of("/inline/bymain/alarmpicture").isEmpty(); }));
    EXPECT_EQ(companion.of("/inline/bymain/alarmpicture").at(0).uuid, saved);

    // An alarm the companion never heard of lends its picture no uuid of an earlier alarm.
    link->sndAlarmStartTiming(0);
    ASSERT_FALSE(link->currentAlarmUuid().isEmpty());
    beat(allFlags(true, false));
    link->sndAlarmStartTiming(0);
    beat(allFlags());
    link->sndAlarmPicture(1, 0, false, "/pics/ng2.jpg");
    ASSERT_TRUE(TestEnv::waitUntil([&] { return companion.of("/inline/bymain/alarmpicture").size() == 2; }));
    EXPECT_EQ(companion.of("/inline/bymain/alarmpicture").at(1).json.value("uuid").toString(), "");
}

TEST_F(CompanionLinkTest, LinkDialsAgainAndRestartsTheCompanionOnlyAfterItsGrace)
{
    beat(allFlags());
    link->syncTempList({{"camera", 1}, {"detect", 2}});
    ASSERT_TRUE(TestEnv::waitUntil([&] { return !companion.of("/inline/bymain/synctemplist").isEmpty(); }));
    EXPECT_EQ(companion.of("/inline/bymain/synctemplist").at(0).json,
              (QJsonObject{{"cameraId", 1}, {"detectId", 2}, {"pagenum", 1}, {"pagesize", 10}}));

    // The companion drops every connection: the next tick dials again and says hello.
    const quint16 port = companion.serverPort();
    ASSERT_TRUE(companion.startReactor(QHostAddress::LocalHost, port, 1));
    ASSERT_TRUE(TestEnv::waitUntil([&] { return !link->getSoftCnted(); }));
    const int beats = companion.of(kHeartBeat).size();
    link->SlotTimerHB();
    ASSERT_TRUE(TestEnv::waitUntil([&] { return companion.of(kHeartBeat).size() > beats; }));
    EXPECT_FALSE(companion.of("/inline/bymain/offervideomem").isEmpty());
    EXPECT_EQ(runner.count("./cnt_net/zuzad_evurevi/zuzad_evurevi"), 1);

    // Nobody listens any more: failed dials wait for the companion just started ...
    ASSERT_TRUE(companion.startReactor(QHostAddress::LocalHost, 0, 1));   // gives the port up
    ASSERT_TRUE(TestEnv::waitUntil([&] { return !link->getSoftCnted(); }));
    link->SlotTimerHB();
    TestEnv::spin(300);
    link->SlotTimerHB();
    TestEnv::spin(300);
    EXPECT_EQ(runner.count("./cnt_net/zuzad_evurevi/zuzad_evurevi"), 1);
    EXPECT_EQ(link->isAllowSnd_2_VW(), -2);
    // ... and restart it once its grace is over.
    AppClock::advanceMs(ViewWatch2VUD::kStartGraceMs + 1);
    link->SlotTimerHB();
    EXPECT_TRUE(TestEnv::waitUntil([&] { return runner.count("./cnt_net/zuzad_evurevi/zuzad_evurevi") == 2; }));
    AppClock::setOffsetMs(0);
}

TEST(CompanionLink, PeerTakingNoConnectionsNeverHoldsUpTheGuiThread)
{
    JXK_NETMN::destroyInstance();
    FakeCommandRunner runner;
    // A hung companion: it listens but never accepts, and its accept queue is full, so a dial
    // gets no answer at all.
    const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_GE(listener, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof(address);
    ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&address), length), 0);
    ASSERT_EQ(::listen(listener, 0), 0);
    ASSERT_EQ(::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length), 0);
    const quint16 port = ntohs(address.sin_port);
    std::vector<std::unique_ptr<QTcpSocket>> queued;
    for (int i = 0; i < 8; ++i) {
        queued.push_back(std::make_unique<QTcpSocket>());
        queued.back()->connectToHost(QHostAddress::LocalHost, port);
        if (!queued.back()->waitForConnected(500))
            break;
    }
    ASSERT_NE(queued.back()->state(), QAbstractSocket::ConnectedState) << "the accept queue never filled";

    auto netmn = std::make_unique<JXK_NETMN>(port);
    netmn->setWorkTask(true, false, false);
    ViewWatch2VUD* link = netmn->viewWatch;
    link->init();
    TestEnv::spin(2500);   // a few ticks
    // The link never dialled in place (a blocking dial leaves a reactor behind, code -2) ...
    EXPECT_EQ(link->isAllowSnd_2_VW(), -1);
    EXPECT_EQ(runner.count("./cnt_net/zuzad_evurevi/zuzad_evurevi"), 1);
    // ... and an unanswered probe counts as a failed dial: the companion is restarted.
    AppClock::advanceMs(ViewWatch2VUD::kStartGraceMs + ViewWatch2VUD::kProbeMs);
    EXPECT_TRUE(TestEnv::waitUntil([&] { return runner.count("./cnt_net/zuzad_evurevi/zuzad_evurevi") == 2; }));
    AppClock::setOffsetMs(0);
    netmn.reset();
    ::close(listener);
}

TEST(CompanionLink, CompanionIsEndedAtOnceTheWayKillallNineWould)
{
    JXK_NETMN::destroyInstance();
    // A companion that hangs on to its port: it does not stop when asked to.
    TestEnv::writeText(ViewWatch2VUD::companionProgram(),
                       "#!/bin/sh\ntrap 'echo term >> asked-to-stop' TERM\necho $$ > started\n"
                       "while :; do sleep 0.05; done\n");
    ASSERT_TRUE(QFile::setPermissions(ViewWatch2VUD::companionProgram(), QFile::ReadOwner | QFile::ExeOwner));
    SystemCommandRunner::registerStandIn(ViewWatch2VUD::companionProgram());
    auto netmn = std::make_unique<JXK_NETMN>(1, QHostAddress::LocalHost, 0);
    netmn->setWorkTask(true, false, false);
    netmn->viewWatch->init();
    ASSERT_TRUE(TestEnv::waitUntil([] { return QFile("started").size() > 0; }));
    QFile started("started");
    ASSERT_TRUE(started.open(QIODevice::ReadOnly));
    const pid_t pid = started.readAll().trimmed().toInt();
    const int handle = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
    ASSERT_GE(handle, 0);

    netmn->viewWatch->stop();
    pollfd ended{handle, POLLIN, 0};
    EXPECT_EQ(::poll(&ended, 1, 0), 1);   // gone by the time stop returns
    ::close(handle);
    TestEnv::spin(200);
    EXPECT_FALSE(QFile::exists("asked-to-stop"));   // no grace it would only have spent hanging
}

// The whole program side against the shipped stand-in: the simulated cycle with an NG every
// second cycle, the picture thread, the screen share, and the stop.
TEST(CompanionStandIn, SimulatedCycleReachesTheStandInAndStopLeavesNothing)
{
    JXK_NETMN::destroyInstance();
    createGlobalMutexes();
    ASSERT_TRUE(QDir().mkpath("root/tmp"));
    ASSERT_TRUE(QDir().mkpath("cnt_net/zuzad_evurevi"));
    const QString standIn = "cnt_net/zuzad_evurevi/zuzad_evurevi";
    ASSERT_TRUE(QFile::copy(MOULD_COMPANION_STANDIN, standIn));
    SystemCommandRunner::registerStandIn(ViewWatch2VUD::companionProgram());

    quint16 port = 0;
    {
        QTcpServer probe;
        ASSERT_TRUE(probe.listen(QHostAddress::LocalHost, 0));
        port = probe.serverPort();
    }
    TestEnv::writeText("cnt_net/config.json",
                       R"({"devicename":"press-4","device_worknetfunc":true,"device_workvideo":true})");
    TestEnv::EnvGuard root("MOULD_ROOT", (TestEnv::workDir() + "/root").toUtf8());
    TestEnv::EnvGuard cycle("MOULD_SIM_CYCLE_MS", "300");
    TestEnv::EnvGuard ngEvery("MOULD_SIM_NG_EVERY", "2");
    TestEnv::EnvGuard cameras("MOULD_SIM_CAMERAS", "1");
    ASSERT_TRUE(TestEnv::setParameter("detectNum", "1"));
    ASSERT_TRUE(TestEnv::setParameter("picNumNG", "5"));

    auto netmn = std::make_unique<JXK_NETMN>(port, QHostAddress::LocalHost, 0);
    auto window = std::make_unique<MoJuWizard>(nullptr, 0);
    window->resize(640, 360);
    netmn->initStart();
    SaveFialImageThread::setPeriodRecordHook([&netmn](int camera, int step, bool result, const QString& path) {
        netmn->add_PeriodRecord_Picture(camera, step, result, path);
    });

    // An alarm reported finished, and a period reported after it.
    QList<Logged> log;
    const auto indexOf = [&log](const QString& url, int from, const QString& uuid = QString()) {
        for (int i = from; i < log.size(); ++i) {
            if (log.at(i).url == url && (uuid.isNull() || log.at(i).json.value("uuid").toString() == uuid))
                return i;
        }
        return -1;
    };
    int start = -1;
    int finish = -1;
    int next = -1;
    ASSERT_TRUE(TestEnv::waitUntil(
            [&] {
                log = readLog("cnt_net/zuzad_evurevi/companion.log");
                start = indexOf("/inline/bymain/alarm_starttiming", 0);
                if (start < 0)
                    return false;
                finish = indexOf("/inline/bymain/alarm_finishtiming", start,
                                 log.at(start).json.value("uuid").toString());
                next = finish < 0 ? -1 : indexOf("/inline/bymain/detectonceinfo", finish);
                return next >= 0 && QImage("cnt_net/zuzad_evurevi/last-frame.png").size() == QSize(1920, 1080);
            },
            18000))
            << log.size() << " messages";

    const QString alarm = log.at(start).json.value("uuid").toString();
    const int record = indexOf("/inline/bymain/recordoperate", start);
    ASSERT_GT(record, start);
    EXPECT_EQ(log.at(record).json.value("remarks").toString(), "相机1检测1报警");
    const int picture = indexOf("/inline/bymain/alarmpicture", start, alarm);
    ASSERT_GT(picture, start);
    ASSERT_LT(picture, finish);
    const QString path = log.at(picture).json.value("alarmpic_path").toString();
    EXPECT_TRUE(path.endsWith(".jpg")) << path.toStdString();
    EXPECT_TRUE(QFile::exists(path));
    EXPECT_TRUE(log.at(picture).uuid.startsWith("V18#press-4@"));
    // The 2 s alarm is not part of the next period's detection time (300 ms cycles).
    EXPECT_LT(log.at(next).json.value("dtime").toDouble(), 1.5);
    EXPECT_GE(indexOf(kHeartBeat, 0), 0);

    const int offer = indexOf("/inline/bymain/offervideomem", 0);
    ASSERT_GE(offer, 0);
    const QJsonObject share = log.at(offer).json.value("memoryinfo").toArray().at(0).toObject();
    shmid_ds stat{};
    ASSERT_EQ(shmctl(share.value("shmid").toInt(), IPC_STAT, &stat), 0);
    EXPECT_EQ(stat.shm_segsz, 3110400u);

    // A second copy finds the port taken and says so.
    QProcess second;
    second.start(standIn, {"config.json", QString::number(port)});
    ASSERT_TRUE(second.waitForFinished(10000));
    EXPECT_EQ(second.exitCode(), 1);
    EXPECT_TRUE(second.readAllStandardError().contains("cannot listen"));

    netmn->stop();
    QTcpServer again;
    EXPECT_TRUE(again.listen(QHostAddress::LocalHost, port));   // the stand-in is gone
    EXPECT_NE(shmctl(share.value("shmid").toInt(), IPC_STAT, &stat), 0);
    window.reset();
    netmn.reset();
    Copy2MoveDisk::destroyInstance();
}

}  // namespace

// Off the panel "killall" is only recorded: a stand-in left by a run that was killed (no stop)
// would hold the port and the share for every later start. It ends with the program instead.
TEST(CompanionStandIn, EndsWithTheProgramThatStartedIt)
{
    quint16 port = 0;
    {
        QTcpServer probe;
        ASSERT_TRUE(probe.listen(QHostAddress::LocalHost, 0));
        port = probe.serverPort();
    }
    QProcess starter;
    starter.start(QCoreApplication::applicationDirPath() + "/standinstarter_helper",
                  {MOULD_COMPANION_STANDIN, TestEnv::workDir() + "/config.json", QString::number(port)});
    ASSERT_TRUE(starter.waitForStarted(5000));
    ASSERT_TRUE(TestEnv::waitUntil([&] { return starter.canReadLine(); }, 5000));
    const pid_t pid = starter.readLine().trimmed().toInt();
    ASSERT_GT(pid, 0);
    const int handle = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
    ASSERT_GE(handle, 0);
    ASSERT_TRUE(TestEnv::waitUntil([&] {
        QTcpSocket socket;
        socket.connectToHost(QHostAddress::LocalHost, port);
        return socket.waitForConnected(200);
    }, 10000)) << "the stand-in never listened";

    ::kill(static_cast<pid_t>(starter.processId()), SIGKILL);
    ASSERT_TRUE(starter.waitForFinished(5000));
    pollfd ended{handle, POLLIN, 0};
    EXPECT_EQ(::poll(&ended, 1, 10000), 1) << "the stand-in lives on";
    ::close(handle);
    QTcpServer again;
    EXPECT_TRUE(again.listen(QHostAddress::LocalHost, port));
}
