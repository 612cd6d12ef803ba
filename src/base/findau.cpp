#include "base/findau.h"

#include "base/platform.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QtDebug>

namespace {

// The mount table escapes blanks, tabs, newlines and backslashes in its fields as \ooo.
QString unescapeField(const QByteArray& field)
{
    QByteArray out;
    out.reserve(field.size());
    for (int i = 0; i < field.size(); ++i) {
        if (field.at(i) == '\\' && i + 3 < field.size()) {
            const QByteArray digits = field.mid(i + 1, 3);
            bool ok = false;
            const int value = digits.toInt(&ok, 8);
            if (ok && digits.size() == 3 && value < 256) {
                out.append(char(value));
                i += 3;
                continue;
            }
        }
        out.append(field.at(i));
    }
    return QString::fromUtf8(out);
}

// The device node of the first USB stick partition the udev database knows, or empty.
QString findStickDevice()
{
    const QDir udevDir(Platform::path(QStringLiteral("/run/udev/data/")));
    const QStringList records =
        udevDir.entryList({QStringLiteral("b8:*")}, QDir::Files | QDir::System, QDir::Time);
    for (const QString& record : records) {
        QFile file(udevDir.filePath(record));
        if (!file.open(QIODevice::ReadOnly))
            continue;
        QByteArray content = file.read(64 * 1024);
        const int nul = content.indexOf('\0');
        if (nul >= 0)
            content.truncate(nul);
        QString uuid;
        bool usb = false;
        for (const QString& line : QString::fromUtf8(content).split(QLatin1Char('\n'))) {
            if (line.startsWith(QLatin1String("S:disk/by-uuid/")))
                uuid = line.mid(line.lastIndexOf(QLatin1Char('/')) + 1);
            else if (line.startsWith(QLatin1String("E:ID_BUS=")))
                usb = line.mid(line.lastIndexOf(QLatin1Char('=')) + 1) == QLatin1String("usb");
        }
        if (!usb || uuid.isEmpty() || uuid == QLatin1String("..") || uuid == QLatin1String("."))
            continue;
        const QFileInfo link(Platform::path(QStringLiteral("/dev/disk/by-uuid/")) + uuid);
        if (link.isSymLink())
            return link.symLinkTarget();
    }
    return QString();
}

}  // namespace

namespace MountTable {

bool read(QVector<MountEntry>* entries)
{
    entries->clear();
    QFile file(Platform::path(QStringLiteral("/proc/mounts")));
    if (!file.open(QIODevice::ReadOnly))
        return false;
    // Bounded: a mount table of a panel is a few kilobytes.
    const QList<QByteArray> lines = file.read(1024 * 1024).split('\n');
    for (const QByteArray& line : lines) {
        const QList<QByteArray> fields = line.simplified().split(' ');
        if (fields.size() < 2 || fields.at(0).isEmpty())
            continue;
        entries->append({unescapeField(fields.at(0)), unescapeField(fields.at(1))});
    }
    return true;
}

bool isMounted(const QString& device, const QString& mountPoint)
{
    QVector<MountEntry> entries;
    if (!read(&entries))
        return false;
    for (const MountEntry& entry : entries) {
        if (entry.device == device && entry.mountPoint == mountPoint)
            return true;
    }
    return false;
}

bool isMountPoint(const QString& mountPoint)
{
    QVector<MountEntry> entries;
    if (!read(&entries))
        return false;
    for (const MountEntry& entry : entries) {
        if (entry.mountPoint == mountPoint)
            return true;
    }
    return false;
}

}  // namespace MountTable

QString FindAU()
{
    // The export writes into it: off the panel it is the program's own folder, never this
    // machine's /mnt, whatever is mounted there.
    const QString mountPoint = Platform::programPath(QStringLiteral("/mnt"));
    if (MountTable::isMountPoint(mountPoint))
        return mountPoint;

    const QString device = findStickDevice();
    if (device.isEmpty()) {
        qInfo() << "FindAU: no USB stick";
        return QString();
    }
    // Off the panel the mount is only recorded: its folder would be an empty one in /.
    if (Platform::mayWriteMachineFiles())
        QDir().mkpath(mountPoint);
    const CommandResult result = CommandRunner::instance()->run(QStringLiteral("mount"), {device, mountPoint}, 2000);
    const bool mounted = result.started && MountTable::isMounted(device, mountPoint);
    qInfo() << "FindAU: mount" << device << mountPoint << mounted;
    return mounted ? mountPoint : QString();
}
