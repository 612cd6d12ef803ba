#include "records/resstatisticsdatabase.h"

#include "base/appclock.h"
#include "base/lanstr.h"
#include "base/platform.h"
#include "records/resstatisticsparam.h"
#include "records/statisticsfiles.h"
#include "vision/wizardpara.h"
#include "widgets/publictools_widget.h"

#include <QDate>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QGuiApplication>
#include <QJsonDocument>
#include <QRegularExpression>
#include <QSqlError>
#include <QThread>
#include <QVariant>
#include <QtDebug>

namespace {

const QString kStoreConnection = QStringLiteral("dbResStatistics");
const QString kLoadConnection = QStringLiteral("dbFindResStatistics");
const QString kArchiveConnection = QStringLiteral("dbResStatisticsArchive");
const QString kTemplateConnection = QStringLiteral("dbResStatisticsTemplate");
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
    : QObject(parent), m_param(param)
{
    ensureTemplate();
    if (!QFileInfo::exists(currentFileName()) && !StatisticsFiles::copyFile(templateFileName(), currentFileName()))
        qWarning() << "cannot create" << currentFileName() << "from" << templateFileName();

    QString error;
    switch (checkCurrentFile(&error)) {
    case FileUsable:
        return;
    case FileNotOpen:
        qCritical() << "statistics database" << currentFileName() << "does not open:" << error;
        reportBrokenDatabase();
        return;
    case FileNotStatistics:
        // SQLite opens any file; one that holds something else would fail every store and
        // every start. It is kept for a look by hand and the day starts from a fresh file.
        setBrokenFileAside(error);
        return;
    }
}

ResStatisticsDatabase::FileState ResStatisticsDatabase::checkCurrentFile(QString* error)
{
    SqlConnection connection(kStoreConnection, currentFileName());
    if (!connection.isOpen()) {
        *error = connection.errorText();
        return FileNotOpen;
    }
    if (!StatisticsFiles::ensureTable(connection.db(), error))
        return FileNotStatistics;
    // The table must take the day's row the way every store writes it (names unique); the
    // trial leaves no trace.
    QSqlDatabase db = connection.db();
    if (!db.transaction()) {
        *error = db.lastError().text();
        return FileNotStatistics;
    }
    bool stored = false;
    {
        QSqlQuery query(db);
        stored = query.prepare(kUpsert);
        query.bindValue(QStringLiteral(":name"), QStringLiteral("statisticsjson"));
        query.bindValue(QStringLiteral(":value1"), QString());
        query.bindValue(QStringLiteral(":value2"), QString());
        stored = stored && query.exec();
        if (!stored)
            *error = query.lastError().text();
    }
    db.rollback();
    return stored ? FileUsable : FileNotStatistics;
}

void ResStatisticsDatabase::setBrokenFileAside(const QString& error)
{
    const QString base = currentFileName() + QStringLiteral(".broken-")
                         + AppClock::now().toString(QStringLiteral("yyyyMMddhhmmss"));
    QString kept = base;
    for (int n = 1; QFileInfo::exists(kept); ++n)
        kept = base + QLatin1Char('-') + QString::number(n);
    if (!QFile::rename(currentFileName(), kept)) {
        qCritical() << "statistics database" << currentFileName() << "is not usable (" << error
                    << ") and cannot be set aside";
        return;
    }
    QString freshError;
    if (!StatisticsFiles::copyFile(templateFileName(), currentFileName()) || checkCurrentFile(&freshError) != FileUsable) {
        // The template is broken too: an empty file gets the table on its own.
        QFile::remove(currentFileName());
        checkCurrentFile(&freshError);
    }
    qCritical().noquote() << "statistics database" << currentFileName() << "was not usable (" + error + "); kept as"
                          << kept << "and started afresh";
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
        QString error;
        made = connection.isOpen() && StatisticsFiles::ensureTable(connection.db(), &error);
        if (!made)
            qWarning() << "cannot create the statistics template:" << connection.errorText() << error;
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

void ResStatisticsDatabase::slotSaveRecord(QString curDate, QJsonObject json, bool isMove)
{
    archivePendingDays();
    if (!QFileInfo::exists(currentFileName()))
        StatisticsFiles::copyFile(templateFileName(), currentFileName());
    {
        SqlConnection connection(kStoreConnection, currentFileName());
        if (!connection.isOpen()) {
            qWarning() << "cannot open" << currentFileName() << connection.errorText();
        } else {
            QSqlQuery query(connection.db());
            saveCountFromJson(json, query);
        }
    }
    if (!isMove)
        return;
    m_pendingArchives.remove(curDate);
    if (!archiveDay(curDate, json)) {
        // The current file is left as it is; the day is archived by a later store.
        qCritical() << "statistics day" << curDate << "could not be archived; trying again with every store";
        if (QDate::fromString(curDate, QStringLiteral("yyyy-MM-dd")).isValid())
            m_pendingArchives.insert(curDate, json);
        return;
    }
    if (!StatisticsFiles::copyFile(templateFileName(), currentFileName()))
        qWarning() << "cannot renew" << currentFileName() << "from" << templateFileName();
}

void ResStatisticsDatabase::archivePendingDays()
{
    for (auto it = m_pendingArchives.begin(); it != m_pendingArchives.end();) {
        if (!archiveDay(it.key(), it.value())) {
            ++it;
            continue;
        }
        it = m_pendingArchives.erase(it);
    }
}

bool ResStatisticsDatabase::archiveDay(const QString& curDate, const QJsonObject& json)
{
    if (!QDate::fromString(curDate, QStringLiteral("yyyy-MM-dd")).isValid()) {
        qWarning() << "statistics day has no valid date:" << curDate;
        return false;
    }
    if (!QDir().mkpath(archiveDirName())) {
        qWarning() << "cannot create" << archiveDirName();
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
        if (!QFileInfo::exists(source) || !StatisticsFiles::copyFile(source, part))
            continue;
        bool written = false;
        {
            SqlConnection connection(kArchiveConnection, part);
            if (connection.isOpen() && StatisticsFiles::ensureTable(connection.db())) {
                QSqlQuery query(connection.db());
                written = saveCountFromJson(json, query) && selectDayJson(query) == expected;
            }
        }
        if (written && StatisticsFiles::replaceFile(part, target)) {
            qInfo() << "statistics day" << curDate << "archived to" << target;
            return true;
        }
    }
    QFile::remove(part);
    return false;
}

void ResStatisticsDatabase::slotUpdateRecord(QString path)
{
    loadCountFromJson(path);
}

void ResStatisticsDatabase::loadCountFromJson(QString path, QJsonObject& json)
{
    // Opening a missing file would create an empty one; a missing day is "not there".
    if (!QFileInfo(path).isFile())
        return;
    SqlConnection connection(kLoadConnection, path);
    if (!connection.isOpen())
        return;
    QSqlQuery query(connection.db());
    json = loadCountFromJson(query, path);
    query.clear();
}

void ResStatisticsDatabase::loadCountFromJson(QString path)
{
    QJsonObject json;
    bool ok = false;
    if (QFileInfo(path).isFile()) {
        SqlConnection connection(kLoadConnection, path);
        if (connection.isOpen()) {
            QSqlQuery query(connection.db());
            json = loadCountFromJson(query, path);
            query.clear();
            ok = true;
        }
    }
    emit sigLoadFinish(json, ok);
}

QJsonObject ResStatisticsDatabase::loadCountFromJson(QSqlQuery query, QString path)
{
    QString text = selectDayJson(query);
    if (text.isEmpty()) {
        CountGroup group = olderLayoutGroup(query);

        CountGroupList list;
        if (removeSuffix(path) == QLatin1String("ResStatistics")) {
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
        saveCountFromJson(ResStatisticsParam::StuCountToJson(list), query);
        text = selectDayJson(query);
        if (text.isEmpty())
            qInfo().noquote() << "resstatistics laod statisticsjson fail" << text;
    }
    const QJsonDocument document = QJsonDocument::fromJson(text.toLocal8Bit());
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

bool ResStatisticsDatabase::saveCountFromJson(QJsonObject json, QSqlQuery query)
{
    // A file without the table (an old or hand-made template) gets it instead of failing forever.
    query.exec(StatisticsFiles::createTableSql());
    query.prepare(kUpsert);
    query.bindValue(QStringLiteral(":name"), QStringLiteral("statisticsjson"));
    query.bindValue(QStringLiteral(":value1"), dayJsonText(json));
    query.bindValue(QStringLiteral(":value2"), QStringLiteral(""));
    if (query.exec())
        return true;
    qWarning().noquote() << "Upsert failed:" << query.lastError().text();
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
