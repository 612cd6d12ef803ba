// Whole-file writes and the temporary files they leave. The outer full-disk test re-runs the
// OnFullDisk cases in a private mount namespace, where each mounts a small tmpfs and fills it;
// anywhere else they skip.
#include "base/safefile.h"
#include "support/fulldisk.h"
#include "support/testenv.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QSettings>
#include <gtest/gtest.h>

#include <csignal>
#include <sys/wait.h>
#include <unistd.h>


namespace {

QByteArray contentOf(const QString& path)
{
    return TestEnv::readBytes(path, "<missing>");
}

class OnFullDisk : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!FullDisk::inPrivateMounts())
            GTEST_SKIP() << "runs only inside the private mount namespace of FullDiskFiles";
        if (!FullDisk::mountSmallDisk(disk, 64))
            GTEST_SKIP() << "no tmpfs here";
    }
    void TearDown() override { FullDisk::unmount(disk); }

    // Nothing but the file itself (and the filler) may be left in the folder.
    QStringList leftovers() const
    {
        QStringList names = QDir(disk).entryList(QDir::Files | QDir::Hidden);
        names.removeAll("filler");
        return names;
    }

    const QString disk = TestEnv::workDir() + "/disk";
};

// More temporary names of this process than its writes have used so far: a leftover under every
// one of them makes the next write meet a name that is taken.
constexpr int kTakenNames = 100;

QString ownPid()
{
    return QString::number(::getpid());
}

// A process of this very program (a copy of this process) that runs until it is ended.
class OtherCopy {
public:
    OtherCopy()
    {
        m_pid = ::fork();
        if (m_pid == 0) {
            for (;;)
                ::pause();
        }
    }
    ~OtherCopy() { end(); }
    void end()
    {
        if (m_pid <= 0)
            return;
        ::kill(m_pid, SIGKILL);
        ::waitpid(m_pid, nullptr, 0);
        m_pid = -1;
    }
    QString pid() const { return QString::number(m_pid); }

private:
    pid_t m_pid = -1;
};

}  // namespace

// A start removes what writes cut short left in the program's folders, whichever process id the
// name carries (a panel boots to the same one every time), except a file that another running
// copy of the program may still be writing.
TEST(LeftoverTemporaries, AreRemovedUnlessAnotherCopyOfTheProgramMayStillWriteThem)
{
    OtherCopy other;
    ASSERT_FALSE(other.pid().startsWith('-'));
    QProcess stranger;   // a process id taken again by another program
    stranger.start("sleep", {"60"});
    ASSERT_TRUE(stranger.waitForStarted(5000));
    QProcess gone;
    gone.start("true", QStringList());
    ASSERT_TRUE(gone.waitForFinished(5000));

    const QStringList leftovers{"ws/count.ini.part-" + ownPid() + "-1", "ws/count.ini.part-" + ownPid() + "-2",
                                "ws/count.ini.part-" + QString::number(stranger.processId()) + "-3",
                                "time.txt.part-" + QString::number(gone.processId()) + "-4",
                                // QSettings' lock, left by a kill during a counters write
                                "ws/count.ini.part-" + ownPid() + "-44.lock"};
    const QStringList databaseParts{"ResStatistics/2024-05-06.db.part", "ResStatisticsNULL.db.part"};
    const QStringList otherCopys{"ws/subscriber.ini.part-" + other.pid() + "-5",
                                 "ws/subscriber.ini.part-" + other.pid() + "-5.lock"};
    const QStringList others{"ws/notes.part-1", "ws/count.ini.partial", "ResStatistics/2024-05-06.db",
                             "ws/sub/count.ini.part-" + ownPid() + "-6", "ws/count.ini.lock",
                             "ws/count.ini.part-" + ownPid() + "-7.locked"};
    for (const QString& path : leftovers + databaseParts + others + otherCopys)
        TestEnv::writeText(path, "half a file");
    const QStringList folders{".", "ws", "ResStatistics"};

    // The copy works in this folder too: what it may be writing stays, names without an id included.
    EXPECT_EQ(removeLeftoverTemporaries(folders), leftovers.size());
    for (const QString& path : leftovers)
        EXPECT_FALSE(QFile::exists(path)) << path.toStdString();
    for (const QString& path : databaseParts + others + otherCopys)
        EXPECT_TRUE(QFile::exists(path)) << path.toStdString();

    other.end();
    EXPECT_EQ(removeLeftoverTemporaries(folders), databaseParts.size() + otherCopys.size());
    for (const QString& path : databaseParts + otherCopys)
        EXPECT_FALSE(QFile::exists(path)) << path.toStdString();
    for (const QString& path : others)
        EXPECT_TRUE(QFile::exists(path)) << path.toStdString();

    // What an earlier run under this process id left no longer stands in the way of a write.
    for (int n = 1; n <= kTakenNames; ++n)
        TestEnv::writeText(QString("ws/count.ini.part-%1-%2").arg(ownPid()).arg(n), "half a file");
    EXPECT_EQ(removeLeftoverTemporaries(folders), kTakenNames);
    EXPECT_TRUE(writeFileAtomically("ws/count.ini", "whole"));
    EXPECT_EQ(TestEnv::readBytes("ws/count.ini"), "whole");
    stranger.kill();
    stranger.waitForFinished(5000);
}

// Without the clean-up too: a write whose temporary name is taken takes the next one, and what
// lies under the taken names is neither read into the new file nor touched.
TEST(LeftoverTemporaries, AWriteWhoseTemporaryNameIsTakenTakesTheNext)
{
    for (int n = 1; n <= kTakenNames; ++n) {
        TestEnv::writeText(QString("config.json.part-%1-%2").arg(ownPid()).arg(n), "half a file");
        TestEnv::writeText(QString("count.ini.part-%1-%2").arg(ownPid()).arg(n), "[General]\nstale=1\n");
    }
    QString reason;
    EXPECT_TRUE(writeFileAtomically("config.json", "{}", &reason)) << reason.toStdString();
    EXPECT_EQ(TestEnv::readBytes("config.json"), "{}");
    EXPECT_TRUE(writeSettingsAtomically("count.ini", {{"count/allNum0", 7}}, &reason)) << reason.toStdString();
    QSettings settings("count.ini", QSettings::IniFormat);
    EXPECT_EQ(settings.allKeys(), QStringList{"count/allNum0"});

    EXPECT_EQ(QDir().entryList({"*.part-*"}, QDir::Files).size(), 2 * kTakenNames);
    EXPECT_EQ(TestEnv::readBytes(QString("count.ini.part-%1-1").arg(ownPid())), "[General]\nstale=1\n");
}

TEST(FullDiskFiles, RunInAPrivateMountNamespace)
{
    FullDisk::expectInnerTestsPass("OnFullDisk.*", 2);
}

TEST_F(OnFullDisk, AWholeFileWriteReportsFailureAndKeepsTheOldContent)
{
    const QString path = disk + "/cnt_net/config.json";
    const QByteArray old = R"({"devicename": "press-4", "device_workapifunc": true})";
    ASSERT_TRUE(writeFileAtomically(path, old));
    ASSERT_TRUE(FullDisk::fill(disk));

    // Small enough to sit in a write buffer until the end, and larger than any buffer.
    for (const int size : {202, 100000}) {
        SCOPED_TRACE(size);
        QString reason;
        EXPECT_FALSE(writeFileAtomically(path, QByteArray(size, 'n'), &reason));
        EXPECT_FALSE(reason.isEmpty());
        EXPECT_EQ(contentOf(path), old);
    }
    EXPECT_EQ(leftovers(), QStringList()) << "only the folder";

    FullDisk::release(disk);
    ASSERT_TRUE(writeFileAtomically(path, "new"));
    EXPECT_EQ(contentOf(path), "new");
}

TEST_F(OnFullDisk, ASettingsWriteReportsFailureAndKeepsTheOldValues)
{
    const QString path = disk + "/count.ini";
    ASSERT_TRUE(writeSettingsAtomically(path, {{"count/allNum0", 41}, {"count/failNum0", 3}}));
    const QByteArray old = contentOf(path);

    // Full, and so full that the new file only partly fits (QSettings then reports success).
    QVariantMap many;
    for (int i = 0; i < 120; ++i)
        many.insert(QString("count/allNum%1").arg(i), 1000 + i);
    for (const qint64 room : {0, 4096}) {
        SCOPED_TRACE(room);
        FullDisk::release(disk);
        ASSERT_TRUE(FullDisk::fill(disk, room));
        QString reason;
        EXPECT_FALSE(writeSettingsAtomically(path, many, &reason));
        EXPECT_FALSE(reason.isEmpty());
        EXPECT_EQ(contentOf(path), old);
        EXPECT_EQ(leftovers(), QStringList{"count.ini"});
    }

    FullDisk::release(disk);
    ASSERT_TRUE(writeSettingsAtomically(path, {{"count/allNum0", 42}}));
    QSettings settings(path, QSettings::IniFormat);
    EXPECT_EQ(settings.allKeys(), QStringList{"count/allNum0"});
    EXPECT_EQ(settings.value("count/allNum0").toInt(), 42);
}
