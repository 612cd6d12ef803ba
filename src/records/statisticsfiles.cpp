#include "records/statisticsfiles.h"

#include "base/safefile.h"

#include <QFile>
#include <QSqlError>
#include <QSqlQuery>
#include <QtDebug>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace StatisticsFiles {

QString createTableSql()
{
    return QStringLiteral("CREATE TABLE IF NOT EXISTS resstatistics (name TEXT NOT NULL UNIQUE, value1 TEXT, value2 TEXT)");
}

bool ensureTable(QSqlDatabase db, QSqlError* error)
{
    QSqlQuery query(db);
    if (query.exec(createTableSql()))
        return true;
    if (error)
        *error = query.lastError();
    return false;
}

bool copyFile(const QString& source, const QString& target)
{
    QFile in(source);
    if (!in.open(QIODevice::ReadOnly)) {
        qWarning() << "cannot read" << source << in.errorString();
        return false;
    }
    return writeFileAtomically(target, in.readAll());
}

bool replaceFile(const QString& source, const QString& target)
{
    if (std::rename(QFile::encodeName(source).constData(), QFile::encodeName(target).constData()) == 0)
        return true;
    qWarning() << "cannot move" << source << "to" << target << std::strerror(errno);
    return false;
}

}  // namespace StatisticsFiles
