// The statistics database on a full disk: a healthy file stays, the day (and an ended day's
// archive) waits in memory and is stored once there is room, or named as lost at the stop. The outer test re-runs the OnFullStatisticsDisk cases in a private
// mount namespace with a small filled tmpfs as working folder; anywhere else they skip.
#include "netcore/nettestutil.h"
#include "records/resstatisticsdatabase.h"
#include "records/resstatisticsparam.h"
#include "stats_support.h"
#include "support/fakecommandrunner.h"
#include "support/fulldisk.h"
#include "support/testenv.h"

#include <QDir>
#include <QFile>
#include <gtest/gtest.h>


namespace {

QJsonObject dayJson(int okAtSlot2, const QString& date = "2024-05-06")
{
    CountGroupList list;
    list.date = date;
    CountGroup group;
    ResStatisticsParam::initStuCountGroup(group, "A");
    group.allCameras.cycle.OK[2] = okAtSlot2;
    list.groups.push_back(group);
    return ResStatisticsParam::StuCountToJson(list);
}

class OnFullStatisticsDisk : public StatsTest::ShapeTest {
protected:
    void SetUp() override
    {
        ShapeTest::SetUp();
        if (!FullDisk::inPrivateMounts())
            GTEST_SKIP() << "runs only inside the private mount namespace of StatisticsFullDisk";
        if (!FullDisk::mountSmallDisk(disk, 256))
            GTEST_SKIP() << "no tmpfs here";
        QDir::setCurrent(disk);   // the statistics files are relative to the working folder
    }
    void TearDown() override
    {
        QDir::setCurrent(m_workDir);
        FullDisk::unmount(disk);
        ShapeTest::TearDown();
    }

    const QString m_workDir = TestEnv::workDir();
    const QString disk = m_workDir + "/disk";
    FakeCommandRunner m_runner;
};

}  // namespace

TEST(StatisticsFullDisk, RunInAPrivateMountNamespace)
{
    FullDisk::expectInnerTestsPass("OnFullStatisticsDisk.*", 2);
}

TEST_F(OnFullStatisticsDisk, AHealthyFileStaysAndTheDayIsStoredOnceThereIsRoom)
{
    ASSERT_TRUE(ResStatisticsDatabase::ensureTemplate());
    ASSERT_TRUE(StatsTest::writeDayFile("ResStatistics.db", dayJson(1)));
    ASSERT_TRUE(FullDisk::fill(disk));

    NetTest::LogCapture log;
    ResStatisticsDatabase database(nullptr);
    for (int minute = 2; minute <= 4; ++minute)
        database.slotSaveRecord("2024-05-06", dayJson(minute), false);
    EXPECT_EQ(m_runner.count("reboot"), 0);
    EXPECT_EQ(QDir().entryList({"*.broken-*"}, QDir::Files), QStringList());
    EXPECT_EQ(StatsTest::readDay("ResStatistics.db"), dayJson(1));
    // One error when the stores start failing, not one a minute.
    EXPECT_EQ(log.lines(QtCriticalMsg).size(), 1) << log.lines(QtCriticalMsg).join('\n').toStdString();

    FullDisk::release(disk);
    database.slotSaveRecord("2024-05-06", dayJson(5), false);
    EXPECT_EQ(StatsTest::readDay("ResStatistics.db"), dayJson(5));
    EXPECT_EQ(log.lines(QtCriticalMsg).size(), 1);
    EXPECT_TRUE(log.lines(QtInfoMsg).join('\n').contains("stored again"));
}

TEST_F(OnFullStatisticsDisk, AnEndedDayWhoseArchiveDoesNotFitKeepsTodaysFileUntilThereIsRoom)
{
    ASSERT_TRUE(ResStatisticsDatabase::ensureTemplate());
    ASSERT_TRUE(StatsTest::writeDayFile("ResStatistics.db", dayJson(1)));
    ResStatisticsDatabase database(nullptr);
    ASSERT_TRUE(FullDisk::fill(disk));

    database.slotSaveRecord("2024-05-06", dayJson(2), true);
    ASSERT_EQ(database.waitingArchives(), QStringList{"2024-05-06"});
    database.slotSaveRecord("2024-05-07", dayJson(1, "2024-05-07"), false);
    EXPECT_EQ(StatsTest::readDay("ResStatistics.db").value("date").toString(), "2024-05-06");

    // Room again, and no store comes (the statistics switch is off): the day is archived all
    // the same, then the new day takes today's file.
    FullDisk::release(disk);
    ASSERT_TRUE(TestEnv::waitUntil(
        [] { return StatsTest::readDay("ResStatistics.db") == dayJson(1, "2024-05-07"); }, 20000));
    EXPECT_EQ(StatsTest::readDay("ResStatistics/2024-05-06.db"), dayJson(2));

    // Full at the stop: the line names the day that has no archive, and today's file keeps it.
    ASSERT_TRUE(FullDisk::fill(disk));
    database.slotSaveRecord("2024-05-07", dayJson(3, "2024-05-07"), true);
    NetTest::LogCapture log;
    database.finishWaitingStores(300);
    const QString errors = log.lines(QtCriticalMsg).join('\n');
    EXPECT_TRUE(errors.contains("statistics day 2024-05-07 could not be archived before the stop")) << errors.toStdString();
    EXPECT_EQ(StatsTest::readDay("ResStatistics.db").value("date").toString(), "2024-05-07");
    EXPECT_FALSE(QFile::exists("ResStatistics/2024-05-07.db"));
}
