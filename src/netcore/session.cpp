#include "netcore/session.h"

#include "netcore/sciexecobjrecv.h"
#include "netcore/tcpreactor.h"

#include <QThread>
#include <QtDebug>

Session::Session(JXKC::TcpReactor* owner, QTcpSocket* tcpSocket, int id)
    : session_id(id), socket(tcpSocket), reactor(owner)
{
    qRegisterMetaType<SCI_ExecObj_Send>("SCI_ExecObj_Send");
    if (!socket)
        return;
    socket->setParent(nullptr);   // an accepted socket is the server's child until now
    peer_address = socket->peerAddress();
    peer_port = socket->peerPort();
    connected = socket->state() == QAbstractSocket::ConnectedState;
    connect(socket.get(), &QIODevice::readyRead, this, &Session::onReadyRead);
    connect(socket.get(), &QAbstractSocket::stateChanged, this, [this](QAbstractSocket::SocketState state) {
        connected = state == QAbstractSocket::ConnectedState;
    });
}

Session::~Session()
{
    // Leave the reactor's table first: other threads look sessions up there under its lock.
    if (reactor)
        reactor->forgetSession(session_id, this);
    if (stream_connection)
        disconnect(stream_connection);
    if (socket) {
        socket->disconnect();
        socket->abort();
    }
    socket.reset();
}

void Session::onReadyRead()
{
    if (closing) {
        socket->readAll();
        return;
    }
    recv_buffer.append(socket->readAll());
    analyseBuffer_Setup1();
}

bool Session::takeHeader()
{
    const int end = recv_buffer.indexOf("\r\n\r\n");
    if (end < 0 || end > kMaxHeaderBytes) {
        if (end > kMaxHeaderBytes || recv_buffer.size() > kMaxHeaderBytes + 3) {
            qWarning() << "header over 64 KiB, closing session" << session_id;
            rejectOversized(QString());
        }
        return false;
    }
    QByteArray head = recv_buffer.left(end);
    recv_buffer.remove(0, end + 4);

    // Stray lines before a request or status line are skipped.
    while (!head.isEmpty()) {
        const int eol = head.indexOf("\r\n");
        if (eol < 0) {
            head.clear();
            break;
        }
        if (head.left(eol).contains("HTTP/1.1"))
            break;
        head.remove(0, eol + 2);
    }
    if (head.isEmpty())
        return true;   // dropped; look for the next header

    current = std::make_shared<SCI_ExecObj_Recv>(head, session_id);
    current->setDuplex_Info(peer_address, peer_port);
    if (current->contentLength() > kMaxBodyBytes) {
        qWarning() << "body over 64 MiB announced, closing session" << session_id;
        rejectOversized(current->uuid());
        return false;
    }
    in_message = true;
    const QString uuid = current->uuid();
    if (current->isRequest())
        reactor->append_TcpTask(uuid);
    reactor->update_TcpTsk_ByUuid(uuid, QStringLiteral("tskup_firstrecv_timing"), {});
    reactor->update_TcpTsk_ByUuid(uuid, QStringLiteral("tskup_chg_recvpacklength"),
                                  {QVariant(int(qMax<qint64>(0, current->contentLength())))});
    return true;
}

void Session::analyseBuffer_Setup1()
{
    // Every complete message in the buffer is finished, so pipelined requests all get replies.
    bool continuing = in_message;
    while (!closing) {
        if (!in_message) {
            if (!takeHeader())
                return;
            if (!in_message)
                continue;
        } else if (!current) {
            in_message = false;
            return;
        } else if (continuing && current->getNeedLength() > 0) {
            reactor->update_TcpTsk_ByUuid(current->uuid(), QStringLiteral("tskup_recv_times"), {});
        }
        continuing = false;

        const int due = current->getNeedLength();
        if (due > 0 && !recv_buffer.isEmpty()) {
            if (due >= recv_buffer.size()) {
                current->addBody(recv_buffer);
                recv_buffer.clear();
            } else {
                current->addBody(recv_buffer.left(due));
                recv_buffer.remove(0, due);
            }
        }
        if (current->getNeedLength() > 0)
            return;

        reactor->update_TcpTsk_ByUuid(current->uuid(), QStringLiteral("tskup_finishrecv_timing"), {});
        analyseBuffer_Setup2_5();
        in_message = false;
        current.reset();
    }
}

void Session::analyseBuffer_Setup2_5()
{
    if (!current || !current->analysisIntegrality())
        return;
    CTask_FormData record = current->getFormData();
    const CVariant<TcpTsk_Info> task = reactor->getTcpTask(record.uuid);
    if (!task.isEmpty())
        record.setProgress({task.getValue()});
    if (!record.url.isEmpty()) {
        reactor->remove_TaskFromList(record.uuid);
        emit sigRequest(record);
    } else {
        emit sigResponse(record);
    }
}

void Session::rejectOversized(const QString& uuid)
{
    closing = true;
    recv_buffer.clear();
    current.reset();
    in_message = false;
    CTask_FormData reply;
    reply.uuid = uuid;
    reply.session_id = session_id;
    reply.status_code = 413;
    SCI_ExecObj_Send send(reply);
    send_queue.clear();
    if (!streaming)
        send.SerializeWrite(socket.get());
    socket->disconnectFromHost();   // after the reply has left
}

void Session::SlotSendAction(SCI_ExecObj_Send send)
{
    if (QThread::currentThread() != thread()) {
        QMetaObject::invokeMethod(this, "SlotSendAction", Qt::QueuedConnection, Q_ARG(SCI_ExecObj_Send, send));
        return;
    }
    if (closing)
        return;
    if (streaming) {
        // The file's bytes must not be interleaved with another message.
        if (send_queue.size() >= kMaxQueuedSends) {
            qWarning() << "send queue full, message dropped on session" << session_id;
            return;
        }
        send_queue.append(send);
        return;
    }
    writeNow(send);
}

void Session::writeNow(SCI_ExecObj_Send& send)
{
    send.SerializeWrite(socket.get());
    FileSender* sender = FileSender::activeOn(socket.get());
    if (!sender)
        return;
    streaming = true;
    stream_connection = connect(sender, &FileSender::finished, this, &Session::onStreamFinished, Qt::QueuedConnection);
}

void Session::onStreamFinished()
{
    streaming = false;
    disconnect(stream_connection);
    while (!streaming && !send_queue.isEmpty() && !closing) {
        SCI_ExecObj_Send next = send_queue.takeFirst();
        writeNow(next);
    }
}
