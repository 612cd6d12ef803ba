// NG and OK pictures on a full disk: a picture the disk refuses leaves nothing behind, is told to
// nobody and costs no saved picture its place. The outer test re-runs the OnFullPictureDisk cases
// in a private mount namespace with a small tmpfs under the picture folders; anywhere else they
// skip.
#include "netcore/nettestutil.h"
#include "pictures_support.h"
#include "support/fulldisk.h"
#include "support/testenv.h"

#include <QFile>
#include <QFileInfo>
#include <gtest/gtest.h>

using namespace PicturesTest;

namespace {

// Long enough for a slow machine to write a picture; the waits end as soon as it is written.
constexpr int kWaitMs = 30000;

class OnFullPictureDisk : public Saving {
protected:
    void SetUp() override
    {
        // Pictures of a real camera's weight next to the disk's size: a few fill it.
        size = QSize(320, 240);
        Saving::SetUp();
        if (!FullDisk::inPrivateMounts())
            GTEST_SKIP() << "runs only inside the private mount namespace of PicturesFullDisk";
        if (!FullDisk::mountSmallDisk(disk, 256))
            GTEST_SKIP() << "no tmpfs here";
        useRoot(disk);
    }
    void TearDown() override
    {
        Saving::TearDown();
        FullDisk::unmount(disk);
    }

    // A saved picture, older than the pictures this test hands over.
    void writeSaved(const QString& path, const QImage& picture, int secondsAgo)
    {
        ASSERT_TRUE(picture.save(path, "JPG"));
        QFile file(path);
        ASSERT_TRUE(file.open(QIODevice::ReadWrite));
        ASSERT_TRUE(file.setFileTime(QDateTime::currentDateTime().addSecs(-secondsAgo), QFileDevice::FileModificationTime));
    }

    const QString disk = TestEnv::workDir() + "/disk";
};

}  // namespace

TEST(PicturesFullDisk, RunInAPrivateMountNamespace)
{
    FullDisk::expectInnerTestsPass("OnFullPictureDisk.*", 2);
}

TEST_F(OnFullPictureDisk, ARefusedPictureLeavesNoFileIsToldToNobodyAndPushesNoSavedPictureOut)
{
    gPicNumNG = 2;
    const QString ng = folder(0, 0);
    writeSaved(ng + "/1_2024-05-06_13.00.00.jpg", plain(size, qRgb(255, 0, 0)), 200);
    writeSaved(ng + "/1_2024-05-06_13.30.00.jpg", plain(size, qRgb(0, 0, 255)), 100);
    const QStringList savedNames = jpegs(ng);
    const QByteArray oldest = TestEnv::readBytes(ng + "/1_2024-05-06_13.00.00.jpg");
    const QByteArray newer = TestEnv::readBytes(ng + "/1_2024-05-06_13.30.00.jpg");
    ASSERT_TRUE(FullDisk::fill(disk));

    NetTest::LogCapture log;
    handOver(0, 0, noise(size, 1), 3);
    startThread();
    ASSERT_TRUE(TestEnv::waitUntil([&] { return log.lines(QtCriticalMsg).size() == 1; }, kWaitMs));
    EXPECT_TRUE(log.lines(QtCriticalMsg).at(0).contains(ng)) << log.lines(QtCriticalMsg).at(0).toStdString();

    // Refused again in the same folder: not logged again. The next step's folder comes after it
    // in the thread's pass and logs its own first refusal, so its line says the second is done.
    handOver(0, 0, noise(size, 2));
    ASSERT_TRUE(TestEnv::waitUntil([&] { return !flagged(0, 0); }, kWaitMs));
    handOver(1, 0, noise(size, 3));
    ASSERT_TRUE(TestEnv::waitUntil([&] { return log.lines(QtCriticalMsg).size() >= 2; }, kWaitMs));
    const QStringList errors = log.lines(QtCriticalMsg);
    ASSERT_EQ(errors.size(), 2) << errors.join('\n').toStdString();
    EXPECT_TRUE(errors.at(1).contains(folder(1, 0))) << errors.at(1).toStdString();

    EXPECT_TRUE(savedPictures().empty());
    EXPECT_EQ(allFiles(ng), savedNames) << "no empty picture, no temporary";
    EXPECT_EQ(TestEnv::readBytes(ng + "/1_2024-05-06_13.00.00.jpg"), oldest);
    EXPECT_EQ(TestEnv::readBytes(ng + "/1_2024-05-06_13.30.00.jpg"), newer);
    EXPECT_EQ(allFiles(folder(1, 0)), QStringList());

    // With room again the next picture is saved, passed on, and takes the oldest one's place.
    FullDisk::release(disk);
    const QImage next = noise(size, 4);
    handOver(0, 0, next);
    ASSERT_TRUE(TestEnv::waitUntil([&] { return savedPictures().size() == 1; }, kWaitMs));
    const QString path = savedPictures().at(0).path;
    EXPECT_TRUE(path.startsWith(ng + "/")) << path.toStdString();
    EXPECT_EQ(TestEnv::readBytes(path), jpegOf(next));
    EXPECT_EQ(allFiles(ng), QStringList({"1_2024-05-06_13.30.00.jpg", QFileInfo(path).fileName()}));
    EXPECT_EQ(log.lines(QtCriticalMsg).size(), 2);
    EXPECT_EQ(log.lines(QtInfoMsg).filter(ng + " is stored again").size(), 1) << log.lines(QtInfoMsg).join('\n').toStdString();
}

// A folder at its limit gives up its oldest picture for the new one anyway: on a disk too full
// for the new one until then, it goes first, and the folder goes on rotating.
TEST_F(OnFullPictureDisk, AFolderAtItsLimitStillRotatesOnANearlyFullDisk)
{
    gPicNumNG = 2;
    const QString ng = folder(0, 0);
    writeSaved(ng + "/1_2024-05-06_13.00.00.jpg", noise(size, 10), 200);
    writeSaved(ng + "/1_2024-05-06_13.30.00.jpg", noise(size, 11), 100);
    const QImage next = noise(size, 12);
    const QByteArray jpeg = jpegOf(next);
    ASSERT_GT(jpeg.size(), 4 * 4096) << "bigger than the room left, and than the slack of the disk's pages";
    ASSERT_TRUE(FullDisk::fill(disk, jpeg.size() / 2));

    handOver(0, 0, next);
    startThread();
    ASSERT_TRUE(TestEnv::waitUntil([&] { return savedPictures().size() == 1; }, kWaitMs));
    const QString path = savedPictures().at(0).path;
    EXPECT_EQ(TestEnv::readBytes(path), jpeg);
    EXPECT_EQ(allFiles(ng), QStringList({"1_2024-05-06_13.30.00.jpg", QFileInfo(path).fileName()}));
}
