#pragma once

#include "records/diskmanager.h"

#include <QImage>
#include <QMap>
#include <QMutex>
#include <QObject>
#include <QString>
#include <QVector>

#include <atomic>
#include <functional>
#include <memory>

class QThread;

// Copies every saved picture to the chosen USB stick, one folder per day under
// "monitor_<uuid>" on the stick, keeping at most `days` day folders there.
class Copy2MoveDisk : public QObject {
    Q_OBJECT
public:
    explicit Copy2MoveDisk(QObject* parent = nullptr);
    ~Copy2MoveDisk() override;

    // The process's copier, created on first use and living in the GUI thread.
    static Copy2MoveDisk* getInstance();
    // Stops and deletes the process's copier (end of the program).
    static void destroyInstance();
    static Copy2MoveDisk* _instance;

    // Starts the copy worker on a thread of its own; does nothing while it runs.
    void start();
    // Stops the worker and waits for it.
    void stop();
    bool isRunning() const;

    // Queues a picture just saved in folderPath (a folder under "alarmimage") for the stick.
    void add_map_actqueue(QString folderPath, QString name, QImage picture);

    // Mount point of the chosen stick; empty while there is none.
    QString mountPath() const;
    QString deviceId() const;
    // Day folders kept on the stick (values below 1 count as 1).
    int days() const;
    void setDays(int days);

    // Pictures waiting to be written.
    int queuedCount() const;

public slots:
    void diskInfoChange(QVector<UPanInfo> infos);

signals:
    // true when a stick has become available, false when the copier has lost its stick.
    void diskStateChange(bool present);

private:
    void workerLoop();
    void removeOldDays(const QString& root, const QString& today) const;

    static constexpr int kMaxQueued = 10;

    std::atomic<bool> m_stop{true};
    mutable QMutex m_controlMutex;   // serialises start and stop
    std::unique_ptr<QThread> m_worker;
    QMap<QString, QImage> m_queue;
    mutable QMutex m_mutex;          // guards m_queue, m_mountPath and m_deviceId
    QString m_mountPath;
    QString m_deviceId;
    std::atomic<int> m_days{31};
};

// Hands the watcher's stick list to the copier (queued into the copier's thread). Call it
// once both exist and before the watcher starts.
void connectDiskWatcher(DiskManager* watcher, Copy2MoveDisk* copier);

// What the main window does when the picture stick comes or goes: the operation record, and
// for a lost stick the warning when the alarm is switched on.
void reportDiskStateChange(bool present, bool lostUpanAlarm,
                           const std::function<void(const QString& remarks, const QString& recordType)>& insertRecord,
                           const std::function<void(const QString& text)>& showWarning);
