#include "../../netcore/nettestutil.h"
#include "base/publictools.h"
#include "netservices/api/tcppush2app.h"

#include <QPointer>
#include <QTcpServer>
#include <QTcpSocket>
#include <gtest/gtest.h>

namespace {

// A subscriber on loopback: collects what arrives and, when told to, answers the request
// with the transport's reply form, carrying the request's uuid.
struct Subscriber {
    QTcpServer server;
    QTcpSocket* peer = nullptr;
    QByteArray received;

    bool listen() { return server.listen(QHostAddress::LocalHost, 0); }
    // Waits for one whole request; returns its header and body.
    QPair<QByteArray, QByteArray> request()
    {
        TestEnv::waitUntil([this] {
            if (!peer && server.hasPendingConnections())
                peer = server.nextPendingConnection();
            if (peer)
                received += peer->readAll();
            return !NetTest::splitReplies(received).isEmpty();
        });
        const auto messages = NetTest::splitReplies(received);
        return messages.isEmpty() ? QPair<QByteArray, QByteArray>() : messages.first();
    }
    void answer(const QByteArray& uuid, const QByteArray& json)
    {
        const QByteArray body = R"({"code":0,"msg":"OK","result":)" + json + "}";
        peer->write("HTTP/1.1 200 OK\r\nUser-Agent: " + uuid + "\r\nContent-Type: application/json\r\nContent-Length: " +
                    QByteArray::number(body.size()) + "\r\n\r\n" + body);
    }
};

QPointer<Tcp_Push2APP> startPush(quint16 port, const CTask_FormData& request)
{
    auto* push = new Tcp_Push2APP;
    push->setProperty("create-time", gettimeofday_ms());
    push->setProperty("uuid", request.uuid);
    push->setProperty("type", request.url);
    push->push({"127.0.0.1", port}, request);
    return push;
}

}  // namespace

TEST(Push, PostsThePictureFileAndLogsTheSubscribersTimingsThenGoes)
{
    Subscriber subscriber;
    ASSERT_TRUE(subscriber.listen());
    const QByteArray picture = QByteArray("\xff\xd8 not quite a jpeg \xff\xd9", 22) + QByteArray(100000, 'p');
    TestEnv::writeText("alarmimage/camera1/detect1/NG/pic 1.jpg", picture);

    CTask_FormData request;
    request.url = "/v18/http/post_detected_picture";
    request.uuid = "V18#press 7@abc";
    request.content_type = "image/jpeg";
    request.query.insert("camera_index", "0");
    request.query.insert("picture_name", "pic 1.jpg");
    request.files.insert("alarmimage/camera1/detect1/NG/pic 1.jpg", QByteArray());

    NetTest::LogCapture log;
    QPointer<Tcp_Push2APP> push = startPush(subscriber.server.serverPort(), request);
    const auto message = subscriber.request();
    EXPECT_TRUE(message.first.startsWith("POST /v18/http/post_detected_picture?camera_index=0&picture_name=pic 1.jpg HTTP/1.1"))
        << message.first.constData();
    EXPECT_TRUE(message.first.contains("User-Agent: V18#press 7@abc"));
    EXPECT_EQ(message.second, picture);

    subscriber.answer("V18#press 7@abc", R"({"recv_time":5,"analysis_time":12})");
    // Gone on the reply, well before its 3 s end.
    EXPECT_TRUE(TestEnv::waitUntil([&] { return push.isNull(); }, 2000));
    const QStringList info = log.lines(QtInfoMsg);
    EXPECT_EQ(info.filter("send success! -> 127.0.0.1").size(), 1);
    const QStringList timing = info.filter("[POST_2_APP] - /v18/http/post_detected_picture : all-time(ms):");
    ASSERT_EQ(timing.size(), 1);
    EXPECT_TRUE(timing.first().endsWith("app-recv(ms): 5 app-parse(ms): 12")) << timing.first().toStdString();
}

TEST(Push, ASilentSubscriberCostsThreeSecondsAndAnAbsentOneAWarning)
{
    Subscriber silent;
    ASSERT_TRUE(silent.listen());
    CTask_FormData request;
    request.url = "/v18/http/post_detected_info";
    request.uuid = "V18#dev@def";
    request.json.insert("uuid", "V18#dev@def");

    NetTest::LogCapture log;
    QPointer<Tcp_Push2APP> unanswered = startPush(silent.server.serverPort(), request);
    EXPECT_TRUE(silent.request().second.contains("V18#dev@def"));
    // A reply to some other request is not this push's.
    silent.answer("V18#dev@other", "{}");
    TestEnv::spin(300);
    EXPECT_FALSE(unanswered.isNull());
    EXPECT_TRUE(TestEnv::waitUntil([&] { return unanswered.isNull(); }, 6000));

    QTcpServer closed;
    ASSERT_TRUE(closed.listen(QHostAddress::LocalHost, 0));
    const quint16 port = closed.serverPort();
    closed.close();
    QPointer<Tcp_Push2APP> refused = startPush(port, request);
    EXPECT_TRUE(TestEnv::waitUntil([&] { return refused.isNull(); }, 3000));
    EXPECT_EQ(log.lines(QtWarningMsg).filter("[POST_2_APP] ERROR NO CONNECTED /v18/http/post_detected_info -> 127.0.0.1").size(), 1);
    EXPECT_TRUE(log.lines(QtInfoMsg).filter("[POST_2_APP] -").isEmpty());
}
