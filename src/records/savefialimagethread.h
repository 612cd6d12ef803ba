#pragma once

#include "base/safefile.h"

#include <QDateTime>
#include <QMutex>
#include <QSize>
#include <QString>
#include <QStringList>
#include <QThread>
#include <QWaitCondition>

#include <atomic>
#include <functional>
#include <map>

// Where the picture-saving thread puts the pictures of each camera, step and kind (0 NG,
// 1 OK), and the picture size of each camera. By default the main window's picture folders
// and camera views; tests fill their own.
struct PictureTargets {
    std::function<QString(int camera, int step, int kind)> folderPath;   // cleaned absolute path
    std::function<QSize(int camera)> imageSize;                           // empty when unknown

    static PictureTargets mainWindow();
};

// Receives every saved picture for the detection-period record: camera, step, OK picture,
// full file path.
using PeriodRecordHook = std::function<void(int camera, int step, bool result, const QString& filePath)>;

// Polls the picture hand-over area, writes each flagged picture as a JPEG file into its
// folder, keeps every folder within its picture limit, and passes each saved picture on to
// the USB copier and to the detection-period record.
// A picture is whole or absent: it is written to a temporary name beside it (the safe-file
// writer's, so a start removes what a cut write left) and renamed once flushed, and the folder
// is pruned only after that, so a refused picture costs no saved one its place (on a disk too
// full for it, the pictures it would push out go first only when their room is enough for it,
// so a folder at its limit still rotates on a nearly full disk). A refused picture
// is logged once per folder until one is stored again, since a full disk refuses them every cycle;
// it goes to the stick all the same, but not to the period record: nobody is told of a picture
// that is not there.
class SaveFialImageThread : public QThread {
    Q_OBJECT
public:
    explicit SaveFialImageThread(PictureTargets targets = PictureTargets::mainWindow());
    ~SaveFialImageThread() override;

    // Asks the thread to end and waits for it.
    void stop();

    // Sets the receiver of saved pictures for the period record (none until the network
    // manager installs one).
    static void setPeriodRecordHook(PeriodRecordHook hook);

    // "yyyy-MM-dd_hh.mm.ss", with "<region>_" in front when a first NG region is known.
    static QString pictureName(const QDateTime& when, int region);

    // The picture folders (camera*/detect*/NG and OK) found under root: where the start looks
    // for the temporary files of picture writes that were cut short.
    static QStringList pictureFolders(const QString& root = QStringLiteral("alarmimage"));

protected:
    void run() override;

private:
    void savePicture(const QImage& picture, const QString& folder, int limit, int region, int camera, int step,
                     bool result);
    WriteStateLog& storeLog(const QString& folder);
    // Waits, returning false as soon as the thread is asked to stop.
    bool pause(int ms);

    PictureTargets m_targets;
    std::atomic<bool> m_stop{false};
    QMutex m_pauseMutex;
    QWaitCondition m_wake;
    std::map<QString, WriteStateLog> m_storeLogs;   // by folder; this thread only
};

extern SaveFialImageThread* gpSaveFialImageThread;
