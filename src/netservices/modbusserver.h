#pragma once

#include <QByteArray>
#include <QElapsedTimer>
#include <QHostAddress>
#include <QList>
#include <QMutex>
#include <QObject>
#include <QSemaphore>
#include <QSharedPointer>
#include <QThreadPool>
#include <QWaitCondition>

#include <atomic>

class ModbusConnection;
class QTcpServer;

// Modbus TCP server for a machine controller or plant system: holding registers 0 to 3 report
// the monitor's state and counts, writing 1 to register 4 resets the counters.
//
// Sockets live in a one-thread pool; register values are read, and the reset is done, in the
// thread that owns this object (the GUI thread), which the pool thread asks through queued
// signals and then waits for. That wait gives up as soon as the server is told to stop, so
// deinitialize() from the GUI thread never waits on a pool thread that waits on it. Reads that
// arrive together share one such call, so a client that pipelines requests costs the GUI
// thread one call per batch, not one per request.
//
// Each client is a ModbusConnection on its raw descriptor rather than a QTcpSocket: the peer
// may pipeline requests without reading (input is then paused only while its replies are
// queued, and always resumes), and may shut down its sending side and still get its replies.
// At most kMaxConnections are held. When a new one comes beyond that, a connection that has
// never sent a request gives way (the oldest such); failing that, the one whose last request
// is oldest, unless that request came within kBusyMs: then the new connection is refused, so a
// burst of connections that only open can never push out a poller.
class ModbusServer : public QObject {
    Q_OBJECT
public:
    static constexpr quint16 kDefaultPort = 502;
    static constexpr int kRegisterCount = 5;   // 0 run, 1 alarm, 2 total, 3 NG total, 4 reset
    // A controller polls from one or two places; past this the longest-idle connection gives way.
    static constexpr int kMaxConnections = 32;
    // A connection that sent a request this recently is in use and never gives way.
    static constexpr qint64 kBusyMs = 1000;

    explicit ModbusServer(const QHostAddress& address = QHostAddress::Any, quint16 port = kDefaultPort,
                          QObject* parent = nullptr);
    ~ModbusServer() override;

    // Stops serving and starts again on the given address and port.
    bool reAction(const QHostAddress& address, quint16 port);
    // Starts the serving task and waits until it has tried to listen.
    bool initialize();
    // Stops the serving task and waits for it; its sockets are closed.
    void deinitialize();
    bool isRunning() const;
    // The port actually listened on (useful after asking for port 0); 0 while stopped.
    quint16 serverPort() const;
    // Why the last start could not listen (the socket's own words); empty when it listens.
    // The owner's thread, after initialize() or reAction() has returned.
    QString listenError() const { return m_listenError; }

    // The values of registers 0 to 3 as the detection screen shows them now (GUI thread).
    static QList<quint16> currentRegisters();
    // Zeroes the per-camera totals and NG counts and stores them (GUI thread).
    static void resetCounters();

signals:
    // Emitted by the pool thread: the owner's thread is to serve the pending request.
    void onRecvRequest();
    void modifyData();
    // Ends the serving task's event loop.
    void readyToClose();

private:
    friend class ModbusConnection;
    enum class GuiCall { None, ReadRegisters, ResetCounters };

    void serve();
    bool onStart();
    void onFinish();
    void onNewConnection(qintptr descriptor);
    // Pool thread: closes the connection that gives way to a new one; false when none may.
    bool makeRoom();
    // Pool thread: a closed connection leaves the list it is evicted from.
    void forget(ModbusConnection* connection);
    // Pool thread: the reply to one whole frame, empty for none. A batch of frames read
    // together starts with startBatch(), so its reads share one register snapshot.
    void startBatch();
    QByteArray handleFrame(const QByteArray& frame);
    // True once deinitialize() began; replies computed after that are not sent.
    bool stopping();
    QByteArray readHoldingRegisters(const QByteArray& frame);
    QByteArray writeMultipleRegisters(const QByteArray& frame);

    // Pool thread: hands the call to the owner's thread and waits until it is served; false
    // when the server is stopping and the call was dropped.
    bool callInOwnerThread(GuiCall call);
    // Owner's thread: serves the pending call, if it is still wanted.
    void servePendingCall(GuiCall call);

    QHostAddress m_address;
    quint16 m_port = kDefaultPort;
    QSharedPointer<QThreadPool> m_socketThreadPool;
    QSharedPointer<QTcpServer> m_server;   // pool thread only
    QList<quint16> m_registers;            // snapshot of registers 0 to 3, under m_callMutex
    bool m_registersFresh = false;         // pool thread only: snapshot taken in this batch

    // Pool thread only: the open connections (children of m_server), a count of accepted
    // connections that orders them by age, and the clock their requests are timed by.
    QList<ModbusConnection*> m_connections;
    quint64 m_accepted = 0;
    QElapsedTimer m_clock;

    std::atomic<bool> m_running{false};
    std::atomic<quint16> m_boundPort{0};
    // Written by the pool thread before it releases m_started, read after initialize() took it.
    QString m_listenError;
    QSemaphore m_started;

    // The one request the pool thread is waiting on, and whether waiting is still allowed.
    QMutex m_callMutex;
    QWaitCondition m_callDone;
    GuiCall m_pendingCall = GuiCall::None;
    bool m_stopping = false;
};
