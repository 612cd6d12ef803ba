#include "base/appclock.h"
#include "base/sqlconnection.h"
#include "detection/recordstore.h"
#include "netservices/api/recordquery.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QSqlQuery>
#include <QStringList>
#include <QThread>
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

namespace {

const QDate kToday(2026, 3, 10);

struct Row {
    const char* time;
    const char* password;
    const char* remarks;
    const char* type;
};

void writeRows(QSqlDatabase db, const QList<Row>& rows)
{
    QSqlQuery query(db);
    ASSERT_TRUE(query.exec("CREATE TABLE IF NOT EXISTS RECORD (recordtime TEXT, recordpassword TEXT, remarks TEXT, recordtype TEXT)"));
    for (const Row& row : rows) {
        query.prepare("INSERT INTO RECORD VALUES (?, ?, ?, ?)");
        query.addBindValue(QString::fromUtf8(row.time));
        query.addBindValue(QString::fromUtf8(row.password));
        query.addBindValue(QString::fromUtf8(row.remarks));
        query.addBindValue(QString::fromUtf8(row.type));
        ASSERT_TRUE(query.exec());
    }
}

void writeDayFile(const QDate& day, const QList<Row>& rows)
{
    QDir().mkpath("RECORD");
    SqlConnection file("dayfile", "RECORD/" + day.toString("yyyy-MM-dd") + ".db");
    ASSERT_TRUE(file.isOpen());
    writeRows(file.db(), rows);
}

QStringList flatten(const QJsonObject& reply)
{
    QStringList lines;
    for (const QJsonValue& row : reply.value("record").toArray()) {
        QStringList cells;
        for (const QJsonValue& cell : row.toArray())
            cells << cell.toString();
        lines << cells.join('|');
    }
    return lines;
}

QJsonObject span(const QString& start, const QString& end)
{
    return {{"datetime_start", start}, {"datetime_end", end}};
}

// The query as the API runs it: the body checked, then the open database read as holding
// whatever day the record day says.
QJsonObject runQuery(const QJsonObject& body, const RecordDay& day)
{
    OperationRecordQuery::Request request;
    QJsonObject refusal;
    if (!OperationRecordQuery::parse(body, &request, &refusal))
        return refusal;
    const OperationRecordQuery query("RECORD.db", day);
    QJsonParseError error;
    const QJsonObject reply = QJsonDocument::fromJson(query.run(request), &error).object();
    EXPECT_EQ(error.error, QJsonParseError::NoError) << error.errorString().toStdString();
    return reply;
}

QJsonObject runQuery(const QJsonObject& body, const QDate& openDay = kToday)
{
    const RecordDay day(openDay);
    return runQuery(body, day);
}

// Today's rows in the open record database, as the main window keeps them.
class RecordQueryTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        today = std::make_unique<SqlConnection>("RECORD", "RECORD.db");
        ASSERT_TRUE(today->isOpen());
        writeRows(today->db(), {{"00.30.00", "未登录", "today early", "API"},
                                {"02.00.00", "admin", "today late", "set"}});
    }
    void TearDown() override { AppClock::setOffsetMs(0); }
    std::unique_ptr<SqlConnection> today;
};

}  // namespace

TEST_F(RecordQueryTest, ASpanOverMidnightReadsYesterdaysFileAndTodaysDatabaseEachWithItsOwnDay)
{
    writeDayFile(kToday.addDays(-1), {{"21.59.59", "admin", "too early", "run"},
                                      {"22.00.00", "admin", "evening", "run"},
                                      {"23.59.59", "未登录", "last second", "info"}});
    // A day in the middle without its file gives nothing and breaks nothing.
    EXPECT_EQ(flatten(runQuery(span("2026-03-09 22:00:00", "2026-03-10 01:00:00"))),
              QStringList({"2026-03-09 22:00:00|admin|evening|run", "2026-03-09 23:59:59|未登录|last second|info",
                           "2026-03-10 00:30:00|未登录|today early|API"}));
    EXPECT_EQ(flatten(runQuery(span("2026-03-07 00:00:00", "2026-03-08 23:00:00"))), QStringList());
    EXPECT_TRUE(runQuery(span("2026-03-07 00:00:00", "2026-03-08 23:00:00")).value("record").isArray());
}

TEST_F(RecordQueryTest, TheOpenDatabaseAnswersForTheDayItHoldsBesideAFileOfTheSameDay)
{
    // Past midnight, before the day has rolled: the open database still holds the 10th.
    const QJsonObject overMidnight = span("2026-03-10 00:00:00", "2026-03-11 23:00:00");
    EXPECT_EQ(flatten(runQuery(overMidnight, kToday)).size(), 2);
    EXPECT_TRUE(flatten(runQuery(span("2026-03-11 00:00:00", "2026-03-11 23:00:00"), kToday)).isEmpty());

    // The clock was set back into a day that has its file already: both hold rows of the day,
    // answered together in time order.
    writeDayFile(kToday, {{"01.00.00", "admin", "before the clock went back", "set"}});
    EXPECT_EQ(flatten(runQuery(span("2026-03-10 00:00:00", "2026-03-10 23:00:00"), kToday)),
              QStringList({"2026-03-10 00:30:00|未登录|today early|API",
                           "2026-03-10 01:00:00|admin|before the clock went back|set",
                           "2026-03-10 02:00:00|admin|today late|set"}));
}

// A day's rows live in up to three places: its file, the open database (the clock was set back
// into a day that has its file) and the records still waiting for the disk. Each may hold them
// out of the order of their times (the file takes the second pass of a day after its later
// rows); the answer is in time order, and rows of one second keep the order they came in.
TEST_F(RecordQueryTest, ADayIsAnsweredInTimeOrderWhereverItsRowsLiveAndHoweverTheyCameIn)
{
    writeDayFile(kToday, {{"01.00.00", "admin", "file", "run"},
                          {"23.26.18", "admin", "file late", "run"},
                          {"12.00.20", "admin", "file noon, clock set back", "run"}});
    writeRows(today->db(), {{"12.00.20", "admin", "open noon", "API"}});
    RecordDay day(kToday);
    RecordStore waiting(day);
    const auto record = [](const QDate& date, const QTime& time, const QString& remarks) {
        return RecordStore::Record{QDateTime(date, time), "未登录", remarks, "API"};
    };
    waiting.handOver(record(kToday, QTime(12, 0, 20), "waiting noon"));
    waiting.handOver(record(kToday, QTime(1, 30), "waiting, clock set back"));
    waiting.handOver(record(kToday.addDays(-1), QTime(23, 0), "waiting yesterday"));

    OperationRecordQuery::Request request;
    ASSERT_TRUE(OperationRecordQuery::parse(span("2026-03-09 22:00:00", "2026-03-10 23:59:59"), &request));
    const OperationRecordQuery query("RECORD.db", day);
    const QByteArray reply = query.run(request);
    EXPECT_EQ(flatten(QJsonDocument::fromJson(reply).object()),
              QStringList({"2026-03-09 23:00:00|未登录|waiting yesterday|API",
                           "2026-03-10 00:30:00|未登录|today early|API",
                           "2026-03-10 01:00:00|admin|file|run",
                           "2026-03-10 01:30:00|未登录|waiting, clock set back|API",
                           "2026-03-10 02:00:00|admin|today late|set",
                           "2026-03-10 12:00:20|admin|file noon, clock set back|run",
                           "2026-03-10 12:00:20|admin|open noon|API",
                           "2026-03-10 12:00:20|未登录|waiting noon|API",
                           "2026-03-10 23:26:18|admin|file late|run"}));
    // The room held for the reply counts the waiting records too.
    AppClock::setNow(QDateTime(kToday, QTime(23, 59, 59)));
    EXPECT_NEAR(query.estimateBytes(request), reply.size(), 2);

    // The filters hold for the waiting records as for the stored ones.
    QJsonObject filtered = span("2026-03-10 00:00:00", "2026-03-10 12:00:19");
    filtered.insert("recordtype", "API");
    EXPECT_EQ(flatten(runQuery(filtered, day)),
              QStringList({"2026-03-10 00:30:00|未登录|today early|API",
                           "2026-03-10 01:30:00|未登录|waiting, clock set back|API"}));
}

// The day rolls over after the query began and before it reads that day: the day is read whole
// from where it went.
TEST_F(RecordQueryTest, ADayThatRollsOverWhileTheQueryRunsIsReadWholeFromItsNewPlace)
{
    writeDayFile(kToday.addDays(-1), {{"23.00.00", "admin", "day before", "run"}});
    RecordDay day(kToday);
    bool rolled = false;
    day.setBeforeReadingHook([&] {
        if (rolled)
            return;
        rolled = true;
        RecordDay::Rolling rolling(day);
        today.reset();   // the writer lets go of the open database before it moves it
        ASSERT_TRUE(QFile::rename("RECORD.db", "RECORD/2026-03-10.db"));
        rolling.setOpenDay(kToday.addDays(1));
    });
    EXPECT_EQ(flatten(runQuery(span("2026-03-09 22:00:00", "2026-03-11 01:00:00"), day)),
              QStringList({"2026-03-09 23:00:00|admin|day before|run", "2026-03-10 00:30:00|未登录|today early|API",
                           "2026-03-10 02:00:00|admin|today late|set"}));
    EXPECT_TRUE(rolled);
}

// The day rolls over after the query looked for the day's file and before it reads the open
// database: the roll waits until the day is read, so its rows are not missed in either place.
TEST_F(RecordQueryTest, ARollBetweenTheDayFileAndTheOpenDatabaseWaitsUntilTheDayIsRead)
{
    today.reset();   // the writer's connection is not open while it rolls
    QDir().mkpath("RECORD");
    RecordDay day(kToday);
    std::atomic<bool> rolled{false};
    std::thread roller;
    day.setWhileReadingHook([&] {
        if (roller.joinable())
            return;
        roller = std::thread([&] {
            RecordDay::Rolling rolling(day);
            EXPECT_TRUE(QFile::rename("RECORD.db", "RECORD/2026-03-10.db"));
            rolling.setOpenDay(kToday.addDays(1));
            rolled = true;
        });
        // A roll that did not wait for this reader is done by now; one that waits cannot be.
        for (QDeadlineTimer bound(1000); !rolled && !bound.hasExpired();)
            QThread::msleep(5);
    });
    const QStringList rows = flatten(runQuery(span("2026-03-10 00:00:00", "2026-03-10 23:00:00"), day));
    roller.join();
    EXPECT_TRUE(rolled);
    EXPECT_EQ(rows, QStringList({"2026-03-10 00:30:00|未登录|today early|API", "2026-03-10 02:00:00|admin|today late|set"}));
}

TEST_F(RecordQueryTest, EveryTextComesBackAsItWasStored)
{
    const QString awkward = QString::fromUtf8("引号\"反斜杠\\换行\n制表\t\x01 😀 O'Brien");
    {
        QSqlQuery query(today->db());
        query.prepare("INSERT INTO RECORD VALUES (?, ?, ?, ?)");
        for (const QVariant& value : {QVariant("03.00.00"), QVariant(awkward), QVariant(awkward), QVariant("set")})
            query.addBindValue(value);
        ASSERT_TRUE(query.exec());
        // A time not in the stored form keeps its day and reads as midnight.
        writeRows(today->db(), {{"1x.00.00", "admin", "odd time", "set"}});
    }
    QJsonObject request = span("2026-03-10 00:00:00", "2026-03-10 23:00:00");
    request.insert("recordtype", "set");
    const QJsonArray rows = runQuery(request).value("record").toArray();
    ASSERT_EQ(rows.size(), 3);
    EXPECT_EQ(rows.at(1).toArray(), QJsonArray({"2026-03-10 03:00:00", awkward, awkward, "set"}));
    EXPECT_EQ(rows.at(2).toArray().at(0).toString(), "2026-03-10 00:00:00");
}

TEST_F(RecordQueryTest, FiltersCompareForEqualityWithEmptyOperatorMeaningNotLoggedIn)
{
    writeRows(today->db(), {{"03.00.00", "O'Brien", "quoted", "API"}});
    QJsonObject request = span("2026-03-10 00:00:00", "2026-03-10 23:00:00");

    request.insert("recordtype", "API");
    request.insert("operator", "");
    EXPECT_EQ(flatten(runQuery(request)), QStringList({"2026-03-10 00:30:00|未登录|today early|API"}));

    request.insert("operator", "O'Brien");
    EXPECT_EQ(flatten(runQuery(request)), QStringList({"2026-03-10 03:00:00|O'Brien|quoted|API"}));

    request.insert("operator", "all");
    request.insert("recordtype", "all");
    EXPECT_EQ(flatten(runQuery(request)).size(), 3);
}

TEST_F(RecordQueryTest, UnreadableOrOverlongSpansAreRefusedAndAReversedSpanGivesTheStartDay)
{
    const QJsonObject refused{{"errorstring", "错误的时间格式"}};
    EXPECT_EQ(runQuery(span("2026/03/10 00:00:00", "2026-03-10 01:00:00")), refused);
    EXPECT_EQ(runQuery({{"datetime_start", "2026-03-10 00:00:00"}}), refused);
    const QJsonObject overCap{{"errorstring", "查询时间跨度超过400天"}};
    EXPECT_EQ(runQuery(span("2016-03-10 00:00:00", "2026-03-10 01:00:00")), overCap);
    EXPECT_EQ(runQuery(span("2025-02-02 00:00:00", "2026-03-10 00:00:00")), overCap);   // 401 days
    EXPECT_TRUE(runQuery(span("2025-02-03 00:00:00", "2026-03-10 00:00:00")).contains("record"));

    // Start after end: one day on the start's date, between the start's and the end's time.
    EXPECT_EQ(flatten(runQuery(span("2026-03-10 00:00:00", "2026-03-09 03:00:00"))),
              QStringList({"2026-03-10 00:30:00|未登录|today early|API", "2026-03-10 02:00:00|admin|today late|set"}));

    const auto plan = OperationRecordQuery::dayPlan(QDateTime::fromString("2026-03-08 10:00:00", "yyyy-MM-dd hh:mm:ss"),
                                                    QDateTime::fromString("2026-03-10 09:00:00", "yyyy-MM-dd hh:mm:ss"));
    ASSERT_EQ(plan.size(), 3);
    EXPECT_EQ(plan.value(QDate(2026, 3, 8)), qMakePair(QTime(10, 0), QTime(23, 59, 59)));
    EXPECT_EQ(plan.value(QDate(2026, 3, 9)), qMakePair(QTime(0, 0), QTime(23, 59, 59)));
    EXPECT_EQ(plan.value(QDate(2026, 3, 10)), qMakePair(QTime(0, 0), QTime(9, 0)));
}
