// The HTTP API as a plant system sees it: requests over loopback to the server on a free port,
// pushes to a subscriber listening on loopback.
#include "../../netcore/nettestutil.h"
#include "base/appclock.h"
#include "base/publictools.h"
#include "base/sqlconnection.h"
#include "base/storewriter.h"
#include "detection/counters.h"
#include "detection/mojuwizard.h"
#include "detection/recordstore.h"
#include "detection/records_support.h"
#include "api_support.h"
#include "netservices/api/apireplies.h"
#include "netservices/api/httpapiserver.h"
#include "netservices/companion/network.h"
#include "records/resstatisticsparam.h"
#include "support/fakecommandrunner.h"

#include <QDir>
#include <QFile>
#include <QImage>
#include <QJsonArray>
#include <QJsonDocument>
#include <QSemaphore>
#include <QSqlQuery>
#include <QTcpServer>
#include <QTimer>
#include <QElapsedTimer>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <thread>
#include <vector>

namespace {

struct Reply {
    QByteArray head;
    QByteArray body;
    QJsonObject json() const { return QJsonDocument::fromJson(body).object(); }
    QJsonObject result() const { return json().value("result").toObject(); }
};

// One request on a connection of its own, from a loopback address of its own when one is
// given; the event loop runs while it waits, so the handlers (in this thread) can answer.
Reply postText(quint16 port, const QString& url, const QByteArray& json, const QHostAddress& from = QHostAddress())
{
    QTcpSocket socket;
    if (!from.isNull() && !socket.bind(from))
        return {};
    socket.connectToHost(QHostAddress::LocalHost, port);
    if (!socket.waitForConnected(3000))
        return {};
    socket.write("POST " + url.toUtf8() + " HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: application/json\r\nContent-Length: " +
                 QByteArray::number(json.size()) + "\r\n\r\n" + json);
    const QByteArray data = NetTest::readUntil(socket, [](const QByteArray& bytes) {
        return !NetTest::splitReplies(bytes).isEmpty();
    }, 5000);
    const auto replies = NetTest::splitReplies(data);
    return replies.isEmpty() ? Reply{} : Reply{replies.first().first, replies.first().second};
}

Reply post(quint16 port, const QString& url, const QJsonObject& body = QJsonObject(),
           const QHostAddress& from = QHostAddress())
{
    return postText(port, url, QJsonDocument(body).toJson(QJsonDocument::Compact), from);
}

// Every (moment, remarks) of a get_records reply.
QStringList momentsAndRemarks(const Reply& reply)
{
    QStringList rows;
    for (const QJsonValue& row : reply.result().value("record").toArray())
        rows << row.toArray().at(0).toString() + " " + row.toArray().at(2).toString();
    return rows;
}

QString api(const char* route)
{
    return QStringLiteral("/v18/http/") + QLatin1String(route);
}

// A subscriber on loopback that takes every connection and keeps what each one sent.
struct Listener {
    QTcpServer server;
    QList<QTcpSocket*> peers;
    QList<QByteArray> streams;

    Listener()
    {
        server.listen(QHostAddress::LocalHost, 0);
        QObject::connect(&server, &QTcpServer::newConnection, [this] {
            while (QTcpSocket* peer = server.nextPendingConnection()) {
                const int index = streams.size();
                peers << peer;
                streams << QByteArray();
                QObject::connect(peer, &QTcpSocket::readyRead, [this, peer, index] { streams[index] += peer->readAll(); });
            }
        });
    }
    // The requests received so far, whole ones only.
    QList<QPair<QByteArray, QByteArray>> requests() const
    {
        QList<QPair<QByteArray, QByteArray>> all;
        for (const QByteArray& stream : streams)
            all += NetTest::splitReplies(stream);
        return all;
    }
};

// The main window (its cycle runs only when asked) and the network manager with the API on.
class HttpApiTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ApiTest::holdTheCycle();
        gDeviceID = "SN-TEST";
        window = std::make_unique<MoJuWizard>(nullptr, 0);
        netmn = ApiTest::listeningManager();
        port = netmn->apiServer->serverPort();
        ASSERT_NE(port, 0);
    }
    void TearDown() override
    {
        netmn.reset();
        window.reset();
        AppClock::setOffsetMs(0);
    }

    // A finished period with one saved NG picture of camera 2, step 1 (a real JPEG file).
    QByteArray finishPeriodWithPicture()
    {
        netmn->start_PeriodRecord();
        netmn->finish_PeriodRecord();
        QImage image(64, 48, QImage::Format_RGB32);
        image.fill(Qt::red);
        const QString path = "./alarmimage/camera2/detect1/NG/2026-12-07 08.00.00.jpg";
        EXPECT_TRUE(image.save(path, "JPG"));
        netmn->add_PeriodRecord_Picture(1, 0, false, path);
        QFile file(path);
        file.open(QIODevice::ReadOnly);
        return file.readAll();
    }

    FakeCommandRunner runner;
    std::unique_ptr<MoJuWizard> window;
    std::unique_ptr<JXK_NETMN> netmn;
    quint16 port = 0;
};

}  // namespace

TEST_F(HttpApiTest, EveryRouteIsRefusedWhileSwitchedOffAndUnknownUrlsAreNotFound)
{
    Reply reply = post(port, api("get_product_infos"));
    EXPECT_TRUE(reply.head.startsWith("HTTP/1.1 200 OK\r\n")) << reply.head.constData();
    EXPECT_TRUE(reply.head.contains("\r\nAccess-Control-Allow-Origin: *"));
    EXPECT_TRUE(reply.head.contains("\r\nDevice-ID: " + gDeviceID.toUtf8()));
    EXPECT_EQ(reply.json().value("code").toInt(), 0);
    EXPECT_EQ(reply.result().value("device_id").toString(), "press 7");
    EXPECT_EQ(reply.result().value("detect_all_detail").toArray().size(), 2);

    reply = post(port, api("get_production_infos"));
    EXPECT_TRUE(reply.head.startsWith("HTTP/1.1 404 Not Found\r\n"));
    EXPECT_EQ(reply.json().value("msg").toString(), "no found url");

    netmn->device_workapifunc = false;
    for (const char* route : {"get_product_infos", "production_count_bytime", "get_last_detectinfo", "get_detected_picture",
                              "get_records", "set_clear_curcount", "set_localclock", "subscriber_baseinfo"}) {
        reply = post(port, api(route), {{"datetime", "2026-12-07 08:00:00"}, {"subscriber", QJsonArray()}});
        EXPECT_TRUE(reply.head.startsWith("HTTP/1.1 403 OK\r\n")) << route;
        EXPECT_EQ(reply.json().value("msg").toString(), "未启用API服务") << route;
    }
    EXPECT_TRUE(runner.commands().isEmpty());
    EXPECT_FALSE(QFile::exists("ws/subscriber.ini"));
}

// A plant system polling every 0.5 s keeps its connection through a burst of connections that
// never ask anything, twice the session cap: they give way to each other, never to it.
TEST_F(HttpApiTest, APollingClientOutlastsABurstOfIdleConnections)
{
    QTcpSocket poller;
    poller.connectToHost(QHostAddress::LocalHost, port);
    ASSERT_TRUE(poller.waitForConnected(3000));
    const QByteArray request = "POST " + api("get_product_infos").toUtf8() +
                               " HTTP/1.1\r\nContent-Type: application/json\r\nContent-Length: 2\r\n\r\n{}";
    const auto poll = [&] {
        poller.write(request);
        return NetTest::splitReplies(NetTest::readUntil(poller, [](const QByteArray& bytes) {
                   return !NetTest::splitReplies(bytes).isEmpty();
               }, 5000)).size() == 1;
    };
    ASSERT_TRUE(poll());

    const int burst = 2 * JXKC::ReactorLimits().max_sessions;
    std::vector<std::unique_ptr<QTcpSocket>> idle;
    QElapsedTimer sincePoll;
    sincePoll.start();
    while (int(idle.size()) < burst) {
        for (int i = 0; i < 32; ++i) {
            idle.push_back(std::make_unique<QTcpSocket>());
            idle.back()->connectToHost(QHostAddress::LocalHost, port);
        }
        TestEnv::spin(10);
        if (sincePoll.elapsed() >= 500) {
            ASSERT_TRUE(poll());
            sincePoll.restart();
        }
    }
    ASSERT_TRUE(TestEnv::waitUntil([&] {
        return std::none_of(idle.begin(), idle.end(), [](const auto& s) { return s->state() == QAbstractSocket::ConnectingState; });
    }, 10000));
    for (int i = 0; i < 2; ++i) {
        TestEnv::spin(500);
        ASSERT_TRUE(poll()) << "poll " << i << " after the burst";
    }
    EXPECT_EQ(poller.state(), QAbstractSocket::ConnectedState);
}

TEST_F(HttpApiTest, TheLastPeriodNamesItsPicturesAndEachNameGetsItsFileBack)
{
    Reply reply = post(port, api("get_last_detectinfo"));
    EXPECT_TRUE(reply.head.startsWith("HTTP/1.1 403 OK\r\n"));
    EXPECT_EQ(reply.json().value("msg").toString(), "获取列表为空，需要先检测后获取信息。");

    const QByteArray jpeg = finishPeriodWithPicture();
    ASSERT_FALSE(jpeg.isEmpty());
    reply = post(port, api("get_last_detectinfo"));
    const QJsonObject last = reply.result();
    EXPECT_EQ(last.value("uuid").toString(), netmn->periodRecordCell.getValue().uuid);
    EXPECT_EQ(last.value("device_id").toString(), "press 7");
    const QJsonArray pictures = last.value("pictures").toArray();
    ASSERT_EQ(pictures.size(), 1);
    const QJsonObject picture = pictures.first().toObject();
    EXPECT_EQ(picture.value("picture_name").toString(), "2026-12-07 08.00.00.jpg");

    reply = post(port, api("get_detected_picture"), picture);
    EXPECT_TRUE(reply.head.contains("\r\nContent-Type: image/jpeg"));
    EXPECT_EQ(reply.body, jpeg);

    QJsonObject outside = picture;
    outside.insert("picture_name", "../../../../PARAM.db");
    EXPECT_EQ(post(port, api("get_detected_picture"), outside).result().value("errorstring").toString(), "参数错误");
}

TEST_F(HttpApiTest, ChangesMadeThroughTheApiAreInTheOperationRecords)
{
    gAllNum[0] = 7;
    EXPECT_TRUE(post(port, api("set_clear_curcount")).head.startsWith("HTTP/1.1 200 OK\r\n"));
    EXPECT_EQ(gAllNum[0], 0);
    EXPECT_EQ(post(port, api("set_localclock"), {{"datetime", "2026-12-07 08:00:00"}}).result(),
              QJsonObject({{"result", "success"}}));
    EXPECT_EQ(runner.count("date"), 1);

    const QString today = QDate::currentDate().toString("yyyy-MM-dd");
    const Reply reply = post(port, api("get_records"), {{"datetime_start", today + " 00:00:00"},
                                                        {"datetime_end", today + " 23:59:59"},
                                                        {"recordtype", "API"},
                                                        {"operator", ""}});
    QStringList remarks;
    for (const QJsonValue& row : reply.result().value("record").toArray())
        remarks << row.toArray().at(2).toString();
    EXPECT_EQ(remarks, QStringList({"API: 清除计数", "API: 修改系统时间,2026-12-07 08:00:00"}));

    // Requests the API cannot use still get an answer that says why.
    EXPECT_EQ(post(port, api("production_count_bytime"), {{"starttime", 1}}).result().value("errorstring").toString(),
              "错误的时间格式");
    EXPECT_EQ(post(port, api("production_count_bytime"),
                   {{"starttime", "2025-11-01 00:00:00"}, {"finishtime", "2026-12-07 00:00:00"}})
                  .result().value("errorstring").toString(),
              "查询时间跨度超过400天");
    EXPECT_EQ(post(port, api("get_records"), {{"datetime_start", "2025-11-01 00:00:00"}, {"datetime_end", "2026-12-07 00:00:00"}})
                  .result().value("errorstring").toString(),
              "查询时间跨度超过400天");
    EXPECT_EQ(post(port, api("subscriber_baseinfo")).result().value("errorstring").toString(), "参数错误");
}

// Calls that make a record come faster than the disk takes them: once the records that wait reach
// the depth, such calls are answered 503 before they change anything, the cycle's own records are
// still taken, and every call answered 200 has its record stored.
TEST_F(HttpApiTest, ARecordFloodPastTheWaitingDepthIsAnswered503AndNoAcceptedRecordIsLost)
{
    constexpr int kDepth = 20;
    window->recordStore()->setBusyRecords(kDepth);
    StoreWriter* writer = window->storeWriter();
    QSemaphore diskTakes;
    ASSERT_TRUE(writer->waitUntilStored(20000));
    const quint64 handedBefore = MoJuWizard::recordDay().handedOver();
    const int rowsBefore = RecordsTest::recordTexts("RECORD.db").size();
    writer->setBeforeStoreHook([&diskTakes] { diskTakes.tryAcquire(1, 30000); });
    NetTest::LogCapture log;

    int answered = 0;
    QList<Reply> refused;
    for (int i = 0; i < 2 * kDepth; ++i) {
        const Reply reply = post(port, api("set_clear_curcount"));
        if (reply.head.startsWith("HTTP/1.1 200 OK\r\n"))
            ++answered;
        else
            refused << reply;
    }
    EXPECT_EQ(answered, kDepth);
    ASSERT_EQ(refused.size(), kDepth);
    EXPECT_TRUE(refused.first().head.startsWith("HTTP/1.1 503 Service Unavailable\r\n")) << refused.first().head.toStdString();
    EXPECT_EQ(refused.first().json().value("msg").toString(), "服务器忙碌中");

    // Refused before the work: the counters stay, the clock is not set.
    gAllNum[0] = 5;
    EXPECT_TRUE(post(port, api("set_clear_curcount")).head.startsWith("HTTP/1.1 503"));
    EXPECT_TRUE(post(port, api("set_localclock"), {{"datetime", "2026-12-07 08:00:00"}}).head.startsWith("HTTP/1.1 503"));
    EXPECT_EQ(gAllNum[0], 5);
    EXPECT_EQ(runner.count("date"), 0);
    window->InsertRecord("alarm while busy", "run");

    writer->setBeforeStoreHook(nullptr);
    diskTakes.release(1000);
    ASSERT_TRUE(writer->waitUntilStored(20000));
    const QStringList rows = RecordsTest::recordTexts("RECORD.db");
    EXPECT_EQ(rows.count("API: 清除计数"), answered);
    EXPECT_TRUE(rows.contains("alarm while busy"));
    // Every record handed over is stored: none was counted and then dropped.
    EXPECT_EQ(MoJuWizard::recordDay().handedOver() - handedBefore, quint64(rows.size() - rowsBefore));

    // Once the disk has caught up, such calls are taken again, and the log says how many were not.
    EXPECT_TRUE(post(port, api("set_clear_curcount")).head.startsWith("HTTP/1.1 200 OK\r\n"));
    EXPECT_EQ(gAllNum[0], 0);
    EXPECT_EQ(log.lines(QtWarningMsg).filter("are answered 503 until fewer wait").size(), 1);
    EXPECT_EQ(log.lines(QtInfoMsg).filter(QString("%1 API calls that make a record were answered 503").arg(kDepth + 2)).size(), 1)
        << log.lines(QtInfoMsg).join('\n').toStdString();
}

TEST_F(HttpApiTest, ASubscriberGetsEveryFinishedPeriodAndPictureAndOutlivesARestart)
{
    Listener listener;
    ASSERT_TRUE(listener.server.isListening());
    const int subscriberPort = listener.server.serverPort();
    const QJsonArray subscribers{
        QJsonObject{{"subscriber_ip", "127.0.0.1"}, {"subscriber_port", subscriberPort}, {"subscriber_topic", "detected_info"}},
        QJsonObject{{"subscriber_ip", "127.0.0.1"}, {"subscriber_port", subscriberPort}, {"subscriber_topic", "detected_picture"}}};
    const QString infoKey = QString("127.0.0.1;%1;detected_info").arg(subscriberPort);
    const QString pictureKey = QString("127.0.0.1;%1;detected_picture").arg(subscriberPort);
    Reply reply = post(port, api("subscriber_baseinfo"), {{"subscriber", subscribers}});
    EXPECT_EQ(reply.result().value("subscribe_result").toArray(), QJsonArray({infoKey, pictureKey}));

    const QByteArray jpeg = finishPeriodWithPicture();
    ASSERT_TRUE(TestEnv::waitUntil([&] { return listener.requests().size() == 2; }, 5000));
    QByteArray info;
    QByteArray picture;
    for (const auto& request : listener.requests()) {
        if (request.first.startsWith("POST /v18/http/post_detected_info HTTP/1.1"))
            info = request.second;
        if (request.first.startsWith("POST /v18/http/post_detected_picture?camera_index=1&camera_result=false&"
                                     "detect_index=0&picture_name=2026-12-07 08.00.00.jpg HTTP/1.1"))
            picture = request.second;
    }
    EXPECT_EQ(QJsonDocument::fromJson(info).object().value("uuid").toString(), netmn->periodRecordCell.getValue().uuid);
    EXPECT_EQ(picture, jpeg);

    // A restart reads the subscriptions back from the workspace.
    netmn = ApiTest::listeningManager();
    reply = post(netmn->apiServer->serverPort(), api("subscriber_baseinfo"), {{"subscriber", QJsonArray()}});
    EXPECT_EQ(reply.result().value("subscribe_result").toArray(), QJsonArray({infoKey, pictureKey}));
}

TEST_F(HttpApiTest, AHistoryQueryWaitingForItsFilesLeavesTheGuiThreadFree)
{
    // A day file that another connection holds locked: reading it has to wait.
    QDir().mkpath("RECORD");
    SqlConnection locker("locker", "RECORD/2026-03-09.db");
    QSqlQuery lock(locker.db());
    ASSERT_TRUE(lock.exec("CREATE TABLE RECORD (recordtime TEXT, recordpassword TEXT, remarks TEXT, recordtype TEXT)"));
    ASSERT_TRUE(lock.exec("INSERT INTO RECORD VALUES ('10.00.00', 'admin', 'waited for', 'set')"));
    ASSERT_TRUE(lock.exec("BEGIN EXCLUSIVE"));

    // The GUI thread's timers: one counts, one lets the file go. Both fire only while the
    // handler does not hold this thread.
    int ticks = 0;
    QTimer ticker;
    QObject::connect(&ticker, &QTimer::timeout, [&ticks] { ++ticks; });
    ticker.start(10);
    QTimer::singleShot(200, [&lock] { lock.exec("COMMIT"); });

    QTcpSocket socket;
    socket.connectToHost(QHostAddress::LocalHost, port);
    ASSERT_TRUE(socket.waitForConnected(3000));
    const QByteArray body = QJsonDocument(QJsonObject{{"datetime_start", "2026-03-09 00:00:00"},
                                                      {"datetime_end", "2026-03-09 23:59:59"}})
                                .toJson(QJsonDocument::Compact);
    socket.write("POST /v18/http/get_records HTTP/1.1\r\nContent-Type: application/json\r\nContent-Length: " +
                 QByteArray::number(body.size()) + "\r\n\r\n" + body);
    const QByteArray data = NetTest::readUntil(socket, [](const QByteArray& bytes) {
        return !NetTest::splitReplies(bytes).isEmpty();
    }, 15000);
    const auto replies = NetTest::splitReplies(data);
    ASSERT_EQ(replies.size(), 1);
    // The file was let go by this thread while the request was served, and then read.
    EXPECT_EQ(momentsAndRemarks(Reply{replies.first().first, replies.first().second}),
              QStringList({"2026-03-09 10:00:00 waited for"}));
    EXPECT_GE(ticks, 10);
}

TEST_F(HttpApiTest, RecordsAndCountsEitherSideOfMidnightAnswerUnderTheirOwnDay)
{
    // A fresh main window on the evening of the 9th, with none of the set-up's day files.
    netmn.reset();
    window.reset();
    for (const char* file : {"RECORD.db", "time.txt", "ResStatistics.db", "resstatistics.json"})
        QFile::remove(file);
    AppClock::setNow(QDateTime(QDate(2026, 3, 9), QTime(23, 59, 58)));
    window = std::make_unique<MoJuWizard>(nullptr, 0);
    netmn = ApiTest::listeningManager();
    port = netmn->apiServer->serverPort();
    const QJsonObject records{{"datetime_start", "2026-03-09 23:00:00"}, {"datetime_end", "2026-03-10 01:00:00"}};

    AppClock::setNow(QDateTime(QDate(2026, 3, 9), QTime(23, 59, 59)));
    window->Run();
    window->InsertRecord("before midnight", "info");

    // Past midnight, nothing written yet: the open database still holds the 9th.
    AppClock::setNow(QDateTime(QDate(2026, 3, 10), QTime(0, 0, 0)));
    EXPECT_EQ(momentsAndRemarks(post(port, api("get_records"), records)),
              QStringList({"2026-03-09 23:59:59 before midnight"}));
    EXPECT_TRUE(momentsAndRemarks(post(port, api("get_records"), {{"datetime_start", "2026-03-10 00:00:00"},
                                                                 {"datetime_end", "2026-03-10 01:00:00"}}))
                    .isEmpty());

    // The first record of the day goes into a database of its own day.
    AppClock::setNow(QDateTime(QDate(2026, 3, 10), QTime(0, 0, 1)));
    window->Run();
    window->InsertRecord("after midnight", "info");
    ASSERT_TRUE(window->storeWriter()->waitUntilStored(10000));
    EXPECT_TRUE(QFile::exists("RECORD/2026-03-09.db"));
    EXPECT_EQ(momentsAndRemarks(post(port, api("get_records"), records)),
              QStringList({"2026-03-09 23:59:59 before midnight", "2026-03-10 00:00:01 after midnight"}));

    // The production day runs from 08:00: the two cycles count into its hours 23 and 0.
    ResStatisticsParam::getInstance()->checkDate();
    const QJsonObject counts{{"starttime", "2026-03-09 23:00:00"}, {"finishtime", "2026-03-10 00:59:59"}};
    QJsonArray all;
    EXPECT_TRUE(TestEnv::waitUntil([&] {
        all = post(port, api("production_count_bytime"), counts).result().value("detect_all").toArray();
        return all == QJsonArray({1, 1});
    }, 5000)) << QJsonDocument(all).toJson().constData();
}

// The record day rolls over while a get_records over several days is under way, after it began
// and before it reads the day that ends: every row of that day is in the answer.
TEST_F(HttpApiTest, ARecordQueryThatTheDayRollOvertakesAnswersEveryRowOfTheFinishedDay)
{
    netmn.reset();
    window.reset();
    for (const char* file : {"RECORD.db", "time.txt"})
        QFile::remove(file);
    QDir().mkpath("RECORD");
    for (const QString day : {"2026-03-07", "2026-03-08"}) {
        SqlConnection file("dayfile", "RECORD/" + day + ".db");
        QSqlQuery query(file.db());
        ASSERT_TRUE(query.exec("CREATE TABLE RECORD (recordtime TEXT, recordpassword TEXT, remarks TEXT, recordtype TEXT)"));
        ASSERT_TRUE(query.exec("INSERT INTO RECORD VALUES ('12.00.00', 'admin', 'noon', 'run')"));
    }
    AppClock::setNow(QDateTime(QDate(2026, 3, 9), QTime(23, 59, 50)));
    window = std::make_unique<MoJuWizard>(nullptr, 0);
    netmn = ApiTest::listeningManager();
    for (int i = 1; i <= 3; ++i)
        window->InsertRecord(QString("evening %1").arg(i), "info");
    ASSERT_TRUE(window->storeWriter()->waitUntilStored(10000));

    RecordDay& recordDay = MoJuWizard::recordDay();
    std::atomic<int> readings{0};
    recordDay.setBeforeReadingHook([&] {
        // The roll comes as the query is about to read its first day (on its work thread).
        if (readings++ != 0)
            return;
        AppClock::setNow(QDateTime(QDate(2026, 3, 10), QTime(0, 0, 1)));
        window->checkRecordDay();
        window->storeWriter()->waitUntilStored(10000);
    });
    const Reply reply = post(netmn->apiServer->serverPort(), api("get_records"),
                             {{"datetime_start", "2026-03-07 00:00:00"}, {"datetime_end", "2026-03-10 23:59:59"}});
    recordDay.setBeforeReadingHook(nullptr);
    EXPECT_TRUE(QFile::exists("RECORD/2026-03-09.db"));
    EXPECT_GE(readings.load(), 4);
    EXPECT_EQ(momentsAndRemarks(reply),
              QStringList({"2026-03-07 12:00:00 noon", "2026-03-08 12:00:00 noon", "2026-03-09 23:59:50 evening 1",
                           "2026-03-09 23:59:50 evening 2", "2026-03-09 23:59:50 evening 3"}));
}

// The clock is set back into a finished day, and later the disk takes no records for a while:
// the day is answered in time order, and the records that wait for the disk are in the answer.
TEST_F(HttpApiTest, ARecordQueryAnswersEachDayInTimeOrderWithTheRecordsStillWaitingForTheDisk)
{
    netmn.reset();
    window.reset();
    for (const char* file : {"RECORD.db", "time.txt"})
        QFile::remove(file);
    AppClock::setNow(QDateTime(QDate(2026, 3, 9), QTime(23, 26, 18)));
    window = std::make_unique<MoJuWizard>(nullptr, 0);
    netmn = ApiTest::listeningManager();
    window->InsertRecord("late", "info");
    AppClock::setNow(QDateTime(QDate(2026, 3, 10), QTime(0, 0, 10)));
    window->checkRecordDay();
    AppClock::setNow(QDateTime(QDate(2026, 3, 9), QTime(12, 0, 20)));   // set back a day
    window->checkRecordDay();
    window->InsertRecord("noon, the clock set back", "info");
    AppClock::setNow(QDateTime(QDate(2026, 3, 10), QTime(8, 0, 0)));
    window->checkRecordDay();
    StoreWriter* writer = window->storeWriter();
    ASSERT_TRUE(writer->waitUntilStored(10000));
    ASSERT_EQ(RecordsTest::recordTexts("RECORD/2026-03-09.db"), QStringList({"late", "noon, the clock set back"}));

    // The disk takes nothing for now (bounded, should the test never let it).
    QSemaphore diskTakes;
    writer->setBeforeStoreHook([&diskTakes] { diskTakes.tryAcquire(1, 30000); });
    window->InsertRecord("waiting for the disk", "info");
    const Reply reply = post(netmn->apiServer->serverPort(), api("get_records"),
                             {{"datetime_start", "2026-03-09 00:00:00"}, {"datetime_end", "2026-03-10 23:59:59"}});
    writer->setBeforeStoreHook(nullptr);
    diskTakes.release(1000);
    EXPECT_EQ(momentsAndRemarks(reply),
              QStringList({"2026-03-09 12:00:20 noon, the clock set back", "2026-03-09 23:26:18 late",
                           "2026-03-10 08:00:00 waiting for the disk"}));
    ASSERT_TRUE(writer->waitUntilStored(10000));
    EXPECT_EQ(RecordsTest::recordTexts("RECORD.db"), QStringList({"waiting for the disk"}));
}

TEST_F(HttpApiTest, OneClientCannotKeepAnotherOutOfTheSubscriptions)
{
    const auto subscriber = [](const QString& address, int port) {
        return QJsonObject{{"subscriber_ip", address}, {"subscriber_port", port}, {"subscriber_topic", "detected_info"}};
    };
    QJsonArray many;
    for (int i = 1; i <= 40; ++i)
        many.append(subscriber(QString("192.0.2.%1").arg(i), 9000));
    const QJsonArray other{subscriber("127.0.0.1", 9001)};
    const QHostAddress otherClient("127.0.0.2");
    const QString otherKey = "127.0.0.1;9001;detected_info";

    Reply reply = post(port, api("subscriber_baseinfo"), {{"subscriber", many}});
    EXPECT_EQ(reply.result().value("subscribe_result").toArray().size(), SubscriberStore::kMaxKeysPerAddress);
    EXPECT_EQ(reply.result().value("errorstring").toString(), "每个地址最多订阅8项");
    reply = post(port, api("subscriber_baseinfo"), {{"subscriber", other}}, otherClient);
    EXPECT_TRUE(reply.result().value("subscribe_result").toArray().contains(otherKey));
    EXPECT_FALSE(reply.result().contains("errorstring"));

    // Both renew before the hour is out, and both stay.
    AppClock::advanceMs(59 * 60 * 1000);
    post(port, api("subscriber_baseinfo"), {{"subscriber", many}});
    reply = post(port, api("subscriber_baseinfo"), {{"subscriber", other}}, otherClient);
    AppClock::advanceMs(2 * 60 * 1000);
    reply = post(port, api("subscriber_baseinfo"), {{"subscriber", QJsonArray()}});
    AppClock::setOffsetMs(0);
    const QJsonArray keys = reply.result().value("subscribe_result").toArray();
    EXPECT_EQ(keys.size(), SubscriberStore::kMaxKeysPerAddress + 1);
    EXPECT_TRUE(keys.contains(otherKey));
}

// The API takes what its largest request needs, a full subscription list however it is
// spelled, and refuses JSON nested deeper or holding more values before Qt reads a byte of it:
// Qt's reader would take both.
TEST_F(HttpApiTest, JsonBeyondWhatTheLargestRequestNeedsIsRefusedBeforeItIsRead)
{
    QString topic = "detected_info";
    topic += QString(SubscriberStore::kMaxTopicLength - topic.size(), QLatin1Char('x'));
    QJsonArray list;
    for (int i = 0; i < SubscriberStore::kMaxKeys; ++i) {
        list.append(QJsonObject{{"subscriber_ip", "ffff:ffff:ffff:ffff:ffff:ffff:255.255.255.255"},
                                {"subscriber_port", 65535 - i},
                                {"subscriber_topic", topic}});
    }
    QByteArray full = QJsonDocument(QJsonObject{{"subscriber", list}}).toJson(QJsonDocument::Indented);
    QByteArray escaped;
    for (const QChar c : topic)
        escaped += QString::asprintf("\\u%04x", c.unicode()).toLatin1();
    full.replace(topic.toLatin1(), escaped);
    Reply reply = postText(port, api("subscriber_baseinfo"), full);
    EXPECT_TRUE(reply.head.startsWith("HTTP/1.1 200 OK\r\n")) << reply.head.constData();
    const QJsonArray keys = reply.result().value("subscribe_result").toArray();
    ASSERT_EQ(keys.size(), SubscriberStore::kMaxKeysPerAddress);
    EXPECT_TRUE(keys.at(0).toString().endsWith(";" + topic));

    const QByteArray deep = R"({"subscriber":)" + QByteArray(100, '[') + QByteArray(100, ']') + "}";
    const QByteArray numerous = R"({"subscriber":[)" + QByteArray("0,").repeated(10000) + "0]}";
    const struct {
        QByteArray body;
        NetworkJson::Names scanned;
        const char* msg;
    } refused[] = {{deep, NetworkJson::Names::TooDeep, "json too deep"},
                   {numerous, NetworkJson::Names::TooMany, "too many json values"}};
    for (const auto& r : refused) {
        ASSERT_FALSE(QJsonDocument::fromJson(r.body).isNull());
        EXPECT_EQ(NetworkJson::scanNames(r.body.constData(), r.body.size(), HttpApiServer::kRequestJson), r.scanned);
        reply = postText(port, api("subscriber_baseinfo"), r.body);
        EXPECT_TRUE(reply.head.startsWith("HTTP/1.1 400 Bad Request\r\n")) << reply.head.constData();
        EXPECT_EQ(reply.json().value("msg").toString(), r.msg);
    }
    // Beyond its size it is refused on its header.
    reply = postText(port, api("subscriber_baseinfo"), QByteArray(int(HttpApiServer::kRequestJson.maxBytes) + 1, ' '));
    EXPECT_TRUE(reply.head.startsWith("HTTP/1.1 413 ")) << reply.head.constData();
}

TEST_F(HttpApiTest, TheStopEndsAConnectionThatKeepsAskingWithoutAHalfAnswer)
{
    // A client on a thread of its own asks without pause, one request after the other: urls the
    // transport's thread answers itself, and one the handlers answer in this thread.
    std::atomic<int> answered{0};
    std::atomic<bool> closedByServer{false};
    QByteArray stream;
    std::thread client([&] {
        QTcpSocket socket;
        socket.connectToHost(QHostAddress::LocalHost, port);
        if (!socket.waitForConnected(3000))
            return;
        QElapsedTimer bound;
        bound.start();
        for (int n = 0; bound.elapsed() < 30000; ++n) {
            const QByteArray url = n % 4 == 3 ? "/v18/http/get_product_infos" : "/v18/http/nowhere";
            socket.write("POST " + url + " HTTP/1.1\r\nContent-Type: application/json\r\nContent-Length: 2\r\n\r\n{}");
            while (NetTest::splitReplies(stream).size() <= n && socket.state() == QAbstractSocket::ConnectedState
                   && bound.elapsed() < 30000) {
                socket.waitForReadyRead(100);
                stream += socket.readAll();
            }
            if (socket.state() != QAbstractSocket::ConnectedState) {
                closedByServer = true;
                break;
            }
            answered = NetTest::splitReplies(stream).size();
        }
        stream += socket.readAll();
    });
    EXPECT_TRUE(TestEnv::waitUntil([&] { return answered >= 20; }, 10000));

    netmn.reset();
    client.join();
    EXPECT_TRUE(closedByServer);
    const auto replies = NetTest::splitReplies(stream);
    EXPECT_GE(replies.size(), 20);
    for (const auto& reply : replies) {
        EXPECT_TRUE(reply.first.startsWith("HTTP/1.1 404 Not Found\r\n") || reply.first.startsWith("HTTP/1.1 200 OK\r\n"))
            << reply.first.constData();
    }
}
