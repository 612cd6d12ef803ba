// The production-count query: hour-by-hour counts between two times, read from the day files.
//
// It runs on a work thread of the HTTP API: everything it needs of the program's state comes in
// a CountShape taken on the GUI thread, and the day files are read through read-only connections
// of its own. The arrays are plain vectors of 64-bit sums while they are built and become JSON
// once, at the end; a sum beyond an int is sent as the largest int.
#include "records/resstatisticsdatabase.h"

#include "base/appclock.h"
#include "base/readonlydatabase.h"
#include "records/resstatisticsparam.h"
#include "vision/cameramanager.h"
#include "vision/wizardpara.h"

#include <QFile>
#include <QFileInfo>
#include <QFuture>
#include <QThreadPool>
#include <QtConcurrent/QtConcurrentRun>
#include <QJsonDocument>
#include <QSqlQuery>
#include <QVariant>

#include <algorithm>
#include <cmath>
#include <limits>
#include <optional>
#include <vector>

struct ResStatisticsDatabase::CountArrays {
    using Slots = std::vector<qint64>;
    using PerCamera = std::vector<Slots>;
    struct EveryDetect {
        Slots all;
        Slots ng;
        PerCamera allDetail;
        PerCamera ngDetail;
        int detectIndex = 0;   // 1-based position when made while zero-filling a day, else 0
    };

    Slots detectNg;
    Slots detectAll;
    PerCamera detectNgDetail;
    PerCamera detectAllDetail;
    std::vector<EveryDetect> everyDetect;

    // After each day every array holds the same number of slots, whatever the day's data held.
    void alignTo(size_t length);
    void store(QJsonObject& result) const;
    // The same keys, with `extra` beside them, as compact JSON text with sorted keys.
    QByteArray toJsonText(const QJsonObject& extra) const;
};

namespace {

using CountArrays = ResStatisticsDatabase::CountArrays;
using Slots = CountArrays::Slots;
using PerCamera = CountArrays::PerCamera;
using EveryDetect = CountArrays::EveryDetect;

const QString kTimeFormat = QStringLiteral("yyyy-MM-dd hh:mm:ss");
const QString kDateFormat = QStringLiteral("yyyy-MM-dd");
// Days read before their JSON is parsed: bounds what a long range holds at once.
constexpr size_t kChunkDays = 32;
const QString kDayJsonBytes =
    QStringLiteral("select cast(value1 as blob) from resstatistics where name='statisticsjson'");

void appendZeros(Slots& values, int count)
{
    if (count > 0)
        values.resize(values.size() + size_t(count), 0);
}

void padTo(Slots& values, size_t length)
{
    if (values.size() < length)
        values.resize(length, 0);
}

// Grows a per-camera array; new cameras get as many zero slots as the first one has, so every
// camera stays aligned on the same hours.
void growTo(PerCamera& cameras, int count)
{
    const size_t length = cameras.empty() ? 0 : cameras.front().size();
    while (int(cameras.size()) < count)
        cameras.emplace_back(length, 0);
}

void appendZerosToSubArrays(PerCamera& cameras, int from, int count)
{
    for (size_t i = size_t(qMax(0, from)); i < cameras.size(); ++i)
        appendZeros(cameras[i], count);
}

// A zero-filled copy of an "every_detect" object: the same lengths, no position.
EveryDetect creatorEveryDetectIndex(const EveryDetect& model)
{
    EveryDetect object;
    object.all.assign(model.all.size(), 0);
    object.ng.assign(model.ng.size(), 0);
    for (const Slots& sub : model.allDetail)
        object.allDetail.emplace_back(sub.size(), 0);
    for (const Slots& sub : model.ngDetail)
        object.ngDetail.emplace_back(sub.size(), 0);
    return object;
}

EveryDetect nextEveryDetect(const std::vector<EveryDetect>& everyDetect)
{
    return everyDetect.empty() ? EveryDetect() : creatorEveryDetectIndex(everyDetect.front());
}

qint64 clampToInt(qint64 value)
{
    return qBound<qint64>(std::numeric_limits<int>::min(), value, std::numeric_limits<int>::max());
}

void appendText(QByteArray& out, const Slots& values)
{
    out.append('[');
    for (size_t i = 0; i < values.size(); ++i) {
        if (i > 0)
            out.append(',');
        out.append(QByteArray::number(clampToInt(values[i])));
    }
    out.append(']');
}

void appendText(QByteArray& out, const PerCamera& cameras)
{
    out.append('[');
    for (size_t i = 0; i < cameras.size(); ++i) {
        if (i > 0)
            out.append(',');
        appendText(out, cameras[i]);
    }
    out.append(']');
}

QByteArray valueText(const QJsonValue& value)
{
    QByteArray text = QJsonDocument(QJsonArray{value}).toJson(QJsonDocument::Compact);
    return text.mid(1, text.size() - 2);
}

QJsonArray toJson(const Slots& values)
{
    QJsonArray array;
    for (const qint64 value : values)
        array.append(int(clampToInt(value)));
    return array;
}

QJsonArray toJson(const PerCamera& cameras)
{
    QJsonArray array;
    for (const Slots& values : cameras)
        array.append(toJson(values));
    return array;
}

// A stored count as the platform's JSON reader gives an int: a whole number in the int range,
// else 0.
qint64 countAt(const QJsonArray& values, int index)
{
    if (index >= values.size())
        return 0;
    const QJsonValue value = values.at(index);
    if (!value.isDouble())
        return 0;
    const double number = value.toDouble();
    if (number != std::floor(number) || number < std::numeric_limits<int>::min()
        || number > std::numeric_limits<int>::max())
        return 0;
    return qint64(number);
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

// Adds a day group's values for slots [firstSlot, endSlot).
void addGroupValues(const QJsonObject& group, int firstSlot, int endSlot, CountArrays& arrays)
{
    bool seen[kMaxCameras + 1][kMaxSteps + 1] = {};
    const int width = qMax(0, endSlot - firstSlot);
    Slots ngSlots(size_t(width), 0);
    Slots allSlots(size_t(width), 0);
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
            if (s < -1 || s >= kMaxSteps || seen[c + 1][s + 1])
                continue;
            seen[c + 1][s + 1] = true;
            if (s >= int(arrays.everyDetect.size()))
                continue;
            const QJsonArray ok = detect.value(QStringLiteral("OK")).toArray();
            const QJsonArray ng = detect.value(QStringLiteral("NG")).toArray();
            for (int i = 0; i < width; ++i) {
                ngSlots[size_t(i)] = countAt(ng, firstSlot + i);
                allSlots[size_t(i)] = countAt(ok, firstSlot + i) + ngSlots[size_t(i)];
            }
            const auto append = [&](Slots& allTarget, Slots& ngTarget) {
                allTarget.insert(allTarget.end(), allSlots.begin(), allSlots.end());
                ngTarget.insert(ngTarget.end(), ngSlots.begin(), ngSlots.end());
            };
            if (c < 0 && s < 0) {
                append(arrays.detectAll, arrays.detectNg);
            } else if (s < 0) {
                if (c < int(arrays.detectNgDetail.size()))
                    append(arrays.detectAllDetail[size_t(c)], arrays.detectNgDetail[size_t(c)]);
            } else {
                EveryDetect& every = arrays.everyDetect[size_t(s)];
                if (c < 0)
                    append(every.all, every.ng);
                else if (c < int(every.ngDetail.size()) && c < int(every.allDetail.size()))
                    append(every.allDetail[size_t(c)], every.ngDetail[size_t(c)]);
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

// One day file as read: its stored JSON text, parsed later (and on a helper thread), or a
// day already made from the older row layout.
struct DaySource {
    QByteArray text;
    QJsonObject day;
    // The file holds a stored day, which names its own date. A fresh copy of the template holds
    // none: the date it is read under is only the reader's guess.
    bool stored = false;

    QJsonObject& parsed()
    {
        if (!text.isEmpty()) {
            day = QJsonDocument::fromJson(text).object();
            text.clear();
        }
        return day;
    }
};

// The production day the clock is in, as the shift settings place it, and the hour it began.
// While the stored roll time's day runs, that day, begun at its hour (new shift hours move only
// the next day's start); else the day the morning-shift hour gives (the settings name the ended
// day until the database thread writes the roll), 8 o'clock when the file does not say.
struct RunningDay {
    QDate date;
    int startHour = 8;
};

RunningDay runningDay()
{
    constexpr qint64 kMaxSettingsBytes = 64 * 1024;
    constexpr qint64 kDaySeconds = 86400;
    QJsonObject settings;
    QFile file(ResStatisticsParam::configFileName());
    if (file.open(QIODevice::ReadOnly))
        settings = QJsonDocument::fromJson(file.read(kMaxSettingsBytes)).object();
    RunningDay running;
    const QJsonValue hour = settings.value(QStringLiteral("morningsStart"));
    const double value = hour.toDouble(-1);
    if (hour.isDouble() && value >= 0 && value <= 23 && value == std::floor(value))
        running.startHour = int(value);

    const QDateTime now = AppClock::now();
    bool isNumber = false;
    const qint64 roll = settings.value(QStringLiteral("time")).toString().toLongLong(&isNumber);
    const QDateTime rollTime = QDateTime::fromSecsSinceEpoch(roll);
    const qint64 intoDay = rollTime.secsTo(now);
    if (isNumber && intoDay >= 0 && intoDay < kDaySeconds) {
        running.date = rollTime.date();
        running.startHour = rollTime.time().hour();
        return running;
    }
    running.date = now.time().hour() < running.startHour ? now.date().addDays(-1) : now.date();
    return running;
}

// A day file, or nothing when the file is missing or does not open. A file without the JSON
// row is read in the older row layout: today's file as the running day under the group asked
// (the template the day roll leaves is the new day until its first store), an archive as a
// "default" group under its own date.
std::optional<DaySource> readDay(ReadOnlyDatabase& connection, const QString& path, const RunningDay& running,
                                 const QString& group)
{
    if (!connection.open(path))
        return std::nullopt;
    DaySource source;
    {
        QSqlQuery query(connection.db());
        query.setForwardOnly(true);
        // The stored text's own bytes (UTF-8 as every store writes it), read without a
        // round trip through UTF-16.
        if (query.exec(kDayJsonBytes) && query.next())
            source.text = query.value(0).toByteArray();
        source.stored = !source.text.isEmpty();
        if (!source.stored) {
            CountGroup older = ResStatisticsDatabase::olderLayoutGroup(query);
            CountGroupList list;
            if (ResStatisticsDatabase::removeSuffix(path) == QLatin1String("ResStatistics")) {
                list.date = running.date.toString(kDateFormat);
                older.groupName = group;
                older.morningStart = running.startHour;
            } else {
                list.date = ResStatisticsDatabase::removeSuffix(path);
            }
            list.groups.push_back(older);
            source.day = ResStatisticsParam::StuCountToJson(list);
        }
    }
    connection.close();
    return source;
}

// The production date "ResStatistics.db" holds, read from the file itself; the running day when
// it does not say (a fresh copy of the template, as the day roll leaves it until the new day's
// first store).
QDate currentFileDate(ReadOnlyDatabase& connection, const RunningDay& running)
{
    if (connection.open(ResStatisticsDatabase::currentFileName())) {
        QDate date;
        {
            QSqlQuery query(connection.db());
            if (query.exec(kDayJsonBytes) && query.next()) {
                const QJsonObject day = QJsonDocument::fromJson(query.value(0).toByteArray()).object();
                date = QDate::fromString(day.value(QStringLiteral("date")).toString(), kDateFormat);
            }
        }
        connection.close();
        if (date.isValid())
            return date;
    }
    return running.date;
}

// Whether a file read as the current one holds the day asked for. One that names another day
// has rolled since its date was read; one that names none may be the template the roll left.
bool holdsDay(std::optional<DaySource>& source, const QDate& date)
{
    if (!source || !source->stored)
        return false;
    const QDate stored = QDate::fromString(source->parsed().value(QStringLiteral("date")).toString(), kDateFormat);
    return !stored.isValid() || stored == date;
}

QString archivePath(const QDate& date)
{
    return QStringLiteral("./ResStatistics/") + date.toString(kDateFormat) + QStringLiteral(".db");
}

}  // namespace

void ResStatisticsDatabase::CountArrays::alignTo(size_t length)
{
    padTo(detectNg, length);
    padTo(detectAll, length);
    for (Slots& sub : detectNgDetail)
        padTo(sub, length);
    for (Slots& sub : detectAllDetail)
        padTo(sub, length);
    for (EveryDetect& every : everyDetect) {
        padTo(every.all, length);
        padTo(every.ng, length);
        for (Slots& sub : every.allDetail)
            padTo(sub, length);
        for (Slots& sub : every.ngDetail)
            padTo(sub, length);
    }
}

void ResStatisticsDatabase::CountArrays::store(QJsonObject& result) const
{
    QJsonArray every;
    for (const EveryDetect& step : everyDetect) {
        QJsonObject object;
        object.insert(QStringLiteral("detect_index_all"), toJson(step.all));
        object.insert(QStringLiteral("detect_index_all_detail"), toJson(step.allDetail));
        object.insert(QStringLiteral("detect_index_ng"), toJson(step.ng));
        object.insert(QStringLiteral("detect_index_ng_detail"), toJson(step.ngDetail));
        if (step.detectIndex > 0)
            object.insert(QStringLiteral("detect_index"), step.detectIndex);
        every.append(object);
    }
    result.insert(QStringLiteral("detect_all"), toJson(detectAll));
    result.insert(QStringLiteral("detect_all_detail"), toJson(detectAllDetail));
    result.insert(QStringLiteral("detect_ng"), toJson(detectNg));
    result.insert(QStringLiteral("detect_ng_detail"), toJson(detectNgDetail));
    result.insert(QStringLiteral("every_detect"), every);
}

QByteArray ResStatisticsDatabase::CountArrays::toJsonText(const QJsonObject& extra) const
{
    QMap<QString, QByteArray> fields;
    for (auto it = extra.begin(); it != extra.end(); ++it)
        fields.insert(it.key(), valueText(it.value()));
    const auto field = [&fields](const QString& key, const auto& values) {
        QByteArray text;
        appendText(text, values);
        fields.insert(key, text);
    };
    field(QStringLiteral("detect_all"), detectAll);
    field(QStringLiteral("detect_all_detail"), detectAllDetail);
    field(QStringLiteral("detect_ng"), detectNg);
    field(QStringLiteral("detect_ng_detail"), detectNgDetail);
    QByteArray every("[");
    for (size_t i = 0; i < everyDetect.size(); ++i) {
        const EveryDetect& step = everyDetect[i];
        every.append(i > 0 ? ",{" : "{");
        if (step.detectIndex > 0)
            every.append("\"detect_index\":" + QByteArray::number(step.detectIndex) + ',');
        every.append("\"detect_index_all\":");
        appendText(every, step.all);
        every.append(",\"detect_index_all_detail\":");
        appendText(every, step.allDetail);
        every.append(",\"detect_index_ng\":");
        appendText(every, step.ng);
        every.append(",\"detect_index_ng_detail\":");
        appendText(every, step.ngDetail);
        every.append('}');
    }
    every.append(']');
    fields.insert(QStringLiteral("every_detect"), every);

    QByteArray out("{");
    for (auto it = fields.cbegin(); it != fields.cend(); ++it) {
        if (it != fields.cbegin())
            out.append(',');
        out.append(valueText(it.key()));
        out.append(':');
        out.append(it.value());
    }
    out.append('}');
    return out;
}

ResStatisticsDatabase::CountShape ResStatisticsDatabase::currentCountShape(const QString& group)
{
    CountShape shape;
    shape.group = group;
    if (shape.group.isEmpty())
        shape.group = gpWPara ? gpWPara->getCurGroupName() : QStringLiteral("default");
    shape.cameraCount = CameraManager::getInstance()->cameraInfoList().size();
    shape.stepCount = gDNum;
    return shape;
}

void ResStatisticsDatabase::loadCount(QString from, QString to, QJsonObject& result, QString group)
{
    loadCount(from, to, result, currentCountShape(group));
}

void ResStatisticsDatabase::loadCount(const QString& from, const QString& to, QJsonObject& result,
                                      const CountShape& shape, const std::atomic<bool>* stopping)
{
    collectCounts(from, to, shape, stopping).store(result);
}

QByteArray ResStatisticsDatabase::loadCountJson(const QString& from, const QString& to, const CountShape& shape,
                                                const QJsonObject& extra, const std::atomic<bool>* stopping)
{
    return collectCounts(from, to, shape, stopping).toJsonText(extra);
}

ResStatisticsDatabase::CountArrays ResStatisticsDatabase::collectCounts(const QString& from, const QString& to,
                                                                       const CountShape& shape,
                                                                       const std::atomic<bool>* stopping)
{
    CountArrays arrays;
    const QDateTime fromTime = QDateTime::fromString(from, kTimeFormat);
    const QDateTime toTime = QDateTime::fromString(to, kTimeFormat);
    if (!fromTime.isValid() || !toTime.isValid() || fromTime.daysTo(toTime) > kMaxQueryDays)
        return arrays;

    ReadOnlyDatabase connection(QStringLiteral("counts"));
    const RunningDay running = runningDay();
    const QDate todayFileDate = currentFileDate(connection, running);
    // Days are read in chunks: the files one after the other, then their JSON parsed by this
    // thread and one helper together, then added in order.
    QThreadPool helper;
    helper.setMaxThreadCount(1);
    struct Day {
        QDateTime cursor;
        std::optional<DaySource> source;
    };
    std::vector<Day> chunk;

    QDateTime cursor = fromTime.addDays(-2);
    while (cursor < toTime) {
        if (stopping && stopping->load())
            break;
        chunk.clear();
        while (cursor < toTime && chunk.size() < kChunkDays) {
            cursor = cursor.addDays(1);
            const bool isToday = cursor.date() == todayFileDate;
            const QString archive = archivePath(cursor.date());
            std::optional<DaySource> source =
                readDay(connection, isToday ? currentFileName() : archive, running, shape.group);
            // The day may have rolled since the date was read: the current file then holds the
            // next day, or nothing yet, and the day asked for is in its archive.
            const bool otherDay = source && source->stored;
            if (isToday && !holdsDay(source, cursor.date()) && (otherDay || QFileInfo(archive).isFile()))
                source = readDay(connection, archive, running, shape.group);
            chunk.push_back({cursor, std::move(source)});
        }
        const auto parseEvery = [&chunk](size_t first) {
            for (size_t i = first; i < chunk.size(); i += 2) {
                if (chunk[i].source)
                    chunk[i].source->parsed();
            }
        };
        QFuture<void> other = QtConcurrent::run(&helper, [&parseEvery] { parseEvery(1); });
        parseEvery(0);
        other.waitForFinished();
        for (Day& entry : chunk) {
            // The running day may be in no file yet (the ended one not archived so far): its
            // hours start when it did.
            const int emptyDayStart = entry.cursor.date() == running.date ? running.startHour : 8;
            addDay(entry.cursor, entry.source ? &entry.source->parsed() : nullptr, fromTime, toTime, shape, arrays,
                   emptyDayStart);
        }
    }
    return arrays;
}

void ResStatisticsDatabase::addDay(const QDateTime& cursor, const QJsonObject* day, const QDateTime& fromTime,
                                   const QDateTime& toTime, const CountShape& shape, CountArrays& arrays,
                                   int emptyDayStart)
{
    const size_t before = arrays.detectAll.size();
    const auto zeroFill = [&] {
        completeDataForErrorData(cursor, fromTime, toTime, arrays, shape.cameraCount, shape.stepCount, emptyDayStart);
    };
    if (!day) {
        zeroFill();
        return;
    }
    QDate dayDate = QDate::fromString(day->value(QStringLiteral("date")).toString(), kDateFormat);
    if (!dayDate.isValid())
        dayDate = cursor.date();
    const QJsonArray groups = day->value(QStringLiteral("groups")).toArray();
    // One group per name and day; a repeated name would count its hours twice.
    const auto match = std::find_if(groups.begin(), groups.end(), [&shape](const QJsonValue& value) {
        return value.toObject().value(QStringLiteral("groupName")).toString() == shape.group;
    });
    if (match == groups.end()) {
        zeroFill();
        return;
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
    if (completeData(QDateTime(dayDate, QTime(0, 0)), fromTime, toTime, arrays, cameraCount, detectCount, firstSlot,
                     endSlot, morningStart)) {
        addGroupValues(dayGroup, firstSlot, endSlot, arrays);
        arrays.alignTo(before + size_t(qMax(0, endSlot - firstSlot)));
    }
}

bool ResStatisticsDatabase::completeData(QDateTime day, QDateTime from, QDateTime to, CountArrays& arrays,
                                         int cameraCount, int detectCount, int& firstSlot, int& endSlot,
                                         int morningStart)
{
    const QDateTime dayStart(day.date(), QTime(morningStart, 0));
    if (!slotWindow(dayStart, from, to, firstSlot, endSlot))
        return false;
    const int w = qMax(0, endSlot - firstSlot);

    while (int(arrays.everyDetect.size()) < detectCount)
        arrays.everyDetect.push_back(nextEveryDetect(arrays.everyDetect));
    for (size_t i = 0; i < arrays.everyDetect.size(); ++i) {
        EveryDetect& object = arrays.everyDetect[i];
        const bool missingStep = int(i) >= detectCount;
        if (missingStep) {
            appendZeros(object.all, w);
            appendZeros(object.ng, w);
        }
        for (PerCamera* detail : {&object.allDetail, &object.ngDetail}) {
            growTo(*detail, cameraCount);
            appendZerosToSubArrays(*detail, missingStep ? 0 : cameraCount, w);
        }
    }
    growTo(arrays.detectAllDetail, cameraCount);
    growTo(arrays.detectNgDetail, cameraCount);
    appendZerosToSubArrays(arrays.detectAllDetail, cameraCount, w);
    appendZerosToSubArrays(arrays.detectNgDetail, cameraCount, w);
    return true;
}

void ResStatisticsDatabase::completeDataForErrorData(QDateTime day, QDateTime from, QDateTime to,
                                                     CountArrays& arrays, int cameraCount, int detectCount,
                                                     int morningStart)
{
    int firstSlot = 0;
    int endSlot = 0;
    if (!slotWindow(QDateTime(day.date(), QTime(morningStart, 0)), from, to, firstSlot, endSlot))
        return;
    const int w = qMax(0, endSlot - firstSlot);
    cameraCount = qBound(0, cameraCount, kMaxCameras);
    detectCount = qBound(0, detectCount, kMaxSteps);

    growTo(arrays.detectAllDetail, cameraCount);
    growTo(arrays.detectNgDetail, cameraCount);
    while (int(arrays.everyDetect.size()) < detectCount) {
        EveryDetect object = nextEveryDetect(arrays.everyDetect);
        object.detectIndex = int(arrays.everyDetect.size()) + 1;
        arrays.everyDetect.push_back(std::move(object));
    }
    appendZeros(arrays.detectNg, w);
    appendZeros(arrays.detectAll, w);
    appendZerosToSubArrays(arrays.detectNgDetail, 0, w);
    appendZerosToSubArrays(arrays.detectAllDetail, 0, w);
    for (EveryDetect& object : arrays.everyDetect) {
        appendZeros(object.all, w);
        appendZeros(object.ng, w);
        for (PerCamera* detail : {&object.allDetail, &object.ngDetail}) {
            growTo(*detail, cameraCount);
            appendZerosToSubArrays(*detail, 0, w);
        }
    }
}
