#include "base/refusallog.h"

#include "base/appclock.h"

#include <QCoreApplication>
#include <QHash>
#include <QList>
#include <QMutex>
#include <QTimer>
#include <QtDebug>


namespace {

// One peer's lines of one kind within a second.
struct Window {
    QString peer;
    QString kind;
    qint64 startMs = 0;   // when its written line was written
    qint64 leftOut = 0;
};

// The lines of one kind over all peers within a second.
struct KindWindow {
    QtMsgType severity = QtWarningMsg;
    qint64 startMs = 0;   // when the first line of this second came
    int written = 0;
    qint64 leftOut = 0;
};

struct CountLine {
    QtMsgType severity;
    QString text;
};
using CountLines = QList<CountLine>;

struct State {
    QMutex mutex;
    QHash<QString, Window> windows;   // by kind and peer
    QHash<QString, KindWindow> kinds;   // by kind; kinds are the program's own texts, so few
    int rate = RefusalLog::kKindRate;
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

QString kindCountLine(const QString& kind, qint64 leftOut, int rate)
{
    return QStringLiteral("left out %1 more lines of this kind: %2 (more than %3 a second)")
        .arg(leftOut)
        .arg(kind)
        .arg(rate);
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

// Under the mutex: when the kind's second is over, counts what it left out and starts the next.
void roll(const State& s, const QString& kind, KindWindow& window, qint64 now, CountLines* counts)
{
    if (now - window.startMs < RefusalLog::kIntervalMs)
        return;
    if (window.leftOut > 0)
        counts->append({window.severity, kindCountLine(kind, window.leftOut, s.rate)});
    window.startMs = now;
    window.written = 0;
    window.leftOut = 0;
}

// Under the mutex: true when the kind has room for a line this second; otherwise `lines` are
// counted as left out. Allocates only for a kind never seen before.
bool takePlace(State& s, const QString& kind, QtMsgType severity, qint64 lines, qint64 now, CountLines* counts)
{
    auto it = s.kinds.find(kind);
    if (it == s.kinds.end())
        it = s.kinds.insert(kind, KindWindow{severity, now, 0, 0});
    roll(s, kind, *it, now, counts);
    if (it->written < s.rate) {
        ++it->written;
        return true;
    }
    it->leftOut += lines;
    scheduleFlush(s);
    return false;
}

// Under the mutex: the count line of a peer's second takes a place among its kind's lines like
// any other, or, with none left, its count joins the kind's.
void countPeer(State& s, const Window& window, qint64 now, CountLines* counts)
{
    if (window.leftOut > 0 && takePlace(s, window.kind, QtWarningMsg, window.leftOut, now, counts))
        counts->append({QtWarningMsg, countLine(window)});
}

// Under the mutex: closes the seconds that are over; true when counts still wait.
bool closeEnded(State& s, qint64 now, CountLines* counts)
{
    for (auto it = s.windows.begin(); it != s.windows.end();) {
        if (now - it->startMs < RefusalLog::kIntervalMs) {
            ++it;
            continue;
        }
        countPeer(s, *it, now, counts);
        it = s.windows.erase(it);
    }
    bool waiting = false;
    for (const Window& window : qAsConst(s.windows))
        waiting = waiting || window.leftOut > 0;
    for (auto it = s.kinds.begin(); it != s.kinds.end(); ++it) {
        roll(s, it.key(), *it, now, counts);
        waiting = waiting || it->leftOut > 0;
    }
    return waiting;
}

void write(const CountLines& counts)
{
    for (const CountLine& line : counts) {
        switch (line.severity) {
        case QtDebugMsg:
            qDebug().noquote() << line.text;
            break;
        case QtInfoMsg:
            qInfo().noquote() << line.text;
            break;
        default:
            qWarning().noquote() << line.text;
            break;
        }
    }
}

}  // namespace

namespace RefusalLog {

bool admit(const QString& address, const QString& kind)
{
    // A dual-stack listener sees IPv4 peers as mapped IPv6 addresses; they are one peer.
    const QString peer = address.startsWith(QLatin1String("::ffff:")) ? address.mid(7) : address;
    State& s = state();
    CountLines counts;
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
            if (it != s.windows.end()) {
                countPeer(s, *it, now, &counts);
                s.windows.erase(it);
            }
            // Beyond its kind's lines of this second, the line is counted there, and the peer
            // is not held to a second of its own.
            if (takePlace(s, kind, QtWarningMsg, 1, now, &counts)) {
                const QString shownPeer = key.endsWith(QLatin1Char('\n')) ? QStringLiteral("further peers") : peer;
                s.windows.insert(key, Window{shownPeer, kind, now, 0});
                due = true;
            }
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

bool admitKind(const QString& kind, QtMsgType severity)
{
    State& s = state();
    CountLines counts;
    bool due = false;
    {
        QMutexLocker lock(&s.mutex);
        due = takePlace(s, kind, severity, 1, AppClock::steadyMs(), &counts);
    }
    write(counts);
    return due;
}

void setKindRate(int linesPerSecond)
{
    QMutexLocker lock(&state().mutex);
    state().rate = qMax(1, linesPerSecond);
}

int kindRate()
{
    QMutexLocker lock(&state().mutex);
    return state().rate;
}

void flush()
{
    State& s = state();
    CountLines counts;
    {
        QMutexLocker lock(&s.mutex);
        if (closeEnded(s, AppClock::steadyMs(), &counts))
            scheduleFlush(s);
    }
    write(counts);
}

}  // namespace RefusalLog
