#include "netcore/tcpreactor.h"

#include "base/appclock.h"
#include "base/publictools.h"
#include "base/giveway.h"
#include "base/refusallog.h"
#include "netcore/sciexecobjrecv.h"
#include "netcore/sciexecobjsend.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QSemaphore>
#include <QThread>
#include <QtDebug>
#include <memory>

namespace JXKC {

QAtomicInt TcpReactor::_increase_index_session(0);

namespace {
QAtomicInt gAsyncTaskIndex(0);
// A session being deleted from a thread other than its own is waited for at most this long.
constexpr int kSessionDeleteWaitMs = 1000;
constexpr int kClosingGraceMs = 5000;

// Tasks are kept under their uuid as a peer's reply will carry it back.
QString taskKey(const QString& uuid)
{
    return SCI_ExecObj_Recv::withoutBlanks(uuid);
}
}  // namespace

TcpReactor::TcpReactor(const Limits& limits) : socketThreadPool_(new QThreadPool), reactor_limits(limits)
{
    socketThreadPool_->setMaxThreadCount(1);
    qRegisterMetaType<CTask_FormData>("CTask_FormData");
    qRegisterMetaType<QAbstractSocket::SocketState>("QAbstractSocket::SocketState");
    connect(&task_timer, &QTimer::timeout, this, &TcpReactor::ageTasks, Qt::QueuedConnection);
    connect(&session_timer, &QTimer::timeout, this, [this] { remove_ClientSession(-2); }, Qt::QueuedConnection);
    task_timer.start(kTaskAgeingIntervalMs);
    session_timer.start(kSessionPurgeIntervalMs);
}

TcpReactor::~TcpReactor()
{
    task_timer.stop();
    session_timer.stop();
    socketThreadPool_->waitForDone();
}

QSharedPointer<TcpReactor> TcpReactor::makeShared(TcpReactor* reactor)
{
    return QSharedPointer<TcpReactor>(reactor, [](TcpReactor* doomed) {
        if (doomed->thread() == QThread::currentThread())
            delete doomed;
        else
            doomed->deleteLater();
    });
}

bool TcpReactor::onWorkerThread() const
{
    return QThread::currentThread() == worker_thread.load();
}

bool TcpReactor::reAction(const QHostAddress& address, unsigned short port)
{
    deinitialize();
    listen_address = address;
    listen_port = port;
    return initialize();
}

bool TcpReactor::initialize()
{
    if (isRunning())
        return false;
    // The previous worker may still be leaving its thread.
    socketThreadPool_->waitForDone();
    auto ready = std::make_shared<QSemaphore>();
    auto started = std::make_shared<std::atomic<bool>>(false);
    socketThreadPool_->start([this, ready, started] {
        QEventLoop loop;
        const auto quit = connect(this, &TcpReactor::readyToClose, &loop, &QEventLoop::quit, Qt::QueuedConnection);
        worker_thread = QThread::currentThread();
        if (!onStart()) {
            worker_thread = nullptr;
            disconnect(quit);
            ready->release();
            return;
        }
        alive_stamp = curtime_qint64_2_int();
        worker_running = true;
        started->store(true);
        ready->release();

        QTimer alive;
        connect(&alive, &QTimer::timeout, &loop, [this] { alive_stamp = curtime_qint64_2_int(); });
        alive.start(1000);
        QTimer trim;
        trim.setSingleShot(true);
        connect(&trim, &QTimer::timeout, &loop, [this] {
            released_since_trim = 0;
            trimHeap();
        });
        trim_timer = &trim;
        loop.exec();
        trim_timer = nullptr;
        alive.stop();
        disconnect(quit);
        onFinish();
        // Sessions are deleted later in this thread, whose event loop has ended: do it now.
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        worker_running = false;
        worker_thread = nullptr;
    });
    ready->acquire();
    return started->load();
}

void TcpReactor::deinitialize()
{
    if (!isRunning())
        return;
    if (onWorkerThread()) {
        qWarning() << "a reactor cannot stop itself from its own thread";
        return;
    }
    emit readyToClose();
    if (socketThreadPool_->activeThreadCount() > 0 && !socketThreadPool_->waitForDone())
        qInfo() << "socketThreadPool_->waitForDone error!";
}

void TcpReactor::blockAllRecvSIG()
{
    disconnect(this, &TcpReactor::sigResponse, nullptr, nullptr);
    disconnect(this, &TcpReactor::sigRequest, nullptr, nullptr);
}

bool TcpReactor::post_async(const CTask_FormData& record)
{
    CTask_FormData copy(record);
    if (copy.uuid.isEmpty()) {
        copy.uuid = QStringLiteral("defalut#%1#%2")
                        .arg(AppClock::now().toString(QStringLiteral("yyyyMMdd_hhmmss_zzz")))
                        .arg(++gAsyncTaskIndex);
    }
    // A reply of ours answers a peer's request: no reply will come back for it.
    if (!copy.url.isEmpty())
        append_TcpTask(copy);
    addSendQueue(copy);
    return true;
}

bool TcpReactor::post_sync(CTask_FormData& request, CTask_FormData& reply, int ms)
{
    if (getAliveSession().isEmpty())
        return false;
    if (ms < 1 || ms > 60000)
        return false;
    if (onWorkerThread()) {
        // The reply would have to be read by the very thread that waits for it.
        qWarning() << "post_sync called from the reactor's own thread";
        return false;
    }
    if (taskKey(request.uuid).isEmpty())
        request.uuid = SCI_ExecObj_Send(CTask_FormData()).record().uuid;
    const QString uuid = taskKey(request.uuid);

    QEventLoop loop;
    QObject context;   // lives in the caller's thread: replies are matched here
    connect(this, &TcpReactor::sigResponse, &context,
            [&loop, &reply, uuid](const CTask_FormData& record, bool) {
                // A peer may answer with a uuid that holds the request's.
                if (!loop.isRunning() || !record.uuid.contains(uuid))
                    return;
                reply = record;
                loop.exit(1);
            },
            Qt::QueuedConnection);
    QTimer timer;
    timer.setSingleShot(true);
    connect(&timer, &QTimer::timeout, &loop, [&loop] {
        if (loop.isRunning())
            loop.exit(0);
    });
    append_TcpTask(request);
    addSendQueue(request);
    timer.start(ms);
    return loop.exec() != 0;
}

void TcpReactor::addSendQueue(const CTask_FormData& record)
{
    sendToSessions(record, false);
}

void TcpReactor::sendToSessions(const CTask_FormData& record, bool endsRequest)
{
    SCI_ExecObj_Send send(record);
    send.setEndsRequest(endsRequest);
    QList<QPointer<Session>> local;
    {
        QMutexLocker lock(&sessions_mutex);
        QList<QPointer<Session>> targets;
        if (record.session_id == -1) {
            targets = sessions.values();
        } else if (record.session_id != -2) {
            const auto it = sessions.constFind(record.session_id);
            if (it != sessions.cend())
                targets.append(it.value());
        }
        const bool local_thread = onWorkerThread();
        for (const QPointer<Session>& session : qAsConst(targets)) {
            if (!session)
                continue;
            // Posting to a session from another thread is done under the lock, which a session
            // being destroyed has to take first.
            if (local_thread)
                local.append(session);
            else
                session->SlotSendAction(send);
        }
    }
    for (const QPointer<Session>& session : qAsConst(local)) {
        if (session)
            session->SlotSendAction(send);
    }
}

QList<int> TcpReactor::getAliveSession()
{
    QMutexLocker lock(&sessions_mutex);
    QList<int> ids;
    for (auto it = sessions.cbegin(); it != sessions.cend(); ++it) {
        if (it.value() && it.value()->isWorking())
            ids.append(it.key());
    }
    return ids;
}

void TcpReactor::InitSession(Session* session)
{
    connect(session, &Session::sigRequest, this,
            [this](const CTask_FormData& record) {
                updateSoftCnted();
                emit sigRequest(record);
            },
            Qt::DirectConnection);
    connect(session, &Session::sigResponse, this,
            [this](CTask_FormData record) {
                updateSoftCnted();
                if (!isAliveTcpTask(record.uuid)) {
                    emit sigResponse(record, false);
                    return;
                }
                const CVariant<TcpTsk_Info> task = remove_TaskFromList(record.uuid);
                if (!task.isEmpty())
                    record.setProgress({task.getValue()});
                emit sigResponse(record, !task.isEmpty());
            },
            Qt::DirectConnection);
    // Handled in the session's own thread so that a closed connection is let go even when the
    // reactor's owner thread is busy.
    QTcpSocket* socket = session->tcpSocket();
    if (!socket)
        return;
    // A closing socket still flushes what was written (a last reply); one whose peer stops
    // reading is cut off after a grace period.
    connect(socket, &QAbstractSocket::stateChanged, session, [session, socket](QAbstractSocket::SocketState state) {
        if (state == QAbstractSocket::UnconnectedState)
            session->deleteLater();
        else if (state == QAbstractSocket::ClosingState)
            QTimer::singleShot(kClosingGraceMs, session, [socket] { socket->abort(); });
    });
}

bool TcpReactor::reserveBody(qint64 bytes)
{
    if (bytes <= 0)
        return true;
    qint64 held = body_held.load();
    do {
        if (held + bytes > reactor_limits.body_budget_bytes)
            return false;
    } while (!body_held.compare_exchange_weak(held, held + bytes));
    return true;
}

void TcpReactor::releaseBody(qint64 bytes)
{
    if (bytes <= 0)
        return;
    body_held -= bytes;
    if (!onWorkerThread() || !trim_timer)
        return;
    released_since_trim += bytes;
    if (released_since_trim >= kTrimAfterBodyBytes)
        trim_timer->start(kTrimQuietMs);   // from the last one on
}

void TcpReactor::openReplyAccount(int id)
{
    QMutexLocker lock(&replies_mutex);
    reply_accounts.insert(id, ReplyAccount());
}

void TcpReactor::addToTotal(qint64 delta)
{
    replies_total += delta;
}

bool TcpReactor::claimBlocks(int sessionId, qint64 bytes, qint64 now) const
{
    if (reply_claim.session == 0 || reply_claim.session == sessionId)
        return false;
    if (now - reply_claim.renewedMs >= kReplyClaimMs || !reply_accounts.contains(reply_claim.session))
        return false;
    return replies_total + bytes + reply_claim.bytes > reactor_limits.reply_budget_bytes;
}

bool TcpReactor::reserveReply(const CTask_FormData& request, qint64 bytes)
{
    bytes = qMax<qint64>(bytes, 0);
    QMutexLocker lock(&replies_mutex);
    const auto account = reply_accounts.find(request.session_id);
    if (account == reply_accounts.end())
        return false;
    // What one session asks beyond its share waits for its own replies to leave: no claim.
    if (account->held + account->reservedTotal + bytes > reactor_limits.session_reply_bytes)
        return false;
    const qint64 now = AppClock::steadyMs();
    if (replies_total + bytes > reactor_limits.reply_budget_bytes || claimBlocks(request.session_id, bytes, now)) {
        const bool claimLapsed = reply_claim.session == 0 || now - reply_claim.renewedMs >= kReplyClaimMs ||
                                 !reply_accounts.contains(reply_claim.session);
        if (claimLapsed || reply_claim.session == request.session_id)
            reply_claim = {request.session_id, bytes, now};
        return false;
    }
    if (reply_claim.session == request.session_id)
        reply_claim = ReplyClaim();
    account->reserved[request.request_seq] += bytes;
    account->reservedTotal += bytes;
    addToTotal(bytes);
    return true;
}

bool TcpReactor::resizeReply(const CTask_FormData& request, qint64 bytes)
{
    bytes = qMax<qint64>(bytes, 0);
    QMutexLocker lock(&replies_mutex);
    const auto account = reply_accounts.find(request.session_id);
    if (account == reply_accounts.end() || !account->reserved.contains(request.request_seq))
        return false;
    qint64& reserved = account->reserved[request.request_seq];
    const qint64 growth = bytes - reserved;
    if (growth > 0 && (account->held + account->reservedTotal + growth > reactor_limits.session_reply_bytes ||
                       replies_total + growth > reactor_limits.reply_budget_bytes))
        return false;
    reserved = bytes;
    account->reservedTotal += growth;
    addToTotal(growth);
    return true;
}

void TcpReactor::setHeldReplyBytes(int sessionId, qint64 held, qint64 adoptedSeq)
{
    QMutexLocker lock(&replies_mutex);
    const auto account = reply_accounts.find(sessionId);
    if (account == reply_accounts.end())
        return;
    if (adoptedSeq > 0) {
        const qint64 reserved = account->reserved.take(adoptedSeq);
        account->reservedTotal -= reserved;
        addToTotal(-reserved);
    }
    addToTotal(held - account->held);
    account->held = held;
}

qint64 TcpReactor::heldReplyBytes() const
{
    QMutexLocker lock(&replies_mutex);
    return replies_total;
}

qint64 TcpReactor::heldReplyBytes(int sessionId) const
{
    QMutexLocker lock(&replies_mutex);
    const auto account = reply_accounts.constFind(sessionId);
    return account == reply_accounts.cend() ? 0 : account->held + account->reservedTotal;
}

void TcpReactor::answerRequest(const CTask_FormData& request, const CTask_FormData& reply)
{
    if (request.request_seq <= 0 || reply.session_id != request.session_id) {
        post_async(reply);
        requestServed(request);
        return;
    }
    sendToSessions(reply, true);
}

void TcpReactor::requestServed(const CTask_FormData& request)
{
    if (request.request_seq <= 0)
        return;
    QList<QPointer<Session>> local;
    {
        QMutexLocker lock(&sessions_mutex);
        const QPointer<Session> session = sessions.value(request.session_id);
        if (!session)
            return;
        // As in addSendQueue: a hop to another thread is posted under the lock.
        if (onWorkerThread())
            local.append(session);
        else
            session->SlotRequestServed(request.request_seq);
    }
    for (const QPointer<Session>& session : qAsConst(local)) {
        if (session)
            session->SlotRequestServed(request.request_seq);
    }
}

bool TcpReactor::makeRoomForSession(const QHostAddress& peer)
{
    QPointer<Session> leaving;
    int live = 0;
    {
        QMutexLocker lock(&sessions_mutex);
        GiveWay<Session*> choice(AppClock::steadyMs(), reactor_limits.busy_ms);
        for (auto it = sessions.begin(); it != sessions.end();) {
            Session* session = it.value().data();
            if (!session) {
                it = sessions.erase(it);
                continue;
            }
            ++live;
            ++it;
            // Session ids grow with every accept: the smallest is the oldest.
            const qint64 lastRead = session->lastReadMs();
            choice.offer(session, quint64(session->id()), session->hasRequested(), lastRead > 0 ? lastRead : -1);
        }
        if (live < reactor_limits.max_sessions)
            return true;
        if (choice.found())
            leaving = choice.leaving();
        if (!leaving) {
            lock.unlock();
            if (RefusalLog::admit(peer, QStringLiteral("session limit")))
                qWarning().noquote() << QStringLiteral("session limit reached, all %1 sessions in use: connection from %2 refused")
                                            .arg(live)
                                            .arg(peer.toString());
            return false;
        }
        sessions.remove(leaving->id());
    }
    if (RefusalLog::admit(peer, QStringLiteral("session limit")))
        qWarning().noquote() << QStringLiteral("session limit reached, closing session %1 (%2) for a connection from %3")
                                    .arg(leaving->id())
                                    .arg(leaving->hasRequested() ? QStringLiteral("read longest ago")
                                                                 : QStringLiteral("oldest without a request"))
                                    .arg(peer.toString());
    leaving->closeNow();
    return true;
}

void TcpReactor::updateSoftCnted()
{
    last_activity_ms = gettimeofday_ms();
}

void TcpReactor::append_ClientSession(Session* session)
{
    QMutexLocker lock(&sessions_mutex);
    sessions.insert(session->id(), session);
}

void TcpReactor::forgetSession(int id, Session* session)
{
    {
        QMutexLocker lock(&sessions_mutex);
        const auto it = sessions.find(id);
        if (it != sessions.end() && (it.value().isNull() || it.value().data() == session))
            sessions.erase(it);
    }
    QMutexLocker lock(&replies_mutex);
    const auto account = reply_accounts.find(id);
    if (account == reply_accounts.end())
        return;
    addToTotal(-(account->held + account->reservedTotal));
    reply_accounts.erase(account);
}

void TcpReactor::remove_ClientSession(int id)
{
    QEventLoop loop;
    int pending = 0;
    {
        QMutexLocker lock(&sessions_mutex);
        for (auto it = sessions.begin(); it != sessions.end();) {
            Session* session = it.value().data();
            if (!session) {
                it = sessions.erase(it);
                continue;
            }
            if (id != -1 && it.key() != id) {
                ++it;
                continue;
            }
            it = sessions.erase(it);
            if (session->thread() == QThread::currentThread()) {
                // This thread may be inside the session's own emission (a handler closing its
                // connection): it goes once control is back in the event loop.
                session->retire();
                session->deleteLater();
                continue;
            }
            // Scheduled under the lock: a session's destructor takes it first, so the session
            // cannot be destroyed by its own thread between the look-up and this call.
            ++pending;
            connect(session, &QObject::destroyed, &loop, [&pending, &loop] {
                if (--pending == 0)
                    loop.quit();
            });
            session->deleteLater();
        }
    }
    if (pending == 0)
        return;
    QTimer::singleShot(kSessionDeleteWaitMs, &loop, &QEventLoop::quit);
    loop.exec();
}

void TcpReactor::append_TcpTask(const CTask_FormData& record)
{
    const QString key = taskKey(record.uuid);
    if (key.isEmpty())
        return;
    TcpTsk_Info info(record.uuid);
    info.url = record.url;
    QMutexLocker lock(&tasks_mutex);
    tasks.insert(key, info);
}

void TcpReactor::append_TcpTask(const QString& uuid)
{
    const QString key = taskKey(uuid);
    if (key.isEmpty())
        return;
    TcpTsk_Info info(uuid);
    info.url = uuid;
    QMutexLocker lock(&tasks_mutex);
    tasks.insert(key, info);
}

void TcpReactor::update_TcpTsk_ByUuid(const QString& uuid, const QString& key, const QList<QVariant>& values)
{
    QMutexLocker lock(&tasks_mutex);
    const auto it = tasks.find(taskKey(uuid));
    if (it != tasks.end())
        it->applyUpdate(key, values);
}

CVariant<TcpTsk_Info> TcpReactor::getTcpTask(const QString& uuid)
{
    CVariant<TcpTsk_Info> cell;
    QMutexLocker lock(&tasks_mutex);
    const auto it = tasks.constFind(taskKey(uuid));
    if (it != tasks.cend())
        cell.setValue(it.value());
    return cell;
}

CVariant<TcpTsk_Info> TcpReactor::remove_TaskFromList(const QString& uuid)
{
    CVariant<TcpTsk_Info> cell;
    QMutexLocker lock(&tasks_mutex);
    const auto it = tasks.find(taskKey(uuid));
    if (it != tasks.end()) {
        cell.setValue(it.value());
        tasks.erase(it);
    }
    return cell;
}

bool TcpReactor::isAliveTcpTask(const QString& uuid)
{
    QMutexLocker lock(&tasks_mutex);
    return tasks.contains(taskKey(uuid));
}

void TcpReactor::ageTasks()
{
    ageTasksAt(gettimeofday_ms());
}

void TcpReactor::ageTasksAt(qint64 now)
{
    QMutexLocker lock(&tasks_mutex);
    for (auto it = tasks.begin(); it != tasks.end();) {
        if (now - it->create_timing >= kTaskMaxAgeMs)
            it = tasks.erase(it);
        else
            ++it;
    }
}

// ---- server ----

TcpServReactor::~TcpServReactor()
{
    if (isRunning())
        deinitialize();
    socketThreadPool_->waitForDone();
    server.reset();
}

bool TcpServReactor::isRunning() const
{
    return worker_running.load();
}

bool TcpServReactor::onStart()
{
    {
        QMutexLocker lock(&sessions_mutex);
        server.reset(new CQTcpServer);
    }
    connect(server.data(), &QTcpServer::newConnection, this, &TcpServReactor::onNewConnection, Qt::DirectConnection);
    const bool listening = server->listen(listen_address, listen_port);
    {
        QMutexLocker lock(&sessions_mutex);
        listen_error = listening ? QString() : server->errorString();
    }
    if (!listening) {
        server.reset();
        return false;
    }
    bound_port = server->serverPort();
    return true;
}

QString TcpServReactor::listenError() const
{
    QMutexLocker lock(&sessions_mutex);
    return listen_error;
}

void TcpServReactor::onFinish()
{
    remove_ClientSession(-1);
    server.reset();
    bound_port = 0;
}

void TcpServReactor::onNewConnection()
{
    updateSoftCnted();
    while (server && server->hasPendingConnections()) {
        QTcpSocket* socket = server->nextPendingConnection();
        if (!socket)
            return;
        if (!makeRoomForSession(socket->peerAddress())) {
            socket->abort();
            delete socket;
            continue;
        }
        const int id = ++_increase_index_session;
        auto* session = new Session(this, socket, id);   // deleted when its connection closes
        InitSession(session);
        append_ClientSession(session);
        // A peer that closed before we got here leaves no session behind.
        if (socket->state() != QAbstractSocket::ConnectedState)
            session->deleteLater();
    }
}

// ---- client ----

TcpCliReactor::~TcpCliReactor()
{
    if (isRunning())
        deinitialize();
    socketThreadPool_->waitForDone();
    remove_ClientSession(-1);
}

bool TcpCliReactor::isRunning() const
{
    return worker_running.load();
}

bool TcpCliReactor::hasSession()
{
    QMutexLocker lock(&sessions_mutex);
    for (auto it = sessions.cbegin(); it != sessions.cend(); ++it) {
        if (it.value())
            return true;
    }
    return false;
}

bool TcpCliReactor::onStart()
{
    CQTcpSocket* attempt = nullptr;
    {
        QMutexLocker lock(&sessions_mutex);
        attempt = new CQTcpSocket;
        socket = attempt;
    }
    attempt->connectToHost(listen_address, listen_port, QIODevice::ReadWrite);
    if (!attempt->waitForConnected(kDialTimeoutMs)) {
        delete attempt;   // this thread ends now; a deferred delete would wait for its expiry
        return false;
    }
    updateSoftCnted();
    const int id = ++_increase_index_session;
    auto* session = new Session(this, attempt, id);
    InitSession(session);
    append_ClientSession(session);
    return true;
}

void TcpCliReactor::onFinish()
{
    remove_ClientSession(-1);
}

}  // namespace JXKC
