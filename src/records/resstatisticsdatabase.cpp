#include "records/resstatisticsdatabase.h"

#include "base/appclock.h"
#include "base/lanstr.h"
#include "base/platform.h"
#include "records/resstatisticsparam.h"
#include "records/statisticsfiles.h"
#include "vision/wizardpara.h"
#include "widgets/publictools_widget.h"

#include <QDate>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QGuiApplication>
#include <QJsonDocument>
#include <QJsonParseError>
#include <QRegularExpression>
#include <QSqlError>
#include <QThread>
#include <QTimer>
#include <QVariant>
#include <QtDebug>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>

namespace {

const QString kStoreConnection = QStringLiteral("dbResStatistics");
const QString kLoadConnection = QStringLiteral("dbFindResStatistics");
const QString kArchiveConnection = QStringLiteral("dbResStatisticsArchive");
const QString kTemplateConnection = QStringLiteral("dbResStatisticsTemplate");
const QString kDateConnection = QStringLiteral("dbResStatisticsDate");
// At the stop what waits is tried again sooner, as the store writer does.
constexpr int kStopRetryMs = 100;
const QString kUpsert = QStringLiteral(
    "INSERT INTO resstatistics (name, value1, value2) VALUES (:name, :value1, :value2) ON CONFLICT(name) DO "
    "UPDATE SET value1 = excluded.value1, value2 = excluded.value2");

QString dayJsonText(const QJsonObject& json)
{
    return QString::fromUtf8(QJsonDocument(json).toJson(QJsonDocument::Indented));
}

// The stored day JSON text of an open file; empty when there is none.
QString selectDayJson(QSqlQuery& query)
{
    if (!query.exec(ResStatisticsDatabase::dayJsonSelect()) || !query.next())
        return QString();
    return query.value(0).toString();
}

bool isWholeNumber(const QJsonValue& value)
{
    const double number = value.toDouble(0.5);
    return value.isDouble() && number == std::floor(number) && number >= std::numeric_limits<int>::min()
           && number <= std::numeric_limits<int>::max();
}

enum class Kind { Text, WholeNumber, List };

// The first key of `keys` present in object with a value of another kind, as "<where><key> is
// not ..."; empty when there is none. Missing keys read as their defaults and are no fault.
QString kindFault(const QJsonObject& object, std::initializer_list<std::pair<const char*, Kind>> keys,
                  const QString& where)
{
    for (const auto& [key, kind] : keys) {
        const QJsonValue value = object.value(QLatin1String(key));
        if (value.isUndefined())
            continue;
        if (kind == Kind::Text && !value.isString())
            return where + key + QStringLiteral(" is not a text");
        if (kind == Kind::WholeNumber && !isWholeNumber(value))
            return where + key + QStringLiteral(" is not a whole number");
        if (kind == Kind::List && !value.isArray())
            return where + key + QStringLiteral(" is not a list");
    }
    return QString();
}

// The objects of a list; the position of the first element that is none goes to fault.
QList<QJsonObject> objectsOf(const QJsonArray& list, const QString& where, QString* fault)
{
    QList<QJsonObject> objects;
    for (int i = 0; i < list.size(); ++i) {
        if (!list.at(i).isObject()) {
            *fault = QStringLiteral("%1[%2] is not an object").arg(where).arg(i);
            return {};
        }
        objects.append(list.at(i).toObject());
    }
    return objects;
}

// What in a stored day JSON the reader would not take as it stands: text that is not a JSON
// object, or a value of another kind than the day's layout holds (read as absent or 0, so the
// running day's next store would lose it). Empty when the day reads whole.
QString dayJsonProblem(const QJsonDocument& document, const QJsonParseError& error)
{
    if (error.error != QJsonParseError::NoError)
        return QStringLiteral("not JSON: ") + error.errorString();
    if (!document.isObject())
        return QStringLiteral("not a JSON object");
    const QJsonObject day = document.object();
    QString fault = kindFault(day, {{"date", Kind::Text}, {"groups", Kind::List}}, QString());
    const QList<QJsonObject> groups = objectsOf(day.value(QStringLiteral("groups")).toArray(), "groups", &fault);
    for (int g = 0; fault.isEmpty() && g < groups.size(); ++g) {
        const QString group = QStringLiteral("groups[%1].").arg(g);
        fault = kindFault(groups.at(g),
                          {{"groupName", Kind::Text}, {"morningStart", Kind::WholeNumber},
                           {"nightStart", Kind::WholeNumber}, {"cameraCount", Kind::WholeNumber},
                           {"detectCount", Kind::WholeNumber}, {"datas", Kind::List}},
                          group);
        const QList<QJsonObject> cameras =
            objectsOf(groups.at(g).value(QStringLiteral("datas")).toArray(), group + "datas", &fault);
        for (int c = 0; fault.isEmpty() && c < cameras.size(); ++c) {
            const QString camera = group + QStringLiteral("datas[%1].").arg(c);
            fault = kindFault(cameras.at(c), {{"cameraID", Kind::WholeNumber}, {"data", Kind::List}}, camera);
            const QList<QJsonObject> steps =
                objectsOf(cameras.at(c).value(QStringLiteral("data")).toArray(), camera + "data", &fault);
            for (int s = 0; fault.isEmpty() && s < steps.size(); ++s) {
                const QString step = camera + QStringLiteral("data[%1].").arg(s);
                fault = kindFault(steps.at(s),
                                  {{"detectID", Kind::WholeNumber}, {"OK", Kind::List}, {"NG", Kind::List}}, step);
                for (const char* key : {"OK", "NG"}) {
                    const QJsonArray hours = steps.at(s).value(QLatin1String(key)).toArray();
                    for (int h = 0; fault.isEmpty() && h < hours.size(); ++h) {
                        if (!isWholeNumber(hours.at(h)))
                            fault = QStringLiteral("%1%2[%3] is not a whole number").arg(step, key).arg(h);
                    }
                }
            }
        }
    }
    return fault;
}

bool hasDisplay()
{
    const QString platform = QGuiApplication::platformName();
    return qobject_cast<QGuiApplication*>(QCoreApplication::instance()) && platform != QLatin1String("offscreen")
           && platform != QLatin1String("minimal") && QThread::currentThread() == qApp->thread();
}

}  // namespace

bool ResStatisticsDatabase::countsNothing(const QJsonObject& day)
{
    for (const QJsonValue& group : day.value(QStringLiteral("groups")).toArray()) {
        for (const QJsonValue& camera : group.toObject().value(QStringLiteral("datas")).toArray()) {
            for (const QJsonValue& step : camera.toObject().value(QStringLiteral("data")).toArray()) {
                for (const char* key : {"OK", "NG"}) {
                    for (const QJsonValue& hour : step.toObject().value(QLatin1String(key)).toArray()) {
                        if (hour.toDouble() != 0)
                            return false;
                    }
                }
            }
        }
    }
    return true;
}

ResStatisticsDatabase::ResStatisticsDatabase(ResStatisticsParam* param, QObject* parent)
    : QObject(parent),
      m_param(param),
      m_storeLog(QStringLiteral("the statistics day in ") + currentFileName()),
      m_configLog(QStringLiteral("the shift settings in ") + ResStatisticsParam::configFileName())
{
    m_retryTimer = new QTimer(this);
    m_retryTimer->setInterval(kRetryMs);
    connect(m_retryTimer, &QTimer::timeout, this, &ResStatisticsDatabase::retryWaiting);
    ensureTemplate();
    if (!QFileInfo::exists(currentFileName()) && !StatisticsFiles::copyFile(templateFileName(), currentFileName()))
        qWarning() << "cannot create" << currentFileName() << "from" << templateFileName();

    QSqlError error;
    switch (checkCurrentFile(&error)) {
    case FileUsable:
        return;
    case FileNotOpen:
        qCritical() << "statistics database" << currentFileName() << "does not open:" << error.text();
        reportBrokenDatabase();
        return;
    case FileNotStatistics:
        // SQLite opens any file; one that holds something else would fail every store and
        // every start. It is kept for a look by hand and the day starts from a fresh file.
        startAfresh(error.text());
        return;
    case FileBusy:
        // A full disk, a lock or an I/O error says nothing about the file: it stays, and the
        // stores of every minute try again.
        m_storeLog.update(false, error.text());
        return;
    }
}

ResStatisticsDatabase::FileState ResStatisticsDatabase::checkCurrentFile(QSqlError* error)
{
    SqlConnection connection(kStoreConnection, currentFileName());
    if (!connection.isOpen()) {
        *error = QSqlError(connection.errorText(), QString(), QSqlError::ConnectionError);
        return FileNotOpen;
    }
    QSqlDatabase db = connection.db();
    const bool usable = [&] {
        if (!checkIntegrity(db, error) || !checkOwnTable(db, QStringLiteral("resstatistics"), error)
            || !StatisticsFiles::ensureTable(db, error))
            return false;
        // The table must take the day's row the way every store writes it (names unique); the
        // trial leaves no trace.
        if (!db.transaction()) {
            *error = db.lastError();
            return false;
        }
        QSqlQuery query(db);
        bool stored = query.prepare(kUpsert);
        query.bindValue(QStringLiteral(":name"), QStringLiteral("statisticsjson"));
        query.bindValue(QStringLiteral(":value1"), QString());
        query.bindValue(QStringLiteral(":value2"), QString());
        stored = stored && query.exec();
        if (!stored)
            *error = query.lastError();
        query.clear();
        db.rollback();
        return stored;
    }();
    if (usable)
        return FileUsable;
    return sqlFailureKind(*error) == SqlFailure::BrokenFile ? FileNotStatistics : FileBusy;
}

bool ResStatisticsDatabase::startAfresh(const QString& error)
{
    if (setBrokenFileAside(currentFileName(), QStringLiteral("statistics database: ") + error).isEmpty())
        return false;
    QSqlError freshError;
    if (!StatisticsFiles::copyFile(templateFileName(), currentFileName()) || checkCurrentFile(&freshError) != FileUsable) {
        // The template is broken too: an empty file gets the table on its own.
        QFile::remove(currentFileName());
        if (checkCurrentFile(&freshError) != FileUsable)
            return false;
    }
    qInfo() << "statistics database" << currentFileName() << "started afresh";
    return true;
}

bool ResStatisticsDatabase::ensureTemplate()
{
    if (QFileInfo::exists(templateFileName()))
        return true;
    const QString part = templateFileName() + QStringLiteral(".part");
    QFile::remove(part);
    bool made = false;
    {
        SqlConnection connection(kTemplateConnection, part);
        QSqlError error;
        made = connection.isOpen() && StatisticsFiles::ensureTable(connection.db(), &error);
        if (!made)
            qWarning() << "cannot create the statistics template:" << connection.errorText() << error.text();
    }
    if (made && StatisticsFiles::replaceFile(part, templateFileName())) {
        qInfo() << "created the statistics template" << templateFileName();
        return true;
    }
    QFile::remove(part);
    return false;
}

void ResStatisticsDatabase::reportBrokenDatabase()
{
    QString text = lanText(544);
    if (text.isEmpty())
        text = QStringLiteral("Res statistics file error, please \r\n restore parameter group \r\n or contact supplier");
    qCritical().noquote() << text;
    // The operator confirms before the panel restarts; a run without a screen must not wait.
    if (hasDisplay()) {
        WarnBox box(nullptr);
        box.setText(text);
        box.exec();
    }
    CommandRunner::instance()->run(QStringLiteral("reboot"), {});
}

void ResStatisticsDatabase::storeConfig(const QByteArray& content)
{
    m_pendingConfig = content;
    writePendingConfig();
}

void ResStatisticsDatabase::writePendingConfig()
{
    if (m_pendingConfig.isEmpty())
        return;
    QString reason;
    const bool stored = writeFileAtomically(ResStatisticsParam::configFileName(), m_pendingConfig, &reason);
    m_configLog.update(stored, reason);
    if (stored)
        m_pendingConfig.clear();
    else
        m_retryTimer->start();
}

void ResStatisticsDatabase::slotSaveRecord(QString curDate, QJsonObject json, bool isMove)
{
    retryWaiting();
    storeDay(curDate, json);
    if (!isMove)
        return;
    // The ended day is the archive's from here on.
    if (m_heldDay.date == curDate)
        m_heldDay = HeldDay();
    m_pendingArchives.remove(curDate);
    QString reason;
    if (archiveDay(curDate, json, &reason)) {
        // Today's file may still keep another ended day whose archive waits.
        if (m_pendingArchives.isEmpty() && !StatisticsFiles::copyFile(templateFileName(), currentFileName()))
            qWarning() << "cannot renew" << currentFileName() << "from" << templateFileName();
        return;
    }
    if (!QDate::fromString(curDate, QStringLiteral("yyyy-MM-dd")).isValid())
        return;
    qCritical().noquote() << "statistics day" << curDate << "could not be archived (" + reason + ");"
                          << currentFileName() << "keeps it, and it is archived once the disk takes it";
    m_pendingArchives.insert(curDate, json);
    m_retryTimer->start();
}

void ResStatisticsDatabase::storeDay(const QString& date, const QJsonObject& json)
{
    for (auto it = m_pendingArchives.cbegin(); it != m_pendingArchives.cend(); ++it) {
        if (it.key() == date)
            continue;
        // Today's file keeps an ended day whose archive waits, maybe its only copy on the disk.
        m_heldDay = {date, json};
        m_retryTimer->start();
        return;
    }
    // A failing store of the running day is tried again by the model's next minute.
    m_heldDay = HeldDay();
    storeCurrentDay(json);
}

void ResStatisticsDatabase::retryWaiting()
{
    writePendingConfig();
    if (!m_pendingArchives.isEmpty()) {
        archivePendingDays();
        // Today's file kept an ended day that has its archive now: it starts afresh, as at a roll.
        if (m_pendingArchives.isEmpty() && !StatisticsFiles::copyFile(templateFileName(), currentFileName()))
            qWarning() << "cannot renew" << currentFileName() << "from" << templateFileName();
    }
    if (!m_heldDay.date.isEmpty() && m_pendingArchives.isEmpty() && storeCurrentDay(m_heldDay.json))
        m_heldDay = HeldDay();
    if (!hasWaiting())
        m_retryTimer->stop();
}

bool ResStatisticsDatabase::hasWaiting() const
{
    return !m_pendingConfig.isEmpty() || !m_pendingArchives.isEmpty() || !m_heldDay.date.isEmpty();
}

void ResStatisticsDatabase::finishWaitingStores(int timeoutMs)
{
    const QDeadlineTimer deadline(timeoutMs);
    retryWaiting();
    // Nothing tells when the disk has room again: a bounded number of tries, a short pause apart.
    while (hasWaiting() && !deadline.hasExpired()) {
        QThread::msleep(ulong(qBound<qint64>(1, deadline.remainingTime(), kStopRetryMs)));
        retryWaiting();
    }
    m_retryTimer->stop();
    reportLostAtStop();
}

void ResStatisticsDatabase::reportLostAtStop()
{
    if (!m_pendingConfig.isEmpty())
        qCritical().noquote() << "the shift settings could not be stored in" << ResStatisticsParam::configFileName()
                              << "before the stop and are lost:" << QString::fromUtf8(m_pendingConfig).simplified();
    const QString kept = m_pendingArchives.isEmpty() ? QString() : dateInCurrentFile();
    for (auto it = m_pendingArchives.cbegin(); it != m_pendingArchives.cend(); ++it) {
        if (it.key() == kept)
            qCritical().noquote() << "statistics day" << it.key() << "could not be archived before the stop;"
                                  << currentFileName() << "keeps it as last stored and the next start archives it";
        else
            qCritical().noquote() << "statistics day" << it.key() << "could not be stored before the stop and is lost";
    }
    if (!m_heldDay.date.isEmpty())
        qCritical().noquote() << "statistics day" << m_heldDay.date
                              << "could not be stored before the stop and is lost";
}

QString ResStatisticsDatabase::dateInCurrentFile()
{
    SqlConnection connection(kDateConnection, currentFileName(), SqlConnection::ReadOnly);
    if (!connection.isOpen())
        return QString();
    QSqlQuery query(connection.db());
    const QString text = selectDayJson(query);
    query.clear();
    return QJsonDocument::fromJson(text.toUtf8()).object().value(QStringLiteral("date")).toString();
}

bool ResStatisticsDatabase::storeCurrentDay(const QJsonObject& json)
{
    if (!QFileInfo::exists(currentFileName()))
        StatisticsFiles::copyFile(templateFileName(), currentFileName());
    QSqlError error;
    bool stored = storeInto(currentFileName(), json, &error);
    if (!stored && sqlFailureKind(error) == SqlFailure::BrokenFile && startAfresh(error.text()))
        stored = storeInto(currentFileName(), json, &error);
    m_storeLog.update(stored, error.text());
    return stored;
}

bool ResStatisticsDatabase::storeInto(const QString& path, const QJsonObject& json, QSqlError* error)
{
    SqlConnection connection(kStoreConnection, path);
    if (!connection.isOpen()) {
        *error = QSqlError(connection.errorText(), QString(), QSqlError::ConnectionError);
        return false;
    }
    QSqlQuery query(connection.db());
    return saveCountFromJson(json, query, error);
}

void ResStatisticsDatabase::archivePendingDays()
{
    for (auto it = m_pendingArchives.begin(); it != m_pendingArchives.end();) {
        // Tried every second while the disk is full: the failure was said when the day ended.
        QString reason;
        if (!archiveDay(it.key(), it.value(), &reason)) {
            ++it;
            continue;
        }
        it = m_pendingArchives.erase(it);
    }
}

bool ResStatisticsDatabase::archiveDay(const QString& curDate, const QJsonObject& json, QString* reason)
{
    if (!QDate::fromString(curDate, QStringLiteral("yyyy-MM-dd")).isValid()) {
        qWarning() << "statistics day has no valid date:" << curDate;
        *reason = QStringLiteral("no valid date");
        return false;
    }
    if (!QDir().mkpath(archiveDirName())) {
        *reason = QStringLiteral("cannot create ") + archiveDirName();
        return false;
    }
    const QString dir = QDir(archiveDirName()).absolutePath();
    const QString target = dir + QLatin1Char('/') + curDate + QStringLiteral(".db");
    if (QFileInfo::exists(target) && countsNothing(json)) {
        // A day begun under a date that already ended (settings older than the day file) must
        // not wipe out the real day of that date.
        qInfo() << "statistics day" << curDate << "counted nothing; its archive" << target << "stays";
        return true;
    }
    const QString part = dir + QLatin1Char('/') + curDate + QStringLiteral(".db.part");
    const QString expected = dayJsonText(json);

    // The archive starts from today's file (it may hold more than the day JSON); when that file
    // is broken, from the template, so the ended day is archived all the same.
    const QStringList sources = {currentFileName(), templateFileName()};
    for (const QString& source : sources) {
        QFile::remove(part);
        QFile in(source);
        if (!in.open(QIODevice::ReadOnly) || !writeFileAtomically(part, in.readAll(), reason))
            continue;
        bool written = false;
        {
            SqlConnection connection(kArchiveConnection, part);
            if (connection.isOpen() && StatisticsFiles::ensureTable(connection.db())) {
                QSqlQuery query(connection.db());
                written = saveCountFromJson(json, query) && selectDayJson(query) == expected;
            }
        }
        if (!written) {
            *reason = QStringLiteral("the day does not go into its copy");
            continue;
        }
        if (std::rename(QFile::encodeName(part).constData(), QFile::encodeName(target).constData()) == 0) {
            qInfo() << "statistics day" << curDate << "archived to" << target;
            return true;
        }
        *reason = QString::fromLocal8Bit(std::strerror(errno));
    }
    QFile::remove(part);
    return false;
}

void ResStatisticsDatabase::slotUpdateRecord(QString path)
{
    loadCountFromJson(path);
}

bool ResStatisticsDatabase::isCurrentFile(const QString& path)
{
    return removeSuffix(path) == QLatin1String("ResStatistics");
}

bool ResStatisticsDatabase::loadDayFile(const QString& path, QJsonObject* json)
{
    // Opening a missing file would create an empty one; a missing day is "not there". An
    // archived day is only read: nothing but the day roll writes it.
    if (!QFileInfo(path).isFile())
        return false;
    QString problem;
    {
        SqlConnection connection(kLoadConnection, path,
                                 isCurrentFile(path) ? SqlConnection::ReadWrite : SqlConnection::ReadOnly);
        if (!connection.isOpen())
            return false;
        QSqlQuery query(connection.db());
        *json = readDayJson(query, path, &problem);
        query.clear();
    }
    // The running day's next store writes over today's file: a stored day that does not read
    // whole is kept first. Without room for a copy the file is set aside under that name.
    if (!problem.isEmpty() && isCurrentFile(path)) {
        const QString why = QStringLiteral("its statistics day does not read: ") + problem;
        if (keepBrokenCopy(currentFileName(), why).isEmpty())
            startAfresh(why);
    }
    return true;
}

void ResStatisticsDatabase::loadCountFromJson(QString path, QJsonObject& json)
{
    QJsonObject loaded;
    if (loadDayFile(path, &loaded))
        json = loaded;
}

void ResStatisticsDatabase::loadCountFromJson(QString path)
{
    QJsonObject json;
    const bool ok = loadDayFile(path, &json);
    emit sigLoadFinish(json, ok);
}

QJsonObject ResStatisticsDatabase::loadCountFromJson(QSqlQuery query, QString path)
{
    return readDayJson(query, path, nullptr);
}

QJsonObject ResStatisticsDatabase::readDayJson(QSqlQuery& query, const QString& path, QString* problem)
{
    const QString text = selectDayJson(query);
    if (text.isEmpty()) {
        CountGroup group = olderLayoutGroup(query);

        CountGroupList list;
        if (isCurrentFile(path)) {
            // Only the start-up load (GUI thread) meets today's file; archives keep their date.
            list.date = m_param ? m_param->getCurDBDate() : AppClock::now().date().toString(QStringLiteral("yyyy-MM-dd"));
            if (m_param) {
                group.groupName = m_param->getCurGroupName();
                // Recording goes on in this group: it starts when the day did, like any new group.
                group.morningStart = m_param->dayStartHour();
            }
        } else {
            list.date = removeSuffix(path);
        }
        list.groups.push_back(group);
        const QJsonObject converted = ResStatisticsParam::StuCountToJson(list);
        // Today's file takes the converted day at once; an archive keeps its bytes and is
        // converted again whenever it is read.
        if (isCurrentFile(path) && !saveCountFromJson(converted, query))
            qInfo().noquote() << "resstatistics laod statisticsjson fail";
        return converted;
    }
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(text.toLocal8Bit(), &error);
    if (problem)
        *problem = dayJsonProblem(document, error);
    return document.isObject() ? document.object() : QJsonObject();
}

CountGroup ResStatisticsDatabase::olderLayoutGroup(QSqlQuery& query)
{
    CountGroup group;
    group.morningStart = 8;
    group.nightStart = 20;
    ResStatisticsParam::initStuCountGroup(group, QStringLiteral("default"));
    loadCountFromJson(group, query);
    return group;
}

bool ResStatisticsDatabase::saveCountFromJson(QJsonObject json, QSqlQuery query, QSqlError* error)
{
    // A file without the table (an old or hand-made template) gets it instead of failing forever.
    query.exec(StatisticsFiles::createTableSql());
    // A statement that does not prepare (not a database, another table) says why there.
    if (query.prepare(kUpsert)) {
        query.bindValue(QStringLiteral(":name"), QStringLiteral("statisticsjson"));
        query.bindValue(QStringLiteral(":value1"), dayJsonText(json));
        query.bindValue(QStringLiteral(":value2"), QStringLiteral(""));
        if (query.exec())
            return true;
    }
    // The callers log a failing store once per state, not every minute.
    qDebug().noquote() << "Upsert failed:" << query.lastError().text();
    if (error)
        *error = query.lastError();
    return false;
}

bool ResStatisticsDatabase::loadCountFromJson(CountGroup& group, QSqlQuery& query)
{
    for (int k = 0; k < numCamera && k < group.cameras.size(); ++k)
        loadCountCamera(group.cameras[k], k, query);
    loadCountCamera(group.allCameras, kAllRecordIndex, query);
    group.groupName = QStringLiteral("default");
    return true;
}

void ResStatisticsDatabase::loadCountCamera(CountCamera& camera, int cameraIndex, QSqlQuery query)
{
    const QString sql = QStringLiteral("select value1 ,value2 from resstatistics where name='C%1_D%2'");
    for (int d = 0; d < gDNum && d < camera.steps.size(); ++d)
        loadCountDetect(camera.steps[d], sql.arg(cameraIndex).arg(d), query);
    loadCountDetect(camera.cycle, sql.arg(cameraIndex).arg(kAllRecordIndex), query);
}

namespace {

// Reads up to 24 whitespace-separated integers into the leading hours.
void readSlots(const QString& text, QList<int>& hours)
{
    static const QRegularExpression kSpace(QStringLiteral("\\s+"));
    const QStringList parts = text.split(kSpace, Qt::SkipEmptyParts);
    for (int i = 0; i < parts.size() && i < kHourSlots; ++i) {
        bool ok = false;
        const int value = parts.at(i).toInt(&ok);
        if (!ok)
            return;
        while (hours.size() <= i)
            hours.append(0);
        hours[i] = value;
    }
}

}  // namespace

bool ResStatisticsDatabase::loadCountDetect(CountDetect& record, QString sql, QSqlQuery query)
{
    if (!query.exec(sql) || !query.next())
        return false;
    readSlots(query.value(0).toString(), record.OK);
    readSlots(query.value(1).toString(), record.NG);
    query.finish();
    return true;
}

QString ResStatisticsDatabase::removeSuffix(const QString& path)
{
    const int dot = path.lastIndexOf(QLatin1Char('.'));
    if (dot < 0)
        return path;
    return path.left(dot).split(QLatin1Char('/')).last();
}
