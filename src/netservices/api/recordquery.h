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
#include <functional>

// The operation-record query of the HTTP API: the rows of the RECORD table between two
// moments. The main window's open record database holds the rows of its record day, every
// earlier day lives in "./RECORD/<yyyy-MM-dd>.db", so the span is cut into days and each day is
// read from where it lives.
//
// It runs on a work thread, never on the GUI thread that inserts the records: every file is
// read through a read-only connection of its own, and the open database is mapped to the day
// it holds when it is read (the day may roll while the query runs; the day's rows are then read
// again from where they went). The reply is written as JSON text row by row, so a large answer
// costs about its own size while it is built.
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

    // openDatabasePath: the open record database; openDay: the day it holds now (invalid while
    // it rolls over). The folder of the day files is "RECORD" beside it.
    OperationRecordQuery(const QString& openDatabasePath, std::function<QDate()> openDay);

    // The reply's result as compact JSON text: {"record":[[moment,password,remarks,type],...]}.
    // Gives up (returning what it has) once `stopping` turns true.
    QByteArray run(const Request& request, const std::atomic<bool>* stopping = nullptr) const;

private:
    QString m_openPath;
    QString m_dayFolder;
    std::function<QDate()> m_openDay;
};
