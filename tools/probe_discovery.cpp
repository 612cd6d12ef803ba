// Drives the camera discovery protocol. "server" plays a camera unit on this machine's
// interfaces (its commands are only recorded off the panel); the other modes play the host:
// they find the cameras, move them into the host's networks, set their clocks or ask one to
// restart, print the cameras as JSON lines and exit.
#include "probeutil.h"
#include "transports/udpacam.h"

#include <QCoreApplication>
#include <QJsonObject>

namespace {

QJsonObject describe(const DeviceNetInfo_Detail& entry)
{
    return QJsonObject{{QStringLiteral("name"), entry.name},       {QStringLiteral("ip"), entry.ip},
                       {QStringLiteral("netmask"), entry.netmask}, {QStringLiteral("mac"), entry.mac},
                       {QStringLiteral("gateway"), entry.gateway}};
}

QJsonObject describe(const gvcp_discover_ack_payload& camera)
{
    const QString mac = QString::asprintf("%02x:%02x:%02x:%02x:%02x:%02x", camera.mac[0], camera.mac[1], camera.mac[2],
                                          camera.mac[3], camera.mac[4], camera.mac[5]);
    return QJsonObject{{QStringLiteral("device_id"), gvcp_text(camera.device_id, sizeof camera.device_id)},
                       {QStringLiteral("ip"), gvcp_ip_text(camera.ip)},
                       {QStringLiteral("netmask"), gvcp_ip_text(camera.netmask)},
                       {QStringLiteral("gateway"), gvcp_ip_text(camera.gateway)},
                       {QStringLiteral("host_ip"), gvcp_ip_text(camera.host_ip)},
                       {QStringLiteral("mac"), mac},
                       {QStringLiteral("model"), gvcp_text(camera.model, sizeof camera.model)},
                       {QStringLiteral("version"), gvcp_text(camera.version, sizeof camera.version)}};
}

int serve(const QString& deviceId)
{
    UDP_ACam_Server server;
    server.setDeviceId(deviceId);
    if (!server.isListening()) {
        qCritical("cannot listen on 255.255.255.255:3956");
        return 1;
    }
    QObject::connect(&server, &UDP_ACam_Server::sig_updatetime, qApp, [] { Probe::printLine(QStringLiteral("updatetime")); });
    QObject::connect(&server, &UDP_ACam_Server::sig_rebootdaemon, qApp,
                     [] { Probe::printLine(QStringLiteral("rebootdaemon")); });
    Probe::printLine(QStringLiteral("listening 255.255.255.255 %1").arg(kGvcpCameraPort));
    const InterfaceTable table = server.interfaces();
    for (const DeviceNetInfo_Detail& entry : table)
        Probe::printJson(describe(entry));
    return QCoreApplication::exec();
}

int host(const QString& mode, const QString& id)
{
    UDP_ACam_Client client;   // sets every camera's clock on the way
    if (!client.isListening()) {
        qCritical("cannot listen on 255.255.255.255:10400");
        return 1;
    }
    if (mode == QLatin1String("settime"))
        return 0;
    client.findCamera();
    if (mode == QLatin1String("forceip"))
        client.ActForceIP();
    else if (mode == QLatin1String("reboot"))
        client.ActRebootDaemon(id);
    const QMap<QString, gvcp_discover_ack_payload> cameras = client.foundCameras();
    for (const gvcp_discover_ack_payload& camera : cameras)
        Probe::printJson(describe(camera));
    return 0;
}

}  // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    Probe::quitOnSignals(app);
    const QStringList args = app.arguments().mid(1);
    const char* help = "probe_discovery server [--device-id ID] | find | forceip | settime | reboot ID";
    if (!args.isEmpty() && args.at(0) == QLatin1String("server")) {
        if (args.size() == 1)
            return serve(QString());
        if (args.size() == 3 && args.at(1) == QLatin1String("--device-id"))
            return serve(args.at(2));
        return Probe::usage(help);
    }
    if (args.size() == 1 && (args.at(0) == QLatin1String("find") || args.at(0) == QLatin1String("forceip") ||
                             args.at(0) == QLatin1String("settime")))
        return host(args.at(0), QString());
    if (args.size() == 2 && args.at(0) == QLatin1String("reboot"))
        return host(args.at(0), args.at(1));
    return Probe::usage(help);
}
