#include "base/platform.h"
#include "support/fakecommandrunner.h"
#include "support/testenv.h"

#include <QFile>
#include <gtest/gtest.h>

TEST(PlatformPath, PrefixesAbsolutePathsWithTheRoot)
{
    TestEnv::EnvGuard root("MOULD_ROOT", "/tmp/fake/");
    EXPECT_EQ(Platform::path("/proc/mounts"), "/tmp/fake/proc/mounts");
    EXPECT_EQ(Platform::path("./count.ini"), "./count.ini");
}

TEST(PlatformPath, UnchangedWithoutRoot)
{
    TestEnv::EnvGuard root("MOULD_ROOT", QByteArray());
    EXPECT_EQ(Platform::path("/mnt0"), "/mnt0");
}

TEST(SystemCommandRunner, RecordsInsteadOfRunningOffThePanel)
{
    TestEnv::EnvGuard panel("MOULD_PANEL", QByteArray());
    TestEnv::EnvGuard log("MOULD_COMMAND_LOG", (TestEnv::workDir() + "/commands.log").toUtf8());
    SystemCommandRunner runner;
    // A command that would leave a trace if it ran.
    const CommandResult result = runner.run("touch", {TestEnv::workDir() + "/ran"});
    EXPECT_TRUE(result.ok());
    EXPECT_TRUE(result.output.isEmpty());
    EXPECT_FALSE(QFile::exists(TestEnv::workDir() + "/ran"));
    EXPECT_TRUE(runner.startDetached("reboot", {}));

    QFile file(TestEnv::workDir() + "/commands.log");
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    const QList<QByteArray> lines = file.readAll().split('\n');
    ASSERT_GE(lines.size(), 2);
    EXPECT_EQ(lines.at(0), "touch " + (TestEnv::workDir() + "/ran").toUtf8());
    EXPECT_EQ(lines.at(1), "reboot");
}

TEST(SystemCommandRunner, RunsStandInsForReal)
{
    TestEnv::EnvGuard panel("MOULD_PANEL", QByteArray());
    SystemCommandRunner::registerStandIn("/bin/echo");
    SystemCommandRunner runner;
    const CommandResult result = runner.run("/bin/echo", {"hello world"});
    EXPECT_TRUE(result.ok());
    EXPECT_EQ(result.output, "hello world\n");
}

TEST(SystemCommandRunner, QuotesArgumentsWithSpacesInTheRecord)
{
    EXPECT_EQ(CommandRunner::commandLine("date", {"-s", "20240506 14:03:59"}), "date -s \"20240506 14:03:59\"");
}

TEST(FakeCommandRunner, ReplacesTheRunnerWhileItLives)
{
    {
        FakeCommandRunner fake;
        fake.setHandler([](const QString& program, const QStringList&) {
            CommandResult result;
            result.exitCode = program == "mount" ? 32 : 0;
            return result;
        });
        EXPECT_EQ(CommandRunner::instance(), &fake);
        EXPECT_FALSE(CommandRunner::instance()->run("mount", {"/dev/sdb1", "/mnt"}).ok());
        EXPECT_TRUE(CommandRunner::instance()->run("sync", {}).ok());
        EXPECT_EQ(fake.count("mount"), 1);
        EXPECT_EQ(fake.commands().last(), "sync");
    }
    EXPECT_NE(dynamic_cast<SystemCommandRunner*>(CommandRunner::instance()), nullptr);
}
