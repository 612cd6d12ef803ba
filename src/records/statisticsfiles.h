#pragma once

#include <QSqlDatabase>
#include <QString>

// One SQLite connection for the length of a call: added and opened on construction, closed
// and removed on destruction. Queries made on it must be gone before it is.
class StatisticsConnection {
public:
    StatisticsConnection(const QString& name, const QString& path);
    ~StatisticsConnection();
    StatisticsConnection(const StatisticsConnection&) = delete;
    StatisticsConnection& operator=(const StatisticsConnection&) = delete;

    bool isOpen() const { return m_open; }
    QSqlDatabase db() const;
    QString errorText() const { return m_error; }

private:
    QString m_name;
    bool m_open = false;
    QString m_error;
};

namespace StatisticsFiles {

// The table every statistics file holds; created where it is missing.
QString createTableSql();
bool ensureTable(QSqlDatabase db, QString* error = nullptr);
// Copies a file so that the target holds either its old or the whole new content.
bool copyFile(const QString& source, const QString& target);
// Replaces target by source in one step (rename over).
bool replaceFile(const QString& source, const QString& target);

}  // namespace StatisticsFiles
