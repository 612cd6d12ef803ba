#include "transports/webskt.h"

#include "base/appclock.h"
#include "base/networkjson.h"
#include "base/publictools.h"
#include "base/giveway.h"
#include "base/refusallog.h"
#include "transports/alivestamp.h"

#include <QEventLoop>
#include <QJsonDocument>
#include <QSemaphore>
#include <QThread>
#include <QTimer>
#include <QWebSocket>
#include <QWebSocketServer>
#include <QtDebug>

// ---------------------------------------------------------------------------------------------
// WebSkt_Core

WebSkt_Core::WebSkt_Core(QObject* parent) : QObject(parent), m_pool(QSharedPointer<QThreadPool>::create())
{
    m_pool->setMaxThreadCount(1);
    qRegisterMetaType<CTask_FormData_WebSkt_Json>("CTask_FormData_WebSkt_Json");
}

WebSkt_Core::~WebSkt_Core() = default;

qint64 WebSkt_Core::nextHandle()
{
    static std::atomic<qint64> counter{0};
    return ++counter;
}

bool WebSkt_Core::onWorkerThread() const
{
    return QThread::currentThread() == m_workerThread.load();
}

bool WebSkt_Core::isRunning() const
{
    return m_pool->activeThreadCount() > 0;
}

bool WebSkt_Core::reAction(const QHostAddress& address, unsigned short port)
{
    if (onWorkerThread()) {
        qWarning("WebSkt reAction called on its own worker thread, ignored");
        return false;
    }
    deinitialize();
    m_address = address;
    m_port = port;
    return initialize();
}

bool WebSkt_Core::initialize()
{
    if (isRunning())
        return false;
    QSemaphore tried;
    bool started = false;
    m_pool->start([this, &tried, &started] {
        m_workerThread = QThread::currentThread();
        if (!onStart()) {
            onFinish();
            m_workerThread = nullptr;
            tried.release();
            return;
        }
        started = true;
        QEventLoop loop;
        const QMetaObject::Connection close =
            connect(this, &WebSkt_Core::readyToClose, &loop, &QEventLoop::quit, Qt::QueuedConnection);
        tried.release();
        loop.exec();
        disconnect(close);
        onFinish();
        m_workerThread = nullptr;
    });
    tried.acquire();
    if (started)
        return true;
    m_pool->waitForDone();   // a failed worker is leaving: let it go before reporting
    return false;
}

void WebSkt_Core::deinitialize()
{
    if (onWorkerThread()) {
        qWarning("WebSkt deinitialize called on its own worker thread, ignored");
        return;
    }
    if (!isRunning())
        return;
    emit readyToClose();
    m_pool->waitForDone();
}

void WebSkt_Core::sendTextMessage(CTask_FormData_WebSkt_Json record)
{
    if (record.user_agent.isEmpty())
        record.user_agent = QStringLiteral("sc_webskt#") + AppClock::now().toString(QStringLiteral("yyyyMMdd_hhmmss_zzz"));
    emit sig_send_message(record);
}

CTask_FormData_WebSkt_Json WebSkt_Core::analyseBuffer_Setup1_Json(const QString& text, const QString& peer)
{
    CTask_FormData_WebSkt_Json record;
    // Never fewer bytes than UTF-16 units: one too long is refused before it is converted.
    if (text.size() > kJsonBounds.maxBytes)
        return record;
    const NetworkJson::Decoded decoded = NetworkJson::decode(text.toUtf8(), kJsonBounds);
    if (decoded.repeatedName && RefusalLog::admit(peer, QStringLiteral("duplicate key")))
        qWarning() << "WebSkt: message dropped, an object in it repeats a name";
    if (!decoded.ok())
        return record;
    const QJsonObject object = decoded.document.object();
    if (!object.contains(QLatin1String("url")) || !object.contains(QLatin1String("user_agent")))
        return record;
    record.url = object.value(QLatin1String("url")).toString();
    record.user_agent = object.value(QLatin1String("user_agent")).toString();
    const QJsonValue data = object.value(QLatin1String("data"));
    if (!data.isObject())
        return record;
    record.data = data.toObject();
    record.is_valid = true;
    return record;
}

QString WebSkt_Core::serialize_Setup2_Json(const CTask_FormData_WebSkt_Json& record)
{
    const QJsonObject object{{QStringLiteral("url"), record.url},
                             {QStringLiteral("user_agent"), record.user_agent},
                             {QStringLiteral("data"), record.data}};
    const QByteArray bytes = QJsonDocument(object).toJson(QJsonDocument::Compact);
    const int nul = bytes.indexOf('\0');
    return QString::fromUtf8(nul < 0 ? bytes : bytes.left(nul));
}

// ---------------------------------------------------------------------------------------------
// WebSkt_Server

WebSkt_Server::WebSkt_Server(QObject* parent) : WebSkt_Core(parent) {}

WebSkt_Server::~WebSkt_Server()
{
    deinitialize();
}

int WebSkt_Server::isCnted() const
{
    QReadLocker lock(&m_lock);
    return m_clients.size();
}

bool WebSkt_Server::onStart()
{
    m_server = QSharedPointer<QWebSocketServer>::create(QStringLiteral("websocket"), QWebSocketServer::NonSecureMode);
    connect(m_server.data(), &QWebSocketServer::newConnection, m_server.data(), [this] { onNewConnection(); });
    connect(this, &WebSkt_Core::sig_send_message, m_server.data(),
            [this](const CTask_FormData_WebSkt_Json& record) { onSend(record); });
    if (!m_server->listen(m_address, m_port)) {
        qInfo("websocket listen fail");
        return false;
    }
    m_serverPort = m_server->serverPort();
    return true;
}

void WebSkt_Server::onFinish()
{
    {
        QWriteLocker lock(&m_lock);
        for (const Client& client : qAsConst(m_clients)) {
            client.socket->disconnect();
            client.socket->abort();
        }
        m_clients.clear();
    }
    m_server.reset();   // deletes the client sockets, its children
    m_serverPort = 0;
}

void WebSkt_Server::onNewConnection()
{
    while (m_server && m_server->hasPendingConnections()) {
        QWebSocket* socket = m_server->nextPendingConnection();
        if (!socket)
            return;
        if (RefusalLog::admitKind(QStringLiteral("WebSkt_Server has new client connected!"), QtInfoMsg))
            qInfo("WebSkt_Server has new client connected!");
        socket->setMaxAllowedIncomingMessageSize(quint64(kMaxMessageBytes));
        socket->setMaxAllowedIncomingFrameSize(quint64(kMaxMessageBytes));
        const qint64 handle = nextHandle();
        QWebSocket* leaving = nullptr;
        bool full = false;
        {
            QWriteLocker lock(&m_lock);
            full = m_clients.size() >= kMaxClients;
            if (full)
                leaving = takeClientGivingWay();
            if (!full || leaving)
                m_clients.insert(handle, Client{socket, 0});
        }
        const QString peer = socket->peerAddress().toString();
        if (full && !leaving) {
            if (RefusalLog::admit(socket->peerAddress(), QStringLiteral("client limit")))
                qWarning().noquote() << "WebSkt_Server: all" << kMaxClients << "clients in use, connection from" << peer
                                     << "refused";
            socket->abort();
            socket->deleteLater();
            continue;
        }
        if (leaving) {
            // Out of the table already: its disconnect handler must not look for it.
            if (RefusalLog::admit(socket->peerAddress(), QStringLiteral("client limit")))
                qWarning().noquote() << "WebSkt_Server: more than" << kMaxClients << "clients, closing"
                                     << leaving->peerAddress().toString() << "for a connection from" << peer;
            leaving->disconnect();
            leaving->abort();
            leaving->deleteLater();
        }
        connect(socket, &QWebSocket::textMessageReceived, socket,
                [this, handle](const QString& text) { onText(handle, text); });
        connect(socket, &QWebSocket::disconnected, socket, [this, handle] { onDisconnected(handle); });
    }
}

QWebSocket* WebSkt_Server::takeClientGivingWay()
{
    GiveWay<qint64> choice(AppClock::steadyMs(), kBusyMs);
    // Handles grow with each accept: the smallest is the oldest.
    for (auto it = m_clients.cbegin(); it != m_clients.cend(); ++it) {
        const bool asked = it->lastMessageMs != 0;
        choice.offer(it.key(), quint64(it.key()), asked, asked ? it->lastMessageMs : -1);
    }
    if (!choice.found())
        return nullptr;
    const auto leaving = m_clients.find(choice.leaving());
    QWebSocket* socket = leaving->socket;
    m_clients.erase(leaving);
    return socket;
}

void WebSkt_Server::onText(qint64 handle, const QString& text)
{
    QWebSocket* socket = nullptr;
    {
        QWriteLocker lock(&m_lock);
        auto it = m_clients.find(handle);
        if (it == m_clients.end())
            return;
        it->lastMessageMs = AppClock::steadyMs();
        socket = it->socket;
    }
    CTask_FormData_WebSkt_Json record = analyseBuffer_Setup1_Json(text, socket->peerAddress().toString());
    if (!record.is_valid)
        return;
    record.client_handle = handle;
    emit sig_recv_message(record);   // without the lock: a receiver may answer at once
}

void WebSkt_Server::onDisconnected(qint64 handle)
{
    QWebSocket* socket = nullptr;
    {
        QWriteLocker lock(&m_lock);
        socket = m_clients.value(handle).socket;
        m_clients.remove(handle);
    }
    if (!socket)
        return;
    if (socket->closeCode() == QWebSocketProtocol::CloseCodeTooMuchData
        && RefusalLog::admit(socket->peerAddress(), QStringLiteral("message over 16 MiB")))
        qWarning() << "WebSkt_Server refused a message over 16 MiB from" << socket->peerAddress().toString();
    if (RefusalLog::admitKind(QStringLiteral("WebSkt_Server had one client disconnected"), QtInfoMsg))
        qInfo() << "WebSkt_Server had one client disconnected:" << socket->peerAddress().toString();
    socket->deleteLater();
}

void WebSkt_Server::onSend(const CTask_FormData_WebSkt_Json& record)
{
    const QString text = serialize_Setup2_Json(record);
    QList<QWebSocket*> stalled;
    {
        QReadLocker lock(&m_lock);
        QList<QWebSocket*> targets;
        if (record.client_handle != 0) {
            const auto it = m_clients.constFind(record.client_handle);
            if (it == m_clients.constEnd()) {
                if (RefusalLog::admitKind(QStringLiteral("message for a client that has gone"), QtWarningMsg))
                    qWarning() << "WebSkt_Server: message for a client that has gone, dropped:" << record.url;
                return;
            }
            targets << it->socket;
        } else {
            for (const Client& client : qAsConst(m_clients))
                targets << client.socket;
        }
        for (QWebSocket* socket : qAsConst(targets)) {
            if (socket->bytesToWrite() > kMaxUnsentBytes) {
                stalled << socket;
                continue;
            }
            if (socket->sendTextMessage(text) <= 0
                && RefusalLog::admitKind(QStringLiteral("QWebSocket send fail!"), QtWarningMsg))
                qWarning("QWebSocket send fail!");
        }
    }
    // Closed outside the lock: the disconnect handler takes it to remove the client.
    for (QWebSocket* socket : qAsConst(stalled)) {
        if (RefusalLog::admit(socket->peerAddress(), QStringLiteral("client does not read")))
            qWarning() << "WebSkt_Server: client does not read what is sent to it, closed:"
                       << socket->peerAddress().toString();
        socket->abort();
    }
}

// ---------------------------------------------------------------------------------------------
// WebSkt_Client

WebSkt_Client::WebSkt_Client(QObject* parent) : WebSkt_Core(parent) {}

WebSkt_Client::~WebSkt_Client()
{
    deinitialize();
}

int WebSkt_Client::isCnted() const
{
    return m_hasSocket.load() && stampWithin(m_aliveStamp.load(), kAliveUnits) ? 1 : 0;
}

bool WebSkt_Client::onStart()
{
    m_handle = nextHandle();
    m_socket = QSharedPointer<QWebSocket>::create(QString(), QWebSocketProtocol::Version13);
    m_socket->setMaxAllowedIncomingMessageSize(quint64(kMaxMessageBytes));
    m_socket->setMaxAllowedIncomingFrameSize(quint64(kMaxMessageBytes));
    m_hasSocket = true;
    m_pingTimer = std::make_unique<QTimer>();
    QWebSocket* socket = m_socket.data();
    connect(m_pingTimer.get(), &QTimer::timeout, socket, [socket] { socket->ping(QByteArrayLiteral("WebSkt_Client")); });
    connect(socket, &QWebSocket::textMessageReceived, socket, [this, socket](const QString& text) {
        CTask_FormData_WebSkt_Json record = analyseBuffer_Setup1_Json(text, socket->peerAddress().toString());
        if (!record.is_valid)
            return;
        record.client_handle = m_handle;
        emit sig_recv_message(record);
    });
    connect(this, &WebSkt_Core::sig_send_message, socket,
            [this](const CTask_FormData_WebSkt_Json& record) { onSend(record); });
    connect(socket, &QWebSocket::pong, socket, [this](quint64, const QByteArray&) {
        m_aliveStamp = curtime_qint64_2_int();
    });
    connect(socket, &QWebSocket::disconnected, socket, [socket] {
        if (socket->closeCode() == QWebSocketProtocol::CloseCodeTooMuchData)
            qWarning("WebSkt_Client refused a message over 16 MiB");
    });

    QString host = m_address.toString();
    host.remove(QStringLiteral("::ffff:"));
    // An IPv6 address is written in brackets, or its colons would read as the port's.
    QUrl url;
    url.setScheme(QStringLiteral("ws"));
    url.setHost(host);
    url.setPort(m_port);

    QEventLoop wait;
    QTimer connectTimer;
    connectTimer.setSingleShot(true);
    connect(&connectTimer, &QTimer::timeout, &wait, &QEventLoop::quit);
    const QMetaObject::Connection connected = connect(socket, &QWebSocket::connected, &wait, [&, socket] {
        qInfo() << "WebSkt_Client connected:" << socket->peerAddress().toString();
        m_aliveStamp = curtime_qint64_2_int();
        m_pingTimer->start(kPingIntervalMs);
        wait.quit();
    });
    connectTimer.start(kConnectWaitMs);
    socket->open(url);
    if (socket->state() != QAbstractSocket::ConnectedState)
        wait.exec();
    disconnect(connected);
    const bool inTime = connectTimer.isActive();
    connectTimer.stop();
    qInfo() << "WebSkt_Client timer_connect_timeout.isActive()" << (inTime ? "true" : "false");
    return inTime;
}

void WebSkt_Client::onFinish()
{
    m_hasSocket = false;
    m_pingTimer.reset();
    if (m_socket) {
        m_socket->disconnect();
        m_socket->abort();
    }
    m_socket.reset();
}

void WebSkt_Client::onSend(const CTask_FormData_WebSkt_Json& record)
{
    if (!m_socket || m_socket->bytesToWrite() > kMaxUnsentBytes ||
        m_socket->sendTextMessage(serialize_Setup2_Json(record)) < 1)
        qWarning("WebSkt_Client send fail!");
}
