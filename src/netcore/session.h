#pragma once

#include "netcore/sciexecobjsend.h"
#include "netcore/taskformdata.h"

#include <QHostAddress>
#include <QList>
#include <QObject>
#include <QTcpSocket>
#include <atomic>
#include <memory>

class SCI_ExecObj_Recv;
namespace JXKC {
class TcpReactor;
}

// One TCP connection of a reactor: cuts the incoming bytes into messages, has them decoded
// and emits them; writes outgoing messages on its socket, always in the socket's thread.
class Session : public QObject {
    Q_OBJECT
public:
    // Bounds on what a peer may announce: beyond them the connection is closed.
    static constexpr int kMaxHeaderBytes = 64 * 1024;
    static constexpr qint64 kMaxBodyBytes = 64LL * 1024 * 1024;
    // Messages waiting while a file streams; more than this is a peer that does not read.
    static constexpr int kMaxQueuedSends = 1024;

    // Takes ownership of the socket, which must belong to the current thread.
    Session(JXKC::TcpReactor* reactor, QTcpSocket* socket, int id);
    ~Session() override;

    int id() const { return session_id; }
    bool isWorking() const { return connected.load(); }
    QTcpSocket* tcpSocket() const { return socket.get(); }

    void analyseBuffer_Setup1();
    void analyseBuffer_Setup2_5();

public slots:
    void SlotSendAction(SCI_ExecObj_Send send);

signals:
    void sigRequest(CTask_FormData obj);
    void sigResponse(CTask_FormData obj);

private:
    void onReadyRead();
    bool takeHeader();
    void rejectOversized(const QString& uuid);
    void writeNow(SCI_ExecObj_Send& send);
    void onStreamFinished();

    const int session_id;
    std::unique_ptr<QTcpSocket> socket;
    QHostAddress peer_address;
    quint16 peer_port = 0;
    QByteArray recv_buffer;
    std::shared_ptr<SCI_ExecObj_Recv> current;
    bool in_message = false;
    bool closing = false;
    std::atomic<bool> connected{false};
    JXKC::TcpReactor* reactor;

    QList<SCI_ExecObj_Send> send_queue;
    bool streaming = false;
    QMetaObject::Connection stream_connection;
};
