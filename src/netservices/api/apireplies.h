#pragma once

#include <QDateTime>
#include <QJsonObject>
#include <QMap>
#include <QString>

#include <atomic>

// What the HTTP API answers, apart from the transport: each function reads the request body
// and the program's state and returns the reply object (or does the change it asks for).
// Everything here runs in the GUI thread, which owns the counters and the main window, except
// what reads files: parse...Request checks a request there and takes what the answer needs,
// and the answer itself (productionCount, detectedPicturePath) is made on a work thread from
// that alone. Request bodies come from the plant network: every value is checked before it
// reaches a file, a command or a counter.
namespace HttpApiReplies {

// Longest span the count and record queries answer; a longer one is refused before any file
// is read (every day costs a file lookup and hour slots, on the GUI thread).
constexpr qint64 kMaxSpanDays = 400;

// A request time, "yyyy-MM-dd hh:mm:ss"; invalid when the text is not one.
QDateTime requestTime(const QString& text);
// Both times readable and at most kMaxSpanDays apart (a start after the end is answerable).
// Otherwise false, with the reply that says why in *refusal when given: {"errorstring":
// "错误的时间格式"} for a time that does not read, one naming the cap for a span over it.
bool isAnswerableSpan(const QDateTime& from, const QDateTime& to, QJsonObject* refusal = nullptr);

QJsonObject productInfos(const QString& deviceName);

// A production-count request with what its answer needs of the program's state.
struct CountRequest {
    QString from;
    QString to;
    QString group;       // the current parameter group
    int cameraCount = 0;   // cameras of the camera manager
    int stepCount = 0;     // detection steps in use
    QString deviceName;
};
// False for a missing, non-text, unreadable or overlong span, with the reply in *refusal when
// given (as isAnswerableSpan). GUI thread.
bool parseCountRequest(const QJsonObject& body, CountRequest* request, QJsonObject* refusal = nullptr);
// About the bytes productionCount will answer, from the span and the shape alone (every hour
// slot in every array, four bytes a value): days with more cameras or steps than the shape,
// or counts of four digits and more, make the reply larger. Any thread.
qint64 productionCountBytes(const CountRequest& request);
// The counts per hour with the device's names, as the reply's JSON text. Any thread; gives up
// once `stopping` is set.
QByteArray productionCount(const CountRequest& request, const std::atomic<bool>* stopping = nullptr);

// The finished period's summary with its pictures (key "camera;step;1 OK or 0 NG" -> path).
QJsonObject lastDetectInfo(const QJsonObject& summary, const QMap<QString, QString>& pictures);

struct PictureRequest {
    int camera = -1;
    int step = -1;
    bool ok = false;
    QString name;
};
// False for an index out of range or a name that would leave its folder. GUI thread.
bool parsePictureRequest(const QJsonObject& body, PictureRequest* request);
// {"errorstring": "参数错误"}
QJsonObject pictureRefusal();
// The file a checked picture request names, or an empty text with *error set to the reply
// object; a file that is no whole JPEG (empty, cut short) is answered as missing. Any thread.
QString detectedPicturePath(const PictureRequest& request, QJsonObject* error);

// Zeroes every production counter, stores them and writes the operation record.
void clearCurrentCount();

// Sets the system clock (and the hardware clock) to the request's "datetime".
QJsonObject setLocalClock(const QJsonObject& request);

}  // namespace HttpApiReplies
