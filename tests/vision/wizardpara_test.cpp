#include "vision/cameramanager.h"
#include "vision/wizardpara.h"

#include <QSqlDatabase>
#include <QSqlQuery>
#include <QVariant>
#include <gtest/gtest.h>

TEST(WizardPara, MissingDatabaseIsCreatedWithDefaults)
{
    WizardPara para;
    ASSERT_TRUE(para.load("PARAM.db"));
    EXPECT_EQ(para.days, 31);
    {
        QSqlDatabase db = QSqlDatabase::addDatabase("QSQLITE", "check");
        db.setDatabaseName("PARAM.db");
        ASSERT_TRUE(db.open());
        QSqlQuery query(db);
        ASSERT_TRUE(query.exec("SELECT value FROM sysparam WHERE name = 'days'"));
        ASSERT_TRUE(query.next());
        EXPECT_EQ(query.value(0).toString(), "31");
        db.close();
    }
    QSqlDatabase::removeDatabase("check");
}

TEST(WizardPara, SavedValuesComeBackAndStepsStayInRange)
{
    WizardPara para;
    para.days = 7;
    para.useDiskSaveImage = 1;
    para.groupName = "模具A";
    para.detectNum = 12;
    ASSERT_TRUE(para.save("PARAM.db"));

    WizardPara loaded;
    ASSERT_TRUE(loaded.load("PARAM.db"));
    EXPECT_EQ(loaded.days, 7);
    EXPECT_EQ(loaded.useDiskSaveImage, 1);
    EXPECT_EQ(loaded.getCurGroupName(), "模具A");
    EXPECT_EQ(loaded.detectNum, kMaxSteps);
}

TEST(WizardPara, UnreadableValueKeepsTheDefault)
{
    WizardPara para;
    ASSERT_TRUE(para.load("PARAM.db"));
    {
        QSqlDatabase db = QSqlDatabase::addDatabase("QSQLITE", "edit");
        db.setDatabaseName("PARAM.db");
        ASSERT_TRUE(db.open());
        QSqlQuery(db).exec("UPDATE sysparam SET value = 'abc' WHERE name = 'picNumNG'");
        QSqlQuery(db).exec("UPDATE sysparam SET value = '9 0 0' WHERE name = 'days'");
        db.close();
    }
    QSqlDatabase::removeDatabase("edit");
    WizardPara loaded;
    ASSERT_TRUE(loaded.load("PARAM.db"));
    EXPECT_EQ(loaded.picNumNG, 500);
    EXPECT_EQ(loaded.days, 9);
}

TEST(CameraManager, ListsTheSimulatedCameras)
{
    qputenv("MOULD_SIM_CAMERAS", "12");
    const CameraManager* manager = CameraManager::getInstance();
    EXPECT_EQ(manager->cameraCount(), kMaxCameras);
    EXPECT_EQ(manager, CameraManager::getInstance());
    EXPECT_EQ(manager->cameraInfoList().first().extraInfo.value("width").toInt(), 640);
}
