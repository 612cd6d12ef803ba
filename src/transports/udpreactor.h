#pragma once

#include "netcore/sciexecobjrecv.h"
#include "netcore/session.h"
#include "netcore/taskformdata.h"

#include <QByteArray>
#include <QHash>
#include <QHostAddress>
#include <QMutex>
#include <QObject>
#include <QPair>
#include <QSharedPointer>
#include <QThreadPool>
#include <QUdpSocket>

#include <atomic>
#include <memory>

namespace JXKC {

// The transport's text messages carried over UDP: the datagram twin of the TCP reactor.
//
// One private worker thread (a one-thread pool) runs an event loop that owns the QUdpSocket;
// sends from any thread reach it through sigSendMsg, queued. Datagrams are gathered per sender
// (address and port), so one sender's halves are never completed by another's, and every whole
// message in a sender's bytes is announced. The limits are the TCP session's, plus a bound on
// senders and bytes held, so a hostile sender costs only its own partial messages.
//
// By default no port is bound: the socket takes an ephemeral port on its first send. A user
// that must receive unsolicited datagrams binds in an overriding onStart(); a subclass that
// overrides onStart() or onFinish() calls deinitialize() in its own destructor.
class UdpReactor : public QObject {
    Q_OBJECT
public:
    static constexpr int kMaxHeaderBytes = Session::kMaxHeaderBytes;   // as over TCP
    static constexpr qint64 kMaxBodyBytes = Session::kMaxBodyBytes;
    static constexpr int kMaxSenders = 256;
    static constexpr qint64 kMaxHeldBytes = 128LL * 1024 * 1024;   // all senders together
    static constexpr int kPartialTimeoutMs = 30000;                 // to finish a started message
    static constexpr int kMaxDatagramBytes = 65507;
    // sendMsg sends a message as one datagram, so no JSON body of this transport is larger; what
    // it holds is bounded as the TCP transport's replies are.
    static constexpr NetworkJson::Bounds kJsonBounds{kMaxDatagramBytes, SCI_ExecObj_Recv::kJsonBounds.maxDepth,
                                                     SCI_ExecObj_Recv::kJsonBounds.maxValues};
    static constexpr int kAliveIntervalMs = 1000;

    explicit UdpReactor(QObject* parent = nullptr);
    ~UdpReactor() override;

    // Stops and starts again with a new socket; false (with a warning) on the worker thread.
    virtual bool reAction();
    // Queues one datagram to ip:port; restarts first when stopped or when asked. False when
    // no worker runs afterwards, the port is outside 1..65535 or content exceeds a datagram.
    virtual bool sendMsg(const QByteArray& content, QString ip, int port, bool reconnect);
    // The worker's alive timer ran within the last 2 s; false before the first start.
    virtual bool getTimerAlived() const;
    virtual bool isRunning() const;
    // Worker thread: makes and wires the socket.
    virtual bool onStart();
    // Worker thread: releases the socket.
    virtual void onFinish();
    // Starts the worker; true when onStart() succeeded on it, false when already running.
    virtual bool initialize();
    // Stops the worker and waits for it; a warning and nothing else on the worker thread.
    virtual void deinitialize();

    // The socket's local port (0 until bound or first sent from).
    quint16 localPort() const { return m_localPort.load(); }

signals:
    void sigResponse(CTask_FormData record);
    void sigRequest(CTask_FormData record);
    void sigSendMsg(QByteArray content, QString ip, int port);
    void readyToClose();

protected:
    // Worker thread only; null while stopped. For overriding onStart() to bind.
    QUdpSocket* udpSocket() const { return m_socket.data(); }

private:
    using SenderKey = QPair<QString, quint16>;
    // One sender's bytes not yet consumed and the message whose body is being gathered.
    struct Assembly {
        QByteArray buffer;
        bool headerSeen = false;
        std::shared_ptr<SCI_ExecObj_Recv> current;
        qint64 lastUse = 0;
    };

    void worker();
    bool onWorkerThread() const;
    void onReadyRead();
    void onSend(const QByteArray& content, const QString& ip, int port);
    void analyseBuffer_Setup1(const QHostAddress& sender, unsigned short port);
    void analyseBuffer_Setup2_5(Assembly& assembly);
    Assembly* assemblyFor(const SenderKey& key);
    void dropAssembly(const SenderKey& key);
    void expireAssemblies();
    qint64 heldBytes() const;

    // Held (off the worker thread) while starting or stopping, so sends from several threads
    // that find the reactor stopped start it once, and none waits behind another's worker.
    QRecursiveMutex m_lifecycle;
    QSharedPointer<QThreadPool> m_pool;
    QSharedPointer<QUdpSocket> m_socket;          // worker thread only
    QHash<SenderKey, Assembly> m_assemblies;      // worker thread only
    std::atomic<int> m_aliveStamp{-1};            // -1: never started
    std::atomic<bool> m_started{false};           // the worker's loop is up (onStart() succeeded)
    std::atomic<quint16> m_localPort{0};
    std::atomic<QThread*> m_workerThread{nullptr};
};

}  // namespace JXKC
