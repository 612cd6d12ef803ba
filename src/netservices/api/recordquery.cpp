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
#include <QVector>
#include <QtDebug>

#include <algorithm>
#include <memory>

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
    return where;
}

// In time order: a day that came twice (the clock was set back) has its second rows after its
// later ones in the file. Rows of one second keep the order they were stored in.
QString selectFor(const OperationRecordQuery::Request& request)
{
    return QStringLiteral("SELECT recordtime, recordpassword, remarks, recordtype") + whereFor(request) +
           QStringLiteral(" ORDER BY recordtime, rowid;");
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
           whereFor(request) + QLatin1Char(';');
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

// One row of the reply, as the database holds it.
struct Row {
    QString time;   // "hh.mm.ss"
    QString password;
    QString remarks;
    QString type;
};

// The bytes a row takes in the reply.
qint64 rowBytes(const Row& row)
{
    QByteArray texts;
    for (const QString* text : {&row.password, &row.remarks, &row.type})
        appendJsonString(texts, *text);
    return kRowFrameBytes - 3 * 2 + texts.size();
}

// The records still waiting for the disk that the request asks for, as the rows they will be,
// in time order.
QVector<Row> waitingRows(const QList<OperationRecord>& records, const QPair<QTime, QTime>& span,
                         const OperationRecordQuery::Request& request)
{
    const QString from = span.first.toString(kRowTimeFormat);
    const QString to = span.second.toString(kRowTimeFormat);
    QVector<Row> rows;
    for (const OperationRecord& record : records) {
        Row row{record.moment.toString(kRowTimeFormat), record.password, record.remarks, record.type};
        if (row.time < from || row.time > to || (request.byType && row.type != request.type)
            || (request.byOperator && row.password != request.operatorName))
            continue;
        rows.append(std::move(row));
    }
    // The clock set back while they waited: they came in another order than their times.
    std::stable_sort(rows.begin(), rows.end(), [](const Row& a, const Row& b) { return a.time < b.time; });
    return rows;
}

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

// The matching rows of one day from one place (a file, or the records still waiting), in time
// order, one at a time. A file's rows are read as they are taken; the file is closed when this
// goes.
class DayRows {
public:
    DayRows() = default;
    DayRows(const DayRows&) = delete;
    DayRows& operator=(const DayRows&) = delete;
    ~DayRows()
    {
        m_query.reset();
        if (m_connection)
            m_connection->close();
    }

    // A file that is not there holds no rows; one that does not open or whose query fails holds
    // none either, with a warning (the day's other places and the other days are still read).
    void read(ReadOnlyDatabase& connection, const QString& path, const QPair<QTime, QTime>& span,
              const OperationRecordQuery::Request& request)
    {
        if (!QFileInfo(path).isFile())
            return;
        m_connection = &connection;
        if (!connection.open(path)) {
            qWarning().noquote() << "Cannot open database:" << connection.errorText();
            return;
        }
        m_query = std::make_unique<QSqlQuery>(connection.db());
        // A day's sort must not need room on a disk that may be full; it is no larger than the
        // day's part of the reply, whose room is held before the query runs.
        m_query->exec(QStringLiteral("PRAGMA temp_store = MEMORY;"));
        m_query->setForwardOnly(true);
        m_query->prepare(selectFor(request));
        bindFilters(*m_query, span, request);
        if (!m_query->exec()) {
            qWarning().noquote() << "查询失败：" << m_query->lastError().text();
            m_query.reset();
            return;
        }
        next();
    }

    void take(QVector<Row> rows)
    {
        m_rows = std::move(rows);
        m_index = 0;
        next();
    }

    bool atEnd() const { return m_atEnd; }
    const Row& row() const { return m_row; }

    void next()
    {
        if (m_query) {
            m_atEnd = !m_query->next();
            if (m_atEnd) {
                if (m_query->lastError().isValid())
                    qWarning().noquote() << "查询失败：" << m_query->lastError().text();
                return;
            }
            m_row = {m_query->value(0).toString(), m_query->value(1).toString(), m_query->value(2).toString(),
                     m_query->value(3).toString()};
            return;
        }
        m_atEnd = m_index >= m_rows.size();
        if (!m_atEnd)
            m_row = std::move(m_rows[m_index++]);
    }

private:
    ReadOnlyDatabase* m_connection = nullptr;
    std::unique_ptr<QSqlQuery> m_query;
    QVector<Row> m_rows;
    int m_index = 0;
    Row m_row;
    bool m_atEnd = true;
};

// Appends the rows of one day from all its places in time order, each row preceded by a comma
// when `out` already holds one. At one second, the earlier place (in the order given) comes
// first: the day file holds what came before the open database, the waiting records come last.
void appendDay(QByteArray& out, bool& first, const QDate& day, std::initializer_list<DayRows*> places)
{
    const QByteArray datePrefix = day.toString(QStringLiteral("yyyy-MM-dd ")).toLatin1();
    for (;;) {
        DayRows* earliest = nullptr;
        for (DayRows* place : places) {
            if (!place->atEnd() && (!earliest || place->row().time < earliest->row().time))
                earliest = place;
        }
        if (!earliest)
            return;
        const Row& row = earliest->row();
        out.append(first ? "[" : ",[");
        first = false;
        appendMoment(out, datePrefix, day, row.time);
        for (const QString* text : {&row.password, &row.remarks, &row.type}) {
            out.append(',');
            appendJsonString(out, *text);
        }
        out.append(']');
        earliest->next();
    }
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

bool OperationRecordQuery::parse(const QJsonObject& body, Request* request, QJsonObject* refusal)
{
    request->start = HttpApiReplies::requestTime(body.value(QStringLiteral("datetime_start")).toString());
    request->end = HttpApiReplies::requestTime(body.value(QStringLiteral("datetime_end")).toString());
    if (!HttpApiReplies::isAnswerableSpan(request->start, request->end, refusal))
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

OperationRecordQuery::OperationRecordQuery(const QString& openDatabasePath, const RecordDay& recordDay)
    : m_openPath(openDatabasePath),
      m_dayFolder(QFileInfo(openDatabasePath).path() + QStringLiteral("/RECORD")),
      m_recordDay(recordDay)
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
    // The records still waiting for the disk, a moment's view of them.
    QMap<QDate, QList<OperationRecord>> waiting;
    for (const OperationRecord& record : m_recordDay.waitingRecords())
        waiting[record.moment.date()].append(record);
    for (auto it = waiting.cbegin(); it != waiting.cend(); ++it) {
        const auto entry = plan.constFind(it.key());
        if (entry == plan.cend())
            continue;
        for (const Row& row : waitingRows(it.value(), entry.value(), request))
            bytes += rowBytes(row);
    }
    return bytes;
}

QByteArray OperationRecordQuery::run(const Request& request, const std::atomic<bool>* stopping) const
{
    const DayPlan plan = dayPlan(request.start, request.end);
    ReadOnlyDatabase dayFiles(QStringLiteral("records"));
    ReadOnlyDatabase openDatabase(QStringLiteral("records-open"));
    QByteArray out("{\"record\":[");
    bool first = true;
    for (auto it = plan.cbegin(); it != plan.cend(); ++it) {
        if (stopping && stopping->load())
            break;
        const QDate day = it.key();
        const QString dayFile = m_dayFolder + QLatin1Char('/') + day.toString(QStringLiteral("yyyy-MM-dd")) + QStringLiteral(".db");
        // Where the day lives is looked at now, not when the query began: a roll may have moved
        // it since. No roll moves it and no record is stored while it is read.
        const RecordDay::Reading reading(m_recordDay);
        DayRows fromFile;
        DayRows fromOpenDatabase;
        DayRows stillWaiting;
        fromFile.read(dayFiles, dayFile, it.value(), request);
        reading.betweenFiles();
        if (day == reading.openDay())
            fromOpenDatabase.read(openDatabase, m_openPath, it.value(), request);
        // On a full disk they may wait for minutes: they are part of the day all the same.
        stillWaiting.take(waitingRows(reading.waitingOf(day), it.value(), request));
        appendDay(out, first, day, {&fromFile, &fromOpenDatabase, &stillWaiting});
    }
    out.append("]}");
    return out;
}
