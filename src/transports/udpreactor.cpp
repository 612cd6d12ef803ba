#include "transports/udpreactor.h"

#include "base/publictools.h"
#include "base/refusallog.h"
#include "transports/alivestamp.h"

#include <QAbstractSocket>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QNetworkDatagram>
#include <QSemaphore>
#include <QThread>
#include <QTimer>
#include <QtDebug>

namespace JXKC {

namespace {

constexpr int kAliveUnits = 200;         // 2 s in 10 ms units

qint64 monotonicMs()
{
    static const QElapsedTimer clock = [] {
        QElapsedTimer timer;
        timer.start();
        return timer;
    }();
    return clock.elapsed();
}

}  // namespace

UdpReactor::UdpReactor(QObject* parent) : QObject(parent), m_pool(QSharedPointer<QThreadPool>::create())
{
    m_pool->setMaxThreadCount(1);
    qRegisterMetaType<CTask_FormData>("CTask_FormData");
    qRegisterMetaType<QAbstractSocket::SocketState>("QAbstractSocket::SocketState");
}

UdpReactor::~UdpReactor()
{
    // The worker calls virtual members of this object: stop it while they still exist.
    if (isRunning()) {
        emit readyToClose();
        m_pool->waitForDone();
    }
}

bool UdpReactor::onWorkerThread() const
{
    return QThread::currentThread() == m_workerThread.load();
}

bool UdpReactor::reAction()
{
    if (onWorkerThread()) {
        qWarning("UdpReactor::reAction called on its own worker thread, ignored");
        return false;
    }
    QMutexLocker lock(&m_lifecycle);
    deinitialize();
    return initialize();
}

bool UdpReactor::isRunning() const
{
    return m_pool->activeThreadCount() > 0;
}

bool UdpReactor::initialize()
{
    if (onWorkerThread())
        return false;   // running, by definition
    QMutexLocker lock(&m_lifecycle);
    if (isRunning())
        return false;
    QSemaphore tried;
    m_started = false;
    m_pool->start([this, &tried] {
        m_workerThread = QThread::currentThread();
        QEventLoop loop;
        const QMetaObject::Connection close =
            connect(this, &UdpReactor::readyToClose, &loop, &QEventLoop::quit, Qt::QueuedConnection);
        m_assemblies.clear();
        if (!onStart()) {
            disconnect(close);
            onFinish();
            m_workerThread = nullptr;
            tried.release();
            return;
        }
        m_started = true;
        m_localPort = m_socket ? m_socket->localPort() : quint16(0);
        m_aliveStamp = curtime_qint64_2_int();
        QTimer alive;
        connect(&alive, &QTimer::timeout, &loop, [this] {
            m_aliveStamp = curtime_qint64_2_int();
            expireAssemblies();
        });
        alive.start(kAliveIntervalMs);
        tried.release();
        loop.exec();
        m_started = false;
        disconnect(close);
        alive.stop();
        onFinish();
        m_assemblies.clear();
        m_workerThread = nullptr;
    });
    tried.acquire();
    if (m_started.load())
        return true;
    m_pool->waitForDone();   // a failed worker is leaving: let it go before reporting
    return false;
}

void UdpReactor::deinitialize()
{
    if (onWorkerThread()) {
        qWarning("UdpReactor::deinitialize called on its own worker thread, ignored");
        return;
    }
    QMutexLocker lock(&m_lifecycle);
    if (!isRunning())
        return;
    emit readyToClose();
    if (m_pool->activeThreadCount() > 0 && !m_pool->waitForDone())
        qInfo("socketThreadPool_->waitForDone error!");
}

bool UdpReactor::getTimerAlived() const
{
    return stampWithin(m_aliveStamp.load(), kAliveUnits);
}

bool UdpReactor::onStart()
{
    m_socket = QSharedPointer<QUdpSocket>::create();
    m_localPort = 0;
    connect(m_socket.data(), &QUdpSocket::readyRead, m_socket.data(), [this] { onReadyRead(); });
    connect(this, &UdpReactor::sigSendMsg, m_socket.data(),
            [this](const QByteArray& content, const QString& ip, int port) { onSend(content, ip, port); });
    return true;
}

void UdpReactor::onFinish()
{
    m_socket.reset();
    m_localPort = 0;
}

bool UdpReactor::sendMsg(const QByteArray& content, QString ip, int port, bool reconnect)
{
    if (port < 1 || port > 65535) {
        qWarning() << "udp send refused, port out of range:" << port;
        return false;
    }
    if (content.size() > kMaxDatagramBytes) {
        qWarning() << "udp send refused, content over one datagram:" << content.size();
        return false;
    }
    if (onWorkerThread()) {
        if (reconnect)
            reAction();   // refused there, with a warning
    } else {
        QMutexLocker lock(&m_lifecycle);
        if (!m_started.load() || reconnect)
            reAction();
    }
    if (!m_started.load())
        return false;
    emit sigSendMsg(content, ip, port);
    return true;
}

void UdpReactor::onSend(const QByteArray& content, const QString& ip, int port)
{
    if (!m_socket)
        return;
    const qint64 written = m_socket->writeDatagram(content, QHostAddress(ip), quint16(port));
    m_localPort = m_socket->localPort();
    if (written != content.size())
        qInfo() << "udp heartsend error:" << written << content.size() << m_socket->localPort();
}

void UdpReactor::onReadyRead()
{
    if (m_localPort.load() == 0 && m_socket)
        m_localPort = m_socket->localPort();
    while (m_socket && m_socket->hasPendingDatagrams()) {
        const QNetworkDatagram datagram = m_socket->receiveDatagram();
        if (!datagram.isValid())
            continue;
        const SenderKey key(datagram.senderAddress().toString(), quint16(datagram.senderPort()));
        Assembly* assembly = assemblyFor(key);
        if (!assembly)
            continue;
        assembly->buffer.append(datagram.data());
        assembly->lastUse = monotonicMs();
        analyseBuffer_Setup1(datagram.senderAddress(), quint16(datagram.senderPort()));
    }
}

UdpReactor::Assembly* UdpReactor::assemblyFor(const SenderKey& key)
{
    auto it = m_assemblies.find(key);
    if (it != m_assemblies.end())
        return &it.value();
    if (m_assemblies.size() >= kMaxSenders) {
        // Full: the sender heard from longest ago gives way.
        auto oldest = m_assemblies.begin();
        for (auto candidate = m_assemblies.begin(); candidate != m_assemblies.end(); ++candidate) {
            if (candidate->lastUse < oldest->lastUse)
                oldest = candidate;
        }
        if (RefusalLog::admit(oldest.key().first, QStringLiteral("too many senders")))
            qWarning() << "udp: more than" << kMaxSenders << "senders with partial messages, dropping"
                       << oldest.key().first << oldest.key().second;
        m_assemblies.erase(oldest);
    }
    return &m_assemblies[key];
}

void UdpReactor::dropAssembly(const SenderKey& key)
{
    m_assemblies.remove(key);
}

qint64 UdpReactor::heldBytes() const
{
    qint64 total = 0;
    for (const Assembly& assembly : m_assemblies) {
        total += assembly.buffer.size();
        if (assembly.current)
            total += assembly.current->showBody().size();
    }
    return total;
}

void UdpReactor::expireAssemblies()
{
    const qint64 now = monotonicMs();
    for (auto it = m_assemblies.begin(); it != m_assemblies.end();) {
        if (now - it->lastUse >= kPartialTimeoutMs) {
            if (RefusalLog::admit(it.key().first, QStringLiteral("partial message timed out")))
                qWarning() << "udp: partial message from" << it.key().first << it.key().second << "timed out";
            it = m_assemblies.erase(it);
        } else {
            ++it;
        }
    }
}

void UdpReactor::analyseBuffer_Setup1(const QHostAddress& sender, unsigned short port)
{
    const SenderKey key(sender.toString(), port);
    for (;;) {
        auto it = m_assemblies.find(key);
        if (it == m_assemblies.end())
            return;
        Assembly& assembly = it.value();

        if (!assembly.headerSeen) {
            const int end = assembly.buffer.indexOf("\r\n\r\n");
            if (end < 0 || end > kMaxHeaderBytes) {
                if (end > kMaxHeaderBytes || assembly.buffer.size() > kMaxHeaderBytes + 3) {
                    if (RefusalLog::admit(key.first, QStringLiteral("header over 64 KiB")))
                        qWarning() << "udp: header over 64 KiB from" << key.first << key.second << "dropped";
                    dropAssembly(key);
                } else if (assembly.buffer.isEmpty()) {
                    dropAssembly(key);   // nothing pending: forget the sender
                }
                return;
            }
            const QByteArray head = SCI_ExecObj_Recv::skipStrayLines(assembly.buffer.left(end));
            assembly.buffer.remove(0, end + 4);
            if (head.isEmpty()) {
                if (RefusalLog::admit(key.first, QStringLiteral("no HTTP/1.1 line")))
                    qWarning() << "udp: head without a HTTP/1.1 line from" << key.first << key.second << "dropped";
                continue;
            }
            assembly.current = std::make_shared<SCI_ExecObj_Recv>(head, -1, kJsonBounds);
            assembly.current->setDuplex_Info(sender, port);
            if (!assembly.current->lengthFault().isEmpty()) {
                // A length read leniently would let its body pass for a message of its own.
                if (RefusalLog::admit(key.first, assembly.current->lengthFault()))
                    qWarning().noquote() << "udp:" << assembly.current->lengthFault() << "from" << key.first
                                         << key.second << "dropped";
                dropAssembly(key);
                return;
            }
            if (assembly.current->contentLength() > kMaxBodyBytes || assembly.current->bodyTooLarge()) {
                if (RefusalLog::admit(key.first, QStringLiteral("body too large")))
                    qWarning() << "udp: body over 64 MiB, multipart over 8 MiB or JSON over a datagram announced by"
                               << key.first << key.second << "dropped";
                dropAssembly(key);
                return;
            }
            assembly.headerSeen = true;
        } else if (!assembly.current) {
            assembly.headerSeen = false;
            continue;
        }

        const int due = assembly.current->getNeedLength();
        if (due > 0 && !assembly.buffer.isEmpty()) {
            const int take = qMin(due, assembly.buffer.size());
            assembly.current->addBody(assembly.buffer.left(take));
            assembly.buffer.remove(0, take);
        }
        if (assembly.current->getNeedLength() > 0) {
            if (heldBytes() > kMaxHeldBytes) {
                if (RefusalLog::admit(key.first, QStringLiteral("too many bytes held")))
                    qWarning() << "udp: too many bytes held, dropping the message from" << key.first << key.second;
                dropAssembly(key);
            }
            return;
        }
        analyseBuffer_Setup2_5(assembly);
        assembly.headerSeen = false;
        assembly.current.reset();
    }
}

void UdpReactor::analyseBuffer_Setup2_5(Assembly& assembly)
{
    if (!assembly.current || !assembly.current->analysisIntegrality())
        return;
    const CTask_FormData record = assembly.current->getFormData();
    if (!record.url.isEmpty())
        emit sigRequest(record);
    else
        emit sigResponse(record);
}

}  // namespace JXKC
