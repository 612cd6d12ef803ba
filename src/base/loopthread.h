#pragma once

#include <QMutex>
#include <QString>
#include <QWaitCondition>

#include <atomic>
#include <functional>
#include <memory>

class QThread;

// An endless background loop on a thread of its own: runs one pass every intervalMs until it
// is stopped. stop() wakes the pause at once and joins the thread.
class LoopThread {
public:
    LoopThread(const QString& name, int intervalMs, std::function<void()> pass);
    ~LoopThread();

    LoopThread(const LoopThread&) = delete;
    LoopThread& operator=(const LoopThread&) = delete;

    // Starts the loop; does nothing while it runs.
    void start();
    // Asks the loop to end and waits for it.
    void stop();
    bool isRunning() const;
    // True from stop() until the next start() (also before the first start()).
    bool stopRequested() const { return m_stop.load(); }

private:
    void loop();

    const QString m_name;
    const int m_intervalMs;
    const std::function<void()> m_pass;
    std::atomic<bool> m_stop{true};
    mutable QMutex m_controlMutex;   // serialises start and stop
    std::unique_ptr<QThread> m_thread;
    QMutex m_pauseMutex;
    QWaitCondition m_wake;
};
