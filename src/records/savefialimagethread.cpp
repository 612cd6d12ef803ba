#include "records/savefialimagethread.h"

#include "base/appclock.h"
#include "base/globals.h"
#include "base/safefile.h"
#include "detection/cammerwidget.h"
#include "detection/handover.h"
#include "detection/mojuwizard.h"
#include "records/copy2movedisk.h"

#include <QBuffer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QImage>
#include <QtDebug>

#include <algorithm>
#include <cstring>
#include <sys/stat.h>
#include <sys/statvfs.h>

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

QFileInfoList picturesNewestFirst(const QString& folder)
{
    return QDir(folder).entryInfoList({QStringLiteral("*.jpg")}, QDir::Files | QDir::Dirs | QDir::NoDotAndDotDot,
                                      QDir::Time);
}

// A folder of a picture's name takes a place like a picture; it goes only when empty, since what
// is inside is not ours.
void removePictures(const QString& folder, const QFileInfoList& pictures)
{
    QDir dir(folder);
    for (const QFileInfo& entry : pictures) {
        if (entry.isDir() && !entry.isSymLink())
            dir.rmdir(entry.fileName());
        else
            QFile::remove(entry.absoluteFilePath());
    }
}

// Once a picture is in its folder, keeps limit - 1 of the other newest "*.jpg" entries beside it.
// Pruning only then means a picture the disk refused pushes no saved one out.
void pruneFolder(const QString& folder, int limit, const QString& kept)
{
    QFileInfoList others = picturesNewestFirst(folder);
    const QString keptName = QFileInfo(kept).fileName();
    others.erase(std::remove_if(others.begin(), others.end(),
                                [&keptName](const QFileInfo& entry) { return entry.fileName() == keptName; }),
                 others.end());
    removePictures(folder, others.mid(limit - 1));
}

// The disk of a folder at its limit may be full but for the pictures the next one pushes out
// anyway. When removing those first gives the room the refused picture needs, and nothing else
// did, they go now: the folder then rotates on a nearly full disk as on an empty one. When their
// room would not be enough, they stay.
bool makeRoom(const QString& folder, int limit, qint64 bytes)
{
    struct statvfs disk {};
    if (::statvfs(QFile::encodeName(folder).constData(), &disk) != 0 || disk.f_frsize == 0)
        return false;
    const qint64 block = qint64(disk.f_frsize);
    // A block more for the folder's own growth.
    const qint64 needed = (bytes + block - 1) / block * block + block;
    const qint64 available = qint64(disk.f_bavail) * block;
    if (available >= needed)
        return false;   // the write failed for another reason than room
    const QFileInfoList outgoing = picturesNewestFirst(folder).mid(limit - 1);
    qint64 freed = 0;
    for (const QFileInfo& entry : outgoing) {
        struct stat file {};
        // A file with a second name gives nothing back.
        if (::lstat(QFile::encodeName(entry.absoluteFilePath()).constData(), &file) == 0 && S_ISREG(file.st_mode)
            && file.st_nlink == 1)
            freed += qint64(file.st_blocks) * 512;
    }
    if (available + freed < needed)
        return false;
    removePictures(folder, outgoing);
    return true;
}

// Writes the picture whole under path or not at all (a full disk, a power cut): encoded in
// memory, written to a temporary name beside it and flushed, then renamed. Keeps the folder
// within its limit once the picture is there.
bool storePicture(const QImage& picture, const QString& folder, const QString& path, int limit, QString* reason)
{
    // The detection screen makes the picture folders; one that has gone since is reported, not
    // made again behind its back.
    if (!QFileInfo(folder).isDir()) {
        *reason = QStringLiteral("the folder is missing");
        return false;
    }
    QByteArray jpeg;
    QBuffer buffer(&jpeg);
    if (!buffer.open(QIODevice::WriteOnly) || !picture.save(&buffer, "JPG") || jpeg.isEmpty()) {
        *reason = QStringLiteral("it cannot be encoded as JPEG");
        return false;
    }
    bool stored = writeFileAtomically(path, jpeg, reason);
    if (!stored && makeRoom(folder, limit, jpeg.size()))
        stored = writeFileAtomically(path, jpeg, reason);
    if (stored)
        pruneFolder(folder, limit, path);
    return stored;
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
    const QString name = pictureName(AppClock::now(), region);
    const QString path = QStringLiteral("%1/%2.jpg").arg(folder, name);
    QString reason;
    const bool stored = storePicture(picture, folder, path, std::max(1, limit), &reason);
    storeLog(folder).update(stored, stored ? QString() : name + QStringLiteral(".jpg: ") + reason);

    // The stick is storage of its own and the copier encodes from memory: an NG picture the
    // panel's disk refused is still worth having there.
    Copy2MoveDisk::getInstance()->add_map_actqueue(folder, name, picture);
    // Only a picture on the disk can be listed, fetched and pushed.
    if (!stored)
        return;

    PeriodRecordHook hook;
    {
        QMutexLocker lock(&hookMutex());
        hook = periodRecordHook();
    }
    if (hook)
        hook(camera, step, result, path);
}

WriteStateLog& SaveFialImageThread::storeLog(const QString& folder)
{
    auto it = m_storeLogs.find(folder);
    if (it == m_storeLogs.end())
        it = m_storeLogs.emplace(folder, WriteStateLog(QStringLiteral("a picture in ") + folder,
                                                       QStringLiteral("it is left out, and so is every picture here "
                                                                      "the disk refuses until one is stored again")))
                 .first;
    return it->second;
}

QStringList SaveFialImageThread::pictureFolders(const QString& root)
{
    QStringList folders;
    const QDir::Filters subfolders = QDir::Dirs | QDir::NoDotAndDotDot;
    for (const QString& camera : QDir(root).entryList({QStringLiteral("camera*")}, subfolders)) {
        const QString cameraPath = root + QLatin1Char('/') + camera;
        for (const QString& step : QDir(cameraPath).entryList({QStringLiteral("detect*")}, subfolders)) {
            for (const QString& kind : {QStringLiteral("NG"), QStringLiteral("OK")}) {
                const QString folder = cameraPath + QLatin1Char('/') + step + QLatin1Char('/') + kind;
                if (QFileInfo(folder).isDir())
                    folders << folder;
            }
        }
    }
    return folders;
}
