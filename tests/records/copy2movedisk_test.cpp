#include "base/appclock.h"
#include "records/copy2movedisk.h"
#include "records/fakemachine.h"
#include "support/testenv.h"

#include <QDir>
#include <QFileInfo>
#include <QImage>
#include <gtest/gtest.h>

namespace {

UPanInfo stick(const QString& uuid, const QString& mountPath)
{
    UPanInfo info;
    info.uuid = uuid;
    info.mountPath = mountPath;
    return info;
}

class Copy2MoveDiskTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        AppClock::setNow(QDateTime(QDate(2024, 5, 6), QTime(14, 3, 59)));
        mountPoint = machine.path("/mnt");
        QDir().mkpath(mountPoint);
        machine.setMountLines({machine.device("sdb1") + " " + mountPoint + " vfat rw 0 0"});
        QObject::connect(&copier, &Copy2MoveDisk::diskStateChange, [this](bool present) { states << present; });
        picture.fill(Qt::blue);
    }
    void TearDown() override
    {
        copier.stop();
        AppClock::setOffsetMs(0);
    }

    QString root() const { return mountPoint + "/monitor_AAAA-0001"; }
    QString folder() const { return TestEnv::workDir() + "/alarmimage/camera1/detect2/NG"; }
    QStringList dayFolders() const { return QDir(root()).entryList(QDir::Dirs | QDir::NoDotAndDotDot, QDir::Name); }

    FakeMachine machine;
    QString mountPoint;
    Copy2MoveDisk copier;
    QList<bool> states;
    QImage picture{32, 24, QImage::Format_RGB32};
};

}  // namespace

TEST_F(Copy2MoveDiskTest, KeepsItsChosenStickAndReportsOnlyPresenceChangesWhileRunning)
{
    copier.start();
    copier.start();   // a second start leaves the one worker running
    EXPECT_TRUE(copier.isRunning());

    copier.diskInfoChange({stick("A", "/mnt"), stick("B", "/mnt0")});
    EXPECT_EQ(copier.deviceId(), "A");
    copier.diskInfoChange({stick("C", "/mnt1"), stick("A", "/mnt")});
    EXPECT_EQ(copier.deviceId(), "A");
    copier.diskInfoChange({stick("B", "/mnt0")});
    EXPECT_EQ(copier.deviceId(), "B");
    EXPECT_EQ(copier.mountPath(), "/mnt0");
    copier.diskInfoChange({});
    EXPECT_TRUE(copier.mountPath().isEmpty());
    EXPECT_EQ(states, (QList<bool>{true, false}));

    copier.stop();
    EXPECT_FALSE(copier.isRunning());
    copier.diskInfoChange({stick("A", "/mnt")});
    EXPECT_EQ(states.size(), 2);
    // The choice survives stop and start.
    copier.start();
    EXPECT_EQ(copier.mountPath(), "/mnt");
}

TEST_F(Copy2MoveDiskTest, FollowsItsStickToTheMountPointItWasMountedOnAgain)
{
    copier.start();
    copier.diskInfoChange({stick("C", "/mnt"), stick("A", "/mnt0")});
    copier.diskInfoChange({stick("A", "/mnt0")});
    ASSERT_EQ(copier.deviceId(), "A");
    // Its device node changed while plugged in: the watcher mounted it again, on /mnt now.
    copier.diskInfoChange({stick("A", "/mnt"), stick("B", "/mnt1")});
    EXPECT_EQ(copier.deviceId(), "A");
    EXPECT_EQ(copier.mountPath(), "/mnt");
    EXPECT_EQ(states, QList<bool>{true});
}

namespace {

QStringList gDebugLines;

void collectDebug(QtMsgType type, const QMessageLogContext&, const QString& message)
{
    if (type == QtDebugMsg)
        gDebugLines << message;
}

}  // namespace

TEST_F(Copy2MoveDiskTest, LogsTheWorkersExit)
{
    copier.start();
    gDebugLines.clear();
    const QtMessageHandler previous = qInstallMessageHandler(collectDebug);
    copier.stop();
    copier.stop();   // not running: nothing more to say
    qInstallMessageHandler(previous);
    EXPECT_EQ(gDebugLines, QStringList{"_future exit"});
}

TEST_F(Copy2MoveDiskTest, WritesPicturesIntoTodaysFolderOnTheStick)
{
    copier.start();
    copier.diskInfoChange({stick("AAAA-0001", mountPoint)});
    copier.add_map_actqueue(folder(), "2024-05-06_14.03.59", picture);
    QImage other(picture);
    other.fill(Qt::green);
    copier.add_map_actqueue(folder(), "2_2024-05-06_14.03.59", other);

    const QString target = root() + "/20240506/camera1/detect2/NG/";
    ASSERT_TRUE(TestEnv::waitUntil([&] { return QImage(target + "2_2024-05-06_14.03.59.jpg").size() == QSize(32, 24); }));
    ASSERT_TRUE(TestEnv::waitUntil([&] { return QImage(target + "2024-05-06_14.03.59.jpg").size() == QSize(32, 24); }));
    EXPECT_EQ(copier.queuedCount(), 0);
}

// A stick holding more days than are kept (the setting lowered, a stick from a machine that kept
// more) loses one day folder per new day, the oldest first, not its whole history at once.
TEST_F(Copy2MoveDiskTest, RemovesOneOldestDayFolderPerNewDayBeyondTheDaysKept)
{
    for (const char* day : {"20240101", "20240102", "20240103", "20240104", "20240105"})
        TestEnv::writeText(root() + "/" + day + "/camera1/detect1/NG/a.jpg", "x");
    // A link among the day folders goes, what it points to stays.
    TestEnv::writeText(TestEnv::workDir() + "/keep/precious.jpg", "x");
    ASSERT_TRUE(QFile::link(TestEnv::workDir() + "/keep", root() + "/20231231"));
    // A hidden folder is no day folder: neither counted nor removed, though it sorts first.
    TestEnv::writeText(root() + "/.thumbs/a.jpg", "x");

    copier.setDays(3);
    copier.start();
    copier.diskInfoChange({stick("AAAA-0001", mountPoint)});
    copier.add_map_actqueue(folder(), "n", picture);
    EXPECT_EQ(dayFolders(), (QStringList{"20240101", "20240102", "20240103", "20240104", "20240105", "20240506"}));
    EXPECT_TRUE(QFile::exists(TestEnv::workDir() + "/keep/precious.jpg"));
    // Another picture of the same day finds its folder there: nothing more goes.
    copier.add_map_actqueue(folder(), "m", picture);
    EXPECT_EQ(dayFolders().size(), 6);

    AppClock::setNow(QDateTime(QDate(2024, 5, 7), QTime(0, 0, 1)));
    copier.add_map_actqueue(folder(), "n", picture);
    EXPECT_EQ(dayFolders(),
              (QStringList{"20240102", "20240103", "20240104", "20240105", "20240506", "20240507"}));

    // With the clock set back, today's folder sorts first and stays; the oldest other one goes.
    AppClock::setNow(QDateTime(QDate(2024, 1, 1), QTime(8, 0, 0)));
    copier.add_map_actqueue(folder(), "n", picture);
    EXPECT_EQ(dayFolders(),
              (QStringList{"20240101", "20240103", "20240104", "20240105", "20240506", "20240507"}));
    EXPECT_TRUE(QFile::exists(root() + "/.thumbs/a.jpg"));
}

TEST_F(Copy2MoveDiskTest, CreatesNothingWhenTheStickIsNoLongerMounted)
{
    machine.setMountLines({});
    copier.start();
    copier.diskInfoChange({stick("AAAA-0001", mountPoint)});
    copier.add_map_actqueue(folder(), "n", picture);
    EXPECT_FALSE(QFileInfo::exists(root()));
    EXPECT_EQ(copier.queuedCount(), 0);
}

TEST_F(Copy2MoveDiskTest, BoundsTheQueueAndDropsItWhenTheStickGoes)
{
    // Stopped: nothing is queued at all.
    copier.diskInfoChange({stick("AAAA-0001", mountPoint)});
    copier.add_map_actqueue(folder(), "n", picture);
    EXPECT_EQ(copier.queuedCount(), 0);

    copier.start();
    for (int i = 0; i < 30; ++i)
        copier.add_map_actqueue(folder(), QString::number(100 + i), picture);
    EXPECT_LE(copier.queuedCount(), 11);

    copier.diskInfoChange({});
    ASSERT_TRUE(TestEnv::waitUntil([&] { return copier.queuedCount() == 0; }));
    const int written = QDir(root() + "/20240506/camera1/detect2/NG").entryList(QDir::Files).size();
    EXPECT_LE(written, 12);
}
