#include "netservices/api/subscriberstore.h"

#include "base/publictools.h"
#include "base/safefile.h"

#include <QFileInfo>
#include <QHash>
#include <QHostAddress>
#include <QJsonObject>
#include <QMutex>
#include <QSettings>
#include <QtDebug>

#include <cmath>

namespace {

const QString kGroupsKey = QStringLiteral("subscriber_groups");

// The maps handed to a store writer and not on the disk yet, by file. Each is newer than its
// file, so an open of that file (a restart of the network side) takes it from here instead of
// waiting for the disk. Handed over in the GUI thread, cleared in the writer's once stored.
class WaitingMaps {
public:
    static WaitingMaps& instance()
    {
        static WaitingMaps maps;
        return maps;
    }

    // The number by which the store of this map says it is done.
    quint64 put(const QString& file, const QVariantMap& map)
    {
        QMutexLocker lock(&m_mutex);
        m_maps.insert(file, {++m_last, map});
        return m_last;
    }
    // A newer map handed over meanwhile still waits.
    void stored(const QString& file, quint64 number)
    {
        QMutexLocker lock(&m_mutex);
        const auto it = m_maps.constFind(file);
        if (it != m_maps.cend() && it->number == number)
            m_maps.erase(it);
    }
    bool waiting(const QString& file, QVariantMap* map) const
    {
        QMutexLocker lock(&m_mutex);
        const auto it = m_maps.constFind(file);
        if (it == m_maps.cend())
            return false;
        *map = it->map;
        return true;
    }

private:
    struct Waiting {
        quint64 number = 0;
        QVariantMap map;
    };
    mutable QMutex m_mutex;
    quint64 m_last = 0;                 // under m_mutex
    QHash<QString, Waiting> m_maps;     // under m_mutex
};

QString fileKey(const QString& path)
{
    return QFileInfo(path).absoluteFilePath();
}

QString laneOf(const QString& path)
{
    return QStringLiteral("subscriptions ") + path;
}

bool isTopicName(const QString& topic)
{
    return topic.contains(QLatin1String("detected_info")) || topic.contains(QLatin1String("detected_picture"));
}

// A whole number 1..65535 sent as a JSON number; text or fractions would be dialled as
// something else than what the subscriber meant.
bool portOf(const QJsonValue& value, int* port)
{
    if (!value.isDouble())
        return false;
    const double number = value.toDouble();
    if (number != std::floor(number) || number < 1 || number > 65535)
        return false;
    *port = static_cast<int>(number);
    return true;
}

// The address dialled must be the one the subscriber wrote. Qt also reads short, hexadecimal
// and octal IPv4 forms and drops blanks: "192.168.001.010" would be dialled as 192.168.1.8.
// So an IPv4 text counts only in its plain dotted-decimal form; an IPv6 text (parsed exactly)
// only without blanks or a ";", which would split the key.
bool isLiteralAddress(const QString& text)
{
    QHostAddress address;
    if (text.isEmpty() || !address.setAddress(text))
        return false;
    if (address.protocol() == QAbstractSocket::IPv4Protocol)
        return address.toString() == text;
    for (const QChar c : text) {
        if (c.isSpace() || c == QLatin1Char(';'))
            return false;
    }
    return true;
}

// A registration time as subscribing stores it: a whole number of ms. Text is no time, even
// when it reads as a number: no registration wrote it.
bool registrationTime(const QVariant& value, qint64* ms)
{
    switch (value.userType()) {
    case QMetaType::Int:
    case QMetaType::UInt:
    case QMetaType::LongLong:
    case QMetaType::ULongLong: {
        bool ok = false;
        *ms = value.toLongLong(&ok);
        return ok;
    }
    default:
        return false;
    }
}

// Why a key and time read from the file could not have come from a registration now; empty
// when they could.
QString unusableEntry(const QString& key, const QVariant& value, qint64 now)
{
    const QStringList parts = key.split(QLatin1Char(';'));
    if (parts.size() != 3)
        return QStringLiteral("not address;port;topic");
    if (!isLiteralAddress(parts.at(0)))
        return QStringLiteral("the address is not a literal one");
    bool isNumber = false;
    const int port = parts.at(1).toInt(&isNumber);
    if (!isNumber || port < 1 || port > 65535 || QString::number(port) != parts.at(1))
        return QStringLiteral("the port is not one of 1-65535");
    if (parts.at(2).size() > SubscriberStore::kMaxTopicLength || !isTopicName(parts.at(2)))
        return QStringLiteral("the topic names no topic");
    qint64 registered = 0;
    if (!registrationTime(value, &registered))
        return QStringLiteral("the registration time is no number");
    if (registered > now)
        return QStringLiteral("the registration time is in the future");
    return QString();
}

}  // namespace

void SubscriberStore::open(const QString& path, StoreWriter* writer)
{
    m_path = path;
    m_writer = writer;
    m_unstored = false;
    m_map.clear();
    // A store of the map that still waits in the writer (a disk that is full, or slow) is newer
    // than the file. It is handed over again, for a writer that has been stopped meanwhile.
    if (writer && WaitingMaps::instance().waiting(fileKey(path), &m_map)) {
        store();
        return;
    }
    if (!QFileInfo::exists(path))
        return;
    QSettings settings(path, QSettings::IniFormat);
    const QVariant groups = settings.value(kGroupsKey);
    QString problem;
    if (settings.status() != QSettings::NoError)
        problem = QStringLiteral("not an INI file");
    else if (groups.isValid() && groups.userType() != QMetaType::QVariantMap)
        problem = QStringLiteral("its subscriber_groups is not a map");
    else if (!groups.isValid() && QFileInfo(path).size() > 0)
        problem = QStringLiteral("no subscriber_groups in it");
    if (!problem.isEmpty()) {
        // No registration is read from it. A fresh file takes its place once the copy is kept,
        // so the next start does not copy it again.
        if (!keepBrokenCopy(path, problem).isEmpty())
            store();
        return;
    }
    m_map = groups.toMap();
    dropUnusable();
}

void SubscriberStore::dropUnusable()
{
    const qint64 now = gettimeofday_ms();
    QStringList dropped;
    int live = 0;
    for (auto it = m_map.begin(); it != m_map.end();) {
        QString why = unusableEntry(it.key(), it.value(), now);
        // Expired ones go at the next read anyway, and take no room meanwhile.
        if (why.isEmpty() && now - it.value().toLongLong() <= kLifeMs && ++live > kMaxKeys)
            why = QStringLiteral("over the cap of %1 subscriptions").arg(kMaxKeys);
        if (why.isEmpty()) {
            ++it;
            continue;
        }
        dropped << it.key() + QStringLiteral(" (") + why + QLatin1Char(')');
        it = m_map.erase(it);
    }
    if (dropped.isEmpty())
        return;
    // The file as it was is kept once; written again without them, the next start finds none.
    const bool kept = !keepBrokenCopy(m_path, QStringLiteral("%1 subscriptions cannot be used").arg(dropped.size())).isEmpty();
    for (const QString& entry : qAsConst(dropped))
        qWarning().noquote() << m_path + QStringLiteral(": the subscription") << entry << "is dropped";
    if (kept)
        store();
}

bool SubscriberStore::accept(const QJsonObject& element, QString* key) const
{
    if (!element.contains(QStringLiteral("subscriber_ip")) || !element.contains(QStringLiteral("subscriber_port")))
        return false;
    const QString address = element.value(QStringLiteral("subscriber_ip")).toString();
    const QString topic = element.value(QStringLiteral("subscriber_topic")).toString();
    int port = 0;
    if (!portOf(element.value(QStringLiteral("subscriber_port")), &port) || !isLiteralAddress(address)
        || topic.size() > kMaxTopicLength || !isTopicName(topic))
        return false;
    *key = address + QLatin1Char(';') + QString::number(port) + QLatin1Char(';') + topic;
    return true;
}

SubscriberStore::Registration SubscriberStore::subscribe(const QJsonArray& elements, const QString& requester)
{
    expire();
    for (auto it = m_requesters.begin(); it != m_requesters.end();) {
        if (m_map.contains(it.key()))
            ++it;
        else
            it = m_requesters.erase(it);
    }
    int held = 0;
    for (const QString& address : qAsConst(m_requesters))
        held += address == requester ? 1 : 0;

    bool overAddressLimit = false;
    bool overTotalLimit = false;
    for (const QJsonValue& value : elements) {
        QString key;
        if (!accept(value.toObject(), &key))
            continue;
        // A live key that a client registered is refreshed by whoever sends it again: that
        // holds no more than before. Anything else is a key the requester takes on.
        if (!m_map.contains(key) || !m_requesters.contains(key)) {
            if (held >= kMaxKeysPerAddress) {
                overAddressLimit = true;
                continue;
            }
            if (!m_map.contains(key) && m_map.size() >= kMaxKeys) {
                overTotalLimit = true;
                continue;
            }
            m_requesters.insert(key, requester);
            ++held;
        }
        m_map.insert(key, gettimeofday_ms());
    }
    store();

    QStringList refusals;
    if (overAddressLimit)
        refusals << QStringLiteral("每个地址最多订阅%1项").arg(kMaxKeysPerAddress);
    if (overTotalLimit)
        refusals << QStringLiteral("订阅总数已达上限%1项").arg(kMaxKeys);
    return {m_map.keys(), refusals.join(QStringLiteral("；"))};
}

QList<Skt_Session> SubscriberStore::subscribersOf(const QString& topic)
{
    // Asked at every publish: the file is written only when a key has gone (or when the last
    // store did not reach the disk).
    if (expire() || m_unstored)
        store();
    QList<Skt_Session> targets;
    for (auto it = m_map.cbegin(); it != m_map.cend(); ++it) {
        const QStringList parts = it.key().split(QLatin1Char(';'));
        if (parts.size() != 3 || parts.at(2) != topic || !isLiteralAddress(parts.at(0)))
            continue;
        const int port = parts.at(1).toInt();
        // Keys from an older file may hold ports that were never dialable.
        if (port < 1 || port > 65535)
            continue;
        targets.append({parts.at(0), port});
    }
    return targets;
}

bool SubscriberStore::expire()
{
    const qint64 now = gettimeofday_ms();
    bool changed = false;
    for (auto it = m_map.begin(); it != m_map.end();) {
        const qint64 registered = it.value().toLongLong();
        if (registered > now) {
            it.value() = now;
            changed = true;
        }
        if (now - qMin(registered, now) > kLifeMs) {
            it = m_map.erase(it);
            changed = true;
        } else {
            ++it;
        }
    }
    return changed;
}

void SubscriberStore::store()
{
    if (m_path.isEmpty())
        return;
    const QString path = m_path;
    const QVariantMap values{{kGroupsKey, m_map}};
    const std::shared_ptr<WriteStateLog> log = m_storeLog;
    const QString file = fileKey(path);
    const quint64 number = m_writer ? WaitingMaps::instance().put(file, m_map) : 0;
    const auto write = [path, values, log, file, number] {
        QString reason;
        const bool stored = writeSettingsAtomically(path, values, &reason);
        log->update(stored, reason);
        if (stored && number != 0)
            WaitingMaps::instance().stored(file, number);
        return stored;
    };
    m_unstored = false;
    if (m_writer)
        m_writer->replace(laneOf(path), write);
    else
        m_unstored = !write();
}
