#pragma once

#include <QByteArray>
#include <QHostAddress>
#include <QList>
#include <QMutex>
#include <QObject>
#include <QSemaphore>
#include <QSharedPointer>
#include <QThreadPool>
#include <QWaitCondition>

#include <atomic>

class QTcpServer;
class QTcpSocket;

// Modbus TCP server for a machine controller or plant system: holding registers 0 to 3 report
// the monitor's state and counts, writing 1 to register 4 resets the counters.
//
// Sockets live in a one-thread pool; register values are read, and the reset is done, in the
// thread that owns this object (the GUI thread), which the pool thread asks through queued
// signals and then waits for. That wait gives up as soon as the server is told to stop, so
// deinitialize() from the GUI thread never waits on a pool thread that waits on it.
class ModbusServer : public QObject {
    Q_OBJECT
public:
    static constexpr quint16 kDefaultPort = 502;
    static constexpr int kRegisterCount = 5;   // 0 run, 1 alarm, 2 total, 3 NG total, 4 reset

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
    enum class GuiCall { None, ReadRegisters, ResetCounters };

    void serve();
    bool onStart();
    void onFinish();
    void onNewConnection();
    void onReadyRead(QTcpSocket* socket);
    QByteArray handleFrame(const QByteArray& frame);
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

    std::atomic<bool> m_running{false};
    std::atomic<quint16> m_boundPort{0};
    QSemaphore m_started;

    // The one request the pool thread is waiting on, and whether waiting is still allowed.
    QMutex m_callMutex;
    QWaitCondition m_callDone;
    GuiCall m_pendingCall = GuiCall::None;
    bool m_stopping = false;
};
