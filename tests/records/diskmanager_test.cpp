#include "base/findau.h"
#include "records/copy2movedisk.h"
#include "records/diskmanager.h"
#include "records/fakemachine.h"
#include "support/fakecommandrunner.h"
#include "support/fulldisk.h"
#include "support/testenv.h"

#include <QDate>
#include <QFileInfo>
#include <QImage>
#include <gtest/gtest.h>

namespace {

class DiskManagerTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        registerDiskMetaTypes();
        machine.addSystemDisk();
    }

    // Collects the published lists in the test's thread.
    void listen(DiskManager* manager)
    {
        QObject::connect(manager, &DiskManager::diskInfoChange, &receiver,
                         [this](const QVector<UPanInfo>& infos) { lists << infos; });
    }
    QVector<UPanInfo> lastList() const { return lists.isEmpty() ? QVector<UPanInfo>() : lists.last(); }

    QObject receiver;
    QVector<QVector<UPanInfo>> lists;

    FakeMachine machine;
};

}  // namespace

TEST_F(DiskManagerTest, StartUpScanIgnoresTheSystemDiskAndClearsTheMountPoints)
{
    machine.plug(QStringLiteral("sdb"), 16, QStringLiteral("AAAA-0001"));
    machine.setMountLines({machine.device("sda2") + " / ext4 rw 0 0",
                           machine.device("sdb1") + " " + machine.path("/mnt0") + " vfat rw 0 0",
                           machine.device("sdc1") + " " + machine.path("/mnt0") + " vfat rw 0 0"});

    DiskManager manager;

    EXPECT_TRUE(manager.ignoredRecords().contains("b8:2"));
    EXPECT_FALSE(manager.ignoredRecords().contains("b8:17"));
    // Both mounts stacked on /mnt0 are gone; the root file system is left alone.
    EXPECT_EQ(machine.mountLines(), QStringList{machine.device("sda2") + " / ext4 rw 0 0"});
    EXPECT_EQ(machine.runner.count("umount"), 2);
    // Sticks present at start-up are left to the first pass of the loop.
    EXPECT_TRUE(manager.disks().isEmpty());
}

TEST_F(DiskManagerTest, PluggedSticksAreMountedOnTheFirstFreeMountPointsAndPulledOnesUnmounted)
{
    DiskManager manager;
    listen(&manager);
    manager.start();

    machine.plug(QStringLiteral("sdb"), 16, QStringLiteral("AAAA-0001"), QStringLiteral("LEFT"));
    ASSERT_TRUE(TestEnv::waitUntil([&] { return lastList().size() == 1; }));
    UPanInfo first = lastList().at(0);
    EXPECT_EQ(first.uuid, "AAAA-0001");
    EXPECT_EQ(first.label, "LEFT");
    EXPECT_EQ(first.bus, "usb");
    EXPECT_EQ(first.deviceNode, machine.device("sdb1"));
    EXPECT_EQ(first.mountPath, machine.path("/mnt"));
    EXPECT_TRUE(MountTable::isMounted(machine.device("sdb1"), machine.path("/mnt")));
    // The stick's whole-disk record has no file system: never read again.
    EXPECT_TRUE(manager.ignoredRecords().contains("b8:16"));

    machine.plug(QStringLiteral("sdc"), 32, QStringLiteral("BBBB-0002"));
    ASSERT_TRUE(TestEnv::waitUntil([&] { return lastList().size() == 2; }));
    EXPECT_EQ(manager.getMountPath(), (QStringList{machine.path("/mnt"), machine.path("/mnt0")}));

    machine.pull(QStringLiteral("sdb"), 16, QStringLiteral("AAAA-0001"));
    ASSERT_TRUE(TestEnv::waitUntil([&] { return lastList().size() == 1; }));
    EXPECT_EQ(lastList().at(0).uuid, "BBBB-0002");
    EXPECT_FALSE(MountTable::isMountPoint(machine.path("/mnt")));
    EXPECT_EQ(manager.get_efficientMountPath(), machine.path("/mnt"));

    manager.stop();
    EXPECT_FALSE(manager.isRunning());
}

TEST_F(DiskManagerTest, AMountThatIsNotListedExactlyIsAFailureAndIsRetried)
{
    DiskManager manager;
    machine.plug(QStringLiteral("sdb"), 16, QStringLiteral("AAAA-0001"));
    machine.failMounts = true;
    // Lines that hold the device and the mount point only as parts of longer names.
    machine.setMountLines({machine.device("sdb10") + " " + machine.path("/mnt0") + " vfat rw 0 0",
                           machine.device("sdb1") + "0 " + machine.path("/mnt") + "0 vfat rw 0 0"});

    EXPECT_FALSE(manager.scanOnce());
    EXPECT_TRUE(manager.disks().isEmpty());
    EXPECT_FALSE(manager.scanOnce());
    EXPECT_EQ(machine.runner.count("mount"), 2);

    machine.failMounts = false;
    EXPECT_TRUE(manager.scanOnce());
    ASSERT_EQ(manager.disks().size(), 1);
    EXPECT_EQ(manager.disks().at(0).mountPath, machine.path("/mnt"));
}

TEST_F(DiskManagerTest, ARecordWithoutAUuidIsNeverReadAgain)
{
    DiskManager manager;
    TestEnv::writeText(machine.path("/run/udev/data/b8:48"), "E:ID_BUS=usb\n");
    manager.scanOnce();
    EXPECT_TRUE(manager.ignoredRecords().contains("b8:48"));

    machine.addPartition("b8:48", "sdd1", "DDDD-0004", "usb", "vfat", QString());
    EXPECT_FALSE(manager.scanOnce());
    EXPECT_TRUE(manager.disks().isEmpty());
}

TEST_F(DiskManagerTest, MountPointsRunOutAtTheLastOne)
{
    DiskManager manager;
    const QStringList points = DiskManager::mountPoints();
    ASSERT_EQ(points.size(), 5);
    EXPECT_EQ(points.at(4), machine.path("/mnt3"));
    for (int i = 0; i < 5; ++i) {
        UPanInfo info;
        info.uuid = QString::number(i);
        info.mountPath = points.at(i);
        manager.updateUPanInfo(info);
    }
    EXPECT_EQ(manager.get_efficientMountPath(), machine.path("/mnt3"));
    manager.removeUPanInfo(QStringLiteral("1"));
    EXPECT_EQ(manager.get_efficientMountPath(), machine.path("/mnt0"));
}

TEST_F(DiskManagerTest, FindAUMountsAStickOnMnt)
{
    EXPECT_TRUE(FindAU().isEmpty());
    EXPECT_EQ(machine.runner.count("mount"), 0);

    machine.plug(QStringLiteral("sdb"), 16, QStringLiteral("AAAA-0001"));
    machine.failMounts = true;
    EXPECT_TRUE(FindAU().isEmpty());

    machine.failMounts = false;
    EXPECT_EQ(FindAU(), machine.path("/mnt"));
    EXPECT_TRUE(MountTable::isMounted(machine.device("sdb1"), machine.path("/mnt")));
    // Already mounted: no second mount.
    EXPECT_EQ(FindAU(), machine.path("/mnt"));
    EXPECT_EQ(machine.runner.count("mount"), 2);
}

// The whole road of a stick: plugged, chosen by the copier, pictures copied into its day
// folders, pulled.
TEST_F(DiskManagerTest, APluggedStickReceivesPictureCopiesUntilItIsPulled)
{
    Copy2MoveDisk copier;
    copier.start();
    QList<bool> states;
    QObject::connect(&copier, &Copy2MoveDisk::diskStateChange, [&](bool present) { states << present; });

    DiskManager manager;
    QObject::connect(&manager, &DiskManager::diskInfoChange, &copier, &Copy2MoveDisk::diskInfoChange);
    manager.start();

    machine.plug(QStringLiteral("sdb"), 16, QStringLiteral("AAAA-0001"));
    ASSERT_TRUE(TestEnv::waitUntil([&] { return !states.isEmpty(); }));
    EXPECT_EQ(states, QList<bool>{true});
    EXPECT_EQ(copier.mountPath(), machine.path("/mnt"));

    QImage picture(64, 48, QImage::Format_RGB32);
    picture.fill(Qt::red);
    copier.add_map_actqueue(TestEnv::workDir() + "/alarmimage/camera1/detect1/NG", "3_2024-05-06_14.03.59", picture);
    const QString copy = machine.path("/mnt") + "/monitor_AAAA-0001/" + QDate::currentDate().toString("yyyyMMdd")
        + "/camera1/detect1/NG/3_2024-05-06_14.03.59.jpg";
    ASSERT_TRUE(TestEnv::waitUntil([&] { return QImage(copy).size() == QSize(64, 48); }));

    machine.pull(QStringLiteral("sdb"), 16, QStringLiteral("AAAA-0001"));
    ASSERT_TRUE(TestEnv::waitUntil([&] { return states.size() == 2; }));
    EXPECT_FALSE(states.at(1));
    EXPECT_TRUE(copier.mountPath().isEmpty());
    manager.stop();
    copier.stop();
}

// Off the panel, something mounted at this machine's own /mnt (a stick of the developer's, a
// share) is never taken for the program's stick: the export and the copies would write into it.
// The outer test runs the case in a private mount namespace, where a tmpfs on /mnt harms nothing.
TEST(MachineMounts, RunInAPrivateMountNamespace)
{
    FullDisk::expectInnerTestsPass("OnMachineMounts.*", 1);
}

TEST(OnMachineMounts, AMountAtTheMachinesMntIsNoStickOffThePanel)
{
    if (!FullDisk::inPrivateMounts())
        GTEST_SKIP() << "runs only inside the private mount namespace of MachineMounts";
    if (!QFileInfo(QStringLiteral("/mnt")).isDir())
        GTEST_SKIP() << "this machine has no /mnt";
    ASSERT_TRUE(qEnvironmentVariableIsEmpty("MOULD_ROOT"));
    FakeCommandRunner runner;
    if (!FullDisk::mountSmallDisk(QStringLiteral("/mnt"), 64))
        GTEST_SKIP() << "no tmpfs here";
    ASSERT_TRUE(MountTable::isMountPoint(QStringLiteral("/mnt")));

    EXPECT_NE(FindAU().toStdString(), "/mnt");
    for (const QString& point : DiskManager::mountPoints())
        EXPECT_TRUE(point.startsWith(TestEnv::workDir() + '/')) << point.toStdString();
    FullDisk::unmount(QStringLiteral("/mnt"));
}
