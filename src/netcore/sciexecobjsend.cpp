#include "netcore/sciexecobjsend.h"

#include "base/publictools.h"
#include "base/appclock.h"

#include <QDateTime>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QHostAddress>
#include <QJsonDocument>
#include <QMutex>
#include <QTcpSocket>

const QByteArray kTaskBoundary("------------------------tcpservreactor");

QAtomicInt SCI_ExecObj_Send::_increase_index_task(0);

namespace {

const QByteArray kCrlf("\r\n");

// Header values come partly from peers: a line break in one would start a header of its own.
QByteArray headerValue(const QString& text)
{
    QByteArray value = text.toUtf8();
    value.replace('\r', ' ').replace('\n', ' ');
    return value;
}

QByteArray dispositionLine(const QString& name)
{
    return "Content-Disposition: form-data; name=\"" + headerValue(name) + "\"";
}

QString peerText(const QTcpSocket* socket)
{
    QString address = socket->peerAddress().toString();
    address.remove(QStringLiteral("::ffff:"));
    return QStringLiteral("%1:%2").arg(address).arg(socket->peerPort());
}

// Process-wide statistics of image sends; several reactors write from their own threads.
struct ImageSendStats {
    QMutex mutex;
    double storage_all = 0;
    double min_time = 0;
    double max_time = 0;
    int sendtimes = 0;
    qint64 roundtimes = 0;
};

ImageSendStats& imageStats()
{
    static ImageSendStats stats;
    return stats;
}

}  // namespace

SCI_ExecObj_Send::SCI_ExecObj_Send(const CTask_FormData& record) : task(record)
{
    if (task.uuid.isEmpty()) {
        task.uuid = QStringLiteral("doririda#%1#%2")
                        .arg(AppClock::now().toString(QStringLiteral("yyyyMMdd_hhmmss_zzz")))
                        .arg(++_increase_index_task);
    }
    send_time = gettimeofday_ms();
}

bool SCI_ExecObj_Send::socketReady() const
{
    return socket && socket->state() == QAbstractSocket::ConnectedState;
}

void SCI_ExecObj_Send::SerializeWrite(QTcpSocket* target)
{
    socket = target;
    switch (task.getTaskPkgType()) {
    case 1:
        task.content_type = QStringLiteral("application/json");
        Integrality_Json(task);
        break;
    case 2: {
        task.content_type = QStringLiteral("multipart/form-data");
        QElapsedTimer timer;
        timer.start();
        Integrality_Mat(task);
        reportImageSend(timer.nsecsElapsed() / 1e6);
        break;
    }
    case 3: {
        const QString path = task.files.firstKey();
        if (task.content_type.isEmpty())
            task.content_type = QStringLiteral("application/octet-stream");
        if (path.isEmpty() || !QFileInfo(path).isFile() || !Integrality_File(task))
            writeErrorReply(task);
        break;
    }
    default:
        if (task.hasJsonText())
            Integrality_Json(task);
        else
            Integrality_Empty(task);
        break;
    }
    socket = nullptr;
}

void SCI_ExecObj_Send::writeErrorReply(CTask_FormData& record)
{
    record.files.clear();
    record.result_code = 1;
    record.status_text = QStringLiteral("未查询到需要获取的图片文件");
    record.content_type = QStringLiteral("application/json");
    Integrality_Json(record);
}

QByteArray SCI_ExecObj_Send::buildHeader(CTask_FormData& record, qint64 contentLength, bool withContentType,
                                         const QString& contentTypeSuffix)
{
    const QString firstLine = record.getResponseFirstLine();
    if (firstLine.isEmpty())
        return QByteArray();
    QByteArray header = headerValue(firstLine) + kCrlf;
    header += "HOST: " + peerText(socket).toUtf8() + kCrlf;
    header += "User-Agent: " + headerValue(record.uuid) + kCrlf;
    if (withContentType)
        header += "Content-Type: " + headerValue(record.content_type + contentTypeSuffix) + kCrlf;
    if (!record.device_id.isEmpty())
        header += "Device-ID: " + headerValue(record.device_id) + kCrlf;
    header += "Content-Length: " + QByteArray::number(contentLength) + kCrlf;
    for (auto it = record.headers.cbegin(); it != record.headers.cend(); ++it)
        header += headerValue(it.key()) + ": " + headerValue(it.value()) + kCrlf;
    header += kCrlf;
    return header;
}

namespace {

QByteArray replyWrapper(const CTask_FormData& record)
{
    QJsonObject wrapper;
    wrapper.insert(QStringLiteral("code"), record.result_code);
    wrapper.insert(QStringLiteral("msg"), record.status_text);
    wrapper.insert(QStringLiteral("result"), record.json);
    return QJsonDocument(wrapper).toJson(QJsonDocument::Compact);
}

// The wrapper up to its "result" value, for a result given as ready JSON text: the text and a
// closing brace follow. Keys are written sorted, so "result" comes last.
QByteArray replyWrapperHead(const CTask_FormData& record)
{
    QJsonObject wrapper;
    wrapper.insert(QStringLiteral("code"), record.result_code);
    wrapper.insert(QStringLiteral("msg"), record.status_text);
    wrapper.insert(QStringLiteral("result"), QJsonValue::Null);
    QByteArray head = QJsonDocument(wrapper).toJson(QJsonDocument::Compact);
    head.chop(int(sizeof("null}")) - 1);
    return head;
}

}  // namespace

void SCI_ExecObj_Send::Integrality_Empty(CTask_FormData& record)
{
    if (!socketReady())
        return;
    // The first line sets the reply's code and text, so it is built before the body.
    const QString firstLine = record.getResponseFirstLine();
    if (firstLine.isEmpty())
        return;
    QByteArray body;
    if (record.url.isEmpty()) {
        CTask_FormData wrapped(record);
        wrapped.json = QJsonObject();
        body = replyWrapper(wrapped);
    }
    socket->write(buildHeader(record, body.size(), false) + body);
}

void SCI_ExecObj_Send::Integrality_Json(CTask_FormData& record)
{
    if (!socketReady())
        return;
    const QString firstLine = record.getResponseFirstLine();
    if (firstLine.isEmpty())
        return;
    if (record.hasJsonText()) {
        // A large ready body is written as it is, never copied into one message first.
        const QByteArray head = record.url.isEmpty() ? replyWrapperHead(record) : QByteArray();
        const QByteArray tail = record.url.isEmpty() ? QByteArray("}") : QByteArray();
        socket->write(buildHeader(record, head.size() + record.body.size() + tail.size(), true) + head);
        if (record.body.size() > kStreamedBodyBytes) {
            // Owned by the socket, deletes itself when done.
            new BufferSender(socket, {record.body, tail});
            return;
        }
        socket->write(record.body);
        socket->write(tail);
        return;
    }
    const QByteArray body =
        record.url.isEmpty() ? replyWrapper(record) : QJsonDocument(record.json).toJson(QJsonDocument::Compact);
    socket->write(buildHeader(record, body.size(), true) + body);
}

void SCI_ExecObj_Send::Integrality_Mat(CTask_FormData& record)
{
    if (!socketReady())
        return;
    // Pieces stay separate; image pixels are written straight from the image's rows.
    struct Piece {
        QByteArray bytes;
        cv::Mat image;
    };
    QList<Piece> pieces;
    qint64 length = 0;
    auto addBytes = [&](const QByteArray& bytes) {
        pieces.append({bytes, cv::Mat()});
        length += bytes.size();
    };
    auto jsonPart = [](const QString& name, const QJsonObject& object) {
        return kTaskBoundary + kCrlf + dispositionLine(name) + kCrlf + "Content-Type: application/json" + kCrlf + kCrlf +
               QJsonDocument(object).toJson(QJsonDocument::Compact) + kCrlf;
    };

    for (auto it = record.parts.cbegin(); it != record.parts.cend(); ++it) {
        if (it.value().userType() != QMetaType::QJsonObject)
            continue;
        addBytes(jsonPart(it.key(), it.value().toJsonObject()));
    }
    for (auto it = record.images.cbegin(); it != record.images.cend(); ++it) {
        const cv::Mat& image = it.value();
        if (image.depth() != CV_8U || image.dims != 2) {
            qWarning() << "image not sent, only 8-bit images travel:" << it.key();
            continue;
        }
        QJsonObject info;
        info.insert(QStringLiteral("datakey"), it.key());
        info.insert(QStringLiteral("channels"), image.channels());
        info.insert(QStringLiteral("data_type"), QStringLiteral("data_type"));
        info.insert(QStringLiteral("size_width"), image.cols);
        info.insert(QStringLiteral("size_height"), image.rows);
        addBytes(jsonPart(it.key() + QStringLiteral("-info"), info) + kTaskBoundary + kCrlf + dispositionLine(it.key()) +
                 kCrlf + "Content-Type: application/octet-stream" + kCrlf + kCrlf);
        pieces.append({QByteArray(), image});
        length += qint64(image.total()) * image.channels();
        addBytes(kCrlf);
    }
    addBytes(kTaskBoundary + kCrlf);

    const QByteArray header =
        buildHeader(record, length, true, QStringLiteral(";boundary=") + QString::fromLatin1(kTaskBoundary));
    if (header.isEmpty())
        return;
    socket->write(header);
    for (const Piece& piece : qAsConst(pieces)) {
        if (piece.image.empty()) {
            socket->write(piece.bytes);
            continue;
        }
        const qint64 rowBytes = qint64(piece.image.cols) * piece.image.channels();
        if (piece.image.isContinuous()) {
            socket->write(reinterpret_cast<const char*>(piece.image.data), rowBytes * piece.image.rows);
            continue;
        }
        for (int row = 0; row < piece.image.rows; ++row)
            socket->write(reinterpret_cast<const char*>(piece.image.ptr(row)), rowBytes);
    }
}

bool SCI_ExecObj_Send::Integrality_File(CTask_FormData& record)
{
    if (!socketReady())
        return true;   // nothing can be written, not even an error reply
    auto* file = new QFile(record.files.firstKey());
    if (!file->open(QIODevice::ReadOnly)) {
        qWarning() << "file cannot be opened for sending:" << file->fileName() << file->errorString();
        delete file;
        return false;
    }
    const qint64 size = file->size();
    const QByteArray header = buildHeader(record, size, true);
    if (header.isEmpty()) {
        delete file;
        return true;
    }
    socket->write(header);
    new FileSender(socket, file, size);   // owned by the socket, deletes itself when done
    return true;
}

qint64 SCI_ExecObj_Send::heldBytes(const CTask_FormData& record)
{
    qint64 bytes = kMessageOverheadBytes + record.body.size();
    for (const QByteArray& file : record.files)
        bytes += file.size();
    for (const cv::Mat& image : record.images)
        bytes += qint64(image.total()) * qint64(image.elemSize());
    return bytes;
}

void SCI_ExecObj_Send::reportImageSend(double elapsedMs)
{
    ImageSendStats& stats = imageStats();
    QMutexLocker lock(&stats.mutex);
    const double seconds = elapsedMs / 1000.0;
    const qint64 now = gettimeofday_ms();
    if (stats.roundtimes == 0)
        stats.roundtimes = now;
    stats.storage_all += seconds;
    stats.min_time = stats.min_time == 0 ? seconds : qMin(stats.min_time, seconds);
    stats.max_time = stats.max_time == 0 ? seconds : qMax(stats.max_time, seconds);
    ++stats.sendtimes;
    if (stats.sendtimes % 100 != 0)
        return;
    const double span = qMax<double>(1, (now - stats.roundtimes) / 100.0);
    qInfo().noquote() << "ImgSend_Report --send:" << QStringLiteral("(%1)").arg(stats.storage_all / 100, 0, 'f', 3)
                      << "--min/max:"
                      << QStringLiteral("(%1 / %2)").arg(stats.min_time, 0, 'f', 3).arg(stats.max_time, 0, 'f', 3)
                      << "--fps:" << 1000 / span;
    stats.roundtimes = now;
    stats.storage_all = 0;
    stats.min_time = 0;
    stats.max_time = 0;
}

BodySender::BodySender(QTcpSocket* socket, qint64 size) : QObject(socket), m_socket(socket), m_remaining(size) {}

BodySender::~BodySender() = default;

void BodySender::start()
{
    connect(m_socket, &QTcpSocket::bytesWritten, this, &BodySender::pump);
    connect(m_socket, &QAbstractSocket::stateChanged, this, [this](QAbstractSocket::SocketState state) {
        if (state != QAbstractSocket::ConnectedState)
            finish(false);
    });
    pump();
}

BodySender* BodySender::activeOn(QTcpSocket* socket)
{
    if (!socket)
        return nullptr;
    const auto senders = socket->findChildren<BodySender*>(QString(), Qt::FindDirectChildrenOnly);
    for (BodySender* sender : senders) {
        if (!sender->m_done)
            return sender;
    }
    return nullptr;
}

void BodySender::hold(bool held)
{
    m_held = held;
    if (!held)
        pump();
}

void BodySender::pump()
{
    // A write that reaches the kernel at once reports itself from inside this loop.
    if (m_done || m_held || m_pumping)
        return;
    m_pumping = true;
    // Keep at most two pieces queued in the socket so a large body is never held twice.
    while (m_remaining > 0 && m_socket->bytesToWrite() < 2 * kPiece) {
        const qint64 written = writePiece(qMin(m_remaining, kPiece));
        if (written <= 0) {
            m_pumping = false;
            finish(false);
            return;
        }
        m_remaining -= written;
    }
    m_pumping = false;
    if (m_remaining == 0)
        finish(true);
}

void BodySender::finish(bool complete)
{
    if (m_done)
        return;
    m_done = true;
    release();
    disconnect(m_socket, nullptr, this, nullptr);
    if (!complete && m_socket->state() != QAbstractSocket::UnconnectedState)
        m_socket->abort();
    emit finished(complete);
    deleteLater();
}

FileSender::FileSender(QTcpSocket* socket, QFile* file, qint64 size) : BodySender(socket, size), m_file(file)
{
    file->setParent(this);
    m_timer.setSingleShot(true);
    connect(&m_timer, &QTimer::timeout, this, [this] {
        qWarning() << "file transfer abandoned after 30 s:" << m_file->fileName();
        finish(false);
    });
    m_timer.start(kTimeoutMs);
    start();
}

qint64 FileSender::writePiece(qint64 most)
{
    const QByteArray piece = m_file->read(most);
    if (piece.isEmpty()) {
        qWarning() << "file shorter than announced:" << m_file->fileName();
        return 0;
    }
    return m_socket->write(piece);
}

void FileSender::release()
{
    m_timer.stop();
    m_file->close();
}

BufferSender::BufferSender(QTcpSocket* socket, const QList<QByteArray>& pieces)
    : BodySender(socket, sizeOf(pieces)), m_pieces(pieces), m_held(sizeOf(pieces))
{
    start();
}

qint64 BufferSender::sizeOf(const QList<QByteArray>& pieces)
{
    qint64 size = 0;
    for (const QByteArray& piece : pieces)
        size += piece.size();
    return size;
}

qint64 BufferSender::heldBytes() const
{
    return m_held;
}

qint64 BufferSender::writePiece(qint64 most)
{
    while (!m_pieces.isEmpty() && m_offset >= m_pieces.first().size()) {
        m_held -= m_pieces.takeFirst().size();
        m_offset = 0;
    }
    if (m_pieces.isEmpty())
        return 0;
    const QByteArray& piece = m_pieces.first();
    const qint64 written = m_socket->write(piece.constData() + m_offset, qMin(most, piece.size() - m_offset));
    if (written > 0)
        m_offset += written;
    if (m_offset >= piece.size()) {
        // Its bytes are all in the socket's buffer: the memory goes now, not with the sender.
        m_held -= m_pieces.takeFirst().size();
        m_offset = 0;
    }
    return written;
}

void BufferSender::release()
{
    m_pieces.clear();
    m_held = 0;
}
