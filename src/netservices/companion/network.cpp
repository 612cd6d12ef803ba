#include "netservices/companion/network.h"

#include "base/appclock.h"
#include "base/networkjson.h"
#include "base/platform.h"
#include "base/publictools.h"
#include "netservices/api/httpapiserver.h"
#include "netservices/companion/viewwatch2vud.h"
#include "records/savefialimagethread.h"
#include "vision/wizardpara.h"

#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QTimer>
#include <QtDebug>

namespace {

const QString kTimeFormat = QStringLiteral("yyyy-MM-dd hh:mm:ss.zzz");
const QString kDefaultWorkspace = QStringLiteral("./cnt_net/workspace/");
constexpr int kTimeQueryMs = 1000;
// A time reply is a few dozen bytes; a server that sends more than this never finishes in time.
constexpr qint64 kTimeReplyMaxBytes = 4096;
// {"result":{"time":...}}, perhaps with a code and a message beside it.
constexpr NetworkJson::Bounds kTimeReplyJson{kTimeReplyMaxBytes, 8, 64};

bool boolOf(const QJsonObject& object, const QString& key)
{
    const QJsonValue value = object.value(key);
    return value.isBool() && value.toBool();
}

int lowByte(qint32 value)
{
    return value & 0xff;
}

int secondByte(qint32 value)
{
    return (value >> 8) & 0xff;
}

QJsonObject roiObject(const param_roi& roi)
{
    QJsonObject object;
    object.insert(QStringLiteral("roi_index"), roi.roi_id);
    object.insert(QStringLiteral("roi_result"), roi.roi_result != 0);
    object.insert(QStringLiteral("roi_func"), roi.algorithm_type);
    object.insert(QStringLiteral("roi_algorithm"),
                  QJsonArray{roi.algorithm_result, lowByte(roi.algorithm_sensitivity), lowByte(roi.algorithm_areaMin),
                             lowByte(roi.packed), secondByte(roi.algorithm_sensitivity),
                             secondByte(roi.algorithm_areaMin), secondByte(roi.packed)});
    return object;
}

}  // namespace

JXK_NETMN* JXK_NETMN::__instance = nullptr;

JXK_NETMN* JXK_NETMN::getInstance()
{
    if (!__instance)
        __instance = new JXK_NETMN;
    return __instance;
}

void JXK_NETMN::destroyInstance()
{
    if (!__instance)
        return;
    delete __instance;   // its link stops itself
    __instance = nullptr;
}

JXK_NETMN::JXK_NETMN(quint16 companionPort, const QHostAddress& apiAddress, quint16 apiPort)
    : HttpManager(JXKT_CLIENT), apiAddress(apiAddress), apiPort(apiPort)
{
    qRegisterMetaType<param_roi>("param_roi");
    if (!__instance)
        __instance = this;   // a manager made by hand (a test's, on its own port) serves the cycle
    setWorkTask(false, false, false);
    // Both services go with this object; they stop their own threads when destroyed.
    apiServer = new HttpApiServer(this);
    apiServer->setParent(this);
    viewWatch = new ViewWatch2VUD(this, QHostAddress::LocalHost, companionPort);
    viewWatch->setParent(this);
}

JXK_NETMN::~JXK_NETMN()
{
    if (__instance != this)
        return;
    __instance = nullptr;
    SaveFialImageThread::setPeriodRecordHook(PeriodRecordHook());   // it points at this object
}

QString JXK_NETMN::configPath()
{
    return networkConfigPath();
}

void JXK_NETMN::setWorkTask(bool net, bool video, bool api)
{
    device_worknetfunc = net;
    device_workvideo = video;
    device_workapifunc = api;
}

void JXK_NETMN::initStart()
{
    bool opened = false;
    const QJsonObject config = readNetworkConfig(&opened);
    if (!opened)
        return;

    devicename = config.value(QStringLiteral("devicename")).toString();
    device_worknetfunc = boolOf(config, QStringLiteral("device_worknetfunc"));
    device_workvideo = boolOf(config, QStringLiteral("device_workvideo"));
    device_workapifunc = boolOf(config, QStringLiteral("device_workapifunc"));
    // The file names the panel's own folder ("/root/div-OVE/..."), or whatever its writer put
    // there; off the panel it lies under the working directory all the same, so the
    // subscriptions stay with this run's other files and nothing lands elsewhere on this machine.
    workspace = Platform::programPath(config.value(QStringLiteral("workspace")).toString(kDefaultWorkspace));
    // File names are appended to it: a folder written without its slash must not turn
    // "subscriber.ini" into a file beside it.
    if (!workspace.endsWith(QLatin1Char('/')))
        workspace += QLatin1Char('/');
    if (!QFileInfo(workspace).isDir())
        QDir().mkpath(workspace);

    clearResults();
    viewWatch->init();
    apiServer->init(apiAddress, apiPort);
}

int JXK_NETMN::isAllowSnd_2_VW() const
{
    return viewWatch->isAllowSnd_2_VW();
}

QVariant JXK_NETMN::getConfigValue(const QString& key)
{
    // A file that cannot be opened or does not parse holds no key either.
    const QJsonObject object = readNetworkConfig();
    if (!object.contains(key))
        return QVariant();
    return object.value(key).toVariant();
}

QString JXK_NETMN::roiKey(int camera, int detect, int roi)
{
    return QStringLiteral("%1;%2;%3").arg(camera).arg(detect).arg(roi);
}

void JXK_NETMN::clearResults()
{
    QMutexLocker lock(&roiMutex);
    roiCache.clear();
    periodRecordCell = CVariant<sAPI_LastDetect_Info>();
}

QMap<QString, param_roi> JXK_NETMN::cacheCopy()
{
    QMutexLocker lock(&roiMutex);
    return roiCache;
}

void JXK_NETMN::start_PeriodRecord()
{
    // roiMutex is held over the whole change of the cell, as in every read-modify-write of
    // it, so a picture of the previous period can never write its copy over the new record.
    QMutexLocker lock(&roiMutex);
    roiCache.clear();
    periodRecordCell = CVariant<sAPI_LastDetect_Info>();
    if (!anySwitchOn())
        return;

    const qint64 now = gettimeofday_ms();
    QString name = devicename;
    name.remove(QLatin1Char('\r')).remove(QLatin1Char('\n'));   // the uuid travels in a header
    sAPI_LastDetect_Info record;
    record.starttime = AppClock::now().toString(kTimeFormat);
    record.uuid = QStringLiteral("V18#") + name + QLatin1Char('@') + QString::number(now, 16);
    periodRecordCell.setValue(record);
    lock.unlock();
    viewWatch->setLastDetectMs(now);
}

void JXK_NETMN::add_PeriodRecord_Picture(int camera, int detect, bool result, QString path)
{
    if (!anySwitchOn()) {
        clearResults();
        return;
    }
    if (periodRecordCell.isEmpty())
        return;

    sAPI_LastDetect_Info record;
    {
        QMutexLocker lock(&roiMutex);
        if (periodRecordCell.isEmpty())
            return;
        record = periodRecordCell.getValue();
        if (record.record.isEmpty())
            return;   // the period has not finished: the picture belongs to no reported period
        record.pictures.insert(roiKey(camera, detect, result ? 1 : 0), path);
        periodRecordCell.setValue(record);
    }

    if (device_workapifunc) {
        CTask_FormData request;
        request.url = QStringLiteral("/v18/http/post_detected_picture");
        request.uuid = record.uuid;
        request.device_id = gDeviceID;
        request.content_type = QStringLiteral("image/jpeg");
        request.query.insert(QStringLiteral("camera_index"), QString::number(camera));
        request.query.insert(QStringLiteral("detect_index"), QString::number(detect));
        request.query.insert(QStringLiteral("camera_result"), result ? QStringLiteral("true") : QStringLiteral("false"));
        request.query.insert(QStringLiteral("picture_name"), QFileInfo(path).fileName());
        request.files.insert(path, QByteArray());
        // Runs in the picture thread; the API keeps its subscribers in its own thread.
        HttpApiServer* api = apiServer;
        QMetaObject::invokeMethod(
                api, [api, request] { api->publish_message(QStringLiteral("detected_picture"), request); },
                Qt::QueuedConnection);
    }
    if (device_worknetfunc)
        viewWatch->sndAlarmPicture(camera, detect, result, path);
}

void JXK_NETMN::finish_PeriodRecord()
{
    if (!anySwitchOn()) {
        clearResults();
        return;
    }
    if (periodRecordCell.isEmpty())
        return;

    const QMap<QString, param_roi> cache = cacheCopy();
    bool allPassed = true;
    for (const param_roi& roi : cache)
        allPassed = allPassed && roi.roi_result != 0;

    {
        QMutexLocker lock(&roiMutex);
        if (periodRecordCell.isEmpty())
            return;
        sAPI_LastDetect_Info record = periodRecordCell.getValue();
        QJsonObject summary;
        summary.insert(QStringLiteral("device_id"), devicename);
        summary.insert(QStringLiteral("device_sn"), gDeviceID);
        summary.insert(QStringLiteral("curProjectName"), gpWPara ? gpWPara->getCurGroupName() : QString());
        summary.insert(QStringLiteral("detail"), Parse_CacheDetectedRoiInfos_2_QJsonArray(cache));
        summary.insert(QStringLiteral("detect_result"), allPassed);
        summary.insert(QStringLiteral("starttime"), record.starttime);
        summary.insert(QStringLiteral("finishtime"), AppClock::now().toString(kTimeFormat));
        summary.insert(QStringLiteral("uuid"), record.uuid);
        record.record = summary;
        periodRecordCell.setValue(record);
    }

    if (device_workapifunc)
        apiServer->finish_PeriodRecord();
    if (device_worknetfunc)
        viewWatch->sndDetectOnceInfo();

    if (firstResultCell.isEmpty())
        firstResultCell.setValue(allPassed);
    // This period's own verdict decides: after an NG period the alarm that follows puts its
    // duration into the cell, and the next report takes it out of the cycle time.
    if (allPassed)
        alarmDurationCell = CVariant<int>();
    else
        alarmDurationCell.setValue(0);
}

QJsonArray JXK_NETMN::Parse_CacheDetectedRoiInfos_2_QJsonArray(QMap<QString, param_roi> cache)
{
    struct Group {
        QMap<int, QJsonObject> rois;
        bool passed = true;
    };
    QMap<QString, Group> groups;
    for (const param_roi& roi : qAsConst(cache)) {
        Group& group = groups[QStringLiteral("%1;%2").arg(roi.camera).arg(roi.detect)];
        group.rois.insert(roi.roi_id, roiObject(roi));
        group.passed = group.passed && roi.roi_result != 0;
    }

    QJsonArray detail;
    for (auto it = groups.cbegin(); it != groups.cend(); ++it) {
        const QStringList parts = it.key().split(QLatin1Char(';'));
        QJsonArray rois;
        for (const QJsonObject& roi : it.value().rois)
            rois.append(roi);
        QJsonObject group;
        group.insert(QStringLiteral("camera_index"), parts.value(0).toInt());
        group.insert(QStringLiteral("detect_index"), parts.value(1).toInt());
        group.insert(QStringLiteral("rois"), rois);
        group.insert(QStringLiteral("detect_result"), it.value().passed);
        detail.append(group);
    }
    return detail;
}

void JXK_NETMN::stop()
{
    viewWatch->stop();
    SaveFialImageThread::setPeriodRecordHook(PeriodRecordHook());
}

bool JXK_NETMN::getNTP_Timing_sync()
{
    const QVariant address = getConfigValue(QStringLiteral("serveraddr"));
    const QVariant port = getConfigValue(QStringLiteral("serverport"));
    if (address.userType() != QMetaType::QString || port.userType() != QMetaType::QString)
        return false;

    QNetworkAccessManager manager;
    const QUrl url(QStringLiteral("http://%1:%2/dudaviz17/api/time").arg(address.toString(), port.toString()));
    QNetworkReply* reply = manager.get(QNetworkRequest(url));
    reply->setReadBufferSize(kTimeReplyMaxBytes);
    QEventLoop loop;
    QTimer timeout;
    timeout.setSingleShot(true);
    QObject::connect(&timeout, &QTimer::timeout, &loop, &QEventLoop::quit);
    QObject::connect(reply, &QNetworkReply::finished, &loop, &QEventLoop::quit);
    timeout.start(kTimeQueryMs);
    if (!reply->isFinished())
        loop.exec();

    QString text;
    if (reply->isFinished() && reply->error() == QNetworkReply::NoError) {
        const QJsonDocument document = NetworkJson::decode(reply->readAll(), kTimeReplyJson).document;
        const QJsonObject result = document.object().value(QStringLiteral("result")).toObject();
        const QJsonValue time = result.value(QStringLiteral("time"));
        if (time.isDouble())
            text = QDateTime::fromMSecsSinceEpoch(static_cast<qint64>(time.toDouble()))
                           .toString(QStringLiteral("yyyyMMdd hh:mm:ss"));
    }
    reply->abort();
    reply->deleteLater();
    if (text.isEmpty())
        return false;
    CommandRunner::instance()->run(QStringLiteral("date"), {QStringLiteral("-s"), text});
    CommandRunner::instance()->run(QStringLiteral("hwclock"), {QStringLiteral("--systohc")});
    return true;
}
