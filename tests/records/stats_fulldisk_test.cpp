// The statistics database on a full disk: a healthy file stays, the day waits in memory and is
// stored once there is room. The outer test re-runs the OnFullStatisticsDisk cases in a private
// mount namespace with a small filled tmpfs as working folder; anywhere else they skip.
#include "netcore/nettestutil.h"
#include "records/resstatisticsdatabase.h"
#include "records/resstatisticsparam.h"
#include "stats_support.h"
#include "support/fakecommandrunner.h"
#include "support/fulldisk.h"
#include "support/testenv.h"

#include <QDir>
#include <gtest/gtest.h>


namespace {

QJsonObject dayJson(int okAtSlot2)
{
    CountGroupList list;
    list.date = "2024-05-06";
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
    FullDisk::expectInnerTestsPass("OnFullStatisticsDisk.*", 1);
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
