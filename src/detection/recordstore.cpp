#include "detection/recordstore.h"

#include "base/sqlconnection.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSqlError>
#include <QSqlQuery>
#include <QVariant>
#include <QtDebug>

namespace {

const QString kCreateTable = QStringLiteral(
    "CREATE TABLE IF NOT EXISTS RECORD (recordtime TEXT, recordpassword TEXT, remarks TEXT, recordtype TEXT)");
const QString kDateFormat = QStringLiteral("yyyy-MM-dd");

// The file is a sound database whose RECORD table (made when a new file has none) has the
// four columns.
bool checkRecordTable(QSqlDatabase db, QSqlError* error)
{
    if (!checkIntegrity(db, error) || !checkOwnTable(db, QStringLiteral("RECORD"), error))
        return false;
    QSqlQuery query(db);
    if (query.exec(kCreateTable)
        && query.exec(QStringLiteral("SELECT recordtime, recordpassword, remarks, recordtype FROM RECORD LIMIT 0")))
        return true;
    *error = query.lastError();
    return false;
}

// Adds the rows of a finished day's database to a day file that already exists (the clock was
// set back and the day came twice). One statement: the target takes all rows or none.
bool appendRecordsTo(const QString& source, const QString& target, QSqlError* error)
{
    SqlConnection connection(QStringLiteral("recordmerge"), target);
    if (!connection.isOpen()) {
        *error = QSqlError(connection.errorText(), QString(), QSqlError::ConnectionError);
        return false;
    }
    QSqlQuery query(connection.db());
    bool ok = query.exec(kCreateTable);
    if (ok) {
        query.prepare(QStringLiteral("ATTACH DATABASE ? AS finished"));
        query.addBindValue(source);
        ok = query.exec() && query.exec(QStringLiteral("INSERT INTO RECORD SELECT * FROM finished.RECORD"));
    }
    if (!ok)
        *error = query.lastError();
    query.exec(QStringLiteral("DETACH DATABASE finished"));
    return ok;
}

// One record into the open database; the table is made first when a failed roll or a full disk
// left the file without it.
bool insertInto(const RecordStore::Record& record, QSqlError* error)
{
    SqlConnection connection(QStringLiteral("recordinsert"), RecordStore::databasePath());
    if (!connection.isOpen()) {
        *error = QSqlError(connection.errorText(), QString(), QSqlError::ConnectionError);
        return false;
    }
    QSqlQuery query(connection.db());
    const bool ok = query.exec(kCreateTable)
                    && query.prepare(QStringLiteral(
                        "INSERT INTO RECORD (recordtime, recordpassword, remarks, recordtype) VALUES (?, ?, ?, ?)"));
    if (ok) {
        query.addBindValue(record.moment.toString(QStringLiteral("hh.mm.ss")));
        query.addBindValue(record.password);
        query.addBindValue(record.remarks);
        query.addBindValue(record.type);
        if (query.exec())
            return true;
    }
    *error = query.lastError();
    return false;
}

}  // namespace

quint64 RecordDay::handOver()
{
    QMutexLocker lock(&m_countMutex);
    return ++m_handed;
}

void RecordDay::recordStored()
{
    QMutexLocker lock(&m_countMutex);
    ++m_stored;
    m_storedChanged.wakeAll();
}

void RecordDay::forgetWaiting()
{
    QMutexLocker lock(&m_countMutex);
    m_stored = m_handed;
    m_storedChanged.wakeAll();
}

quint64 RecordDay::handedOver() const
{
    QMutexLocker lock(&m_countMutex);
    return m_handed;
}

bool RecordDay::waitForStored(quint64 count, int timeoutMs) const
{
    QDeadlineTimer deadline(timeoutMs);
    QMutexLocker lock(&m_countMutex);
    while (m_stored < count) {
        if (!m_storedChanged.wait(&m_countMutex, deadline))
            return m_stored >= count;
    }
    return true;
}

RecordStore::RecordStore(RecordDay& day)
    : m_recordDay(day), m_storeLog(QStringLiteral("the operation records in ") + databasePath())
{
}

bool RecordStore::rollTo(const QDate& today)
{
    if (!m_dayRead) {
        QFile dayFile(dayFilePath());
        if (dayFile.open(QIODevice::ReadOnly))
            m_day = QDate::fromString(QString::fromLatin1(dayFile.readAll()).trimmed(), kDateFormat);
        m_dayRead = true;
        if (m_day == today) {
            RecordDay::Rolling(m_recordDay).setOpenDay(today);
            ensureDatabase();
        }
    }
    if (m_day == today)
        return true;

    const QDate finished = m_day;
    {
        RecordDay::Rolling rolling(m_recordDay);
        // The finished day leaves "RECORD.db" before "time.txt" names the new one: a stop in
        // between leaves no database for the new day to be mixed into, and the day is rolled
        // again whole.
        if (m_day.isValid() && QFileInfo::exists(databasePath()) && !moveFinishedDay())
            return false;
        QString reason;
        if (!writeFileAtomically(dayFilePath(), today.toString(kDateFormat).toLatin1(), &reason)) {
            m_storeLog.update(false, reason);
            return false;
        }
        m_day = today;
        rolling.setOpenDay(today);
        // Made before readers look at the new day. When the disk takes no new database now, the
        // first record of the day makes it.
        ensureDatabase();
    }
    if (finished.isValid())
        qInfo().noquote() << "operation records of" << finished.toString(Qt::ISODate) << "moved into"
                          << dayFolder() + QLatin1Char('/') + finished.toString(kDateFormat) + QStringLiteral(".db");
    return true;
}

bool RecordStore::moveFinishedDay()
{
    const QString target = dayFolder() + QLatin1Char('/') + m_day.toString(kDateFormat) + QStringLiteral(".db");
    if (!QDir().mkpath(dayFolder())) {
        m_storeLog.update(false, QStringLiteral("cannot create ") + dayFolder());
        return false;
    }
    if (QFileInfo::exists(target)) {
        QSqlError error;
        if (appendRecordsTo(databasePath(), target, &error)) {
            if (QFile::remove(databasePath()))
                return true;
            // Rolled again later, the rows would be added twice.
            qCritical().noquote() << "the records of" << m_day.toString(kDateFormat) << "are in" << target
                                  << "but" << databasePath() << "cannot be removed";
            m_storeLog.update(false, QStringLiteral("cannot remove ") + databasePath());
            return false;
        }
        if (sqlFailureKind(error) != SqlFailure::BrokenFile || setBrokenFileAside(target, error.text()).isEmpty()) {
            m_storeLog.update(false, QStringLiteral("cannot add the records to ") + target + QStringLiteral(": ") + error.text());
            return false;
        }
    }
    if (QFile::rename(databasePath(), target))
        return true;
    m_storeLog.update(false, QStringLiteral("cannot move ") + databasePath() + QStringLiteral(" to ") + target);
    return false;
}

bool RecordStore::ensureDatabase()
{
    QSqlError error;
    {
        SqlConnection connection(QStringLiteral("recordcheck"), databasePath());
        if (!connection.isOpen()) {
            qCritical().noquote() << "cannot open" << databasePath() << connection.errorText();
            return false;
        }
        if (checkRecordTable(connection.db(), &error))
            return true;
    }
    if (sqlFailureKind(error) == SqlFailure::Temporary) {
        // A full disk or a lock says nothing about the file; the records wait for the disk.
        m_storeLog.update(false, error.text());
        return false;
    }
    // Garbage, a cut file or another table would fail every record of the run: the file is kept
    // for a look by hand and the records go on in a fresh one.
    if (setBrokenFileAside(databasePath(), QStringLiteral("operation records: ") + error.text()).isEmpty())
        return false;
    SqlConnection fresh(QStringLiteral("recordcheck"), databasePath());
    if (fresh.isOpen() && checkRecordTable(fresh.db(), &error))
        return true;
    qCritical().noquote() << "cannot make a fresh" << databasePath() + ':' << fresh.errorText() << error.text();
    return false;
}

bool RecordStore::insert(const Record& record)
{
    if (!rollTo(record.moment.date()))
        return false;
    QSqlError error;
    bool stored = insertInto(record, &error);
    if (!stored && sqlFailureKind(error) == SqlFailure::BrokenFile && ensureDatabase())
        stored = insertInto(record, &error);
    m_storeLog.update(stored, error.text());
    if (stored)
        m_recordDay.recordStored();
    return stored;
}
