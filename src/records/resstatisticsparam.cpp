#include "records/resstatisticsparam.h"

#include "base/appclock.h"
#include "base/safefile.h"
#include "base/storewriter.h"
#include "records/resstatisticsdatabase.h"
#include "vision/wizardpara.h"

#include <QDateTime>
#include <algorithm>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonParseError>
#include <QThread>
#include <QtDebug>

#include <cmath>
#include <limits>

ResStatisticsParam* ResStatisticsParam::instance = nullptr;

namespace {

constexpr qint64 kDaySeconds = 86400;
constexpr int kCheckIntervalMs = 60000;

int normalisedHour(int hour)
{
    return ((hour % 24) + 24) % 24;
}

// What in the shift settings would not read as the settings screen wrote it: a roll time that
// is not a decimal number of seconds, or an hour that is no whole number from 0 to 23. Keys
// that are missing read as the defaults and are no fault.
QString configProblem(const QJsonObject& json)
{
    QStringList faults;
    if (json.contains(QStringLiteral("time"))) {
        const QJsonValue time = json.value(QStringLiteral("time"));
        const QString text = time.toString();
        bool digits = time.isString() && !text.isEmpty();
        for (const QChar c : text)
            digits = digits && c >= QLatin1Char('0') && c <= QLatin1Char('9');
        bool fits = false;
        text.toUInt(&fits);
        if (!digits || !fits)
            faults << QStringLiteral("\"time\" is not a number of seconds");
    }
    for (const char* key : {"morningsStart", "morningsEnd", "nightStart", "nightEnd"}) {
        const QJsonValue value = json.value(QLatin1String(key));
        if (value.isUndefined())
            continue;
        const double hour = value.toDouble(-1);
        if (!value.isDouble() || hour != std::floor(hour) || hour < 0 || hour > 23)
            faults << QStringLiteral("\"%1\" is no hour from 0 to 23").arg(QLatin1String(key));
    }
    return faults.join(QStringLiteral(", "));
}

// Counts one result into a slot; lists shorter than the slot grow (a loaded day is repaired,
// this only guards against a list that was never loaded).
void countInto(CountDetect& record, int slot, bool ok)
{
    QList<int>& hours = ok ? record.OK : record.NG;
    while (hours.size() <= slot)
        hours.append(0);
    if (hours.at(slot) < std::numeric_limits<int>::max())
        ++hours[slot];
}

}  // namespace

ResStatisticsParam::ResStatisticsParam() : QObject(nullptr) {}

ResStatisticsParam::~ResStatisticsParam()
{
    shutdown();
}

ResStatisticsParam* ResStatisticsParam::getInstance()
{
    if (!instance)
        instance = new ResStatisticsParam;
    return instance;
}

void ResStatisticsParam::destroyInstance()
{
    delete instance;
    instance = nullptr;
}

void ResStatisticsParam::init(QString group, int steps)
{
    // A second start (a new main window in the same process) begins again from the files.
    shutdown();
    delete timer;
    timer = nullptr;
    todayCount = CountGroupList();
    shownCount = CountGroupList();
    cycleOK = true;

    curGroupName = group;
    detectCount = steps;
    laodConfig();

    databaseThread = new QThread;
    databaseThread->setObjectName(QStringLiteral("ResStatisticsDatabase"));
    database = new ResStatisticsDatabase(this, nullptr);

    QJsonObject json;
    database->loadCountFromJson(ResStatisticsDatabase::currentFileName(), json);

    database->moveToThread(databaseThread);
    connect(databaseThread, &QThread::finished, database.data(), &QObject::deleteLater);
    databaseThread->start(QThread::InheritPriority);

    StuCountFromJson(todayCount, json);
    if (todayCount.date.isEmpty())
        todayCount.date = getCurDBDate();
    checkCameraDetectCount(steps);
    calcCount(todayCount);

    shownGroupName = todayCount.groups.empty() ? QString() : todayCount.groups.front().groupName;

    connect(this, &ResStatisticsParam::sigUpdateRecord, database.data(), &ResStatisticsDatabase::slotUpdateRecord);
    connect(this, &ResStatisticsParam::sigSaveRecord, database.data(), &ResStatisticsDatabase::slotSaveRecord);
    connect(database.data(), SIGNAL(sigLoadFinish(QJsonObject, bool)), this, SLOT(slotRecvRecord(QJsonObject, bool)));

    // Settings that missed the last roll (their write failed) or were lost name another day
    // than the file while the clock is still in the file's day: that day is the running one.
    // Archiving it here would let the roll to its date replace the archive later.
    const QDate fileDay = QDate::fromString(todayCount.date, QStringLiteral("yyyy-MM-dd"));
    const qint64 intoFileDay = QDateTime(fileDay, QTime(morningsStart, 0)).secsTo(AppClock::now());
    if (fileDay.isValid() && todayCount.date != getCurDBDate() && intoFileDay >= 0 && intoFileDay < kDaySeconds) {
        qWarning() << "statistics settings name the day" << getCurDBDate() << "while the stored day"
                   << todayCount.date << "is still running; going on with it";
        rollTime = quint32(QDateTime(fileDay, QTime(morningsStart, 0)).toSecsSinceEpoch());
        saveConfig();
    }
    // The file holds another production day than the running one (the program stopped between
    // a day roll and its archive, or the shift settings file was lost): archive that day under
    // its own date instead of mixing it into the running day and its archive.
    if (fileDay.isValid() && todayCount.date != getCurDBDate()) {
        qWarning() << "statistics file holds the day" << todayCount.date << "while the running day is"
                   << getCurDBDate() << "; archiving it";
        emit sigSaveRecord(todayCount.date, json, true);
        startEmptyDay();
        shownGroupName = curGroupName;
    }
    // Settings that missed a roll name a day that has ended: the stored day is later, or its
    // archive exists. Results counted under that date would replace the real archive at the
    // next roll, so an empty day starts as the roll would have started it.
    const QDate settingsDay = QDate::fromString(getCurDBDate(), QStringLiteral("yyyy-MM-dd"));
    const bool settingsBehind = (fileDay.isValid() && settingsDay < fileDay)
                                || QFileInfo::exists(ResStatisticsDatabase::archiveFileName(getCurDBDate()));
    if (settingsBehind && ResStatisticsDatabase::countsNothing(StuCountToJson(todayCount))) {
        qWarning() << "statistics settings name the ended day" << getCurDBDate() << "; a new day starts";
        createNewTime();
        saveConfig();
        startEmptyDay();
        shownGroupName = curGroupName;
    }

    cameraCycleOK.clear();
    for (int i = 0; i < kAllRecordIndex; ++i)
        cameraCycleOK.append(true);

    timer = new QTimer(this);
    timer->setInterval(kCheckIntervalMs);
    connect(timer, &QTimer::timeout, this, &ResStatisticsParam::checkDate);
}

void ResStatisticsParam::setTimer(bool on)
{
    if (!timer)
        return;
    if (!on) {
        timer->stop();
        return;
    }
    const bool wasRunning = timer->isActive();
    timer->start();
    // After a stop of a day or more the stored day has ended: roll it now, or the first
    // minute's results would be counted into the last hour of a day long gone.
    if (!wasRunning && AppClock::nowMs() / 1000 - qint64(rollTime) >= kDaySeconds)
        checkDate();
}

void ResStatisticsParam::shutdown()
{
    if (!databaseThread)
        return;
    if (timer && timer->isActive()) {
        timer->stop();
        calcCount(todayCount);
        emit sigSaveRecord(getCurDBDate(), StuCountToJson(todayCount), false);
    }
    // Quit from the database thread's own queue, after every store already posted to it and
    // after what still waits for the disk, within the bound the program's other stores have.
    QThread* thread = databaseThread;
    ResStatisticsDatabase* storage = database.data();
    if (storage) {
        QMetaObject::invokeMethod(
            storage,
            [storage, thread] {
                storage->finishWaitingStores(StoreWriter::kStopMs);
                thread->quit();
            },
            Qt::QueuedConnection);
    } else {
        thread->quit();
    }
    thread->wait();
    delete thread;
    databaseThread = nullptr;
}

CountGroup ResStatisticsParam::newGroup(const QString& name) const
{
    CountGroup group;
    // The count query places hours by the group's morning hour: it must be the hour the
    // production day really started at, even when the shift hours changed since.
    group.morningStart = dayStartHour();
    group.nightStart = 20;
    initStuCountGroup(group, name);
    repairGroup(group, detectCount, numCamera);
    return group;
}

void ResStatisticsParam::startEmptyDay()
{
    todayCount.groups.clear();
    todayCount.groups.push_back(newGroup(curGroupName));
    todayCount.date = getCurDBDate();
    calcCount(todayCount);
}

void ResStatisticsParam::addRecord(int step, int hour, QList<bool> cameraOK, bool lastStep)
{
    Q_UNUSED(hour)
    if (step < 0 || step >= kAllRecordIndex) {
        qWarning() << "statistics: step" << step << "out of range, not counted";
        return;
    }
    auto found = std::find_if(todayCount.groups.begin(), todayCount.groups.end(),
                              [this](const CountGroup& g) { return g.groupName == curGroupName; });
    if (found == todayCount.groups.end()) {
        todayCount.groups.push_back(newGroup(curGroupName));
        found = todayCount.groups.end() - 1;
    }
    CountGroup& group = *found;
    if (step >= group.allCameras.steps.size())
        repairGroup(group, step + 1, 0);

    // A clock set back before the day's start counts into the first hour.
    const qint64 elapsed = AppClock::nowMs() / 1000 - qint64(rollTime);
    const int slot = elapsed < 0 ? 0 : int(qMin<qint64>(elapsed / 3600, kHourSlots - 1));

    const int n = qMin(cameraOK.size(), group.cameras.size());
    bool allOK = true;
    for (int k = 0; k < n; ++k) {
        const bool ok = cameraOK.at(k);
        countInto(group.cameras[k].steps[step], slot, ok);
        allOK = allOK && ok;
        if (k < cameraCycleOK.size())
            cameraCycleOK[k] = cameraCycleOK.at(k) && ok;
    }
    countInto(group.allCameras.steps[step], slot, allOK);
    cycleOK = cycleOK && allOK;

    if (lastStep) {
        const int cameras = qMin(cameraCycleOK.size(), group.cameras.size());
        for (int k = 0; k < cameras; ++k) {
            countInto(group.cameras[k].cycle, slot, cameraCycleOK.at(k));
            cameraCycleOK[k] = true;
        }
        countInto(group.allCameras.cycle, slot, cycleOK);
        cycleOK = true;
    }
    calcCount(group);
    emit sigScreenUpdate(false);
}

void ResStatisticsParam::storeDay()
{
    if (!database)
        return;
    calcCount(todayCount);
    emit sigSaveRecord(getCurDBDate(), StuCountToJson(todayCount), false);
}

void ResStatisticsParam::checkDate()
{
    const qint64 elapsed = AppClock::nowMs() / 1000 - qint64(rollTime);
    calcCount(todayCount);
    // A clock set back (negative elapsed time) keeps the day; it ends a day after its start.
    const bool ended = elapsed >= kDaySeconds;
    emit sigSaveRecord(getCurDBDate(), StuCountToJson(todayCount), ended);
    if (!ended)
        return;
    emit sigScreenUpdate(true);

    const QDateTime now = AppClock::now();
    rollTime = quint32(QDateTime(now.date(), QTime(morningsStart, 0)).toSecsSinceEpoch());
    saveConfig(false);
    startEmptyDay();
    qInfo() << "statistics: new production day" << todayCount.date;
}

void ResStatisticsParam::checkCameraDetectCount(int steps)
{
    detectCount = steps;
    const int wanted = qBound(0, steps, kAllRecordIndex);
    CountDetect fresh;
    initStuCountDetect(fresh);
    for (CountGroup& group : todayCount.groups) {
        if (group.groupName != curGroupName)
            continue;
        while (group.allCameras.steps.size() < wanted)
            group.allCameras.steps.append(fresh);
        for (CountCamera& camera : group.cameras) {
            while (camera.steps.size() < wanted)
                camera.steps.append(fresh);
        }
    }
}

void ResStatisticsParam::slotUpdateRecord(int row, QString path)
{
    if (row != 0) {
        emit sigUpdateRecord(path);
        return;
    }
    shownCount = todayCount;
    calcCount(shownCount);
    emit sigLoadFinish(true);
}

void ResStatisticsParam::slotRecvRecord(QJsonObject json, bool ok)
{
    if (ok)
        StuCountFromJson(shownCount, json);
    else
        initStuCount(shownCount);
    calcCount(shownCount);
    emit sigLoadFinish(ok);
}

const CountDetect* ResStatisticsParam::shownRecord(int camera, int step, const CountGroup& group) const
{
    if (group.groupName == QLatin1String("null"))
        return nullptr;
    const CountCamera* cameraRecord = nullptr;
    if (camera == kAllRecordIndex)
        cameraRecord = &group.allCameras;
    else if (camera >= 0 && camera < group.cameras.size())
        cameraRecord = &group.cameras.at(camera);
    if (!cameraRecord)
        return nullptr;
    if (step == kAllRecordIndex)
        return &cameraRecord->cycle;
    if (step >= 0 && step < cameraRecord->steps.size())
        return &cameraRecord->steps.at(step);
    return nullptr;
}

int ResStatisticsParam::getCount(ShiftType type, bool isOK, int camera, int step) const
{
    const CountGroup group = getGoupFromName(shownGroupName);
    const CountDetect* record = shownRecord(camera, step, group);
    if (!record)
        return 0;
    switch (type) {
    case ShiftMorning:
        return isOK ? record->morning.OK : record->morning.NG;
    case ShiftNight:
        return isOK ? record->night.OK : record->night.NG;
    case ShiftDay:
        return isOK ? record->day.OK : record->day.NG;
    }
    return 0;
}

QList<int> ResStatisticsParam::getRes(ShiftType type, bool isOK, int camera, int step) const
{
    const CountGroup group = getGoupFromName(shownGroupName);
    const CountDetect* record = shownRecord(camera, step, group);
    if (!record)
        return {};
    // As many hours as the shift has (none when its start equals its end), by clock hour.
    int hours = 0;
    switch (type) {
    case ShiftMorning:
        hours = (morningsEnd + 24 - morningsStart) % 24;
        break;
    case ShiftNight:
        hours = (nightEnd + 24 - nightStart) % 24;
        break;
    case ShiftDay:
        hours = 24;
        break;
    default:
        return {};
    }
    const QList<int> byHour = countsByClockHour(isOK ? record->OK : record->NG, dayStartOf(group));
    QList<int> counts;
    for (const int hour : getShiftTimeList(type).mid(0, hours))
        counts.append(byHour.at(hour));
    return counts;
}

QList<int> ResStatisticsParam::getShiftTimeList(ShiftType type) const
{
    int start = 0;
    int end = 0;
    switch (type) {
    case ShiftMorning:
        start = morningsStart;
        end = morningsEnd;
        break;
    case ShiftNight:
        start = nightStart;
        end = nightEnd;
        break;
    case ShiftDay:
        start = 0;
        end = 24;
        break;
    default:
        return {};
    }
    if (end <= start)
        end += 24;
    QList<int> labels;
    for (int h = start; h < end; ++h)
        labels.append(h % 24);
    return labels;
}

QList<QString> ResStatisticsParam::getGroups() const
{
    QList<QString> names;
    for (const CountGroup& group : shownCount.groups)
        names.append(group.groupName);
    return names;
}

CountGroup ResStatisticsParam::getGoupFromName(QString name) const
{
    for (const CountGroup& group : shownCount.groups) {
        if (group.groupName == name)
            return group;
    }
    return CountGroup();
}

int ResStatisticsParam::dayStartHour() const
{
    return QDateTime::fromSecsSinceEpoch(rollTime).time().hour();
}

QString ResStatisticsParam::getCurDBDate() const
{
    return QDateTime::fromSecsSinceEpoch(rollTime).toString(QStringLiteral("yyyy-MM-dd"));
}

void ResStatisticsParam::setCurGroup()
{
    for (CountGroup& group : todayCount.groups) {
        if (group.groupName != curGroupName)
            continue;
        // The day keeps the start it had; new shift hours move the boundary from the next day on.
        group.morningStart = dayStartHour();
        group.nightStart = nightStart;
        return;
    }
}

void ResStatisticsParam::createNewTime()
{
    rollTime = quint32(QDateTime(AppClock::now().date(), QTime(morningsStart, 0)).toSecsSinceEpoch());
}

void ResStatisticsParam::laodConfig()
{
    QFile file(configFileName());
    if (!file.open(QIODevice::ReadOnly)) {
        createNewTime();
        saveConfig();
        return;
    }
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(file.readAll(), &error);
    file.close();
    if (error.error != QJsonParseError::NoError || !document.isObject()) {
        const QString why = error.error != QJsonParseError::NoError ? error.errorString() : QStringLiteral("not an object");
        qWarning().noquote() << "laodConfig fail, Error parsing JSON:" << why;
        createNewTime();
        // The hand-set shift hours are in there: a copy is kept before the file is repaired.
        if (!keepBrokenCopy(configFileName(), why).isEmpty())
            saveConfig();
        return;
    }
    const QString problem = configProblem(document.object());
    applyConfig(document.object());
    // The hours in use are written back after the copy, so the file is copied only once.
    if (!problem.isEmpty() && !keepBrokenCopy(configFileName(), problem).isEmpty())
        saveConfig();
    if (rollTime == 0) {
        // Without a start the first check would end a "day" of 1970; the day starts today.
        createNewTime();
        saveConfig();
    }
}

void ResStatisticsParam::applyConfig(const QJsonObject& json)
{
    if (json.contains(QStringLiteral("time"))) {
        bool ok = false;
        const QString text = json.value(QStringLiteral("time")).toString();
        const uint value = text.toUInt(&ok);
        rollTime = ok ? value : 0;
    }
    morningsStart = normalisedHour(json.value(QStringLiteral("morningsStart")).toInt(0));
    morningsEnd = normalisedHour(json.value(QStringLiteral("morningsEnd")).toInt(0));
    nightStart = normalisedHour(json.value(QStringLiteral("nightStart")).toInt(0));
    nightEnd = normalisedHour(json.value(QStringLiteral("nightEnd")).toInt(0));
}

void ResStatisticsParam::laodConfigFromJson(const QJsonObject& json)
{
    applyConfig(json);
    // Hours confirmed on the screen must survive a restart before the next day roll. They are in
    // effect at once; the file follows on the database thread, in order with the day's stores
    // (and, on a full disk, once it takes them), so the screen never waits behind day loads.
    saveConfig(false);
}

int ResStatisticsParam::checkParam(QJsonObject& json) const
{
    json.insert(QStringLiteral("time"), QString::number(rollTime));
    const auto differs = [&json](const char* key, int member) {
        return json.value(QLatin1String(key)).toInt(0) != member;
    };
    return differs("morningsStart", morningsStart) || differs("morningsEnd", morningsEnd)
                   || differs("nightStart", nightStart) || differs("nightEnd", nightEnd)
               ? 1
               : 0;
}

void ResStatisticsParam::saveConfig(bool waitForDisk) const
{
    QJsonObject json;
    json.insert(QStringLiteral("time"), QString::number(rollTime));
    json.insert(QStringLiteral("morningsStart"), morningsStart);
    json.insert(QStringLiteral("morningsEnd"), morningsEnd);
    json.insert(QStringLiteral("nightStart"), nightStart);
    json.insert(QStringLiteral("nightEnd"), nightEnd);
    const QByteArray content = QJsonDocument(json).toJson();
    ResStatisticsDatabase* storage = database.data();
    if (!storage || !databaseThread || !databaseThread->isRunning()) {
        writeFileAtomically(configFileName(), content);
        return;
    }
    // One thread writes the file once it runs, so an older setting never lands after a newer one.
    QMetaObject::invokeMethod(storage, [storage, content] { storage->storeConfig(content); },
                              waitForDisk ? Qt::BlockingQueuedConnection : Qt::QueuedConnection);
}

void ResStatisticsParam::readTime()
{
    QFile file(QStringLiteral("restime.txt"));
    if (file.open(QIODevice::ReadOnly)) {
        rollTime = QString::fromLatin1(file.readAll()).trimmed().toUInt();
        return;
    }
    createNewTime();
    writeFileAtomically(QStringLiteral("restime.txt"), QByteArray::number(rollTime));
}

int ResStatisticsParam::shiftHour(int which) const
{
    switch (which) {
    case 0:
        return morningsStart;
    case 1:
        return morningsEnd;
    case 2:
        return nightStart;
    case 3:
        return nightEnd;
    }
    return 0;
}
