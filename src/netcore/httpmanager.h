#pragma once

#include "netcore/taskformdata.h"
#include "netcore/tcpreactor.h"

#include <QFuture>
#include <QHostAddress>
#include <QList>
#include <QMap>
#include <QMutex>
#include <QObject>
#include <QSharedPointer>
#include <QThreadPool>
#include <atomic>
#include <functional>
#include <optional>

// Which reactor a service owns.
enum JXKT_TYPE : int {
    JXKT_SERVER = 0,   // listening, JXKC::TcpServReactor
    JXKT_CLIENT = 1,   // dialling, JXKC::TcpCliReactor
};

// Base of every network service: owns one reactor, routes every incoming request, and every
// reply to a request the service sent, to the handler registered for its url.
//
// Every dispatch mode reports each request done to the reactor once its handler has returned
// (after the sends the handler made), so that replies on a connection leave in the order of
// their requests even when one is decided early (404, 503) or served on another worker.
//
// A mode-4 handler whose answer needs files or databases hands that work to answerLater: it
// runs on the service's own two work threads, and its reply is sent from there. The url stays
// busy and the request keeps its place among its connection's replies until then, so the
// object's thread (the GUI thread for the API) never waits for a disk. Requests for one url are
// served one after the other: one accepted while its url was free but whose turn comes while
// the url is still busy (its work not yet answered) waits, and starts once that reply has left.
//
// A service is stopped with stopService, first thing in the most derived destructor, while the
// object is whole: from then on its reactor delivers nothing (its thread is joined and its
// connections are closed), and no work answers, so a query the stop cuts short is never sent as
// if it were complete. The base destructor calls it too, for services without work of their own.
class HttpManager : public QObject {
    Q_OBJECT
public:
    using Handler = std::function<void(CTask_FormData)>;

    explicit HttpManager(JXKT_TYPE type);
    ~HttpManager() override;

    // Replaces the reactor, wires it by dispatch mode (1 to 4) and starts it.
    virtual bool startReactor(const QHostAddress& address, quint16 port, int mode);
    // Sends an empty reply with the given status to the request's session at once.
    virtual void callback_immediately(const CTask_FormData& request, int code, QString msg);

    void sendAsync(const CTask_FormData& record);
    // Stops the mode-3 workers and, unless closing, starts new ones.
    void Reload_Future_Workfunc(bool close);

    // The port the server reactor listens on (0 for none or a client).
    quint16 serverPort() const;
    // Why the server reactor could not listen; empty when it listens or there is none.
    QString listenError() const;
    // Limits of the reactors built from now on. Object's thread, before startReactor.
    void setReactorLimits(const JXKC::TcpReactor::Limits& limits) { reactor_limits = limits; }

    // Work that builds a reply on a work thread. It must not touch the service: it takes what
    // it needs by value. `stopping` turns true when the service goes; long work gives up then,
    // and what it returns is not sent.
    using Work = std::function<CTask_FormData(const std::atomic<bool>& stopping)>;
    // The bytes the body of a reply about to be built will have, found cheaply on the work
    // thread; the same rules as Work.
    using Estimate = std::function<qint64()>;

signals:
    void readyToClose();
    void new_message_arrive();

public slots:
    virtual void SlotRecvResponse(CTask_FormData record, bool stashed);
    virtual void SlotRecvRequest(CTask_FormData request);
    virtual void SlotRecvRequest_Pre_ThreadMold2(CTask_FormData request);
    virtual void SlotRecvRequest_ThreadMold2(CTask_FormData request);

protected:
    // From a mode-4 handler: `work` runs on a work thread and what it returns is sent as the
    // request's reply; until then the url stays busy and the request keeps its place in line.
    void answerLater(const CTask_FormData& request, Work work);
    // answerLater for work whose reply may be large: the estimate is reserved at the reactor
    // first, and when the connection or the reactor cannot hold that much for replies now, the
    // request is answered 503 without the work. The reply built settles the reservation at its
    // real size (and is answered 503 after all should a larger size not fit).
    void answerBounded(const CTask_FormData& request, Estimate estimate, Work work);
    // Stops the reactor (joined, connections closed), the mode-3 workers and the work, in that
    // order. Object's thread; more than once is harmless.
    void stopService();

    // The reactor as held now; safe from the reactor's own thread while it is being replaced.
    QSharedPointer<JXKC::TcpReactor> currentReactor() const;

    QSharedPointer<JXKC::TcpReactor> reactor;
    const JXKT_TYPE type;
    QMap<QString, Handler> url_routes;   // filled by the subclass before startReactor
    QMutex mutex;                        // guards pending_list and busy_urls
    QList<CTask_FormData> pending_list;
    QList<QFuture<void>> future_workers;
    QSharedPointer<QThreadPool> thread_pool;
    QList<QString> busy_urls;
    // Mode 4: accepted requests whose url was busy when their turn came, in order of arrival.
    // Under `mutex`.
    QList<CTask_FormData> waiting_requests;

private:
    // Stops and lets go of the reactor held now.
    void retireReactor();
    void pushPending(const CTask_FormData& request);
    void workerLoop();
    void serveOne();
    void runHandler(const Handler& handler, const CTask_FormData& record) const;
    // Modes 1 and 2: the slot, then the report that the request is done.
    void routeRequest(const CTask_FormData& request);
    void markServed(const CTask_FormData& request);
    // Mode 4, object's thread: runs the handler of a request that holds its url's busy mark.
    void serveHeld(const CTask_FormData& request);
    // The url's current request is done: the mark passes to the next request waiting for the
    // url, which is returned, or the url is free. Any thread.
    std::optional<CTask_FormData> passUrlOn(const QString& url);
    // Starts, on the object's thread, the request the mark was passed to.
    void serveNext(const std::optional<CTask_FormData>& next);
    // On the work thread: passes the url on, sends the reply, reports the request done and
    // starts the next request for the url.
    void finishLater(const CTask_FormData& request, const std::optional<CTask_FormData>& reply);
    void logTiming(const char* header, const CTask_FormData& request) const;
    // An empty reply with the given status, in the request's place.
    static CTask_FormData emptyReply(const CTask_FormData& request, int code, const QString& msg);
    // Sends the reply and reports its request done in one hop to the reactor's thread.
    void answer(const CTask_FormData& request, const CTask_FormData& reply);
    // Whether the reply answers exactly this request (its connection and place).
    static bool answers(const CTask_FormData& reply, const CTask_FormData& request);

    mutable QMutex reactor_mutex;   // guards the reactor pointer itself
    // Sends made by a mode-4 handler leave only once its busy mark is cleared; otherwise a
    // client that answers the reply at once would find its url still busy.
    int handler_depth = 0;
    struct HeldSend {
        CTask_FormData record;
        bool served_mark;   // the record is a request to report done, not a message to send
    };
    QList<HeldSend> held_sends;
    // Set by answerLater while a mode-4 handler runs: its request is finished by the work.
    bool handler_deferred = false;
    JXKC::TcpReactor::Limits reactor_limits;
    QThreadPool work_pool;
    std::atomic<bool> work_stopping{false};
};
