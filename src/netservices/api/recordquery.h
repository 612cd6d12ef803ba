#pragma once

#include <QByteArray>
#include <QDate>
#include <QDateTime>
#include <QJsonObject>
#include <QMap>
#include <QPair>
#include <QString>
#include <QTime>

#include <atomic>

class RecordDay;

// The operation-record query of the HTTP API: the rows of the RECORD table between two
// moments. The main window's open record database holds the rows of its record day, every
// earlier day lives in "./RECORD/<yyyy-MM-dd>.db", so the span is cut into days and each day is
// read from where it lives.
//
// It runs on a work thread, never on the GUI thread: every file is read through a read-only
// connection of its own. Each day is read while the record day is held (RecordDay::Reading):
// the day may roll over while the query runs, but never while one day is read, so every day is
// read whole from where it is at that moment. A day that came twice (the clock was set back)
// has rows in its day file and in the open database: both are read. The reply is written as
// JSON text row by row, so a large answer costs about its own size while it is built.
class OperationRecordQuery {
public:
    struct Request {
        QDateTime start;
        QDateTime end;
        bool byType = false;
        QString type;
        bool byOperator = false;
        QString operatorName;
    };
    // Date -> (from, to) time of day; a start after the end gives one day on the start's date.
    using DayPlan = QMap<QDate, QPair<QTime, QTime>>;

    static DayPlan dayPlan(const QDateTime& start, const QDateTime& end);
    // The request body read and checked; false when its span is unreadable or overlong.
    static bool parse(const QJsonObject& body, Request* request);
    // The reply for a refused request: {"errorstring": "错误的时间格式"}.
    static QJsonObject refusal();

    // The longest a query waits for the records handed over before it to be stored.
    static constexpr int kStoreWaitMs = 1000;

    // openDatabasePath: the open record database; recordDay: the day it holds. The folder of
    // the day files is "RECORD" beside it. The query first waits (up to kStoreWaitMs) for the
    // first recordsBefore records handed to the writer to be stored.
    OperationRecordQuery(const QString& openDatabasePath, const RecordDay& recordDay, quint64 recordsBefore = 0);

    // About the bytes run() will answer, from sums SQLite makes without handing rows over (a
    // fraction of run's time): exact but for control characters other than line feeds, and
    // for rows stored meanwhile. Gives up (0) once `stopping` turns true.
    qint64 estimateBytes(const Request& request, const std::atomic<bool>* stopping = nullptr) const;

    // The reply's result as compact JSON text: {"record":[[moment,password,remarks,type],...]}.
    // Gives up (returning what it has) once `stopping` turns true.
    QByteArray run(const Request& request, const std::atomic<bool>* stopping = nullptr) const;

private:
    QString m_openPath;
    QString m_dayFolder;
    const RecordDay& m_recordDay;
    quint64 m_recordsBefore;
};
