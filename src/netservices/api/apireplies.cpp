#include "netservices/api/apireplies.h"

#include "base/platform.h"
#include "base/publictools.h"
#include "detection/counters.h"
#include "detection/mojuwizard.h"
#include "records/resstatisticsdatabase.h"
#include "vision/wizardpara.h"

#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QStringList>

#include <algorithm>
#include <cmath>

namespace HttpApiReplies {

namespace {

const QString kTimeFormat = QStringLiteral("yyyy-MM-dd hh:mm:ss");
constexpr int kClockCommandMs = 3000;

QJsonObject errorString(const QString& text)
{
    return {{QStringLiteral("errorstring"), text}};
}

// A whole JSON number, else -1.
int indexOf(const QJsonValue& value)
{
    if (!value.isDouble())
        return -1;
    const double number = value.toDouble();
    if (number != std::floor(number) || number < 0 || number > 1000)
        return -1;
    return static_cast<int>(number);
}

// A name that stays inside its folder.
bool isPlainFileName(const QString& name)
{
    return !name.isEmpty() && name != QLatin1String(".") && name != QLatin1String("..")
           && !name.contains(QLatin1Char('/')) && !name.contains(QLatin1Char('\\')) && !name.contains(QChar(0));
}

QString picturePath(int camera, int step, bool ok, const QString& name)
{
    return QStringLiteral("./alarmimage/camera%1/detect%2/%3/%4")
        .arg(camera + 1)
        .arg(step + 1)
        .arg(ok ? QStringLiteral("OK") : QStringLiteral("NG"), name);
}

// The start marker, the shortest frame and scan headers, the end marker: no picture is shorter.
constexpr qint64 kShortestJpegBytes = 2 + 13 + 10 + 2;

// A picture cut short (a full disk, a power cut while it was written) must not go out as
// image/jpeg. Its size and its first and last two bytes tell, without decoding it on the work
// thread.
bool isWholePicture(const QString& path)
{
    if (!QFileInfo(path).isFile())
        return false;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly) || file.size() < kShortestJpegBytes)
        return false;
    const QByteArray start = file.read(2);
    if (!file.seek(file.size() - 2))
        return false;
    return start == QByteArray("\xFF\xD8", 2) && file.read(2) == QByteArray("\xFF\xD9", 2);
}

QJsonArray firstEntries(const int* values, int count)
{
    QJsonArray array;
    for (int i = 0; i < count; ++i)
        array.append(values[i]);
    return array;
}

}  // namespace

QDateTime requestTime(const QString& text)
{
    return QDateTime::fromString(text, kTimeFormat);
}

bool isAnswerableSpan(const QDateTime& from, const QDateTime& to, QJsonObject* refusal)
{
    QJsonObject why;
    if (!from.isValid() || !to.isValid())
        why = errorString(QStringLiteral("错误的时间格式"));
    else if (from.daysTo(to) > kMaxSpanDays)
        why = errorString(QStringLiteral("查询时间跨度超过%1天").arg(kMaxSpanDays));
    if (why.isEmpty())
        return true;
    if (refusal)
        *refusal = why;
    return false;
}

QJsonObject productInfos(const QString& deviceName)
{
    const int cameras = qBound(0, numCamera, kMaxCameras);
    const bool stopped = !gpWin || gpWin->runState() == MoJuWizard::RunStopped;
    int detectStatus = 0;
    if (gpWin && gpWin->viewState() == MoJuWizard::ViewNgAlarm)
        detectStatus = gpWin->currentStep() == 0 ? 1 : 2;
    const int detectAll = std::max(0, *std::max_element(gAllCycleNum, gAllCycleNum + kMaxCameras));

    QJsonObject reply;
    reply.insert(QStringLiteral("camera_count"), numCamera);
    reply.insert(QStringLiteral("device_sn"), gDeviceID);
    reply.insert(QStringLiteral("device_id"), deviceName);
    reply.insert(QStringLiteral("run_status"), stopped ? 0 : 1);
    reply.insert(QStringLiteral("detect_status"), detectStatus);
    reply.insert(QStringLiteral("detect_all"), detectAll);
    reply.insert(QStringLiteral("detect_ng"), gSyncNGCycleNum);
    reply.insert(QStringLiteral("detect_all_detail"), firstEntries(gAllNum, cameras));
    reply.insert(QStringLiteral("detect_ng_detail"), firstEntries(gFailNum, cameras));
    return reply;
}

bool parseCountRequest(const QJsonObject& body, CountRequest* request, QJsonObject* refusal)
{
    const QJsonValue start = body.value(QStringLiteral("starttime"));
    const QJsonValue finish = body.value(QStringLiteral("finishtime"));
    // A time that is no text reads as none.
    if (!isAnswerableSpan(requestTime(start.isString() ? start.toString() : QString()),
                          requestTime(finish.isString() ? finish.toString() : QString()), refusal))
        return false;
    request->from = start.toString();
    request->to = finish.toString();
    const ResStatisticsDatabase::CountShape shape = ResStatisticsDatabase::currentCountShape(QString());
    request->group = shape.group;
    request->cameraCount = shape.cameraCount;
    request->stepCount = shape.stepCount;
    return true;
}

qint64 productionCountBytes(const CountRequest& request)
{
    constexpr qint64 kValueBytes = 4;    // up to three digits and a comma
    constexpr qint64 kFrameBytes = 512;   // keys, brackets, the device's names
    const QDateTime from = requestTime(request.from);
    const QDateTime to = requestTime(request.to);
    // The hours of the span and those of the production day it starts in.
    const qint64 hours = qMax<qint64>(0, from.secsTo(to) / 3600 + 1) + 24;
    const qint64 cameras = qMax(1, request.cameraCount);
    const qint64 arrays = 2 + 2 * cameras + qint64(request.stepCount) * (2 + 2 * cameras);
    return kFrameBytes + request.deviceName.toUtf8().size() + hours * arrays * kValueBytes;
}

QByteArray productionCount(const CountRequest& request, const std::atomic<bool>* stopping)
{
    const QJsonObject names{{QStringLiteral("device_sn"), gDeviceID}, {QStringLiteral("device_id"), request.deviceName}};
    return ResStatisticsDatabase::loadCountJson(request.from, request.to,
                                                {request.group, request.cameraCount, request.stepCount}, names,
                                                stopping);
}

QJsonObject lastDetectInfo(const QJsonObject& summary, const QMap<QString, QString>& pictures)
{
    QJsonArray list;
    for (auto it = pictures.cbegin(); it != pictures.cend(); ++it) {
        const QStringList parts = it.key().split(QLatin1Char(';'));
        if (parts.size() != 3)
            continue;
        bool isNumber = false;
        const int result = parts.at(2).toInt(&isNumber);
        QJsonObject picture;
        picture.insert(QStringLiteral("camera_index"), parts.at(0).toInt());
        picture.insert(QStringLiteral("detect_index"), parts.at(1).toInt());
        picture.insert(QStringLiteral("detect_result"), isNumber && result == 1);
        picture.insert(QStringLiteral("picture_name"), QFileInfo(it.value()).fileName());
        list.append(picture);
    }
    QJsonObject reply = summary;
    reply.insert(QStringLiteral("pictures"), list);
    return reply;
}

bool parsePictureRequest(const QJsonObject& body, PictureRequest* request)
{
    request->camera = indexOf(body.value(QStringLiteral("camera_index")));
    request->step = indexOf(body.value(QStringLiteral("detect_index")));
    request->ok = body.value(QStringLiteral("detect_result")).toBool(false);
    request->name = body.value(QStringLiteral("picture_name")).toString();
    return request->camera >= 0 && request->step >= 0 && request->camera < numCamera && request->step < gDNum
           && isPlainFileName(request->name);
}

QJsonObject pictureRefusal()
{
    return errorString(QStringLiteral("参数错误"));
}

QString detectedPicturePath(const PictureRequest& request, QJsonObject* error)
{
    QString path = picturePath(request.camera, request.step, request.ok, request.name);
    // A second picture handed over with an NG one is saved among the NG pictures but listed
    // as OK; the listing's own name must find it.
    if (request.ok && !isWholePicture(path))
        path = picturePath(request.camera, request.step, false, request.name);
    if (!isWholePicture(path)) {
        *error = errorString(QStringLiteral("未查询到图片"));
        return QString();
    }
    return path;
}

void clearCurrentCount()
{
    std::fill(gFailNum, gFailNum + kMaxCameras, 0);
    std::fill(gAllNum, gAllNum + kMaxCameras, 0);
    std::fill(gAllCycleNum, gAllCycleNum + kMaxCameras, 0);
    std::fill(gFailCycleNum, gFailCycleNum + kMaxCameras, 0);
    gSyncNGNum = 0;
    gSyncNGCycleNum = 0;
    if (!gpWin)
        return;
    gpWin->CountWrite();
    gpWin->InsertRecord(QStringLiteral("API: 清除计数"), QStringLiteral("API"));
}

QJsonObject setLocalClock(const QJsonObject& request)
{
    const QString text = request.value(QStringLiteral("datetime")).toString();
    const QDateTime moment = QDateTime::fromString(text, kTimeFormat);
    if (!moment.isValid() || moment.toString(kTimeFormat) != text)
        return {{QStringLiteral("result"), QStringLiteral("时间格式错误")}};

    CommandRunner* runner = CommandRunner::instance();
    // A clock that was not set must not be reported, nor logged, as set.
    if (!runner->run(QStringLiteral("date"), {QStringLiteral("-s"), text}, kClockCommandMs).ok()
        || !runner->run(QStringLiteral("hwclock"), {QStringLiteral("--systohc")}, kClockCommandMs).ok())
        return {{QStringLiteral("result"), QStringLiteral("设置时间失败")}};
    if (gpWin)
        gpWin->InsertRecord(QStringLiteral("API: 修改系统时间,") + text, QStringLiteral("API"));
    return {{QStringLiteral("result"), QStringLiteral("success")}};
}

}  // namespace HttpApiReplies
