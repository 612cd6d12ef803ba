#pragma once

#include <QDateTime>
#include <QJsonObject>
#include <QMap>
#include <QString>

// What the HTTP API answers, apart from the transport: each function reads the request body
// and the program's state and returns the reply object (or does the change it asks for).
// Everything here runs in the GUI thread, which owns the counters, the main window and its
// record database. Request bodies come from the plant network: every value is checked before
// it reaches a file, a command or a counter.
namespace HttpApiReplies {

// Longest span the count and record queries answer; a longer one is refused before any file
// is read (every day costs a file lookup and hour slots, on the GUI thread).
constexpr qint64 kMaxSpanDays = 400;

// A request time, "yyyy-MM-dd hh:mm:ss"; invalid when the text is not one.
QDateTime requestTime(const QString& text);
// Both times readable and at most kMaxSpanDays apart (a start after the end is answerable).
bool isAnswerableSpan(const QDateTime& from, const QDateTime& to);

QJsonObject productInfos(const QString& deviceName);

// {"errorstring": "错误的时间格式"} for a missing, non-text, unreadable or overlong span.
QJsonObject productionCount(const QJsonObject& request, const QString& deviceName);

// The finished period's summary with its pictures (key "camera;step;1 OK or 0 NG" -> path).
QJsonObject lastDetectInfo(const QJsonObject& summary, const QMap<QString, QString>& pictures);

// The file a picture request names, or an empty text with *error set to the reply object.
QString detectedPicturePath(const QJsonObject& request, QJsonObject* error);

// Zeroes every production counter, stores them and writes the operation record.
void clearCurrentCount();

// Sets the system clock (and the hardware clock) to the request's "datetime".
QJsonObject setLocalClock(const QJsonObject& request);

}  // namespace HttpApiReplies
