#include "base/refusallog.h"

#include "base/appclock.h"

#include <QCoreApplication>
#include <QHash>
#include <QMutex>
#include <QStringList>
#include <QTimer>
#include <QtDebug>


namespace {

struct Window {
    QString peer;
    QString kind;
    qint64 startMs = 0;   // when its written line was written
    qint64 leftOut = 0;
};

struct State {
    QMutex mutex;
    QHash<QString, Window> windows;   // by kind and peer
    bool flushPending = false;
};

State& state()
{
    static State instance;
    return instance;
}

QString countLine(const Window& window)
{
    return QStringLiteral("left out %1 more lines of this kind: %2 from %3")
        .arg(window.leftOut)
        .arg(window.kind, window.peer);
}

// Under the mutex: closes the windows whose second is over; true when counts still wait.
bool closeEnded(State& s, qint64 now, QStringList* counts)
{
    bool waiting = false;
    for (auto it = s.windows.begin(); it != s.windows.end();) {
        if (now - it->startMs < RefusalLog::kIntervalMs) {
            waiting = waiting || it->leftOut > 0;
            ++it;
            continue;
        }
        if (it->leftOut > 0)
            counts->append(countLine(*it));
        it = s.windows.erase(it);
    }
    return waiting;
}

void write(const QStringList& counts)
{
    for (const QString& line : counts)
        qWarning().noquote() << line;
}

// Asks the application's thread to flush a second from now. Under the mutex.
void scheduleFlush(State& s)
{
    if (s.flushPending)
        return;
    QCoreApplication* app = QCoreApplication::instance();
    if (!app)
        return;
    s.flushPending = true;
    QMetaObject::invokeMethod(
        app,
        [app] {
            QTimer::singleShot(RefusalLog::kIntervalMs, app, [] {
                {
                    QMutexLocker lock(&state().mutex);
                    state().flushPending = false;
                }
                RefusalLog::flush();
            });
        },
        Qt::QueuedConnection);
}

}  // namespace

namespace RefusalLog {

bool admit(const QString& address, const QString& kind)
{
    // A dual-stack listener sees IPv4 peers as mapped IPv6 addresses; they are one peer.
    const QString peer = address.startsWith(QLatin1String("::ffff:")) ? address.mid(7) : address;
    State& s = state();
    QStringList counts;
    bool due = false;
    {
        QMutexLocker lock(&s.mutex);
        const qint64 now = AppClock::steadyMs();
        QString key = kind + QLatin1Char('\n') + peer;
        if (!s.windows.contains(key) && s.windows.size() >= kMaxTracked) {
            closeEnded(s, now, &counts);
            if (s.windows.size() >= kMaxTracked)
                key = kind + QLatin1Char('\n');   // one window for every further peer
        }
        auto it = s.windows.find(key);
        if (it != s.windows.end() && now - it->startMs < kIntervalMs) {
            ++it->leftOut;
            scheduleFlush(s);
        } else {
            if (it != s.windows.end() && it->leftOut > 0)
                counts.append(countLine(*it));
            const QString shownPeer = key.endsWith(QLatin1Char('\n')) ? QStringLiteral("further peers") : peer;
            s.windows.insert(key, Window{shownPeer, kind, now, 0});
            due = true;
        }
    }
    write(counts);
    return due;
}

bool admit(const QHostAddress& peer, const QString& kind)
{
    bool isIPv4 = false;
    const quint32 ipv4 = peer.toIPv4Address(&isIPv4);
    return admit(isIPv4 ? QHostAddress(ipv4).toString() : peer.toString(), kind);
}

void flush()
{
    State& s = state();
    QStringList counts;
    {
        QMutexLocker lock(&s.mutex);
        if (closeEnded(s, AppClock::steadyMs(), &counts))
            scheduleFlush(s);
    }
    write(counts);
}

}  // namespace RefusalLog
