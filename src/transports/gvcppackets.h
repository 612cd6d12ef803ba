#pragma once

// The datagrams between a host and a networked camera unit: an 8-byte GVCP-style header (key
// 0x42, big-endian fields) and this system's own payload layouts, which field units rely on
// byte for byte. Addresses travel as 4 bytes in network order, the integers of the clock and
// restart payloads little-endian, texts zero-terminated and zero-padded.
#include <QByteArray>
#include <QString>

#include <cstdint>
#include <string>

constexpr uint16_t GVCP_DISCOVERY_CMD = 0x0002;
constexpr uint16_t GVCP_DISCOVERY_ACK = 0x0003;
constexpr uint16_t GVCP_FORCEIP_CMD = 0x0004;
constexpr uint16_t GVCP_FORCEIP_ACK = 0x0005;
constexpr uint16_t GVCP_DAEMON_CMD = 0x0082;   // set clock (type 1) or restart service (type 2)
constexpr uint16_t GVCP_DAEMON_ACK = 0x0083;
constexpr uint32_t GVCP_TYPE_UPDATETIME = 1;
constexpr uint32_t GVCP_TYPE_REBOOTDAEMON = 2;

constexpr int kGvcpCameraPort = 3956;
constexpr int kGvcpHostPort = 10400;
constexpr int kGvcpHeaderBytes = 8;
constexpr int kGvcpDeviceIdChars = 31;

// The discovery answer's payload (216 bytes).
struct gvcp_discover_ack_payload {
    uint8_t mac[6];
    uint8_t reserved1[2];
    uint32_t host_ip;   // network order: the host that asked
    uint32_t ip;        // network order: the answering interface
    uint32_t netmask;
    uint32_t gateway;
    char vendor[32];
    char model[32];
    char version[32];
    char product[48];
    char device_id[32];
    uint8_t reserved2[16];
};
static_assert(sizeof(gvcp_discover_ack_payload) == 216, "discovery answer layout");

// The force-address command's payload (56 bytes).
struct gvcp_forceip_payload {
    uint8_t reserved[12];
    uint32_t ip;
    uint32_t netmask;
    uint32_t gateway;
    char device_id[32];
};
static_assert(sizeof(gvcp_forceip_payload) == 56, "force-address command layout");

// The force-address answer's payload (56 bytes).
struct gvcp_forceip_ack_payload {
    uint8_t mac[6];
    uint8_t reserved[2];
    uint32_t host_ip;
    uint32_t ip;
    uint32_t netmask;
    uint32_t gateway;
    char device_id[32];
};
static_assert(sizeof(gvcp_forceip_ack_payload) == 56, "force-address answer layout");

// The set-clock / restart payload (16 bytes), integers in host order once read.
struct gvcp_daemon_payload {
    uint32_t type = 0;
    uint64_t time_ms = 0;
};
constexpr int kGvcpDaemonPayloadBytes = 16;

// Host side.
std::string gvcp_cmd_discover();
std::string gvcp_cmd_forceip(const char* ip, const char* netmask, const char* gateway, const char* device_id);
std::string gvcp_cmd_uptime();
std::string gvcp_cmd_rebootdaemon();
// Camera side.
std::string gvcp_ack_discover(const char* device_id, const char* requester, const char* ip, const char* netmask,
                              const char* gateway, const char* mac);
std::string gvcp_ack_forceip(const char* device_id, const char* requester, const char* ip, const char* netmask,
                             const char* gateway, const char* mac);
std::string gvcp_ack_updatetime();
std::string gvcp_ack_rebootdaemon();

// Reading a received datagram: the code at offset 2 (false when under 8 bytes), and a payload
// copied into its layout, only when as many bytes as the layout holds were received and
// announced (false otherwise: the caller answers nothing).
bool gvcp_read_code(const QByteArray& datagram, uint16_t& code);
bool gvcp_read_payload(const QByteArray& datagram, void* out, int size);
bool gvcp_read_daemon(const QByteArray& datagram, gvcp_daemon_payload& out);

// Dotted text of an address held in network order; a text field up to its zero byte.
QString gvcp_ip_text(uint32_t networkOrder);
QString gvcp_text(const char* field, int width);
// inet_pton of dotted text into network order; 0.0.0.0 for text that is not an address.
uint32_t gvcp_ip_value(const char* text);
