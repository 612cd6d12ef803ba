#include "transports/udpacam.h"

#include "base/platform.h"
#include "base/publictools.h"
#include "base/refusallog.h"

#include <QDateTime>
#include <QEventLoop>
#include <QTimer>
#include <QtDebug>

#include <arpa/inet.h>

namespace {

const QString kServerDashes(33, QLatin1Char('-'));
const QString kClientDashes(53, QLatin1Char('-'));

QString senderText(const sockaddr_in& address)
{
    return QString::fromStdString(nint2string(address.sin_addr.s_addr));
}

QByteArray latin(const QString& text)
{
    return text.toLatin1();
}

// Every line here follows a datagram that anyone on the network may send as fast as the link
// takes them: each kind of line is written at most a few times a second, the rest counted.
bool logged(const QString& kind)
{
    return RefusalLog::admitKind(kind, QtInfoMsg);
}

bool warned(const QString& kind)
{
    return RefusalLog::admitKind(kind, QtWarningMsg);
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// UDP_ACam_Server

UDP_ACam_Server::UDP_ACam_Server(QObject* parent) : UDP_ACam_Server(readInterfaces(), ACamRoute::camera(), parent) {}

UDP_ACam_Server::UDP_ACam_Server(const InterfaceTable& interfaces, const ACamRoute& route, QObject* parent)
    : UDP_Core(interfaces, parent), m_route(route)
{
    addListen(m_route.listen_ip, m_route.listen_port);
}

UDP_ACam_Server::~UDP_ACam_Server()
{
    stopListen();   // no datagram may reach this object's handler once it is being destroyed
}

bool UDP_ACam_Server::isAssignable(const QString& ip, const QString& netmask)
{
    in_addr address{}, mask{};
    if (inet_pton(AF_INET, ip.toLatin1().constData(), &address) != 1 ||
        inet_pton(AF_INET, netmask.toLatin1().constData(), &mask) != 1)
        return false;
    const quint32 a = ntohl(address.s_addr);
    const quint32 m = ntohl(mask.s_addr);
    const quint32 host = ~m;
    if ((host & (host + 1)) != 0)
        return false;   // not contiguous
    const int prefix = __builtin_popcount(m);
    if (prefix < 1 || prefix > 30)
        return false;
    if (a == 0 || a == 0xFFFFFFFFu || (a >> 24) == 127 || (a >> 28) == 0xE || (a >> 28) == 0xF)
        return false;
    return (a & host) != 0 && (a & host) != host;
}

QString UDP_ACam_Server::AnalysisRecvMessage(sockaddr_in saclient, QByteArray const& recvbuf)
{
    uint16_t code = 0;
    if (!gvcp_read_code(recvbuf, code))
        return QStringLiteral("no success");
    if (logged(QStringLiteral("ArmServ AnalysisRecvMessage")))
        qInfo("AnalysisRecvMessage");
    const QString requester = senderText(saclient);
    switch (code) {
    case GVCP_DISCOVERY_CMD:
        answerDiscover(requester);
        break;
    case GVCP_DAEMON_CMD:
        applyDaemon(recvbuf);
        break;
    case GVCP_FORCEIP_CMD:
        applyForceIP(requester, recvbuf);
        break;
    default:
        break;
    }
    return QStringLiteral("success");
}

void UDP_ACam_Server::sendAnswer(const QString& sourceIp, const std::string& bytes)
{
    std::string unused;
    send_core(Udpsend_Cond{m_route.send_ip, m_route.send_port, sourceIp.toStdString(), 0, 0}, bytes, unused);
}

void UDP_ACam_Server::answerDiscover(const QString& requester)
{
    for (const DeviceNetInfo_Detail& entry : qAsConst(m_interfaces)) {
        const std::string answer =
            gvcp_ack_discover(latin(device_id).constData(), latin(requester).constData(), latin(entry.ip).constData(),
                              latin(entry.netmask).constData(), latin(entry.gateway).constData(),
                              latin(entry.mac).constData());
        sendAnswer(entry.ip, answer);
        if (logged(QStringLiteral("ArmServ-Send(gvcp_ack_discover)")))
            qInfo().noquote() << "ArmServ-Send(gvcp_ack_discover) callback from:" << device_id << entry.ip << "to"
                              << requester;
    }
}

void UDP_ACam_Server::applyDaemon(const QByteArray& recvbuf)
{
    gvcp_daemon_payload payload;
    if (!gvcp_read_daemon(recvbuf, payload)) {
        if (warned(QStringLiteral("ArmServ: short set-clock/restart command")))
            qWarning("ArmServ: set-clock/restart command shorter than its payload, ignored");
        return;
    }
    CommandRunner* runner = CommandRunner::instance();
    if (payload.type == GVCP_TYPE_UPDATETIME) {
        const QDateTime when = QDateTime::fromMSecsSinceEpoch(qint64(payload.time_ms)).toLocalTime();
        const QString text = when.toString(QStringLiteral("yyyyMMdd hh:mm:ss"));
        if (payload.time_ms > quint64(253402300799999ULL) || text.isEmpty()) {
            if (warned(QStringLiteral("ArmServ: set-clock time out of range")))
                qWarning() << "ArmServ: set-clock time out of range, ignored:" << payload.time_ms;
            return;
        }
        runner->run(QStringLiteral("cp"), {Platform::path(QStringLiteral("/usr/share/zoneinfo/Asia/Shanghai")),
                                           Platform::path(QStringLiteral("/etc/localtime"))});
        if (runner->run(QStringLiteral("date"), {QStringLiteral("-s"), text}).ok())
            runner->run(QStringLiteral("hwclock"), {QStringLiteral("--systohc")});
        emit sig_updatetime();
        if (!m_interfaces.isEmpty())
            sendAnswer(m_interfaces.first().ip, gvcp_ack_updatetime());
    } else if (payload.type == GVCP_TYPE_REBOOTDAEMON) {
        emit sig_rebootdaemon();
        if (!m_interfaces.isEmpty())
            sendAnswer(m_interfaces.first().ip, gvcp_ack_rebootdaemon());
    }
}

void UDP_ACam_Server::applyForceIP(const QString& requester, const QByteArray& recvbuf)
{
    gvcp_forceip_payload payload{};
    if (!gvcp_read_payload(recvbuf, &payload, sizeof payload)) {
        if (warned(QStringLiteral("ArmServ: short force-address command")))
            qWarning("ArmServ: force-address command shorter than its payload, ignored");
        return;
    }
    const QString ip = gvcp_ip_text(payload.ip);
    const QString netmask = gvcp_ip_text(payload.netmask);
    const QString gateway = gvcp_ip_text(payload.gateway);
    const QString id = gvcp_text(payload.device_id, sizeof payload.device_id);
    if (logged(QStringLiteral("ArmServ-Recv(gvcp_forceip_req)")))
        qInfo().noquote() << "ArmServ-Recv(gvcp_forceip_req):" << id << ip << netmask << gateway;

    if (id == device_id && !m_interfaces.isEmpty()) {
        if (!isAssignable(ip, netmask)) {
            if (warned(QStringLiteral("ArmServ: refused force-address")))
                qWarning().noquote() << "ArmServ: refused force-address" << ip << netmask
                                     << "(not a host address under a /1../30 netmask)";
        } else {
            const DeviceNetInfo_Detail first = m_interfaces.first();
            CommandRunner* runner = CommandRunner::instance();
            runner->run(QStringLiteral("ip"), {QStringLiteral("addr"), QStringLiteral("flush"), QStringLiteral("dev"), first.name});
            runner->run(QStringLiteral("ip"), {QStringLiteral("route"), QStringLiteral("flush"), QStringLiteral("table"),
                                               QStringLiteral("main")});
            runner->run(QStringLiteral("ifconfig"), {first.name, ip, QStringLiteral("netmask"), netmask});
            runner->run(QStringLiteral("route"), {QStringLiteral("add"), QStringLiteral("default"), QStringLiteral("gw"), gateway});

            QByteArray name = first.name.toLocal8Bit();
            char newIp[32] = {}, newMask[32] = {}, newGateway[32] = {}, newMac[32] = {};
            if (GetIfAddr(name.data(), newIp, newMask, newGateway, newMac) >= 0) {
                const DeviceNetInfo_Detail fresh{first.name, QString::fromLatin1(newIp), QString::fromLatin1(newMask),
                                                 QString::fromLatin1(newMac), QString::fromLatin1(newGateway)};
                m_interfaces.insert(fresh.mac, fresh);
            }
            const DeviceNetInfo_Detail now = m_interfaces.first();
            sendAnswer(now.ip, gvcp_ack_forceip(latin(device_id).constData(), latin(requester).constData(),
                                                latin(now.ip).constData(), latin(now.netmask).constData(),
                                                latin(now.gateway).constData(), latin(now.mac).constData()));
            if (logged(QStringLiteral("ArmServ-Send(gvcp_forceip_req)")))
                qInfo().noquote() << "ArmServ-Send(gvcp_forceip_req) response new info:" << device_id << now.ip;
        }
    }
    if (logged(QStringLiteral("ArmServ dashes")))
        qInfo().noquote() << kServerDashes;
}

// ---------------------------------------------------------------------------------------------
// UDP_ACam_Client

UDP_ACam_Client::UDP_ACam_Client(QObject* parent) : UDP_ACam_Client(readInterfaces(), ACamRoute::host(), parent) {}

UDP_ACam_Client::UDP_ACam_Client(const InterfaceTable& interfaces, const ACamRoute& route, QObject* parent)
    : UDP_Core(interfaces, parent), m_route(route)
{
    addListen(m_route.listen_ip, m_route.listen_port);
    ActUpdateTime();
}

UDP_ACam_Client::~UDP_ACam_Client()
{
    stopListen();
}

void UDP_ACam_Client::waitLocally(int ms)
{
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

void UDP_ACam_Client::sendCommand(const QString& sourceIp, const std::string& bytes)
{
    std::string unused;
    send_core(Udpsend_Cond{m_route.send_ip, m_route.send_port, sourceIp.toStdString(), 0, 0}, bytes, unused);
}

QString UDP_ACam_Client::AnalysisRecvMessage(sockaddr_in saclient, QByteArray const& recvbuf)
{
    Q_UNUSED(saclient);
    uint16_t code = 0;
    if (!gvcp_read_code(recvbuf, code))
        return QStringLiteral("no success");
    if (code == GVCP_DISCOVERY_ACK) {
        gvcp_discover_ack_payload answer{};
        if (!gvcp_read_payload(recvbuf, &answer, sizeof answer)) {
            if (warned(QStringLiteral("AppCli: short discovery answer")))
                qWarning("AppCli: discovery answer shorter than its payload, ignored");
            return QStringLiteral("no success");
        }
        const QString id = gvcp_text(answer.device_id, sizeof answer.device_id);
        if (!m_found.contains(id) && m_found.size() >= kMaxFound) {
            if (warned(QStringLiteral("AppCli: too many cameras")))
                qWarning() << "AppCli: more than" << kMaxFound << "cameras answered, ignored:" << id;
            return QStringLiteral("no success");
        }
        m_found.insert(id, answer);
        if (logged(QStringLiteral("AppCli-Recv(GVCP_DISCOVERY_ACK)")))
            qInfo().noquote() << "AppCli-Recv(GVCP_DISCOVERY_ACK):" << gvcp_text(answer.model, sizeof answer.model)
                              << id << gvcp_ip_text(answer.ip) << gvcp_ip_text(answer.netmask) << "->"
                              << gvcp_ip_text(answer.host_ip);
    } else if (code == GVCP_FORCEIP_ACK) {
        gvcp_forceip_ack_payload answer{};
        if (!gvcp_read_payload(recvbuf, &answer, sizeof answer)) {
            if (warned(QStringLiteral("AppCli: short force-address answer")))
                qWarning("AppCli: force-address answer shorter than its payload, ignored");
            return QStringLiteral("no success");
        }
        const QString id = gvcp_text(answer.device_id, sizeof answer.device_id);
        auto found = m_found.find(id);
        if (found != m_found.end()) {
            found->host_ip = answer.host_ip;
            found->ip = answer.ip;
            found->netmask = answer.netmask;
            found->gateway = answer.gateway;
            if (logged(QStringLiteral("AppCli-Recv(GVCP_FORCEIP_ACK)")))
                qInfo().noquote() << "AppCli-Recv(GVCP_FORCEIP_ACK) found:" << id << gvcp_ip_text(answer.ip)
                                  << gvcp_ip_text(answer.netmask) << "->" << gvcp_ip_text(answer.host_ip);
        }
    }
    if (logged(QStringLiteral("AppCli dashes")))
        qInfo().noquote() << kClientDashes;
    return QStringLiteral("success");
}

QMap<QString, gvcp_discover_ack_payload> UDP_ACam_Client::findCamera()
{
    m_found.clear();
    for (const DeviceNetInfo_Detail& entry : qAsConst(m_interfaces))
        sendCommand(entry.ip, gvcp_cmd_discover());
    waitLocally(kFindWaitMs);
    return m_found;
}

void UDP_ACam_Client::ActForceIP()
{
    struct WorkItem {
        QString hostIp;
        QString id;
        QString candidate;
        QString netmask;
    };
    QList<WorkItem> items;
    for (auto it = m_found.cbegin(); it != m_found.cend(); ++it) {
        const QString cameraIp = gvcp_ip_text(it->ip);
        const QString cameraMask = gvcp_ip_text(it->netmask);
        const QString hostIp = gvcp_ip_text(it->host_ip);
        const DeviceNetInfo_Detail local = foundNetBaseByIP(hostIp);
        const QString cameraNet = getSubNet(cameraIp, cameraMask);
        const QString hostNet = getSubNet(hostIp, local.netmask);
        if (cameraNet.isEmpty() || hostNet.isEmpty())
            continue;
        if (cameraNet == hostNet)
            items.append({hostIp, it.key(), cameraIp, cameraMask});
        else
            items.append({hostIp, it.key(), hostIp, local.netmask});
    }

    QStringList used;
    for (const DeviceNetInfo_Detail& entry : qAsConst(m_interfaces))
        used << entry.ip;

    QList<WorkItem> queue;
    for (const WorkItem& item : qAsConst(items)) {
        if (!used.contains(item.candidate)) {
            used << item.candidate;
            continue;
        }
        const QStringList octets = item.candidate.split(QLatin1Char('.'));
        if (octets.size() != 4)
            continue;
        const int last = octets.at(3).toInt();
        for (int i = 0; i <= 248; ++i) {
            QString next = item.candidate;
            if (!setIPLast(next, (last + i) % 253 + 1))
                break;
            if (used.contains(next))
                continue;
            used << next;
            WorkItem moved = item;
            moved.candidate = next;
            queue.append(moved);
            break;
        }
    }
    if (queue.isEmpty())
        return;
    for (const WorkItem& item : qAsConst(queue)) {
        sendCommand(item.hostIp, gvcp_cmd_forceip(latin(item.candidate).constData(), latin(item.netmask).constData(),
                                                  latin(item.candidate).constData(), latin(item.id).constData()));
    }
    waitLocally(kForceIPWaitMs);
}

void UDP_ACam_Client::ActUpdateTime()
{
    for (const DeviceNetInfo_Detail& entry : qAsConst(m_interfaces))
        sendCommand(entry.ip, gvcp_cmd_uptime());
    waitLocally(kCommandWaitMs);
}

void UDP_ACam_Client::ActRebootDaemon(const QString& id)
{
    const auto found = m_found.constFind(id);
    if (found == m_found.constEnd()) {
        qInfo("Reboot ZylCamera error!");
        return;
    }
    const QString source = getSameUseNet(gvcp_ip_text(found->ip));
    sendCommand(source, gvcp_cmd_rebootdaemon());
    waitLocally(kCommandWaitMs);
}
