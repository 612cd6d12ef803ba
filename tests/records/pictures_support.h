#pragma once

#include "base/appclock.h"
#include "base/globals.h"
#include "detection/handover.h"
#include "records/copy2movedisk.h"
#include "records/savefialimagethread.h"
#include "support/testenv.h"

#include <QBuffer>
#include <QDir>
#include <QImage>
#include <QMutex>
#include <QRandomGenerator>
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <vector>

namespace PicturesTest {

inline QStringList jpegs(const QString& folder)
{
    return QDir(folder).entryList({"*.jpg"}, QDir::Files, QDir::Name);
}

// Every file of a folder, hidden ones and temporaries included.
inline QStringList allFiles(const QString& folder)
{
    return QDir(folder).entryList(QDir::Files | QDir::Hidden | QDir::System, QDir::Name);
}

// A picture JPEG hardly compresses: its file is about as big as a picture of its size gets.
inline QImage noise(QSize size, quint32 seed)
{
    QImage picture(size, QImage::Format_RGB32);
    QRandomGenerator random(seed);
    for (int y = 0; y < size.height(); ++y) {
        auto* line = reinterpret_cast<QRgb*>(picture.scanLine(y));
        for (int x = 0; x < size.width(); ++x)
            line[x] = random.generate() | 0xff000000u;
    }
    return picture;
}

inline QImage plain(QSize size, QRgb colour)
{
    QImage picture(size, QImage::Format_RGB32);
    picture.fill(colour);
    return picture;
}

// The bytes the picture thread writes for a picture.
inline QByteArray jpegOf(const QImage& picture)
{
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    picture.save(&buffer, "JPG");
    return bytes;
}

struct SavedPicture {
    int camera;
    int step;
    bool result;
    QString path;
};

// The hand-over area of one camera with two steps, and a thread saving into the picture folders
// under the test's working folder (or another root a test chooses before the thread starts).
class Saving : public ::testing::Test {
protected:
    void SetUp() override
    {
        createGlobalMutexes();
        numCamera = 1;
        gDNum = 2;
        gPicNumNG = 5;
        gPicNumOK = 5;
        allocateFailImages({size.width() * size.height() * 4}, 2);
        std::memset(gisSaveFail, 0, sizeof gisSaveFail);
        std::memset(gFailIndex, 0, sizeof gFailIndex);
        AppClock::setNow(QDateTime(QDate(2024, 5, 6), QTime(14, 3, 59)));
        SaveFialImageThread::setPeriodRecordHook([this](int camera, int step, bool result, const QString& path) {
            QMutexLocker lock(&savedMutex);
            saved.push_back({camera, step, result, path});
        });
        const QSize pictureSize = size;
        targets.imageSize = [pictureSize](int) { return pictureSize; };
        useRoot(TestEnv::workDir());
    }

    void TearDown() override
    {
        thread.reset();
        SaveFialImageThread::setPeriodRecordHook(nullptr);
        Copy2MoveDisk::destroyInstance();
        freeFailImages();
        AppClock::setOffsetMs(0);
    }

    // Saves into <root>/alarmimage/camera1/detect<S>/NG|OK, made here.
    void useRoot(const QString& root)
    {
        targets.folderPath = [root](int camera, int step, int kind) {
            return QDir::cleanPath(root + QStringLiteral("/alarmimage/camera%1/detect%2/%3")
                                              .arg(camera + 1)
                                              .arg(step + 1)
                                              .arg(kind == 0 ? "NG" : "OK"));
        };
        for (int s = 0; s < 2; ++s) {
            QDir().mkpath(folder(s, 0));
            QDir().mkpath(folder(s, 1));
        }
    }

    QString folder(int step, int kind) const { return targets.folderPath(0, step, kind); }

    void handOver(int step, int kind, const QImage& picture, int region = 0)
    {
        ASSERT_EQ(picture.size(), size);
        QMutexLocker lock(pMutexSaveFail);
        std::memcpy(gpFailImage[0][step][kind], picture.constBits(), size_t(picture.sizeInBytes()));
        if (region > 0 && gFailIndex[0][step] == 0)
            gFailIndex[0][step] = region;
        gisSaveFail[0][step][kind] = true;
    }

    void handOver(int step, int kind, QRgb colour, int region = 0)
    {
        handOver(step, kind, plain(size, colour), region);
    }

    void startThread()
    {
        thread = std::make_unique<SaveFialImageThread>(targets);
        thread->start();
    }

    std::vector<SavedPicture> savedPictures()
    {
        QMutexLocker lock(&savedMutex);
        return saved;
    }

    bool flagged(int step, int kind)
    {
        QMutexLocker lock(pMutexSaveFail);
        return gisSaveFail[0][step][kind];
    }

    QSize size{40, 30};   // of every camera's pictures; set before SetUp
    PictureTargets targets;
    std::unique_ptr<SaveFialImageThread> thread;
    QMutex savedMutex;
    std::vector<SavedPicture> saved;
};

}  // namespace PicturesTest
