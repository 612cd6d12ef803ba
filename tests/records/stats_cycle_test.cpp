// The statistics model fed by the simulated detection cycle of the main window.
#include "base/appclock.h"
#include "detection/mojuwizard.h"
#include "records/resstatisticsparam.h"
#include "support/fakecommandrunner.h"
#include "support/testenv.h"
#include "stats_support.h"

#include <QJsonArray>
#include <gtest/gtest.h>

#include <memory>

namespace {

class StatsCycle : public ::testing::Test {
protected:
    void SetUp() override
    {
        qputenv("MOULD_SIM_CYCLE_MS", "3600000");   // the test runs the cycles itself
        qputenv("MOULD_SIM_NG_EVERY", "2");
        qputenv("MOULD_SIM_CAMERAS", "2");
        AppClock::setNow(QDateTime(QDate(2024, 5, 6), QTime(9, 30)));
        // The main window creates, starts and feeds the statistics model.
        window = std::make_unique<MoJuWizard>(nullptr, 0);
        statistics = ResStatisticsParam::getInstance();
    }
    void TearDown() override
    {
        window.reset();
        AppClock::setOffsetMs(0);
    }

    FakeCommandRunner runner;
    std::unique_ptr<MoJuWizard> window;
    ResStatisticsParam* statistics = nullptr;
};

TEST_F(StatsCycle, EveryVerdictOfTheCycleIsCountedAndStored)
{
    for (int i = 0; i < 4; ++i)
        window->Run();
    // The start-up load has already written the zeroed day into the fresh file.
    const QString before = StatsTest::readDayText("ResStatistics.db");
    statistics->checkDate();
    ASSERT_TRUE(TestEnv::waitUntil([&before] { return StatsTest::readDayText("ResStatistics.db") != before; }));
    const QJsonObject day = StatsTest::readDay("ResStatistics.db");
    EXPECT_EQ(day.value("date").toString(), "2024-05-06");
    const QJsonObject group = day.value("groups").toArray().at(0).toObject();
    EXPECT_EQ(group.value("groupName").toString(), gpWPara->getCurGroupName());
    const QJsonArray datas = group.value("datas").toArray();
    ASSERT_EQ(datas.size(), 3);
    // Slot 1 (09:00-10:00): cycle 1 OK, cycle 2 NG; the alarm of cycle 2 holds cycles 3 and 4.
    const QJsonObject allCycle = datas.at(2).toObject().value("data").toArray().last().toObject();
    EXPECT_EQ(allCycle.value("detectID").toInt(), -1);
    EXPECT_EQ(allCycle.value("OK").toArray().at(1).toInt(), 1);
    EXPECT_EQ(allCycle.value("NG").toArray().at(1).toInt(), 1);
    // Every step of every camera saw both verdicts.
    for (int c = 0; c < 2; ++c) {
        const QJsonArray data = datas.at(c).toObject().value("data").toArray();
        for (const QJsonValue& step : data) {
            const QJsonObject record = step.toObject();
            EXPECT_EQ(record.value("OK").toArray().at(1).toInt() + record.value("NG").toArray().at(1).toInt(), 2);
        }
    }
}

TEST_F(StatsCycle, ANewStartReadsTheFilesOfItsOwnWorkingDirectory)
{
    // The instance served the previous test in another folder; nothing of it is here.
    ASSERT_EQ(statistics->today().groups.size(), 1u);
    const CountDetect& allCycle = statistics->today().groups[0].allCameras.cycle;
    EXPECT_EQ(allCycle.day.OK + allCycle.day.NG, 0);
    window->Run();
    EXPECT_EQ(statistics->today().groups[0].allCameras.cycle.day.OK, 1);
}

}  // namespace
