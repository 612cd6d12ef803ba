#pragma once

#include "netcore/sciexecobjrecv.h"
#include "netcore/session.h"
#include "netcore/taskformdata.h"

#include <QAtomicInt>
#include <QHostAddress>
#include <QMap>
#include <QMutex>
#include <QObject>
#include <QPointer>
#include <QSharedPointer>
#include <QTcpServer>
#include <QTcpSocket>
#include <QThreadPool>
#include <QTimer>
#include <atomic>

class CQTcpServer : public QTcpServer {
    Q_OBJECT
public:
    using QTcpServer::QTcpServer;

signals:
    void sigNewDescriptor(qintptr socketDescriptor);
};

class CQTcpSocket : public QTcpSocket {
    Q_OBJECT
public:
    using QTcpSocket::QTcpSocket;
};

namespace JXKC {

// What the peers of one reactor may hold.
struct ReactorLimits {
    qint64 body_budget_bytes = 256LL * 1024 * 1024;
    int max_sessions = 256;
    // A session read this recently is in use: it never gives way to a new connection.
    int busy_ms = 1000;
    // From a header's first byte to its end.
    int header_timeout_ms = 30000;
    // Longest silence while body bytes are due.
    int body_stall_timeout_ms = 30000;
    // What a JSON body may hold: a service sets what its own largest message needs.
    NetworkJson::Bounds json = SCI_ExecObj_Recv::kJsonBounds;
    // Bytes held for replies not yet sent (built, queued, streaming or in a socket's buffer),
    // over all sessions and per session. Large replies are refused before they are built when
    // they would not fit; small ones never are (see TcpReactor).
    qint64 reply_budget_bytes = 256LL * 1024 * 1024;
    qint64 session_reply_bytes = 128LL * 1024 * 1024;
    // Longest time a reply waits without the peer taking any of its bytes.
    int reply_stall_timeout_ms = 30000;
};

// The core of both TCP endpoints: one worker thread whose event loop hosts every socket and
// session, a session table, and a task table that remembers outgoing requests by uuid until
// their reply arrives or they grow old. Only requests this side sent enter the task table, so
// a reply from a peer can only ever be matched to one of them. The table keys a uuid without
// its blanks, as the reader gives it back in the peer's reply.
//
// What peers may hold is bounded by Limits: body bytes held at once over all sessions, counted
// as they arrive (a message whose bytes go beyond it gets 413 and its connection closes), the
// sessions of a server, and the time to finish a header or to go on sending a body. When a new
// connection finds every session taken, one that never began a message gives way (the oldest
// such: most likely forgotten, or one of a burst that only opens connections), failing that the
// one read longest ago; one read within busy_ms never does, and the new connection is refused
// instead. An accept is no sign of use, so a burst of connections can never push out a client
// that polls.
//
// Replies a peer does not read hold memory too: what a session holds for replies not yet sent
// (reserved for a reply being built, waiting its turn, streaming, in the socket's buffer) is
// counted per session and over the reactor. Work whose reply may be large reserves its size
// before it starts (reserveReply) and is refused when that would pass session_reply_bytes or
// reply_budget_bytes; the session takes the reservation over when the reply reaches it. Small
// replies are counted but never refused: a session stops reading while it holds more than a
// little, so they stay small, and a poller is always answered. The oldest refused reservation
// keeps a claim on what frees up, so one that fits the budget is served in the end however
// often others ask. A session whose peer takes nothing for reply_stall_timeout_ms while a
// reply waits is closed, which frees what it held.
//
// Threads: the tables are guarded by their mutexes; body_held and the flags are atomics;
// sessions and sockets live in the worker thread. The worker calls the virtual functions
// (onStart, onFinish, InitSession), so a class derived from a reactor stops it (deinitialize)
// first thing in its own destructor.
class TcpReactor : public QObject {
    Q_OBJECT
public:
    static constexpr int kTaskAgeingIntervalMs = 30001;
    static constexpr qint64 kTaskMaxAgeMs = 60001;
    static constexpr int kSessionPurgeIntervalMs = 10001;
    // glibc keeps the heap that large bodies took after they are freed (a burst of bodies of a
    // few MB leaves hundreds of MB resident). Once this many body bytes have been let go, the
    // heap is trimmed when no further body has been let go for kTrimQuietMs: once after a burst,
    // never per small request, and mostly after the handlers have let go of the records too.
    static constexpr qint64 kTrimAfterBodyBytes = 256 * 1024;
    static constexpr int kTrimQuietMs = 1000;
    // How long the claim of a refused reservation lasts after its last ask: a client that gave
    // up must not keep the budget from others.
    static constexpr qint64 kReplyClaimMs = 30000;

    using Limits = ReactorLimits;

    explicit TcpReactor(const Limits& limits = Limits());
    ~TcpReactor() override;

    // Shared ownership that destroys the reactor in the thread it belongs to, whoever lets go
    // last: a sender on another thread may hold the last reference to a replaced reactor, and
    // its timers and sessions may only be stopped in their own thread.
    static QSharedPointer<TcpReactor> makeShared(TcpReactor* reactor);

    virtual bool isRunning() const = 0;
    virtual bool reAction(const QHostAddress& address, unsigned short port);
    virtual void blockAllRecvSIG();
    // Blocks the calling thread (in a local event loop) until a reply whose uuid holds the
    // request's arrives or ms pass. A request without uuid is given a fresh one, written back.
    virtual bool post_sync(CTask_FormData& request, CTask_FormData& reply, int ms);
    virtual bool post_async(const CTask_FormData& record);
    virtual QList<int> getAliveSession();
    virtual bool initialize();
    virtual void deinitialize();
    virtual void InitSession(Session* session);
    virtual void addSendQueue(const CTask_FormData& record);
    virtual void updateSoftCnted();
    // The port actually listened on (a server started on port 0 picks one); 0 otherwise.
    virtual quint16 serverPort() const { return 0; }
    // Why a server could not listen, in the socket's words; empty when it listens.
    virtual QString listenError() const { return QString(); }

    const Limits& limits() const { return reactor_limits; }
    // Takes `bytes` of the body budget for body bytes just received; false when they do not
    // fit. Any thread.
    bool reserveBody(qint64 bytes);
    // Gives body bytes back; on the worker thread it also counts them towards a heap trim.
    void releaseBody(qint64 bytes);
    qint64 heldBodyBytes() const { return body_held.load(); }

    // Reserves `bytes` for the reply to `request` (its session and place) that a work thread is
    // about to build; false when they do not fit, or the session is gone. Any thread.
    bool reserveReply(const CTask_FormData& request, qint64 bytes);
    // Sets the reservation of a built reply to its real size; false (reservation unchanged) when
    // a larger size does not fit. Any thread.
    bool resizeReply(const CTask_FormData& request, qint64 bytes);
    // The session's own account: what it holds for replies now, replacing the figure before,
    // taking over the reservation of the reply in place `adoptedSeq` (0: none). Session's thread.
    void setHeldReplyBytes(int sessionId, qint64 held, qint64 adoptedSeq = 0);
    // Bytes held for replies over every session, reservations included; any thread.
    qint64 heldReplyBytes() const;
    // The same for one session (0 when it is gone).
    qint64 heldReplyBytes(int sessionId) const;

    // When set, replies leave each connection in the order their requests arrived; whoever
    // handles requests must then report each one done with requestServed.
    void setOrderedReplies(bool ordered) { ordered_replies = ordered; }
    bool ordersReplies() const { return ordered_replies.load(); }
    // The service is done with an incoming request (answered or not). Any thread; ordered
    // after the sends the calling thread made before.
    void requestServed(const CTask_FormData& request);
    // Sends the reply to its request's session and reports the request done there, in one step
    // (one hop to the worker thread instead of two). Any thread.
    void answerRequest(const CTask_FormData& request, const CTask_FormData& reply);

    void append_ClientSession(Session* session);
    // -1 closes every session, -2 only purges entries of sessions already gone. Sessions are
    // deleted later in their own thread; one of another thread is waited for.
    void remove_ClientSession(int id);
    // Called by a session being destroyed; drops its reply account.
    void forgetSession(int id, Session* session);
    // Called by a new session: opens its reply account.
    void openReplyAccount(int id);

    void append_TcpTask(const CTask_FormData& record);
    void append_TcpTask(const QString& uuid);
    void update_TcpTsk_ByUuid(const QString& uuid, const QString& key, const QList<QVariant>& values);
    CVariant<TcpTsk_Info> getTcpTask(const QString& uuid);
    CVariant<TcpTsk_Info> remove_TaskFromList(const QString& uuid);
    bool isAliveTcpTask(const QString& uuid);
    // Drops tasks created kTaskMaxAgeMs or more ago; runs every kTaskAgeingIntervalMs.
    void ageTasks();
    void ageTasksAt(qint64 nowMs);

    // ms since the epoch of the last session event; read by the services to judge a link.
    std::atomic<qint64> last_activity_ms{0};

    static QAtomicInt _increase_index_session;

signals:
    void sigRequest(CTask_FormData obj);
    void sigResponse(CTask_FormData obj, bool stashed);
    void readyToClose();

protected:
    virtual bool onStart() = 0;
    virtual void onFinish() = 0;
    bool onWorkerThread() const;

    QSharedPointer<QThreadPool> socketThreadPool_;
    mutable QMutex sessions_mutex;
    QMap<int, QPointer<Session>> sessions;
    QMutex tasks_mutex;
    QMap<QString, TcpTsk_Info> tasks;
    QTimer task_timer;
    QTimer session_timer;
    QHostAddress listen_address;
    quint16 listen_port = 0;
    std::atomic<int> alive_stamp{0};
    std::atomic<bool> worker_running{false};
    std::atomic<QThread*> worker_thread{nullptr};
    // Closes the session that gives way to a new connection from `peer` when the table is
    // full; false when none may, and the new connection is to be refused. Worker thread only.
    bool makeRoomForSession(const QHostAddress& peer);

private:
    // One session's reply bytes: what it holds itself and what work threads reserved for its
    // replies being built, by the request's place.
    struct ReplyAccount {
        qint64 held = 0;
        QMap<qint64, qint64> reserved;
        qint64 reservedTotal = 0;
    };
    // The oldest reservation refused for want of budget: what frees up is kept for it.
    struct ReplyClaim {
        int session = 0;
        qint64 bytes = 0;
        qint64 renewedMs = 0;
    };
    // addSendQueue; with endsRequest the one target session also takes the reply's request as
    // done.
    void sendToSessions(const CTask_FormData& record, bool endsRequest);
    bool claimBlocks(int sessionId, qint64 bytes, qint64 now) const;
    void addToTotal(qint64 delta);

    const Limits reactor_limits;
    std::atomic<qint64> body_held{0};
    // Worker thread only: the trim timer while the worker runs, and the body bytes let go since
    // the last trim.
    QTimer* trim_timer = nullptr;
    qint64 released_since_trim = 0;
    mutable QMutex replies_mutex;   // guards the three below
    QMap<int, ReplyAccount> reply_accounts;
    qint64 replies_total = 0;
    ReplyClaim reply_claim;
    std::atomic<bool> ordered_replies{false};
};

class TcpServReactor : public TcpReactor {
    Q_OBJECT
public:
    explicit TcpServReactor(const Limits& limits = Limits()) : TcpReactor(limits) {}
    ~TcpServReactor() override;

    // Whether the worker thread runs its event loop with the server listening.
    bool isRunning() const override;
    quint16 serverPort() const override { return bound_port.load(); }
    QString listenError() const override;

protected:
    bool onStart() override;
    void onFinish() override;

private:
    void onNewConnection();

    QSharedPointer<CQTcpServer> server;
    std::atomic<quint16> bound_port{0};
    QString listen_error;   // under sessions_mutex
};

class TcpCliReactor : public TcpReactor {
    Q_OBJECT
public:
    static constexpr int kDialTimeoutMs = 200;

    explicit TcpCliReactor(const Limits& limits = Limits()) : TcpReactor(limits) {}
    ~TcpCliReactor() override;

    bool isRunning() const override;
    bool hasSession();

protected:
    bool onStart() override;
    void onFinish() override;

private:
    QPointer<CQTcpSocket> socket;
};

}  // namespace JXKC
