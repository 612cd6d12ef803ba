#pragma once

#include <QHostAddress>
#include <QString>
#include <QtGlobal>

// Lines about refused network input come as fast as a client can send: one line each would
// let any client fill the log folder. A line for one peer and one kind of refusal is written
// once a second at most; the ones left out meanwhile are counted, and the count follows in a
// line of its own once that second is over: before the next such line, or from the event loop
// of the application's thread when no further one comes.
//
//     if (RefusalLog::admit(peer, QStringLiteral("invalid json")))
//         qWarning() << ...;   // the line keeps its own text and place
//
// Any thread.
namespace RefusalLog {

constexpr qint64 kIntervalMs = 1000;
// Peers and kinds followed at once; beyond them, new peers share one count per kind.
constexpr int kMaxTracked = 256;

// True when the line for this peer and kind is to be written now.
bool admit(const QString& peer, const QString& kind);
bool admit(const QHostAddress& peer, const QString& kind);

// Writes the count of every second that is over; the application's event loop calls it by
// itself about a second after a line was left out.
void flush();

}  // namespace RefusalLog
