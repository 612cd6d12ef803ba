// Whole-file writes on a full disk. The outer test re-runs the OnFullDisk cases in a private
// mount namespace, where each mounts a small tmpfs and fills it; anywhere else they skip.
#include "base/safefile.h"
#include "support/fulldisk.h"
#include "support/testenv.h"

#include <QDir>
#include <QFile>
#include <QSettings>
#include <gtest/gtest.h>


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

}  // namespace

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
