// The production-count query over real day files.
#include "base/appclock.h"
#include "records/resstatisticsdatabase.h"
#include "records/resstatisticsparam.h"
#include "stats_support.h"
#include "support/fakecommandrunner.h"
#include "support/testenv.h"
#include "vision/cameramanager.h"
#include "vision/wizardpara.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <gtest/gtest.h>

#include <limits>
#include <memory>

namespace {

QList<int> ints(const QJsonValue& value)
{
    QList<int> list;
    const QJsonArray array = value.toArray();
    for (const QJsonValue& element : array)
        list << element.toInt(-999);
    return list;
}

// A day of group "A": every record counts OK = slot and NG = 1 in each slot, plus `extra` on
// camera 0's whole cycle.
QJsonObject day(const QString& date, const QString& groupName = "A", int extra = 0)
{
    CountGroupList list;
    list.date = date;
    CountGroup group;
    ResStatisticsParam::initStuCountGroup(group, groupName);
    const auto fill = [extra](CountDetect& record, int add) {
        for (int k = 0; k < 24; ++k) {
            record.OK[k] = k + add;
            record.NG[k] = 1;
        }
    };
    for (CountCamera& camera : group.cameras) {
        for (CountDetect& step : camera.steps)
            fill(step, 0);
        fill(camera.cycle, 0);
    }
    fill(group.cameras[0].cycle, extra);
    for (CountDetect& step : group.allCameras.steps)
        fill(step, 0);
    fill(group.allCameras.cycle, 0);
    list.groups.push_back(group);
    return ResStatisticsParam::StuCountToJson(list);
}

bool writeArchive(const QJsonObject& json)
{
    QDir().mkpath("ResStatistics");
    return StatsTest::writeDayFile("ResStatistics/" + json.value("date").toString() + ".db", json);
}

class StatsQuery : public StatsTest::ShapeTest {
protected:
    void SetUp() override
    {
        ShapeTest::SetUp();
        ASSERT_EQ(CameraManager::getInstance()->cameraInfoList().size(), 2);
        AppClock::setNow(QDateTime(QDate(2024, 3, 1), QTime(12, 0)));
    }
    static QJsonObject query(const QString& from, const QString& to, const QString& group = "A")
    {
        QJsonObject result{{"other", 1}};
        ResStatisticsDatabase::loadCount(from, to, result, group);
        EXPECT_EQ(result.value("other").toInt(), 1);
        // The API's text form says the same.
        const QByteArray text = ResStatisticsDatabase::loadCountJson(
            from, to, ResStatisticsDatabase::currentCountShape(group), {{"other", 1}});
        EXPECT_EQ(QJsonDocument::fromJson(text).object(), result);
        return result;
    }

    // Every array of a reply holds the same number of slots.
    static void expectAligned(const QJsonObject& result, int n)
    {
        EXPECT_EQ(result.value("detect_all").toArray().size(), n);
        EXPECT_EQ(result.value("detect_ng").toArray().size(), n);
        for (const char* key : {"detect_all_detail", "detect_ng_detail"}) {
            for (const QJsonValue& sub : result.value(key).toArray())
                EXPECT_EQ(sub.toArray().size(), n) << key;
        }
        for (const QJsonValue& value : result.value("every_detect").toArray()) {
            const QJsonObject every = value.toObject();
            EXPECT_EQ(every.value("detect_index_all").toArray().size(), n);
            EXPECT_EQ(every.value("detect_index_ng").toArray().size(), n);
            for (const char* key : {"detect_index_all_detail", "detect_index_ng_detail"}) {
                for (const QJsonValue& sub : every.value(key).toArray())
                    EXPECT_EQ(sub.toArray().size(), n) << key;
            }
        }
    }

};

TEST_F(StatsQuery, RangeAcrossTheMorningHourReadsBothDays)
{
    ASSERT_TRUE(writeArchive(day("2024-01-09")));
    ASSERT_TRUE(writeArchive(day("2024-01-10")));
    const QJsonObject result = query("2024-01-10 06:30:00", "2024-01-10 10:15:00");
    // 06-07, 07-08 from the 9th (slots 22, 23), 08-09, 09-10, 10-11 from the 10th (0 to 2).
    EXPECT_EQ(ints(result.value("detect_all")), (QList<int>{23, 24, 1, 2, 3}));
    EXPECT_EQ(ints(result.value("detect_ng")), (QList<int>{1, 1, 1, 1, 1}));
    ASSERT_EQ(result.value("detect_all_detail").toArray().size(), 2);
    ASSERT_EQ(result.value("every_detect").toArray().size(), 2);
    const QJsonObject step1 = result.value("every_detect").toArray().at(1).toObject();
    EXPECT_EQ(ints(step1.value("detect_index_all")), (QList<int>{23, 24, 1, 2, 3}));
    EXPECT_FALSE(step1.contains("detect_index"));
    expectAligned(result, 5);

    const QJsonObject single = query("2024-01-10 10:30:00", "2024-01-10 10:30:00");
    EXPECT_EQ(ints(single.value("detect_all")), (QList<int>{3}));
}

TEST_F(StatsQuery, MissingDaysAndOtherGroupsGiveZeros)
{
    ASSERT_TRUE(writeArchive(day("2024-01-11", "A", 100)));
    ASSERT_TRUE(writeArchive(day("2024-01-12", "B")));   // no group A that day
    const QJsonObject result = query("2024-01-10 08:00:00", "2024-01-12 09:59:59");
    const QList<int> all = ints(result.value("detect_all"));
    ASSERT_EQ(all.size(), 50);
    EXPECT_EQ(all.mid(0, 24), QVector<int>(24, 0).toList());   // the 10th: no file
    EXPECT_EQ(all.at(24), 1);
    EXPECT_EQ(all.at(47), 24);
    EXPECT_EQ(all.mid(48), (QList<int>{0, 0}));
    // Objects made while zero-filling carry their 1-based position.
    const QJsonArray every = result.value("every_detect").toArray();
    ASSERT_EQ(every.size(), 2);
    EXPECT_EQ(every.at(0).toObject().value("detect_index").toInt(), 1);
    EXPECT_EQ(every.at(1).toObject().value("detect_index").toInt(), 2);
    const QList<int> camera0 = ints(result.value("detect_all_detail").toArray().at(0));
    EXPECT_EQ(camera0.at(24), 101);
    expectAligned(result, 50);
}

TEST_F(StatsQuery, TodaysFileServesTheProductionDayUntilTheMorningHour)
{
    ASSERT_TRUE(StatsTest::writeDayFile("ResStatistics.db", day("2024-01-10")));
    AppClock::setNow(QDateTime(QDate(2024, 1, 11), QTime(3, 0)));
    // 02:00 on the 11th is slot 18 of the production day of the 10th.
    const QJsonObject result = query("2024-01-11 02:00:00", "2024-01-11 02:59:59");
    EXPECT_EQ(ints(result.value("detect_all")), (QList<int>{19}));
}

TEST_F(StatsQuery, OlderRowLayoutIsRead)
{
    QDir().mkpath("ResStatistics");
    ASSERT_TRUE(StatsTest::execOn("ResStatistics/2024-01-10.db",
                                  {StatsTest::createTable(),
                                   "INSERT INTO resstatistics VALUES ('C8_D8', '5 6 7', '1 0 2')",
                                   "INSERT INTO resstatistics VALUES ('C1_D8', '9 9 9', '0 0 0')"}));
    const QJsonObject result = query("2024-01-10 08:00:00", "2024-01-10 10:59:59", "default");
    EXPECT_EQ(ints(result.value("detect_all")), (QList<int>{6, 6, 9}));
    EXPECT_EQ(ints(result.value("detect_ng")), (QList<int>{1, 0, 2}));
    EXPECT_EQ(ints(result.value("detect_all_detail").toArray().at(1)), (QList<int>{9, 9, 9}));
    // The query changes nothing on disk.
    EXPECT_TRUE(StatsTest::readDayText("ResStatistics/2024-01-10.db").isEmpty());
}

TEST_F(StatsQuery, ShapesOfDaysDifferingStayAligned)
{
    // The 10th has one camera and declares one step, yet holds a record of step 1.
    QJsonObject small = day("2024-01-10");
    QJsonArray groups = small.value("groups").toArray();
    QJsonObject group = groups.at(0).toObject();
    QJsonArray datas = group.value("datas").toArray();
    datas.removeAt(1);
    group.insert("datas", datas);
    group.insert("cameraCount", 1);
    group.insert("detectCount", 1);
    groups[0] = group;
    small.insert("groups", groups);
    ASSERT_TRUE(writeArchive(small));
    ASSERT_TRUE(writeArchive(day("2024-01-11")));

    const QJsonObject result = query("2024-01-10 08:00:00", "2024-01-11 09:59:59");
    expectAligned(result, 26);
    const QJsonArray detail = result.value("detect_all_detail").toArray();
    ASSERT_EQ(detail.size(), 2);
    EXPECT_EQ(ints(detail.at(1)).mid(0, 24), QVector<int>(24, 0).toList());
    EXPECT_EQ(ints(detail.at(1)).mid(24), (QList<int>{1, 2}));
    const QJsonObject step1 = result.value("every_detect").toArray().at(1).toObject();
    EXPECT_EQ(ints(step1.value("detect_index_all")).at(0), 1);
}

TEST_F(StatsQuery, HourSumsBeyondAnIntAreSentAsTheLargestInt)
{
    QJsonObject full = day("2024-01-10");
    QJsonArray groups = full.value("groups").toArray();
    QJsonObject group = groups.at(0).toObject();
    QJsonArray datas = group.value("datas").toArray();
    QJsonObject allCameras = datas.last().toObject();
    QJsonArray records = allCameras.value("data").toArray();
    QJsonObject cycle = records.last().toObject();
    QJsonArray ok = cycle.value("OK").toArray();
    ok[0] = std::numeric_limits<int>::max();
    cycle.insert("OK", ok);
    records[records.size() - 1] = cycle;
    allCameras.insert("data", records);
    datas[datas.size() - 1] = allCameras;
    group.insert("datas", datas);
    groups[0] = group;
    full.insert("groups", groups);
    ASSERT_TRUE(writeArchive(full));

    const QJsonObject result = query("2024-01-10 08:00:00", "2024-01-10 09:59:59");
    EXPECT_EQ(ints(result.value("detect_all")), (QList<int>{std::numeric_limits<int>::max(), 2}));
    EXPECT_EQ(ints(result.value("detect_ng")), (QList<int>{1, 1}));
}

TEST_F(StatsQuery, BadInputAnswersEmptyAtOnce)
{
    ASSERT_TRUE(writeArchive(day("2024-01-10")));
    for (const auto& range : {std::make_pair("yesterday", "2024-01-10 10:00:00"),
                              std::make_pair("2024-01-10 10:00:00", "2024-01-10 25:00:00"),
                              std::make_pair("2000-01-01 00:00:00", "2024-01-10 10:00:00")}) {
        const QJsonObject result = query(range.first, range.second);
        for (const char* key : {"detect_all", "detect_ng", "detect_all_detail", "detect_ng_detail", "every_detect"}) {
            ASSERT_TRUE(result.contains(key));
            EXPECT_TRUE(result.value(key).toArray().isEmpty()) << range.first << key;
        }
    }
    // to before from: no values.
    EXPECT_TRUE(query("2024-01-10 12:00:00", "2024-01-10 09:00:00").value("detect_all").toArray().isEmpty());
}

// Shift settings of a production day begun at dayStart, with shifts from 7:00 and 19:00.
void writeShiftsFromSeven(const QDateTime& dayStart)
{
    TestEnv::writeText("resstatistics.json", "{\"time\": \"" + QByteArray::number(dayStart.toSecsSinceEpoch()) +
                                                 "\", \"morningsStart\": 7, \"morningsEnd\": 19, \"nightStart\": 19, "
                                                 "\"nightEnd\": 7}");
}

}  // namespace

TEST_F(StatsQuery, TheDayJustEndedIsAnsweredWhileTheNewDayFileIsStillEmpty)
{
    FakeCommandRunner runner;
    // Shifts from 7:00; the production day of the 1st runs to 7:00 on the 2nd.
    const QDateTime dayStart(QDate(2024, 3, 1), QTime(7, 0));
    writeShiftsFromSeven(dayStart);
    auto model = std::make_unique<ResStatisticsParam>();
    model->init("A", gDNum);
    model->addRecord(0, 12, {true, false}, false);   // 12:00, slot 5: camera 1 NG
    model->addRecord(1, 12, {true, true}, true);

    // Half a minute into the 2nd the day rolls: archived, and the current file is the template
    // until the next minute's store.
    AppClock::setNow(QDateTime(QDate(2024, 3, 2), QTime(7, 0, 30)));
    model->checkDate();
    ASSERT_EQ(model->getCurDBDate(), "2024-03-02");
    ASSERT_TRUE(TestEnv::waitUntil([] {
        return QFile::exists("ResStatistics/2024-03-01.db") && StatsTest::readDayText("ResStatistics.db").isEmpty();
    }));
    const auto noonOfTheFirst = [] { return query("2024-03-01 12:00:00", "2024-03-01 12:59:59"); };
    EXPECT_EQ(ints(noonOfTheFirst().value("detect_ng")), QList<int>{1});

    // Without the shift settings the clock alone says the 1st; the empty file does not say
    // which day it holds, and the day's archive answers for it.
    QFile::remove("resstatistics.json");
    EXPECT_EQ(ints(noonOfTheFirst().value("detect_ng")), QList<int>{1});
    model.reset();
}

// From the roll on, the new production day answers its hours: whether the database thread has
// not archived the ended day yet (today's file still holds it) or today's file is the empty
// template until the next minute's store.
TEST_F(StatsQuery, TheNewDayAnswersItsHoursFromTheRoll)
{
    FakeCommandRunner runner;
    const QDateTime dayStart(QDate(2024, 3, 1), QTime(7, 0));
    writeShiftsFromSeven(dayStart);
    QJsonObject ended = day("2024-03-01");
    QJsonArray groups = ended.value("groups").toArray();
    QJsonObject group = groups.at(0).toObject();
    group.insert("morningStart", 7);
    groups[0] = group;
    ended.insert("groups", groups);
    ASSERT_TRUE(StatsTest::writeDayFile("ResStatistics.db", ended));
    AppClock::setNow(QDateTime(QDate(2024, 3, 2), QTime(7, 0, 20)));
    EXPECT_EQ(ints(query("2024-03-02 06:00:00", "2024-03-02 07:59:59").value("detect_all")), (QList<int>{24, 0}));
    EXPECT_EQ(ints(query("2024-03-02 07:00:00", "2024-03-02 07:59:59").value("detect_all")), QList<int>{0});

    // The model rolls the day: archived, and today's file is the template until the next store.
    ASSERT_TRUE(QFile::remove("ResStatistics.db"));
    AppClock::setNow(dayStart.addSecs(3600 * 5));
    auto model = std::make_unique<ResStatisticsParam>();
    model->init("A", gDNum);
    model->addRecord(1, 12, {true, false}, true);
    AppClock::setNow(QDateTime(QDate(2024, 3, 2), QTime(7, 0, 20)));
    model->checkDate();
    ASSERT_EQ(model->getCurDBDate(), "2024-03-02");
    ASSERT_TRUE(TestEnv::waitUntil([] {
        return QFile::exists("ResStatistics/2024-03-01.db") && StatsTest::readDayText("ResStatistics.db").isEmpty();
    }));
    const QJsonObject span = query("2024-03-02 06:00:00", "2024-03-02 07:59:59");
    EXPECT_EQ(ints(span.value("detect_all")), (QList<int>{0, 0}));
    expectAligned(span, 2);
    EXPECT_EQ(ints(query("2024-03-01 12:00:00", "2024-03-01 12:59:59").value("detect_ng")), QList<int>{1});
    EXPECT_EQ(ints(query("2024-03-02 07:00:00", "2024-03-02 07:59:59").value("detect_all")), QList<int>{0});
    model.reset();
}
