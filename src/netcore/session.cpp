#include "netcore/session.h"

#include "base/appclock.h"
#include "base/publictools.h"
#include "base/refusallog.h"
#include "netcore/sciexecobjrecv.h"
#include "netcore/tcpreactor.h"

#include <QThread>
#include <QtDebug>
#include <sys/socket.h>
#include <utility>

Session::Session(JXKC::TcpReactor* owner, QTcpSocket* tcpSocket, int id)
    : session_id(id), socket(tcpSocket), reactor(owner)
{
    qRegisterMetaType<SCI_ExecObj_Send>("SCI_ExecObj_Send");
    stall_timer.setSingleShot(true);
    connect(&stall_timer, &QTimer::timeout, this, &Session::onStall);
    linger_timer.setSingleShot(true);
    connect(&linger_timer, &QTimer::timeout, this, [this] {
        if (socket)
            socket->abort();
    });
    reply_stall_timer.setSingleShot(true);
    connect(&reply_stall_timer, &QTimer::timeout, this, &Session::onReplyStall);
    if (reactor)
        reactor->openReplyAccount(session_id);
    if (!socket)
        return;
    socket->setParent(nullptr);   // an accepted socket is the server's child until now
    socket->setReadBufferSize(kSocketReadAhead);
    peer_address = socket->peerAddress();
    peer_port = socket->peerPort();
    connected = socket->state() == QAbstractSocket::ConnectedState;
    connect(socket.get(), &QIODevice::readyRead, this, &Session::onReadyRead);
    connect(socket.get(), &QIODevice::bytesWritten, this, &Session::onBytesWritten);
    connect(socket.get(), &QAbstractSocket::stateChanged, this, [this](QAbstractSocket::SocketState state) {
        connected = state == QAbstractSocket::ConnectedState;
    });
}

Session::~Session()
{
    // Leave the reactor's table first: other threads look sessions up there under its lock.
    if (reactor) {
        reactor->forgetSession(session_id, this);
        reactor->releaseBody(reserved_body);
    }
    if (stream_connection)
        disconnect(stream_connection);
    if (socket) {
        socket->disconnect();
        socket->abort();
    }
    socket.reset();   // with a reply still streaming, and its memory
    if (largest_sent >= kTrimAfterBytes)
        trimHeap();
}

void Session::retire()
{
    input_closed = true;
    stall_timer.stop();
}

void Session::closeNow()
{
    retire();
    closing = true;
    reply_stall_timer.stop();
    if (socket)
        socket->abort();
}

void Session::onReadyRead()
{
    if (input_closed) {
        socket->readAll();   // keep draining, so the peer's close is noticed
        return;
    }
    if (paused)
        return;   // the bytes wait in the socket, whose read-ahead is bounded
    analyseBuffer_Setup1();
}

bool Session::fill()
{
    if (!socket)
        return false;
    const qint64 room = kSocketReadAhead - recv_buffer.size();
    if (room <= 0)
        return false;
    const QByteArray bytes = socket->read(room);
    if (bytes.isEmpty())
        return false;
    last_read_ms = AppClock::steadyMs();
    got_bytes = true;
    recv_buffer.append(bytes);
    return true;
}

bool Session::mayRead() const
{
    if (ordering() && reply_slots.size() >= kMaxPendingReplies)
        return false;
    return ownHeldBytes() <= kMaxUnsentBytes;
}

qint64 Session::ownHeldBytes() const
{
    qint64 held = queued_bytes;
    if (!socket)
        return held;
    held += socket->bytesToWrite();
    if (const BodySender* sender = streaming ? BodySender::activeOn(socket.get()) : nullptr)
        held += sender->heldBytes();
    return held;
}

bool Session::awaitingPeer() const
{
    return socket && !write_shut && (streaming || socket->bytesToWrite() > 0 || !send_queue.isEmpty());
}

void Session::updateHeld()
{
    const qint64 held = ownHeldBytes();
    const qint64 adoptedSeq = std::exchange(adopted_seq, 0);
    if (reactor && (held != published_held || adoptedSeq > 0))
        reactor->setHeldReplyBytes(session_id, held, adoptedSeq);
    published_held = held;
    const JXKC::ReactorLimits limits = reactor ? reactor->limits() : JXKC::ReactorLimits();
    if (!awaitingPeer())
        reply_stall_timer.stop();
    else if (!reply_stall_timer.isActive())
        reply_stall_timer.start(limits.reply_stall_timeout_ms);
    if (paused && !resume_posted && mayRead()) {
        // Not from inside a reply that a handler sends while this session emits.
        resume_posted = true;
        QMetaObject::invokeMethod(this, &Session::resumeInput, Qt::QueuedConnection);
    }
}

void Session::onBytesWritten()
{
    shutWhenFlushed();
    // The peer took bytes: the reply stall counts again from now.
    if (reply_stall_timer.isActive())
        reply_stall_timer.stop();
    updateHeld();
}

void Session::onReplyStall()
{
    if (!awaitingPeer())
        return;
    if (RefusalLog::admit(peer_address, QStringLiteral("replies not read")))
        qWarning() << "peer has read nothing of its replies in time, closing session" << session_id;
    closeNow();
}

void Session::queueBytes(const SCI_ExecObj_Send& send, int sign)
{
    const qint64 bytes = send.heldBytes();
    queued_bytes += sign * bytes;
    if (sign > 0)
        largest_sent = qMax(largest_sent, bytes);
}

bool Session::ordering() const
{
    return reactor && reactor->ordersReplies();
}

void Session::updateTask(const QString& key, const QList<QVariant>& values)
{
    // A request's progress stays with the session: only requests this side sent are entered in
    // the reactor's table, so a peer's reply can never be matched to a peer's own request.
    if (current_is_request)
        incoming_task.applyUpdate(key, values);
    else
        reactor->update_TcpTsk_ByUuid(current->uuid(), key, values);
}

bool Session::takeHeader()
{
    const int end = recv_buffer.indexOf("\r\n\r\n");
    if (end < 0 || end > kMaxHeaderBytes) {
        if (end > kMaxHeaderBytes || recv_buffer.size() > kMaxHeaderBytes + 3) {
            if (RefusalLog::admit(peer_address, QStringLiteral("header over 64 KiB")))
                qWarning() << "header over 64 KiB, closing session" << session_id;
            reject(413, QString(), QString(), true);
        }
        return false;
    }
    const QByteArray head = SCI_ExecObj_Recv::skipStrayLines(recv_buffer.left(end));
    recv_buffer.remove(0, end + 4);
    stall = Stall::None;   // whatever follows has its own time
    if (head.isEmpty())
        return true;   // dropped; look for the next header

    auto message = std::make_shared<SCI_ExecObj_Recv>(head, session_id, reactor->limits().json);
    message->setDuplex_Info(peer_address, peer_port);
    const bool isReply = message->method() == QLatin1String("Response");
    if (!message->lengthFault().isEmpty()) {
        if (RefusalLog::admit(peer_address, message->lengthFault()))
            qWarning().noquote() << message->lengthFault() << "- closing session" << session_id;
        reject(400, message->uuid(), message->lengthFault(), !isReply);
        return false;
    }
    const qint64 length = message->contentLength();
    if (length > kMaxBodyBytes || message->bodyTooLarge()) {
        if (RefusalLog::admit(peer_address, QStringLiteral("body too large")))
            qWarning() << "body over 64 MiB, multipart over 8 MiB or JSON over its bound announced; closing session"
                       << session_id;
        reject(413, message->uuid(), QString(), !isReply);
        return false;
    }
    // No room is made for the announced body ahead of its bytes: announcements cost nothing.
    reserved_body = 0;
    current = message;
    in_message = true;
    requested = true;
    current_is_request = current->isRequest();
    if (current_is_request) {
        incoming_task = TcpTsk_Info(current->uuid());
        incoming_task.url = current->uuid();
    }
    updateTask(QStringLiteral("tskup_firstrecv_timing"));
    updateTask(QStringLiteral("tskup_chg_recvpacklength"), {QVariant(int(qMax<qint64>(length, 0)))});
    return true;
}

void Session::analyseBuffer_Setup1()
{
    // A handler that spins an event loop inside an emission would land here again; the outer
    // pass goes on with what has arrived meanwhile.
    if (parsing)
        return;
    parsing = true;
    // Every complete message in the buffer is finished, so pipelined requests all get replies.
    bool continuing = in_message;
    while (!input_closed) {
        if (!in_message) {
            if (!mayRead()) {
                paused = true;
                break;
            }
            fill();
            if (!takeHeader())
                break;
            if (!in_message)
                continue;
        } else if (continuing && current->getNeedLength() > 0) {
            updateTask(QStringLiteral("tskup_recv_times"));
        }
        continuing = false;

        bool refused = false;
        for (int due; (due = current->getNeedLength()) > 0;) {
            if (recv_buffer.isEmpty() && !fill())
                break;
            // Bytes count against the reactor's budget as they come, not as they are announced:
            // a peer that announces much and sends little holds nothing.
            const int take = qMin(due, recv_buffer.size());
            if (!reactor->reserveBody(take)) {
                if (RefusalLog::admit(peer_address, QStringLiteral("body budget spent")))
                    qWarning() << "body budget of the reactor spent, closing session" << session_id;
                reject(413, current->uuid(), QString(), current_is_request);
                refused = true;
                break;
            }
            reserved_body += take;
            if (take == recv_buffer.size()) {
                current->addBody(recv_buffer);
                recv_buffer.clear();
            } else {
                current->addBody(recv_buffer.left(take));
                recv_buffer.remove(0, take);
            }
        }
        if (refused || current->getNeedLength() > 0)
            break;

        updateTask(QStringLiteral("tskup_finishrecv_timing"));
        analyseBuffer_Setup2_5();
        finishMessage();
    }
    parsing = false;
    armStallTimer();
}

void Session::finishMessage()
{
    in_message = false;
    current.reset();
    reactor->releaseBody(reserved_body);
    reserved_body = 0;
    stall = Stall::None;
}

void Session::analyseBuffer_Setup2_5()
{
    if (!current)
        return;
    if (!current->analysisIntegrality()) {
        // A reply is never answered; a request learns why it failed and the connection stays.
        if (current_is_request)
            answerOwn(400, current->uuid(), current->decodeFault(), false);
        return;
    }
    CTask_FormData record = current->getFormData();
    if (!current_is_request) {
        const CVariant<TcpTsk_Info> task = reactor->getTcpTask(record.uuid);
        if (!task.isEmpty())
            record.setProgress({task.getValue()});
        emit sigResponse(record);
        return;
    }
    record.setProgress({incoming_task});
    record.request_seq = ++next_seq;
    if (ordering()) {
        ReplySlot slot;
        slot.seq = record.request_seq;
        slot.uuid = record.uuid;
        reply_slots.append(slot);
    }
    emit sigRequest(record);
}

void Session::reject(int status, const QString& uuid, const QString& fault, bool answer)
{
    retire();
    recv_buffer.clear();
    if (current)
        finishMessage();
    if (answer) {
        answerOwn(status, uuid, fault, true);
        return;
    }
    closeWhenWritten();
}

void Session::answerOwn(int status, const QString& uuid, const QString& fault, bool closeAfter)
{
    CTask_FormData reply;
    reply.uuid = uuid;
    reply.session_id = session_id;
    reply.status_code = status;
    if (!fault.isEmpty())
        reply.status_text = fault;
    SCI_ExecObj_Send send(reply);
    if (!ordering()) {
        deliver(send);
        if (closeAfter)
            closeWhenWritten();
        updateHeld();
        return;
    }
    ReplySlot slot;
    slot.seq = ++next_seq;
    slot.uuid = send.record().uuid;
    slot.answered = true;
    slot.close_after = closeAfter;
    slot.sends.append(send);
    queueBytes(send, 1);
    reply_slots.append(slot);
    flushReplies();
    updateHeld();
}

bool Session::placeReply(const SCI_ExecObj_Send& send)
{
    const CTask_FormData& record = send.record();
    if (!record.url.isEmpty())
        return false;   // a message of our own, not an answer
    ReplySlot* target = nullptr;
    for (ReplySlot& slot : reply_slots) {
        const bool same = record.request_seq > 0 ? slot.seq == record.request_seq : slot.uuid == record.uuid;
        if (!same)
            continue;
        if (!slot.answered) {
            target = &slot;
            break;
        }
        target = &slot;   // a further reply to a request still waiting its turn stays with it
    }
    if (!target)
        return false;
    target->answered = true;
    target->sends.append(send);
    queueBytes(send, 1);
    if (send.endsRequest())
        target->served = true;
    flushReplies();
    return true;
}

void Session::flushReplies()
{
    while (!reply_slots.isEmpty() && !closing) {
        ReplySlot& head = reply_slots.first();
        if (!head.answered && !head.served)
            break;
        ReplySlot slot = reply_slots.takeFirst();
        for (SCI_ExecObj_Send& send : slot.sends) {
            queueBytes(send, -1);
            deliver(send);
        }
        if (slot.close_after)
            closeWhenWritten();
    }
}

void Session::resumeInput()
{
    resume_posted = false;
    if (!paused || input_closed || !socket || !mayRead())
        return;
    paused = false;
    analyseBuffer_Setup1();
}

void Session::SlotRequestServed(qint64 seq)
{
    if (QThread::currentThread() != thread()) {
        QMetaObject::invokeMethod(this, "SlotRequestServed", Qt::QueuedConnection, Q_ARG(qint64, seq));
        return;
    }
    for (ReplySlot& slot : reply_slots) {
        if (slot.seq == seq) {
            slot.served = true;
            flushReplies();
            updateHeld();
            return;
        }
    }
}

void Session::SlotSendAction(SCI_ExecObj_Send send)
{
    if (QThread::currentThread() != thread()) {
        QMetaObject::invokeMethod(this, "SlotSendAction", Qt::QueuedConnection, Q_ARG(SCI_ExecObj_Send, send));
        return;
    }
    // A reply built against a reservation is counted from here on as what this session holds.
    adopted_seq = send.record().url.isEmpty() ? send.record().request_seq : 0;
    if (!closing && !placeReply(send))
        deliver(send);
    updateHeld();
}

void Session::deliver(SCI_ExecObj_Send& send)
{
    if (closing)
        return;
    if (streaming) {
        // The file's bytes must not be interleaved with another message.
        if (send_queue.size() >= kMaxQueuedSends) {
            if (RefusalLog::admit(peer_address, QStringLiteral("send queue full")))
                qWarning() << "send queue full, message dropped on session" << session_id;
            return;
        }
        send_queue.append(send);
        queueBytes(send, 1);
        return;
    }
    writeNow(send);
}

void Session::writeNow(SCI_ExecObj_Send& send)
{
    if (!socket)
        return;
    largest_sent = qMax(largest_sent, send.heldBytes());
    send.SerializeWrite(socket.get());
    BodySender* sender = BodySender::activeOn(socket.get());
    if (sender) {
        streaming = true;
        stream_connection =
            connect(sender, &BodySender::finished, this, &Session::onStreamFinished, Qt::QueuedConnection);
        sender->hold(true);
    }
    // Into the kernel now rather than when the event loop next finds the socket writable; a
    // streamed body only with what is buffered of it, the rest as the peer takes it.
    socket->flush();
    if (sender)
        sender->hold(false);
}

void Session::onStreamFinished()
{
    streaming = false;
    disconnect(stream_connection);
    while (!streaming && !send_queue.isEmpty() && !closing) {
        SCI_ExecObj_Send next = send_queue.takeFirst();
        queueBytes(next, -1);
        writeNow(next);
    }
    if (close_pending && !streaming)
        closeWhenWritten();
    if (!streaming && largest_sent >= kTrimAfterBytes) {
        // The allocator keeps what a large reply freed for itself; give it back to the system.
        largest_sent = 0;
        trimHeap();
    }
    updateHeld();
}

void Session::closeWhenWritten()
{
    if (streaming) {
        close_pending = true;   // after the file and what queued behind it
        return;
    }
    closing = true;
    close_pending = false;
    input_closed = true;   // what the peer still sends is drained unread
    stall_timer.stop();
    if (!socket || linger_timer.isActive())
        return;
    // Closing while the peer still sends would answer its bytes with a reset, which destroys
    // the last reply before the peer reads it: end our direction once the reply is out, and
    // let the peer close, or cut it off after a while.
    linger_timer.start(kLingerMs);
    shutWhenFlushed();
}

void Session::shutWhenFlushed()
{
    if (!closing || write_shut || !socket || socket->bytesToWrite() > 0)
        return;
    write_shut = true;
    ::shutdown(int(socket->socketDescriptor()), SHUT_WR);
}

void Session::armStallTimer()
{
    Stall now = Stall::None;
    if (!input_closed && !paused) {
        if (in_message && current && current->getNeedLength() > 0)
            now = Stall::Body;
        else if (!in_message && !recv_buffer.isEmpty())
            now = Stall::Header;
    }
    const JXKC::TcpReactor::Limits& limits = reactor->limits();
    if (now == Stall::None)
        stall_timer.stop();
    else if (now == Stall::Body && (stall != Stall::Body || got_bytes))
        stall_timer.start(limits.body_stall_timeout_ms);   // restarts with every byte of body
    else if (now == Stall::Header && stall != Stall::Header)
        stall_timer.start(limits.header_timeout_ms);       // counts from the header's first byte
    stall = now;
    got_bytes = false;
}

void Session::onStall()
{
    if (stall == Stall::Header) {
        if (RefusalLog::admit(peer_address, QStringLiteral("header not complete in time")))
            qWarning() << "header not complete in time, closing session" << session_id;
    } else if (stall == Stall::Body) {
        if (RefusalLog::admit(peer_address, QStringLiteral("body stopped arriving")))
            qWarning() << "body stopped arriving, closing session" << session_id;
    } else {
        return;
    }
    closeNow();
}
