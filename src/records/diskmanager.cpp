#include "records/diskmanager.h"

#include "base/findau.h"
#include "base/platform.h"

#include <QFile>
#include <QFileInfo>
#include <QMap>
#include <QRegularExpression>
#include <QThread>
#include <QtDebug>

DiskManager* DiskManager::_instance = nullptr;

namespace {

const QLatin1String kByUuid("S:disk/by-uuid/");
const QLatin1String kByPath("S:disk/by-path/");
const QLatin1String kByLabel("S:disk/by-label");
const QLatin1String kBus("E:ID_BUS");
const QLatin1String kFsType("E:ID_FS_TYPE");

QString afterLast(const QString& line, QChar separator)
{
    return line.mid(line.lastIndexOf(separator) + 1);
}

// A udev value used as a file name must stay inside its folder.
bool isPlainName(const QString& name)
{
    return !name.isEmpty() && name != QLatin1String(".") && name != QLatin1String("..")
        && !name.contains(QLatin1Char('/'));
}

}  // namespace

void registerDiskMetaTypes()
{
    qRegisterMetaType<UPanInfo>("UPanInfo");
    qRegisterMetaType<QVector<UPanInfo>>("QVector<UPanInfo>");
}

void get_device(QString name, QString& device, DiskInfoType type)
{
    if (!isPlainName(name))
        return;
    const QString folder = type == DiskByUuid ? QStringLiteral("/dev/disk/by-uuid/") : QStringLiteral("/dev/disk/by-path/");
    const QFileInfo entry(Platform::path(folder) + name);
    if (entry.isSymLink())
        device = entry.symLinkTarget();
    else if (entry.exists())
        qDebug() << "The provided path is not a symbolic link.";
}

QStringList getMountPointsByUUID(const QString& uuid)
{
    const CommandResult result = CommandRunner::instance()->run(
        QStringLiteral("findmnt"), {QStringLiteral("-rn"), QStringLiteral("-o"), QStringLiteral("TARGET,UUID")}, 30000);
    QStringList mountPoints;
    const QStringList lines = QString::fromUtf8(result.output).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    for (const QString& line : lines) {
        const QStringList parts = line.split(QRegularExpression(QStringLiteral("\\s+")), Qt::SkipEmptyParts);
        if (parts.size() == 2 && parts.at(1) == uuid)
            mountPoints << parts.at(0);
    }
    return mountPoints;
}

void unmountMountPoints(const QStringList& mountPoints)
{
    for (const QString& mountPoint : mountPoints) {
        const CommandResult result =
            CommandRunner::instance()->run(QStringLiteral("sudo"), {QStringLiteral("umount"), mountPoint}, 30000);
        if (result.ok())
            qDebug() << "Successfully unmounted" << mountPoint;
        else
            qDebug() << "Failed to unmount" << mountPoint << result.output;
    }
}

DiskManager::DiskManager(QObject* parent)
    : QObject(parent)
    , m_udevDir(Platform::path(QStringLiteral("/run/udev/data/")))
    , m_loop(QStringLiteral("DiskManager"), 50, [this] { watchPass(); })
{
    // Start-up scan: find the machine's own disk so its partitions are never mounted.
    QString systemDisk;
    QMap<QString, QString> uuidOfRecord;
    const QStringList records = recordFiles();
    for (const QString& record : records) {
        UPanInfo info;
        if (!readRecord(m_udevDir.filePath(record), info))
            continue;
        uuidOfRecord.insert(record, info.uuid);
        if (info.fsType == QLatin1String("ext4")) {
            QString device;
            get_device(info.uuid, device, DiskByUuid);
            systemDisk = device.remove(QRegularExpression(QStringLiteral("\\d+$")));
        }
    }
    for (auto it = uuidOfRecord.cbegin(); it != uuidOfRecord.cend(); ++it) {
        QString device;
        get_device(it.value(), device, DiskByUuid);
        if (device.contains(systemDisk))
            m_ignoredRecords << it.key();
    }
    qInfo() << "DiskManager: system disk" << systemDisk << "ignored" << m_ignoredRecords;

    for (const QString& mountPoint : mountPoints())
        clear_mount(mountPoint);
}

DiskManager::~DiskManager()
{
    stop();
    if (_instance == this)
        _instance = nullptr;
}

QStringList DiskManager::mountPoints()
{
    // The program writes into them: off the panel they are its own folders, never this
    // machine's /mnt, whatever is mounted there.
    QStringList points{Platform::programPath(QStringLiteral("/mnt"))};
    for (int i = 0; i < 4; ++i)
        points << Platform::programPath(QStringLiteral("/mnt%1").arg(i));
    return points;
}

void DiskManager::start()
{
    m_loop.start();
}

void DiskManager::stop()
{
    m_loop.stop();
}

bool DiskManager::isRunning() const
{
    return m_loop.isRunning();
}

void DiskManager::watchPass()
{
    if (scanOnce())
        emit diskInfoChange(disks());
}

QStringList DiskManager::recordFiles() const
{
    return m_udevDir.entryList({QStringLiteral("b8:*")}, QDir::Files | QDir::System, QDir::Time);
}

bool DiskManager::readRecord(const QString& path, UPanInfo& info)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return false;
    // udev records are small; a bound keeps a broken file from filling memory.
    QByteArray content = file.read(256 * 1024);
    const int nul = content.indexOf('\0');
    if (nul >= 0)
        content.truncate(nul);
    const QStringList lines = QString::fromUtf8(content).split(QLatin1Char('\n'));
    for (const QString& line : lines) {
        if (line.startsWith(kByUuid))
            info.uuid = afterLast(line, QLatin1Char('/'));
        else if (line.startsWith(kByPath))
            info.pathId = afterLast(line, QLatin1Char('/'));
        else if (line.startsWith(kByLabel))
            info.label = afterLast(line, QLatin1Char('/'));
        else if (line.startsWith(kBus))
            info.bus = afterLast(line, QLatin1Char('='));
        else if (line.startsWith(kFsType))
            info.fsType = afterLast(line, QLatin1Char('='));
    }
    return true;
}

bool DiskManager::scanOnce()
{
    // 1. What the udev database holds now, keyed by file-system UUID (first record wins).
    QMap<QString, UPanInfo> scanned;
    const QStringList records = recordFiles();
    for (const QString& record : records) {
        {
            QMutexLocker lock(&m_mutex);
            if (m_ignoredRecords.contains(record))
                continue;
        }
        UPanInfo info;
        if (!readRecord(m_udevDir.filePath(record), info))
            continue;
        if (info.uuid.isEmpty()) {
            QMutexLocker lock(&m_mutex);
            m_ignoredRecords << record;
            continue;
        }
        if (!scanned.contains(info.uuid))
            scanned.insert(info.uuid, info);
    }

    bool changed = false;

    // 2. Known sticks: gone, moved to another device node, or unchanged.
    for (int index = disks().size() - 1; index >= 0; --index) {
        UPanInfo known;
        if (!diskAt(index, known))
            continue;
        if (!scanned.contains(known.uuid)) {
            clear_mount(known.deviceNode);
            removeUPanInfo(index);
            changed = true;
            continue;
        }
        scanned.remove(known.uuid);
        QString device;
        get_device(known.uuid, device, DiskByUuid);
        if (device == known.deviceNode)
            continue;
        if (device.isEmpty()) {
            clear_mount(known.deviceNode);
            removeUPanInfo(index);
            changed = true;
            continue;
        }
        known.deviceNode = device;
        known.mountPath.clear();
        updateUPanInfo(known);
    }

    // 3. New sticks, in UUID order; one whose link is not there yet is tried next pass.
    for (auto it = scanned.cbegin(); it != scanned.cend(); ++it) {
        if (!get_mountDisk(it.key()).uuid.isEmpty())
            continue;
        QString device;
        get_device(it.key(), device, DiskByUuid);
        if (device.isEmpty())
            continue;
        UPanInfo info;
        info.uuid = it.key();
        info.label = it.value().label;
        info.deviceNode = device;
        info.bus = it.value().bus;
        updateUPanInfo(info);
    }

    // 4. Mount what is not mounted; a failed mount drops the record so it is retried.
    for (int index = disks().size() - 1; index >= 0; --index) {
        UPanInfo info;
        if (!diskAt(index, info))
            continue;
        if (!info.mountPath.isEmpty())
            continue;
        const QString mountPoint = get_efficientMountPath();
        // Off the panel the mount is only recorded: its folder would be an empty one in /.
        if (!QFileInfo::exists(mountPoint) && Platform::mayWriteMachineFiles())
            QDir().mkpath(mountPoint);
        clear_mount(info.deviceNode);
        if (mountCommand(info.deviceNode, mountPoint)) {
            info.mountPath = mountPoint;
            updateUPanInfo(info);
            changed = true;
        } else {
            removeUPanInfo(info.uuid);
        }
    }
    return changed;
}

QStringList DiskManager::getMountPath() const
{
    QMutexLocker lock(&m_mutex);
    QStringList paths;
    for (const UPanInfo& info : m_disks) {
        if (!info.mountPath.isEmpty())
            paths << info.mountPath;
    }
    return paths;
}

QString DiskManager::get_efficientMountPath() const
{
    const QStringList used = getMountPaths();
    const QStringList points = mountPoints();
    for (const QString& point : points) {
        if (!used.contains(point))
            return point;
    }
    return points.last();
}

void DiskManager::updateUPanInfo(UPanInfo info)
{
    QMutexLocker lock(&m_mutex);
    bool found = false;
    for (UPanInfo& known : m_disks) {
        if (known.uuid != info.uuid)
            continue;
        known.deviceNode = info.deviceNode;
        known.bus = info.bus;
        known.mountPath = info.mountPath;
        found = true;
    }
    if (!found)
        m_disks.append(info);
}

void DiskManager::removeUPanInfo(int index)
{
    QMutexLocker lock(&m_mutex);
    if (index >= 0 && index < m_disks.size())
        m_disks.remove(index);
}

void DiskManager::removeUPanInfo(QString uuid)
{
    QMutexLocker lock(&m_mutex);
    for (int i = 0; i < m_disks.size(); ++i) {
        if (m_disks.at(i).uuid == uuid) {
            m_disks.remove(i);
            return;
        }
    }
}

UPanInfo DiskManager::get_mountDisk(QString uuid) const
{
    QMutexLocker lock(&m_mutex);
    for (const UPanInfo& info : m_disks) {
        if (info.uuid == uuid)
            return info;
    }
    return UPanInfo();
}

bool DiskManager::diskAt(int index, UPanInfo& info) const
{
    QMutexLocker lock(&m_mutex);
    if (index < 0 || index >= m_disks.size())
        return false;
    info = m_disks.at(index);
    return true;
}

QVector<UPanInfo> DiskManager::disks() const
{
    QMutexLocker lock(&m_mutex);
    return m_disks;
}

QStringList DiskManager::ignoredRecords() const
{
    QMutexLocker lock(&m_mutex);
    return m_ignoredRecords;
}

bool DiskManager::mountCommand(QString device, QString mountPoint)
{
    const CommandResult result = CommandRunner::instance()->run(QStringLiteral("mount"), {device, mountPoint}, 2000);
    qInfo() << "mount" << device << mountPoint << (result.started ? "true" : "false");
    if (!result.started)
        return false;
    // Give the kernel a moment to list the new mount.
    QThread::msleep(300);
    // Only an exact entry counts: taking a failed mount for a success would put the
    // pictures on the system disk.
    const bool mounted = MountTable::isMounted(device, mountPoint);
    qInfo() << "/proc/mounts" << (mounted ? "true" : "false");
    return mounted;
}

void DiskManager::clear_mount(QString key)
{
    qInfo() << "clear_mount";
    if (key.isEmpty())
        return;
    QVector<MountEntry> entries;
    if (!MountTable::read(&entries))
        return;
    int count = 0;
    for (const MountEntry& entry : entries)
        count += entry.device == key || entry.mountPoint == key ? 1 : 0;
    for (int attempt = 0; attempt < count; ++attempt) {
        const CommandResult result = CommandRunner::instance()->run(QStringLiteral("umount"), {key}, 200);
        qDebug() << "clear_mount:" << CommandRunner::commandLine(QStringLiteral("umount"), {key}) << attempt
                 << (result.started ? "true" : "false");
    }
    qInfo() << "end" << "clear_mount";
}

void DiskManager::umountCommand(QString device)
{
    const CommandResult result = CommandRunner::instance()->run(QStringLiteral("umount"), {device}, 2000);
    qInfo() << CommandRunner::commandLine(QStringLiteral("umount"), {device}) << (result.started ? "true" : "false");
}
