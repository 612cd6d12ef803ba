#pragma once

#include <QMutex>
#include <QObject>
#include <QString>
#include <QWaitCondition>

#include <functional>
#include <map>
#include <memory>

class QThread;

// The program's own stores (the counters, the operation records, the subscriptions) run here,
// on a thread of their own: the detection cycle runs on the GUI thread, and a flash disk's sync
// can take hundreds of milliseconds, so the cycle hands a store over and goes on.
//
// Stores wait in lanes, one per file or database, and a lane holds only its newest store: each
// store writes the whole of what waits for its file (the counters file whole, or every operation
// record that waits in one transaction), so the lane never grows with the rate of its producer
// and one sync covers whatever came meanwhile. A store returns false when the disk did not take
// it (full, busy, an I/O error): it stays in its lane, unless a newer one came, and is tried
// again kRetryMs later while the other lanes go on. Nothing handed over is dropped while the
// writer runs.
//
// stop() stores what waits, for a bounded time, and logs how many stores that were. A store that
// is under way is always finished: a thread cannot be stopped inside a write.
//
// Any thread may hand stores over; it only ever waits for the short queue lock, never for a
// store. The stores run on the writer's thread, one at a time.
class StoreWriter : public QObject {
    Q_OBJECT
public:
    using Store = std::function<bool()>;

    static constexpr int kRetryMs = 1000;
    static constexpr int kStopMs = 3000;

    explicit StoreWriter(const QString& name = QStringLiteral("StoreWriter"), QObject* parent = nullptr);
    // Stops with kStopMs, when stop() has not been called.
    ~StoreWriter() override;

    // In place of the store of the lane that waits (not one that is under way, which finishes
    // first).
    void replace(const QString& lane, Store store);

    // Waits until no store of the lane (of any lane when none is named) waits or runs; false
    // when the time ran out first (a store keeps failing, or the stores keep coming). For
    // tests and for reading back a file about to be replaced, never for the cycle.
    bool waitUntilStored(int timeoutMs, const QString& lane = QString());
    int waitingStores() const;

    // Stores what waits for at most timeoutMs (failing stores are tried again meanwhile), then
    // ends the thread and logs what was stored and what is lost. Stores handed over afterwards
    // are dropped with a warning. Safe to call more than once.
    void stop(int timeoutMs = kStopMs);
    // True from the start of stop() on.
    bool stopRequested() const;

    // Runs on the writer's thread as it ends, after its last store: what the stores keep open
    // between them (a database connection, which belongs to its thread) is closed there. Set
    // before the first store.
    void setAtEnd(std::function<void()> atEnd);

    // For tests: runs on the writer's thread before every store (a test holds the writer there).
    void setBeforeStoreHook(std::function<void()> hook);

private:
    struct Lane {
        Store waiting;          // empty when none waits
        qint64 retryAtMs = 0;   // a failed store waits until then
        bool running = false;
        bool hasWaiting() const { return bool(waiting); }
    };

    void loop();
    // The next lane whose first store may run now, round-robin; null when there is none. Under
    // m_mutex.
    Lane* readyLane(qint64 nowMs, QString* name);
    // When the next failed store may be tried again; -1 when nothing waits for a retry.
    qint64 nextRetryMs() const;
    // Stores of the lane (of all lanes when none is named) that wait or run. Under m_mutex.
    int waitingLocked(const QString& lane = QString()) const;

    const QString m_name;
    mutable QMutex m_mutex;
    QWaitCondition m_wake;   // the writer: a store came, or the stop
    QWaitCondition m_idle;   // waitUntilStored: a store ended
    std::map<QString, Lane> m_lanes;   // under m_mutex
    QString m_lastLane;                // under m_mutex: where the round-robin goes on from
    bool m_stopping = false;           // under m_mutex
    qint64 m_stopDeadlineMs = 0;       // under m_mutex
    int m_storedAtStop = 0;            // under m_mutex
    bool m_stopped = false;            // under m_mutex
    std::function<void()> m_beforeStore;   // set before the stores it must see
    std::function<void()> m_atEnd;         // under m_mutex
    std::unique_ptr<QThread> m_thread;
};
