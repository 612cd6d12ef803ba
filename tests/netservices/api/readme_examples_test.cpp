// The README's examples run as they stand: every curl line of its code blocks is sent by curl to
// a real API server on loopback, and every route must have one that the server accepts; its
// mbpoll lines read and reset a real Modbus server. So the documented requests cannot drift from
// what the code reads.
#include "api_support.h"
#include "detection/counters.h"
#include "detection/mojuwizard.h"
#include "netservices/modbusserver.h"
#include "netservices/api/httpapiserver.h"
#include "netservices/companion/network.h"
#include "support/fakecommandrunner.h"
#include "support/testenv.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHostAddress>
#include <QImage>
#include <QJsonArray>
#include <QJsonDocument>
#include <QProcess>
#include <QStandardPaths>
#include <QTextStream>
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>

namespace {

const QString kDocumentedServer = QStringLiteral("http://127.0.0.1:10100");
const QString kRoutePrefix = QStringLiteral("/v18/http/");

struct Example {
    QString line;            // as the README writes it, continuations joined
    QStringList arguments;   // the program's arguments
    QString route;           // curl: the API route it calls
    QJsonObject body;        // curl: the JSON it sends
};

// The words of a command line as a POSIX shell splits them: blanks separate, '...' is taken as
// it stands, "..." and a backslash outside quotes escape the next character, and a word that
// starts with # begins a comment. False for an open quote.
bool shellWords(const QString& line, QStringList* words)
{
    QString word;
    bool inWord = false;
    QChar quote;
    for (int i = 0; i < line.size(); ++i) {
        const QChar c = line.at(i);
        if (!quote.isNull()) {
            if (c == quote)
                quote = QChar();
            else if (quote == QLatin1Char('"') && c == QLatin1Char('\\') && i + 1 < line.size())
                word += line.at(++i);
            else
                word += c;
        } else if (c == QLatin1Char('#') && !inWord) {
            break;
        } else if (c == QLatin1Char('\'') || c == QLatin1Char('"')) {
            quote = c;
            inWord = true;
        } else if (c == QLatin1Char('\\') && i + 1 < line.size()) {
            word += line.at(++i);
            inWord = true;
        } else if (c.isSpace()) {
            if (inWord)
                *words << word;
            word.clear();
            inWord = false;
        } else {
            word += c;
            inWord = true;
        }
    }
    if (inWord)
        *words << word;
    return quote.isNull();
}

// Every command of the README's code blocks that runs the program (curl: only those that call an
// API route).
QList<Example> readmeExamples(const QString& program)
{
    QFile file(QStringLiteral(MOULD_README_PATH));
    EXPECT_TRUE(file.open(QIODevice::ReadOnly | QIODevice::Text)) << MOULD_README_PATH;
    QTextStream stream(&file);
    stream.setCodec("UTF-8");
    QList<Example> examples;
    bool inBlock = false;
    QString pending;
    while (!stream.atEnd()) {
        const QString line = stream.readLine();
        if (line.trimmed().startsWith(QLatin1String("```"))) {
            inBlock = !inBlock;
            pending.clear();
            continue;
        }
        if (!inBlock)
            continue;
        QString command = pending + line.trimmed();
        if (command.endsWith(QLatin1Char('\\'))) {
            command.chop(1);
            pending = command;
            continue;
        }
        pending.clear();
        if (!command.startsWith(program + QLatin1Char(' ')))
            continue;
        if (program == QLatin1String("curl") && !command.contains(kRoutePrefix))
            continue;
        Example example;
        example.line = command;
        QStringList words;
        EXPECT_TRUE(shellWords(command, &words)) << command.toStdString();
        example.arguments = words.mid(1);
        for (int i = 0; i < example.arguments.size(); ++i) {
            const QString& word = example.arguments.at(i);
            if (word.contains(kRoutePrefix))
                example.route = word.mid(word.indexOf(kRoutePrefix) + kRoutePrefix.size());
            if ((word == QLatin1String("-d") || word == QLatin1String("--data")) && i + 1 < example.arguments.size())
                example.body = QJsonDocument::fromJson(example.arguments.at(i + 1).toUtf8()).object();
        }
        examples << example;
    }
    return examples;
}

struct Answer {
    int status = 0;
    QString contentType;
    QByteArray body;   // standard output, or the file named by -o
    QJsonObject json() const { return QJsonDocument::fromJson(body).object(); }
    QJsonObject result() const { return json().value(QStringLiteral("result")).toObject(); }
};

// Runs curl with the example's own arguments against the server on `port`, serving this
// thread's event loop (where the API's handlers run) while it waits.
Answer runCurl(const Example& example, quint16 port)
{
    const QString server = QStringLiteral("http://127.0.0.1:%1").arg(port);
    QStringList arguments{QStringLiteral("--max-time"), QStringLiteral("20"), QStringLiteral("-w"),
                          QStringLiteral("\n%{http_code} %{content_type}")};
    QString outputFile;
    for (int i = 0; i < example.arguments.size(); ++i) {
        QString word = example.arguments.at(i);
        if (word.startsWith(kDocumentedServer))
            word = server + word.mid(kDocumentedServer.size());
        if ((word == QLatin1String("-o") || word == QLatin1String("--output")) && i + 1 < example.arguments.size())
            outputFile = example.arguments.at(i + 1);
        arguments << word;
    }
    QProcess curl;
    curl.start(QStandardPaths::findExecutable(QStringLiteral("curl")), arguments);
    const bool ended = TestEnv::waitUntil([&] { return curl.state() == QProcess::NotRunning; }, 30000);
    if (!ended) {
        curl.kill();
        curl.waitForFinished();
        return {};
    }
    const QByteArray output = curl.readAllStandardOutput();
    const int lastLine = output.lastIndexOf('\n');
    const QList<QByteArray> statusAndType = output.mid(lastLine + 1).split(' ');
    Answer answer;
    answer.status = statusAndType.value(0).toInt();
    answer.contentType = QString::fromUtf8(statusAndType.value(1));
    answer.body = output.left(qMax(0, lastLine));
    if (!outputFile.isEmpty())
        answer.body = TestEnv::readBytes(outputFile);
    return answer;
}

// A JPEG where the picture example looks for one, as the picture thread names and files it.
QByteArray savePictureFor(const QJsonObject& request)
{
    const QString path = QStringLiteral("./alarmimage/camera%1/detect%2/%3/%4")
                             .arg(request.value(QStringLiteral("camera_index")).toInt() + 1)
                             .arg(request.value(QStringLiteral("detect_index")).toInt() + 1)
                             .arg(request.value(QStringLiteral("detect_result")).toBool() ? QStringLiteral("OK")
                                                                                          : QStringLiteral("NG"),
                                  request.value(QStringLiteral("picture_name")).toString());
    QDir().mkpath(QFileInfo(path).path());
    QImage image(64, 48, QImage::Format_RGB32);
    image.fill(Qt::darkCyan);
    EXPECT_TRUE(image.save(path, "JPG")) << path.toStdString();
    return TestEnv::readBytes(path);
}

bool isLoopback(const QString& address)
{
    return QHostAddress(address).isLoopback();
}

}  // namespace

TEST(ReadmeExamples, EveryRouteHasAnExampleThatIsAnsweredAsDocumented)
{
    if (QStandardPaths::findExecutable(QStringLiteral("curl")).isEmpty())
        GTEST_SKIP() << "curl is not installed";
    FakeCommandRunner runner;   // the clock example is recorded, never run
    ApiTest::holdTheCycle();
    MoJuWizard window(nullptr, 0);
    const std::unique_ptr<JXK_NETMN> netmn = ApiTest::listeningManager();
    const quint16 port = netmn->apiServer->serverPort();
    ASSERT_NE(port, 0);
    // A finished period, so the period example has something to answer.
    netmn->start_PeriodRecord();
    netmn->finish_PeriodRecord();

    const QList<Example> examples = readmeExamples(QStringLiteral("curl"));
    QStringList documented;
    for (const Example& example : examples) {
        SCOPED_TRACE(example.line.toStdString());
        documented << example.route;
        QByteArray picture;
        if (example.route == QLatin1String("get_detected_picture"))
            picture = savePictureFor(example.body);
        if (example.route == QLatin1String("subscriber_baseinfo")) {
            // Pushes go only where a test may send: this machine.
            for (const QJsonValue& element : example.body.value(QStringLiteral("subscriber")).toArray())
                ASSERT_TRUE(isLoopback(element.toObject().value(QStringLiteral("subscriber_ip")).toString()));
        }

        const Answer answer = runCurl(example, port);
        ASSERT_EQ(answer.status, 200);
        if (example.route == QLatin1String("get_detected_picture")) {
            EXPECT_EQ(answer.contentType, "image/jpeg");
            EXPECT_EQ(answer.body, picture);
            continue;
        }
        EXPECT_EQ(answer.json().value(QStringLiteral("code")).toInt(-1), 0);
        const QJsonObject result = answer.result();
        EXPECT_FALSE(result.contains(QLatin1String("errorstring"))) << answer.body.constData();
        if (example.route == QLatin1String("get_product_infos")) {
            EXPECT_EQ(result.value(QStringLiteral("camera_count")).toInt(), 2);
            EXPECT_EQ(result.value(QStringLiteral("detect_all_detail")).toArray().size(), 2);
        } else if (example.route == QLatin1String("production_count_bytime")) {
            EXPECT_FALSE(result.value(QStringLiteral("detect_all")).toArray().isEmpty()) << answer.body.constData();
            EXPECT_TRUE(result.value(QStringLiteral("every_detect")).isArray());
        } else if (example.route == QLatin1String("get_last_detectinfo")) {
            EXPECT_EQ(result.value(QStringLiteral("uuid")).toString(), netmn->periodRecordCell.getValue().uuid);
            EXPECT_TRUE(result.value(QStringLiteral("pictures")).isArray());
        } else if (example.route == QLatin1String("get_records")) {
            EXPECT_TRUE(result.value(QStringLiteral("record")).isArray()) << answer.body.constData();
        } else if (example.route == QLatin1String("set_clear_curcount")) {
            EXPECT_TRUE(result.isEmpty());
        } else if (example.route == QLatin1String("set_localclock")) {
            EXPECT_EQ(result.value(QStringLiteral("result")).toString(), "success");
            EXPECT_EQ(runner.count(QStringLiteral("date")), 1);
        } else if (example.route == QLatin1String("subscriber_baseinfo")) {
            const QJsonObject first = example.body.value(QStringLiteral("subscriber")).toArray().first().toObject();
            const QString key = QStringLiteral("%1;%2;%3")
                                    .arg(first.value(QStringLiteral("subscriber_ip")).toString())
                                    .arg(first.value(QStringLiteral("subscriber_port")).toInt())
                                    .arg(first.value(QStringLiteral("subscriber_topic")).toString());
            EXPECT_TRUE(result.value(QStringLiteral("subscribe_result")).toArray().contains(key)) << answer.body.constData();
        } else {
            ADD_FAILURE() << "an example for a route the API does not have: " << example.route.toStdString();
        }
    }
    for (const char* route : {"get_product_infos", "production_count_bytime", "get_last_detectinfo", "get_detected_picture",
                              "get_records", "set_clear_curcount", "set_localclock", "subscriber_baseinfo"})
        EXPECT_TRUE(documented.contains(QLatin1String(route))) << "no README example for " << route;
}

// The map's lines: the read shows the five registers, the reset zeroes the per-camera totals and
// NG counts (function 6, which mbpoll uses for a single value, is refused) and keeps the NG count
// over all cameras.
TEST(ReadmeExamples, TheModbusLinesReadTheRegistersAndResetTheTotals)
{
    const QString mbpoll = QStandardPaths::findExecutable(QStringLiteral("mbpoll"));
    if (mbpoll.isEmpty())
        GTEST_SKIP() << "mbpoll is not installed";
    gpWin = nullptr;
    std::fill(gAllNum, gAllNum + kMaxCameras, 0);
    std::fill(gFailNum, gFailNum + kMaxCameras, 0);
    gAllNum[0] = 31;
    gFailNum[0] = 3;
    gSyncNGNum = 3;
    ModbusServer server(QHostAddress::LocalHost, 0);
    ASSERT_TRUE(server.isRunning());

    const QList<Example> examples = readmeExamples(QStringLiteral("mbpoll"));
    int reads = 0;
    int resets = 0;
    for (const Example& example : examples) {
        SCOPED_TRACE(example.line.toStdString());
        const int host = example.arguments.indexOf(QStringLiteral("127.0.0.1"));
        ASSERT_GE(host, 0) << "the examples poll this machine";
        const bool writes = host + 1 < example.arguments.size();
        gAllNum[0] = 31;
        gFailNum[0] = 3;

        QProcess process;
        process.start(mbpoll, QStringList{QStringLiteral("-p"), QString::number(server.serverPort())} + example.arguments);
        ASSERT_TRUE(TestEnv::waitUntil([&] { return process.state() == QProcess::NotRunning; }, 20000));
        const QString output = QString::fromLocal8Bit(process.readAllStandardOutput());
        ASSERT_EQ(process.exitCode(), 0) << output.toStdString();
        if (writes) {
            ++resets;
            EXPECT_EQ(gAllNum[0], 0);
            EXPECT_EQ(gFailNum[0], 0);
            EXPECT_EQ(gSyncNGNum, 3);
        } else {
            ++reads;
            EXPECT_TRUE(output.contains(QStringLiteral("[2]: \t31"))) << output.toStdString();
            EXPECT_TRUE(output.contains(QStringLiteral("[3]: \t3"))) << output.toStdString();
            EXPECT_TRUE(output.contains(QStringLiteral("[4]: \t0"))) << output.toStdString();
        }
    }
    EXPECT_GE(reads, 1);
    EXPECT_GE(resets, 1);
}
