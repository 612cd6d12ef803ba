#pragma once

#include <QString>
#include <QVector>

// One line of the kernel's mount table: the mounted device and where it is mounted.
struct MountEntry {
    QString device;
    QString mountPoint;
};

namespace MountTable {

// Reads "/proc/mounts" (through the platform path); false when it cannot be read.
bool read(QVector<MountEntry>* entries);

// True when the table lists exactly this device on exactly this mount point ("/dev/sdb1" is
// not "/dev/sdb10", "/mnt" is not "/mnt0"). False when the table cannot be read.
bool isMounted(const QString& device, const QString& mountPoint);

// True when something is mounted on exactly this mount point.
bool isMountPoint(const QString& mountPoint);

}  // namespace MountTable

// Looks for a USB stick, mounts it on "/mnt" unless something is mounted there already, and
// returns the mount point (the platform path of "/mnt") when the mount is listed; an empty
// string when there is no stick or the mount failed.
QString FindAU();
