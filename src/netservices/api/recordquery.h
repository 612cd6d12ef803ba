#pragma once

#include <QDate>
#include <QJsonObject>
#include <QMap>
#include <QPair>
#include <QSqlDatabase>
#include <QTime>

// The operation-record query of the HTTP API: the rows of the RECORD table between two
// moments. Today's rows live in the main window's open record database, every earlier day in
// "./RECORD/<yyyy-MM-dd>.db", so the span is cut into days and each day is read from where it
// lives. The span is bounded before any file is touched: the query runs on the GUI thread.
// Everything here runs in the calling thread (the GUI thread, which owns the record connection).
class OperationRecordQuery {
public:
    // Date -> (from, to) time of day; a start after the end gives one day on the start's date.
    using DayPlan = QMap<QDate, QPair<QTime, QTime>>;
    static DayPlan dayPlan(const QDateTime& start, const QDateTime& end);

    // today: the open record database holding the rows of todayDate.
    OperationRecordQuery(QSqlDatabase today, const QDate& todayDate);

    // The reply object for a request body: {"record": [[moment, password, remarks, type], ...]}
    // or {"errorstring": "错误的时间格式"}.
    QJsonObject run(const QJsonObject& request) const;

private:
    QSqlDatabase m_today;
    QDate m_todayDate;
};
