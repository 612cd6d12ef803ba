#include "base/appclock.h"
#include "base/publictools.h"
#include "base/sqlconnection.h"
#include "base/storewriter.h"
#include "detection/counters.h"
#include "detection/mojuwizard.h"
#include "netservices/api/apireplies.h"
#include "support/fakecommandrunner.h"
#include "support/testenv.h"

#include <QBuffer>
#include <QImage>
#include <QJsonArray>
#include <QJsonDocument>
#include <QSettings>
#include <QSqlQuery>
#include <gtest/gtest.h>

#include <memory>

namespace {

// The main window with two cameras and two steps; its cycle runs only when a test calls Run().
class ApiRepliesTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        qputenv("MOULD_SIM_CYCLE_MS", "3600000");
        qputenv("MOULD_SIM_NG_EVERY", "0");
        qputenv("MOULD_SIM_CAMERAS", "2");
        HttpApiReplies::clearCurrentCount();   // the counters are process-wide
        window = std::make_unique<MoJuWizard>(nullptr, 0);
    }
    void TearDown() override
    {
        window.reset();
        qputenv("MOULD_SIM_NG_EVERY", "0");
    }

    QStringList apiRows()
    {
        QStringList rows;
        EXPECT_TRUE(window->storeWriter()->waitUntilStored(10000));
        SqlConnection records("apirows", MoJuWizard::recordDatabasePath(), SqlConnection::ReadOnly);
        QSqlQuery query(records.db());
        query.exec("SELECT remarks FROM RECORD WHERE recordtype = 'API'");
        while (query.next())
            rows << query.value(0).toString();
        return rows;
    }

    std::unique_ptr<MoJuWizard> window;
};

QJsonObject pictureRequest(const QJsonValue& camera, const QJsonValue& step, const QJsonValue& ok, const QString& name)
{
    return {{"camera_index", camera}, {"detect_index", step}, {"detect_result", ok}, {"picture_name", name}};
}

QString pathOrError(const QJsonObject& body)
{
    HttpApiReplies::PictureRequest request;
    if (!HttpApiReplies::parsePictureRequest(body, &request))
        return HttpApiReplies::pictureRefusal().value("errorstring").toString();
    QJsonObject error;
    const QString path = HttpApiReplies::detectedPicturePath(request, &error);
    return path.isEmpty() ? error.value("errorstring").toString() : path;
}

QJsonObject countOrRefusal(const QJsonObject& body, const QString& deviceName)
{
    HttpApiReplies::CountRequest request;
    QJsonObject refusal;
    if (!HttpApiReplies::parseCountRequest(body, &request, &refusal))
        return refusal;
    request.deviceName = deviceName;
    QJsonParseError error;
    const QJsonObject reply = QJsonDocument::fromJson(HttpApiReplies::productionCount(request), &error).object();
    EXPECT_EQ(error.error, QJsonParseError::NoError);
    return reply;
}

}  // namespace

TEST_F(ApiRepliesTest, SetsTheClockOnlyFromAnExactTimeAndOnlyReportsWhatTheCommandsDid)
{
    FakeCommandRunner runner;
    const auto clock = [](const QString& text) { return HttpApiReplies::setLocalClock({{"datetime", text}}); };

    EXPECT_EQ(clock("2026-12-07 08:05:09"), QJsonObject({{"result", "success"}}));
    EXPECT_EQ(runner.commands(), QStringList({R"(date -s "2026-12-07 08:05:09")", "hwclock --systohc"}));
    EXPECT_EQ(apiRows(), QStringList({"API: 修改系统时间,2026-12-07 08:05:09"}));

    for (const QString& bad : {QString("2026-12-07T08:05:09"), QString("2026-12-7 08:05:09"), QString("")})
        EXPECT_EQ(clock(bad), QJsonObject({{"result", "时间格式错误"}})) << bad.toStdString();
    EXPECT_EQ(HttpApiReplies::setLocalClock({{"datetime", 20261207}}), QJsonObject({{"result", "时间格式错误"}}));
    EXPECT_EQ(runner.commands().size(), 2);

    // date refuses; then hwclock cannot be started: neither is reported or logged as a success.
    runner.setHandler([](const QString& program, const QStringList&) {
        return program == "date" ? CommandResult{true, 1, {}} : CommandResult{};
    });
    EXPECT_EQ(clock("2026-12-07 09:00:00"), QJsonObject({{"result", "设置时间失败"}}));
    EXPECT_EQ(runner.count("hwclock"), 1);
    runner.setHandler([](const QString& program, const QStringList&) {
        return program == "hwclock" ? CommandResult{false, 0, {}} : CommandResult{};
    });
    EXPECT_EQ(clock("2026-12-07 10:00:00"), QJsonObject({{"result", "设置时间失败"}}));
    EXPECT_EQ(apiRows().size(), 1);
}

TEST_F(ApiRepliesTest, APictureRequestNeverLeavesItsStepsPictureFolders)
{
    // Only a whole JPEG is answered.
    QByteArray jpeg;
    QBuffer buffer(&jpeg);
    buffer.open(QIODevice::WriteOnly);
    QImage picture(8, 8, QImage::Format_RGB32);
    picture.fill(Qt::red);
    ASSERT_TRUE(picture.save(&buffer, "JPG"));
    for (const char* path : {"alarmimage/camera2/detect1/NG/ng.jpg", "alarmimage/camera2/detect1/OK/ok.jpg",
                             "alarmimage/camera2/detect2/NG/second.jpg", "secret.jpg"})
        TestEnv::writeText(path, jpeg);

    EXPECT_EQ(pathOrError(pictureRequest(1, 0, false, "ng.jpg")), "./alarmimage/camera2/detect1/NG/ng.jpg");
    EXPECT_EQ(pathOrError(pictureRequest(1, 0, true, "ok.jpg")), "./alarmimage/camera2/detect1/OK/ok.jpg");
    // The number 1 is not true: the NG folder is searched.
    EXPECT_EQ(pathOrError(pictureRequest(1, 0, 1, "ok.jpg")), "未查询到图片");
    EXPECT_EQ(pathOrError(pictureRequest(1, 0, 1, "ng.jpg")), "./alarmimage/camera2/detect1/NG/ng.jpg");
    // Listed as OK, saved with its NG picture.
    EXPECT_EQ(pathOrError(pictureRequest(1, 1, true, "second.jpg")), "./alarmimage/camera2/detect2/NG/second.jpg");

    for (const QString& name : {QString("../../../../secret.jpg"), QString(".."), QString("."), QString(""),
                                QString("NG/ng.jpg"), QString("..\\ng.jpg")})
        EXPECT_EQ(pathOrError(pictureRequest(1, 0, false, name)), "参数错误") << name.toStdString();
    EXPECT_EQ(pathOrError(pictureRequest(2, 0, false, "ng.jpg")), "参数错误");   // camera_index == numCamera
    EXPECT_EQ(pathOrError(pictureRequest(1, 2, false, "ng.jpg")), "参数错误");   // detect_index == gDNum
    EXPECT_EQ(pathOrError(pictureRequest("1", 0, false, "ng.jpg")), "参数错误");
    EXPECT_EQ(pathOrError(pictureRequest(0.5, 0, false, "ng.jpg")), "参数错误");
    EXPECT_EQ(pathOrError(pictureRequest(1, 0, false, "missing.jpg")), "未查询到图片");
}

TEST_F(ApiRepliesTest, ProductInfosFollowTheWindowAndClearingZeroesAndStoresEveryCounter)
{
    window.reset();
    qputenv("MOULD_SIM_NG_EVERY", "1");
    window = std::make_unique<MoJuWizard>(nullptr, 0);
    window->Run();   // two steps; camera 1 judges NG at the last one
    gAllCycleNum[5] = 40;   // the largest period counter counts, whatever camera holds it
    QJsonObject infos = HttpApiReplies::productInfos("press 7");
    EXPECT_EQ(infos.value("camera_count").toInt(), 2);
    EXPECT_EQ(infos.value("device_sn").toString(), gDeviceID);
    EXPECT_EQ(infos.value("device_id").toString(), "press 7");
    EXPECT_EQ(infos.value("run_status").toInt(), 1);
    EXPECT_EQ(infos.value("detect_status").toInt(), 2);
    EXPECT_EQ(infos.value("detect_all").toInt(), 40);
    EXPECT_EQ(infos.value("detect_ng").toInt(), 1);
    EXPECT_EQ(infos.value("detect_all_detail").toArray(), QJsonArray({2, 2}));
    EXPECT_EQ(infos.value("detect_ng_detail").toArray(), QJsonArray({1, 0}));

    HttpApiReplies::clearCurrentCount();
    window->StopDetect();
    infos = HttpApiReplies::productInfos("press 7");
    ASSERT_TRUE(window->storeWriter()->waitUntilStored(10000));
    EXPECT_EQ(infos.value("run_status").toInt(), 0);
    EXPECT_EQ(infos.value("detect_all").toInt(), 0);
    EXPECT_EQ(infos.value("detect_ng_detail").toArray(), QJsonArray({0, 0}));
    QSettings stored(MoJuWizard::countFilePath(), QSettings::IniFormat);
    EXPECT_EQ(stored.value("count/allCycleNum5").toInt(), 0);
    EXPECT_EQ(stored.value("count/syncNGCycleNum").toInt(), 0);
    EXPECT_EQ(stored.value("count/allNum0").toInt(), 0);
    EXPECT_EQ(apiRows(), QStringList({"API: 清除计数"}));
}

TEST_F(ApiRepliesTest, CountQueriesAnswerEveryRequestAndRefuseSpansBeforeReadingFiles)
{
    const QJsonObject refused{{"errorstring", "错误的时间格式"}};
    const auto count = [](const QJsonValue& from, const QJsonValue& to) {
        return countOrRefusal({{"starttime", from}, {"finishtime", to}}, "press 7");
    };
    EXPECT_EQ(count(20261207, "2026-12-07 10:00:00"), refused);
    EXPECT_EQ(countOrRefusal({{"starttime", "2026-12-07 00:00:00"}}, "press 7"), refused);
    EXPECT_EQ(count("2026-12-07", "2026-12-07 10:00:00"), refused);
    // A span over the cap says so, not that its times do not read.
    const QJsonObject overCap{{"errorstring", "查询时间跨度超过400天"}};
    EXPECT_EQ(count("2016-12-07 00:00:00", "2026-12-07 10:00:00"), overCap);
    EXPECT_EQ(count("2025-11-01 00:00:00", "2026-12-07 00:00:00"), overCap);   // 401 days
    EXPECT_TRUE(count("2025-11-01 00:00:00", "2026-12-06 23:59:59").contains("detect_all"));   // 400

    const QJsonObject day = count("2026-12-07 00:00:00", "2026-12-07 23:59:59");
    for (const char* key : {"detect_all", "detect_all_detail", "detect_ng", "detect_ng_detail", "every_detect"})
        EXPECT_TRUE(day.contains(key)) << key;
    EXPECT_EQ(day.value("device_id").toString(), "press 7");
    EXPECT_EQ(day.value("device_sn").toString(), gDeviceID);
}

TEST(ApiReplies, LastDetectInfoListsEachWellFormedPictureKeyByFileName)
{
    const QJsonObject summary{{"uuid", "V18#dev@1"}, {"detect_result", false}};
    const QMap<QString, QString> pictures{{"0;1;0", "./alarmimage/camera1/detect2/NG/a.jpg"},
                                          {"1;0;1", "./alarmimage/camera2/detect1/OK/b.jpg"},
                                          {"1;1", "./c.jpg"},
                                          {"1;1;yes", "./d.jpg"}};
    const QJsonObject reply = HttpApiReplies::lastDetectInfo(summary, pictures);
    EXPECT_EQ(reply.value("uuid").toString(), "V18#dev@1");
    const QJsonArray list = reply.value("pictures").toArray();
    ASSERT_EQ(list.size(), 3);
    EXPECT_EQ(list.at(0).toObject(), QJsonObject({{"camera_index", 0}, {"detect_index", 1}, {"detect_result", false},
                                                  {"picture_name", "a.jpg"}}));
    EXPECT_EQ(list.at(1).toObject().value("detect_result"), QJsonValue(true));
    EXPECT_EQ(list.at(2).toObject().value("detect_result"), QJsonValue(false));
    EXPECT_EQ(list.at(2).toObject().value("picture_name").toString(), "d.jpg");
    EXPECT_EQ(HttpApiReplies::lastDetectInfo(summary, {}).value("pictures").toArray(), QJsonArray());
}
