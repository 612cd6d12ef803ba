#include "netservices/api/recordquery.h"

#include "base/sqlconnection.h"
#include "netservices/api/apireplies.h"

#include <QDir>
#include <QJsonArray>
#include <QSqlError>
#include <QSqlQuery>
#include <QStringList>
#include <QtDebug>

namespace {

const QString kTimeFormat = QStringLiteral("yyyy-MM-dd hh:mm:ss");
const QString kDayFolder = QStringLiteral("RECORD");
const QString kNotLoggedIn = QStringLiteral("未登录");

struct Filters {
    bool byType = false;
    QString type;
    bool byOperator = false;
    QString operatorName;
};

Filters filtersOf(const QJsonObject& request)
{
    Filters filters;
    const QString all = QStringLiteral("all");
    if (request.contains(QStringLiteral("recordtype"))) {
        filters.type = request.value(QStringLiteral("recordtype")).toString();
        filters.byType = filters.type != all;
    }
    if (request.contains(QStringLiteral("operator"))) {
        filters.operatorName = request.value(QStringLiteral("operator")).toString();
        filters.byOperator = filters.operatorName != all;
        if (filters.operatorName.isEmpty())
            filters.operatorName = kNotLoggedIn;
    }
    return filters;
}

// Appends the day's matching rows; false (with a warning) when the query fails.
bool appendDay(QSqlDatabase db, const QDate& day, const QPair<QTime, QTime>& span, const Filters& filters,
               QJsonArray& rows)
{
    QString sql = QStringLiteral(
        "SELECT recordtime, recordpassword, remarks, recordtype FROM RECORD WHERE recordtime BETWEEN ? AND ?");
    if (filters.byType)
        sql += QStringLiteral(" AND recordtype = ?");
    if (filters.byOperator)
        sql += QStringLiteral(" AND recordpassword = ?");
    sql += QLatin1Char(';');

    QSqlQuery query(db);
    query.prepare(sql);
    query.addBindValue(span.first.toString(QStringLiteral("hh.mm.ss")));
    query.addBindValue(span.second.toString(QStringLiteral("hh.mm.ss")));
    if (filters.byType)
        query.addBindValue(filters.type);
    if (filters.byOperator)
        query.addBindValue(filters.operatorName);
    if (!query.exec()) {
        qWarning().noquote() << "查询失败：" << query.lastError().text();
        return false;
    }
    while (query.next()) {
        const QTime time = QTime::fromString(query.value(0).toString(), QStringLiteral("hh.mm.ss"));
        rows.append(QJsonArray{QDateTime(day, time).toString(kTimeFormat), query.value(1).toString(),
                               query.value(2).toString(), query.value(3).toString()});
    }
    return true;
}

}  // namespace

OperationRecordQuery::DayPlan OperationRecordQuery::dayPlan(const QDateTime& start, const QDateTime& end)
{
    DayPlan plan;
    QDate day = start.date();
    QTime from = start.time();
    while (day.addDays(1) <= end.date()) {
        plan.insert(day, {from, QTime(23, 59, 59)});
        day = day.addDays(1);
        from = QTime(0, 0, 0);
    }
    plan.insert(day, {from, end.time()});
    return plan;
}

OperationRecordQuery::OperationRecordQuery(QSqlDatabase today, const QDate& todayDate)
    : m_today(today), m_todayDate(todayDate)
{
}

QJsonObject OperationRecordQuery::run(const QJsonObject& request) const
{
    const QDateTime start = HttpApiReplies::requestTime(request.value(QStringLiteral("datetime_start")).toString());
    const QDateTime end = HttpApiReplies::requestTime(request.value(QStringLiteral("datetime_end")).toString());
    if (!HttpApiReplies::isAnswerableSpan(start, end))
        return {{QStringLiteral("errorstring"), QStringLiteral("错误的时间格式")}};

    const Filters filters = filtersOf(request);
    const QStringList dayFiles = QDir(kDayFolder).entryList({QStringLiteral("*.db")}, QDir::Files);
    const DayPlan plan = dayPlan(start, end);
    QJsonArray rows;
    for (auto it = plan.cbegin(); it != plan.cend(); ++it) {
        if (it.key() == m_todayDate) {
            appendDay(m_today, it.key(), it.value(), filters, rows);
            continue;
        }
        const QString fileName = it.key().toString(QStringLiteral("yyyy-MM-dd")) + QStringLiteral(".db");
        if (!dayFiles.contains(fileName))
            continue;
        SqlConnection connection(fileName, QStringLiteral("./") + kDayFolder + QLatin1Char('/') + fileName);
        if (!connection.isOpen()) {
            qWarning().noquote() << "Cannot open database:" << connection.errorText();
            continue;
        }
        appendDay(connection.db(), it.key(), it.value(), filters, rows);
    }
    return {{QStringLiteral("record"), rows}};
}
