#include "transports/udpcore.h"

#include "base/publictools.h"
#include "base/refusallog.h"

#include <QEventLoop>
#include <QNetworkInterface>
#include <QThread>
#include <QTimer>
#include <QtDebug>

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// The text of a buffer up to its first zero byte.
QByteArray upToZero(const QByteArray& bytes)
{
    const int nul = bytes.indexOf('\0');
    return nul < 0 ? bytes : bytes.left(nul);
}

QString addressText(const sockaddr_in& address)
{
    return QString::fromStdString(nint2string(address.sin_addr.s_addr));
}

bool parseIPv4(const std::string& text, in_addr& out)
{
    return inet_pton(AF_INET, text.c_str(), &out) == 1;
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// ZLU_BroadcastSocket

ZLU_BroadcastSocket::ZLU_BroadcastSocket(const Udpsend_Cond& cond) : m_cond(cond)
{
    m_dst.sin_family = AF_INET;
    m_dst.sin_port = htons(quint16(cond.dst_port));
    in_addr source{};
    if (!parseIPv4(cond.dst_ip, m_dst.sin_addr) || !parseIPv4(cond.src_ip, source)) {
        qWarning() << "udp send: not an IPv4 address:" << QString::fromStdString(cond.src_ip) << "->"
                   << QString::fromStdString(cond.dst_ip);
        m_dst.sin_addr.s_addr = 0;
        return;
    }
    for (int attempt = 0; attempt < kBindAttempts; ++attempt) {
        const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
        if (fd < 0)
            continue;
        const int on = 1;
        sockaddr_in local{};
        local.sin_family = AF_INET;
        local.sin_addr = source;
        local.sin_port = htons(quint16(RandPort() & 0xFFFF));
        if (::setsockopt(fd, SOL_SOCKET, SO_BROADCAST, &on, sizeof on) == 0 && set_socket_nonblock(fd) >= 0 &&
            ::bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) == 0) {
            m_fd = fd;
            return;
        }
        ::close(fd);
    }
    qWarning() << "udp send: no socket could be bound to" << QString::fromStdString(cond.src_ip);
}

ZLU_BroadcastSocket::~ZLU_BroadcastSocket()
{
    if (m_fd >= 0)
        ::close(m_fd);
}

int ZLU_BroadcastSocket::send(const std::string& data)
{
    if (m_fd < 0)
        return -1;
    return int(::sendto(m_fd, data.data(), data.size(), 0, reinterpret_cast<const sockaddr*>(&m_dst), sizeof m_dst));
}

int ZLU_BroadcastSocket::send(const void* data, int length)
{
    return send(std::string(static_cast<const char*>(data), size_t(qMax(0, length))));
}

QString ZLU_BroadcastSocket::localText() const
{
    sockaddr_in local{};
    socklen_t size = sizeof local;
    if (m_fd < 0 || ::getsockname(m_fd, reinterpret_cast<sockaddr*>(&local), &size) != 0)
        return QStringLiteral("-/0");
    return QStringLiteral("%1/%2").arg(addressText(local)).arg(ntohs(local.sin_port));
}

// ---------------------------------------------------------------------------------------------
// UDP_Core

InterfaceTable UDP_Core::readInterfaces()
{
    InterfaceTable table;
    const QList<QNetworkInterface> all = QNetworkInterface::allInterfaces();
    for (const QNetworkInterface& interface : all) {
        if (interface.name() == QLatin1String("lo"))
            continue;
        QByteArray name = interface.name().toLocal8Bit();
        char ip[32] = {}, netmask[32] = {}, gateway[32] = {}, mac[32] = {};
        if (GetIfAddr(name.data(), ip, netmask, gateway, mac) < 0)
            continue;
        const DeviceNetInfo_Detail detail{interface.name(), QString::fromLatin1(ip), QString::fromLatin1(netmask),
                                          QString::fromLatin1(mac), QString::fromLatin1(gateway)};
        table.insert(detail.mac, detail);
    }
    return table;
}

UDP_Core::UDP_Core(QObject* parent) : UDP_Core(readInterfaces(), parent) {}

UDP_Core::UDP_Core(const InterfaceTable& interfaces, QObject* parent) : QObject(parent), m_interfaces(interfaces)
{
    qRegisterMetaType<sockaddr_in>("sockaddr_in");
    qRegisterMetaType<std::string>("std::string");
    qInfo() << "UDP_Core modify:" << m_interfaces.keys();
}

UDP_Core::~UDP_Core()
{
    // The loop must be gone before its descriptors are closed (and possibly reused).
    stopListen();
    QMutexLocker lock(&m_listMutex);
    for (const int fd : qAsConst(m_sockets))
        ::close(fd);
    m_sockets.clear();
}

int UDP_Core::addListen(std::string ip, int port)
{
    qInfo() << "listen:" << QString::fromStdString(ip) << "/" << port;
    m_listening = true;
    in_addr address{};
    if (!parseIPv4(ip, address) || port < 0 || port > 65535) {
        qWarning() << "listen: not an IPv4 address and port:" << QString::fromStdString(ip) << port;
        return ZLU_ERR_BIND;
    }
    const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    if (fd < 0)
        return ZLU_ERR_BIND;
    const int on = 1;
    if (::setsockopt(fd, SOL_SOCKET, SO_BROADCAST, &on, sizeof on) != 0) {
        ::close(fd);
        return ZLU_ERR_BROADCAST;
    }
    if (set_socket_nonblock(fd) < 0) {
        ::close(fd);
        return ZLU_ERR_NONBLOCK;
    }
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr = address;
    local.sin_port = htons(quint16(port));
    if (::bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
        qWarning() << "listen: bind failed:" << std::strerror(errno);
        ::close(fd);
        return ZLU_ERR_BIND;
    }
    if (fd >= FD_SETSIZE) {
        qWarning() << "listen: descriptor" << fd << "does not fit select(), closed";
        ::close(fd);
        return ZLU_ERR_BIND;
    }
    QMutexLocker lock(&m_listMutex);
    m_sockets.append(fd);
    m_listening = true;
    if (!m_loopRunning)
        startLoopLocked();
    return ZLU_SUCCESS;
}

// Under m_listMutex. A loop that has just decided to end has cleared m_loopRunning under the
// same mutex and touches nothing afterwards, so joining it here cannot wait on this thread.
void UDP_Core::startLoopLocked()
{
    if (m_thread) {
        m_thread->wait();
        m_thread.reset();
    }
    m_loopRunning = true;
    m_thread.reset(QThread::create([this] { Slot_StartListen(); }));
    m_thread->setObjectName(QStringLiteral("udp-listen"));
    m_thread->start();
}

void UDP_Core::stopListen()
{
    m_listening = false;
    std::unique_ptr<QThread> thread;
    {
        QMutexLocker lock(&m_listMutex);
        if (m_thread && QThread::currentThread() == m_thread.get())
            return;   // asked from the loop itself: it ends after this pass
        thread = std::move(m_thread);
    }
    if (thread)
        thread->wait();
}

bool UDP_Core::isListening() const
{
    QMutexLocker lock(&m_listMutex);
    return m_loopRunning && m_listening.load();
}

QList<quint16> UDP_Core::boundPorts() const
{
    QList<quint16> ports;
    QMutexLocker lock(&m_listMutex);
    for (const int fd : m_sockets) {
        sockaddr_in local{};
        socklen_t size = sizeof local;
        if (::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &size) == 0)
            ports << ntohs(local.sin_port);
    }
    return ports;
}

void UDP_Core::Slot_StartListen()
{
    bool dropping = false;   // warned, and the queue has not drained to half since
    for (;;) {
        QList<int> sockets;
        {
            QMutexLocker lock(&m_listMutex);
            if (!m_listening || m_sockets.isEmpty()) {
                m_listening = false;
                m_loopRunning = false;
                return;
            }
            sockets = m_sockets;
        }
        fd_set readable;
        FD_ZERO(&readable);
        int highest = -1;
        for (const int fd : qAsConst(sockets)) {
            if (fd < 0 || fd >= FD_SETSIZE)
                continue;
            FD_SET(fd, &readable);
            highest = qMax(highest, fd);
        }
        timeval wait{0, kSelectWaitUs};
        const int ready = ::select(highest + 1, &readable, nullptr, nullptr, &wait);
        if (ready <= 0)
            continue;
        for (const int fd : qAsConst(sockets)) {
            if (fd < 0 || fd >= FD_SETSIZE || !FD_ISSET(fd, &readable))
                continue;
            sockaddr_in local{};
            socklen_t localSize = sizeof local;
            ::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &localSize);
            char buffer[kRecvBufferBytes] = {};
            sockaddr_in sender{};
            socklen_t senderSize = sizeof sender;
            const ssize_t received =
                ::recvfrom(fd, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&sender), &senderSize);
            if (received < 0)
                continue;
            const QByteArray recvbuf(buffer, int(received));
            QString result = QStringLiteral("success");
            if (m_directHandler || QThread::currentThread() == thread()) {
                result = AnalysisRecvMessage(sender, recvbuf);
            } else if (m_queued.load() >= kMaxQueuedDatagrams) {
                result = QStringLiteral("dropped");
                if (!dropping && RefusalLog::admitKind(QStringLiteral("udp: datagrams dropping"), QtWarningMsg))
                    qWarning() << "udp: more than" << kMaxQueuedDatagrams << "datagrams wait for the handler, dropping";
                dropping = true;
            } else {
                if (m_queued.load() < kMaxQueuedDatagrams / 2)
                    dropping = false;
                ++m_queued;
                QMetaObject::invokeMethod(
                    this,
                    [this, sender, recvbuf] {
                        --m_queued;
                        AnalysisRecvMessage(sender, recvbuf);
                    },
                    Qt::QueuedConnection);
            }
            const QByteArray text = upToZero(recvbuf);
            const QString line = QStringLiteral("[UDP_RCV] %1/%2 <- %3/%4 (%5): ")
                                     .arg(addressText(local))
                                     .arg(ntohs(local.sin_port))
                                     .arg(addressText(sender))
                                     .arg(ntohs(sender.sin_port))
                                     .arg(text.size()) +
                                 QString::fromUtf8(text);
            PrintRecvMsg(result, line);
        }
    }
}

QString UDP_Core::AnalysisRecvMessage(sockaddr_in saclient, QByteArray const& recvbuf)
{
    Q_UNUSED(saclient);
    emit sig_sync_send_core(QString::fromUtf8(upToZero(recvbuf)));
    return QStringLiteral("success");
}

void UDP_Core::PrintRecvMsg(QString result, QString line)
{
    Q_UNUSED(result);
    // Anyone on the network can send datagrams as fast as the link takes them, and answers go out
    // as fast as requests come in. A subclass that overrides this still sees every one.
    const bool sent = line.startsWith(QLatin1String("[UDP_SND]"));
    if (!RefusalLog::admitKind(sent ? QStringLiteral("[UDP_SND]") : QStringLiteral("[UDP_RCV]"), QtInfoMsg))
        return;
    QByteArray latin = line.toLatin1();
    qInfo("%s", upToZero(latin).constData());
}

void UDP_Core::logSend(const ZLU_BroadcastSocket& socket, const Udpsend_Cond& cond, const std::string& data)
{
    const QByteArray text = upToZero(QByteArray::fromStdString(data));
    const QString line = QStringLiteral("[UDP_SND] %1 -> %2/%3 (%4): ")
                             .arg(socket.localText())
                             .arg(QString::fromStdString(cond.dst_ip))
                             .arg(cond.dst_port)
                             .arg(data.size()) +
                         QString::fromUtf8(text);
    PrintRecvMsg(line, line);
}

int UDP_Core::send_core(Udpsend_Cond cond, std::string data, std::string& answer)
{
    if (cond.wait_ms < 0 || cond.resend_ms < 0)
        return ZLU_ERR_PARAM;
    if (cond.wait_ms == 0) {
        ZLU_BroadcastSocket socket(cond);
        const int sent = socket.send(data);
        logSend(socket, cond, data);
        return sent == int(data.size()) ? ZLU_SUCCESS : ZLU_ERR_SEND;
    }
    // The send waits in an event loop on a thread of its own; the wait is bounded (1 s).
    int result = ZLU_ERR_TIMEOUT;
    std::unique_ptr<QThread> sender(QThread::create([&] { result = waitingSend(cond, data, answer); }));
    sender->start();
    sender->wait();
    return result;
}

int UDP_Core::waitingSend(const Udpsend_Cond& cond, const std::string& data, std::string& answer)
{
    ZLU_BroadcastSocket socket(cond);
    if (!socket.valid()) {
        logSend(socket, cond, data);
        return ZLU_ERR_SEND;
    }
    QEventLoop loop;
    bool answered = false;
    QTimer waitTimer;
    waitTimer.setSingleShot(true);
    QObject::connect(&waitTimer, &QTimer::timeout, &loop, &QEventLoop::quit);
    QObject::connect(this, &UDP_Core::sig_sync_send_core, &loop,
                     [&](const QString& text) {
                         answer = text.toStdString();
                         answered = true;
                         loop.quit();
                     },
                     Qt::QueuedConnection);

    // The first datagram leaves at once; resends follow at the period.
    const int sent = socket.send(data);
    logSend(socket, cond, data);
    if (sent != int(data.size()))
        return ZLU_ERR_SEND;
    QTimer resendTimer;
    QObject::connect(&resendTimer, &QTimer::timeout, &loop, [&] {
        socket.send(data);
        logSend(socket, cond, data);
    });
    if (cond.resend_ms > 0)
        resendTimer.start(cond.resend_ms);
    waitTimer.start(qBound(0, cond.wait_ms, kMaxWaitMs));
    loop.exec();
    resendTimer.stop();
    waitTimer.stop();
    return answered ? ZLU_SUCCESS : ZLU_ERR_TIMEOUT;
}

DeviceNetInfo_Detail UDP_Core::foundNetBaseByIP(const QString& ip) const
{
    for (const DeviceNetInfo_Detail& detail : m_interfaces) {
        if (detail.ip == ip)
            return detail;
    }
    return DeviceNetInfo_Detail();
}

QString UDP_Core::getSameUseNet(QString ip) const
{
    QString found;
    for (const DeviceNetInfo_Detail& detail : m_interfaces) {
        const QString mine = getSubNet(detail.ip, detail.netmask);
        if (!mine.isEmpty() && mine == getSubNet(ip, detail.netmask))
            found = detail.ip;
    }
    return found;
}
