#include "netservices/companion/videoshare.h"

#include "base/platform.h"
#include "detection/mojuwizard.h"
#include "netservices/companion/viewwatch2vud.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QtDebug>
#include <opencv2/imgproc.hpp>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <sys/ipc.h>
#include <sys/sem.h>
#include <sys/shm.h>

namespace {

constexpr int kShareIdBase = 1000;       // "100" followed by the camera id
constexpr int kSemaphoreIdBase = 2000;   // "200" followed by the camera id
constexpr int kNotAllowedSleepUs = 50000;

int projectId(int base, int camera)
{
    // The id is the decimal text "100"/"200" followed by the camera id, read as a number.
    return QString::number(base / 10).append(QString::number(camera)).toInt();
}

key_t keyFor(int id)
{
    return ftok(QFile::encodeName(VideoShare::keyPath()).constData(), id);
}

bool semaphoreOp(int semid, short delta, const timespec* timeout)
{
    sembuf op{};
    op.sem_num = 0;
    op.sem_op = delta;
    op.sem_flg = SEM_UNDO;
    while (true) {
        const int rc = timeout ? semtimedop(semid, &op, 1, timeout) : semop(semid, &op, 1);
        if (rc == 0)
            return true;
        if (errno != EINTR)
            return false;
    }
}

}  // namespace

CNT_Semaphore::CNT_Semaphore(int semKey) : key(semKey) {}

int CNT_Semaphore::create_sem(int nsems)
{
    const int id = semget(key, nsems, IPC_CREAT | 0666);
    if (id != -1 && semctl(id, 0, SETVAL, 1) != -1)
        semid = id;
    return id;
}

int CNT_Semaphore::get_sem()
{
    const int id = semget(key, 0, 0);
    if (id != -1)
        semid = id;
    return id;
}

bool CNT_Semaphore::P_sem()
{
    if (semid == -1)
        return false;
    const timespec timeout{0, kWaitMs * 1000000L};
    return semaphoreOp(semid, -1, &timeout);
}

void CNT_Semaphore::V_sem()
{
    if (semid != -1)
        semaphoreOp(semid, 1, nullptr);
}

void CNT_Semaphore::retInitPV()
{
    if (semid != -1)
        semaphoreOp(semid, 1, nullptr);
}

namespace VideoShare {

QString keyPath()
{
    return Platform::path(QStringLiteral("/tmp"));
}

bool create(int camera, int width, int height, VideoShareInfo* share)
{
    const key_t shmKey = keyFor(projectId(kShareIdBase, camera));
    const key_t semKey = keyFor(projectId(kSemaphoreIdBase, camera));
    if (shmKey == -1 || semKey == -1) {
        qWarning() << "no video share: ftok failed on" << keyPath() << std::strerror(errno);
        return false;
    }
    share->cameraid = camera;
    share->width = width;
    share->height = height;
    share->size = width * height * 3 / 2;
    share->shmid = shmget(shmKey, static_cast<size_t>(share->size), IPC_CREAT | 0666);
    if (share->shmid != -1) {
        void* address = shmat(share->shmid, nullptr, 0);
        share->address = address == reinterpret_cast<void*>(-1) ? nullptr : address;
    }
    share->semaphore.reset(new CNT_Semaphore(semKey));
    share->semid = share->semaphore->create_sem(1);
    share->fps = 20;
    return true;
}

void detach(VideoShareInfo* share)
{
    if (share->address)
        shmdt(share->address);
    share->address = nullptr;
}

void remove(VideoShareInfo* share)
{
    detach(share);
    if (share->semid != -1)
        semctl(share->semid, 0, IPC_RMID);
    if (share->shmid != -1)
        shmctl(share->shmid, IPC_RMID, nullptr);
    share->semid = -1;
    share->shmid = -1;
}

}  // namespace VideoShare

VideoThread::VideoThread(QMap<int, VideoShareInfo> shareMap, ViewWatch2VUD* owner, Grabber grab)
    : link(owner), shares(std::move(shareMap)), grabber(std::move(grab))
{
    if (!grabber) {
        grabber = [] { return gpWin ? gpWin->grab().toImage() : QImage(); };
    }
    captureTimer.setInterval(kCaptureMs);
    connect(&captureTimer, &QTimer::timeout, this, &VideoThread::updateData_main2cache);
    captureTimer.start();
    start(QThread::InheritPriority);
}

VideoThread::~VideoThread()
{
    idestory();
}

void VideoThread::idestory()
{
    captureTimer.stop();
    {
        QMutexLocker lock(&pauseMutex);
        running = false;
        wake.wakeAll();
    }
    wait();
}

void VideoThread::updateData_main2cache()
{
    for (const VideoShareInfo& share : qAsConst(shares)) {
        if (share.cameraid != 0)
            continue;
        const QImage frame = grabber();
        if (frame.isNull())
            continue;
        QMutexLocker lock(&frameMutex);
        frameCache.insert(share.cameraid, frame);
    }
}

void VideoThread::pause(int us)
{
    QMutexLocker lock(&pauseMutex);
    if (running)
        wake.wait(&pauseMutex, static_cast<unsigned long>(qMax(1, us / 1000)));
}

void VideoThread::run()
{
    while (running) {
        QElapsedTimer pass;
        pass.start();
        if (link && link->isAllowSnd_2_VW() < 1) {
            pause(kNotAllowedSleepUs);
            continue;
        }
        QList<int> ids;
        {
            QMutexLocker lock(&frameMutex);
            ids = frameCache.keys();
        }
        for (int id : qAsConst(ids)) {
            QImage frame;
            {
                QMutexLocker lock(&frameMutex);
                frame = frameCache.value(id);
            }
            UpdateMemory(id, frame);
        }
        const qint64 elapsedUs = pass.nsecsElapsed() / 1000;
        if (elapsedUs < kPassUs)
            pause(static_cast<int>(kPassUs - elapsedUs));
    }
}

bool VideoThread::UpdateMemory(int camera, const QImage& frame)
{
    const auto found = shares.constFind(camera);
    if (frame.isNull() || found == shares.cend())
        return false;
    const VideoShareInfo& share = found.value();
    if (share.shmid == -1 || share.semid == -1 || !share.address || !share.semaphore)
        return false;

    // Whatever the window's size and format, the share holds exactly one frame of its size.
    QImage scaled = frame.convertToFormat(QImage::Format_RGB32);
    if (scaled.width() != share.width || scaled.height() != share.height)
        scaled = scaled.scaled(share.width, share.height, Qt::IgnoreAspectRatio, Qt::FastTransformation);
    const cv::Mat bgra(share.height, share.width, CV_8UC4, const_cast<uchar*>(scaled.constBits()),
                       static_cast<size_t>(scaled.bytesPerLine()));
    cv::Mat i420;
    cv::cvtColor(bgra, i420, cv::COLOR_BGRA2YUV_I420);
    if (!i420.isContinuous() || i420.total() * i420.elemSize() != static_cast<size_t>(share.size))
        return false;

    if (!share.semaphore->P_sem())
        return false;   // the reader holds it too long: skip this frame
    std::memcpy(share.address, i420.data, static_cast<size_t>(share.size));
    share.semaphore->V_sem();
    ++written;
    return true;
}
