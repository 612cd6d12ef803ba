#include "base/appclock.h"
#include "base/lanstr.h"
#include "config/wizardparawidget.h"
#include "detection/counters.h"
#include "detection/mojuwizard.h"
#include "records/copy2movedisk.h"
#include "records/resstatisticsparam.h"
#include "records/screen_support.h"
#include "support/fakecommandrunner.h"
#include "widgets/indexbutton.h"
#include "widgets/publictools_widget.h"

#include <QPushButton>
#include <QTest>

#include <gtest/gtest.h>

#include <memory>

namespace {

class SettingsAccept : public ::testing::Test {
protected:
    void SetUp() override
    {
        qputenv("MOULD_SIM_CYCLE_MS", "3600000");
        qputenv("MOULD_SIM_NG_EVERY", "0");
        window = std::make_unique<MoJuWizard>(nullptr, 0);
    }
    void TearDown() override
    {
        window.reset();
        Copy2MoveDisk::destroyInstance();
    }

    FakeCommandRunner runner;
    std::unique_ptr<MoJuWizard> window;
    WizardParaWidget page;
};

}  // namespace

TEST_F(SettingsAccept, DaysAndTheStickSwitchReachTheCopier)
{
    Copy2MoveDisk* copier = Copy2MoveDisk::getInstance();
    ASSERT_FALSE(copier->isRunning());
    gpWParaBak->days = 5;
    gpWParaBak->useDiskSaveImage = 1;
    page.accept();
    EXPECT_EQ(copier->days(), 5);
    EXPECT_TRUE(copier->isRunning());
    EXPECT_EQ(gpWPara->days, 5);

    WizardPara stored;
    ASSERT_TRUE(stored.load());
    EXPECT_EQ(stored.days, 5);
    EXPECT_EQ(stored.useDiskSaveImage, 1);

    gpWParaBak->useDiskSaveImage = 0;
    page.accept();
    EXPECT_FALSE(copier->isRunning());
}

TEST_F(SettingsAccept, StatisticsSwitchStartsAndStopsTheDayTimer)
{
    ResStatisticsParam* statistics = ResStatisticsParam::getInstance();
    ASSERT_TRUE(statistics->isTimerActive());
    gpWParaBak->isUseStatistics = 0;
    page.accept();
    EXPECT_FALSE(statistics->isTimerActive());
    gpWParaBak->isUseStatistics = 1;
    page.accept();
    EXPECT_TRUE(statistics->isTimerActive());
}

TEST_F(SettingsAccept, MoreStepsGrowTheStatisticsOnlyForTheConfigurableMachine)
{
    ResStatisticsParam* statistics = ResStatisticsParam::getInstance();
    window->Run();   // today's group exists
    const auto steps = [&] { return statistics->today().groups[0].cameras[0].steps.size(); };
    ASSERT_EQ(steps(), 2);

    gpWParaBak->detectNum = 4;
    page.accept();
    EXPECT_EQ(steps(), 2);

    gpWParaBak->machineType = 3;
    page.accept();
    EXPECT_EQ(steps(), 4);
}

TEST_F(SettingsAccept, ASwitchedGroupCountsFromTheNextResult)
{
    ResStatisticsParam* statistics = ResStatisticsParam::getInstance();
    window->Run();
    page.setCurrentParaGroup("B");
    EXPECT_EQ(gpWPara->getCurGroupName(), "B");
    EXPECT_EQ(statistics->getCurGroupName(), "B");
    window->Run();
    ASSERT_EQ(statistics->today().groups.size(), 2u);
    EXPECT_EQ(statistics->today().groups[1].groupName, "B");
    EXPECT_EQ(statistics->today().groups[1].allCameras.cycle.day.OK, 1);
}

// The page covers the screen like the other pages, so nothing of the main window (its buttons
// least of all) can be touched beside it.
TEST_F(SettingsAccept, TheSettingsButtonShowsThePageOverTheWholeScreen)
{
    initLanStr();
    window->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(window.get()));
    window->findChild<IndexButton*>()->settingsButton()->click();
    WizardParaWidget* shown = window->settingsPage();
    ASSERT_TRUE(TestEnv::waitUntil([shown] { return shown->isVisible(); }, 2000));
    EXPECT_EQ(shown->geometry(), QRect(0, 0, gShowW, gShowH));
    EXPECT_TRUE(ScreenTest::saveShot(shown, "settings_page"));
    shown->findChild<QPushButton*>("return")->click();
    EXPECT_FALSE(shown->isVisible());
}
