#pragma once

#include "netcore/sciexecobjsend.h"
#include "netcore/taskformdata.h"

#include <QHostAddress>
#include <QList>
#include <QObject>
#include <QTcpSocket>
#include <QTimer>
#include <atomic>
#include <memory>

class SCI_ExecObj_Recv;
namespace JXKC {
class TcpReactor;
}

// One TCP connection of a reactor: cuts the incoming bytes into messages, has them decoded
// and emits them; writes outgoing messages on its socket, always in the socket's thread.
//
// The peer is a stranger: a message that cannot be framed is answered and the connection
// closed, one that does not decode is answered with 400 and the connection kept, and a header
// or body that stops arriving closes the connection (time-outs from the reactor's limits).
// When the reactor orders replies, each request keeps a place in a queue and its reply leaves
// only after the replies of the requests before it, however the service answers them. Input
// waits in the socket while too many replies are owed or unsent, so what a peer makes the
// session hold stays bounded whether or not it reads.
//
// A reply is written as soon as it may leave, straight into the kernel; a large body goes into
// the socket's buffer piece by piece as the peer takes it (BodySender), so it is held once. What
// the session holds for replies (waiting their turn or behind a stream, streaming, in the
// socket's buffer) is its account at the reactor, which bounds it; a peer that takes none of it
// for the reactor's reply_stall_timeout_ms loses its connection, and the memory with it.
//
// Everything but lastReadMs(), hasRequested() and isWorking() belongs to the session's own
// thread (the reactor's worker); SlotSendAction and SlotRequestServed hop there by themselves.
class Session : public QObject {
    Q_OBJECT
public:
    // Bounds on what a peer may announce: beyond them the connection is closed.
    static constexpr int kMaxHeaderBytes = 64 * 1024;
    static constexpr qint64 kMaxBodyBytes = 64LL * 1024 * 1024;
    // Messages waiting while a file streams; more than this is a peer that does not read.
    static constexpr int kMaxQueuedSends = 1024;
    // Requests waiting for their replies; beyond this the session stops reading until replies
    // leave, so a peer that pipelines without end only fills its own socket.
    static constexpr int kMaxPendingReplies = 256;
    // What the socket reads ahead of the session, and what the session takes from it at once:
    // a paused session holds no more than twice this.
    static constexpr qint64 kSocketReadAhead = 256 * 1024;
    // Bytes held for replies not yet sent; beyond this the session stops reading until the peer
    // takes them, so a peer that sends without reading only fills its own socket.
    static constexpr qint64 kMaxUnsentBytes = 256 * 1024;
    // A reply this large, once sent, gives its memory back to the system, not just to the heap.
    static constexpr qint64 kTrimAfterBytes = 8 * 1024 * 1024;
    // How long a connection ending after a last reply waits for the peer to close its side.
    static constexpr int kLingerMs = 5000;

    // Takes ownership of the socket, which must belong to the current thread.
    Session(JXKC::TcpReactor* reactor, QTcpSocket* socket, int id);
    ~Session() override;

    int id() const { return session_id; }
    bool isWorking() const { return connected.load(); }
    QTcpSocket* tcpSocket() const { return socket.get(); }
    // When the peer's bytes were last read, on AppClock::steadyMs(); 0 while none came (an
    // accept is no sign of use). Any thread.
    qint64 lastReadMs() const { return last_read_ms.load(); }
    // Whether the peer has begun a message yet. Any thread.
    bool hasRequested() const { return requested.load(); }

    void analyseBuffer_Setup1();
    void analyseBuffer_Setup2_5();
    // Takes no further input; the session is about to be deleted. Own thread only.
    void retire();
    // Drops the connection at once (the reactor then deletes the session). Own thread only.
    void closeNow();

public slots:
    void SlotSendAction(SCI_ExecObj_Send send);
    // The service is done with the request in place `seq`; a request left without reply no
    // longer holds back the replies behind it.
    void SlotRequestServed(qint64 seq);

signals:
    void sigRequest(CTask_FormData obj);
    void sigResponse(CTask_FormData obj);

private:
    // A request's place in the reply queue.
    struct ReplySlot {
        qint64 seq = 0;
        QString uuid;
        bool answered = false;
        bool served = false;
        bool close_after = false;   // the connection ends with this reply
        QList<SCI_ExecObj_Send> sends;
    };
    enum class Stall { None, Header, Body };

    void onReadyRead();
    // Tops the receive buffer up from the socket, to kSocketReadAhead at most.
    bool fill();
    bool mayRead() const;
    bool takeHeader();
    void updateTask(const QString& key, const QList<QVariant>& values = {});
    void finishMessage();
    // Answers a message that cannot be framed and ends the connection after the answer.
    void reject(int status, const QString& uuid, const QString& fault, bool answer);
    void answerOwn(int status, const QString& uuid, const QString& fault, bool closeAfter);
    bool ordering() const;
    bool placeReply(const SCI_ExecObj_Send& send);
    void flushReplies();
    void resumeInput();
    void deliver(SCI_ExecObj_Send& send);
    void writeNow(SCI_ExecObj_Send& send);
    void onStreamFinished();
    void closeWhenWritten();
    void shutWhenFlushed();
    void onBytesWritten();
    // Bytes held for replies not yet sent, by this session itself.
    qint64 ownHeldBytes() const;
    // Tells the reactor what the session holds (taking over the reservation of the reply in
    // place adopted_seq), and runs the reply stall timer while the peer owes a read.
    void updateHeld();
    bool awaitingPeer() const;
    void onReplyStall();
    void queueBytes(const SCI_ExecObj_Send& send, int sign);
    void armStallTimer();
    void onStall();

    const int session_id;
    std::unique_ptr<QTcpSocket> socket;
    QHostAddress peer_address;
    quint16 peer_port = 0;
    QByteArray recv_buffer;
    std::shared_ptr<SCI_ExecObj_Recv> current;
    bool in_message = false;
    bool current_is_request = false;
    TcpTsk_Info incoming_task;   // progress of the request being received
    qint64 reserved_body = 0;    // body bytes of this message received so far, in the budget
    bool parsing = false;
    bool input_closed = false;   // no more messages are read
    bool closing = false;        // no more messages are written
    bool close_pending = false;  // disconnect once the file being streamed has gone
    bool write_shut = false;     // our direction has ended; the peer's bytes are drained
    QTimer linger_timer;
    bool paused = false;         // too many replies owed or unsent: input waits in the socket
    bool got_bytes = false;
    Stall stall = Stall::None;
    QTimer stall_timer;
    std::atomic<bool> connected{false};
    std::atomic<qint64> last_read_ms{0};
    std::atomic<bool> requested{false};
    JXKC::TcpReactor* reactor;

    qint64 next_seq = 0;
    QList<ReplySlot> reply_slots;
    QList<SCI_ExecObj_Send> send_queue;
    qint64 queued_bytes = 0;   // held by the sends in reply_slots and send_queue
    qint64 published_held = 0;   // the figure the reactor has
    // The request whose reservation the reply being taken in replaces: given over by the first
    // figure that counts the reply, so the two are never counted at once.
    qint64 adopted_seq = 0;
    qint64 largest_sent = 0;     // largest reply since the memory was last trimmed
    bool resume_posted = false;
    QTimer reply_stall_timer;
    bool streaming = false;
    QMetaObject::Connection stream_connection;
};
