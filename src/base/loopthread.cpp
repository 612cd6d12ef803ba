#include "base/loopthread.h"

#include <QThread>
#include <QtDebug>

LoopThread::LoopThread(const QString& name, int intervalMs, std::function<void()> pass)
    : m_name(name), m_intervalMs(intervalMs), m_pass(std::move(pass))
{
}

LoopThread::~LoopThread()
{
    stop();
}

void LoopThread::start()
{
    QMutexLocker control(&m_controlMutex);
    if (m_thread)
        return;
    m_stop = false;
    m_thread.reset(QThread::create([this] { loop(); }));
    m_thread->setObjectName(m_name);
    m_thread->start();
}

void LoopThread::stop()
{
    QMutexLocker control(&m_controlMutex);
    {
        QMutexLocker pause(&m_pauseMutex);
        m_stop = true;
        m_wake.wakeAll();
    }
    if (!m_thread)
        return;
    m_thread->wait();
    m_thread.reset();
}

bool LoopThread::isRunning() const
{
    QMutexLocker control(&m_controlMutex);
    return m_thread != nullptr;
}

void LoopThread::loop()
{
    for (;;) {
        {
            QMutexLocker pause(&m_pauseMutex);
            if (!m_stop.load())
                m_wake.wait(&m_pauseMutex, static_cast<unsigned long>(m_intervalMs));
        }
        if (m_stop.load())
            break;
        m_pass();
    }
    qInfo().noquote() << m_name << "loop stopped";
}
