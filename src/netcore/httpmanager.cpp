#include "netcore/httpmanager.h"

#include "base/refusallog.h"
#include "netcore/sciexecobjsend.h"

#include <QEventLoop>
#include <QSemaphore>
#include <QThread>
#include <QtConcurrent/QtConcurrentRun>
#include <QtDebug>
#include <exception>
#include <memory>
#include <optional>

namespace {

constexpr int kWorkerCount = 2;
// Threads for deferred replies: one long history query may run while a picture is looked up.
constexpr int kWorkThreads = 2;

struct TaskTiming {
    qint64 elapsed = -1;
    qint64 packs = -1;
};

TaskTiming timingOf(const CTask_FormData& request)
{
    const QList<TcpTsk_Info> progress = request.progressCopy();
    if (progress.isEmpty())
        return {};
    const QMap<QString, QVariant> report = progress.first().getReportParam();
    return {report.value(QStringLiteral("_tsk_finishrecv_timing")).toLongLong() -
                report.value(QStringLiteral("_tsk_create_timing")).toLongLong(),
            report.value(QStringLiteral("_tsk_recv_times")).toLongLong()};
}

}  // namespace

HttpManager::HttpManager(JXKT_TYPE serviceType) : type(serviceType), thread_pool(new QThreadPool)
{
    qRegisterMetaType<CTask_FormData>("CTask_FormData");
    thread_pool->setMaxThreadCount(kWorkerCount);
    work_pool.setMaxThreadCount(kWorkThreads);
}

HttpManager::~HttpManager()
{
    // Nothing of the service may outlive it: its workers and its reactor's thread stop here.
    stopService();
    thread_pool->waitForDone();
}

void HttpManager::stopService()
{
    // The reactor first: once it is joined nothing reaches this object from its thread, and its
    // connections are closed, so work cut short below can answer nobody.
    retireReactor();
    Reload_Future_Workfunc(true);
    work_stopping = true;
    work_pool.waitForDone();
}

void HttpManager::retireReactor()
{
    QSharedPointer<JXKC::TcpReactor> old;
    {
        QMutexLocker lock(&reactor_mutex);
        old.swap(reactor);
    }
    if (!old)
        return;
    old->blockAllRecvSIG();
    // A handler running on the reactor's thread may hold it for a moment. Stopping the thread
    // here lets such a handler finish before this service changes or goes. A sender on another
    // thread may still hold it; whoever lets go last, it dies in this thread (makeShared).
    old->deinitialize();
}

QSharedPointer<JXKC::TcpReactor> HttpManager::currentReactor() const
{
    QMutexLocker lock(&reactor_mutex);
    return reactor;
}

quint16 HttpManager::serverPort() const
{
    const auto held = currentReactor();
    return held ? held->serverPort() : 0;
}

QString HttpManager::listenError() const
{
    const auto held = currentReactor();
    return held ? held->listenError() : QString();
}

bool HttpManager::startReactor(const QHostAddress& address, quint16 port, int mode)
{
    retireReactor();

    QSharedPointer<JXKC::TcpReactor> fresh;
    if (type == JXKT_CLIENT)
        fresh = JXKC::TcpReactor::makeShared(new JXKC::TcpCliReactor(reactor_limits));
    else if (type == JXKT_SERVER)
        fresh = JXKC::TcpReactor::makeShared(new JXKC::TcpServReactor(reactor_limits));
    if (!fresh)
        return false;
    const QString name = property("name").toString();
    if (!name.isEmpty())
        fresh->setProperty("name", name);

    fresh->blockAllRecvSIG();
    Reload_Future_Workfunc(true);
    switch (mode) {
    case 1:
        connect(fresh.data(), &JXKC::TcpReactor::sigResponse, this, &HttpManager::SlotRecvResponse, Qt::QueuedConnection);
        connect(fresh.data(), &JXKC::TcpReactor::sigRequest, this, &HttpManager::routeRequest, Qt::QueuedConnection);
        break;
    case 2:
        connect(fresh.data(), &JXKC::TcpReactor::sigResponse, this, &HttpManager::SlotRecvResponse, Qt::QueuedConnection);
        connect(fresh.data(), &JXKC::TcpReactor::sigRequest, this, &HttpManager::routeRequest, Qt::DirectConnection);
        break;
    case 3:
        connect(fresh.data(), &JXKC::TcpReactor::sigRequest, this, &HttpManager::pushPending, Qt::DirectConnection);
        Reload_Future_Workfunc(false);
        break;
    case 4:
        connect(fresh.data(), &JXKC::TcpReactor::sigResponse, this, &HttpManager::SlotRecvResponse, Qt::DirectConnection);
        connect(fresh.data(), &JXKC::TcpReactor::sigRequest, this, &HttpManager::SlotRecvRequest_Pre_ThreadMold2,
                Qt::DirectConnection);
        break;
    default:
        break;
    }
    // Without a handler wired, nobody would report requests done.
    fresh->setOrderedReplies(mode >= 1 && mode <= 4);
    {
        QMutexLocker lock(&reactor_mutex);
        reactor = fresh;
    }
    return fresh->reAction(address, port);
}

void HttpManager::sendAsync(const CTask_FormData& record)
{
    // handler_depth belongs to this object's thread: other threads must not read it.
    if (QThread::currentThread() == thread() && handler_depth > 0) {
        held_sends.append({record, false});
        return;
    }
    if (const auto held = currentReactor())
        held->post_async(record);
}

CTask_FormData HttpManager::emptyReply(const CTask_FormData& request, int code, const QString& msg)
{
    CTask_FormData reply;
    reply.uuid = request.uuid;
    reply.session_id = request.session_id;
    reply.status_code = code;
    reply.request_seq = request.request_seq;   // keeps its request's place among the replies
    if (!msg.isEmpty())
        reply.status_text = msg;
    reply.json = QJsonObject();
    return reply;
}

void HttpManager::callback_immediately(const CTask_FormData& request, int code, QString msg)
{
    if (!currentReactor())
        return;
    // From a handler it leaves with the handler's report that the request is done.
    sendAsync(emptyReply(request, code, msg));
}

bool HttpManager::answers(const CTask_FormData& reply, const CTask_FormData& request)
{
    if (!reply.url.isEmpty() || request.request_seq <= 0 || reply.session_id != request.session_id)
        return false;
    return reply.request_seq == request.request_seq || (reply.request_seq == 0 && reply.uuid == request.uuid);
}

void HttpManager::answer(const CTask_FormData& request, const CTask_FormData& reply)
{
    const auto held = currentReactor();
    if (!held)
        return;
    CTask_FormData placed(reply);
    placed.request_seq = request.request_seq;
    held->answerRequest(request, placed);
}

void HttpManager::pushPending(const CTask_FormData& request)
{
    {
        QMutexLocker lock(&mutex);
        pending_list.append(request);
    }
    emit new_message_arrive();
}

void HttpManager::Reload_Future_Workfunc(bool close)
{
    emit readyToClose();
    for (QFuture<void>& worker : future_workers)
        worker.waitForFinished();
    future_workers.clear();
    if (close)
        return;
    for (int i = 0; i < thread_pool->maxThreadCount(); ++i) {
        // Ready handshake: a worker counts only once it listens for readyToClose, so a close
        // that follows at once is never missed.
        auto ready = std::make_shared<QSemaphore>();
        future_workers.append(QtConcurrent::run(thread_pool.data(), [this, ready] {
            QEventLoop loop;
            const auto quit = connect(this, &HttpManager::readyToClose, &loop, &QEventLoop::quit, Qt::QueuedConnection);
            connect(this, &HttpManager::new_message_arrive, &loop, [this] { serveOne(); }, Qt::QueuedConnection);
            ready->release();
            loop.exec();
            disconnect(quit);
        }));
        ready->acquire();
    }
}

void HttpManager::serveOne()
{
    CTask_FormData request;
    {
        QMutexLocker lock(&mutex);
        if (pending_list.isEmpty())
            return;
        request = pending_list.takeFirst();
    }
    const TaskTiming timing = timingOf(request);
    if (RefusalLog::admitKind(QStringLiteral("[Short_RCV]"), QtInfoMsg))
        qInfo().noquote() << "[Short_RCV] *********************************" << request.url << "usetime_ms:"
                          << timing.elapsed << "packs:" << timing.packs;
    const auto route = url_routes.constFind(request.url);
    if (route == url_routes.cend())
        callback_immediately(request, 404, QString());
    else
        runHandler(route.value(), request);
    markServed(request);
}

void HttpManager::routeRequest(const CTask_FormData& request)
{
    SlotRecvRequest(request);
    markServed(request);
}

void HttpManager::markServed(const CTask_FormData& request)
{
    if (QThread::currentThread() == thread() && handler_depth > 0) {
        held_sends.append({request, true});   // after the sends held before it
        return;
    }
    if (const auto held = currentReactor())
        held->requestServed(request);
}

void HttpManager::logTiming(const char* header, const CTask_FormData& request) const
{
    const TaskTiming timing = timingOf(request);
    if (timing.elapsed == -1 && timing.packs == -1)
        return;
    if (RefusalLog::admitKind(QStringLiteral("[Short_RCV]"), QtInfoMsg))
        qInfo().noquote() << header << request.url << "usetime_ms:" << timing.elapsed << "packs:" << timing.packs;
}

void HttpManager::runHandler(const Handler& handler, const CTask_FormData& record) const
{
    // A faulty handler must not take the service's thread down with it.
    try {
        handler(record);
    } catch (const std::exception& error) {
        qWarning().noquote() << "handler for" << record.url << "failed:" << error.what();
    } catch (...) {
        qWarning().noquote() << "handler for" << record.url << "failed";
    }
}

void HttpManager::SlotRecvRequest(CTask_FormData request)
{
    logTiming("[Short_RCV][SlotRecvRequest] **********************", request);
    const auto route = url_routes.constFind(request.url);
    if (route == url_routes.cend()) {
        callback_immediately(request, 404, QString());
        if (RefusalLog::admitKind(QStringLiteral("404 Not Found"), QtInfoMsg))
            qInfo() << "SlotRecvRequest" << "404 Not Found";
        return;
    }
    runHandler(route.value(), request);
}

void HttpManager::SlotRecvRequest_Pre_ThreadMold2(CTask_FormData request)
{
    logTiming("[Short_RCV][SlotRecvRequest] **********************", request);
    if (!url_routes.contains(request.url)) {
        callback_immediately(request, 404, QString());
        if (RefusalLog::admitKind(QStringLiteral("404 Not Found"), QtInfoMsg))
            qInfo() << "SlotRecvRequest_Pre_ThreadMold2" << "404 Not Found";
        return;
    }
    {
        QMutexLocker lock(&mutex);
        if (busy_urls.contains(request.url)) {
            lock.unlock();
            callback_immediately(request, 503, QString());
            if (RefusalLog::admitKind(QStringLiteral("503 Service Unavailable"), QtInfoMsg))
                qInfo() << "SlotRecvRequest_Pre_ThreadMold2" << "503  Service Unavailable";
            return;
        }
    }
    QMetaObject::invokeMethod(this, "SlotRecvRequest_ThreadMold2", Qt::QueuedConnection,
                              Q_ARG(CTask_FormData, request));
}

void HttpManager::SlotRecvRequest_ThreadMold2(CTask_FormData request)
{
    if (!url_routes.contains(request.url)) {
        markServed(request);
        return;
    }
    {
        QMutexLocker lock(&mutex);
        if (busy_urls.contains(request.url)) {
            // Accepted while the url was free, but the request before it still has its reply
            // to make (on a work thread, or in a handler this one interrupts): it waits its turn.
            waiting_requests.append(request);
            return;
        }
        busy_urls.append(request.url);
    }
    serveHeld(request);
}

void HttpManager::serveHeld(const CTask_FormData& request)
{
    const auto route = url_routes.constFind(request.url);
    if (route == url_routes.cend()) {   // routes do not change once the reactor runs
        serveNext(passUrlOn(request.url));
        markServed(request);
        return;
    }
    // A handler may run inside another's nested event loop: each keeps its own mark.
    const bool outerDeferred = handler_deferred;
    handler_deferred = false;
    ++handler_depth;
    runHandler(route.value(), request);   // never throws
    --handler_depth;
    const bool deferred = handler_deferred;
    handler_deferred = outerDeferred;
    std::optional<CTask_FormData> next;
    if (!deferred)
        next = passUrlOn(request.url);
    if (handler_depth > 0) {
        // An outer handler still runs in a nested event loop; it flushes.
        held_sends.append({request, true});
        serveNext(next);
        return;
    }
    const QList<HeldSend> sends = std::move(held_sends);
    held_sends.clear();
    // The usual handler sends its one reply last: it goes with the report that the request is
    // done, in one hop.
    const bool joined = !deferred && !sends.isEmpty() && !sends.last().served_mark &&
                        answers(sends.last().record, request);
    for (int i = 0; i < sends.size(); ++i) {
        const HeldSend& held = sends.at(i);
        if (joined && i == sends.size() - 1)
            answer(request, held.record);
        else if (held.served_mark)
            markServed(held.record);
        else
            sendAsync(held.record);
    }
    if (!deferred && !joined)
        markServed(request);
    serveNext(next);
}

std::optional<CTask_FormData> HttpManager::passUrlOn(const QString& url)
{
    QMutexLocker lock(&mutex);
    for (int i = 0; i < waiting_requests.size(); ++i) {
        if (waiting_requests.at(i).url == url)
            return waiting_requests.takeAt(i);   // the url stays busy: it is this one's now
    }
    busy_urls.removeOne(url);
    return std::nullopt;
}

void HttpManager::serveNext(const std::optional<CTask_FormData>& next)
{
    if (!next)
        return;
    // Queued, also from this thread: it starts after what the request before it has sent.
    QMetaObject::invokeMethod(this, [this, request = *next] { serveHeld(request); }, Qt::QueuedConnection);
}

void HttpManager::answerLater(const CTask_FormData& request, Work work)
{
    handler_deferred = true;
    QtConcurrent::run(&work_pool, [this, request, work] {
        std::optional<CTask_FormData> reply;
        // Work that fails must still let its url and its connection's later replies go.
        try {
            reply = work(work_stopping);
        } catch (const std::exception& error) {
            qWarning().noquote() << "work for" << request.url << "failed:" << error.what();
        } catch (...) {
            qWarning().noquote() << "work for" << request.url << "failed";
        }
        finishLater(request, reply);
    });
}

void HttpManager::finishLater(const CTask_FormData& request, const std::optional<CTask_FormData>& reply)
{
    // The url is passed on before the reply leaves: a client that asks again as soon as it has
    // its answer finds the url free, unless a request that waited for it has it by then.
    const std::optional<CTask_FormData> next = passUrlOn(request.url);
    // From this thread both go straight to the reactor, the reply first; a connection that went
    // away meanwhile takes neither, and nothing else is touched. Work that the stop cut short
    // may have given up half-way: what it made is no answer.
    if (reply && !work_stopping && answers(*reply, request)) {
        answer(request, *reply);
    } else {
        if (reply && !work_stopping)
            sendAsync(*reply);
        markServed(request);
    }
    serveNext(next);
}

void HttpManager::answerBounded(const CTask_FormData& request, Estimate estimate, Work work)
{
    answerLater(request, [this, request, estimate, work](const std::atomic<bool>& stopping) {
        const auto refused = [&request] {
            if (RefusalLog::admit(request.peer_ip, QStringLiteral("reply budget")))
                qWarning().noquote() << "no room for the reply to" << request.url << "from" << request.peer_ip
                                     << "- answered 503";
            return emptyReply(request, 503, QString());
        };
        // The service's work is stopped before it goes: the reactor can be asked here.
        const auto held = currentReactor();
        const qint64 expected = SCI_ExecObj_Send::kMessageOverheadBytes + qMax<qint64>(estimate(), 0);
        if (!held || !held->reserveReply(request, expected))
            return refused();
        CTask_FormData reply = work(stopping);
        if (!held->resizeReply(request, SCI_ExecObj_Send::heldBytes(reply)))
            return refused();
        return reply;
    });
}

void HttpManager::SlotRecvResponse(CTask_FormData record, bool stashed)
{
    if (!stashed)
        return;
    const QList<TcpTsk_Info> progress = record.progressCopy();
    if (progress.isEmpty())
        return;
    const auto route = url_routes.constFind(progress.first().url);
    if (route == url_routes.cend())
        return;
    runHandler(route.value(), record);
}
