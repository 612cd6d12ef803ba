#include "records/copy2movedisk.h"

#include "base/appclock.h"
#include "base/findau.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QThread>
#include <QtDebug>

#include <algorithm>

Copy2MoveDisk* Copy2MoveDisk::_instance = nullptr;

namespace {

QMutex& instanceMutex()
{
    static QMutex mutex;
    return mutex;
}

}  // namespace

Copy2MoveDisk::Copy2MoveDisk(QObject* parent)
    : QObject(parent), m_loop(QStringLiteral("Copy2MoveDisk"), 50, [this] { copyPass(); })
{
}

Copy2MoveDisk::~Copy2MoveDisk()
{
    stop();
}

Copy2MoveDisk* Copy2MoveDisk::getInstance()
{
    QMutexLocker lock(&instanceMutex());
    if (!_instance) {
        _instance = new Copy2MoveDisk;
        // The stick list arrives through queued signals: the copier belongs to the GUI thread
        // whichever thread asked first.
        if (QCoreApplication::instance())
            _instance->moveToThread(QCoreApplication::instance()->thread());
    }
    return _instance;
}

void Copy2MoveDisk::destroyInstance()
{
    QMutexLocker lock(&instanceMutex());
    delete _instance;
    _instance = nullptr;
}

void Copy2MoveDisk::start()
{
    m_loop.start();
}

void Copy2MoveDisk::stop()
{
    const bool wasRunning = m_loop.isRunning();
    m_loop.stop();
    if (wasRunning)
        qDebug() << "_future" << "exit";
}

bool Copy2MoveDisk::isRunning() const
{
    return m_loop.isRunning();
}

QString Copy2MoveDisk::mountPath() const
{
    QMutexLocker lock(&m_mutex);
    return m_mountPath;
}

QString Copy2MoveDisk::deviceId() const
{
    QMutexLocker lock(&m_mutex);
    return m_deviceId;
}

int Copy2MoveDisk::days() const
{
    return m_days.load();
}

void Copy2MoveDisk::setDays(int days)
{
    m_days = days;
}

int Copy2MoveDisk::queuedCount() const
{
    QMutexLocker lock(&m_mutex);
    return m_queue.size();
}

void Copy2MoveDisk::add_map_actqueue(QString folderPath, QString name, QImage picture)
{
    if (m_loop.stopRequested())
        return;
    QString mountPath;
    QString deviceId;
    {
        QMutexLocker lock(&m_mutex);
        mountPath = m_mountPath;
        deviceId = m_deviceId;
    }
    if (mountPath.isEmpty())
        return;

    const int at = folderPath.indexOf(QLatin1String("alarmimage"));
    if (at < 0) {
        qWarning() << "Copy2MoveDisk: not a picture folder" << folderPath;
        return;
    }
    const QString day = AppClock::now().toString(QStringLiteral("yyyyMMdd"));
    const QString subPath = folderPath.mid(at + 11);
    const QString root = mountPath + QStringLiteral("/monitor_") + deviceId;
    const QString dayFolder = root + QLatin1Char('/') + day + QLatin1Char('/') + subPath;

    if (!QFileInfo::exists(dayFolder)) {
        // A stick pulled a moment ago leaves an empty mount point on the system disk: never
        // create the picture folders there.
        if (!MountTable::isMountPoint(mountPath)) {
            qWarning() << "Copy2MoveDisk: nothing mounted on" << mountPath;
            return;
        }
        QDir().mkpath(dayFolder);
        removeOldDays(root, day);
    }

    const QString key = dayFolder + QLatin1Char('/') + name + QStringLiteral(".jpg");
    QMutexLocker lock(&m_mutex);
    if (m_queue.size() > kMaxQueued)
        return;
    m_queue.insert(key, picture);
}

void Copy2MoveDisk::removeOldDays(const QString& root, const QString& today) const
{
    // Hidden folders are not day folders: neither counted nor removed.
    QStringList names = QDir(root).entryList(QDir::Dirs | QDir::NoDotAndDotDot, QDir::NoSort);
    if (names.size() <= std::max(1, m_days.load()))
        return;
    std::sort(names.begin(), names.end());   // case-sensitive: the oldest date first
    // One folder per new day: a stick that holds many days more than the setting loses them one
    // day at a time, not all its history with the first picture after the setting was lowered.
    names.removeOne(today);
    if (names.isEmpty())
        return;
    const QString path = root + QLatin1Char('/') + names.first();
    const QFileInfo entry(path);
    // A link is removed as a link: whatever it points to is not ours.
    const bool removed = entry.isSymLink() ? QFile::remove(path) : QDir(path).removeRecursively();
    qInfo() << "Copy2MoveDisk: removed old day folder" << path << removed;
}

void Copy2MoveDisk::copyPass()
{
    QString key;
    QImage picture;
    {
        QMutexLocker lock(&m_mutex);
        if (m_mountPath.isEmpty()) {
            m_queue.clear();
        } else if (!m_queue.isEmpty()) {
            auto first = m_queue.begin();
            key = first.key();
            picture = first.value();
            m_queue.erase(first);
        }
    }
    if (!picture.isNull())
        picture.save(key);
}

void Copy2MoveDisk::diskInfoChange(QVector<UPanInfo> infos)
{
    bool hadStick = false;
    bool hasStick = false;
    QString mountPath;
    QString deviceId;
    {
        QMutexLocker lock(&m_mutex);
        hadStick = !m_deviceId.isEmpty();
        if (infos.isEmpty()) {
            m_mountPath.clear();
            m_deviceId.clear();
        } else {
            const auto chosen = std::find_if(infos.cbegin(), infos.cend(),
                                             [this](const UPanInfo& info) { return info.uuid == m_deviceId; });
            if (hadStick && chosen != infos.cend()) {
                // The chosen stick stays chosen; a stick mounted anew after its device node
                // changed may sit on another mount point now, and its pictures follow it there.
                m_mountPath = chosen->mountPath;
            } else {
                m_mountPath = infos.first().mountPath;
                m_deviceId = infos.first().uuid;
            }
        }
        hasStick = !m_deviceId.isEmpty();
        mountPath = m_mountPath;
        deviceId = m_deviceId;
    }
    if (hadStick != hasStick && !m_loop.stopRequested())
        emit diskStateChange(hasStick);
    qDebug() << "prepath" << mountPath << "device_id" << deviceId;
}
