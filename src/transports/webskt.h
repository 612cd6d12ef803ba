#pragma once

#include "base/networkjson.h"

#include <QHostAddress>
#include <QJsonObject>
#include <QMap>
#include <QMetaType>
#include <QObject>
#include <QReadWriteLock>
#include <QSharedPointer>
#include <QString>
#include <QThreadPool>

#include <atomic>
#include <memory>

class QTimer;
class QWebSocket;
class QWebSocketServer;

// One message of the WebSocket layer: a text frame holding {"url", "user_agent", "data"}.
struct CTask_FormData_WebSkt_Json {
    bool is_valid = false;
    qint64 client_handle = 0;   // the connection it came on (or goes to); 0: none / every client
    QString url;
    QString user_agent;
    QJsonObject data;
};

Q_DECLARE_METATYPE(CTask_FormData_WebSkt_Json)

// The common part of the WebSocket server and client.
//
// Each object owns a one-thread pool whose thread runs an event loop; every socket, the server
// and the timers live there and every handler runs there. Sends from any thread travel to it
// through sig_send_message, queued. initialize() blocks until onStart() has run on the worker,
// deinitialize() until the worker has ended; neither may be called on the worker itself.
class WebSkt_Core : public QObject {
    Q_OBJECT
public:
    // Whole messages above this are refused (the connection is closed by the socket).
    static constexpr qint64 kMaxMessageBytes = 16LL * 1024 * 1024;
    // More than this waiting to leave on one connection: the peer does not read, and what is
    // sent to it is not held on to without end.
    static constexpr qint64 kMaxUnsentBytes = kMaxMessageBytes;
    // A message is an envelope of three members around its user's "data", which may be large
    // but has no use for deep nesting or countless values: each value costs the decoder tens of
    // bytes, each array or object about a hundred, far more than its text.
    static constexpr NetworkJson::Bounds kJsonBounds{kMaxMessageBytes, 32, 16384};

    explicit WebSkt_Core(QObject* parent = nullptr);
    ~WebSkt_Core() override;

    // Server: the number of connected clients; client: 1 while pongs still come, else 0.
    virtual int isCnted() const = 0;
    // Stops, keeps the address and port, starts again; false on the worker thread.
    virtual bool reAction(const QHostAddress& address, unsigned short port);
    // Stamps a record without user_agent and queues it to the worker. Any thread.
    virtual void sendTextMessage(CTask_FormData_WebSkt_Json record);
    virtual bool isRunning() const;
    virtual bool onStart() = 0;
    virtual void onFinish() = 0;
    // Starts the worker; what onStart() returned on it, false when already running.
    virtual bool initialize();
    virtual void deinitialize();

    // peer names the sender in the line about a refused message (at most one a second per peer).
    static CTask_FormData_WebSkt_Json analyseBuffer_Setup1_Json(const QString& text, const QString& peer = QString());
    static QString serialize_Setup2_Json(const CTask_FormData_WebSkt_Json& record);

signals:
    void readyToClose();
    void sig_send_message(CTask_FormData_WebSkt_Json formdata);
    void sig_recv_message(CTask_FormData_WebSkt_Json formdata);

protected:
    bool onWorkerThread() const;
    // Connection identities come from one process-wide counter, never reused: a socket's
    // address may be taken again by a later connection.
    static qint64 nextHandle();

    QHostAddress m_address;
    unsigned short m_port = 0;

private:
    QSharedPointer<QThreadPool> m_pool;
    std::atomic<QThread*> m_workerThread{nullptr};
};

// Accepts any number of clients on one port and keeps a table of them.
class WebSkt_Server : public WebSkt_Core {
    Q_OBJECT
public:
    // More clients than this: one that never sent a message gives way to the newcomer (the
    // oldest such), failing that the one whose last message is oldest; one that sent a message
    // within kBusyMs never does, and the newcomer is refused instead. A connection is no sign of
    // use, so a burst of connections cannot push out a client that talks. A client that leaves
    // more than kMaxUnsentBytes unread is closed.
    static constexpr int kMaxClients = 64;
    static constexpr qint64 kBusyMs = 1000;

    explicit WebSkt_Server(QObject* parent = nullptr);
    ~WebSkt_Server() override;

    int isCnted() const override;
    bool onStart() override;
    void onFinish() override;

    // The port listened on (useful after asking for port 0); 0 while stopped.
    quint16 serverPort() const { return m_serverPort.load(); }

private:
    struct Client {
        QWebSocket* socket = nullptr;   // child of the server
        qint64 lastMessageMs = 0;       // AppClock::steadyMs() of its last message; 0 before the first
    };

    void onNewConnection();
    void onText(qint64 handle, const QString& text);
    void onDisconnected(qint64 handle);
    void onSend(const CTask_FormData_WebSkt_Json& record);
    // Under the write lock: takes out the client that gives way to a newcomer; null when none may.
    QWebSocket* takeClientGivingWay();

    QSharedPointer<QWebSocketServer> m_server;   // worker thread only
    mutable QReadWriteLock m_lock;               // guards m_clients
    QMap<qint64, Client> m_clients;              // keyed by client handle, which grows with each accept
    std::atomic<quint16> m_serverPort{0};
};

// Connects to one server, pings it every 900 ms and reports whether pongs still come.
// It does not reconnect by itself: the user restarts it with reAction(). While the server
// leaves more than kMaxUnsentBytes unread, further messages are dropped.
class WebSkt_Client : public WebSkt_Core {
    Q_OBJECT
public:
    static constexpr int kConnectWaitMs = 200;
    static constexpr int kPingIntervalMs = 900;
    static constexpr int kAliveUnits = 200;   // 2 s in 10 ms units

    explicit WebSkt_Client(QObject* parent = nullptr);
    ~WebSkt_Client() override;

    int isCnted() const override;
    bool onStart() override;
    void onFinish() override;

private:
    void onSend(const CTask_FormData_WebSkt_Json& record);

    QSharedPointer<QWebSocket> m_socket;   // worker thread only
    std::unique_ptr<QTimer> m_pingTimer;   // worker thread only
    std::atomic<bool> m_hasSocket{false};
    std::atomic<int> m_aliveStamp{-1};
    qint64 m_handle = 0;                    // worker thread only
};
