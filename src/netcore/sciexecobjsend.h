#pragma once

#include "netcore/taskformdata.h"

#include <QAtomicInt>
#include <QFile>
#include <QMetaType>
#include <QObject>
#include <QTimer>

class QTcpSocket;

// The multipart boundary of the transport; delimiter lines are this text itself.
extern const QByteArray kTaskBoundary;

// Streams one message body on a socket in 64 KiB pieces paced by the socket's bytes-written
// signal, without blocking its thread, so a large body sits in the socket's buffer two pieces at
// a time rather than whole. A body that cannot be sent to its end aborts the connection: the
// peer would otherwise wait for bytes that never come and read the next message as body.
// Socket's thread only.
class BodySender : public QObject {
    Q_OBJECT
public:
    static constexpr qint64 kPiece = 65536;

    ~BodySender() override;

    // The transfer running on the socket, or null.
    static BodySender* activeOn(QTcpSocket* socket);
    // Bytes of the body the sender still holds in memory (not those in the socket's buffer).
    virtual qint64 heldBytes() const { return 0; }
    // While held, the sender does not top the socket's buffer up: whoever writes what is
    // buffered at once does not push the whole body through with it. Released, it tops up.
    void hold(bool held);

signals:
    void finished(bool complete);

protected:
    BodySender(QTcpSocket* socket, qint64 size);
    // Connects to the socket and writes the first pieces; the last step of a constructor.
    void start();
    // Writes at most `most` bytes of the body on the socket; the count written, or 0 or less
    // when the body cannot go on.
    virtual qint64 writePiece(qint64 most) = 0;
    // Lets go of the body's resources; the transfer is over.
    virtual void release() {}
    void finish(bool complete);

    QTcpSocket* m_socket;

private:
    void pump();

    qint64 m_remaining;
    bool m_done = false;
    bool m_held = false;
    bool m_pumping = false;
};

// Streams one file. A transfer that has not finished within 30 s is abandoned.
class FileSender : public BodySender {
    Q_OBJECT
public:
    static constexpr int kTimeoutMs = 30000;

    // Takes an opened file of `size` bytes; the header must already be written.
    FileSender(QTcpSocket* socket, QFile* file, qint64 size);

protected:
    qint64 writePiece(qint64 most) override;
    void release() override;

private:
    QFile* m_file;
    QTimer m_timer;
};

// Streams bodies held in memory, one after the other (a reply's text and its closing brace).
// Each is let go as soon as its last byte is in the socket's buffer. No timer of its own: the
// session closes a connection whose peer stops taking bytes.
class BufferSender : public BodySender {
    Q_OBJECT
public:
    BufferSender(QTcpSocket* socket, const QList<QByteArray>& pieces);

    qint64 heldBytes() const override;

protected:
    qint64 writePiece(qint64 most) override;
    void release() override;

private:
    static qint64 sizeOf(const QList<QByteArray>& pieces);

    QList<QByteArray> m_pieces;
    qint64 m_offset = 0;   // into the first piece
    qint64 m_held = 0;
};

// One message to send: a copy of the record, given a uuid when it has none, and its encoders.
class SCI_ExecObj_Send {
public:
    SCI_ExecObj_Send() = default;
    explicit SCI_ExecObj_Send(const CTask_FormData& record);

    // Encodes the record onto the socket by its kind. Call in the socket's thread. A file body
    // is streamed after the call returns (see FileSender::activeOn).
    void SerializeWrite(QTcpSocket* target);

    void Integrality_Empty(CTask_FormData& record);
    void Integrality_Json(CTask_FormData& record);
    void Integrality_Mat(CTask_FormData& record);
    // false when the file cannot be opened (nothing written then).
    bool Integrality_File(CTask_FormData& record);

    const CTask_FormData& record() const { return task; }

    // The memory a record holds until it is sent: its body, files and images, and a little for
    // the rest. The same figure on both sides of a reply's reservation.
    static qint64 heldBytes(const CTask_FormData& record);
    qint64 heldBytes() const { return heldBytes(task); }
    // A reply that reports its request done when it is placed (answered and served at once).
    void setEndsRequest(bool ends) { ends_request = ends; }
    bool endsRequest() const { return ends_request; }
    // A JSON text body larger than this is streamed as the socket drains, not written whole.
    static constexpr qint64 kStreamedBodyBytes = 2 * BodySender::kPiece;
    static constexpr qint64 kMessageOverheadBytes = 512;

    static QAtomicInt _increase_index_task;

    qint64 send_time = 0;

private:
    bool socketReady() const;
    QByteArray buildHeader(CTask_FormData& record, qint64 contentLength, bool withContentType,
                           const QString& contentTypeSuffix = QString());
    void writeErrorReply(CTask_FormData& record);
    static void reportImageSend(double elapsedMs);

    CTask_FormData task;
    QTcpSocket* socket = nullptr;
    bool ends_request = false;
};

Q_DECLARE_METATYPE(SCI_ExecObj_Send)
