#pragma once

#include <QSqlDatabase>
#include <QSqlQuery>
#include <QSqlRecord>
#include <QString>
#include <QStringList>
#include <QVariant>

namespace RecordsTest {

// The rows of an operation-record database, each as the given columns joined by "|", in the
// order they were stored; empty when the file or its table is missing.
inline QStringList recordTexts(const QString& path, const QString& columns = QStringLiteral("remarks"))
{
    const QString connection = QStringLiteral("recordstest_read");
    QStringList rows;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), connection);
        db.setDatabaseName(path);
        db.setConnectOptions(QStringLiteral("QSQLITE_OPEN_READONLY"));
        if (db.open()) {
            QSqlQuery query(db);
            query.exec(QStringLiteral("SELECT %1 FROM RECORD ORDER BY rowid").arg(columns));
            while (query.next()) {
                QStringList cells;
                for (int i = 0; i < query.record().count(); ++i)
                    cells << query.value(i).toString();
                rows << cells.join(QLatin1Char('|'));
            }
        }
        db.close();
    }
    QSqlDatabase::removeDatabase(connection);
    return rows;
}

}  // namespace RecordsTest
