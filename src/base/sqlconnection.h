#pragma once

#include <QSqlDatabase>
#include <QSqlError>
#include <QString>

// One SQLite connection for the length of a call: added and opened on construction, closed
// and removed on destruction. Queries made on it must be gone before it is.
class SqlConnection {
public:
    // ReadOnly never changes the file, and a missing file does not open (instead of being made).
    enum Mode { ReadWrite, ReadOnly };

    SqlConnection(const QString& name, const QString& path, Mode mode = ReadWrite);
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

// What a failed SQLite statement says about its file. Only a file that is not a database, is
// damaged or holds other tables than expected may be set aside and made afresh; no room, busy,
// locked, I/O and the like are states of the disk that pass, and the file stays as it is.
enum class SqlFailure { Temporary, BrokenFile };
SqlFailure sqlFailureKind(const QSqlError& error);

// SQLite's quick integrity check; a damaged file fails it with a BrokenFile error.
bool checkIntegrity(QSqlDatabase db, QSqlError* error);

// A database that holds tables, none of them `table`, belongs to something else (a file put in
// the wrong place), not to the caller: it fails with a BrokenFile error naming its tables, and
// the caller sets it aside instead of adding its table beside them. A database without tables
// (a new file) passes.
bool checkOwnTable(QSqlDatabase db, const QString& table, QSqlError* error);
