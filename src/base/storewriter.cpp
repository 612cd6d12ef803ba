#include "base/storewriter.h"

#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QThread>
#include <QtDebug>

namespace {

// A failing store is tried again sooner while the stop waits for it.
constexpr int kStopRetryMs = 100;

qint64 monotonicMs()
{
    static QElapsedTimer clock = [] {
        QElapsedTimer started;
        started.start();
        return started;
    }();
    return clock.elapsed();
}

}  // namespace

StoreWriter::StoreWriter(const QString& name, QObject* parent) : QObject(parent), m_name(name)
{
    monotonicMs();
    m_thread.reset(QThread::create([this] { loop(); }));
    m_thread->setObjectName(m_name);
    m_thread->start();
}

StoreWriter::~StoreWriter()
{
    stop();
}

void StoreWriter::replace(const QString& laneName, Store store)
{
    QMutexLocker lock(&m_mutex);
    if (m_stopped || m_stopping) {
        qWarning().noquote() << m_name << "has stopped; a store for" << laneName << "is dropped";
        return;
    }
    m_lanes[laneName].waiting = std::move(store);
    m_wake.wakeAll();
}

int StoreWriter::waitingLocked(const QString& lane) const
{
    int waiting = 0;
    for (const auto& entry : m_lanes) {
        if (lane.isEmpty() || entry.first == lane)
            waiting += (entry.second.hasWaiting() ? 1 : 0) + (entry.second.running ? 1 : 0);
    }
    return waiting;
}

int StoreWriter::waitingStores() const
{
    QMutexLocker lock(&m_mutex);
    return waitingLocked();
}

bool StoreWriter::waitUntilStored(int timeoutMs, const QString& lane)
{
    QDeadlineTimer deadline(timeoutMs);
    QMutexLocker lock(&m_mutex);
    while (waitingLocked(lane) > 0) {
        if (m_stopped || deadline.hasExpired())
            return false;
        m_idle.wait(&m_mutex, deadline);
    }
    return true;
}

void StoreWriter::setBeforeStoreHook(std::function<void()> hook)
{
    QMutexLocker lock(&m_mutex);
    m_beforeStore = std::move(hook);
}

void StoreWriter::setAtEnd(std::function<void()> atEnd)
{
    QMutexLocker lock(&m_mutex);
    m_atEnd = std::move(atEnd);
}

void StoreWriter::stop(int timeoutMs)
{
    {
        QMutexLocker lock(&m_mutex);
        if (m_stopped || m_stopping)
            return;
        m_stopping = true;
        m_stopDeadlineMs = monotonicMs() + timeoutMs;
        // Stores that failed are tried again at once, and then more often.
        for (auto& entry : m_lanes)
            entry.second.retryAtMs = 0;
        m_wake.wakeAll();
    }
    m_thread->wait();
    QMutexLocker lock(&m_mutex);
    m_stopped = true;
    const int lost = waitingLocked();
    m_lanes.clear();
    m_idle.wakeAll();
    qInfo().noquote() << m_name << "stored" << m_storedAtStop << "waiting stores at the stop";
    if (lost > 0)
        qCritical().noquote() << m_name << ":" << lost << "stores could not be stored before the stop and are lost";
}

bool StoreWriter::stopRequested() const
{
    QMutexLocker lock(&m_mutex);
    return m_stopping || m_stopped;
}

qint64 StoreWriter::nextRetryMs() const
{
    qint64 next = -1;
    for (const auto& entry : m_lanes) {
        const Lane& lane = entry.second;
        if (lane.hasWaiting() && !lane.running && (next < 0 || lane.retryAtMs < next))
            next = lane.retryAtMs;
    }
    return next;
}

StoreWriter::Lane* StoreWriter::readyLane(qint64 nowMs, QString* name)
{
    // Round-robin from the lane after the last one served, so that a lane of many records
    // never keeps the counters waiting.
    auto start = m_lanes.upper_bound(m_lastLane);
    for (int pass = 0; pass < 2; ++pass) {
        auto begin = pass == 0 ? start : m_lanes.begin();
        auto end = pass == 0 ? m_lanes.end() : start;
        for (auto it = begin; it != end; ++it) {
            Lane& lane = it->second;
            if (lane.hasWaiting() && !lane.running && lane.retryAtMs <= nowMs) {
                *name = it->first;
                return &lane;
            }
        }
    }
    return nullptr;
}

void StoreWriter::loop()
{
    QMutexLocker lock(&m_mutex);
    for (;;) {
        const qint64 now = monotonicMs();
        if (m_stopping && (waitingLocked() == 0 || now >= m_stopDeadlineMs)) {
            const std::function<void()> atEnd = m_atEnd;
            lock.unlock();
            if (atEnd)
                atEnd();
            return;
        }
        QString name;
        Lane* lane = readyLane(now, &name);
        if (!lane) {
            qint64 wake = nextRetryMs();
            if (m_stopping)
                wake = wake < 0 ? m_stopDeadlineMs : qMin(wake, m_stopDeadlineMs);
            if (wake < 0)
                m_wake.wait(&m_mutex);
            else
                m_wake.wait(&m_mutex, QDeadlineTimer(qMax<qint64>(1, wake - now)));
            continue;
        }

        Store store = std::move(lane->waiting);
        lane->waiting = nullptr;
        lane->running = true;
        m_lastLane = name;
        const std::function<void()> before = m_beforeStore;
        lock.unlock();
        if (before)
            before();
        const bool stored = store();
        lock.relock();

        lane->running = false;
        if (stored) {
            lane->retryAtMs = 0;
            if (m_stopping)
                ++m_storedAtStop;
        } else {
            // A newer whole store that came meanwhile takes the failed one's place.
            if (!lane->hasWaiting())
                lane->waiting = std::move(store);
            lane->retryAtMs = monotonicMs() + (m_stopping ? kStopRetryMs : kRetryMs);
        }
        m_idle.wakeAll();
    }
}
