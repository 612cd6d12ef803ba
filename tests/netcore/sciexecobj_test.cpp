#include "netcore/sciexecobjrecv.h"
#include "netcore/sciexecobjsend.h"
#include "nettestutil.h"

#include "base/appclock.h"

#include <QJsonDocument>
#include <QRegularExpression>
#include <gtest/gtest.h>

namespace {

// Writes the record on one end of a loopback pair and returns what the other end reads.
QByteArray wireBytes(const CTask_FormData& record, int expectedBytes = -1)
{
    NetTest::SocketPair pair;
    if (!pair.open())
        return QByteArray();
    SCI_ExecObj_Send send(record);
    send.SerializeWrite(pair.accepted);
    return NetTest::readUntil(pair.client, [&](const QByteArray& data) {
        if (expectedBytes >= 0)
            return data.size() >= expectedBytes;
        return !NetTest::splitReplies(data).isEmpty();
    });
}

SCI_ExecObj_Recv parse(const QByteArray& message, int sessionId = 3)
{
    const int end = message.indexOf("\r\n\r\n");
    SCI_ExecObj_Recv recv(message.left(end), sessionId);
    recv.addBody(message.mid(end + 4));
    return recv;
}

}  // namespace

TEST(MessageWriter, JsonReplyFormat)
{
    CTask_FormData reply;
    reply.uuid = "u1";
    reply.json.insert("a", 1);
    const QByteArray bytes = wireBytes(reply);
    const auto replies = NetTest::splitReplies(bytes);
    ASSERT_EQ(replies.size(), 1);
    const QList<QByteArray> lines = replies.first().first.split('\n');
    ASSERT_EQ(lines.size(), 5);
    EXPECT_EQ(lines.at(0), "HTTP/1.1 200 OK\r");
    EXPECT_TRUE(QRegularExpression("^HOST: 127\\.0\\.0\\.1:\\d+\\r$").match(QString(lines.at(1))).hasMatch());
    EXPECT_EQ(lines.at(2), "User-Agent: u1\r");
    EXPECT_EQ(lines.at(3), "Content-Type: application/json\r");
    EXPECT_EQ(replies.first().second, R"({"code":0,"msg":"OK","result":{"a":1}})");
    EXPECT_EQ(lines.at(4), "Content-Length: " + QByteArray::number(replies.first().second.size()));
}

TEST(MessageWriter, EmptyRequestAndHeaderOrder)
{
    CTask_FormData request;
    request.url = "/x";
    request.uuid = "u2";
    const QByteArray plain = wireBytes(request);
    EXPECT_FALSE(plain.contains("Content-Type"));
    EXPECT_TRUE(plain.endsWith("Content-Length: 0\r\n\r\n"));

    request.json.insert("k", "v");
    request.device_id = "DEV";
    request.headers.insert("Zeta", "1");
    request.headers.insert("Alpha", "bad\r\nInjected: 1");
    const QByteArray full = wireBytes(request);
    const int type = full.indexOf("Content-Type"), device = full.indexOf("Device-ID: DEV"),
              length = full.indexOf("Content-Length"), alpha = full.indexOf("Alpha:"), zeta = full.indexOf("Zeta:");
    EXPECT_TRUE(type < device && device < length && length < alpha && alpha < zeta);
    EXPECT_FALSE(full.contains("\r\nInjected"));   // a line break in a value cannot add a header
}

TEST(MessageWriter, GeneratedUuidAndMissingFileReply)
{
    CTask_FormData record;
    const SCI_ExecObj_Send first(record);
    const SCI_ExecObj_Send second(record);
    EXPECT_TRUE(QRegularExpression("^doririda#\\d{8}_\\d{6}_\\d{3}#\\d+$").match(first.record().uuid).hasMatch());
    EXPECT_NE(first.record().uuid, second.record().uuid);

    record.files.insert("./no-such-file.jpg", QByteArray());
    const auto replies = NetTest::splitReplies(wireBytes(record));
    ASSERT_EQ(replies.size(), 1);
    const QJsonObject body = QJsonDocument::fromJson(replies.first().second).object();
    EXPECT_EQ(body.value("code").toInt(), 1);
    EXPECT_EQ(body.value("msg").toString(), QString::fromUtf8("未查询到需要获取的图片文件"));
}

TEST(MessageWriterReader, MultipartImagesAndPartsRoundTrip)
{
    CTask_FormData request;
    request.url = "/img";
    request.uuid = "u3";
    cv::Mat gray(2, 3, CV_8UC1);
    for (int i = 0; i < 6; ++i)
        gray.data[i] = uchar(i * 40);
    cv::Mat color(4, 5, CV_8UC3, cv::Scalar(1, 2, 3));
    request.images.insert("K", gray);
    request.images.insert("C", color(cv::Rect(1, 1, 3, 2)));   // not continuous
    request.parts.insert("meta", QJsonObject{{"n", 7}});
    request.parts.insert("text", QStringLiteral("skipped"));

    const auto replies = NetTest::splitReplies(wireBytes(request));
    ASSERT_EQ(replies.size(), 1);
    EXPECT_TRUE(replies.first().first.contains("multipart/form-data;boundary=------------------------tcpservreactor"));
    EXPECT_FALSE(replies.first().second.contains("skipped"));

    SCI_ExecObj_Recv recv(replies.first().first, 1);
    recv.addBody(replies.first().second);
    ASSERT_TRUE(recv.analysisIntegrality());
    const CTask_FormData back = recv.getFormData();
    ASSERT_TRUE(back.images.contains("K-info"));
    ASSERT_TRUE(back.images.contains("C-info"));
    EXPECT_EQ(cv::norm(back.images.value("K-info"), gray, cv::NORM_INF), 0);
    EXPECT_EQ(back.images.value("C-info").channels(), 3);
    EXPECT_EQ(back.images.value("C-info").cols, 3);
    EXPECT_EQ(back.parts.value("meta").toJsonObject().value("n").toInt(), 7);
    EXPECT_FALSE(back.parts.contains("K-info"));
}

TEST(MessageReader, HeaderNamesMatchOnTheirOwnIgnoringCase)
{
    const SCI_ExecObj_Recv recv = parse("POST /p?x=1&y&z=2=3&x=4 HTTP/1.1\r\n"
                                        "user-agent: smart cam#1\r\n"
                                        "X-Note: HTTP/1.1 Content-Length: 999\r\n"
                                        "content-type: application/json\r\n"
                                        "CONTENT-LENGTH: 7\r\n"
                                        "\r\n{\"a\":1}");
    SCI_ExecObj_Recv copy = recv;
    EXPECT_EQ(copy.getNeedLength(), 0);
    ASSERT_TRUE(copy.analysisIntegrality());
    const CTask_FormData record = copy.getFormData();
    EXPECT_EQ(record.uuid, "smartcam#1");
    EXPECT_EQ(record.url, "/p");
    EXPECT_EQ(record.query.size(), 1);
    EXPECT_EQ(record.query.value("x"), "4");
    EXPECT_EQ(record.json.value("a").toInt(), 1);
    EXPECT_EQ(record.method, "POST");
    EXPECT_TRUE(record.content_type.isEmpty());
}

TEST(MessageReader, DefaultUuidAndLengthsThatAreNotNumbers)
{
    AppClock::setNow(QDateTime(QDate(2026, 1, 1), QTime(12, 0)));
    SCI_ExecObj_Recv recv = parse("GET /a HTTP/1.1\r\nContent-Length: abc\r\n\r\n");
    AppClock::setOffsetMs(0);
    EXPECT_TRUE(QRegularExpression("^defalut#20260101_1200\\d\\d_\\d{3}#3$").match(recv.getFormData().uuid).hasMatch())
        << recv.getFormData().uuid.toStdString();
    EXPECT_EQ(recv.getNeedLength(), 0);
    EXPECT_TRUE(recv.analysisIntegrality());

    SCI_ExecObj_Recv negative = parse("HTTP/1.1 200 OK\r\nContent-Length: -5\r\n\r\n");
    EXPECT_EQ(negative.getNeedLength(), 0);
    EXPECT_TRUE(negative.analysisIntegrality());
    EXPECT_TRUE(negative.getFormData().url.isEmpty());
}

TEST(MessageReader, JsonBodies)
{
    SCI_ExecObj_Recv array = parse("POST /a HTTP/1.1\r\nContent-Type: application/json\r\nContent-Length: 3\r\n\r\n[1]");
    EXPECT_TRUE(array.analysisIntegrality());
    EXPECT_TRUE(array.getFormData().json.isEmpty());
    SCI_ExecObj_Recv brace = parse("POST /a HTTP/1.1\r\nContent-Type: application/json\r\nContent-Length: 1\r\n\r\n{");
    NetTest::LogCapture log;
    EXPECT_FALSE(brace.analysisIntegrality());
    const QStringList warnings = log.lines(QtWarningMsg);
    ASSERT_EQ(warnings.size(), 1);
    EXPECT_TRUE(warnings.first().startsWith("analysisIntegrality_json json error: /a ")) << warnings.first().toStdString();
}

TEST(MessageReader, MultipartImagesNeedConsistentSizes)
{
    const QByteArray d = "BOUND";
    auto part = [&](const QByteArray& name, const QByteArray& type, const QByteArray& content) {
        return d + "\r\nContent-Disposition: form-data; name=\"" + name + "\"\r\nContent-Type: " + type + "\r\n\r\n" +
               content + "\r\n";
    };
    auto decode = [&](const QByteArray& body) {
        CTask_FormData record;
        EXPECT_TRUE(SCI_ExecObj_Recv::analysisIntegrality_multipart(body, d, record));
        return record;
    };
    auto info = [](int channels, int width, int height) {
        return QJsonDocument(QJsonObject{{"datakey", "K"}, {"channels", channels}, {"data_type", "data_type"},
                                         {"size_width", width}, {"size_height", height}})
            .toJson(QJsonDocument::Compact);
    };
    const QByteArray pixels(6, 'x');
    EXPECT_TRUE(decode(part("K-info", "application/json", info(1, 3, 2)) +
                       part("K", "application/octet-stream", pixels) + d + "\r\n")
                    .images.contains("K-info"));
    // One byte short, two channels, or sizes whose product overflows: no image, no part.
    for (const QByteArray& body : {part("K-info", "application/json", info(1, 3, 2)) +
                                       part("K", "application/octet-stream", pixels.left(5)) + d + "\r\n",
                                   part("K-info", "application/json", info(2, 3, 1)) +
                                       part("K", "application/octet-stream", pixels) + d + "\r\n",
                                   part("K-info", "application/json", info(3, 65536, 65536)) +
                                       part("K", "application/octet-stream", pixels) + d + "\r\n"}) {
        const CTask_FormData record = decode(body);
        EXPECT_TRUE(record.images.isEmpty());
        EXPECT_FALSE(record.parts.contains("K-info"));
    }
    // A part cut shorter than its own framing is dropped; a file name is not a part name.
    const CTask_FormData odd = decode(d + "\r\nContent-Type: text/plain\r\n\r\n" + d + "\r\n" +
                                      d + "\r\nContent-Disposition: form-data; name=\"t\"; filename=\"f.txt\"\r\n\r\nhi\r\n" +
                                      d + "\r\n");
    EXPECT_EQ(odd.parts.size(), 1);
    EXPECT_EQ(odd.parts.value("t").toString(), "hi");
}

// The JSON parts of one multipart body share the bounds of one JSON body: parts that each fit
// but together go beyond them refuse the body, as a JSON body beyond them is.
TEST(MessageReader, JsonPartsTogetherHeldToTheBoundsOfOneBody)
{
    const QByteArray d = "BOUND";
    auto part = [&](const QByteArray& name, const QByteArray& content) {
        return d + "\r\nContent-Disposition: form-data; name=\"" + name + "\"\r\nContent-Type: application/json\r\n\r\n" +
               content + "\r\n";
    };
    const QByteArray json = R"({"a":[1,2,3]})";   // six values
    const NetworkJson::Bounds bounds{1024, 8, 12};
    const QByteArray two = part("p", json) + part("q", json) + d + "\r\n";
    const QByteArray three = part("p", json) + part("q", json) + part("r", json) + d + "\r\n";
    CTask_FormData record;
    QString fault;
    EXPECT_TRUE(SCI_ExecObj_Recv::analysisIntegrality_multipart(two, d, record, &fault, bounds));
    EXPECT_EQ(record.parts.size(), 2);
    EXPECT_FALSE(SCI_ExecObj_Recv::analysisIntegrality_multipart(three, d, record, &fault, bounds));
    EXPECT_EQ(fault, "too many json values");
    EXPECT_FALSE(SCI_ExecObj_Recv::analysisIntegrality_multipart(two, d, record, &fault, {2 * json.size() - 1, 8, 100}));
    EXPECT_EQ(fault, "json too large");

    // A JSON body beyond its bounds tells the peer which one.
    const QByteArray deep = R"({"a":)" + QByteArray(8, '[') + QByteArray(8, ']') + "}";
    SCI_ExecObj_Recv body("POST /a HTTP/1.1\r\nContent-Type: application/json\r\nContent-Length: " +
                                  QByteArray::number(deep.size()),
                          1, bounds);
    body.addBody(deep);
    EXPECT_FALSE(body.analysisIntegrality());
    EXPECT_EQ(body.decodeFault(), "json too deep");
}
