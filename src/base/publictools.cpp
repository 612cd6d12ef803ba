#include "base/publictools.h"

#include "base/appclock.h"
#include "base/platform.h"
#include "base/safefile.h"
#include "vision/wizardpara.h"

#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonParseError>
#include <QMutex>
#include <QRegularExpression>
#include <QSet>
#include <QUuid>
#include <QtDebug>

#include <arpa/inet.h>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>
#ifdef __GLIBC__
#include <malloc.h>
#endif

QString gDeviceID;
const char* const kSoftwareVersion = "18.0.1.71";

qint64 gettimeofday_ms()
{
    return AppClock::nowMs();
}

void trimHeap()
{
#ifdef __GLIBC__
    malloc_trim(0);
#endif
}

int curtime_qint64_2_int()
{
    return static_cast<int>((gettimeofday_ms() / 10) % 1000000000LL);
}

namespace {

// The default gateway of an interface from the kernel's route table (hexadecimal, little-endian).
int gatewayOf(const char* name, char* gateway)
{
    QFile routes(Platform::path(QStringLiteral("/proc/net/route")));
    if (!routes.open(QIODevice::ReadOnly))
        return -6;
    routes.readLine();   // header
    while (!routes.atEnd()) {
        const QList<QByteArray> fields = routes.readLine().simplified().split(' ');
        if (fields.size() < 3 || fields.at(0) != QByteArray(name) || fields.at(1) != "00000000")
            continue;
        bool ok = false;
        const uint raw = fields.at(2).toUInt(&ok, 16);
        if (!ok)
            return -7;
        in_addr address{};
        address.s_addr = raw;   // the table holds the address in network byte order
        if (!inet_ntop(AF_INET, &address, gateway, 32))
            return -8;
        return 0;
    }
    return -7;
}

}  // namespace

int GetIfAddr(char* name, char* ip, char* netmask, char* gateway, char* mac)
{
    const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    if (fd < 0)
        return -1;
    struct Closer {
        int fd;
        ~Closer() { ::close(fd); }
    } closer{fd};

    ifreq request{};
    std::strncpy(request.ifr_name, name, IFNAMSIZ - 1);
    if (::ioctl(fd, SIOCGIFHWADDR, &request) < 0)
        return -2;
    const auto* hw = reinterpret_cast<const unsigned char*>(request.ifr_hwaddr.sa_data);
    std::snprintf(mac, 32, "%02x:%02x:%02x:%02x:%02x:%02x", hw[0], hw[1], hw[2], hw[3], hw[4], hw[5]);

    if (::ioctl(fd, SIOCGIFADDR, &request) < 0)
        return -4;
    if (!inet_ntop(AF_INET, &reinterpret_cast<sockaddr_in*>(&request.ifr_addr)->sin_addr, ip, 32))
        return -4;

    if (::ioctl(fd, SIOCGIFNETMASK, &request) < 0)
        return -5;
    if (!inet_ntop(AF_INET, &reinterpret_cast<sockaddr_in*>(&request.ifr_netmask)->sin_addr, netmask, 32))
        return -5;

    return gatewayOf(name, gateway);
}

int RandPort()
{
    for (;;) {
        const int value = std::rand();
        const int low = value & 0xFFFF;
        if (low >= 10001 && (low < 10410 || low > 10419))
            return value;
    }
}

int set_socket_nonblock(int fd)
{
    const int flags = ::fcntl(fd, F_GETFL, 0);
    if (flags < 0)
        return -1;
    return ::fcntl(fd, F_SETFL, flags | O_NONBLOCK);
}

bool string2ethaddr(const QString& text, unsigned char* out)
{
    const QStringList parts = text.trimmed().split(QLatin1Char(':'));
    if (parts.size() != 6)
        return false;
    // toUInt alone would also take a sign or blanks inside a part ("+1", " 1").
    static const QRegularExpression hexByte(QStringLiteral("^[0-9A-Fa-f]{1,2}$"));
    unsigned char bytes[6];
    for (int i = 0; i < 6; ++i) {
        if (!hexByte.match(parts.at(i)).hasMatch())
            return false;
        bytes[i] = static_cast<unsigned char>(parts.at(i).toUInt(nullptr, 16));
    }
    std::memcpy(out, bytes, 6);
    return true;
}

namespace {

bool parseDotted(const QString& text, uint octets[4])
{
    static const QRegularExpression form(QStringLiteral("^(\\d{1,3})\\.(\\d{1,3})\\.(\\d{1,3})\\.(\\d{1,3})$"));
    const QRegularExpressionMatch match = form.match(text.trimmed());
    if (!match.hasMatch())
        return false;
    for (int i = 0; i < 4; ++i) {
        octets[i] = match.captured(i + 1).toUInt();
        if (octets[i] > 255)
            return false;
    }
    return true;
}

}  // namespace

QString getSubNet(const QString& ip, const QString& mask)
{
    uint address[4];
    uint netmask[4];
    if (!parseDotted(ip, address) || !parseDotted(mask, netmask))
        return QString();
    return QStringLiteral("%1.%2.%3.%4")
        .arg(address[0] & netmask[0])
        .arg(address[1] & netmask[1])
        .arg(address[2] & netmask[2])
        .arg(address[3] & netmask[3]);
}

bool setIPLast(QString& ip, int last)
{
    QStringList parts = ip.split(QLatin1Char('.'));
    if (parts.size() != 4)
        return false;
    parts[3] = QString::number(last);
    ip = parts.join(QLatin1Char('.'));
    return true;
}

std::string nint2string(unsigned int address)
{
    in_addr value{};
    value.s_addr = address;
    char text[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, &value, text, sizeof text);
    return text;
}

QString networkConfigPath()
{
    return QStringLiteral("./cnt_net/config.json");
}

namespace {

// Why the value of one of the keys this program and its settings screen write is not what
// they write: of another JSON type, or out of range. Empty for a sound value or another key.
QString networkValueFault(const QString& key, const QJsonValue& value)
{
    static const QStringList texts{QStringLiteral("devicename"), QStringLiteral("serveraddr"),
                                   QStringLiteral("videoapp_dir"), QStringLiteral("workspace"),
                                   QStringLiteral("version")};
    static const QStringList switches{QStringLiteral("device_workapifunc"), QStringLiteral("device_worknetfunc"),
                                      QStringLiteral("device_workvideo")};
    if (texts.contains(key))
        return value.isString() ? QString() : QStringLiteral("\"%1\" is not a text").arg(key);
    if (switches.contains(key))
        return value.isBool() ? QString() : QStringLiteral("\"%1\" is not true or false").arg(key);
    if (key == QLatin1String("serverport")) {
        bool ok = false;
        const uint port = value.toString().toUInt(&ok);
        return value.isString() && ok && port >= 1 && port <= 65535
                   ? QString()
                   : QStringLiteral("\"serverport\" is not a port number written as text");
    }
    if (key == QLatin1String("camcount")) {
        const double count = value.toDouble(-1);
        return value.isDouble() && count == std::floor(count) && count >= 1 && count <= kMaxCameras
                   ? QString()
                   : QStringLiteral("\"camcount\" is no camera count from 1 to %1").arg(kMaxCameras);
    }
    return QString();
}

// Leaves out, of what this program reads, the values it cannot use: each one reads as if it were
// absent, as the readers of the file take a value of another type. The file keeps them: the
// companion process reads and writes the same file, and a value this program cannot read may be
// one the companion wrote for itself. Each key is named in the log once a run, not at every read.
void leaveOutFaultyValues(QJsonObject* config)
{
    static QMutex mutex;
    static QSet<QString> named;   // under mutex
    for (const QString& key : config->keys()) {
        const QString fault = networkValueFault(key, config->value(key));
        if (fault.isEmpty())
            continue;
        config->remove(key);
        QMutexLocker lock(&mutex);
        if (named.contains(key))
            continue;
        named.insert(key);
        qWarning().noquote() << networkConfigPath() + ':' << fault + "; read as absent, left in the file as it is";
    }
}

}  // namespace

QJsonObject readNetworkConfig(bool* opened)
{
    QFile file(networkConfigPath());
    const bool open = file.open(QIODevice::ReadOnly);
    if (opened)
        *opened = open;
    if (!open)
        return QJsonObject();
    const QJsonDocument document = QJsonDocument::fromJson(file.readAll());
    file.close();
    if (!document.isObject())
        return QJsonObject();
    QJsonObject config = document.object();
    leaveOutFaultyValues(&config);
    return config;
}

bool networkConfigToUpdate(QJsonObject* config)
{
    *config = QJsonObject();
    QFile file(networkConfigPath());
    if (!file.exists())
        return true;
    if (!file.open(QIODevice::ReadOnly)) {
        qWarning().noquote() << "cannot read" << networkConfigPath() + ':' << file.errorString() << "; it stays as it is";
        return false;
    }
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(file.readAll(), &error);
    file.close();
    if (document.isObject()) {
        *config = document.object();
        return true;
    }
    const QString why = error.error != QJsonParseError::NoError
                            ? QStringLiteral("%1 at offset %2").arg(error.errorString()).arg(error.offset)
                            : QStringLiteral("not a JSON object");
    return !keepBrokenCopy(networkConfigPath(), why).isEmpty();
}

void writeVersionToJson()
{
    QJsonObject config;
    if (!networkConfigToUpdate(&config))
        return;
    config.insert(QStringLiteral("version"), QString::fromLatin1(kSoftwareVersion));
    config.insert(QStringLiteral("camcount"), numCamera);
    writeFileAtomically(networkConfigPath(), QJsonDocument(config).toJson(QJsonDocument::Indented));
}

QString getlocal_deviceid()
{
    QFile cpuinfo(Platform::path(QStringLiteral("/proc/cpuinfo")));
    if (cpuinfo.open(QIODevice::ReadOnly)) {
        static const QRegularExpression serialLine(QStringLiteral("^Serial\\s*:\\s*([0-9A-Za-z]+)\\s*$"),
                                                   QRegularExpression::MultilineOption);
        const QRegularExpressionMatch match = serialLine.match(QString::fromLatin1(cpuinfo.readAll()));
        if (match.hasMatch() && match.captured(1).count(QLatin1Char('0')) != match.captured(1).size())
            return match.captured(1);
    }

    // No device serial (a PC board): keep one generated id so that the plant sees a stable device.
    const QString idPath = QStringLiteral("./cnt_net/deviceid.txt");
    QFile stored(idPath);
    if (stored.open(QIODevice::ReadOnly)) {
        const QString id = QString::fromLatin1(stored.readAll()).trimmed();
        if (!id.isEmpty())
            return id;
    }
    const QString id = QUuid::createUuid().toString(QUuid::Id128).left(16);
    writeFileAtomically(idPath, id.toLatin1() + '\n');
    return id;
}
