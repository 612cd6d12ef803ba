#include "netservices/api/recordquery.h"

#include "base/appclock.h"
#include "base/readonlydatabase.h"
#include "detection/recordstore.h"
#include "netservices/api/apireplies.h"

#include <QFileInfo>
#include <QSqlError>
#include <QSqlQuery>
#include <QStringList>
#include <QVariant>
#include <QtDebug>

namespace {

const QString kTimeFormat = QStringLiteral("yyyy-MM-dd hh:mm:ss");
const QString kRowTimeFormat = QStringLiteral("hh.mm.ss");
const QString kNotLoggedIn = QStringLiteral("未登录");

void appendUtf8(QByteArray& out, uint code)
{
    if (code < 0x800) {
        out.append(char(0xc0 | (code >> 6)));
    } else if (code < 0x10000) {
        out.append(char(0xe0 | (code >> 12)));
        out.append(char(0x80 | ((code >> 6) & 0x3f)));
    } else {
        out.append(char(0xf0 | (code >> 18)));
        out.append(char(0x80 | ((code >> 12) & 0x3f)));
        out.append(char(0x80 | ((code >> 6) & 0x3f)));
    }
    out.append(char(0x80 | (code & 0x3f)));
}

// A JSON string as the platform's writer makes it: UTF-8, with quote, backslash and control
// characters escaped; a broken surrogate becomes U+FFFD.
void appendJsonString(QByteArray& out, const QString& text)
{
    static const char hex[] = "0123456789abcdef";
    out.append('"');
    const QChar* chars = text.constData();
    const int size = text.size();
    for (int i = 0; i < size; ++i) {
        const ushort u = chars[i].unicode();
        if (u >= 0x20 && u < 0x80 && u != '"' && u != '\\') {
            out.append(char(u));
            continue;
        }
        if (u < 0x80) {
            out.append('\\');
            switch (u) {
            case '"': out.append('"'); break;
            case '\\': out.append('\\'); break;
            case '\b': out.append('b'); break;
            case '\f': out.append('f'); break;
            case '\n': out.append('n'); break;
            case '\r': out.append('r'); break;
            case '\t': out.append('t'); break;
            default:
                out.append("u00");
                out.append(hex[u >> 4]);
                out.append(hex[u & 0xf]);
            }
            continue;
        }
        if (QChar::isHighSurrogate(u) && i + 1 < size && QChar::isLowSurrogate(chars[i + 1].unicode())) {
            appendUtf8(out, QChar::surrogateToUcs4(u, chars[i + 1].unicode()));
            ++i;
            continue;
        }
        appendUtf8(out, QChar::isSurrogate(u) ? 0xfffd : u);
    }
    out.append('"');
}

int twoDigits(const QChar* text)
{
    const int high = text[0].unicode() - '0';
    const int low = text[1].unicode() - '0';
    return high >= 0 && high <= 9 && low >= 0 && low <= 9 ? high * 10 + low : -1;
}

// "yyyy-MM-dd hh:mm:ss" of a row: the day's date text and the row's "hh.mm.ss" rewritten in
// place. No time-zone conversion per row; only a time that is not in that form takes the slow
// road (read as a time of day, midnight when unreadable).
void appendMoment(QByteArray& out, const QByteArray& datePrefix, const QDate& day, const QString& rowTime)
{
    const QChar* t = rowTime.constData();
    if (rowTime.size() == 8 && t[2] == QLatin1Char('.') && t[5] == QLatin1Char('.')) {
        const int hour = twoDigits(t);
        const int minute = twoDigits(t + 3);
        const int second = twoDigits(t + 6);
        if (hour >= 0 && hour < 24 && minute >= 0 && minute < 60 && second >= 0 && second < 60) {
            const char moment[] = {'"', char(t[0].unicode()), char(t[1].unicode()), ':', char(t[3].unicode()),
                                   char(t[4].unicode()), ':', char(t[6].unicode()), char(t[7].unicode()), '"'};
            out.append(moment, 1);
            out.append(datePrefix);
            out.append(moment + 1, int(sizeof(moment)) - 1);
            return;
        }
    }
    appendJsonString(out, QDateTime(day, QTime::fromString(rowTime, kRowTimeFormat)).toString(kTimeFormat));
}

// The rows a request asks for; bindFilters gives the values in this order.
QString whereFor(const OperationRecordQuery::Request& request)
{
    QString where = QStringLiteral(" FROM RECORD WHERE recordtime BETWEEN ? AND ?");
    if (request.byType)
        where += QStringLiteral(" AND recordtype = ?");
    if (request.byOperator)
        where += QStringLiteral(" AND recordpassword = ?");
    return where + QLatin1Char(';');
}

QString selectFor(const OperationRecordQuery::Request& request)
{
    return QStringLiteral("SELECT recordtime, recordpassword, remarks, recordtype") + whereFor(request);
}

// The bytes a column's text takes in the reply beside its two quotes: UTF-8, one more for each
// quote, backslash and line feed, which are escaped.
QString textBytes(const char* column)
{
    return QStringLiteral("ifnull(length(CAST(%1 AS BLOB)) + 3 * length(%1) - length(replace(%1, '\"', ''))"
                          " - length(replace(%1, '\\', '')) - length(replace(%1, char(10), '')), 0)")
        .arg(QLatin1String(column));
}

QString estimateFor(const OperationRecordQuery::Request& request)
{
    return QStringLiteral("SELECT COUNT(*), TOTAL(%1 + %2 + %3)")
               .arg(textBytes("recordpassword"), textBytes("remarks"), textBytes("recordtype")) +
           whereFor(request);
}

void bindFilters(QSqlQuery& query, const QPair<QTime, QTime>& span, const OperationRecordQuery::Request& request)
{
    query.addBindValue(span.first.toString(kRowTimeFormat));
    query.addBindValue(span.second.toString(kRowTimeFormat));
    if (request.byType)
        query.addBindValue(request.type);
    if (request.byOperator)
        query.addBindValue(request.operatorName);
}

// A row: [, the moment (quoted, 19 characters), three quoted texts, the commas between, ], and
// the comma before the next row.
constexpr qint64 kRowFrameBytes = 1 + 21 + 3 * 2 + 3 + 1 + 1;

// The bytes the matching rows of one file take in the reply; 0 for a file that is not there
// or cannot be read (run() answers none of its rows either).
qint64 estimateDay(ReadOnlyDatabase& connection, const QString& path, const QPair<QTime, QTime>& span,
                   const OperationRecordQuery::Request& request)
{
    if (!QFileInfo(path).isFile() || !connection.open(path))
        return 0;
    qint64 bytes = 0;
    {
        QSqlQuery query(connection.db());
        query.setForwardOnly(true);
        query.prepare(estimateFor(request));
        bindFilters(query, span, request);
        if (query.exec() && query.next())
            bytes = query.value(0).toLongLong() * kRowFrameBytes + qint64(query.value(1).toDouble());
    }
    connection.close();
    return bytes;
}

// Appends the day's matching rows from one file, each preceded by a comma when `out` already
// holds one; false (with a warning) when the file does not open or the query fails. A file that
// is not there holds no rows.
bool appendDay(ReadOnlyDatabase& connection, const QString& path, const QDate& day, const QPair<QTime, QTime>& span,
               const OperationRecordQuery::Request& request, QByteArray& out, bool& first)
{
    if (!QFileInfo(path).isFile())
        return true;
    if (!connection.open(path)) {
        qWarning().noquote() << "Cannot open database:" << connection.errorText();
        return false;
    }
    bool ok = false;
    {
        QSqlQuery query(connection.db());
        query.setForwardOnly(true);
        query.prepare(selectFor(request));
        bindFilters(query, span, request);
        ok = query.exec();
        if (!ok)
            qWarning().noquote() << "查询失败：" << query.lastError().text();
        const QByteArray datePrefix = day.toString(QStringLiteral("yyyy-MM-dd ")).toLatin1();
        while (ok && query.next()) {
            out.append(first ? "[" : ",[");
            first = false;
            appendMoment(out, datePrefix, day, query.value(0).toString());
            for (int column = 1; column < 4; ++column) {
                out.append(',');
                appendJsonString(out, query.value(column).toString());
            }
            out.append(']');
        }
    }
    connection.close();
    return ok;
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

bool OperationRecordQuery::parse(const QJsonObject& body, Request* request)
{
    request->start = HttpApiReplies::requestTime(body.value(QStringLiteral("datetime_start")).toString());
    request->end = HttpApiReplies::requestTime(body.value(QStringLiteral("datetime_end")).toString());
    if (!HttpApiReplies::isAnswerableSpan(request->start, request->end))
        return false;
    const QString all = QStringLiteral("all");
    if (body.contains(QStringLiteral("recordtype"))) {
        request->type = body.value(QStringLiteral("recordtype")).toString();
        request->byType = request->type != all;
    }
    if (body.contains(QStringLiteral("operator"))) {
        request->operatorName = body.value(QStringLiteral("operator")).toString();
        request->byOperator = request->operatorName != all;
        if (request->operatorName.isEmpty())
            request->operatorName = kNotLoggedIn;
    }
    return true;
}

QJsonObject OperationRecordQuery::refusal()
{
    return {{QStringLiteral("errorstring"), QStringLiteral("错误的时间格式")}};
}

OperationRecordQuery::OperationRecordQuery(const QString& openDatabasePath, const RecordDay& recordDay,
                                           quint64 recordsBefore)
    : m_openPath(openDatabasePath),
      m_dayFolder(QFileInfo(openDatabasePath).path() + QStringLiteral("/RECORD")),
      m_recordDay(recordDay),
      m_recordsBefore(recordsBefore)
{
}

qint64 OperationRecordQuery::estimateBytes(const Request& request, const std::atomic<bool>* stopping) const
{
    const DayPlan plan = dayPlan(request.start, request.end);
    ReadOnlyDatabase connection(QStringLiteral("estimate"));
    qint64 bytes = qint64(sizeof("{\"record\":[]}")) - 1;
    for (auto it = plan.cbegin(); it != plan.cend(); ++it) {
        if (stopping && stopping->load())
            return 0;
        bytes += estimateDay(connection, m_dayFolder + QLatin1Char('/') + it.key().toString(QStringLiteral("yyyy-MM-dd")) +
                                             QStringLiteral(".db"),
                             it.value(), request);
    }
    // The open database holds one day, today's or, before the first record after midnight,
    // yesterday's; which one is not asked here (that would hold the day): its rows are counted
    // once, under the later of the two that the span has.
    const QDate today = AppClock::now().date();
    for (const QDate& day : {today, today.addDays(-1)}) {
        const auto entry = plan.constFind(day);
        if (entry != plan.cend()) {
            bytes += estimateDay(connection, m_openPath, entry.value(), request);
            break;
        }
    }
    return bytes;
}

QByteArray OperationRecordQuery::run(const Request& request, const std::atomic<bool>* stopping) const
{
    // On a full disk they wait in memory: the answer then goes without them.
    m_recordDay.waitForStored(m_recordsBefore, kStoreWaitMs);
    const DayPlan plan = dayPlan(request.start, request.end);
    ReadOnlyDatabase connection(QStringLiteral("records"));
    QByteArray out("{\"record\":[");
    bool first = true;
    for (auto it = plan.cbegin(); it != plan.cend(); ++it) {
        if (stopping && stopping->load())
            break;
        const QDate day = it.key();
        const QString dayFile = m_dayFolder + QLatin1Char('/') + day.toString(QStringLiteral("yyyy-MM-dd")) + QStringLiteral(".db");
        // Where the day lives is looked at now, not when the query began: a roll may have moved
        // it since. No roll moves it while it is read.
        const RecordDay::Reading reading(m_recordDay);
        appendDay(connection, dayFile, day, it.value(), request, out, first);
        reading.betweenFiles();
        if (day == reading.openDay())
            appendDay(connection, m_openPath, day, it.value(), request, out, first);
    }
    out.append("]}");
    return out;
}
