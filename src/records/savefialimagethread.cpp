#include "records/savefialimagethread.h"

#include "base/appclock.h"
#include "base/globals.h"
#include "detection/cammerwidget.h"
#include "detection/handover.h"
#include "detection/mojuwizard.h"
#include "records/copy2movedisk.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QImage>
#include <QtDebug>

#include <algorithm>
#include <cstring>

SaveFialImageThread* gpSaveFialImageThread = nullptr;

namespace {

QMutex& hookMutex()
{
    static QMutex mutex;
    return mutex;
}

PeriodRecordHook& periodRecordHook()
{
    static PeriodRecordHook hook;
    return hook;
}

// Keeps limit - 1 of the newest "*.jpg" entries, so that with the next picture the folder
// holds `limit`. A folder of that name takes a place like a picture; it goes only when empty,
// since what is inside is not ours.
void pruneFolder(const QString& folder, int limit)
{
    QDir dir(folder);
    const QFileInfoList pictures =
        dir.entryInfoList({QStringLiteral("*.jpg")}, QDir::Files | QDir::Dirs | QDir::NoDotAndDotDot, QDir::Time);
    for (int i = limit - 1; i < pictures.size(); ++i) {
        const QFileInfo& entry = pictures.at(i);
        if (entry.isDir() && !entry.isSymLink())
            dir.rmdir(entry.fileName());
        else
            QFile::remove(entry.absoluteFilePath());
    }
}

}  // namespace

PictureTargets PictureTargets::mainWindow()
{
    PictureTargets targets;
    targets.folderPath = [](int camera, int step, int kind) {
        if (!gpWin)
            return QString();
        return QDir::cleanPath(gpWin->pictureDirs[camera][step][kind].absolutePath());
    };
    targets.imageSize = [](int camera) {
        if (!gpWin || camera >= gpWin->cameraViews.size() || !gpWin->cameraViews.at(camera))
            return QSize();
        const CammerWidget* view = gpWin->cameraViews.at(camera);
        return QSize(view->imageWidth, view->imageHeight);
    };
    return targets;
}

SaveFialImageThread::SaveFialImageThread(PictureTargets targets)
    : m_targets(std::move(targets))
{
}

SaveFialImageThread::~SaveFialImageThread()
{
    stop();
}

void SaveFialImageThread::stop()
{
    {
        QMutexLocker lock(&m_pauseMutex);
        m_stop = true;
        m_wake.wakeAll();
    }
    wait();
}

void SaveFialImageThread::setPeriodRecordHook(PeriodRecordHook hook)
{
    QMutexLocker lock(&hookMutex());
    periodRecordHook() = std::move(hook);
}

QString SaveFialImageThread::pictureName(const QDateTime& when, int region)
{
    const QString time = when.toString(QStringLiteral("yyyy-MM-dd_hh.mm.ss"));
    if (region >= 1)
        return QStringLiteral("%1_%2").arg(region).arg(time);
    return time;
}

bool SaveFialImageThread::pause(int ms)
{
    QMutexLocker lock(&m_pauseMutex);
    if (m_stop.load())
        return false;
    m_wake.wait(&m_pauseMutex, ms);
    return !m_stop.load();
}

void SaveFialImageThread::run()
{
    if (!pMutexSaveFail) {
        qWarning() << "SaveFialImageThread: no hand-over lock, not saving pictures";
        return;
    }
    while (!m_stop.load()) {
        const int cameras = std::clamp(numCamera, 0, kMaxCameras);
        const int steps = std::clamp(gDNum, 0, kMaxSteps);
        for (int c = 0; c < cameras && !m_stop.load(); ++c) {
            const QSize size = m_targets.imageSize(c);
            if (size.isEmpty())
                continue;
            QImage picture(size, QImage::Format_RGB32);
            const int bytes = size.width() * size.height() * 4;
            for (int s = 0; s < steps && !m_stop.load(); ++s) {
                bool ngFlag = false;
                bool okFlag = false;
                int region = 0;
                {
                    QMutexLocker lock(pMutexSaveFail);
                    ngFlag = gisSaveFail[c][s][0];
                    okFlag = gisSaveFail[c][s][1];
                    region = gFailIndex[c][s];
                }
                for (int k = 0; k < 2 && !m_stop.load(); ++k) {
                    bool taken = false;
                    // The last picture may still be shared with the copier's queue: detach it
                    // here, so that the lock the detection cycle waits for covers one copy only.
                    uchar* const pixels = picture.bits();
                    {
                        QMutexLocker lock(pMutexSaveFail);
                        if (!gisSaveFail[c][s][k])
                            continue;
                        // The buffer must hold the whole picture this camera's view makes.
                        const bool fits = gpFailImage[c][s][k] && gFailImageBytes[c][s][k] >= bytes
                            && picture.sizeInBytes() == bytes;
                        if (fits)
                            std::memcpy(pixels, gpFailImage[c][s][k], size_t(bytes));
                        gisSaveFail[c][s][k] = false;
                        taken = fits;
                    }
                    if (!taken) {
                        qWarning() << "SaveFialImageThread: hand-over picture of camera" << c + 1 << "step" << s + 1
                                   << "does not have the expected size" << bytes;
                        continue;
                    }
                    // With both pictures handed over together, both go to the NG folder.
                    const bool ngFolder = k == 0 || ngFlag;
                    const QString folder = m_targets.folderPath(c, s, ngFolder ? 0 : 1);
                    const int limit = ngFolder ? gPicNumNG : gPicNumOK;
                    savePicture(picture, folder, limit, region, c, s, k == 1 && okFlag);
                    pause(k == 0 && ngFlag && okFlag ? 1000 : 200);
                }
                if (ngFlag) {
                    QMutexLocker lock(pMutexSaveFail);
                    gFailIndex[c][s] = 0;
                }
            }
        }
        pause(100);
    }
}

void SaveFialImageThread::savePicture(const QImage& picture, const QString& folder, int limit, int region,
                                      int camera, int step, bool result)
{
    if (folder.isEmpty())
        return;
    pruneFolder(folder, std::max(1, limit));
    const QString name = pictureName(AppClock::now(), region);
    const QString path = QStringLiteral("%1/%2.jpg").arg(folder, name);
    if (!picture.save(path))
        qWarning() << "SaveFialImageThread: cannot save" << path;

    Copy2MoveDisk::getInstance()->add_map_actqueue(folder, name, picture);

    PeriodRecordHook hook;
    {
        QMutexLocker lock(&hookMutex());
        hook = periodRecordHook();
    }
    if (hook)
        hook(camera, step, result, path);
}
