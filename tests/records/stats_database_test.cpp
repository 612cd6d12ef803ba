// The statistics database on real SQLite files: template, store, archive, older layout, and
// the broken-file path.
#include "base/appclock.h"
#include "base/storewriter.h"
#include "netcore/nettestutil.h"
#include "records/resstatisticsdatabase.h"
#include "records/resstatisticsparam.h"
#include "support/fakecommandrunner.h"
#include "support/testenv.h"
#include "stats_support.h"
#include "vision/wizardpara.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <gtest/gtest.h>

namespace {

QJsonObject dayJson(const QString& date, int okAtSlot2)
{
    CountGroupList list;
    list.date = date;
    CountGroup group;
    ResStatisticsParam::initStuCountGroup(group, "A");
    group.allCameras.cycle.OK[2] = okAtSlot2;
    list.groups.push_back(group);
    return ResStatisticsParam::StuCountToJson(list);
}

int rowCount(const QString& path, const QString& table = QStringLiteral("resstatistics"))
{
    int count = -1;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase("QSQLITE", "statstest_count");
        db.setDatabaseName(path);
        if (db.open()) {
            QSqlQuery query(db);
            if (query.exec("select count(*) from " + table) && query.next())
                count = query.value(0).toInt();
        }
        db.close();
    }
    QSqlDatabase::removeDatabase("statstest_count");
    return count;
}

class StatsDatabase : public StatsTest::ShapeTest {
protected:
    FakeCommandRunner m_runner;
};

TEST_F(StatsDatabase, FreshCheckoutGetsTemplateAndCurrentFile)
{
    ResStatisticsDatabase database(nullptr);
    EXPECT_EQ(rowCount("ResStatisticsNULL.db"), 0);
    EXPECT_EQ(rowCount("ResStatistics.db"), 0);
    EXPECT_EQ(m_runner.count("reboot"), 0);
    EXPECT_TRUE(m_runner.commands().isEmpty());
}

TEST_F(StatsDatabase, StoreInsertsOnceThenReplaces)
{
    ResStatisticsDatabase database(nullptr);
    database.slotSaveRecord("2024-05-06", dayJson("2024-05-06", 1), false);
    database.slotSaveRecord("2024-05-06", dayJson("2024-05-06", 4), false);
    EXPECT_EQ(rowCount("ResStatistics.db"), 1);
    const QJsonObject stored = StatsTest::readDay("ResStatistics.db");
    EXPECT_EQ(stored, dayJson("2024-05-06", 4));
    EXPECT_FALSE(QDir("ResStatistics").exists());
}

TEST_F(StatsDatabase, StoreCreatesAMissingTable)
{
    // An old template without the table: the store must not fail every minute.
    ASSERT_TRUE(StatsTest::execOn("ResStatisticsNULL.db", {"CREATE TABLE other (x INTEGER)"}));
    ResStatisticsDatabase database(nullptr);
    QFile::remove("ResStatistics.db");
    ASSERT_TRUE(QFile::copy("ResStatisticsNULL.db", "ResStatistics.db"));
    database.slotSaveRecord("2024-05-06", dayJson("2024-05-06", 1), false);
    EXPECT_EQ(StatsTest::readDay("ResStatistics.db"), dayJson("2024-05-06", 1));
}

TEST_F(StatsDatabase, MoveArchivesTheDayAndReplacesAnOlderArchive)
{
    ResStatisticsDatabase database(nullptr);
    database.slotSaveRecord("2024-05-06", dayJson("2024-05-06", 3), true);
    EXPECT_EQ(StatsTest::readDay("ResStatistics/2024-05-06.db"), dayJson("2024-05-06", 3));
    EXPECT_EQ(rowCount("ResStatistics.db"), 0);

    database.slotSaveRecord("2024-05-06", dayJson("2024-05-06", 8), true);
    EXPECT_EQ(StatsTest::readDay("ResStatistics/2024-05-06.db"), dayJson("2024-05-06", 8));
    EXPECT_EQ(QDir("ResStatistics").entryList(QDir::Files), QStringList{"2024-05-06.db"});
    EXPECT_TRUE(m_runner.commands().isEmpty()) << qPrintable(m_runner.commands().join('\n'));
}

TEST_F(StatsDatabase, MoveKeepsTheDayWhenTheCurrentFileIsBroken)
{
    ResStatisticsDatabase database(nullptr);
    TestEnv::writeText("ResStatistics.db", QByteArray(4096, 'x'));
    database.slotSaveRecord("2024-05-06", dayJson("2024-05-06", 5), true);
    // Archived from the template instead, and today's file renewed.
    EXPECT_EQ(StatsTest::readDay("ResStatistics/2024-05-06.db"), dayJson("2024-05-06", 5));
    EXPECT_EQ(rowCount("ResStatistics.db"), 0);
}

// An ended day whose archive cannot be written yet (here a file stands where its folder goes; on
// the panel, a disk without room for the copy) stays in today's file, its only copy on the
// disk, while the new day waits in memory. Once the archive can be written it is, without any
// further store coming (the statistics switch may be off), and the new day takes the file.
TEST_F(StatsDatabase, AnEndedDayWhoseArchiveWaitsKeepsTodaysFileUntilItIsArchived)
{
    ResStatisticsDatabase database(nullptr);
    TestEnv::writeText("ResStatistics", "a file where the folder should be");
    database.slotSaveRecord("2024-05-06", dayJson("2024-05-06", 5), true);
    EXPECT_EQ(database.waitingArchives(), QStringList{"2024-05-06"});
    database.slotSaveRecord("2024-05-07", dayJson("2024-05-07", 1), false);
    database.slotSaveRecord("2024-05-07", dayJson("2024-05-07", 2), false);
    EXPECT_EQ(StatsTest::readDay("ResStatistics.db"), dayJson("2024-05-06", 5));

    ASSERT_TRUE(QFile::remove("ResStatistics"));
    ASSERT_TRUE(TestEnv::waitUntil(
        [] { return StatsTest::readDay("ResStatistics.db") == dayJson("2024-05-07", 2); }, 20000));
    EXPECT_EQ(StatsTest::readDay("ResStatistics/2024-05-06.db"), dayJson("2024-05-06", 5));
    EXPECT_TRUE(database.waitingArchives().isEmpty());
    EXPECT_EQ(QDir("ResStatistics").entryList(QDir::Files), QStringList{"2024-05-06.db"});

    // Archived once only: a later roll of the same date is not overwritten by the old day.
    database.slotSaveRecord("2024-05-06", dayJson("2024-05-06", 9), true);
    database.slotSaveRecord("2024-05-07", dayJson("2024-05-07", 3), false);
    EXPECT_EQ(StatsTest::readDay("ResStatistics/2024-05-06.db"), dayJson("2024-05-06", 9));
}

// The stop tries again, for a bounded time, what waits: stored when it can be by then, else
// every day that does not reach the disk is named in an error line.
TEST_F(StatsDatabase, TheStopStoresTheWaitingDaysOrNamesWhatIsLost)
{
    ResStatisticsDatabase database(nullptr);
    TestEnv::writeText("ResStatistics", "a file where the folder should be");
    database.slotSaveRecord("2024-05-06", dayJson("2024-05-06", 5), true);
    database.slotSaveRecord("2024-05-07", dayJson("2024-05-07", 1), false);
    ASSERT_TRUE(QFile::remove("ResStatistics"));
    {
        NetTest::LogCapture log;
        database.finishWaitingStores(StoreWriter::kStopMs);
        EXPECT_EQ(log.lines(QtCriticalMsg), QStringList());
    }
    EXPECT_EQ(StatsTest::readDay("ResStatistics/2024-05-06.db"), dayJson("2024-05-06", 5));
    EXPECT_EQ(StatsTest::readDay("ResStatistics.db"), dayJson("2024-05-07", 1));

    // A folder where the archive goes: the next day cannot be archived before the stop either.
    ASSERT_TRUE(QDir().mkpath("ResStatistics/2024-05-07.db"));
    database.slotSaveRecord("2024-05-07", dayJson("2024-05-07", 4), true);
    database.slotSaveRecord("2024-05-08", dayJson("2024-05-08", 1), false);
    NetTest::LogCapture log;
    database.finishWaitingStores(300);
    const QString errors = log.lines(QtCriticalMsg).join('\n');
    EXPECT_TRUE(errors.contains("statistics day 2024-05-07 could not be archived before the stop; ResStatistics.db "
                                "keeps it as last stored and the next start archives it"))
        << errors.toStdString();
    EXPECT_TRUE(errors.contains("statistics day 2024-05-08 could not be stored before the stop and is lost"))
        << errors.toStdString();
    EXPECT_EQ(StatsTest::readDay("ResStatistics.db"), dayJson("2024-05-07", 4));
}

TEST_F(StatsDatabase, OlderLayoutIsConvertedWithoutTouchingTheArchive)
{
    ResStatisticsDatabase database(nullptr);
    QDir().mkpath("ResStatistics");
    const QString path = "ResStatistics/2023-01-02.db";
    QString thirty;
    for (int i = 1; i <= 30; ++i)
        thirty += QString::number(i) + ' ';
    ASSERT_TRUE(StatsTest::execOn(path, {StatsTest::createTable(),
                                         "INSERT INTO resstatistics VALUES ('C0_D1', '1 2 3', '')",
                                         "INSERT INTO resstatistics VALUES ('C8_D8', '" + thirty + "', '0 0 7')"}));
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    const QByteArray bytes = file.readAll();
    file.close();
    QJsonObject json;
    database.loadCountFromJson(path, json);
    EXPECT_EQ(json.value("date").toString(), "2023-01-02");
    const QJsonObject group = json.value("groups").toArray().at(0).toObject();
    EXPECT_EQ(group.value("groupName").toString(), "default");
    const QJsonArray datas = group.value("datas").toArray();
    const QJsonArray step1 = datas.at(0).toObject().value("data").toArray().at(1).toObject().value("OK").toArray();
    EXPECT_EQ(step1.at(0).toInt(), 1);
    EXPECT_EQ(step1.at(2).toInt(), 3);
    EXPECT_EQ(step1.at(3).toInt(), 0);
    EXPECT_EQ(step1.size(), 24);
    const QJsonObject allCycle = datas.at(2).toObject().value("data").toArray().at(2).toObject();
    EXPECT_EQ(allCycle.value("OK").toArray().size(), 24);
    EXPECT_EQ(allCycle.value("OK").toArray().at(23).toInt(), 24);
    EXPECT_EQ(allCycle.value("NG").toArray().at(2).toInt(), 7);
    // Nothing but the day roll writes an archive.
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    EXPECT_EQ(file.readAll(), bytes);
}

TEST_F(StatsDatabase, MissingDayIsNotCreatedByLoading)
{
    ResStatisticsDatabase database(nullptr);
    QJsonObject json{{"kept", 1}};
    database.loadCountFromJson("ResStatistics/2020-01-01.db", json);
    EXPECT_EQ(json, (QJsonObject{{"kept", 1}}));
    bool answered = false;
    bool ok = true;
    QObject::connect(&database, &ResStatisticsDatabase::sigLoadFinish, [&](const QJsonObject& loaded, bool result) {
        answered = true;
        ok = result;
        EXPECT_TRUE(loaded.isEmpty());
    });
    database.slotUpdateRecord("ResStatistics/2020-01-01.db");
    EXPECT_TRUE(answered);
    EXPECT_FALSE(ok);
    EXPECT_FALSE(QFile::exists("ResStatistics/2020-01-01.db"));
}

TEST_F(StatsDatabase, GarbageCurrentFileIsKeptAsideAndTheDayGoesOn)
{
    ResStatisticsDatabase::ensureTemplate();
    const QByteArray garbage = QByteArray("\x01\xfe\x7f not a database ").repeated(256);
    TestEnv::writeText("ResStatistics.db", garbage);
    AppClock::setNow(QDateTime(QDate(2024, 5, 6), QTime(14, 3, 59)));

    ResStatisticsDatabase database(nullptr);
    EXPECT_TRUE(m_runner.commands().isEmpty()) << qPrintable(m_runner.commands().join('\n'));
    QFile kept("ResStatistics.db.broken-20240506140359");
    ASSERT_TRUE(kept.open(QIODevice::ReadOnly));
    EXPECT_EQ(kept.readAll(), garbage);
    EXPECT_EQ(rowCount("ResStatistics.db"), 0);

    database.slotSaveRecord("2024-05-06", dayJson("2024-05-06", 2), false);
    EXPECT_EQ(StatsTest::readDay("ResStatistics.db"), dayJson("2024-05-06", 2));

    // A database whose table cannot take the day (its names are not unique) goes aside too.
    ASSERT_TRUE(QFile::remove("ResStatistics.db"));
    ASSERT_TRUE(StatsTest::execOn("ResStatistics.db", {"CREATE TABLE resstatistics (name TEXT, value1 TEXT, value2 TEXT)"}));
    ResStatisticsDatabase again(nullptr);
    EXPECT_TRUE(QFile::exists("ResStatistics.db.broken-20240506140359-1"));
    again.slotSaveRecord("2024-05-06", dayJson("2024-05-06", 3), false);
    EXPECT_EQ(StatsTest::readDay("ResStatistics.db"), dayJson("2024-05-06", 3));

    // A database of something else is not the statistics file with a table added beside it.
    ASSERT_TRUE(QFile::remove("ResStatistics.db"));
    ASSERT_TRUE(StatsTest::execOn("ResStatistics.db", {"CREATE TABLE RECORD (recordtime TEXT, remarks TEXT)",
                                                       "INSERT INTO RECORD VALUES ('08.00.00', 'kept')"}));
    ResStatisticsDatabase third(nullptr);
    EXPECT_EQ(rowCount("ResStatistics.db.broken-20240506140359-2", "RECORD"), 1);
    EXPECT_EQ(rowCount("ResStatistics.db"), 0);
}

TEST_F(StatsDatabase, CurrentFileThatDoesNotOpenAsksForAReboot)
{
    ASSERT_TRUE(QDir().mkpath("ResStatistics.db"));
    ResStatisticsDatabase database(nullptr);   // offscreen: no box waits for a press
    EXPECT_EQ(m_runner.count("reboot"), 1);
    EXPECT_TRUE(QFileInfo("ResStatistics.db").isDir());
}

TEST_F(StatsDatabase, RemoveSuffix)
{
    EXPECT_EQ(ResStatisticsDatabase::removeSuffix("./ResStatistics/2024-01-10.db"), "2024-01-10");
    EXPECT_EQ(ResStatisticsDatabase::removeSuffix("./ResStatistics.db"), "ResStatistics");
    EXPECT_EQ(ResStatisticsDatabase::removeSuffix("plain"), "plain");
}

}  // namespace
