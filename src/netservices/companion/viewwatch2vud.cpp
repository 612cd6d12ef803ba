#include "netservices/companion/viewwatch2vud.h"

#include "base/appclock.h"
#include "base/platform.h"
#include "base/publictools.h"
#include "detection/mojuwizard.h"
#include "netservices/companion/network.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QThread>
#include <QtDebug>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <poll.h>
#include <sys/syscall.h>
#include <sys/types.h>
#include <unistd.h>

namespace {

const QString kHeartBeatUrl = QStringLiteral("/inline/bymain/heartbeat");
constexpr quint16 kDefaultCompanionPort = 10431;
constexpr int kHeartBeatEveryTicks = 3;
constexpr int kTickMs = 1000;
constexpr int kRunningMs = 60000;
constexpr qint64 kWorkingWindowMs = 180000;
constexpr int kEqualMinutesPerReport = 11;
constexpr int kCompanionExitWaitMs = 2000;

QString clearMethodText(int code)
{
    switch (code) {
    case 4: return QStringLiteral("不检测此模解除");
    case 5: return QStringLiteral("添加为模板解除");
    case 6: return QStringLiteral("重新检测切换到模腔检测");
    case 7: return QStringLiteral("进行重检检测");
    case 8: return QStringLiteral("重检检测OK");
    default: return QStringLiteral("unknow");
    }
}

// True once the process behind the pidfd has ended (a zombie included); an error counts as ended.
bool processEnded(int pidfd, int waitMs)
{
    pollfd entry{pidfd, POLLIN, 0};
    int rc = 0;
    do {
        rc = ::poll(&entry, 1, waitMs);
    } while (rc < 0 && errno == EINTR);
    return rc != 0;
}

// Ends a companion this link started, at once, the way "killall -9" ends it on the panel, and
// closes its handle: a hung companion that would ignore a polite request costs no wait. It is not
// our child (started detached), so it is held by a pidfd taken at its start: the handle stays
// bound to that process even after its pid has been reaped and reused by another, and it tells
// when the process has ended without waiting on a zombie's adopter.
void endProcess(int pidfd)
{
    if (pidfd < 0)
        return;
    if (!processEnded(pidfd, 0)) {
        ::syscall(SYS_pidfd_send_signal, pidfd, SIGKILL, nullptr, 0);
        processEnded(pidfd, kCompanionExitWaitMs);   // its port is free once it has ended
    }
    ::close(pidfd);
}

}  // namespace

QString ViewWatch2VUD::companionProgram()
{
    return QStringLiteral("./cnt_net/zuzad_evurevi/zuzad_evurevi");
}

ViewWatch2VUD::ViewWatch2VUD(JXK_NETMN* owner, const QHostAddress& address, quint16 port)
    : HttpManager(JXKT_CLIENT), netmn(owner), companionAddress(address), companionPort(port)
{
    url_routes.insert(kHeartBeatUrl, [this](const CTask_FormData& reply) { handle_HeartBeat(reply); });
    timerHB.setInterval(kTickMs);
    timerRunning.setInterval(kRunningMs);
    connect(&timerHB, &QTimer::timeout, this, &ViewWatch2VUD::SlotTimerHB);
    connect(&timerRunning, &QTimer::timeout, this, &ViewWatch2VUD::update_running_time);
    // Queued: a socket is not ready for another attempt inside its own signals, and what follows
    // may restart the companion and probe again.
    connect(&probe, &QTcpSocket::connected, this, &ViewWatch2VUD::probeConnected, Qt::QueuedConnection);
    connect(&probe, &QTcpSocket::errorOccurred, this, [this] {
        if (probe.state() != QAbstractSocket::UnconnectedState)
            return;   // a later attempt is under way
        dialFailed();
    }, Qt::QueuedConnection);
    lastDetectMs = gettimeofday_ms();
}

ViewWatch2VUD::~ViewWatch2VUD()
{
    if (linkActive)
        stop();
    probe.disconnect(this);   // what the probe says while it is destroyed must not reach this link
}

bool ViewWatch2VUD::networkOn() const
{
    return netmn && netmn->device_worknetfunc;
}

void ViewWatch2VUD::init()
{
    qInfo() << "ViewWatch2VUD::init";
    if (!networkOn()) {
        stop();
        return;
    }

    linkActive = true;
    startCompanion();
    dial();
    if (netmn->device_workvideo) {
        createVideoShare(0, kScreenWidth, kScreenHeight);
        startVideo(true);
        sndVideoMeminfo();
    } else {
        destoryVideoShare();
    }
    if (!timerHB.isActive())
        timerHB.start();
    if (!timerRunning.isActive())
        timerRunning.start();
}

void ViewWatch2VUD::stop()
{
    linkActive = false;
    probe.abort();
    timerHB.stop();
    timerRunning.stop();
    startVideo(false);
    destoryVideoShare();
    if (const auto held = currentReactor())
        held->deinitialize();
    endCompanion();
}

void ViewWatch2VUD::startCompanion()
{
    endCompanion();
    QStringList arguments{QDir::currentPath() + QLatin1Char('/') + QStringLiteral("cnt_net/config.json")};
    if (companionPort != kDefaultCompanionPort)
        arguments << QString::number(companionPort);
    const qint64 pid = CommandRunner::instance()->startDetachedPid(companionProgram(), arguments);
    // A companion that has ended already (or was only recorded) leaves nothing to end later.
    companionPidfd = pid > 0 ? static_cast<int>(::syscall(SYS_pidfd_open, static_cast<pid_t>(pid), 0)) : -1;
    if (pid > 0 && companionPidfd < 0 && errno != ESRCH)
        qWarning() << "cannot hold the companion" << pid << "to end it later:" << std::strerror(errno);
    companionStartMs = gettimeofday_ms();
}

void ViewWatch2VUD::endCompanion()
{
    CommandRunner* runner = CommandRunner::instance();
    runner->run(QStringLiteral("killall"), {QStringLiteral("-9"), QStringLiteral("zuzad_evurevi")});
    runner->run(QStringLiteral("killall"), {QStringLiteral("-9"), QStringLiteral("vuz_azur")});
    // Off the panel killall is only recorded; the copy this link started goes by its handle.
    endProcess(companionPidfd);
    companionPidfd = -1;
}

bool ViewWatch2VUD::getSoftCnted() const
{
    const auto client = qSharedPointerDynamicCast<JXKC::TcpCliReactor>(currentReactor());
    if (!client || !client->hasSession())
        return false;
    return gettimeofday_ms() - client->last_activity_ms.load() <= kLivenessMs;
}

int ViewWatch2VUD::isAllowSnd_2_VW() const
{
    if (!networkOn() || !currentReactor())
        return -1;
    if (!getSoftCnted())
        return -2;
    if (!cntserver)
        return -3;
    if (!register_)
        return -4;
    return 1;
}

bool ViewWatch2VUD::flag(const char* name) const
{
    const QLatin1String key(name);
    if (key == QLatin1String("cntserver"))
        return cntserver;
    if (key == QLatin1String("register"))
        return register_;
    if (key == QLatin1String("needokimg"))
        return needokimg;
    if (key == QLatin1String("needvideo"))
        return needvideo;
    return false;
}

void ViewWatch2VUD::SlotTimerHB()
{
    ++ticks;
    if (ticks % kRestartTicks == 0) {
        qInfo() << "restart time up by 15min";
        init();
        return;
    }
    if (getSoftCnted()) {
        if (ticks % kHeartBeatEveryTicks == 0)
            sndHeartBeat();
        return;
    }
    cntserver = false;
    dial();
}

void ViewWatch2VUD::dial()
{
    if (probe.state() == QAbstractSocket::UnconnectedState) {
        probeStartMs = gettimeofday_ms();
        probe.connectToHost(companionAddress, companionPort);
        return;
    }
    if (gettimeofday_ms() - probeStartMs < kProbeMs)
        return;   // the probe is still waiting for an answer
    probe.abort();   // the peer takes no connections
    dialFailed();
}

void ViewWatch2VUD::probeConnected()
{
    if (probe.state() != QAbstractSocket::ConnectedState)
        return;   // given up on already
    probe.abort();
    if (!linkActive || getSoftCnted())
        return;
    if (!startReactor(companionAddress, companionPort, 1)) {
        dialFailed();
        return;
    }
    sndHeartBeat();
    sndVideoMeminfo();
}

void ViewWatch2VUD::dialFailed()
{
    if (!linkActive || gettimeofday_ms() - companionStartMs < kStartGraceMs)
        return;   // still starting up
    init();
}

void ViewWatch2VUD::handle_HeartBeat(CTask_FormData reply)
{
    cntserver = false;
    register_ = false;
    needokimg = false;
    needvideo = false;
    const QJsonValue result = reply.json.value(QStringLiteral("result"));
    if (!result.isObject())
        return;
    const QJsonObject flags = result.toObject();
    const auto take = [&flags](const char* key, std::atomic<bool>& target) {
        const QJsonValue value = flags.value(QLatin1String(key));
        if (value.isBool())
            target = value.toBool();
    };
    take("cntserver", cntserver);
    take("register", register_);
    take("needokimg", needokimg);
    take("needvideo", needvideo);
}

void ViewWatch2VUD::send(const QString& url, const QJsonObject& body, const QString& uuid)
{
    CTask_FormData request;
    request.method = QStringLiteral("POST");
    request.url = url;
    request.uuid = uuid;
    request.json = body;
    sendAsync(request);
}

QString ViewWatch2VUD::deviceStateText(int runState, int viewState)
{
    if (viewState == MoJuWizard::ViewNgAlarm)
        return QStringLiteral("检测完毕NG");
    if (viewState == MoJuWizard::ViewEditing)
        return QStringLiteral("设置区域中");
    if (viewState == MoJuWizard::ViewVerdict)
        return QStringLiteral("检测完毕OK");
    if (runState == MoJuWizard::RunTraining)
        return QStringLiteral("模板训练中");
    if (runState == MoJuWizard::RunDetecting)
        return QStringLiteral("运行中");
    if (runState == MoJuWizard::RunStopped)
        return QStringLiteral("停止检测");
    return QStringLiteral("UNKNOW");
}

void ViewWatch2VUD::sndHeartBeat()
{
    QJsonObject body;
    body.insert(QStringLiteral("deviceBaseinfo"), QStringLiteral("cpu：10%，memory：10%，disk：10%"));
    body.insert(QStringLiteral("deviceState"),
                gpWin ? deviceStateText(gpWin->runState(), gpWin->viewState()) : QStringLiteral("UNKNOW"));
    body.insert(QStringLiteral("isPutVideo"), netmn->device_workvideo.load());
    body.insert(QStringLiteral("cameracount"), numCamera);
    send(kHeartBeatUrl, body);
}

void ViewWatch2VUD::sndVideoMeminfo()
{
    QJsonArray shares;
    for (const VideoShareInfo& share : qAsConst(videoShares)) {
        QJsonObject item;
        item.insert(QStringLiteral("shmid"), share.shmid);
        item.insert(QStringLiteral("semid"), share.semid);
        item.insert(QStringLiteral("cameraid"), share.cameraid);
        item.insert(QStringLiteral("size"), share.size);
        item.insert(QStringLiteral("width"), share.width);
        item.insert(QStringLiteral("height"), share.height);
        item.insert(QStringLiteral("fps"), share.fps);
        shares.append(item);
    }
    send(QStringLiteral("/inline/bymain/offervideomem"), QJsonObject{{QStringLiteral("memoryinfo"), shares}});
}

QJsonObject ViewWatch2VUD::detectOnceBody(int cycleTime) const
{
    QMap<QString, param_roi> cache;
    {
        QMutexLocker lock(&netmn->roiMutex);
        cache = netmn->roiCache;
    }
    bool allPassed = true;
    QMap<QString, QJsonArray> groups;
    for (const param_roi& roi : qAsConst(cache)) {
        allPassed = allPassed && roi.roi_result != 0;
        QJsonObject item;
        item.insert(QStringLiteral("roi_id"), roi.roi_id);
        item.insert(QStringLiteral("algorithm_type"), roi.algorithm_type);
        item.insert(QStringLiteral("algorithm_result"), roi.algorithm_result);
        item.insert(QStringLiteral("algorithm_sensitivity"), roi.algorithm_sensitivity);
        item.insert(QStringLiteral("algorithm_areaMin"), roi.algorithm_areaMin);
        item.insert(QStringLiteral("is_alarm"), roi.roi_result);
        groups[QStringLiteral("%1;%2").arg(roi.camera).arg(roi.detect)].append(item);
    }
    QJsonArray detail;
    for (auto it = groups.cbegin(); it != groups.cend(); ++it) {
        const QStringList parts = it.key().split(QLatin1Char(';'));
        detail.append(QJsonObject{{QStringLiteral("camera"), parts.value(0).toInt()},
                                  {QStringLiteral("detect"), parts.value(1).toInt()},
                                  {QStringLiteral("roi_detail"), it.value()}});
    }
    const int alarmTenths = netmn->alarmDurationCell.isEmpty() ? 0 : netmn->alarmDurationCell.getValue() / 100;
    QJsonObject body;
    body.insert(QStringLiteral("result"), allPassed);
    body.insert(QStringLiteral("dtime"), (cycleTime - alarmTenths) / 10.0);
    body.insert(QStringLiteral("detect_detail"), detail);
    return body;
}

void ViewWatch2VUD::sndDetectOnceInfo()
{
    if (isAllowSnd_2_VW() < 1)
        return;
    const QJsonObject body = detectOnceBody(gpWin ? gpWin->cycleTime() : 0);
    send(QStringLiteral("/inline/bymain/detectonceinfo"), body, netmn->periodRecordCell.getValue().uuid);
}

void ViewWatch2VUD::sndAlarmPicture(int camera, int detect, bool result, QString path)
{
    // The picture belongs to the period recorded now: by the time the hop below is served, the
    // cycle may have started the next one.
    const QString periodUuid = netmn->periodRecordCell.getValue().uuid;
    if (QThread::currentThread() != thread()) {
        // alarmUuid and the reactor belong to this object's thread.
        QMetaObject::invokeMethod(
                this, [=] { sendAlarmPicture(camera, detect, result, path, periodUuid); }, Qt::QueuedConnection);
        return;
    }
    sendAlarmPicture(camera, detect, result, path, periodUuid);
}

void ViewWatch2VUD::sendAlarmPicture(int camera, int detect, bool result, const QString& path,
                                     const QString& periodUuid)
{
    if (isAllowSnd_2_VW() < 1)
        return;
    if (result && !needokimg)
        return;
    QJsonObject body;
    body.insert(QStringLiteral("camera"), camera);
    body.insert(QStringLiteral("detect"), detect);
    body.insert(QStringLiteral("result"), result ? 1 : 0);
    body.insert(QStringLiteral("alarmpic_path"), path);
    body.insert(QStringLiteral("uuid"), alarmUuid);
    send(QStringLiteral("/inline/bymain/alarmpicture"), body, periodUuid);
}

void ViewWatch2VUD::updataAlarmInfo()
{
    if (isAllowSnd_2_VW() < 1)
        return;
    QFile file(Platform::path(QStringLiteral("/proc/sys/kernel/random/uuid")));
    if (file.open(QIODevice::ReadOnly)) {
        QByteArray text = file.readAll();
        const int nul = text.indexOf('\0');
        if (nul >= 0)
            text.truncate(nul);
        alarmUuid = QString::fromLatin1(text).remove(QLatin1Char('\n'));
    } else {
        alarmUuid = QString::number(gettimeofday_ms());
    }
    clearMethod.clear();
    alarmState = AlarmAnnounced;
}

void ViewWatch2VUD::sndAlarmStartTiming(int detect)
{
    if (isAllowSnd_2_VW() < 1) {
        // This alarm stays unknown to the companion: its pictures and its end must not pass
        // for an earlier one's.
        alarmUuid.clear();
        alarmState = AlarmIdle;
        return;
    }
    updataAlarmInfo();
    alarmStartMs = gettimeofday_ms();
    send(QStringLiteral("/inline/bymain/alarm_starttiming"),
         QJsonObject{{QStringLiteral("alarm_detect"), detect}, {QStringLiteral("uuid"), alarmUuid}});
}

void ViewWatch2VUD::setAlarmState(int state)
{
    if (state != AlarmCleared) {
        alarmState = state;
        return;
    }
    // Only an alarm the companion heard of can be reported finished.
    int announced = AlarmAnnounced;
    alarmState.compare_exchange_strong(announced, AlarmCleared);
}

void ViewWatch2VUD::sndAlarmFinishTiming()
{
    if (isAllowSnd_2_VW() < 1 || alarmState != AlarmCleared)
        return;
    alarmState = AlarmIdle;
    if (!netmn->alarmDurationCell.isEmpty())
        netmn->alarmDurationCell.setValue(static_cast<int>(gettimeofday_ms() - alarmStartMs));
    send(QStringLiteral("/inline/bymain/alarm_finishtiming"),
         QJsonObject{{QStringLiteral("clear_method"), clearMethod}, {QStringLiteral("uuid"), alarmUuid}});
}

void ViewWatch2VUD::addClearMethod(int camera, int code)
{
    if (isAllowSnd_2_VW() < 1) {
        clearMethod.clear();
        return;
    }
    clearMethod += QStringLiteral(" 相机%1:").arg(camera + 1) + clearMethodText(code);
}

void ViewWatch2VUD::sndRecordOperate(QJsonObject record)
{
    if (isAllowSnd_2_VW() < 1)
        return;
    send(QStringLiteral("/inline/bymain/recordoperate"), record);
}

void ViewWatch2VUD::syncTempList(QJsonObject in)
{
    if (isAllowSnd_2_VW() < 1)
        return;
    QJsonObject body;
    body.insert(QStringLiteral("cameraId"), in.value(QStringLiteral("camera")));
    body.insert(QStringLiteral("detectId"), in.value(QStringLiteral("detect")));
    body.insert(QStringLiteral("pagenum"), 1);
    body.insert(QStringLiteral("pagesize"), 10);
    send(QStringLiteral("/inline/bymain/synctemplist"), body);
}

void ViewWatch2VUD::update_running_time()
{
    const int runState = gpWin ? gpWin->runState() : MoJuWizard::RunStopped;
    if (runState != MoJuWizard::RunStopped && gettimeofday_ms() - lastDetectMs.load() <= kWorkingWindowMs)
        ++workingMinutes;
    else
        ++stopMinutes;

    const QString hour = AppClock::now().toString(QStringLiteral("yyyyMMdd_hh"));
    if (hour == runningHour) {
        const int before = runningMinuteCount++;
        if (before < kEqualMinutesPerReport)
            return;
    }
    runningMinuteCount = 0;
    runningHour = hour;
    QJsonObject body;
    body.insert(QStringLiteral("working_time"), workingMinutes);
    body.insert(QStringLiteral("stop_time"), stopMinutes);
    body.insert(QStringLiteral("record_timepart"), AppClock::now().toString(QStringLiteral("yyyy-MM-dd hh:mm:ss")));
    send(QStringLiteral("/inline/bymain/working_time_record"), body);
    workingMinutes = 0;
    stopMinutes = 0;
}

bool ViewWatch2VUD::createVideoShare(int camera, int width, int height)
{
    // The worker writes through the old attachment: it stops before the share changes.
    startVideo(false);
    detachShares();
    videoShares.clear();
    VideoShareInfo share;
    if (!VideoShare::create(camera, width, height, &share))
        return false;
    videoShares.insert(camera, share);
    return true;
}

void ViewWatch2VUD::detachShares()
{
    for (VideoShareInfo& share : videoShares)
        VideoShare::detach(&share);
}

void ViewWatch2VUD::destoryVideoShare()
{
    startVideo(false);
    if (videoShares.isEmpty())
        return;
    qInfo() << "destoryVideoShare";
    for (VideoShareInfo& share : videoShares)
        VideoShare::remove(&share);
    videoShares.clear();
    qInfo() << "destoryVideoShare" << "end";
}

void ViewWatch2VUD::startVideo(bool on)
{
    if (videoThread) {
        videoThread->idestory();
        videoThread.reset();
    }
    if (on)
        videoThread.reset(new VideoThread(videoShares, this));
}
