// The Modbus server against standard clients: libmodbus's client API and the mbpoll tool.
#include "detection/counters.h"
#include "detection/mojuwizard.h"
#include "netservices/modbusserver.h"
#include "support/testenv.h"

#include <QProcess>
#include <QStandardPaths>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <memory>
#include <thread>

#ifdef MOULD_HAVE_LIBMODBUS
#include <modbus.h>
#endif

namespace {

class ModbusClientTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        gpWin = nullptr;
        std::fill(gAllNum, gAllNum + kMaxCameras, 0);
        std::fill(gFailNum, gFailNum + kMaxCameras, 0);
        gAllNum[0] = 31;
        gAllNum[1] = 30;
        gFailNum[0] = 3;
        gSyncNGNum = 3;
        server = std::make_unique<ModbusServer>(QHostAddress::LocalHost, 0);
        ASSERT_TRUE(server->isRunning());
    }

    void TearDown() override { server.reset(); }

    // Runs a blocking client in a thread of its own while this (GUI) thread serves the
    // server's register requests.
    static bool runClient(const std::function<void()>& client)
    {
        std::atomic<bool> done{false};
        std::thread thread([&] {
            client();
            done = true;
        });
        const bool finished = TestEnv::waitUntil([&] { return done.load(); }, 10000);
        thread.join();
        return finished;
    }

    // Runs mbpoll against the server; its standard output, empty when it failed.
    QString mbpoll(const QStringList& arguments)
    {
        const QString program = QStandardPaths::findExecutable(QStringLiteral("mbpoll"));
        QProcess process;
        process.start(program, QStringList{"-m", "tcp", "-a", "1", "-0", "-1", "-t", "4", "-p",
                                           QString::number(server->serverPort())}
                                   + arguments);
        TestEnv::waitUntil([&] { return process.state() == QProcess::NotRunning; }, 10000);
        if (process.state() != QProcess::NotRunning) {
            process.kill();
            process.waitForFinished();
            return {};
        }
        const QString output = QString::fromLocal8Bit(process.readAllStandardOutput());
        return process.exitCode() == 0 ? output : QString();
    }

    std::unique_ptr<ModbusServer> server;
};

}  // namespace

#ifdef MOULD_HAVE_LIBMODBUS

TEST_F(ModbusClientTest, LibmodbusReadsResetsAndGetsExceptions)
{
    const quint16 port = server->serverPort();
    uint16_t before[5] = {};
    uint16_t after[5] = {};
    uint16_t many[125] = {};
    int readBefore = 0, written = 0, readAfter = 0, readMany = 0;
    int inputRegisters = 0, inputErrno = 0, singleWrite = 0, singleErrno = 0, farWrite = 0, farErrno = 0;
    bool connected = false;

    ASSERT_TRUE(runClient([&] {
        modbus_t* context = modbus_new_tcp("127.0.0.1", port);
        if (!context)
            return;
        modbus_set_slave(context, 1);
        modbus_set_response_timeout(context, 3, 0);
        connected = modbus_connect(context) == 0;
        if (connected) {
            readBefore = modbus_read_registers(context, 0, 5, before);
            const uint16_t one = 1;
            written = modbus_write_registers(context, 4, 1, &one);
            readAfter = modbus_read_registers(context, 0, 5, after);

            uint16_t input[1];
            inputRegisters = modbus_read_input_registers(context, 0, 1, input);
            inputErrno = errno;
            singleWrite = modbus_write_register(context, 4, 1);
            singleErrno = errno;
            farWrite = modbus_write_registers(context, 5, 1, &one);
            farErrno = errno;
            // Still in step after the exceptions.
            readMany = modbus_read_registers(context, 0, 125, many);
            modbus_close(context);
        }
        modbus_free(context);
    }));

    ASSERT_TRUE(connected);
    ASSERT_EQ(readBefore, 5);
    EXPECT_EQ(std::vector<uint16_t>(before, before + 5), (std::vector<uint16_t>{0, 0, 31, 3, 0}));
    EXPECT_EQ(written, 1);
    ASSERT_EQ(readAfter, 5);
    EXPECT_EQ(std::vector<uint16_t>(after, after + 5), (std::vector<uint16_t>{0, 0, 0, 3, 0}));
    EXPECT_EQ(gFailNum[0], 0);
    EXPECT_EQ(gSyncNGNum, 3);

    EXPECT_EQ(inputRegisters, -1);
    EXPECT_EQ(inputErrno, EMBXILFUN);
    EXPECT_EQ(singleWrite, -1);
    EXPECT_EQ(singleErrno, EMBXILFUN);
    EXPECT_EQ(farWrite, -1);
    EXPECT_EQ(farErrno, EMBXILADD);
    EXPECT_EQ(readMany, 125);
    EXPECT_EQ(many[3], 3);
}

#endif

TEST_F(ModbusClientTest, MbpollReadsTheRegistersAndResetsTheTotals)
{
    if (QStandardPaths::findExecutable(QStringLiteral("mbpoll")).isEmpty())
        GTEST_SKIP() << "mbpoll is not installed";

    const QString read = mbpoll({"-r", "0", "-c", "5", "127.0.0.1"});
    EXPECT_TRUE(read.contains(QStringLiteral("[2]: \t31"))) << read.toStdString();
    EXPECT_TRUE(read.contains(QStringLiteral("[3]: \t3"))) << read.toStdString();
    EXPECT_TRUE(read.contains(QStringLiteral("[4]: \t0"))) << read.toStdString();

    const QString write = mbpoll({"-r", "3", "127.0.0.1", "0", "1"});
    EXPECT_TRUE(write.contains(QStringLiteral("Written 2 references"))) << write.toStdString();
    EXPECT_EQ(gAllNum[0], 0);

    const QString again = mbpoll({"-r", "2", "-c", "2", "127.0.0.1"});
    EXPECT_TRUE(again.contains(QStringLiteral("[2]: \t0"))) << again.toStdString();
    EXPECT_TRUE(again.contains(QStringLiteral("[3]: \t3"))) << again.toStdString();
}
