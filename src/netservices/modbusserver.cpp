#include "netservices/modbusserver.h"

#include "base/giveway.h"
#include "base/refusallog.h"
#include "detection/counters.h"
#include "detection/mojuwizard.h"

#include <QEventLoop>
#include <QMutexLocker>
#include <QSocketNotifier>
#include <QTcpServer>
#include <QTimer>
#include <QtEndian>

#include <algorithm>
#include <functional>

#include <cerrno>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// Application data unit: MBAP header (transaction, protocol, length), unit id, function code.
constexpr int kHeaderSize = 6;
constexpr int kMaxLengthField = 260;
constexpr int kShortestServedFrame = 10;

constexpr quint8 kReadHoldingRegisters = 3;
constexpr quint8 kWriteMultipleRegisters = 16;
constexpr int kMaxReadQuantity = 125;
constexpr int kMaxWriteQuantity = 123;
constexpr int kResetRegister = 4;

constexpr quint8 kIllegalFunction = 0x01;
constexpr quint8 kIllegalDataAddress = 0x02;
constexpr quint8 kIllegalDataValue = 0x03;

// Input kept per connection, and replies queued to a peer that does not read them, before
// the connection stops being read (TCP then slows the sender down).
constexpr int kReadBufferSize = 4096;
constexpr int kMaxPendingReplyBytes = 64 * 1024;
constexpr int kAcceptRetryMs = 1000;

quint16 readU16(const QByteArray& data, int offset)
{
    return qFromBigEndian<quint16>(reinterpret_cast<const uchar*>(data.constData()) + offset);
}

void appendU16(QByteArray& data, quint16 value)
{
    data.append(char(value >> 8));
    data.append(char(value & 0xFF));
}

void setLengthField(QByteArray& adu, quint16 length)
{
    adu[4] = char(length >> 8);
    adu[5] = char(length & 0xFF);
}

// Hands each accepted descriptor on instead of wrapping it in a QTcpSocket.
class ModbusListener : public QTcpServer {
public:
    explicit ModbusListener(std::function<void(qintptr)> onIncoming) : m_onIncoming(std::move(onIncoming)) {}

protected:
    void incomingConnection(qintptr descriptor) override { m_onIncoming(descriptor); }

private:
    std::function<void(qintptr)> m_onIncoming;
};

std::pair<QHostAddress, quint16> peerOf(int descriptor)
{
    sockaddr_storage address{};
    socklen_t size = sizeof(address);
    if (::getpeername(descriptor, reinterpret_cast<sockaddr*>(&address), &size) != 0)
        return {QHostAddress(), 0};
    const quint16 port = address.ss_family == AF_INET6
                             ? ntohs(reinterpret_cast<const sockaddr_in6&>(address).sin6_port)
                             : ntohs(reinterpret_cast<const sockaddr_in&>(address).sin_port);
    QHostAddress host(reinterpret_cast<const sockaddr*>(&address));
    // A dual-stack listener sees IPv4 peers as mapped IPv6 addresses; logs name them plainly.
    bool isIPv4 = false;
    const quint32 ipv4 = host.toIPv4Address(&isIPv4);
    if (isIPv4)
        host.setAddress(ipv4);
    return {host, port};
}

QByteArray exceptionReply(const QByteArray& frame, quint8 code)
{
    QByteArray reply = frame.left(kHeaderSize + 1);   // transaction, protocol and unit ids
    setLengthField(reply, 3);
    reply.append(char(quint8(frame.at(7)) | 0x80));
    reply.append(char(code));
    return reply;
}

}  // namespace

// One client in the pool thread. Frames are cut by the length field: a partial frame waits for
// its rest, several frames in one read are answered one by one. While more than
// kMaxPendingReplyBytes of replies wait for the peer, input is not read (TCP then slows the
// sender down); it resumes as soon as they drain, whatever is buffered. The peer's end of
// input lets the queued replies go out before the close; a reset or a failed write closes at
// once, so a slot is never held by a peer that has gone.
class ModbusConnection : public QObject {
public:
    ModbusConnection(int descriptor, ModbusServer* server)
        : QObject(server->m_server.data()),
          m_descriptor(descriptor),
          m_server(server),
          m_readNotifier(new QSocketNotifier(descriptor, QSocketNotifier::Read, this)),
          m_writeNotifier(new QSocketNotifier(descriptor, QSocketNotifier::Write, this)),
          m_acceptOrder(++server->m_accepted)
    {
        std::tie(m_peerAddress, m_peerPort) = peerOf(descriptor);
        ::fcntl(descriptor, F_SETFL, ::fcntl(descriptor, F_GETFL) | O_NONBLOCK);
        const int on = 1;
        ::setsockopt(descriptor, IPPROTO_TCP, TCP_NODELAY, &on, sizeof(on));
        m_writeNotifier->setEnabled(false);
        connect(m_readNotifier, &QSocketNotifier::activated, this, [this] { onReadable(); });
        connect(m_writeNotifier, &QSocketNotifier::activated, this, [this] { pump(); });
    }

    ~ModbusConnection() override { closeDescriptor(); }

    quint64 acceptOrder() const { return m_acceptOrder; }
    // On the server's clock; -1 before the first request.
    qint64 lastRequestMs() const { return m_lastRequestMs; }
    QHostAddress peerAddress() const { return m_peerAddress; }
    quint16 peerPort() const { return m_peerPort; }

    // Closes now, dropping whatever is queued either way.
    void drop()
    {
        closeDescriptor();
        m_server->forget(this);
        deleteLater();
    }

private:
    void onReadable()
    {
        const int room = kReadBufferSize - m_input.size();
        if (room <= 0) {
            updateNotifiers();
            return;
        }
        char chunk[kReadBufferSize];
        const ssize_t received = ::recv(m_descriptor, chunk, size_t(room), 0);
        if (received > 0) {
            m_input.append(chunk, int(received));
        } else if (received == 0) {
            m_inputEnded = true;
        } else if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) {
            return;
        } else {
            drop();
            return;
        }
        pump();
    }

    // Serves the buffered frames while the replies fit, sends what the peer takes, and repeats
    // while sending made room for more; then closes or waits for the socket.
    void pump()
    {
        m_server->startBatch();
        forever {
            while (!m_closing && m_output.size() < kMaxPendingReplyBytes && serveOneFrame()) {
            }
            if (m_server->stopping())
                return;
            if (!send())
                return;
            if (m_output.size() >= kMaxPendingReplyBytes || !hasWholeFrame())
                break;
        }
        if (m_output.isEmpty() && (m_closing || m_inputEnded)) {
            drop();
            return;
        }
        updateNotifiers();
    }

    bool hasWholeFrame() const
    {
        return !m_closing && m_input.size() >= kHeaderSize && m_input.size() >= kHeaderSize + readU16(m_input, 4);
    }

    // False when no whole frame is buffered.
    bool serveOneFrame()
    {
        if (m_input.size() < kHeaderSize)
            return false;
        const quint16 protocol = readU16(m_input, 2);
        const int length = readU16(m_input, 4);
        if (protocol != 0 || length > kMaxLengthField) {
            if (RefusalLog::admit(m_peerAddress, QStringLiteral("not Modbus")))
                qWarning().noquote() << QStringLiteral("Modbus connection from %1 closed: protocol id %2, length %3")
                                            .arg(m_peerAddress.toString())
                                            .arg(protocol)
                                            .arg(length);
            m_input.clear();
            m_closing = true;
            return false;
        }
        if (m_input.size() < kHeaderSize + length)
            return false;
        const QByteArray frame = m_input.left(kHeaderSize + length);
        m_input.remove(0, kHeaderSize + length);
        m_lastRequestMs = m_server->m_clock.elapsed();
        const QByteArray reply = m_server->handleFrame(frame);
        if (m_server->stopping())
            return false;
        m_output += reply;
        return true;
    }

    // False when the connection was dropped.
    bool send()
    {
        while (!m_output.isEmpty()) {
            const ssize_t sent = ::send(m_descriptor, m_output.constData(), size_t(m_output.size()), MSG_NOSIGNAL);
            if (sent > 0) {
                m_output.remove(0, int(sent));
            } else if (sent < 0 && errno == EINTR) {
                continue;
            } else if (sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
                break;
            } else {
                drop();
                return false;
            }
        }
        return true;
    }

    void updateNotifiers()
    {
        m_readNotifier->setEnabled(!m_inputEnded && !m_closing && m_input.size() < kReadBufferSize
                                   && m_output.size() < kMaxPendingReplyBytes);
        m_writeNotifier->setEnabled(!m_output.isEmpty());
    }

    void closeDescriptor()
    {
        if (m_descriptor < 0)
            return;
        m_readNotifier->setEnabled(false);
        m_writeNotifier->setEnabled(false);
        ::close(m_descriptor);
        m_descriptor = -1;
    }

    int m_descriptor;
    ModbusServer* m_server;
    QSocketNotifier* m_readNotifier;
    QSocketNotifier* m_writeNotifier;
    QHostAddress m_peerAddress;
    quint16 m_peerPort = 0;
    QByteArray m_input;
    QByteArray m_output;
    quint64 m_acceptOrder;
    qint64 m_lastRequestMs = -1;
    bool m_inputEnded = false;   // the peer shut down its sending side
    bool m_closing = false;      // not Modbus: close once the replies so far are sent
};

ModbusServer::ModbusServer(const QHostAddress& address, quint16 port, QObject* parent)
    : QObject(parent), m_socketThreadPool(QSharedPointer<QThreadPool>::create()), m_registers{0, 0, 0, 0}
{
    m_socketThreadPool->setMaxThreadCount(1);
    m_clock.start();
    connect(this, &ModbusServer::onRecvRequest, this, [this] { servePendingCall(GuiCall::ReadRegisters); },
            Qt::QueuedConnection);
    connect(this, &ModbusServer::modifyData, this, [this] { servePendingCall(GuiCall::ResetCounters); },
            Qt::QueuedConnection);
    reAction(address, port);
}

ModbusServer::~ModbusServer()
{
    deinitialize();
}

bool ModbusServer::reAction(const QHostAddress& address, quint16 port)
{
    deinitialize();
    m_address = address;
    m_port = port;
    return initialize();
}

bool ModbusServer::initialize()
{
    if (isRunning())
        return true;
    {
        QMutexLocker lock(&m_callMutex);
        m_stopping = false;
        m_pendingCall = GuiCall::None;
    }
    m_socketThreadPool->start([this] { serve(); });
    m_started.acquire();
    return isRunning();
}

void ModbusServer::deinitialize()
{
    {
        // Frees a pool thread waiting for this thread before this thread waits for it.
        QMutexLocker lock(&m_callMutex);
        m_stopping = true;
        m_pendingCall = GuiCall::None;
        m_callDone.wakeAll();
    }
    if (isRunning())
        emit readyToClose();
    if (m_socketThreadPool->activeThreadCount() > 0 && !m_socketThreadPool->waitForDone())
        qWarning("socketThreadPool_->waitForDone error!");
}

bool ModbusServer::isRunning() const
{
    return m_running;
}

quint16 ModbusServer::serverPort() const
{
    return m_boundPort;
}

QList<quint16> ModbusServer::currentRegisters()
{
    QList<quint16> registers{0, 0, 0, 0};
    if (gpWin) {
        registers[0] = gpWin->runState() != MoJuWizard::RunStopped ? 1 : 0;
        if (gpWin->viewState() == MoJuWizard::ViewNgAlarm)
            registers[1] = gpWin->currentStep() != 0 ? 2 : 1;
    }
    registers[2] = quint16(*std::max_element(gAllNum, gAllNum + kMaxCameras));
    registers[3] = quint16(gSyncNGNum);
    return registers;
}

void ModbusServer::resetCounters()
{
    std::fill(gAllNum, gAllNum + kMaxCameras, 0);
    std::fill(gFailNum, gFailNum + kMaxCameras, 0);
    if (gpWin)
        gpWin->CountWrite();
}

void ModbusServer::serve()
{
    QEventLoop loop;
    connect(this, &ModbusServer::readyToClose, &loop, &QEventLoop::quit, Qt::QueuedConnection);
    const bool listening = onStart();
    m_started.release();
    if (!listening)
        return;
    loop.exec();
    onFinish();
}

bool ModbusServer::onStart()
{
    m_server.reset(new ModbusListener([this](qintptr descriptor) { onNewConnection(descriptor); }));
    m_listenError.clear();
    if (!m_server->listen(m_address, m_port)) {
        m_listenError = m_server->errorString();
        qWarning().noquote() << QStringLiteral("Modbus server cannot listen on %1:%2: %3")
                                    .arg(m_address.toString())
                                    .arg(m_port)
                                    .arg(m_listenError);
        m_server.reset();
        return false;
    }
    // QTcpServer stops accepting for good after an accept that fails for want of descriptors
    // or memory; the poller waiting in the backlog gets in once some are free again.
    QTcpServer* server = m_server.data();
    connect(server, &QTcpServer::acceptError, server, [server](QAbstractSocket::SocketError error) {
        qWarning().noquote() << QStringLiteral("Modbus server cannot accept a connection (error %1); trying again")
                                    .arg(int(error));
        QTimer::singleShot(kAcceptRetryMs, server, &QTcpServer::resumeAccepting);
    });
    m_boundPort = m_server->serverPort();
    m_running = true;
    return true;
}

void ModbusServer::onFinish()
{
    // The connections are the server's children and close with it.
    m_connections.clear();
    m_server.reset();
    m_boundPort = 0;
    m_running = false;
}

void ModbusServer::onNewConnection(qintptr descriptor)
{
    if (m_connections.size() >= kMaxConnections && !makeRoom()) {
        const QHostAddress peer = peerOf(int(descriptor)).first;
        if (RefusalLog::admit(peer, QStringLiteral("connection limit")))
            qWarning().noquote() << QStringLiteral("Modbus connection from %1 refused: all %2 connections are polling")
                                        .arg(peer.toString())
                                        .arg(m_connections.size());
        ::close(int(descriptor));
        return;
    }
    auto* connection = new ModbusConnection(int(descriptor), this);
    m_connections.append(connection);
    if (RefusalLog::admitKind(QStringLiteral("Modbus connect ip"), QtDebugMsg))
        qDebug().noquote() << QStringLiteral("connect ip: %1, port:%2")
                                  .arg(connection->peerAddress().toString())
                                  .arg(connection->peerPort());
}

bool ModbusServer::makeRoom()
{
    GiveWay<ModbusConnection*> choice(m_clock.elapsed(), kBusyMs);
    for (ModbusConnection* connection : qAsConst(m_connections))
        choice.offer(connection, connection->acceptOrder(), connection->lastRequestMs() >= 0, connection->lastRequestMs());
    if (!choice.found())
        return false;
    ModbusConnection* leaving = choice.leaving();
    const bool silent = choice.leavingIsSilent();
    if (RefusalLog::admit(leaving->peerAddress(), QStringLiteral("connection limit")))
        qWarning().noquote() << QStringLiteral("Modbus connection from %1 closed: %2 of %3 connections")
                                    .arg(leaving->peerAddress().toString())
                                    .arg(silent ? QStringLiteral("oldest without a request")
                                                : QStringLiteral("idle longest"))
                                    .arg(m_connections.size());
    leaving->drop();
    return true;
}

void ModbusServer::forget(ModbusConnection* connection)
{
    m_connections.removeOne(connection);
}

void ModbusServer::startBatch()
{
    m_registersFresh = false;
}

bool ModbusServer::stopping()
{
    QMutexLocker lock(&m_callMutex);
    return m_stopping;
}

QByteArray ModbusServer::handleFrame(const QByteArray& frame)
{
    if (frame.size() < kShortestServedFrame)
        return {};
    switch (quint8(frame.at(7))) {
    case kReadHoldingRegisters:
        return readHoldingRegisters(frame);
    case kWriteMultipleRegisters:
        return writeMultipleRegisters(frame);
    default:
        return exceptionReply(frame, kIllegalFunction);
    }
}

QByteArray ModbusServer::readHoldingRegisters(const QByteArray& frame)
{
    if (frame.size() < 12)
        return exceptionReply(frame, kIllegalDataValue);
    const int start = readU16(frame, 8);
    const int quantity = readU16(frame, 10);
    if (quantity < 1 || quantity > kMaxReadQuantity)
        return exceptionReply(frame, kIllegalDataValue);
    if (!m_registersFresh && !callInOwnerThread(GuiCall::ReadRegisters))
        return {};
    m_registersFresh = true;

    QList<quint16> snapshot;
    {
        QMutexLocker lock(&m_callMutex);
        snapshot = m_registers;
    }
    QByteArray reply = frame.left(8);
    setLengthField(reply, quint16(3 + 2 * quantity));
    reply.append(char(2 * quantity));
    for (int address = start; address < start + quantity; ++address)
        appendU16(reply, address < snapshot.size() ? snapshot.at(address) : 0);
    return reply;
}

QByteArray ModbusServer::writeMultipleRegisters(const QByteArray& frame)
{
    if (frame.size() < 13)
        return exceptionReply(frame, kIllegalDataValue);
    const int start = readU16(frame, 8);
    const int quantity = readU16(frame, 10);
    const int byteCount = quint8(frame.at(12));
    if (quantity < 1 || quantity > kMaxWriteQuantity || byteCount != 2 * quantity || frame.size() < 13 + byteCount)
        return exceptionReply(frame, kIllegalDataValue);
    if (start > kResetRegister)
        return exceptionReply(frame, kIllegalDataAddress);

    // Registers 0 to 3 cannot be written; only the value 1 in register 4 does something.
    if (start + quantity > kResetRegister) {
        const quint16 value = readU16(frame, 13 + 2 * (kResetRegister - start));
        if (value == 1 && !callInOwnerThread(GuiCall::ResetCounters))
            return {};
        // Later reads of the batch see the reset.
        if (value == 1)
            m_registersFresh = false;
    }
    QByteArray reply = frame.left(12);
    setLengthField(reply, 6);
    return reply;
}

bool ModbusServer::callInOwnerThread(GuiCall call)
{
    {
        QMutexLocker lock(&m_callMutex);
        if (m_stopping)
            return false;
        m_pendingCall = call;
    }
    if (call == GuiCall::ReadRegisters)
        emit onRecvRequest();
    else
        emit modifyData();

    QMutexLocker lock(&m_callMutex);
    while (m_pendingCall != GuiCall::None && !m_stopping)
        m_callDone.wait(&m_callMutex);
    return !m_stopping;
}

void ModbusServer::servePendingCall(GuiCall call)
{
    {
        // A call dropped by a stop, or already served through an earlier signal, is not redone.
        QMutexLocker lock(&m_callMutex);
        if (m_pendingCall != call)
            return;
    }
    QList<quint16> registers;
    if (call == GuiCall::ReadRegisters)
        registers = currentRegisters();
    else
        resetCounters();

    QMutexLocker lock(&m_callMutex);
    if (call == GuiCall::ReadRegisters)
        m_registers = registers;
    m_pendingCall = GuiCall::None;
    m_callDone.wakeAll();
}
