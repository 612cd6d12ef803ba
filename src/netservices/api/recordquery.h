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
// the day may roll over and records may be stored while the query runs, but not while one day
// is read, so every day is read whole from where it is at that moment, the records that still
// wait for the disk included. A day that came twice (the clock was set back) has rows in its
// day file and in the open database: both are read, and the day's places are merged in time
// order. The reply is written as JSON text row by row, so a large answer costs about its own
// size while it is built.
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
    // The request body read and checked; false when its span is unreadable or overlong, with the
    // reply that says which in *refusal when given.
    static bool parse(const QJsonObject& body, Request* request, QJsonObject* refusal = nullptr);

    // openDatabasePath: the open record database; recordDay: the day it holds and the records
    // still waiting to be stored. The folder of the day files is "RECORD" beside it.
    OperationRecordQuery(const QString& openDatabasePath, const RecordDay& recordDay);

    // About the bytes run() will answer, from sums SQLite makes without handing rows over (a
    // fraction of run's time) and the records waiting now: exact but for control characters
    // other than line feeds, and for records handed over meanwhile. Gives up (0) once
    // `stopping` turns true.
    qint64 estimateBytes(const Request& request, const std::atomic<bool>* stopping = nullptr) const;

    // The reply's result as compact JSON text: {"record":[[moment,password,remarks,type],...]},
    // each day in time order, with the records still waiting to be stored among its rows. Gives
    // up (returning what it has) once `stopping` turns true.
    QByteArray run(const Request& request, const std::atomic<bool>* stopping = nullptr) const;

private:
    QString m_openPath;
    QString m_dayFolder;
    const RecordDay& m_recordDay;
};
