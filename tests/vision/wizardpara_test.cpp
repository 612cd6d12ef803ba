#include "base/appclock.h"
#include "netcore/nettestutil.h"
#include "records/stats_support.h"
#include "support/testenv.h"
#include "vision/cameramanager.h"
#include "vision/wizardpara.h"

#include <QDir>
#include <QJsonArray>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QVariant>
#include <gtest/gtest.h>

#include <tuple>

namespace {

// The first column of every row a statement selects.
QJsonArray readRows(const QString& path, const QString& statement)
{
    QJsonArray rows;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase("QSQLITE", "rows");
        db.setDatabaseName(path);
        if (db.open()) {
            QSqlQuery query(db);
            query.exec(statement);
            while (query.next())
                rows.append(query.value(0).toString());
        }
        db.close();
    }
    QSqlDatabase::removeDatabase("rows");
    return rows;
}

}  // namespace

TEST(WizardPara, MissingDatabaseIsCreatedWithDefaults)
{
    WizardPara para;
    ASSERT_TRUE(para.load("PARAM.db"));
    EXPECT_EQ(para.days, 31);
    EXPECT_EQ(readRows("PARAM.db", "SELECT value FROM sysparam WHERE name = 'days'"), QJsonArray({"31"}));
}

TEST(WizardPara, SavedValuesComeBack)
{
    WizardPara para;
    para.days = 7;
    para.useDiskSaveImage = 1;
    para.groupName = "模具A";
    para.detectNum = kMaxSteps;
    ASSERT_TRUE(para.save("PARAM.db"));

    WizardPara loaded;
    ASSERT_TRUE(loaded.load("PARAM.db"));
    EXPECT_EQ(loaded.days, 7);
    EXPECT_EQ(loaded.useDiskSaveImage, 1);
    EXPECT_EQ(loaded.getCurGroupName(), "模具A");
    EXPECT_EQ(loaded.detectNum, kMaxSteps);
}

// A value of another type or outside what the settings screens allow would be acted on as it
// stands (no NG picture below 0 kept, steps that do not exist) or dropped without a word: each is
// warned about by its key and the default is used. The edges of each range are taken.
TEST(WizardPara, UnusableValuesAreWarnedAboutByKeyAndTakeTheDefault)
{
    const WizardPara defaults;
    const QList<std::tuple<const char*, const char*, int WizardPara::*, int>> cases{
        {"picNumNG", "-7", &WizardPara::picNumNG, defaults.picNumNG},
        {"picNumNG", "abc", &WizardPara::picNumNG, defaults.picNumNG},
        {"picNumOK", "10000", &WizardPara::picNumOK, defaults.picNumOK},
        {"detectNum", "99", &WizardPara::detectNum, defaults.detectNum},
        {"detectNum", "0", &WizardPara::detectNum, defaults.detectNum},
        {"days", "0", &WizardPara::days, defaults.days},
        {"days", "7x", &WizardPara::days, defaults.days},
        {"useDiskSaveImage", "-1", &WizardPara::useDiskSaveImage, defaults.useDiskSaveImage},
        {"lostUpanAlarm", "2", &WizardPara::lostUpanAlarm, defaults.lostUpanAlarm},
        {"isUseStatistics", "", &WizardPara::isUseStatistics, defaults.isUseStatistics},
        {"machineType", "4", &WizardPara::machineType, defaults.machineType},
        {"picNumNG", "0", &WizardPara::picNumNG, 0},
        {"picNumOK", "9999", &WizardPara::picNumOK, 9999},
        {"detectNum", "8", &WizardPara::detectNum, 8},
        {"days", "9 0 0", &WizardPara::days, 9},
        {"machineType", "3", &WizardPara::machineType, 3},
    };
    for (const auto& [key, stored, member, expected] : cases) {
        SCOPED_TRACE(std::string(key) + " = " + stored);
        ASSERT_TRUE(TestEnv::setParameter(key, stored));
        NetTest::LogCapture log;
        WizardPara loaded;
        ASSERT_TRUE(loaded.load("PARAM.db"));
        EXPECT_EQ(loaded.*member, expected);
        const bool usable = expected != defaults.*member;
        EXPECT_EQ(log.lines(QtWarningMsg).filter(QString("parameter %1 ").arg(key)).size(), usable ? 0 : 1);
        ASSERT_TRUE(TestEnv::setParameter(key, QString::number(defaults.*member)));
    }
}

// Garbage or a cut file would leave the program on its defaults for good and the file in place:
// it is kept aside byte for byte, named in the log, and a fresh one with the defaults takes its
// place. A file that holds other tables keeps them and gets its own beside.
TEST(WizardPara, DamagedDatabaseIsKeptAsideAndMadeAfresh)
{
    ASSERT_TRUE(StatsTest::execOn("whole.db", {"CREATE TABLE sysparam (name TEXT PRIMARY KEY, value TEXT)",
                                               "INSERT INTO sysparam VALUES ('days', '7')",
                                               "CREATE TABLE padding (x TEXT)",
                                               "INSERT INTO padding VALUES (printf('%.9000c', 'p'))"}));
    const QList<QPair<const char*, QByteArray>> cases{
        {"garbage", QByteArray("\x01\xfe not a database ").repeated(300)},
        {"cut", TestEnv::readBytes("whole.db").left(6000)},
    };
    int second = 0;
    for (const auto& [what, bytes] : cases) {
        SCOPED_TRACE(what);
        TestEnv::writeText("PARAM.db", bytes);
        AppClock::setNow(QDateTime(QDate(2024, 5, 6), QTime(9, 15, second++)));
        const QString kept = AppClock::now().toString("'PARAM.db.broken-'yyyyMMddhhmmss");
        NetTest::LogCapture log;
        WizardPara loaded;
        loaded.days = 5;
        ASSERT_TRUE(loaded.load("PARAM.db"));
        EXPECT_EQ(loaded.days, 31);
        EXPECT_EQ(TestEnv::readBytes(kept), bytes);
        EXPECT_EQ((log.lines(QtWarningMsg) + log.lines(QtCriticalMsg)).filter(kept).size(), 1);
        EXPECT_EQ(readRows("PARAM.db", "SELECT value FROM sysparam WHERE name = 'days'"), QJsonArray({"31"}));
    }
    AppClock::setOffsetMs(0);

    QFile::remove("PARAM.db");
    ASSERT_TRUE(StatsTest::execOn("PARAM.db", {"CREATE TABLE cammer1 (name TEXT, value TEXT)",
                                               "INSERT INTO cammer1 VALUES ('detect1', '1 2 3')"}));
    WizardPara loaded;
    ASSERT_TRUE(loaded.load("PARAM.db"));
    EXPECT_EQ(QDir().entryList({"PARAM.db.broken-*"}).size(), cases.size());
    EXPECT_EQ(readRows("PARAM.db", "SELECT value FROM cammer1"), QJsonArray({"1 2 3"}));
    EXPECT_EQ(readRows("PARAM.db", "SELECT value FROM sysparam WHERE name = 'days'"), QJsonArray({"31"}));
}

TEST(CameraManager, ListsTheSimulatedCameras)
{
    qputenv("MOULD_SIM_CAMERAS", "12");
    const CameraManager* manager = CameraManager::getInstance();
    EXPECT_EQ(manager->cameraCount(), kMaxCameras);
    EXPECT_EQ(manager, CameraManager::getInstance());
    EXPECT_EQ(manager->cameraInfoList().first().extraInfo.value("width").toInt(), 640);
}
