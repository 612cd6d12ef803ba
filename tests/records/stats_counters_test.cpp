// Counter records, their totals and the day JSON.
#include "records/resstatisticsparam.h"
#include "vision/wizardpara.h"

#include <QJsonArray>
#include <QJsonDocument>
#include "stats_support.h"

#include <gtest/gtest.h>

namespace {

class StatsCounters : public StatsTest::ShapeTest {
protected:
    static CountGroup freshGroup(const QString& name)
    {
        CountGroup group;
        ResStatisticsParam::initStuCountGroup(group, name);
        return group;
    }

    // Shift hours through the public settings path.
    static void setHours(ResStatisticsParam& model, int ms, int me, int ns, int ne)
    {
        model.laodConfigFromJson(QJsonObject{{"time", "1700000000"},
                                             {"morningsStart", ms},
                                             {"morningsEnd", me},
                                             {"nightStart", ns},
                                             {"nightEnd", ne}});
    }

};

TEST_F(StatsCounters, FreshGroupWritesPositionsAndMinusOneRecords)
{
    const QJsonObject json = ResStatisticsParam::StuCountGroupToJson(freshGroup("A"));
    EXPECT_EQ(json.value("cameraCount").toInt(), 2);
    EXPECT_EQ(json.value("detectCount").toInt(), 2);
    EXPECT_EQ(json.value("groupName").toString(), "A");
    EXPECT_EQ(json.value("morningStart").toInt(), 8);
    EXPECT_EQ(json.value("nightStart").toInt(), 20);
    const QJsonArray datas = json.value("datas").toArray();
    ASSERT_EQ(datas.size(), 3);
    const int cameraIds[] = {0, 1, -1};
    for (int c = 0; c < 3; ++c) {
        const QJsonObject camera = datas.at(c).toObject();
        EXPECT_EQ(camera.value("cameraID").toInt(), cameraIds[c]);
        const QJsonArray data = camera.value("data").toArray();
        ASSERT_EQ(data.size(), 3);
        const int detectIds[] = {0, 1, -1};
        for (int d = 0; d < 3; ++d) {
            const QJsonObject step = data.at(d).toObject();
            EXPECT_EQ(step.value("detectID").toInt(), detectIds[d]);
            EXPECT_EQ(step.value("OK").toArray(), QJsonArray::fromVariantList(QVector<QVariant>(24, 0).toList()));
            EXPECT_EQ(step.value("NG").toArray().size(), 24);
        }
    }
}

TEST_F(StatsCounters, ReadingAndWritingAgainGivesTheSameJson)
{
    CountGroupList list;
    list.date = "2024-05-06";
    CountGroup group = freshGroup("A");
    group.cameras[1].steps[0].OK[3] = 7;
    group.allCameras.cycle.NG[23] = 2;
    list.groups.push_back(group);
    list.groups.push_back(freshGroup("B"));
    const QJsonObject written = ResStatisticsParam::StuCountToJson(list);

    CountGroupList read;
    ResStatisticsParam::StuCountFromJson(read, written);
    ASSERT_EQ(read.groups.size(), 2u);
    EXPECT_EQ(read.groups[0].cameras[1].steps[0].OK[3], 7);
    EXPECT_EQ(read.groups[0].allCameras.cycle.NG[23], 2);
    EXPECT_EQ(ResStatisticsParam::StuCountToJson(read), written);
    // The stored form: alphabetical keys, four-space indent.
    const QByteArray text = QJsonDocument(written).toJson(QJsonDocument::Indented);
    EXPECT_TRUE(text.startsWith("{\n    \"date\": \"2024-05-06\",\n    \"groups\": [\n        {\n            \"cameraCount\""))
        << text.left(200).constData();
}

TEST_F(StatsCounters, MissingKeysReadAsDefaultsAndShortDaysAreRepaired)
{
    // A group without hours, without the -1 camera, with a short list and a step without id.
    const QJsonObject json = QJsonDocument::fromJson(R"({"date":"2024-01-02","groups":[{"groupName":"A",
        "detectCount":3,
        "datas":[{"cameraID":0,"data":[{"OK":[1,2],"NG":[0]},{"detectID":-1,"OK":[5]},{"detectID":-1,"OK":[6]}]}]}]})")
                                 .object();
    CountGroupList list;
    ResStatisticsParam::StuCountFromJson(list, json);
    ASSERT_EQ(list.groups.size(), 1u);
    const CountGroup& group = list.groups[0];
    EXPECT_EQ(group.morningStart, 8);
    EXPECT_EQ(group.nightStart, 20);
    // The later -1 step record wins; the step without "detectID" is an ordinary step.
    EXPECT_EQ(group.cameras[0].cycle.OK[0], 6);
    EXPECT_EQ(group.cameras[0].steps[0].OK.mid(0, 3), (QList<int>{1, 2, 0}));
    // Repaired: every camera in use, max(detectCount, gDNum) steps, 24 slots, an all-camera record.
    ASSERT_EQ(group.cameras.size(), 2);
    for (const CountCamera& camera : group.cameras) {
        ASSERT_EQ(camera.steps.size(), 3);
        for (const CountDetect& step : camera.steps) {
            EXPECT_EQ(step.OK.size(), 24);
            EXPECT_EQ(step.NG.size(), 24);
        }
        EXPECT_EQ(camera.cycle.OK.size(), 24);
    }
    EXPECT_EQ(group.allCameras.steps.size(), 3);
    EXPECT_EQ(group.allCameras.cycle.NG.size(), 24);
}

TEST_F(StatsCounters, TotalsSplitByTheMorningShift)
{
    ResStatisticsParam model;
    CountDetect detect;
    ResStatisticsParam::initStuCountDetect(detect);
    for (int k = 0; k < 24; ++k) {
        detect.OK[k] = 1;
        detect.NG[k] = k == 11 || k == 12 ? 10 : 0;
    }

    setHours(model, 8, 20, 20, 8);
    model.calcCount(detect);
    EXPECT_EQ(detect.morning.OK, 12);
    EXPECT_EQ(detect.night.OK, 12);
    EXPECT_EQ(detect.morning.NG, 10);
    EXPECT_EQ(detect.night.NG, 10);
    EXPECT_EQ(detect.day.OK, 24);

    setHours(model, 20, 8, 8, 20);   // the same twelve-hour split
    model.calcCount(detect);
    EXPECT_EQ(detect.morning.OK, 12);

    setHours(model, 8, 8, 20, 8);   // no morning shift: all to the night
    model.calcCount(detect);
    EXPECT_EQ(detect.morning.OK, 0);
    EXPECT_EQ(detect.night.OK, 24);
}

TEST_F(StatsCounters, ShiftListsAndLabels)
{
    ResStatisticsParam model;
    setHours(model, 8, 20, 20, 8);
    QList<int> night;
    for (int h = 20; h < 24; ++h)
        night << h;
    for (int h = 0; h < 8; ++h)
        night << h;
    EXPECT_EQ(model.getShiftTimeList(ShiftNight), night);
    EXPECT_EQ(model.getShiftTimeList(ShiftMorning).first(), 8);
    EXPECT_EQ(model.getShiftTimeList(ShiftMorning).size(), 12);
    EXPECT_EQ(model.getShiftTimeList(ShiftDay).size(), 24);
    EXPECT_TRUE(model.getShiftTimeList(ShiftType(5)).isEmpty());

    // Hour lists of the shown day: build it from JSON through the loading slot.
    CountGroupList list;
    list.date = "2024-05-06";
    CountGroup group = freshGroup("A");
    for (int k = 0; k < 24; ++k)
        group.allCameras.cycle.OK[k] = k;
    list.groups.push_back(group);
    model.slotRecvRecord(ResStatisticsParam::StuCountToJson(list), true);
    model.shownGroupName = "A";
    EXPECT_EQ(model.getRes(ShiftMorning, true, 8, 8), (QList<int>{0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11}));
    EXPECT_EQ(model.getRes(ShiftNight, true, 8, 8).first(), 12);
    EXPECT_EQ(model.getRes(ShiftNight, true, 8, 8).size(), 12);
    EXPECT_EQ(model.getCount(ShiftDay, true, 8, 8), 276);
    EXPECT_EQ(model.getCount(ShiftMorning, true, 8, 8), 66);
    EXPECT_EQ(model.getCount(ShiftDay, true, 5, 8), 0);   // no camera 5
    EXPECT_TRUE(model.getRes(ShiftDay, true, 0, 7).isEmpty());

    // The day began at 8 (its group says so): the night from 8 to 20 holds its first twelve
    // slots, each under the clock hour it was counted in.
    setHours(model, 20, 8, 8, 20);
    EXPECT_EQ(model.getRes(ShiftNight, true, 8, 8), (QList<int>{0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11}));
    EXPECT_EQ(model.getRes(ShiftMorning, true, 8, 8).first(), 12);

    model.shownGroupName = "null";
    EXPECT_EQ(model.getCount(ShiftDay, true, 8, 8), 0);
    EXPECT_EQ(model.getGoupFromName("missing").groupName, "null");
    EXPECT_EQ(model.getGroups(), (QList<QString>{"A"}));
}

}  // namespace
