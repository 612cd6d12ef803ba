#include "base/platform.h"
#include "support/fakecommandrunner.h"
#include "support/testenv.h"

#include <QCoreApplication>
#include <QFile>
#include <QProcess>
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

// Off the panel the program's own folder is the working directory, or its place in the fake
// tree; nothing else of /root is taken for it.
TEST(PlatformPath, TheProgramFolderIsTheWorkingDirectoryOffThePanel)
{
    TestEnv::EnvGuard root("MOULD_ROOT", QByteArray());
    EXPECT_EQ(Platform::path("/root/div-OVE"), TestEnv::workDir());
    EXPECT_EQ(Platform::path("/root/div-OVE/cnt_net/workspace/"), TestEnv::workDir() + "/cnt_net/workspace/");
    EXPECT_EQ(Platform::path("/root/div-OVE/newupdate.rar"), TestEnv::workDir() + "/newupdate.rar");
    EXPECT_EQ(Platform::path("/root/div-OVE-2025.tar.gz"), "/root/div-OVE-2025.tar.gz");
    EXPECT_FALSE(Platform::mayWriteMachineFiles());

    TestEnv::EnvGuard fake("MOULD_ROOT", "/tmp/fake");
    EXPECT_EQ(Platform::path("/root/div-OVE/cnt_net/workspace/"), "/tmp/fake/root/div-OVE/cnt_net/workspace/");
    EXPECT_TRUE(Platform::mayWriteMachineFiles());
}

// A path written as one of the program's folder, or of the fake tree, never climbs out of it
// however many ".." it holds; machine files off the panel are read where they are.
TEST(PlatformPath, DotDotNeverClimbsOutOfTheWorkingDirectoryOrTheRoot)
{
    TestEnv::EnvGuard panel("MOULD_PANEL", QByteArray());
    TestEnv::EnvGuard noRoot("MOULD_ROOT", QByteArray());
    const QString work = TestEnv::workDir();
    EXPECT_EQ(Platform::path("/root/div-OVE/../x"), work + "/root/x");
    EXPECT_EQ(Platform::path("/root/div-OVE/../../../../etc/passwd"), work + "/etc/passwd");
    EXPECT_EQ(Platform::path("/root//div-OVE/./cnt_net/"), work + "/cnt_net/");
    EXPECT_EQ(Platform::path("/proc/mounts"), "/proc/mounts");
    EXPECT_EQ(Platform::path("/sys/class/net/eth0/wireless"), "/sys/class/net/eth0/wireless");

    TestEnv::EnvGuard root("MOULD_ROOT", "/tmp/fake/");
    EXPECT_EQ(Platform::path("/root/div-OVE/../../../etc/netplan/a.txt"), "/tmp/fake/etc/netplan/a.txt");
    EXPECT_EQ(Platform::path("/proc/../../../etc/passwd"), "/tmp/fake/etc/passwd");
    EXPECT_EQ(Platform::path("/dev/disk/by-uuid/"), "/tmp/fake/dev/disk/by-uuid/");
}

// What config.json names as the program's folders ("workspace", "videoapp_dir") lies under the
// working directory off the panel, or under MOULD_ROOT, whatever it names.
TEST(PlatformPath, EveryFolderOfTheProgramLiesUnderTheWorkingDirectoryOffThePanel)
{
    TestEnv::EnvGuard panel("MOULD_PANEL", QByteArray());
    TestEnv::EnvGuard noRoot("MOULD_ROOT", QByteArray());
    const QString work = TestEnv::workDir();
    EXPECT_EQ(Platform::programPath("/root/div-OVE/cnt_net/workspace/"), work + "/cnt_net/workspace/");
    EXPECT_EQ(Platform::programPath("/tmp/elsewhere/"), work + "/tmp/elsewhere/");
    EXPECT_EQ(Platform::programPath("/"), work + "/");
    EXPECT_EQ(Platform::programPath("/tmp/../../x/./y"), work + "/x/y");
    EXPECT_EQ(Platform::programPath("./cnt_net/workspace/"), "./cnt_net/workspace/");
    EXPECT_EQ(Platform::programPath("cnt_net/../../../x/"), "x/");

    TestEnv::EnvGuard root("MOULD_ROOT", "/tmp/fake");
    EXPECT_EQ(Platform::programPath("/tmp/elsewhere/"), "/tmp/fake/tmp/elsewhere/");
    EXPECT_EQ(Platform::programPath("/root/div-OVE/cnt_net/"), "/tmp/fake/root/div-OVE/cnt_net/");
    EXPECT_EQ(Platform::programPath("/../../etc/"), "/tmp/fake/etc/");

    // The panel's own paths are its own.
    TestEnv::EnvGuard noFake("MOULD_ROOT", QByteArray());
    TestEnv::EnvGuard onPanel("MOULD_PANEL", "1");
    EXPECT_EQ(Platform::programPath("/root/div-OVE/cnt_net/workspace/"), "/root/div-OVE/cnt_net/workspace/");
}

// A shell that exported the panel's settings must not reach this machine through a test: a copy
// of this test program started with them runs a command through the real runner and finds a
// machine path, and neither the command nor its record may leave a trace.
TEST(TestProgram, StartsWithoutTheMachineSettingsOfTheShell)
{
    const QString traceDir = qEnvironmentVariable("MOULD_TEST_TRACE_DIR");
    if (!traceDir.isEmpty()) {
        EXPECT_FALSE(Platform::isPanel());
        EXPECT_EQ(Platform::path("/proc/mounts"), "/proc/mounts");
        SystemCommandRunner().run("touch", {traceDir + "/ran"});
        return;
    }
    QProcess copy;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("MOULD_PANEL", "1");
    environment.insert("MOULD_ROOT", TestEnv::workDir() + "/fake");
    environment.insert("MOULD_COMMAND_LOG", TestEnv::workDir() + "/commands.log");
    environment.insert("MOULD_TEST_TRACE_DIR", TestEnv::workDir());
    copy.setProcessEnvironment(environment);
    copy.setProcessChannelMode(QProcess::MergedChannels);
    copy.start(QCoreApplication::applicationFilePath(), {"--gtest_filter=TestProgram.StartsWithoutTheMachineSettingsOfTheShell"});
    ASSERT_TRUE(copy.waitForFinished(30000));
    const QByteArray output = copy.readAll();
    EXPECT_EQ(copy.exitCode(), 0) << output.toStdString();
    EXPECT_TRUE(output.contains("[  PASSED  ] 1 test.")) << output.toStdString();
    EXPECT_FALSE(QFile::exists(TestEnv::workDir() + "/ran"));
    EXPECT_FALSE(QFile::exists(TestEnv::workDir() + "/commands.log"));
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

namespace {

// A script that stands in for an outside program; registered so the system runner runs it.
QString writeScript(const QString& name, const QByteArray& body)
{
    const QString path = TestEnv::workDir() + "/" + name;
    TestEnv::writeText(path, "#!/bin/sh\n" + body);
    QFile::setPermissions(path, QFile::permissions(path) | QFileDevice::ExeOwner);
    SystemCommandRunner::registerStandIn(path);
    return path;
}

}  // namespace

TEST(SystemCommandRunner, StreamingHandsLinesOverWhileTheProgramRuns)
{
    TestEnv::EnvGuard panel("MOULD_PANEL", QByteArray());
    // The program prints a line, then waits until the handler has answered it: only a runner
    // that hands lines over as they arrive gets to the second line.
    const QString gate = TestEnv::workDir() + "/gate";
    const QString program = writeScript(
        "twolines.sh",
        "echo first\nn=0\nwhile [ ! -e \"$1\" ] && [ $n -lt 100 ]; do sleep 0.1; n=$((n+1)); done\n"
        "[ -e \"$1\" ] || exit 3\nprintf 'second\\r\\nlast without end'\necho oops >&2\nexit 4\n");
    SystemCommandRunner runner;
    QList<QByteArray> lines;
    const CommandResult result = runner.runStreaming(program, {gate}, [&](const QByteArray& line) {
        lines << line;
        if (line == "first")
            TestEnv::writeText(gate, "");
    });
    EXPECT_EQ(lines, (QList<QByteArray>{"first", "second", "last without end"}));
    EXPECT_TRUE(result.started);
    EXPECT_FALSE(result.ended);
    EXPECT_EQ(result.exitCode, 4);
    EXPECT_FALSE(result.ok());
}

TEST(SystemCommandRunner, StreamingEndsTheProgramOnStopAndAtTheTimeBound)
{
    TestEnv::EnvGuard panel("MOULD_PANEL", QByteArray());
    const QString program = writeScript("endless.sh", "echo running\nwhile true; do sleep 0.2; done\n");
    SystemCommandRunner runner;

    std::atomic<bool> stop{false};
    int seen = 0;
    CommandResult result = runner.runStreaming(program, {}, [&](const QByteArray&) {
        ++seen;
        stop = true;
    }, &stop);
    EXPECT_EQ(seen, 1);
    EXPECT_TRUE(result.ended);
    EXPECT_FALSE(result.ok());

    result = runner.runStreaming(program, {}, nullptr, nullptr, 300);
    EXPECT_TRUE(result.ended);
    EXPECT_FALSE(result.ok());
}

TEST(SystemCommandRunner, StreamingRecordsOtherProgramsAndReportsMissingOnes)
{
    TestEnv::EnvGuard panel("MOULD_PANEL", QByteArray());
    SystemCommandRunner runner;
    int seen = 0;
    const auto count = [&](const QByteArray&) { ++seen; };
    EXPECT_TRUE(runner.runStreaming("sync", {}, count).ok());
    const QString missing = TestEnv::workDir() + "/no-such-program";
    SystemCommandRunner::registerStandIn(missing);
    const CommandResult result = runner.runStreaming(missing, {}, count);
    EXPECT_FALSE(result.started);
    EXPECT_FALSE(result.ok());
    EXPECT_EQ(seen, 0);
}

TEST(FakeCommandRunner, StreamingHandsTheAnsweredOutputOverLineByLine)
{
    FakeCommandRunner fake;
    fake.setHandler([](const QString&, const QStringList&) {
        CommandResult result;
        result.output = "Done a\r\nnoise\nDone b";
        return result;
    });
    QList<QByteArray> lines;
    EXPECT_TRUE(CommandRunner::instance()->runStreaming("exporter", {"x"}, [&](const QByteArray& l) { lines << l; }).ok());
    EXPECT_EQ(lines, (QList<QByteArray>{"Done a", "noise", "Done b"}));
    EXPECT_EQ(fake.commands(), QStringList{"exporter x"});
}
