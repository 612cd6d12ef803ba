// Counter records of a production day and their day JSON form.
#include "records/rescount.h"

#include "records/resstatisticsparam.h"
#include "vision/wizardpara.h"

#include <QJsonArray>
#include <QJsonValue>

#include <limits>

void registerStatisticsMetaTypes()
{
    qRegisterMetaType<CountGroup>("CountGroup");
}

namespace {

QJsonArray intArray(const QList<int>& values)
{
    QJsonArray array;
    for (int value : values)
        array.append(value);
    return array;
}

QList<int> intList(const QJsonValue& value)
{
    QList<int> list;
    const QJsonArray array = value.toArray();
    list.reserve(array.size());
    for (const QJsonValue& element : array)
        list.append(element.toInt(0));
    return list;
}

// The int a total is shown as: the largest (or smallest) int when its sum does not fit.
int clampedCount(qint64 sum)
{
    return int(qBound<qint64>(std::numeric_limits<int>::min(), sum, std::numeric_limits<int>::max()));
}

void padSlots(QList<int>& hours)
{
    while (hours.size() < kHourSlots)
        hours.append(0);
}

void repairDetect(CountDetect& detect)
{
    padSlots(detect.OK);
    padSlots(detect.NG);
}

void repairCamera(CountCamera& camera, int steps)
{
    repairDetect(camera.cycle);
    for (CountDetect& step : camera.steps)
        repairDetect(step);
    while (camera.steps.size() < steps) {
        CountDetect fresh;
        ResStatisticsParam::initStuCountDetect(fresh);
        camera.steps.append(fresh);
    }
}

}  // namespace

void ResStatisticsParam::initStuStatisticsCount(sCount& count)
{
    count.NG = 0;
    count.OK = 0;
}

void ResStatisticsParam::initStuCountDetect(CountDetect& detect)
{
    detect.detectID = -1;
    detect.OK.clear();
    detect.NG.clear();
    for (int i = 0; i < kHourSlots; ++i) {
        detect.OK.append(0);
        detect.NG.append(0);
    }
    initStuStatisticsCount(detect.morning);
    initStuStatisticsCount(detect.night);
    initStuStatisticsCount(detect.day);
}

void ResStatisticsParam::initStuCountCamera(CountCamera& camera)
{
    camera.cameraID = -1;
    initStuCountDetect(camera.cycle);
    camera.steps.clear();
    for (int i = 0; i < gDNum; ++i) {
        CountDetect detect;
        initStuCountDetect(detect);
        camera.steps.append(detect);
    }
}

void ResStatisticsParam::initStuCountGroup(CountGroup& group, QString name)
{
    group.cameras.clear();
    for (int i = 0; i < numCamera; ++i) {
        CountCamera camera;
        initStuCountCamera(camera);
        group.cameras.append(camera);
    }
    initStuCountCamera(group.allCameras);
    group.groupName = name;
}

void ResStatisticsParam::initStuCount(CountGroupList& list) const
{
    list.groups.clear();
    CountGroup group;
    group.morningStart = 8;
    group.nightStart = 20;
    initStuCountGroup(group, QStringLiteral("default"));
    list.groups.push_back(group);
    list.date = getCurDBDate();
}

void ResStatisticsParam::calcCount(CountDetect& detect) const
{
    calcCount(detect, morningsStart);
}

void ResStatisticsParam::calcCount(CountDetect& detect, int dayStart) const
{
    // Summed in 64 bits: a stored day may hold hour counts whose sum an int cannot take; a total
    // is shown clamped, never wrapped into a negative number. A slot belongs to the shift of the
    // clock hour it was counted in, whatever hour the shifts start at today.
    qint64 totals[3][2] = {};   // morning, night, day x OK, NG
    const QList<int>* lists[2] = {&detect.OK, &detect.NG};
    for (int kind = 0; kind < 2; ++kind) {
        for (int k = 0; k < lists[kind]->size(); ++k) {
            const qint64 value = lists[kind]->at(k);
            totals[isMorningHour(clockHourOfSlot(k, dayStart)) ? 0 : 1][kind] += value;
            totals[2][kind] += value;
        }
    }
    sCount* shifts[3] = {&detect.morning, &detect.night, &detect.day};
    for (int shift = 0; shift < 3; ++shift) {
        shifts[shift]->OK = clampedCount(totals[shift][0]);
        shifts[shift]->NG = clampedCount(totals[shift][1]);
    }
}

void ResStatisticsParam::calcCount(CountCamera& camera) const
{
    calcCount(camera, morningsStart);
}

void ResStatisticsParam::calcCount(CountCamera& camera, int dayStart) const
{
    for (CountDetect& step : camera.steps)
        calcCount(step, dayStart);
    calcCount(camera.cycle, dayStart);
}

void ResStatisticsParam::calcCount(CountGroup& group) const
{
    const int dayStart = dayStartOf(group);
    for (CountCamera& camera : group.cameras)
        calcCount(camera, dayStart);
    calcCount(group.allCameras, dayStart);
}

void ResStatisticsParam::calcCount(CountGroupList& list) const
{
    for (CountGroup& group : list.groups)
        calcCount(group);
}

int ResStatisticsParam::dayStartOf(const CountGroup& group)
{
    // A day file edited by hand or cut short may hold no usable hour; 8 is what every group
    // started with before it stored its own.
    return group.morningStart >= 0 && group.morningStart < 24 ? group.morningStart : 8;
}

int ResStatisticsParam::clockHourOfSlot(int slot, int dayStart)
{
    return (dayStart + slot % 24) % 24;
}

bool ResStatisticsParam::isMorningHour(int clockHour) const
{
    const int morningHours = (morningsEnd + 24 - morningsStart) % 24;
    return (clockHour - morningsStart + 24) % 24 < morningHours;
}

QList<int> ResStatisticsParam::countsByClockHour(const QList<int>& hourSlots, int dayStart)
{
    qint64 sums[24] = {};
    for (int k = 0; k < hourSlots.size(); ++k)
        sums[clockHourOfSlot(k, dayStart)] += hourSlots.at(k);
    QList<int> hours;
    hours.reserve(24);
    for (const qint64 sum : sums)
        hours.append(clampedCount(sum));
    return hours;
}

QJsonObject ResStatisticsParam::StuCountToJson(const CountGroupList& list)
{
    QJsonArray groups;
    for (const CountGroup& group : list.groups)
        groups.append(StuCountGroupToJson(group));
    QJsonObject json;
    json.insert(QStringLiteral("date"), list.date);
    json.insert(QStringLiteral("groups"), groups);
    return json;
}

QJsonObject ResStatisticsParam::StuCountGroupToJson(const CountGroup& group)
{
    QJsonArray datas;
    int stepCount = 0;
    for (int i = 0; i < group.cameras.size(); ++i)
        datas.append(StuCountCameraToJson(group.cameras.at(i), i, stepCount));
    datas.append(StuCountCameraToJson(group.allCameras, -1, stepCount));
    QJsonObject json;
    json.insert(QStringLiteral("datas"), datas);
    json.insert(QStringLiteral("cameraCount"), group.cameras.size());
    json.insert(QStringLiteral("detectCount"), gDNum);
    json.insert(QStringLiteral("groupName"), group.groupName);
    json.insert(QStringLiteral("morningStart"), group.morningStart);
    json.insert(QStringLiteral("nightStart"), group.nightStart);
    return json;
}

QJsonObject ResStatisticsParam::StuCountCameraToJson(const CountCamera& camera, int id, int& stepCount)
{
    QJsonArray data;
    for (int i = 0; i < camera.steps.size(); ++i)
        data.append(StuCountDetectToJson(camera.steps.at(i), i));
    stepCount = camera.steps.size();
    data.append(StuCountDetectToJson(camera.cycle, -1));
    QJsonObject json;
    json.insert(QStringLiteral("cameraID"), id);
    json.insert(QStringLiteral("data"), data);
    return json;
}

QJsonObject ResStatisticsParam::StuCountDetectToJson(const CountDetect& detect, int id)
{
    QJsonObject json;
    json.insert(QStringLiteral("detectID"), id);
    json.insert(QStringLiteral("OK"), intArray(detect.OK));
    json.insert(QStringLiteral("NG"), intArray(detect.NG));
    return json;
}

void ResStatisticsParam::StuCountFromJson(CountGroupList& list, const QJsonObject& json)
{
    list.date = json.value(QStringLiteral("date")).toString();
    list.groups.clear();
    const QJsonArray groups = json.value(QStringLiteral("groups")).toArray();
    for (const QJsonValue& value : groups) {
        CountGroup group;
        group.morningStart = 8;
        group.nightStart = 20;
        group.groupName = QStringLiteral("null");
        group.allCameras.cycle.detectID = -1;
        StuCountGroupFromJson(group, value.toObject());
        list.groups.push_back(group);
    }
}

void ResStatisticsParam::StuCountGroupFromJson(CountGroup& group, const QJsonObject& json)
{
    group.cameras.clear();
    const QJsonArray datas = json.value(QStringLiteral("datas")).toArray();
    for (const QJsonValue& value : datas) {
        const QJsonObject cameraJson = value.toObject();
        if (cameraJson.value(QStringLiteral("cameraID")).toInt(0) == -1) {
            StuCountCameraFromJson(group.allCameras, cameraJson);
            continue;
        }
        CountCamera camera;
        StuCountCameraFromJson(camera, cameraJson);
        group.cameras.append(camera);
    }
    group.groupName = json.value(QStringLiteral("groupName")).toString();
    group.morningStart = json.value(QStringLiteral("morningStart")).toInt(8);
    group.nightStart = json.value(QStringLiteral("nightStart")).toInt(20);

    // A stored day may come short (older program, hand-edited or cut file); recording and the
    // screen index every list, so it is completed with zero records here.
    const int storedSteps = qBound(0, json.value(QStringLiteral("detectCount")).toInt(0), kAllRecordIndex);
    repairGroup(group, qMax(storedSteps, gDNum), numCamera);
}

void ResStatisticsParam::StuCountCameraFromJson(CountCamera& camera, const QJsonObject& json)
{
    camera.steps.clear();
    const QJsonArray data = json.value(QStringLiteral("data")).toArray();
    for (const QJsonValue& value : data) {
        const QJsonObject detectJson = value.toObject();
        if (detectJson.value(QStringLiteral("detectID")).toInt(0) == -1) {
            StuCountDetectFromJson(camera.cycle, detectJson);
            continue;
        }
        CountDetect detect;
        StuCountDetectFromJson(detect, detectJson);
        camera.steps.append(detect);
    }
    camera.cameraID = json.value(QStringLiteral("cameraID")).toInt(0);
}

void ResStatisticsParam::StuCountDetectFromJson(CountDetect& detect, const QJsonObject& json)
{
    detect.OK = intList(json.value(QStringLiteral("OK")));
    detect.NG = intList(json.value(QStringLiteral("NG")));
    detect.detectID = json.value(QStringLiteral("detectID")).toInt(0);
}

void ResStatisticsParam::repairGroup(CountGroup& group, int steps, int cameras)
{
    steps = qBound(0, steps, kAllRecordIndex);
    cameras = qBound(0, cameras, kAllRecordIndex);
    for (CountCamera& camera : group.cameras)
        steps = qMax(steps, qMin<int>(camera.steps.size(), kAllRecordIndex));
    steps = qMax(steps, qMin<int>(group.allCameras.steps.size(), kAllRecordIndex));
    for (CountCamera& camera : group.cameras)
        repairCamera(camera, steps);
    while (group.cameras.size() < cameras) {
        CountCamera fresh;
        initStuCountCamera(fresh);
        repairCamera(fresh, steps);
        group.cameras.append(fresh);
    }
    repairCamera(group.allCameras, steps);
}
