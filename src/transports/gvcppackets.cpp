#include "transports/gvcppackets.h"

#include "base/publictools.h"

#include <QtEndian>

#include <arpa/inet.h>
#include <cstring>

namespace {

// The fixed texts of the discovery answer (the version text is 20 characters long).
constexpr char kVendor[] = "JXK";
constexpr char kModel[] = "ACam-Unit";
constexpr char kVersion[] = "V1.0.0_20260101_0001";
constexpr char kProduct[] = "Mould Monitor Camera Unit";
static_assert(sizeof(kVendor) - 1 == 3, "vendor tag of three letters");
static_assert(sizeof(kVersion) - 1 == 20, "version text of 20 characters");

std::string header(uint8_t first, uint8_t second, uint16_t code, uint16_t length)
{
    std::string bytes(kGvcpHeaderBytes, '\0');
    bytes[0] = char(first);
    bytes[1] = char(second);
    bytes[2] = char(code >> 8);
    bytes[3] = char(code & 0xFF);
    bytes[4] = char(length >> 8);
    bytes[5] = char(length & 0xFF);
    bytes[6] = 0x00;
    bytes[7] = 0x01;
    return bytes;
}

std::string command(uint16_t code, const void* payload, int size)
{
    return header(0x42, 0x11, code, uint16_t(size)) + std::string(static_cast<const char*>(payload), size_t(size));
}

std::string acknowledge(uint16_t code, const void* payload, int size)
{
    return header(0x00, 0x00, code, uint16_t(size)) + std::string(static_cast<const char*>(payload), size_t(size));
}

// Copies at most width - 1 characters, so the field always ends in a zero byte.
void putText(char* field, int width, const char* text)
{
    std::memset(field, 0, size_t(width));
    if (text)
        std::strncpy(field, text, size_t(width - 1));
}

void putMac(uint8_t* out, const char* text)
{
    std::memset(out, 0, 6);
    if (text)
        string2ethaddr(QString::fromLatin1(text), out);
}

// The fields both answers open with: the answering interface's MAC, the host that asked and
// the interface's addresses.
template <typename Payload>
void putInterface(Payload& payload, const char* requester, const char* ip, const char* netmask, const char* gateway,
                  const char* mac)
{
    putMac(payload.mac, mac);
    payload.host_ip = gvcp_ip_value(requester);
    payload.ip = gvcp_ip_value(ip);
    payload.netmask = gvcp_ip_value(netmask);
    payload.gateway = gvcp_ip_value(gateway);
}

std::string daemonPayload(uint32_t type, uint64_t timeMs)
{
    std::string bytes(kGvcpDaemonPayloadBytes, '\0');
    qToLittleEndian<quint32>(type, &bytes[0]);
    qToLittleEndian<quint64>(timeMs, &bytes[8]);
    return bytes;
}

uint64_t nowMs()
{
    return uint64_t(gettimeofday_ms());
}

}  // namespace

uint32_t gvcp_ip_value(const char* text)
{
    in_addr address{};
    if (!text || inet_pton(AF_INET, text, &address) != 1)
        return 0;
    return address.s_addr;
}

QString gvcp_ip_text(uint32_t networkOrder)
{
    return QString::fromStdString(nint2string(networkOrder));
}

QString gvcp_text(const char* field, int width)
{
    return QString::fromLatin1(field, int(strnlen(field, size_t(width))));
}

std::string gvcp_cmd_discover()
{
    return command(GVCP_DISCOVERY_CMD, nullptr, 0);
}

std::string gvcp_cmd_forceip(const char* ip, const char* netmask, const char* gateway, const char* device_id)
{
    gvcp_forceip_payload payload{};
    payload.ip = gvcp_ip_value(ip);
    payload.netmask = gvcp_ip_value(netmask);
    payload.gateway = gvcp_ip_value(gateway);
    putText(payload.device_id, sizeof payload.device_id, device_id);
    return command(GVCP_FORCEIP_CMD, &payload, sizeof payload);
}

std::string gvcp_cmd_uptime()
{
    const std::string payload = daemonPayload(GVCP_TYPE_UPDATETIME, nowMs());
    return command(GVCP_DAEMON_CMD, payload.data(), int(payload.size()));
}

std::string gvcp_cmd_rebootdaemon()
{
    const std::string payload = daemonPayload(GVCP_TYPE_REBOOTDAEMON, 0);
    return command(GVCP_DAEMON_CMD, payload.data(), int(payload.size()));
}

std::string gvcp_ack_discover(const char* device_id, const char* requester, const char* ip, const char* netmask,
                              const char* gateway, const char* mac)
{
    gvcp_discover_ack_payload payload{};
    putInterface(payload, requester, ip, netmask, gateway, mac);
    putText(payload.vendor, sizeof payload.vendor, kVendor);
    putText(payload.model, sizeof payload.model, kModel);
    putText(payload.version, sizeof payload.version, kVersion);
    putText(payload.product, sizeof payload.product, kProduct);
    putText(payload.device_id, sizeof payload.device_id, device_id);
    return acknowledge(GVCP_DISCOVERY_ACK, &payload, sizeof payload);
}

std::string gvcp_ack_forceip(const char* device_id, const char* requester, const char* ip, const char* netmask,
                             const char* gateway, const char* mac)
{
    gvcp_forceip_ack_payload payload{};
    putInterface(payload, requester, ip, netmask, gateway, mac);
    putText(payload.device_id, sizeof payload.device_id, device_id);
    return acknowledge(GVCP_FORCEIP_ACK, &payload, sizeof payload);
}

std::string gvcp_ack_updatetime()
{
    const std::string payload = daemonPayload(GVCP_TYPE_UPDATETIME, nowMs());
    return acknowledge(GVCP_DAEMON_ACK, payload.data(), int(payload.size()));
}

std::string gvcp_ack_rebootdaemon()
{
    const std::string payload = daemonPayload(GVCP_TYPE_REBOOTDAEMON, nowMs());
    return acknowledge(GVCP_DAEMON_ACK, payload.data(), int(payload.size()));
}

bool gvcp_read_code(const QByteArray& datagram, uint16_t& code)
{
    if (datagram.size() < kGvcpHeaderBytes)
        return false;
    code = qFromBigEndian<quint16>(datagram.constData() + 2);
    return true;
}

bool gvcp_read_payload(const QByteArray& datagram, void* out, int size)
{
    if (datagram.size() < kGvcpHeaderBytes)
        return false;
    const int announced = qFromBigEndian<quint16>(datagram.constData() + 4);
    const int received = datagram.size() - kGvcpHeaderBytes;
    if (announced < size || received < size)
        return false;
    std::memcpy(out, datagram.constData() + kGvcpHeaderBytes, size_t(size));
    return true;
}

bool gvcp_read_daemon(const QByteArray& datagram, gvcp_daemon_payload& out)
{
    char bytes[kGvcpDaemonPayloadBytes];
    if (!gvcp_read_payload(datagram, bytes, sizeof bytes))
        return false;
    out.type = qFromLittleEndian<quint32>(bytes);
    out.time_ms = qFromLittleEndian<quint64>(bytes + 8);
    return true;
}
