#include "netservices/modbusserver.h"

#include "detection/counters.h"
#include "detection/mojuwizard.h"

#include <QEventLoop>
#include <QMutexLocker>
#include <QTcpServer>
#include <QTcpSocket>
#include <QtEndian>

#include <algorithm>

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

// A controller polls from one or two places; more connections than this are refused.
constexpr int kMaxConnections = 32;
// Input kept per connection, and replies queued to a peer that does not read them, before
// the connection stops being read (TCP then slows the sender down).
constexpr qint64 kReadBufferSize = 4096;
constexpr qint64 kMaxPendingReplyBytes = 64 * 1024;

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

QByteArray exceptionReply(const QByteArray& frame, quint8 code)
{
    QByteArray reply = frame.left(kHeaderSize + 1);   // transaction, protocol and unit ids
    setLengthField(reply, 3);
    reply.append(char(quint8(frame.at(7)) | 0x80));
    reply.append(char(code));
    return reply;
}

}  // namespace

ModbusServer::ModbusServer(const QHostAddress& address, quint16 port, QObject* parent)
    : QObject(parent), m_socketThreadPool(QSharedPointer<QThreadPool>::create()), m_registers{0, 0, 0, 0}
{
    m_socketThreadPool->setMaxThreadCount(1);
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
    m_server.reset(new QTcpServer);
    connect(m_server.data(), &QTcpServer::newConnection, m_server.data(), [this] { onNewConnection(); });
    if (!m_server->listen(m_address, m_port)) {
        qWarning().noquote() << QStringLiteral("Modbus server cannot listen on %1:%2: %3")
                                    .arg(m_address.toString())
                                    .arg(m_port)
                                    .arg(m_server->errorString());
        m_server.reset();
        return false;
    }
    m_boundPort = m_server->serverPort();
    m_running = true;
    return true;
}

void ModbusServer::onFinish()
{
    // The sockets are the server's children and close with it.
    m_server.reset();
    m_boundPort = 0;
    m_running = false;
}

void ModbusServer::onNewConnection()
{
    while (QTcpSocket* socket = m_server->nextPendingConnection()) {
        const int open = int(m_server->findChildren<QTcpSocket*>(QString(), Qt::FindDirectChildrenOnly).size());
        if (open > kMaxConnections) {
            qWarning().noquote() << QStringLiteral("Modbus connection from %1 refused: too many connections")
                                        .arg(socket->peerAddress().toString());
            socket->abort();
            delete socket;
            continue;
        }
        qDebug().noquote()
            << QStringLiteral("connect ip: %1, port:%2").arg(socket->peerAddress().toString()).arg(socket->peerPort());
        socket->setReadBufferSize(kReadBufferSize);
        connect(socket, &QTcpSocket::readyRead, socket, [this, socket] { onReadyRead(socket); });
        connect(socket, &QTcpSocket::bytesWritten, socket, [this, socket] { onReadyRead(socket); });
        connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
    }
}

void ModbusServer::onReadyRead(QTcpSocket* socket)
{
    // Frames are cut by the length field: a partial frame waits in the socket for its rest,
    // several frames in one read are answered one by one.
    while (socket->state() == QAbstractSocket::ConnectedState && socket->bytesToWrite() < kMaxPendingReplyBytes) {
        if (socket->bytesAvailable() < kHeaderSize)
            return;
        const QByteArray header = socket->peek(kHeaderSize);
        const quint16 protocol = readU16(header, 2);
        const int length = readU16(header, 4);
        if (protocol != 0 || length > kMaxLengthField) {
            qWarning().noquote() << QStringLiteral("Modbus connection from %1 closed: protocol id %2, length %3")
                                        .arg(socket->peerAddress().toString())
                                        .arg(protocol)
                                        .arg(length);
            socket->disconnectFromHost();
            return;
        }
        if (socket->bytesAvailable() < kHeaderSize + length)
            return;
        const QByteArray reply = handleFrame(socket->read(kHeaderSize + length));
        {
            QMutexLocker lock(&m_callMutex);
            if (m_stopping)
                return;
        }
        if (!reply.isEmpty())
            socket->write(reply);
    }
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
    if (!callInOwnerThread(GuiCall::ReadRegisters))
        return {};

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
