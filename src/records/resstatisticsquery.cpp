// The production-count query: hour-by-hour counts between two times, read from the day files.
#include "records/resstatisticsdatabase.h"

#include "base/appclock.h"
#include "records/resstatisticsparam.h"
#include "records/statisticsfiles.h"
#include "vision/cameramanager.h"
#include "vision/wizardpara.h"

#include <QAtomicInteger>
#include <QFileInfo>
#include <QJsonDocument>
#include <QSet>
#include <QVariant>

#include <algorithm>

namespace {

const QString kTimeFormat = QStringLiteral("yyyy-MM-dd hh:mm:ss");
const QString kDateFormat = QStringLiteral("yyyy-MM-dd");

const QString kIndexAll = QStringLiteral("detect_index_all");
const QString kIndexNg = QStringLiteral("detect_index_ng");
const QString kIndexAllDetail = QStringLiteral("detect_index_all_detail");
const QString kIndexNgDetail = QStringLiteral("detect_index_ng_detail");

// Each call has a connection of its own: the database thread loads archives meanwhile.
QString uniqueConnectionName()
{
    static QAtomicInteger<quint32> counter;
    return QStringLiteral("dbFindResStatistics_query_%1").arg(counter.fetchAndAddRelaxed(1));
}

void appendZeros(QJsonArray& array, int count)
{
    for (int i = 0; i < count; ++i)
        array.append(0);
}

QJsonArray zeros(int count)
{
    QJsonArray array;
    appendZeros(array, count);
    return array;
}

// Grows a per-camera array; new cameras get as many zero slots as the first one has, so every
// camera stays aligned on the same hours.
void growTo(QJsonArray& array, int count)
{
    const int length = array.isEmpty() ? 0 : array.first().toArray().size();
    while (array.size() < count)
        array.append(zeros(length));
}

void appendZerosToSubArrays(QJsonArray& array, int from, int count)
{
    for (int i = qMax(0, from); i < array.size(); ++i) {
        QJsonArray sub = array.at(i).toArray();
        appendZeros(sub, count);
        array[i] = sub;
    }
}

void appendValues(QJsonArray& array, const QJsonArray& values)
{
    for (const QJsonValue& value : values)
        array.append(value);
}

// A sub-array is taken out and put back whole, which costs the size of the parent: done once
// per record and day, not once per hour, or a long range takes seconds on the GUI thread.
void appendToSubArray(QJsonArray& array, int index, const QJsonArray& values)
{
    QJsonArray sub = array.at(index).toArray();
    appendValues(sub, values);
    array[index] = sub;
}

// Pads an array (or each sub-array) with zeros up to length.
void padTo(QJsonArray& array, int length)
{
    while (array.size() < length)
        array.append(0);
}

void padSubArraysTo(QJsonArray& array, int length)
{
    for (int i = 0; i < array.size(); ++i) {
        QJsonArray sub = array.at(i).toArray();
        padTo(sub, length);
        array[i] = sub;
    }
}

QJsonObject emptyEveryDetect()
{
    QJsonObject object;
    object.insert(kIndexAll, QJsonArray());
    object.insert(kIndexAllDetail, QJsonArray());
    object.insert(kIndexNg, QJsonArray());
    object.insert(kIndexNgDetail, QJsonArray());
    return object;
}

// Slots of one production day that lie in [from, to]; false when the day is outside.
bool slotWindow(const QDateTime& dayStart, const QDateTime& from, const QDateTime& to, int& firstSlot, int& endSlot)
{
    const qint64 s = dayStart.secsTo(from);
    if (s > 86399)
        return false;
    firstSlot = s < 3600 ? 0 : int(s / 3600);
    const qint64 e = dayStart.secsTo(to);
    if (e < 0)
        return false;
    endSlot = e < 82800 ? int(e / 3600) + 1 : 24;
    return true;
}

struct QueryArrays {
    QJsonArray detectNg;
    QJsonArray detectAll;
    QJsonArray detectNgDetail;
    QJsonArray detectAllDetail;
    QJsonArray everyDetect;

    // After each day every array holds the same number of slots, whatever the day's data held.
    void alignTo(int length)
    {
        padTo(detectNg, length);
        padTo(detectAll, length);
        padSubArraysTo(detectNgDetail, length);
        padSubArraysTo(detectAllDetail, length);
        for (int i = 0; i < everyDetect.size(); ++i) {
            QJsonObject object = everyDetect.at(i).toObject();
            QJsonArray all = object.value(kIndexAll).toArray();
            QJsonArray ng = object.value(kIndexNg).toArray();
            QJsonArray allDetail = object.value(kIndexAllDetail).toArray();
            QJsonArray ngDetail = object.value(kIndexNgDetail).toArray();
            padTo(all, length);
            padTo(ng, length);
            padSubArraysTo(allDetail, length);
            padSubArraysTo(ngDetail, length);
            object.insert(kIndexAll, all);
            object.insert(kIndexNg, ng);
            object.insert(kIndexAllDetail, allDetail);
            object.insert(kIndexNgDetail, ngDetail);
            everyDetect[i] = object;
        }
    }
};

// Adds a day group's values for slots [firstSlot, endSlot).
void addGroupValues(const QJsonObject& group, int firstSlot, int endSlot, QueryArrays& arrays)
{
    QSet<int> seen;
    const QJsonArray datas = group.value(QStringLiteral("datas")).toArray();
    for (const QJsonValue& cameraValue : datas) {
        const QJsonObject camera = cameraValue.toObject();
        const int c = camera.value(QStringLiteral("cameraID")).toInt(0);
        if (c < -1 || c >= kMaxCameras)
            continue;
        const QJsonArray data = camera.value(QStringLiteral("data")).toArray();
        for (const QJsonValue& detectValue : data) {
            const QJsonObject detect = detectValue.toObject();
            const int s = detect.value(QStringLiteral("detectID")).toInt(0);
            if (s < -1 || s >= kMaxSteps || seen.contains(c * 16 + s))
                continue;
            seen.insert(c * 16 + s);
            if (s >= arrays.everyDetect.size())
                continue;
            const QJsonArray ok = detect.value(QStringLiteral("OK")).toArray();
            const QJsonArray ngValues = detect.value(QStringLiteral("NG")).toArray();
            QJsonObject every = s >= 0 ? arrays.everyDetect.at(s).toObject() : QJsonObject();
            QJsonArray indexAll = every.value(kIndexAll).toArray();
            QJsonArray indexNg = every.value(kIndexNg).toArray();
            QJsonArray indexAllDetail = every.value(kIndexAllDetail).toArray();
            QJsonArray indexNgDetail = every.value(kIndexNgDetail).toArray();
            QJsonArray ngSlots;
            QJsonArray allSlots;
            for (int i = firstSlot; i < endSlot; ++i) {
                const int ng = ngValues.at(i).toInt(0);
                ngSlots.append(ng);
                allSlots.append(ok.at(i).toInt(0) + ng);
            }
            if (c < 0 && s < 0) {
                appendValues(arrays.detectNg, ngSlots);
                appendValues(arrays.detectAll, allSlots);
            } else if (s < 0) {
                if (c < arrays.detectNgDetail.size()) {
                    appendToSubArray(arrays.detectNgDetail, c, ngSlots);
                    appendToSubArray(arrays.detectAllDetail, c, allSlots);
                }
            } else if (c < 0) {
                appendValues(indexNg, ngSlots);
                appendValues(indexAll, allSlots);
            } else if (c < indexNgDetail.size()) {
                appendToSubArray(indexNgDetail, c, ngSlots);
                appendToSubArray(indexAllDetail, c, allSlots);
            }
            if (s >= 0) {
                every.insert(kIndexAll, indexAll);
                every.insert(kIndexNg, indexNg);
                every.insert(kIndexAllDetail, indexAllDetail);
                every.insert(kIndexNgDetail, indexNgDetail);
                arrays.everyDetect[s] = every;
            }
        }
    }
}

// Cameras and steps a day's group really holds: its counts, grown to the identifiers present.
void groupShape(const QJsonObject& group, int& cameraCount, int& detectCount)
{
    cameraCount = qBound(0, group.value(QStringLiteral("cameraCount")).toInt(0), kMaxCameras);
    detectCount = qBound(0, group.value(QStringLiteral("detectCount")).toInt(0), kMaxSteps);
    const QJsonArray datas = group.value(QStringLiteral("datas")).toArray();
    for (const QJsonValue& cameraValue : datas) {
        const QJsonObject camera = cameraValue.toObject();
        const int c = camera.value(QStringLiteral("cameraID")).toInt(0);
        if (c >= 0 && c < kMaxCameras)
            cameraCount = qMax(cameraCount, c + 1);
        const QJsonArray data = camera.value(QStringLiteral("data")).toArray();
        for (const QJsonValue& detectValue : data) {
            const int s = detectValue.toObject().value(QStringLiteral("detectID")).toInt(0);
            if (s >= 0 && s < kMaxSteps)
                detectCount = qMax(detectCount, s + 1);
        }
    }
}

// The production date "ResStatistics.db" holds: from midnight to the morning hour it is still
// yesterday's day. Read from the file itself; by the clock when it does not say.
QDate currentFileDate(const QString& connectionName)
{
    const QString path = ResStatisticsDatabase::currentFileName();
    if (QFileInfo(path).isFile()) {
        SqlConnection connection(connectionName, path);
        if (connection.isOpen()) {
            QSqlQuery query(connection.db());
            if (query.exec(ResStatisticsDatabase::dayJsonSelect()) && query.next()) {
                const QJsonObject day = QJsonDocument::fromJson(query.value(0).toString().toLocal8Bit()).object();
                const QDate date = QDate::fromString(day.value(QStringLiteral("date")).toString(), kDateFormat);
                if (date.isValid())
                    return date;
            }
        }
    }
    const QDateTime now = AppClock::now();
    return now.time().hour() < 8 ? now.date().addDays(-1) : now.date();
}

}  // namespace

void ResStatisticsDatabase::loadCount(QString from, QString to, QJsonObject& result, QString group)
{
    if (group.isEmpty())
        group = gpWPara ? gpWPara->getCurGroupName() : QStringLiteral("default");

    QueryArrays arrays;
    const auto store = [&result, &arrays] {
        result.insert(QStringLiteral("detect_all"), arrays.detectAll);
        result.insert(QStringLiteral("detect_all_detail"), arrays.detectAllDetail);
        result.insert(QStringLiteral("detect_ng"), arrays.detectNg);
        result.insert(QStringLiteral("detect_ng_detail"), arrays.detectNgDetail);
        result.insert(QStringLiteral("every_detect"), arrays.everyDetect);
    };

    const QDateTime fromTime = QDateTime::fromString(from, kTimeFormat);
    const QDateTime toTime = QDateTime::fromString(to, kTimeFormat);
    if (!fromTime.isValid() || !toTime.isValid() || fromTime.daysTo(toTime) > kMaxQueryDays) {
        store();
        return;
    }

    const QString connectionName = uniqueConnectionName();
    const QDate todayFileDate = currentFileDate(connectionName);
    const int cameraCountNow = CameraManager::getInstance()->cameraInfoList().size();

    QDateTime cursor = fromTime.addDays(-2);
    while (cursor < toTime) {
        cursor = cursor.addDays(1);
        const int before = arrays.detectAll.size();
        const auto zeroFill = [&] {
            completeDataForErrorData(cursor, fromTime, toTime, arrays.detectNg, arrays.detectAll, arrays.detectNgDetail,
                                     arrays.detectAllDetail, arrays.everyDetect, cameraCountNow, gDNum);
        };
        const bool isToday = cursor.date() == todayFileDate;
        const QString path = isToday ? QStringLiteral("./ResStatistics.db")
                                     : QStringLiteral("./ResStatistics/") + cursor.date().toString(kDateFormat)
                                           + QStringLiteral(".db");
        if (!QFileInfo(path).isFile()) {
            zeroFill();
            continue;
        }

        QJsonObject day;
        {
            SqlConnection connection(connectionName, path);
            if (!connection.isOpen()) {
                zeroFill();
                continue;
            }
            QSqlQuery query(connection.db());
            QString text;
            if (query.exec(ResStatisticsDatabase::dayJsonSelect()) && query.next())
                text = query.value(0).toString();
            if (!text.isEmpty()) {
                day = QJsonDocument::fromJson(text.toLocal8Bit()).object();
            } else {
                CountGroup older = olderLayoutGroup(query);
                CountGroupList list;
                if (removeSuffix(path) == QLatin1String("ResStatistics")) {
                    list.date = todayFileDate.toString(kDateFormat);
                    older.groupName = group;
                } else {
                    list.date = removeSuffix(path);
                }
                list.groups.push_back(older);
                day = ResStatisticsParam::StuCountToJson(list);
            }
            query.clear();
        }

        QDate dayDate = QDate::fromString(day.value(QStringLiteral("date")).toString(), kDateFormat);
        if (!dayDate.isValid())
            dayDate = cursor.date();
        const QJsonArray groups = day.value(QStringLiteral("groups")).toArray();
        // One group per name and day; a repeated name would count its hours twice.
        const auto match = std::find_if(groups.begin(), groups.end(), [&group](const QJsonValue& value) {
            return value.toObject().value(QStringLiteral("groupName")).toString() == group;
        });
        if (match == groups.end()) {
            zeroFill();
            continue;
        }
        const QJsonObject dayGroup = (*match).toObject();
        int cameraCount = 0;
        int detectCount = 0;
        groupShape(dayGroup, cameraCount, detectCount);
        int morningStart = 8;
        if (dayGroup.contains(QStringLiteral("morningStart")))
            morningStart = dayGroup.value(QStringLiteral("morningStart")).toInt(8);
        if (morningStart < 0 || morningStart > 23)
            morningStart = 8;
        int firstSlot = 0;
        int endSlot = 0;
        if (completeData(QDateTime(dayDate, QTime(0, 0)), fromTime, toTime, arrays.detectNg, arrays.detectAll,
                         arrays.detectNgDetail, arrays.detectAllDetail, arrays.everyDetect, cameraCount, detectCount,
                         firstSlot, endSlot, morningStart)) {
            addGroupValues(dayGroup, firstSlot, endSlot, arrays);
            arrays.alignTo(before + qMax(0, endSlot - firstSlot));
        }
    }
    store();
}

bool ResStatisticsDatabase::completeData(QDateTime day, QDateTime from, QDateTime to, QJsonArray& detectNg,
                                         QJsonArray& detectAll, QJsonArray& detectNgDetail,
                                         QJsonArray& detectAllDetail, QJsonArray& everyDetect, int cameraCount,
                                         int detectCount, int& firstSlot, int& endSlot, int morningStart)
{
    Q_UNUSED(detectNg)
    Q_UNUSED(detectAll)
    const QDateTime dayStart(day.date(), QTime(morningStart, 0));
    if (!slotWindow(dayStart, from, to, firstSlot, endSlot))
        return false;
    const int w = qMax(0, endSlot - firstSlot);

    while (everyDetect.size() < detectCount)
        everyDetect.append(everyDetect.isEmpty() ? emptyEveryDetect()
                                                 : creatorEveryDetectIndex(everyDetect.first().toObject()));
    for (int i = 0; i < everyDetect.size(); ++i) {
        QJsonObject object = everyDetect.at(i).toObject();
        const bool missingStep = i >= detectCount;
        if (missingStep) {
            QJsonArray all = object.value(kIndexAll).toArray();
            QJsonArray ng = object.value(kIndexNg).toArray();
            appendZeros(all, w);
            appendZeros(ng, w);
            object.insert(kIndexAll, all);
            object.insert(kIndexNg, ng);
        }
        for (const QString& key : {kIndexAllDetail, kIndexNgDetail}) {
            QJsonArray detail = object.value(key).toArray();
            growTo(detail, cameraCount);
            appendZerosToSubArrays(detail, missingStep ? 0 : cameraCount, w);
            object.insert(key, detail);
        }
        everyDetect[i] = object;
    }
    growTo(detectAllDetail, cameraCount);
    growTo(detectNgDetail, cameraCount);
    appendZerosToSubArrays(detectAllDetail, cameraCount, w);
    appendZerosToSubArrays(detectNgDetail, cameraCount, w);
    return true;
}

void ResStatisticsDatabase::completeDataForErrorData(QDateTime day, QDateTime from, QDateTime to,
                                                     QJsonArray& detectNg, QJsonArray& detectAll,
                                                     QJsonArray& detectNgDetail, QJsonArray& detectAllDetail,
                                                     QJsonArray& everyDetect, int cameraCount, int detectCount)
{
    int firstSlot = 0;
    int endSlot = 0;
    if (!slotWindow(QDateTime(day.date(), QTime(8, 0)), from, to, firstSlot, endSlot))
        return;
    const int w = qMax(0, endSlot - firstSlot);
    cameraCount = qBound(0, cameraCount, kMaxCameras);
    detectCount = qBound(0, detectCount, kMaxSteps);

    growTo(detectAllDetail, cameraCount);
    growTo(detectNgDetail, cameraCount);
    while (everyDetect.size() < detectCount) {
        QJsonObject object = everyDetect.isEmpty() ? emptyEveryDetect()
                                                   : creatorEveryDetectIndex(everyDetect.first().toObject());
        object.insert(QStringLiteral("detect_index"), everyDetect.size() + 1);
        everyDetect.append(object);
    }
    appendZeros(detectNg, w);
    appendZeros(detectAll, w);
    appendZerosToSubArrays(detectNgDetail, 0, w);
    appendZerosToSubArrays(detectAllDetail, 0, w);
    for (int i = 0; i < everyDetect.size(); ++i) {
        QJsonObject object = everyDetect.at(i).toObject();
        for (const QString& key : {kIndexAll, kIndexNg}) {
            QJsonArray values = object.value(key).toArray();
            appendZeros(values, w);
            object.insert(key, values);
        }
        for (const QString& key : {kIndexAllDetail, kIndexNgDetail}) {
            QJsonArray detail = object.value(key).toArray();
            growTo(detail, cameraCount);
            appendZerosToSubArrays(detail, 0, w);
            object.insert(key, detail);
        }
        everyDetect[i] = object;
    }
}

QJsonObject ResStatisticsDatabase::creatorEveryDetectIndex(QJsonObject model)
{
    QJsonObject object;
    for (const QString& key : {kIndexAll, kIndexNg})
        object.insert(key, zeros(model.value(key).toArray().size()));
    for (const QString& key : {kIndexAllDetail, kIndexNgDetail}) {
        QJsonArray detail;
        const QJsonArray source = model.value(key).toArray();
        for (const QJsonValue& sub : source)
            detail.append(zeros(sub.toArray().size()));
        object.insert(key, detail);
    }
    return object;
}
