#pragma once

// A fake panel under a temporary MOULD_ROOT: udev records, by-uuid links, device nodes and a
// "/proc/mounts" that the fake command runner edits the way mount and umount would.
#include "support/fakecommandrunner.h"
#include "support/testenv.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

class FakeMachine {
public:
    FakeMachine()
        : m_root(QDir::tempPath() + QStringLiteral("/mouldroot-XXXXXX"))
        , m_oldRoot(qgetenv("MOULD_ROOT"))
        , m_hadRoot(qEnvironmentVariableIsSet("MOULD_ROOT"))
    {
        qputenv("MOULD_ROOT", m_root.path().toUtf8());
        QDir().mkpath(path("/run/udev/data"));
        QDir().mkpath(path("/dev/disk/by-uuid"));
        TestEnv::writeText(path("/proc/mounts"), "proc /proc proc rw 0 0\n");
        runner.setHandler([this](const QString& program, const QStringList& arguments) {
            return answer(program, arguments);
        });
    }

    ~FakeMachine()
    {
        runner.setHandler(nullptr);
        if (m_hadRoot)
            qputenv("MOULD_ROOT", m_oldRoot);
        else
            qunsetenv("MOULD_ROOT");
    }

    QString path(const QString& absolute) const { return m_root.path() + absolute; }
    QString device(const QString& node) const { return path(QStringLiteral("/dev/") + node); }

    // The machine's own disk: whole-disk record b8:0 and its ext4 root partition b8:2.
    void addSystemDisk()
    {
        TestEnv::writeText(path("/run/udev/data/b8:0"), "E:ID_BUS=ata\nE:ID_TYPE=disk\n");
        addPartition(QStringLiteral("b8:2"), QStringLiteral("sda2"), QStringLiteral("1111-root"), QStringLiteral("ata"),
                     QStringLiteral("ext4"), QString());
    }

    // A USB stick: whole-disk record without a file system and one vfat partition.
    void plug(const QString& disk, int minor, const QString& uuid, const QString& label = QStringLiteral("STICK"))
    {
        TestEnv::writeText(path(QStringLiteral("/run/udev/data/b8:%1").arg(minor)), "E:ID_BUS=usb\nE:ID_TYPE=disk\n");
        addPartition(QStringLiteral("b8:%1").arg(minor + 1), disk + QLatin1Char('1'), uuid, QStringLiteral("usb"),
                     QStringLiteral("vfat"), label);
    }

    void pull(const QString& disk, int minor, const QString& uuid)
    {
        QFile::remove(path(QStringLiteral("/run/udev/data/b8:%1").arg(minor)));
        QFile::remove(path(QStringLiteral("/run/udev/data/b8:%1").arg(minor + 1)));
        QFile::remove(path(QStringLiteral("/dev/disk/by-uuid/") + uuid));
        QFile::remove(device(disk + QLatin1Char('1')));
    }

    void addPartition(const QString& record, const QString& node, const QString& uuid, const QString& bus,
                      const QString& fsType, const QString& label)
    {
        QByteArray content = "S:disk/by-uuid/" + uuid.toUtf8() + "\nS:disk/by-path/pci-0000:00:14.0-usb-0:1:1.0-scsi-0:0:0:0-part1\n";
        if (!label.isEmpty())
            content += "S:disk/by-label/" + label.toUtf8() + "\n";
        content += "E:ID_BUS=" + bus.toUtf8() + "\nE:ID_FS_TYPE=" + fsType.toUtf8() + "\n";
        // udev records may carry NUL padding; nothing after it counts.
        content += QByteArray(1, '\0') + "S:disk/by-uuid/garbage\n";
        TestEnv::writeText(path("/run/udev/data/") + record, content);
        TestEnv::writeText(device(node), QByteArray());
        QFile::link(QStringLiteral("../../") + node, path("/dev/disk/by-uuid/") + uuid);
    }

    QStringList mountLines() const
    {
        QFile file(path("/proc/mounts"));
        if (!file.open(QIODevice::ReadOnly))
            return {};
        return QString::fromUtf8(file.readAll()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    }

    void setMountLines(const QStringList& lines)
    {
        TestEnv::writeText(path("/proc/mounts"), (lines.join(QLatin1Char('\n')) + QLatin1Char('\n')).toUtf8());
    }

    bool failMounts = false;
    FakeCommandRunner runner;

private:
    CommandResult answer(const QString& program, const QStringList& arguments)
    {
        CommandResult result;
        if (program == QLatin1String("mount") && arguments.size() == 2) {
            if (failMounts) {
                result.exitCode = 32;
                return result;
            }
            QStringList lines = mountLines();
            lines << arguments.at(0) + QLatin1Char(' ') + arguments.at(1) + QStringLiteral(" vfat rw 0 0");
            setMountLines(lines);
        } else if (program == QLatin1String("umount") && arguments.size() == 1) {
            QStringList lines = mountLines();
            for (int i = lines.size() - 1; i >= 0; --i) {
                const QStringList fields = lines.at(i).split(QLatin1Char(' '));
                if (fields.size() >= 2 && (fields.at(0) == arguments.at(0) || fields.at(1) == arguments.at(0))) {
                    lines.removeAt(i);
                    setMountLines(lines);
                    return result;
                }
            }
            result.exitCode = 32;
        }
        return result;
    }

    QTemporaryDir m_root;
    QByteArray m_oldRoot;
    bool m_hadRoot;
};
