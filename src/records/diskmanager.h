#pragma once

#include "base/loopthread.h"

#include <QDir>
#include <QMetaType>
#include <QMutex>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QVector>


class QThread;

// One USB stick. Two records are the same stick when their uuids are equal.
struct UPanInfo {
    QString uuid;         // file-system UUID (identity)
    QString pathId;       // name of the by-path link
    QString label;        // file-system label
    QString deviceNode;   // target of the by-uuid link, e.g. /dev/sdb1
    QString fsType;       // ID_FS_TYPE
    QString bus;          // ID_BUS
    QString mountPath;    // mount point; empty until mounted
};

Q_DECLARE_METATYPE(UPanInfo)
Q_DECLARE_METATYPE(QVector<UPanInfo>)

// Registers UPanInfo and QVector<UPanInfo> so the disk list can travel through queued signals.
void registerDiskMetaTypes();

enum DiskInfoType { DiskByUuid = 0, DiskByPath = 1 };

// Resolves the link `name` of "/dev/disk/by-uuid/" (or by-path) to its target; leaves
// `device` unchanged when there is no such link.
void get_device(QString name, QString& device, DiskInfoType type);
QStringList getMountPointsByUUID(const QString& uuid);
void unmountMountPoints(const QStringList& mountPoints);

// Watches the udev database for USB sticks (SCSI disks, major 8), mounts every new stick with
// a file system on the first free one of "/mnt", "/mnt0".."/mnt3", unmounts sticks that are
// gone, and publishes the list of mounted sticks. Every path goes through the platform layer
// and every mount and umount through the command runner.
class DiskManager : public QObject {
    Q_OBJECT
public:
    // Runs the start-up scan: finds the machine's own disk and clears the mount points.
    explicit DiskManager(QObject* parent = nullptr);
    ~DiskManager() override;

    static DiskManager* _instance;

    // Starts the watch loop on a thread of its own; does nothing while it runs.
    void start();
    // Stops the watch loop and waits for it.
    void stop();
    bool isRunning() const;

    QStringList getMountPath() const;
    QStringList getMountPaths() const { return getMountPath(); }
    QString get_efficientMountPath() const;

    void updateUPanInfo(UPanInfo info);
    void removeUPanInfo(int index);
    void removeUPanInfo(QString uuid);
    UPanInfo get_mountDisk(QString uuid) const;
    QVector<UPanInfo> disks() const;

    bool mountCommand(QString device, QString mountPoint);
    void clear_mount(QString key);
    void umountCommand(QString device);

    // The records never read again (the machine's own disk, records without a file system).
    QStringList ignoredRecords() const;
    // The five mount points in the order they are tried (platform paths).
    static QStringList mountPoints();

    // One pass of the watch loop (the loop calls it every 50 ms); true when the list changed.
    bool scanOnce();

signals:
    void diskInfoChange(QVector<UPanInfo> infos);

private:
    void watchPass();
    // Copies the record at index; false when the list has since become shorter.
    bool diskAt(int index, UPanInfo& info) const;
    QStringList recordFiles() const;
    // Reads one udev record; false when it cannot be read.
    static bool readRecord(const QString& path, UPanInfo& info);

    QDir m_udevDir;
    QStringList m_ignoredRecords;   // start-up scan, then the loop only
    QVector<UPanInfo> m_disks;
    mutable QMutex m_mutex;         // guards m_disks and m_ignoredRecords
    LoopThread m_loop;
};
