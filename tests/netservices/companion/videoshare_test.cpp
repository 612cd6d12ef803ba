// The screen share through real System V objects, read by a fake companion the way the
// companion reads it: attach the announced segment, take the semaphore, copy, give it back.
#include "netservices/companion/network.h"
#include "netservices/companion/videoshare.h"
#include "netservices/companion/viewwatch2vud.h"
#include "support/fakecommandrunner.h"
#include "support/testenv.h"

#include <QDir>
#include <QElapsedTimer>
#include <gtest/gtest.h>
#include <opencv2/imgproc.hpp>

#include <sys/ipc.h>
#include <sys/sem.h>
#include <sys/shm.h>

namespace {

bool segmentExists(int shmid)
{
    shmid_ds stat{};
    return shmctl(shmid, IPC_STAT, &stat) == 0;
}

size_t segmentSize(int shmid)
{
    shmid_ds stat{};
    return shmctl(shmid, IPC_STAT, &stat) == 0 ? stat.shm_segsz : 0;
}

bool takeWithoutUndo(int semid, short delta)
{
    sembuf op{};
    op.sem_op = delta;
    return semop(semid, &op, 1) == 0;
}

// The I420 bytes OpenCV gives for one colour: Y, U and V.
std::array<uchar, 3> i420Of(QRgb colour)
{
    QImage tile(2, 2, QImage::Format_RGB32);
    tile.fill(colour);
    const cv::Mat bgra(2, 2, CV_8UC4, tile.bits(), static_cast<size_t>(tile.bytesPerLine()));
    cv::Mat yuv;
    cv::cvtColor(bgra, yuv, cv::COLOR_BGRA2YUV_I420);
    return {yuv.data[0], yuv.data[4], yuv.data[5]};
}

class VideoShareTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        JXK_NETMN::destroyInstance();
        ASSERT_TRUE(QDir().mkpath("root/tmp"));
        netmn = std::make_unique<JXK_NETMN>(1);
    }
    void TearDown() override
    {
        netmn->viewWatch->destoryVideoShare();   // every test leaves no IPC object behind
        netmn.reset();
    }

    TestEnv::EnvGuard root{"MOULD_ROOT", (TestEnv::workDir() + "/root").toUtf8()};
    FakeCommandRunner runner;
    std::unique_ptr<JXK_NETMN> netmn;
};

TEST_F(VideoShareTest, FakeCompanionReadsTheScreenOfAnySizeAsOneFullFrame)
{
    ViewWatch2VUD& link = *netmn->viewWatch;
    ASSERT_TRUE(link.createVideoShare(0, 1920, 1080));
    const VideoShareInfo share = link.shares().value(0);
    EXPECT_EQ(share.size, 3110400);
    EXPECT_EQ(segmentSize(share.shmid), 3110400u);
    EXPECT_EQ(semctl(share.semid, 0, GETVAL), 1);
    // Same keys as the companion reaches with ftok(path, 1000) and ftok(path, 232).
    const QByteArray path = VideoShare::keyPath().toUtf8();
    EXPECT_EQ(ftok(path.constData(), 1000), ftok(path.constData(), 232));
    EXPECT_EQ(shmget(ftok(path.constData(), 232), 0, 0), share.shmid);
    EXPECT_EQ(semget(ftok(path.constData(), 208), 0, 0), share.semid);

    const QRgb colour = qRgb(200, 40, 90);
    VideoThread worker(link.shares(), nullptr, [colour] {
        QImage odd(801, 451, QImage::Format_ARGB32);   // not the share's size, not its format
        odd.fill(colour);
        return odd;
    });
    ASSERT_TRUE(TestEnv::waitUntil([&] { return worker.framesWritten() >= 2; }));
    worker.idestory();

    const auto* frame = static_cast<const uchar*>(shmat(share.shmid, nullptr, SHM_RDONLY));
    ASSERT_NE(frame, reinterpret_cast<const uchar*>(-1));
    const std::array<uchar, 3> expected = i420Of(colour);
    const int pixels = 1920 * 1080;
    EXPECT_EQ(frame[0], expected[0]);
    EXPECT_EQ(frame[pixels - 1], expected[0]);
    EXPECT_EQ(frame[pixels], expected[1]);
    EXPECT_EQ(frame[pixels + pixels / 4 - 1], expected[1]);
    EXPECT_EQ(frame[pixels + pixels / 4], expected[2]);
    EXPECT_EQ(frame[pixels * 3 / 2 - 1], expected[2]);
    shmdt(frame);
    EXPECT_EQ(semctl(share.semid, 0, GETVAL), 1);
}

TEST_F(VideoShareTest, CompanionHoldingTheSemaphoreOnlyCostsFrames)
{
    ViewWatch2VUD& link = *netmn->viewWatch;
    ASSERT_TRUE(link.createVideoShare(0, 64, 32));
    const VideoShareInfo share = link.shares().value(0);
    // A companion killed while it held the semaphore, without undo.
    ASSERT_TRUE(takeWithoutUndo(share.semid, -1));

    VideoThread worker(link.shares(), nullptr, [] {
        QImage image(64, 32, QImage::Format_RGB32);
        image.fill(Qt::white);
        return image;
    });
    QImage still(64, 32, QImage::Format_RGB32);
    still.fill(Qt::black);
    QElapsedTimer held;
    held.start();
    EXPECT_FALSE(worker.UpdateMemory(0, still));
    EXPECT_GE(held.elapsed(), CNT_Semaphore::kWaitMs - 20);
    TestEnv::spin(300);
    EXPECT_EQ(worker.framesWritten(), 0);
    worker.idestory();   // returns although the semaphore never came free

    ASSERT_TRUE(takeWithoutUndo(share.semid, 1));
    EXPECT_TRUE(worker.UpdateMemory(0, still));
    EXPECT_EQ(semctl(share.semid, 0, GETVAL), 1);
}

TEST_F(VideoShareTest, ReplacingAndRemovingSharesLeavesNothingBehind)
{
    ViewWatch2VUD& link = *netmn->viewWatch;
    ASSERT_TRUE(link.createVideoShare(0, 64, 32));
    const int first = link.shares().value(0).shmid;
    link.startVideo(true);
    ASSERT_TRUE(link.createVideoShare(0, 64, 32));   // as every init does while no companion is up
    const VideoShareInfo share = link.shares().value(0);
    EXPECT_EQ(share.shmid, first);   // same key, same segment
    shmid_ds stat{};
    ASSERT_EQ(shmctl(share.shmid, IPC_STAT, &stat), 0);
    EXPECT_EQ(stat.shm_nattch, 1u);   // the old attachment went with the old worker

    {
        CNT_Semaphore opened(ftok(VideoShare::keyPath().toUtf8().constData(), 2000));
        EXPECT_EQ(opened.get_sem(), share.semid);
    }
    EXPECT_EQ(semctl(share.semid, 0, GETVAL), 1);   // letting go of a handle posts nothing

    link.destoryVideoShare();
    EXPECT_TRUE(link.shares().isEmpty());
    EXPECT_FALSE(segmentExists(share.shmid));
    EXPECT_EQ(semctl(share.semid, 0, GETVAL), -1);
}

TEST_F(VideoShareTest, NetworkOnVideoOffRemovesAnEarlierShare)
{
    netmn->setWorkTask(true, true, false);
    netmn->viewWatch->init();
    const int shmid = netmn->viewWatch->shares().value(0).shmid;
    ASSERT_TRUE(segmentExists(shmid));
    netmn->setWorkTask(true, false, false);
    netmn->viewWatch->init();
    EXPECT_TRUE(netmn->viewWatch->shares().isEmpty());
    EXPECT_FALSE(segmentExists(shmid));
}

TEST_F(VideoShareTest, NoKeyFolderGivesNoShare)
{
    TestEnv::EnvGuard missing("MOULD_ROOT", (TestEnv::workDir() + "/absent").toUtf8());
    EXPECT_FALSE(netmn->viewWatch->createVideoShare(0, 1920, 1080));
    EXPECT_TRUE(netmn->viewWatch->shares().isEmpty());
}

}  // namespace
