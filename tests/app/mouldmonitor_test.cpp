// The program as a whole: started in an empty folder with fast simulated cycles, stopped by signal.
#include "support/testenv.h"

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <gtest/gtest.h>

#include <csignal>

namespace {

class ProgramRun : public ::testing::Test {
protected:
    void start()
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
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
    EXPECT_TRUE(text.contains("stopped"));
}

TEST_F(ProgramRun, StopsCleanlyOnSigint)
{
    start();
    ASSERT_TRUE(TestEnv::waitUntil([&] { return QFile::exists(var("RECORD.db")); }, 15000));
    stopWith(SIGINT);
}
