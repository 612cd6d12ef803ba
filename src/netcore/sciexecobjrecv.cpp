#include "netcore/sciexecobjrecv.h"

#include "base/appclock.h"
#include "base/networkjson.h"
#include "base/refusallog.h"

#include <QRegularExpression>
#include <QtDebug>

namespace {

bool isPlainLength(const QString& text)
{
    if (text.isEmpty() || text.size() > 10)
        return false;
    for (const QChar c : text) {
        if (c < QLatin1Char('0') || c > QLatin1Char('9'))
            return false;
    }
    return true;
}

}  // namespace

QString SCI_ExecObj_Recv::withoutBlanks(const QString& text)
{
    QString result;
    result.reserve(text.size());
    for (const QChar c : text) {
        if (!c.isSpace())
            result.append(c);
    }
    return result;
}

QByteArray SCI_ExecObj_Recv::skipStrayLines(QByteArray head)
{
    while (!head.isEmpty()) {
        const int eol = head.indexOf("\r\n");
        if (eol < 0)
            return QByteArray();
        if (head.left(eol).contains("HTTP/1.1"))
            break;
        head.remove(0, eol + 2);
    }
    return head;
}

SCI_ExecObj_Recv::SCI_ExecObj_Recv(const QByteArray& head, int sessionId, const NetworkJson::Bounds& json)
    : SCI_ExecObj_Recv_Base(QString(), sessionId), json_bounds(json)
{
    const int nul = head.indexOf('\0');
    header = QString::fromUtf8(nul < 0 ? head : head.left(nul));
    const QStringList lines = header.split(QStringLiteral("\r\n"), Qt::SkipEmptyParts);
    bool seen_length = false;

    // Only the first line is a request or status line; header names are matched on their own,
    // ignoring case, so a header value cannot pass for another header.
    if (!lines.isEmpty()) {
        const QString& first = lines.first();
        const QStringList words = first.split(QLatin1Char(' '), Qt::SkipEmptyParts);
        if (first.startsWith(QLatin1String("HTTP/1.1"))) {
            task_method = QStringLiteral("Response");
        } else if (first.contains(QLatin1String("HTTP/1.1")) && words.size() >= 3) {
            task_method = words.at(0);
            target = words.at(1);
        }
    }
    for (int i = 1; i < lines.size(); ++i) {
        const QString& line = lines.at(i);
        const int colon = line.indexOf(QLatin1Char(':'));
        if (colon <= 0)
            continue;
        const QString name = line.left(colon).trimmed();
        const QString value = withoutBlanks(line.mid(colon + 1));
        if (name.compare(QLatin1String("User-Agent"), Qt::CaseInsensitive) == 0) {
            task_uuid = value;
        } else if (name.compare(QLatin1String("Content-Type"), Qt::CaseInsensitive) == 0) {
            content_type = value;
        } else if (name.compare(QLatin1String("Content-Length"), Qt::CaseInsensitive) == 0) {
            const QString raw = line.mid(colon + 1).trimmed();
            bool ok = false;
            const qint64 length = value.toLongLong(&ok);
            if (!isPlainLength(raw))
                length_fault = QStringLiteral("invalid Content-Length");
            else if (seen_length && length != content_length && length_fault.isEmpty())
                length_fault = QStringLiteral("conflicting Content-Length");
            seen_length = true;
            content_length = ok ? length : 0;
        } else if (name.compare(QLatin1String("User-ID"), Qt::CaseInsensitive) == 0) {
            user_id = value;
        }
    }
    if (task_uuid.isEmpty()) {
        task_uuid = QStringLiteral("defalut#%1#%2")
                        .arg(AppClock::now().toString(QStringLiteral("yyyyMMdd_hhmmss_zzz")))
                        .arg(sessionId);
    }
    record.uuid = task_uuid;
    record.url = target;
    record.user_id = user_id;
    record.session_id = sessionId;
}

bool SCI_ExecObj_Recv::isJson() const
{
    return content_type.contains(QLatin1String("application/json"));
}

bool SCI_ExecObj_Recv::isMultipart() const
{
    return !isJson() && content_type.contains(QLatin1String("multipart/form-data"));
}

bool SCI_ExecObj_Recv::bodyTooLarge() const
{
    if (isJson())
        return content_length > json_bounds.maxBytes;
    if (isMultipart())
        return content_length > kMaxMultipartBytes;
    return false;
}

int SCI_ExecObj_Recv::getNeedLength() const
{
    const qint64 due = content_length - body.size();
    return due <= 0 ? 0 : int(qMin<qint64>(due, INT_MAX));
}

void SCI_ExecObj_Recv::setDuplex_Info(const QHostAddress& address, unsigned short port)
{
    record.peer_ip = address.toString().remove(QStringLiteral("::ffff:"));
    record.peer_port = port;
}

bool SCI_ExecObj_Recv::analysisIntegrality()
{
    decode_fault = QStringLiteral("incomplete message");
    if (getNeedLength() > 0)
        return false;
    decode_fault = QStringLiteral("missing url");
    if ((task_method == QLatin1String("GET") || task_method == QLatin1String("PUT") ||
         task_method == QLatin1String("POST")) &&
        target.isEmpty())
        return false;
    decode_fault.clear();

    QStringList pieces = target.split(QLatin1Char('?'), Qt::SkipEmptyParts);
    if (pieces.size() >= 2) {
        record.url = pieces.takeFirst();
        const QStringList pairs = pieces.join(QLatin1Char('?')).split(QLatin1Char('&'));
        for (const QString& pair : pairs) {
            const QStringList nameValue = pair.split(QLatin1Char('='), Qt::SkipEmptyParts);
            if (nameValue.size() == 2)
                record.query.insert(nameValue.at(0), nameValue.at(1));
        }
    }
    if (body.isEmpty())
        return true;

    if (isJson())
        return analysisIntegrality_json(body, record, &decode_fault, json_bounds);
    if (isMultipart()) {
        const int equals = content_type.indexOf(QLatin1Char('='));
        const QByteArray boundary = equals < 0 ? QByteArray() : content_type.mid(equals + 1).toUtf8();
        if (!boundary.isEmpty() && body.count(boundary) > kMaxParts + 1) {
            decode_fault = QStringLiteral("too many parts");
            return false;
        }
        return analysisIntegrality_multipart(body, boundary, record, &decode_fault, json_bounds);
    }
    if (content_type == QLatin1String("application/octet-stream") || content_type == QLatin1String("image/jpeg"))
        return analysisIntegrality_file(body, record);
    return analysisIntegrality_Default(body, record);
}

bool SCI_ExecObj_Recv::analysisIntegrality_json(const QByteArray& bytes, CTask_FormData& task, QString* fault,
                                                const NetworkJson::Bounds& bounds)
{
    const NetworkJson::Decoded decoded = NetworkJson::decode(bytes, bounds);
    if (!decoded.ok()) {
        if (RefusalLog::admit(task.peer_ip, decoded.repeatedName ? QStringLiteral("duplicate key") : QStringLiteral("invalid json")))
            qWarning().noquote() << "analysisIntegrality_json" << "json error:" << task.url << decoded.fault;
        if (fault)
            *fault = decoded.repeatedName || decoded.outOfBounds() ? decoded.fault : QStringLiteral("invalid json");
        return false;
    }
    task.json = decoded.document.object();
    return true;
}

bool SCI_ExecObj_Recv::analysisIntegrality_multipart(const QByteArray& bytes, const QByteArray& boundary,
                                                     CTask_FormData& task, QString* fault,
                                                     const NetworkJson::Bounds& bounds)
{
    if (boundary.isEmpty()) {
        if (fault)
            *fault = QStringLiteral("invalid multipart boundary");
        return false;
    }
    // "name" on its own, not the tail of "filename".
    static const QRegularExpression namePattern(QStringLiteral("(?:^|[;\\s])name=\"(\\S+?)\""));
    QMap<QString, QVariant> working;
    QMap<QString, QByteArray> blobs;
    // What the JSON parts read so far have left of the bounds: together they cost no more than
    // one JSON body.
    NetworkJson::Bounds left = bounds;

    // Pieces and contents are views into the body, which outlives them: a part is copied only
    // where it is kept.
    const auto view = [&bytes](int from, int size) { return QByteArray::fromRawData(bytes.constData() + from, size); };
    int position = 0;
    while (position < bytes.size()) {
        const int next = bytes.indexOf(boundary, position);
        if (next < 0)
            break;
        const QByteArray piece = view(position, next - position);
        const int pieceStart = position;
        position = next + boundary.size() + 2;

        const int split = piece.indexOf("\r\n\r\n");
        if (piece.isEmpty() || split < 0)
            continue;
        const QByteArray partHead = piece.left(split);
        const int contentLength = piece.size() - split - 4 - 2;
        if (contentLength < 0)
            continue;   // shorter than its own framing
        if (contentLength > kMaxPartBytes) {
            if (RefusalLog::admit(task.peer_ip, QStringLiteral("part too large")))
                qWarning().noquote() << "analysisIntegrality_multipart" << "part too large:" << task.url << contentLength;
            if (fault)
                *fault = QStringLiteral("part too large");
            return false;
        }
        const QByteArray content = view(pieceStart + split + 4, contentLength);

        QString name;
        QString type;
        const QList<QByteArray> headLines = partHead.split('\n');
        for (QByteArray line : headLines) {
            if (line.endsWith('\r'))
                line.chop(1);
            const QString text = QString::fromUtf8(line);
            if (text.contains(QLatin1String("Content-Disposition"))) {
                const QRegularExpressionMatch match = namePattern.match(text);
                if (match.hasMatch())
                    name = match.captured(1);
            } else if (text.contains(QLatin1String("Content-Type"))) {
                const QStringList nameValue = text.split(QLatin1Char(':'), Qt::SkipEmptyParts);
                if (nameValue.size() == 2)
                    type = nameValue.at(1);
            }
        }
        if (name.isEmpty())
            continue;
        if (type.contains(QLatin1String("application/json"))) {
            const NetworkJson::Decoded decoded = NetworkJson::decode(content, left);
            left.maxBytes -= content.size();
            left.maxValues -= decoded.values;
            if (decoded.repeatedName || decoded.outOfBounds()) {
                // Refused like a JSON body, not dropped like a part that is no JSON: the
                // sender is told what is wrong.
                if (RefusalLog::admit(task.peer_ip, QStringLiteral("duplicate key")))
                    qWarning().noquote() << "analysisIntegrality_multipart" << "json error:" << task.url << name
                                         << decoded.fault;
                if (fault)
                    *fault = decoded.fault;
                return false;
            }
            if (decoded.ok())
                working.insert(name, decoded.document.object());
        } else if (type.contains(QLatin1String("application/octet-stream"))) {
            blobs.insert(name, content);
        } else {
            working.insert(name, QString::fromUtf8(content));
        }
    }

    for (auto it = working.cbegin(); it != working.cend(); ++it) {
        if (it.value().userType() != QMetaType::QJsonObject) {
            task.parts.insert(it.key(), it.value());
            continue;
        }
        const QJsonObject object = it.value().toJsonObject();
        if (!object.contains(QLatin1String("data_type")) || !it.key().contains(QLatin1String("-info"))) {
            task.parts.insert(it.key(), object);
            continue;
        }
        const int channels = object.value(QLatin1String("channels")).toInt();
        const int width = object.value(QLatin1String("size_width")).toInt();
        const int height = object.value(QLatin1String("size_height")).toInt();
        const QString key = object.value(QLatin1String("datakey")).toString();
        const auto blob = blobs.constFind(key);
        if (blob == blobs.cend() || (channels != 1 && channels != 3) || width <= 0 || height <= 0)
            continue;
        if (qint64(width) * height * channels != blob->size())
            continue;
        cv::Mat image(height, width, channels == 1 ? CV_8UC1 : CV_8UC3);
        memcpy(image.data, blob->constData(), size_t(blob->size()));
        task.images.insert(it.key(), image);
    }
    return true;
}

bool SCI_ExecObj_Recv::analysisIntegrality_file(const QByteArray& bytes, CTask_FormData& task)
{
    task.files.clear();
    task.files.insert(QString(), bytes);
    return true;
}

bool SCI_ExecObj_Recv::analysisIntegrality_Default(const QByteArray& bytes, CTask_FormData& task)
{
    task.body = bytes;
    return true;
}
