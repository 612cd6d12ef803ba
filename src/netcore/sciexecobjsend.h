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
};

Q_DECLARE_METATYPE(SCI_ExecObj_Send)

// Streams one file body on a socket in 64 KiB pieces paced by the socket's bytes-written
// signal, without blocking its thread. A transfer that has not finished within 30 s, or whose
// file cannot be read to its end, aborts the connection: the peer would otherwise wait for
// bytes that never come and read the next message as body.
class FileSender : public QObject {
    Q_OBJECT
public:
    static constexpr qint64 kPiece = 65536;
    static constexpr int kTimeoutMs = 30000;

    // Takes an opened file of `size` bytes; the header must already be written.
    FileSender(QTcpSocket* socket, QFile* file, qint64 size);
    ~FileSender() override;

    // The transfer running on the socket, or null.
    static FileSender* activeOn(QTcpSocket* socket);

signals:
    void finished(bool complete);

private:
    void pump();
    void finish(bool complete);

    QTcpSocket* m_socket;
    QFile* m_file;
    qint64 m_remaining;
    QTimer m_timer;
    bool m_done = false;
};
