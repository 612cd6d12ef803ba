// The program as a whole: started in an empty folder with fast simulated cycles, stopped by signal.
// As root the tests run in a network of their own (ProgramInItsOwnNetwork), so a copy of the
// program already running on this machine, holding its fixed ports, does not fail them.
#include "base/safefile.h"
#include "records/resstatisticsparam.h"
#include "records/stats_support.h"
#include "support/fulldisk.h"
#include "support/privatenetwork.h"
#include "support/testenv.h"

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QSettings>
#include <QTcpServer>
#include <QTcpSocket>
#include <QtEndian>
#include <gtest/gtest.h>

#include <csignal>
#include <unistd.h>

namespace {

constexpr char kElsewhere[] = "runs inside the private network ProgramInItsOwnNetwork makes";

class ProgramRun : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (PrivateNetwork::runsElsewhere())
            GTEST_SKIP() << kElsewhere;
    }

    // The program's environment is this one's, less the variables named in unset.
    void start(const QStringList& unset = QStringList())
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        for (const QString& name : unset)
            env.remove(name);
        env.insert("QT_QPA_PLATFORM", "offscreen");
        env.insert("MOULD_SIM_CYCLE_MS", "100");
        env.insert("MOULD_SIM_NG_EVERY", "2");
        env.insert("MOULD_ROOT", TestEnv::workDir() + "/root");
        env.insert("MOULD_COMMAND_LOG", TestEnv::workDir() + "/commands.log");
        env.remove("MOULD_PANEL");
        process.setProcessEnvironment(env);
        process.setWorkingDirectory(TestEnv::workDir() + "/var");
        QDir().mkpath(TestEnv::workDir() + "/var");
        process.start(MOULD_PROGRAM_PATH, QStringList());
        ASSERT_TRUE(process.waitForStarted(5000));
    }

    void stopWith(int signalNumber)
    {
        ::kill(static_cast<pid_t>(process.processId()), signalNumber);
        ASSERT_TRUE(process.waitForFinished(10000));
        EXPECT_EQ(process.exitStatus(), QProcess::NormalExit);
        EXPECT_EQ(process.exitCode(), 0);
    }

    QString var(const QString& path) const { return TestEnv::workDir() + "/var/" + path; }

    QProcess process;
};

// One Modbus TCP exchange with the program's server on port 502.
QByteArray modbusExchange(const QByteArray& request)
{
    QTcpSocket socket;
    socket.connectToHost(QStringLiteral("127.0.0.1"), 502);
    if (!socket.waitForConnected(3000))
        return QByteArray();
    socket.write(request);
    QByteArray reply;
    while (reply.size() < 9 && socket.waitForReadyRead(3000))
        reply += socket.readAll();
    return reply;
}

QByteArray frame(quint16 transaction, const QByteArray& pdu)
{
    QByteArray adu(7, 0);
    qToBigEndian<quint16>(transaction, adu.data());
    qToBigEndian<quint16>(static_cast<quint16>(pdu.size() + 1), adu.data() + 4);
    adu[6] = 1;
    return adu + pdu;
}

QList<int> readRegisters(quint16 transaction)
{
    const QByteArray reply = modbusExchange(frame(transaction, QByteArray::fromHex("030000" "0005")));
    QList<int> values;
    if (reply.size() != 9 + 10 || reply.at(7) != 3)
        return values;
    for (int i = 0; i < 5; ++i)
        values << qFromBigEndian<quint16>(reply.constData() + 9 + 2 * i);
    return values;
}

}  // namespace

TEST_F(ProgramRun, CreatesItsFilesCyclesAndStopsOnSigterm)
{
    start();
    ASSERT_TRUE(TestEnv::waitUntil([&] { return QFile::exists(var("cnt_net/workspace/count.ini")); }, 15000));
    stopWith(SIGTERM);

    EXPECT_TRUE(QFile::exists(var("PARAM.db")));
    EXPECT_TRUE(QFile::exists(var("RECORD.db")));
    EXPECT_TRUE(QDir(var("alarmimage/camera2/detect8/OK")).exists());

    QFile config(var("cnt_net/config.json"));
    ASSERT_TRUE(config.open(QIODevice::ReadOnly));
    const QJsonObject json = QJsonDocument::fromJson(config.readAll()).object();
    EXPECT_EQ(json.value("version").toString(), "18.0.1.71");
    EXPECT_EQ(json.value("camcount").toInt(), 2);

    const QStringList logs = QDir(var("cnt_net/workspace/log")).entryList(QStringList{"*INFO*"}, QDir::Files);
    ASSERT_FALSE(logs.isEmpty());
    QFile log(var("cnt_net/workspace/log/mouldmonitor.INFO"));
    ASSERT_TRUE(log.open(QIODevice::ReadOnly));
    const QByteArray text = log.readAll();
    EXPECT_TRUE(text.contains("18.0.1.71"));
    EXPECT_TRUE(text.contains("waiting stores at the stop"));
    EXPECT_TRUE(text.contains("stopped"));
}

// Whoever starts the program learns from its first lines what runs where: its ports (one that is
// taken is named with the reason, and its warning shows too), its folders and how to stop it.
TEST_F(ProgramRun, TellsTheTerminalItsPortsFoldersAndHowToStop)
{
    QTcpServer holder;
    holder.listen(QHostAddress::Any, 10100);   // taken, by this test or by whoever holds it already
    start();
    QByteArray out;
    QByteArray errors;
    ASSERT_TRUE(TestEnv::waitUntil([&] {
        out += process.readAllStandardOutput();
        errors += process.readAllStandardError();
        return out.contains("  stop: ") && errors.contains("cannot listen on port 10100");
    }, 15000)) << out.toStdString() << errors.toStdString();
    const QStringList lines = QString::fromUtf8(out).split('\n');
    const QString pid = QString::number(process.processId());
    ASSERT_GE(lines.size(), 7);
    EXPECT_EQ(lines.at(0).toStdString(), ("mould monitor 18.0.1.71 is running, pid " + pid +
                                          " (off the panel: commands that would change this machine are only logged)")
                                             .toStdString());
    EXPECT_EQ(lines.at(1).toStdString(), ("  working directory: " + var(QString()).chopped(1)).toStdString());
    if (::geteuid() == 0)
        EXPECT_TRUE(lines.at(2).startsWith("  port 502 (Modbus TCP, every interface): listening; ")) << lines.at(2).toStdString();
    else
        EXPECT_TRUE(lines.at(2).endsWith("(ports below 1024 need root)")) << lines.at(2).toStdString();
    EXPECT_EQ(lines.at(3).toStdString(), "  port 10100 (HTTP API, every interface): NOT OPEN: The bound address is already in use");
    EXPECT_TRUE(lines.at(4).startsWith("  log: " + var("cnt_net/workspace/log/"))) << lines.at(4).toStdString();
    EXPECT_TRUE(lines.at(5).contains("subscriptions in " + var("cnt_net/workspace/subscriber.ini"))) << lines.at(5).toStdString();
    EXPECT_TRUE(lines.at(6).contains("kill " + pid)) << lines.at(6).toStdString();
    EXPECT_TRUE(errors.contains(" warning: the HTTP API cannot listen on port 10100: ")) << errors.toStdString();
    stopWith(SIGTERM);
}

// Run headless from a root shell (no XDG_RUNTIME_DIR, the offscreen platform), it shows no Qt line
// nobody can act on, and says when its stop is over; the log still has the platform's warning.
TEST_F(ProgramRun, KeepsQtNoiseOffTheTerminalAndSaysWhenItHasStopped)
{
    start({"XDG_RUNTIME_DIR", "DISPLAY", "WAYLAND_DISPLAY"});
    QByteArray out;
    ASSERT_TRUE(TestEnv::waitUntil([&] {
        out += process.readAllStandardOutput();
        return out.contains("  stop: ");
    }, 15000)) << out.toStdString();
    stopWith(SIGTERM);
    out += process.readAllStandardOutput();
    const QByteArray terminal = out + process.readAllStandardError();
    EXPECT_FALSE(terminal.contains("XDG_RUNTIME_DIR")) << terminal.toStdString();
    EXPECT_FALSE(terminal.contains("propagateSizeHints")) << terminal.toStdString();
    EXPECT_TRUE(out.endsWith("\nmould monitor stopped\n")) << out.toStdString();
    EXPECT_TRUE(TestEnv::readBytes(var("cnt_net/workspace/log/mouldmonitor.INFO"))
                    .contains("---warning--- This plugin does not support propagateSizeHints()"));
}

// Whole-file writes cut short by a kill leave their temporary files: the next start removes
// them from the program's own folders, unless another running copy of the program may be
// writing them, and nothing else.
TEST_F(ProgramRun, RemovesTheTemporaryFilesOfWritesCutShortAtStart)
{
    QProcess gone;
    gone.start("true", QStringList());
    ASSERT_TRUE(gone.waitForStarted(5000));
    const QString dead = QString::number(gone.processId());
    ASSERT_NE(gone.processId(), 0);
    ASSERT_TRUE(gone.waitForFinished(5000));
    const QStringList leftovers{"time.txt.part-" + dead + "-1", "cnt_net/config.json.part-" + dead + "-2",
                                "cnt_net/workspace/count.ini.part-" + dead + "-7",
                                "cnt_net/workspace/subscriber.ini.part-" + dead + "-8",
                                "ResStatistics/2024-05-06.db.part-" + dead + "-3",
                                "alarmimage/camera1/detect2/NG/3_2024-05-06_14.03.59.jpg.part-" + dead + "-5",
                                // a running process, but not the program
                                "cnt_net/workspace/count.ini.part-" + QString::number(::getpid()) + "-9",
                                "ResStatistics/2024-05-06.db.part", "ResStatisticsNULL.db.part"};
    const QStringList kept{"cnt_net/workspace/notes.part-1", "cnt_net/workspace/count.ini.partial",
                           "alarmimage/pic.jpg.part-" + dead + "-4"};
    for (const QString& path : leftovers + kept)
        TestEnv::writeText(var(path), "half a file");

    start();
    ASSERT_TRUE(TestEnv::waitUntil([&] { return QFile::exists(var("cnt_net/workspace/count.ini")); }, 15000));
    stopWith(SIGTERM);
    for (const QString& path : leftovers)
        EXPECT_FALSE(QFile::exists(var(path))) << path.toStdString();
    for (const QString& path : kept)
        EXPECT_TRUE(QFile::exists(var(path))) << path.toStdString();
}

TEST_F(ProgramRun, StopsCleanlyOnSigint)
{
    start();
    ASSERT_TRUE(TestEnv::waitUntil([&] { return QFile::exists(var("RECORD.db")); }, 15000));
    stopWith(SIGINT);
}

TEST_F(ProgramRun, ServesTheCountersOverModbusAndResetsThem)
{
    start();
    ASSERT_TRUE(TestEnv::waitUntil([&] { return QFile::exists(var("cnt_net/workspace/count.ini")); }, 15000));
    QList<int> registers;
    // Enough cycles (two steps each, NG every second cycle) that a reset is plain to see.
    ASSERT_TRUE(TestEnv::waitUntil([&] { registers = readRegisters(1); return registers.size() == 5 && registers.at(2) >= 10; }, 10000));
    EXPECT_EQ(registers.at(0), 1);
    EXPECT_GT(registers.at(3), 0);
    EXPECT_EQ(registers.at(4), 0);

    // Write 0, 1 into registers 3 and 4: the acknowledgement is the standard 12-byte reply.
    const QByteArray ack = modbusExchange(frame(2, QByteArray::fromHex("100003000204" "0000" "0001")));
    ASSERT_EQ(ack.size(), 12);
    EXPECT_EQ(ack.mid(7), QByteArray::fromHex("1000030002"));

    const QList<int> after = readRegisters(3);
    ASSERT_EQ(after.size(), 5);
    EXPECT_LT(after.at(2), 6);
    EXPECT_GE(after.at(3), registers.at(3));   // the all-camera NG count is not reset
    // The counters reach the file one store later, on the program's store writer.
    EXPECT_TRUE(TestEnv::waitUntil([&] {
        const QRegularExpression allNum0("^allNum0=(\\d+)$", QRegularExpression::MultilineOption);
        const QRegularExpressionMatch match = allNum0.match(TestEnv::readBytes(var("cnt_net/workspace/count.ini")));
        return match.hasMatch() && match.captured(1).toInt() < 6;
    }, 5000));
    stopWith(SIGTERM);
}

namespace {

// The program started on a full disk: its working folder is a small tmpfs, filled before the
// start, in the private mount namespace the outer test makes.
class ProgramOnAFullDisk : public ProgramRun {
protected:
    void SetUp() override
    {
        if (!FullDisk::inPrivateMounts())
            GTEST_SKIP() << "runs only inside the private mount namespace of ProgramFullDisk";
        if (!FullDisk::mountSmallDisk(var(QString()), 4096))
            GTEST_SKIP() << "no tmpfs here";
    }
    void TearDown() override { FullDisk::unmount(var(QString())); }

    QByteArray bytesOf(const QString& path) const
    {
        return TestEnv::readBytes(var(path), "<missing>");
    }
};

}  // namespace

TEST(ProgramFullDisk, RunsInAPrivateMountNamespace)
{
    if (PrivateNetwork::runsElsewhere())
        GTEST_SKIP() << kElsewhere;
    FullDisk::expectInnerTestsPass("ProgramOnAFullDisk.*", 1);
}

TEST_F(ProgramOnAFullDisk, KeepsTheNetworkSettingsCountersAndStatistics)
{
    TestEnv::writeText(var("cnt_net/config.json"),
                       "{\n    \"devicename\": \"press-4\",\n    \"device_workapifunc\": false,\n"
                       "    \"serveraddr\": \"192.168.1.9\",\n    \"serverport\": \"10432\",\n"
                       "    \"version\": \"18.0.1.70\",\n    \"camcount\": 2\n}\n");
    ASSERT_TRUE(writeSettingsAtomically(var("cnt_net/workspace/count.ini"), {{"count/allNum0", 12345}}));
    ASSERT_TRUE(StatsTest::execOn(var("ResStatisticsNULL.db"), {StatsTest::createTable()}));
    CountGroupList day;
    day.date = QDate::currentDate().toString("yyyy-MM-dd");
    CountGroup group;
    ResStatisticsParam::initStuCountGroup(group, "default");
    group.allCameras.cycle.OK[0] = 777;
    day.groups.push_back(group);
    const QJsonObject dayJson = ResStatisticsParam::StuCountToJson(day);
    ASSERT_TRUE(StatsTest::writeDayFile(var("ResStatistics.db"), dayJson));
    const QStringList kept{"cnt_net/config.json", "cnt_net/workspace/count.ini"};
    QList<QByteArray> before;
    for (const QString& path : kept)
        before << bytesOf(path);
    ASSERT_TRUE(FullDisk::fill(var(QString())));

    start();
    // Register values come from the GUI thread: its event loop runs, start-up is over, and six
    // cycles (two steps each) have tried to write the counters read at the start.
    QList<int> registers;
    ASSERT_TRUE(TestEnv::waitUntil([&] { registers = readRegisters(1); return registers.size() == 5 && registers.at(2) >= 12345 + 12; }, 20000));
    stopWith(SIGTERM);

    for (int i = 0; i < kept.size(); ++i)
        EXPECT_EQ(bytesOf(kept.at(i)), before.at(i)) << kept.at(i).toStdString();
    EXPECT_EQ(QDir(var(QString())).entryList({"*.broken-*"}, QDir::Files), QStringList());
    EXPECT_EQ(StatsTest::readDay(var("ResStatistics.db")), dayJson);
}

namespace {

// How many tests the named suites hold, so the run in a private network expects every one.
int testsIn(const QStringList& suites)
{
    const ::testing::UnitTest* unit = ::testing::UnitTest::GetInstance();
    int count = 0;
    for (int i = 0; i < unit->total_test_suite_count(); ++i) {
        if (suites.contains(QLatin1String(unit->GetTestSuite(i)->name())))
            count += unit->GetTestSuite(i)->total_test_count();
    }
    return count;
}

}  // namespace

// A copy of the program already running here (./run.sh) holds the fixed ports; when they are free
// this test holds them itself. The whole-program tests, run in a network of their own, pass all
// the same.
TEST(ProgramInItsOwnNetwork, PassesWhileAnotherCopyHoldsThePortsHere)
{
    if (!PrivateNetwork::runsElsewhere())
        GTEST_SKIP() << "needs root, unshare -n and ip for a network of its own";
    QTcpServer modbus;
    QTcpServer api;
    for (auto [server, port] : {std::make_pair(&modbus, 502), std::make_pair(&api, 10100)}) {
        const bool held = server->listen(QHostAddress::Any, quint16(port))
                          || server->serverError() == QAbstractSocket::AddressInUseError;
        ASSERT_TRUE(held) << port << ": " << server->errorString().toStdString();
    }
    PrivateNetwork::expectInnerTestsPass("ProgramRun.*:ProgramFullDisk.*", testsIn({"ProgramRun", "ProgramFullDisk"}));
}
