// History queries of the HTTP API whose replies a client does not read: the next one that would
// not fit is answered 503 before its work, a poller is answered all the while, and once room is
// free the whole reply goes out byte for byte.
#include "../../netcore/nettestutil.h"
#include "api_support.h"
#include "base/sqlconnection.h"
#include "detection/counters.h"
#include "detection/mojuwizard.h"
#include "detection/recordstore.h"
#include "netservices/api/apireplies.h"
#include "netservices/api/httpapiserver.h"
#include "netservices/api/recordquery.h"
#include "netservices/companion/network.h"
#include "support/fakecommandrunner.h"

#include <QDir>
#include <QJsonDocument>
#include <QSqlError>
#include <QSqlQuery>
#include <gtest/gtest.h>

#include <memory>

namespace {

const QJsonObject kDay{{"datetime_start", "2026-03-09 00:00:00"}, {"datetime_end", "2026-03-09 23:59:59"}};
constexpr int kRows = 60000;

// One day of operation records whose texts hold what the reply escapes: quotes, backslashes,
// line feeds and characters of more than one byte.
void writeDayFile()
{
    QDir().mkpath("RECORD");
    SqlConnection file("dayfile", "RECORD/2026-03-09.db");
    ASSERT_TRUE(file.isOpen());
    QSqlDatabase db = file.db();
    QSqlQuery query(db);
    ASSERT_TRUE(query.exec("CREATE TABLE RECORD (recordtime TEXT, recordpassword TEXT, remarks TEXT, recordtype TEXT)"));
    ASSERT_TRUE(db.transaction());
    ASSERT_TRUE(query.prepare("INSERT INTO RECORD VALUES (?, ?, ?, ?)"));
    // In one batch: Qt's positional binds slow down with every statement they are used for.
    QVariantList times, passwords, remarks, types;
    for (int i = 0; i < kRows; ++i) {
        times << QTime(0, 0).addSecs(int(qint64(i) * 86400 / kRows)).toString("hh.mm.ss");
        passwords << (i % 3 ? QStringLiteral("admin") : QStringLiteral("未登录"));
        remarks << QStringLiteral("参数修改 \"曝光\" %1 → %2 \\ 第%3行\n相机1检测1报警").arg(i).arg(i + 1).arg(i % 97);
        types << (i % 2 ? QStringLiteral("set") : QStringLiteral("API"));
    }
    for (const QVariantList& column : {times, passwords, remarks, types})
        query.addBindValue(column);
    ASSERT_TRUE(query.execBatch()) << query.lastError().text().toStdString();
    ASSERT_TRUE(db.commit());
}

QByteArray request(const QString& route, const QJsonObject& body)
{
    const QByteArray json = QJsonDocument(body).toJson(QJsonDocument::Compact);
    return "POST /v18/http/" + route.toUtf8() + " HTTP/1.1\r\nContent-Type: application/json\r\nContent-Length: " +
           QByteArray::number(json.size()) + "\r\n\r\n" + json;
}

std::unique_ptr<QTcpSocket> dial(quint16 port, bool reads = true)
{
    auto socket = std::make_unique<QTcpSocket>();
    if (!reads)
        socket->setReadBufferSize(4096);
    socket->connectToHost(QHostAddress::LocalHost, port);
    EXPECT_TRUE(socket->waitForConnected(3000));
    // The kernel holds next to nothing for it either (an option only a connected socket takes).
    if (!reads)
        socket->setSocketOption(QAbstractSocket::ReceiveBufferSizeSocketOption, 4096);
    return socket;
}

// The header of the next reply; what came after it stays in `rest`.
QByteArray readHeader(QTcpSocket& socket, QByteArray& rest)
{
    rest += NetTest::readUntil(
        socket, [&rest](const QByteArray& bytes) { return (rest + bytes).contains("\r\n\r\n"); }, 30000);
    const int end = rest.indexOf("\r\n\r\n");
    if (end < 0)
        return QByteArray();
    const QByteArray header = rest.left(end + 4);
    rest.remove(0, end + 4);
    return header;
}

// One whole reply on a connection of its own.
QPair<QByteArray, QByteArray> ask(quint16 port, const QString& route, const QJsonObject& body)
{
    auto socket = dial(port);
    socket->write(request(route, body));
    const auto replies = NetTest::splitReplies(NetTest::readUntil(
        *socket, [](const QByteArray& bytes) { return !NetTest::splitReplies(bytes).isEmpty(); }, 60000));
    return replies.isEmpty() ? QPair<QByteArray, QByteArray>() : replies.first();
}

class HistoryBoundTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ApiTest::holdTheCycle();
        window = std::make_unique<MoJuWizard>(nullptr, 0);
        writeDayFile();
        OperationRecordQuery::Request span;
        ASSERT_TRUE(OperationRecordQuery::parse(kDay, &span));
        const OperationRecordQuery query(MoJuWizard::recordDatabasePath(), MoJuWizard::recordDay());
        dayText = query.run(span);
        estimate = query.estimateBytes(span);

        netmn = ApiTest::manager();
    }
    void TearDown() override
    {
        netmn.reset();
        window.reset();
    }

    // Listens with room for one day's records and a little more.
    quint16 listen(qint64 room)
    {
        JXKC::TcpReactor::Limits limits;
        limits.reply_budget_bytes = dayText.size() + room;
        limits.session_reply_bytes = limits.reply_budget_bytes;
        netmn->apiServer->setReactorLimits(limits);
        netmn->apiServer->init(QHostAddress::LocalHost, 0);
        return netmn->apiServer->serverPort();
    }

    FakeCommandRunner runner;
    std::unique_ptr<MoJuWizard> window;
    std::unique_ptr<JXK_NETMN> netmn;
    QByteArray dayText;
    qint64 estimate = 0;
};

}  // namespace

TEST_F(HistoryBoundTest, TheEstimateOfARecordReplyIsItsSizeWithinAFewBytes)
{
    // Lower, and a reply that fits would be refused after its work; much higher, and replies
    // that fit would be refused before it. (Larger than the kernel takes off a connection, so
    // that a reader that stops holds most of it here.)
    ASSERT_GT(dayText.size(), 6 * 1024 * 1024);
    EXPECT_GE(estimate, dayText.size());
    EXPECT_LE(estimate, dayText.size() + 16);
}

TEST_F(HistoryBoundTest, AHistoryQueryThatWouldNotFitIsRefusedAndAnsweredWholeOnceThereIsRoom)
{
    const quint16 port = listen(256 * 1024);
    const QByteArray whole = R"({"code":0,"msg":"OK","result":)" + dayText + "}";

    // A client asks for the day and reads no further than the header.
    auto silent = dial(port, false);
    silent->write(request("get_records", kDay));
    QByteArray silentRest;
    const QByteArray silentHeader = readHeader(*silent, silentRest);
    ASSERT_TRUE(silentHeader.startsWith("HTTP/1.1 200 OK\r\n")) << silentHeader.constData();
    EXPECT_TRUE(silentHeader.contains("Content-Length: " + QByteArray::number(whole.size()) + "\r\n"));

    // The same again does not fit beside it: refused as a busy route is.
    const auto refused = ask(port, "get_records", kDay);
    EXPECT_TRUE(refused.first.startsWith("HTTP/1.1 503 Service Unavailable\r\n")) << refused.first.constData();
    const QJsonObject refusal = QJsonDocument::fromJson(refused.second).object();
    EXPECT_EQ(refusal.value("code").toInt(), -1);
    EXPECT_EQ(refusal.value("msg").toString(), QStringLiteral("服务器忙碌中"));
    // So does a count over the longest span, whose hours take more than what is left.
    const auto counts =
        ask(port, "production_count_bytime", {{"starttime", "2025-02-05 00:00:00"}, {"finishtime", "2026-03-09 23:59:59"}});
    EXPECT_TRUE(counts.first.startsWith("HTTP/1.1 503 ")) << counts.first.constData();

    // A poller is answered meanwhile.
    const auto polled = ask(port, "get_product_infos", QJsonObject());
    EXPECT_TRUE(polled.first.startsWith("HTTP/1.1 200 OK\r\n"));
    EXPECT_EQ(QJsonDocument::fromJson(polled.second).object().value("result").toObject().value("device_id").toString(),
              "press 7");

    // Once it has gone, the day is answered whole to a client that reads, and so is the count.
    silent.reset();
    QPair<QByteArray, QByteArray> answered;
    ASSERT_TRUE(TestEnv::waitUntil([&] {
        answered = ask(port, "get_records", kDay);
        return !answered.first.startsWith("HTTP/1.1 503 ");
    }, 30000));
    EXPECT_TRUE(answered.first.startsWith("HTTP/1.1 200 OK\r\n"));
    EXPECT_TRUE(answered.second == whole);
    const auto countsLater =
        ask(port, "production_count_bytime", {{"starttime", "2025-02-05 00:00:00"}, {"finishtime", "2026-03-09 23:59:59"}});
    EXPECT_TRUE(countsLater.first.startsWith("HTTP/1.1 200 OK\r\n")) << countsLater.first.constData();
    EXPECT_FALSE(QJsonDocument::fromJson(countsLater.second).object().value("result").toObject().value("detect_all").toArray().isEmpty());
}
