#pragma once

#include <QSqlDatabase>
#include <QString>

// A read-only SQLite connection of the calling thread, under a name no other connection has,
// that goes from file to file: one file open at a time, never created or written (a file that
// does not exist does not open). A writer on another connection may hold a file for a moment:
// the connection waits for it up to kBusyTimeoutMs. Queries made on it must be gone before the
// next open() and before it is.
class ReadOnlyDatabase {
public:
    static constexpr int kBusyTimeoutMs = 2000;

    // purpose: the start of the connection's name, for the log.
    explicit ReadOnlyDatabase(const QString& purpose);
    ~ReadOnlyDatabase();
    ReadOnlyDatabase(const ReadOnlyDatabase&) = delete;
    ReadOnlyDatabase& operator=(const ReadOnlyDatabase&) = delete;

    // Closes the file open now and opens `path`; false (see errorText) when it does not open.
    bool open(const QString& path);
    void close();
    QSqlDatabase db() const;
    QString errorText() const { return m_error; }

private:
    QString m_name;
    QString m_error;
};
