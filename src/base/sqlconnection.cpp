#include "base/sqlconnection.h"

#include <QSqlError>
#include <QSqlQuery>
#include <QStringList>
#include <QVariant>

SqlConnection::SqlConnection(const QString& name, const QString& path, Mode mode) : m_name(name)
{
    QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), m_name);
    db.setDatabaseName(path);
    if (mode == ReadOnly)
        db.setConnectOptions(QStringLiteral("QSQLITE_OPEN_READONLY"));
    m_open = db.open();
    if (!m_open)
        m_error = db.lastError().text();
}

SqlConnection::~SqlConnection()
{
    {
        QSqlDatabase db = QSqlDatabase::database(m_name, false);
        db.close();
    }
    QSqlDatabase::removeDatabase(m_name);
}

QSqlDatabase SqlConnection::db() const
{
    return QSqlDatabase::database(m_name, false);
}

SqlFailure sqlFailureKind(const QSqlError& error)
{
    // SQLite's primary result codes (an extended code carries its primary one in the low byte).
    enum { Error = 1, Corrupt = 11, Constraint = 19, Mismatch = 20, Format = 24, NotADatabase = 26 };
    bool ok = false;
    const int code = error.nativeErrorCode().toInt(&ok) & 0xff;
    if (!ok)
        return SqlFailure::Temporary;
    switch (code) {
    case Error:          // our fixed statements fail so only on other tables or columns
    case Corrupt:
    case Constraint:
    case Mismatch:
    case Format:
    case NotADatabase:
        return SqlFailure::BrokenFile;
    default:
        return SqlFailure::Temporary;
    }
}

bool checkIntegrity(QSqlDatabase db, QSqlError* error)
{
    QSqlQuery check(db);
    if (!check.exec(QStringLiteral("PRAGMA quick_check")) || !check.next()) {
        *error = check.lastError();
        return false;
    }
    const QString verdict = check.value(0).toString();
    if (verdict == QLatin1String("ok"))
        return true;
    static const QString kCorrupt = QStringLiteral("11");   // SQLITE_CORRUPT
    *error = QSqlError(QString(), verdict, QSqlError::StatementError, kCorrupt);
    return false;
}

bool checkOwnTable(QSqlDatabase db, const QString& table, QSqlError* error)
{
    QSqlQuery query(db);
    if (!query.exec(QStringLiteral("SELECT name FROM sqlite_master WHERE type = 'table' AND name NOT LIKE 'sqlite\\_%' ESCAPE '\\'"))) {
        *error = query.lastError();
        return false;
    }
    QStringList others;
    while (query.next()) {
        const QString name = query.value(0).toString();
        // SQLite's names ignore case.
        if (name.compare(table, Qt::CaseInsensitive) == 0)
            return true;
        others << name;
    }
    if (others.isEmpty())
        return true;
    static const QString kError = QStringLiteral("1");   // SQLITE_ERROR, as a statement on another table
    *error = QSqlError(QString(), QStringLiteral("holds the tables %1 but no %2").arg(others.join(QStringLiteral(", ")), table),
                       QSqlError::StatementError, kError);
    return false;
}
