#pragma once

#include <QSqlDatabase>
#include <QString>

// One SQLite connection for the length of a call: added and opened on construction, closed
// and removed on destruction. Queries made on it must be gone before it is.
class SqlConnection {
public:
    SqlConnection(const QString& name, const QString& path);
    ~SqlConnection();
    SqlConnection(const SqlConnection&) = delete;
    SqlConnection& operator=(const SqlConnection&) = delete;

    bool isOpen() const { return m_open; }
    QSqlDatabase db() const;
    QString errorText() const { return m_error; }

private:
    QString m_name;
    bool m_open = false;
    QString m_error;
};
