#pragma once

#include <QHostAddress>
#include <QString>
#include <QtGlobal>

// Lines that a client can cause come as fast as it can send: a line about every refused input,
// and the lines every request, connection or push writes. Written each time, they would fill
// the log folder's bound within a minute and push every earlier warning out of it. So:
// - a line for one peer and one kind of refusal is written once a second at most (admit with
//   a peer); the ones left out meanwhile are counted, and the count follows in a line of its
//   own once that second is over: before the next such line, or from the event loop of the
//   application's thread when no further one comes;
// - over all peers together, a kind has kindRate() lines a second at most (admit with a peer,
//   its count lines included, and admitKind for lines with no peer to tell apart), so neither
//   new source addresses nor a flood of valid requests multiply it; the rest are counted in one
//   line a second for the kind, of the severity of its lines (so the terminal, which shows the
//   warnings, gets no more than the files).
//
//     if (RefusalLog::admit(peer, QStringLiteral("invalid json")))
//         qWarning() << ...;   // the line keeps its own text and place
//     if (RefusalLog::admitKind(QStringLiteral("404 Not Found"), QtInfoMsg))
//         qInfo() << ...;
//
// Every check takes one short mutex; admitKind, which sits on the path of every request,
// allocates nothing for a kind seen before (pass the kind as a QStringLiteral). Any thread.
namespace RefusalLog {

constexpr qint64 kIntervalMs = 1000;
// Peers and kinds followed at once; beyond them, new peers share one count per kind.
constexpr int kMaxTracked = 256;
// Lines of one kind a second over all peers, unless setKindRate() says otherwise.
constexpr int kKindRate = 20;

// True when the line for this peer and kind is to be written now.
bool admit(const QString& peer, const QString& kind);
bool admit(const QHostAddress& peer, const QString& kind);

// True when a line of this kind is to be written now. `severity` is that of the kind's lines,
// given for its count line.
bool admitKind(const QString& kind, QtMsgType severity);

// Lines of one kind a second over all peers (1 at least); tests set a small one to count lines.
void setKindRate(int linesPerSecond);
int kindRate();

// Writes the count of every second that is over; the application's event loop calls it by
// itself about a second after a line was left out.
void flush();

}  // namespace RefusalLog
