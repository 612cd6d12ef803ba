#include "base/readonlydatabase.h"

#include <QAtomicInteger>
#include <QFileInfo>
#include <QSqlError>

ReadOnlyDatabase::ReadOnlyDatabase(const QString& purpose)
{
    static QAtomicInteger<quint64> counter;
    m_name = QStringLiteral("%1-readonly-%2").arg(purpose).arg(counter.fetchAndAddRelaxed(1));
    QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), m_name);
    db.setConnectOptions(QStringLiteral("QSQLITE_OPEN_READONLY;QSQLITE_BUSY_TIMEOUT=%1").arg(kBusyTimeoutMs));
}

ReadOnlyDatabase::~ReadOnlyDatabase()
{
    close();
    QSqlDatabase::removeDatabase(m_name);
}

bool ReadOnlyDatabase::open(const QString& path)
{
    QSqlDatabase connection = db();
    connection.close();
    m_error.clear();
    // A missing file is reported as missing, not as a database SQLite could not read.
    if (!QFileInfo(path).isFile()) {
        m_error = QStringLiteral("no such file: ") + path;
        return false;
    }
    connection.setDatabaseName(path);
    if (connection.open())
        return true;
    m_error = connection.lastError().text();
    return false;
}

void ReadOnlyDatabase::close()
{
    QSqlDatabase connection = db();
    connection.close();
}

QSqlDatabase ReadOnlyDatabase::db() const
{
    return QSqlDatabase::database(m_name, false);
}
