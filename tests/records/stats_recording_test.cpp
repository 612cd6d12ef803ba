// The statistics model with its database thread on real files: recording, storing, the day
// roll and the shift settings file.
#include "base/appclock.h"
#include "netcore/nettestutil.h"
#include "records/resstatisticsdatabase.h"
#include "records/resstatisticsparam.h"
#include "support/fakecommandrunner.h"
#include "support/testenv.h"
#include "stats_support.h"
#include "vision/wizardpara.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <memory>

namespace {

const QDate kDay(2024, 5, 6);

QDateTime at(int dayOffset, int h, int m = 0, int s = 0)
{
    return QDateTime(kDay.addDays(dayOffset), QTime(h, m, s));
}

QJsonObject readConfig()
{
    QFile file("resstatistics.json");
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return QJsonDocument::fromJson(file.readAll()).object();
}

class StatsRecording : public StatsTest::ShapeTest {
protected:
    void SetUp() override
    {
        ShapeTest::SetUp();
        AppClock::setNow(at(0, 10));
    }
    void TearDown() override
    {
        m_model.reset();   // joins the database thread
        ShapeTest::TearDown();
    }

    ResStatisticsParam& start(const QString& group = "A")
    {
        m_model = std::make_unique<ResStatisticsParam>();
        m_model->init(group, gDNum);
        return *m_model;
    }

    const CountGroup& group(int index = 0) const { return m_model->today().groups.at(index); }

    // Shift settings whose production day started at the given moment.
    static void writeSettings(const QDateTime& dayStart)
    {
        TestEnv::writeText("resstatistics.json",
                           QByteArray("{\"time\": \"") + QByteArray::number(dayStart.toSecsSinceEpoch())
                               + "\", \"morningsStart\": 8, \"morningsEnd\": 20, \"nightStart\": 20, \"nightEnd\": 8}");
    }

    // A stored day of group "A", dated date, as the given change leaves it.
    static bool writeDay(const QString& path, const QString& date, const std::function<void(CountGroup&)>& change)
    {
        CountGroupList day;
        day.date = date;
        CountGroup g;
        ResStatisticsParam::initStuCountGroup(g, "A");
        change(g);
        day.groups.push_back(g);
        return StatsTest::writeDayFile(path, ResStatisticsParam::StuCountToJson(day));
    }

    FakeCommandRunner m_runner;
    std::unique_ptr<ResStatisticsParam> m_model;
};

TEST_F(StatsRecording, ConfigFileIsCreatedRepairedAndSavedOnChange)
{
    ResStatisticsParam& model = start();
    const quint32 eight = quint32(at(0, 8).toSecsSinceEpoch());
    EXPECT_EQ(model.getRollTime(), eight);
    EXPECT_EQ(model.getCurDBDate(), "2024-05-06");
    QJsonObject config = readConfig();
    EXPECT_EQ(config.value("time").toString(), QString::number(eight));
    EXPECT_EQ(config.value("morningsStart").toInt(), 8);
    EXPECT_EQ(config.value("morningsEnd").toInt(), 20);
    EXPECT_EQ(config.value("nightStart").toInt(), 20);
    EXPECT_EQ(config.value("nightEnd").toInt(), 8);

    // Hours confirmed on the screen are in effect at once, reach the file and keep the roll time.
    QJsonObject json{{"morningsStart", 7}, {"morningsEnd", 19}, {"nightStart", 19}, {"nightEnd", 7}};
    EXPECT_EQ(model.checkParam(json), 1);
    model.laodConfigFromJson(json);
    EXPECT_EQ(model.shiftHour(0), 7);
    ASSERT_TRUE(TestEnv::waitUntil([] { return readConfig().value("morningsStart").toInt() == 7; }, 20000));
    config = readConfig();
    EXPECT_EQ(config.value("morningsStart").toInt(), 7);
    EXPECT_EQ(config.value("time").toString(), QString::number(eight));
    EXPECT_EQ(model.checkParam(json), 0);

    // Not JSON (the custom hours 7 and 19 cut short): a copy is kept, then a new roll time and
    // the file written again.
    m_model.reset();
    const QByteArray cut = R"({"morningsStart": 7, "morningsEnd": 19, "nightSt)";
    TestEnv::writeText("resstatistics.json", cut);
    AppClock::setNow(at(3, 12));
    ResStatisticsParam& repaired = start();
    EXPECT_EQ(repaired.getCurDBDate(), "2024-05-09");
    EXPECT_EQ(readConfig().value("time").toString(), QString::number(at(3, 8).toSecsSinceEpoch()));
    QFile kept("resstatistics.json.broken-20240509120000");
    ASSERT_TRUE(kept.open(QIODevice::ReadOnly));
    EXPECT_EQ(kept.readAll(), cut);

    // Only "time" (of the running day; an archived one would start a new day): every hour reads 0.
    m_model.reset();
    const quint32 running = quint32(at(3, 8).toSecsSinceEpoch());
    TestEnv::writeText("resstatistics.json", QByteArray("{\"time\": \"") + QByteArray::number(running) + "\"}");
    ResStatisticsParam& bare = start();
    EXPECT_EQ(bare.getRollTime(), running);
    for (int i = 0; i < 4; ++i)
        EXPECT_EQ(bare.shiftHour(i), 0);
}

// Hours of another type or out of range would move the shifts without a word: the file is kept
// beside itself, the hours read as they always did, and the file is written again with them
// so that the next start makes no second copy.
TEST_F(StatsRecording, ShiftSettingsOfTheWrongTypeOrRangeAreKeptAsideOnce)
{
    const QByteArray time = QByteArray::number(at(0, 8).toSecsSinceEpoch());
    const QList<QPair<QByteArray, QList<int>>> cases{
        {R"({"time": ")" + time + R"(", "morningsStart": "7", "morningsEnd": 19.5, "nightStart": 19, "nightEnd": 7})",
         {0, 0, 19, 7}},
        {R"({"time": ")" + time + R"(", "morningsStart": 8, "morningsEnd": 20, "nightStart": 99, "nightEnd": -3})",
         {8, 20, 3, 21}},
        {R"({"time": )" + time + R"(, "morningsStart": 8, "morningsEnd": 20, "nightStart": 20, "nightEnd": 8})",
         {8, 20, 20, 8}},
    };
    for (int i = 0; i < cases.size(); ++i) {
        SCOPED_TRACE(i);
        m_model.reset();
        TestEnv::writeText("resstatistics.json", cases.at(i).first);
        AppClock::setNow(at(0, 10, 0, i));
        ResStatisticsParam& model = start();
        for (int hour = 0; hour < 4; ++hour)
            EXPECT_EQ(model.shiftHour(hour), cases.at(i).second.at(hour)) << hour;
        QFile kept(QString("resstatistics.json.broken-2024050610000%1").arg(i));
        ASSERT_TRUE(kept.open(QIODevice::ReadOnly));
        EXPECT_EQ(kept.readAll(), cases.at(i).first);
        EXPECT_EQ(readConfig().value("nightEnd").toInt(-1), cases.at(i).second.at(3));
        EXPECT_EQ(readConfig().value("time").toString(), QString::number(at(0, 8).toSecsSinceEpoch()));

        m_model.reset();
        start();
        EXPECT_EQ(QDir().entryList({"resstatistics.json.broken-*"}).size(), i + 1);
    }
}

TEST_F(StatsRecording, ResultsCountIntoHoursSinceTheDayStart)
{
    ResStatisticsParam& model = start();
    const auto record = [&model](const QDateTime& when) {
        AppClock::setNow(when);
        model.addRecord(0, when.time().hour(), {true, true}, false);
    };
    record(at(0, 8, 59, 59));
    record(at(0, 9));
    record(at(1, 7, 30));
    record(at(1, 14));        // 30 hours after the start, the timer being off
    record(at(0, 7, 0));      // clock set back before the day's start
    const QList<int>& ok = group().cameras[0].steps[0].OK;
    EXPECT_EQ(ok[0], 2);
    EXPECT_EQ(ok[1], 1);
    EXPECT_EQ(ok[23], 2);
    EXPECT_EQ(group().allCameras.steps[0].day.OK, 5);
}

TEST_F(StatsRecording, CycleCountsOkOnlyWhenEveryStepWas)
{
    ResStatisticsParam& model = start();
    model.addRecord(0, 10, {true, true, false}, false);   // the third flag has no camera
    model.addRecord(1, 10, {true, false}, true);
    const CountGroup& g = group();
    EXPECT_EQ(g.cameras[0].steps[1].OK[2], 1);
    EXPECT_EQ(g.cameras[1].steps[1].NG[2], 1);
    EXPECT_EQ(g.allCameras.steps[0].OK[2], 1);
    EXPECT_EQ(g.allCameras.steps[1].NG[2], 1);
    EXPECT_EQ(g.cameras[0].cycle.OK[2], 1);
    EXPECT_EQ(g.cameras[1].cycle.NG[2], 1);
    EXPECT_EQ(g.allCameras.cycle.NG[2], 1);

    // The flags start again after the last step.
    model.addRecord(0, 10, {true, true}, false);
    model.addRecord(1, 10, {true, true}, true);
    EXPECT_EQ(group().cameras[1].cycle.OK[2], 1);
    EXPECT_EQ(group().allCameras.cycle.OK[2], 1);

    // Steps beyond the lists are counted after the lists grow; impossible ones are dropped.
    model.addRecord(5, 10, {false, true}, false);
    EXPECT_EQ(group().cameras[0].steps.size(), 6);
    EXPECT_EQ(group().cameras[0].steps[5].NG[2], 1);
    model.addRecord(9, 10, {false, true}, false);
    model.addRecord(-1, 10, {false, true}, false);
    EXPECT_EQ(group().allCameras.steps[0].day.OK + group().allCameras.steps[0].day.NG, 2);
}

TEST_F(StatsRecording, FreshDayFileStartsAtTheConfiguredMorningHour)
{
    // Shifts from 06:00, and no day file yet (a new panel, or a restart right after a roll).
    const quint32 six = quint32(at(0, 6).toSecsSinceEpoch());
    TestEnv::writeText("resstatistics.json", QJsonDocument(QJsonObject{{"time", QString::number(six)},
                                                                       {"morningsStart", 6},
                                                                       {"morningsEnd", 18},
                                                                       {"nightStart", 18},
                                                                       {"nightEnd", 6}})
                                                 .toJson());
    ResStatisticsParam& model = start();
    ASSERT_EQ(model.today().groups.size(), 1u);
    EXPECT_EQ(group().groupName, "A");
    EXPECT_EQ(group().morningStart, 6);

    // One whole cycle at 10:xx; the count query must find it in the 10-11 hour.
    model.addRecord(0, 10, {true, true}, false);
    model.addRecord(1, 10, {true, true}, true);
    model.checkDate();
    ASSERT_TRUE(TestEnv::waitUntil([] {
        return StatsTest::allCameraCycle(StatsTest::readDay("ResStatistics.db")).value("OK").toArray().at(4).toInt() == 1;
    }));
    QJsonObject result;
    ResStatisticsDatabase::loadCount("2024-05-06 10:00:00", "2024-05-06 10:59:59", result, "A");
    EXPECT_EQ(result.value("detect_all").toArray(), (QJsonArray{1}));
}

TEST_F(StatsRecording, SwitchedGroupIsAppendedWithTheDaysStartHour)
{
    ResStatisticsParam& model = start();
    model.addRecord(0, 10, {true, true}, false);
    // Shift hours change during the day: the day still started at 08:00.
    model.laodConfigFromJson(QJsonObject{{"morningsStart", 6}, {"morningsEnd", 18}, {"nightStart", 18}, {"nightEnd", 6},
                                         {"time", QString::number(model.getRollTime())}});
    model.setCurGroup();
    EXPECT_EQ(group(0).morningStart, 8);
    EXPECT_EQ(group(0).nightStart, 18);
    model.curGroupName = "B";
    model.addRecord(0, 10, {false, true}, false);
    ASSERT_EQ(model.today().groups.size(), 2u);
    EXPECT_EQ(group(1).groupName, "B");
    EXPECT_EQ(group(1).morningStart, 8);
    EXPECT_EQ(group(1).nightStart, 20);   // until the screen applies hours again
    EXPECT_EQ(group(1).allCameras.steps[0].NG[2], 1);
    EXPECT_EQ(group(0).allCameras.steps[0].NG[2], 0);
}

TEST_F(StatsRecording, DayIsStoredEachCheckAndArchivedAtTheRoll)
{
    ResStatisticsParam& model = start();
    QList<bool> screen;
    QObject::connect(&model, &ResStatisticsParam::sigScreenUpdate, [&screen](bool listChanged) { screen << listChanged; });
    model.addRecord(0, 10, {true, false}, false);
    model.addRecord(1, 10, {true, true}, true);
    EXPECT_EQ(screen.count(), 2);

    AppClock::setNow(at(1, 7, 59, 59));   // 86,399 s: stored, not moved
    const QString before = StatsTest::readDayText("ResStatistics.db");
    model.checkDate();
    ASSERT_TRUE(TestEnv::waitUntil([&before] { return StatsTest::readDayText("ResStatistics.db") != before; }));
    const QString text = StatsTest::readDayText("ResStatistics.db");
    EXPECT_TRUE(text.startsWith("{\n    \"date\": \"2024-05-06\",\n    \"groups\": [")) << qPrintable(text.left(80));
    EXPECT_FALSE(QFile::exists("ResStatistics/2024-05-06.db"));
    EXPECT_EQ(model.getCurDBDate(), "2024-05-06");

    AppClock::setNow(at(1, 8));   // 86,400 s: the day ends
    model.checkDate();
    ASSERT_EQ(screen.count(), 3);
    EXPECT_TRUE(screen.last());
    EXPECT_EQ(model.getCurDBDate(), "2024-05-07");
    ASSERT_EQ(model.today().groups.size(), 1u);
    EXPECT_EQ(group().groupName, "A");
    EXPECT_EQ(group().allCameras.cycle.day.OK + group().allCameras.cycle.day.NG, 0);
    EXPECT_EQ(model.today().date, "2024-05-07");
    // The database thread writes the new day's start, after the ended day's store.
    const QString newStart = QString::number(at(1, 8).toSecsSinceEpoch());
    EXPECT_TRUE(TestEnv::waitUntil([&newStart] { return readConfig().value("time").toString() == newStart; }));

    ASSERT_TRUE(TestEnv::waitUntil([] { return QFile::exists("ResStatistics/2024-05-06.db"); }));
    ASSERT_TRUE(TestEnv::waitUntil([] { return StatsTest::readDayText("ResStatistics.db").isEmpty(); }));
    const QJsonObject archived = StatsTest::readDay("ResStatistics/2024-05-06.db");
    EXPECT_EQ(archived.value("date").toString(), "2024-05-06");
    const QJsonArray datas = archived.value("groups").toArray().at(0).toObject().value("datas").toArray();
    const QJsonObject all = datas.at(2).toObject();
    EXPECT_EQ(all.value("cameraID").toInt(), -1);
    const QJsonObject allCycle = all.value("data").toArray().at(2).toObject();
    EXPECT_EQ(allCycle.value("detectID").toInt(), -1);
    EXPECT_EQ(allCycle.value("NG").toArray().at(2).toInt(), 1);

    // The next store writes the new day into the fresh file.
    model.addRecord(0, 8, {true, true}, false);
    model.checkDate();
    ASSERT_TRUE(TestEnv::waitUntil([] {
        return StatsTest::readDay("ResStatistics.db").value("date").toString() == "2024-05-07";
    }));
}

// An ended day whose archive cannot be written yet (a file where its folder goes; on the panel,
// a disk without room for the copy) keeps today's file while the new day is counted, and the
// program's stop archives it once it can be, with the new day after it.
TEST_F(StatsRecording, TheStopArchivesAnEndedDayThatWaitsForItsArchive)
{
    ResStatisticsParam& model = start();
    model.addRecord(1, 10, {true, false}, true);
    TestEnv::writeText("ResStatistics", "a file where the folder should be");
    AppClock::setNow(at(1, 8));
    model.checkDate();   // the day ends; its archive waits
    model.addRecord(1, 8, {true, true}, true);
    model.checkDate();   // the new day's first store
    std::atomic<bool> handled{false};
    QMetaObject::invokeMethod(model.statisticsDatabase(), [&handled] { handled = true; }, Qt::QueuedConnection);
    ASSERT_TRUE(TestEnv::waitUntil([&handled] { return handled.load(); }, 20000));
    EXPECT_EQ(StatsTest::readDay("ResStatistics.db").value("date").toString(), "2024-05-06");

    ASSERT_TRUE(QFile::remove("ResStatistics"));
    m_model.reset();   // the program's stop
    const QJsonObject archived = StatsTest::readDay("ResStatistics/2024-05-06.db");
    EXPECT_EQ(StatsTest::allCameraCycle(archived).value("NG").toArray().at(2).toInt(), 1);
    const QJsonObject today = StatsTest::readDay("ResStatistics.db");
    EXPECT_EQ(today.value("date").toString(), "2024-05-07");
    EXPECT_EQ(StatsTest::allCameraCycle(today).value("OK").toArray().at(0).toInt(), 1);
}

TEST_F(StatsRecording, StartAfterDaysOffEndsTheStoredDayBeforeCounting)
{
    writeSettings(at(-3, 8));
    ASSERT_TRUE(writeDay("ResStatistics.db", "2024-05-03", [](CountGroup& g) { g.allCameras.cycle.OK[4] = 7; }));

    ResStatisticsParam& model = start();
    EXPECT_EQ(model.getCurDBDate(), "2024-05-03");
    model.setTimer(true);
    EXPECT_EQ(model.getCurDBDate(), "2024-05-06");
    model.addRecord(0, 10, {true, true}, false);
    EXPECT_EQ(group().allCameras.steps[0].OK[2], 1);
    EXPECT_EQ(group().allCameras.cycle.OK[4], 0);
    ASSERT_TRUE(TestEnv::waitUntil([] { return QFile::exists("ResStatistics/2024-05-03.db"); }));
    const QJsonObject archived = StatsTest::readDay("ResStatistics/2024-05-03.db");
    EXPECT_EQ(StatsTest::allCameraCycle(archived).value("OK").toArray().at(4).toInt(), 7);
}

TEST_F(StatsRecording, DayFileOfAnotherDayIsArchivedUnderItsOwnDate)
{
    // Stopped between a roll (the settings already name the new day) and the archive.
    writeSettings(at(0, 8));
    ASSERT_TRUE(writeDay("ResStatistics.db", "2024-05-05", [](CountGroup& g) { g.allCameras.cycle.OK[4] = 7; }));

    ResStatisticsParam& model = start();
    EXPECT_EQ(model.today().date, "2024-05-06");
    ASSERT_EQ(model.today().groups.size(), 1u);
    EXPECT_EQ(group().allCameras.cycle.day.OK, 0);
    ASSERT_TRUE(TestEnv::waitUntil([] { return QFile::exists("ResStatistics/2024-05-05.db"); }));
    const QJsonObject archived = StatsTest::readDay("ResStatistics/2024-05-05.db");
    EXPECT_EQ(archived.value("date").toString(), "2024-05-05");
    EXPECT_EQ(StatsTest::allCameraCycle(archived).value("OK").toArray().at(4).toInt(), 7);
}

TEST_F(StatsRecording, EmptyDayNeverReplacesTheArchiveOfItsDate)
{
    // Stopped after the roll archived 2024-05-05 and before the settings were written.
    writeSettings(at(-1, 8));
    QDir().mkpath("ResStatistics");
    ASSERT_TRUE(writeDay("ResStatistics/2024-05-05.db", "2024-05-05", [](CountGroup& g) { g.allCameras.cycle.OK[4] = 7; }));

    ResStatisticsParam& model = start();
    model.setTimer(true);   // the empty day dated 2024-05-05 is due at once
    EXPECT_EQ(model.getCurDBDate(), "2024-05-06");
    m_model.reset();        // every store and archive is done
    EXPECT_EQ(StatsTest::allCameraCycle(StatsTest::readDay("ResStatistics/2024-05-05.db")).value("OK").toArray().at(4).toInt(), 7);
}

TEST_F(StatsRecording, StoredDayTheClockIsStillInGoesOnWhateverTheSettingsSay)
{
    writeSettings(at(-1, 8));
    ASSERT_TRUE(writeDay("ResStatistics.db", "2024-05-06", [](CountGroup& g) { g.allCameras.cycle.OK[1] = 3; }));

    ResStatisticsParam& model = start();
    model.setTimer(true);
    EXPECT_EQ(model.getCurDBDate(), "2024-05-06");
    EXPECT_EQ(readConfig().value("time").toString(), QString::number(at(0, 8).toSecsSinceEpoch()));
    EXPECT_EQ(group().allCameras.cycle.OK[1], 3);
    m_model.reset();
    EXPECT_FALSE(QDir("ResStatistics").exists());

    // Settings lost before the morning hour: the stored day of yesterday is still running.
    ASSERT_TRUE(QFile::remove("resstatistics.json") && QFile::remove("ResStatistics.db"));
    ASSERT_TRUE(writeDay("ResStatistics.db", "2024-05-06", [](CountGroup& g) { g.allCameras.cycle.OK[1] = 3; }));
    AppClock::setNow(at(1, 7));
    start().setTimer(true);
    EXPECT_EQ(m_model->getCurDBDate(), "2024-05-06");
    EXPECT_EQ(group().allCameras.cycle.OK[1], 3);
    m_model.reset();
    EXPECT_FALSE(QDir("ResStatistics").exists());
}

TEST_F(StatsRecording, SettingsThatMissedARollNeverCountIntoAnArchivedDay)
{
    // The roll to 2024-05-06 archived 2024-05-05 but its settings write failed; the program
    // starts again after 2024-05-06 has ended too, with the statistics switch off.
    const auto archive = [](const QString& date) { return StatsTest::readDay("ResStatistics/" + date + ".db"); };
    const auto prepare = [this](bool withDayFile) {
        writeSettings(at(-1, 8));
        QDir().mkpath("ResStatistics");
        ASSERT_TRUE(writeDay("ResStatistics/2024-05-05.db", "2024-05-05", [](CountGroup& g) { g.allCameras.cycle.OK[4] = 7; }));
        if (withDayFile) {
            ASSERT_TRUE(writeDay("ResStatistics.db", "2024-05-06", [](CountGroup& g) { g.allCameras.cycle.OK[1] = 3; }));
        }
        AppClock::setNow(at(1, 10));
    };
    for (const bool withDayFile : {true, false}) {
        SCOPED_TRACE(withDayFile ? "stored day of 2024-05-06" : "fresh day file");
        prepare(withDayFile);
        ResStatisticsParam& model = start();
        EXPECT_EQ(model.getCurDBDate(), "2024-05-07");
        model.addRecord(0, 10, {true, true}, false);
        model.addRecord(1, 10, {true, true}, true);
        model.setTimer(true);   // the switch comes back on
        model.checkDate();
        m_model.reset();

        EXPECT_EQ(StatsTest::allCameraCycle(archive("2024-05-05")).value("OK").toArray().at(4).toInt(), 7);
        if (withDayFile) {
            EXPECT_EQ(StatsTest::allCameraCycle(archive("2024-05-06")).value("OK").toArray().at(1).toInt(), 3);
        }
        const QJsonObject running = StatsTest::readDay("ResStatistics.db");
        EXPECT_EQ(running.value("date").toString(), "2024-05-07");
        EXPECT_EQ(StatsTest::allCameraCycle(running).value("OK").toArray().at(2).toInt(), 1);
        EXPECT_EQ(readConfig().value("time").toString(), QString::number(at(1, 8).toSecsSinceEpoch()));

        ASSERT_TRUE(QDir("ResStatistics").removeRecursively() && QFile::remove("ResStatistics.db"));
        AppClock::setNow(at(0, 10));
    }
}

TEST_F(StatsRecording, ClockSetBackKeepsTheDay)
{
    ResStatisticsParam& model = start();
    AppClock::setNow(at(-1, 9));
    model.addRecord(0, 9, {true, true}, false);
    model.checkDate();
    EXPECT_EQ(model.getCurDBDate(), "2024-05-06");
    EXPECT_EQ(group().allCameras.steps[0].OK[0], 1);
    ASSERT_TRUE(TestEnv::waitUntil([] { return !StatsTest::readDayText("ResStatistics.db").isEmpty(); }));
    EXPECT_FALSE(QDir("ResStatistics").exists());
}

TEST_F(StatsRecording, RestartContinuesTheStoredDay)
{
    {
        ResStatisticsParam& model = start();
        model.setTimer(true);
        model.addRecord(0, 10, {false, true}, false);
        m_model.reset();   // the last store happens on shutdown
    }
    ResStatisticsParam& again = start();
    ASSERT_EQ(again.today().groups.size(), 1u);
    EXPECT_EQ(group().cameras[0].steps[0].NG[2], 1);
    EXPECT_EQ(again.shownGroupName, "A");
}

// A stored day that does not read would start the day empty, and the next store (at the latest
// the one at the stop) would write that empty day over it: the file is kept first.
TEST_F(StatsRecording, AStoredDayThatDoesNotReadIsKeptBeforeTheStopOverwritesIt)
{
    const QList<QByteArray> unreadable{
        "{\"date\": \"2024-05-06\", \"groups\": [{\"groupName\": \"A\", \"da",
        R"({"date": "2024-05-06", "groups": [{"groupName": "A", "datas": [{"cameraID": -1, "data": )"
        R"([{"detectID": -1, "OK": ["5", 7], "NG": []}]}]}]})",
        R"({"date": "2024-05-06", "groups": {"groupName": "A"}})",
    };
    for (int i = 0; i < unreadable.size(); ++i) {
        SCOPED_TRACE(i);
        ASSERT_TRUE(!QFile::exists("ResStatistics.db") || QFile::remove("ResStatistics.db"));
        const QString text = QString::fromUtf8(unreadable.at(i)).replace('\'', "''");
        ASSERT_TRUE(StatsTest::execOn("ResStatistics.db",
                                      {StatsTest::createTable(),
                                       "INSERT INTO resstatistics VALUES ('statisticsjson', '" + text + "', '')"}));
        const QByteArray original = TestEnv::readBytes("ResStatistics.db");
        AppClock::setNow(at(0, 10, 0, i));
        const QString kept = QString("ResStatistics.db.broken-2024050610000%1").arg(i);
        {
            NetTest::LogCapture log;
            ResStatisticsParam& model = start();
            model.setTimer(true);
            model.addRecord(0, 10, {true, true}, true);
            m_model.reset();   // stores the running day
            EXPECT_EQ(log.lines(QtWarningMsg).filter(kept).size(), 1) << qPrintable(log.lines(QtWarningMsg).join('\n'));
        }
        EXPECT_EQ(TestEnv::readBytes(kept), original);
        EXPECT_EQ(StatsTest::allCameraCycle(StatsTest::readDay("ResStatistics.db")).value("OK").toArray().at(2).toInt(), 1);
    }
}

TEST_F(StatsRecording, ShownDayComesFromTodayOrAnArchive)
{
    ResStatisticsParam& model = start();
    model.addRecord(0, 10, {true, true}, false);
    QList<bool> loaded;
    QObject::connect(&model, &ResStatisticsParam::sigLoadFinish, [&loaded](bool ok) { loaded << ok; });
    model.slotUpdateRecord(0, QString());
    ASSERT_EQ(loaded.count(), 1);
    EXPECT_TRUE(loaded.takeFirst());
    EXPECT_EQ(model.getCount(ShiftDay, true, 8, 0), 1);

    ASSERT_TRUE(QDir().mkpath("ResStatistics"));
    ASSERT_TRUE(writeDay("ResStatistics/2024-05-01.db", "2024-05-01", [](CountGroup& g) { g.allCameras.steps[0].OK[5] = 9; }));
    model.slotUpdateRecord(1, "ResStatistics/2024-05-01.db");
    ASSERT_TRUE(TestEnv::waitUntil([&loaded] { return loaded.count() == 1; }));
    EXPECT_TRUE(loaded.takeFirst());
    EXPECT_EQ(model.getCount(ShiftDay, true, 8, 0), 9);

    // A missing day answers "not ok", shows a zeroed day and leaves no file behind.
    model.slotUpdateRecord(2, "ResStatistics/2024-04-30.db");
    ASSERT_TRUE(TestEnv::waitUntil([&loaded] { return loaded.count() == 1; }));
    EXPECT_FALSE(loaded.takeFirst());
    EXPECT_FALSE(QFile::exists("ResStatistics/2024-04-30.db"));
    EXPECT_EQ(model.getGroups(), (QList<QString>{"default"}));
}

TEST_F(StatsRecording, StepCountGrowsTheCurrentGroupOnly)
{
    ResStatisticsParam& model = start();
    model.addRecord(0, 10, {true, true}, false);
    model.curGroupName = "B";
    model.addRecord(0, 10, {true, true}, false);
    model.checkCameraDetectCount(4);
    EXPECT_EQ(group(0).cameras[0].steps.size(), 2);
    EXPECT_EQ(group(1).cameras[1].steps.size(), 4);
    EXPECT_EQ(group(1).allCameras.steps.size(), 4);
    model.checkCameraDetectCount(1);   // never shrinks
    EXPECT_EQ(group(1).allCameras.steps.size(), 4);
}

}  // namespace
