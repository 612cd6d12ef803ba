#pragma once

#include <QImage>
#include <QMap>
#include <QMutex>
#include <QSharedPointer>
#include <QString>
#include <QThread>
#include <QTimer>
#include <QWaitCondition>
#include <atomic>
#include <functional>

class ViewWatch2VUD;

// One System V semaphore guarding a video share against the companion process. Every P and V
// is undone by the kernel when this process dies, and P gives up after kWaitMs, so a companion
// killed while holding it can freeze neither the video worker nor whoever stops that worker.
class CNT_Semaphore {
public:
    static constexpr int kWaitMs = 200;

    explicit CNT_Semaphore(int key);
    ~CNT_Semaphore() = default;   // leaves the count as it is

    // Creates (or opens) the set and sets semaphore 0 to 1; returns semget's result.
    int create_sem(int nsems);
    // Opens an existing set; returns semget's result.
    int get_sem();
    // Takes the semaphore; false when it was not free within kWaitMs (or there is no set).
    bool P_sem();
    void V_sem();
    void retInitPV();

    int key;
    int semid = -1;
};

// One screen share: an I420 frame in a shared-memory segment plus its semaphore.
struct VideoShareInfo {
    int cameraid = 0;
    int width = 0;
    int height = 0;
    int size = 0;          // width x height x 3 / 2
    int shmid = -1;
    int semid = -1;
    void* address = nullptr;   // attached in this process; nullptr when not attached
    QSharedPointer<CNT_Semaphore> semaphore;
    int fps = 20;          // announced; the worker paces itself at one frame per 80 ms
};

namespace VideoShare {

// ftok path of the share keys: /tmp, through the platform's path seam.
QString keyPath();
// Creates (or re-opens) the share of a camera and attaches it; nothing when ftok fails.
bool create(int camera, int width, int height, VideoShareInfo* share);
// Detaches the segment from this process; the IPC objects stay.
void detach(VideoShareInfo* share);
// Detaches the segment and removes the segment and the semaphore set.
void remove(VideoShareInfo* share);

}  // namespace VideoShare

// Copies screen grabs into the shares. The capture timer runs in the thread that made the
// worker (the GUI thread) and only grabs; conversion to I420 and the copy under the semaphore
// run in the worker thread. The two meet only in the frame cache under frameMutex.
class VideoThread : public QThread {
    Q_OBJECT
public:
    static constexpr int kCaptureMs = 80;
    static constexpr int kPassUs = 80000;
    using Grabber = std::function<QImage()>;

    // grab: what to capture; by default the main window. Without a link every pass writes.
    VideoThread(QMap<int, VideoShareInfo> shares, ViewWatch2VUD* link, Grabber grab = Grabber());
    ~VideoThread() override;

    // Stops the capture and joins the worker.
    void idestory();
    // Converts one frame to I420 at the share's size and copies it in under the semaphore.
    // Returns false when the frame was skipped.
    bool UpdateMemory(int camera, const QImage& frame);

    int framesWritten() const { return written.load(); }

public slots:
    void updateData_main2cache();

protected:
    void run() override;

private:
    void pause(int us);

    std::atomic<bool> running{true};
    ViewWatch2VUD* link;
    QTimer captureTimer;
    QMap<int, VideoShareInfo> shares;
    QMap<int, QImage> frameCache;   // under frameMutex
    QMutex frameMutex;
    Grabber grabber;
    QMutex pauseMutex;
    QWaitCondition wake;
    std::atomic<int> written{0};
};
