#include "detection/recordstore.h"

#include "base/sqlconnection.h"

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

// Moves the rows of a finished day's database into a day file that already exists (the clock was
// set back and the day came twice): one transaction over both files, so a power cut leaves the
// rows either in the finished database or in the day file, never in both.
bool moveRecordsInto(const QString& source, const QString& target, QSqlError* error)
{
    SqlConnection connection(QStringLiteral("recordmerge"), target);
    if (!connection.isOpen()) {
        *error = QSqlError(connection.errorText(), QString(), QSqlError::ConnectionError);
        return false;
    }
    QSqlDatabase db = connection.db();
    QSqlQuery query(db);
    bool ok = query.exec(kCreateTable);
    if (ok) {
        query.prepare(QStringLiteral("ATTACH DATABASE ? AS finished"));
        query.addBindValue(source);
        ok = query.exec();
    }
    if (!ok) {
        *error = query.lastError();
        return false;
    }
    ok = db.transaction()
         && query.exec(QStringLiteral("INSERT INTO RECORD (recordtime, recordpassword, remarks, recordtype) "
                                      "SELECT recordtime, recordpassword, remarks, recordtype FROM finished.RECORD"))
         && query.exec(QStringLiteral("DELETE FROM finished.RECORD"));
    if (ok && !db.commit()) {
        *error = db.lastError();
        db.rollback();
        ok = false;
    } else if (!ok) {
        *error = query.lastError().isValid() ? query.lastError() : db.lastError();
        db.rollback();
    }
    query.exec(QStringLiteral("DETACH DATABASE finished"));
    return ok;
}

}  // namespace

quint64 RecordDay::handOver()
{
    QMutexLocker lock(&m_countMutex);
    return ++m_handed;
}

quint64 RecordDay::handedOver() const
{
    QMutexLocker lock(&m_countMutex);
    return m_handed;
}

void RecordDay::setWaitingRecords(const RecordStore* store)
{
    QWriteLocker lock(&m_lock);
    m_waiting = store;
}

void RecordDay::clearWaitingRecords(const RecordStore* store)
{
    QWriteLocker lock(&m_lock);
    if (m_waiting == store)
        m_waiting = nullptr;
}

QList<OperationRecord> RecordDay::waitingRecords() const
{
    QReadLocker lock(&m_lock);
    return m_waiting ? m_waiting->waitingOf(QDate()) : QList<OperationRecord>();
}

QList<OperationRecord> RecordDay::Reading::waitingOf(const QDate& day) const
{
    return m_day.m_waiting ? m_day.m_waiting->waitingOf(day) : QList<OperationRecord>();
}

RecordStore::RecordStore(RecordDay& day)
    : m_recordDay(day), m_storeLog(QStringLiteral("the operation records in ") + databasePath())
{
    day.setWaitingRecords(this);
}

RecordStore::~RecordStore()
{
    m_recordDay.clearWaitingRecords(this);
    closeConnection();
}

void RecordStore::handOver(const Record& record)
{
    QMutexLocker lock(&m_queueMutex);
    m_queue.push_back({record, QDate()});
    ++m_queuedRecords;
    // Counted under the queue lock: a reader that sees the count finds the record queued.
    m_recordDay.handOver();
}

void RecordStore::handOverRoll(const QDate& today)
{
    QMutexLocker lock(&m_queueMutex);
    m_queue.push_back({Record(), today});
}

int RecordStore::waitingRecords() const
{
    QMutexLocker lock(&m_queueMutex);
    return m_queuedRecords;
}

QList<RecordStore::Record> RecordStore::waitingOf(const QDate& day) const
{
    QMutexLocker lock(&m_queueMutex);
    QList<Record> records;
    if (m_queuedRecords == 0)
        return records;
    for (const Waiting& waiting : m_queue) {
        if (!waiting.roll.isValid() && (!day.isValid() || waiting.record.moment.date() == day))
            records.append(waiting.record);
    }
    return records;
}

bool RecordStore::acceptsClientRecords()
{
    const int waiting = waitingRecords();
    if (m_refusing && waiting <= qMin(kCalmRecords, m_busyRecords / 2)) {
        qInfo().noquote() << "operation records: the disk has caught up;" << m_refused
                          << "API calls that make a record were answered 503 meanwhile";
        m_refusing = false;
        m_refused = 0;
    } else if (!m_refusing && waiting >= m_busyRecords) {
        qWarning().noquote() << "operation records:" << waiting
                             << "wait for the disk; API calls that make a record are answered 503 until fewer wait";
        m_refusing = true;
    }
    if (m_refusing)
        ++m_refused;
    return !m_refusing;
}

void RecordStore::setBusyRecords(int records)
{
    m_busyRecords = qMax(1, records);
}

QList<RecordStore::Record> RecordStore::headOfOneDay() const
{
    QMutexLocker lock(&m_queueMutex);
    QList<Record> head;
    if (m_queue.empty() || m_queue.front().roll.isValid())
        return head;
    const QDate day = m_queue.front().record.moment.date();
    for (const Waiting& waiting : m_queue) {
        if (waiting.roll.isValid() || waiting.record.moment.date() != day || head.size() >= kMaxRecordsPerTransaction)
            break;
        head.append(waiting.record);
    }
    return head;
}

void RecordStore::dropHead(int count)
{
    QMutexLocker lock(&m_queueMutex);
    for (int i = 0; i < count && !m_queue.empty(); ++i) {
        if (!m_queue.front().roll.isValid())
            --m_queuedRecords;
        m_queue.pop_front();
    }
}

bool RecordStore::storeWaiting()
{
    for (;;) {
        QDate roll;
        {
            QMutexLocker lock(&m_queueMutex);
            if (m_queue.empty())
                return true;
            roll = m_queue.front().roll;
        }
        if (roll.isValid()) {
            if (!rollTo(roll))
                return false;
            dropHead(1);
            continue;
        }
        // Only this thread takes from the queue: the head read now is still the head below.
        const QList<Record> records = headOfOneDay();
        if (!rollTo(records.first().moment.date()))
            return false;
        QSqlError error;
        bool stored = false;
        {
            // A reader sees the records either waiting or in the database, never both or neither.
            const RecordDay::Storing storing(m_recordDay);
            stored = insertAll(records, &error);
            if (!stored && sqlFailureKind(error) == SqlFailure::BrokenFile) {
                closeConnection();
                stored = ensureDatabase() && insertAll(records, &error);
            }
            if (stored)
                dropHead(records.size());
        }
        m_storeLog.update(stored, error.text());
        if (!stored)
            return false;
    }
}

QSqlDatabase RecordStore::openConnection(QSqlError* error)
{
    if (!m_connection) {
        m_connection = std::make_unique<SqlConnection>(QStringLiteral("recordinsert"), databasePath());
        if (!m_connection->isOpen()) {
            *error = QSqlError(m_connection->errorText(), QString(), QSqlError::ConnectionError);
            m_connection.reset();
            return QSqlDatabase();
        }
    }
    return m_connection->db();
}

void RecordStore::closeConnection()
{
    m_connection.reset();
}

bool RecordStore::insertAll(const QList<Record>& records, QSqlError* error)
{
    QSqlDatabase db = openConnection(error);
    if (!db.isOpen())
        return false;
    bool ok = false;
    {
        QSqlQuery query(db);
        // The table is made first when a failed roll or a full disk left the file without it.
        ok = query.exec(kCreateTable) && db.transaction();
        if (ok)
            ok = query.prepare(QStringLiteral(
                "INSERT INTO RECORD (recordtime, recordpassword, remarks, recordtype) VALUES (?, ?, ?, ?)"));
        for (int i = 0; ok && i < records.size(); ++i) {
            const Record& record = records.at(i);
            query.bindValue(0, record.moment.toString(QStringLiteral("hh.mm.ss")));
            query.bindValue(1, record.password);
            query.bindValue(2, record.remarks);
            query.bindValue(3, record.type);
            ok = query.exec();
        }
        if (!ok)
            *error = query.lastError().isValid() ? query.lastError() : db.lastError();
        else if (!db.commit()) {
            *error = db.lastError();
            ok = false;
        }
    }
    if (!ok) {
        db.rollback();
        // A full disk may leave SQLite's state in doubt: the next try starts on a new connection.
        closeConnection();
    }
    return ok;
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

    // The records' connection must not follow the file into the day folder.
    closeConnection();
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
        if (moveRecordsInto(databasePath(), target, &error)) {
            // Its rows are in the day file now; left behind empty, it serves the new day.
            QFile::remove(databasePath());
            return true;
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
    closeConnection();
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
