#pragma once

#include "transports/gvcppackets.h"
#include "transports/udpcore.h"

#include <QMap>
#include <QString>

#include <string>

// Where one side of the camera protocol listens and where it sends: by default both sides
// listen on the broadcast address (the camera on port 3956, the host on 10400) and broadcast
// to the other side's port.
struct ACamRoute {
    std::string listen_ip = "255.255.255.255";
    int listen_port = 0;
    std::string send_ip = "255.255.255.255";
    int send_port = 0;

    static ACamRoute camera() { return ACamRoute{"255.255.255.255", kGvcpCameraPort, "255.255.255.255", kGvcpHostPort}; }
    static ACamRoute host() { return ACamRoute{"255.255.255.255", kGvcpHostPort, "255.255.255.255", kGvcpCameraPort}; }
};

// The camera unit's side: answers discovery, takes a forced address and applies it to its
// first interface through the command runner, sets its clock and announces restart requests.
// Everything runs on the object's thread (datagrams arrive queued from the listening loop).
class UDP_ACam_Server : public UDP_Core {
    Q_OBJECT
public:
    explicit UDP_ACam_Server(QObject* parent = nullptr);
    UDP_ACam_Server(const InterfaceTable& interfaces, const ACamRoute& route, QObject* parent = nullptr);
    ~UDP_ACam_Server() override;

    QString AnalysisRecvMessage(sockaddr_in saclient, QByteArray const& recvbuf) override;

    // A forced address is taken only for a unicast host address under a contiguous netmask
    // of /1 to /30, and not the network or broadcast address of its subnet.
    static bool isAssignable(const QString& ip, const QString& netmask);

signals:
    void sig_updatetime();
    void sig_rebootdaemon();

private:
    void answerDiscover(const QString& requester);
    void applyDaemon(const QByteArray& recvbuf);
    void applyForceIP(const QString& requester, const QByteArray& recvbuf);
    void sendAnswer(const QString& sourceIp, const std::string& bytes);

    ACamRoute m_route;
};

// The host's side: finds the cameras on every local network, moves those whose addresses do not
// fit, sets their clocks and asks one to restart its service. Its operations wait in local
// event loops and must run on the object's thread, where the answers arrive.
class UDP_ACam_Client : public UDP_Core {
    Q_OBJECT
public:
    static constexpr int kMaxFound = 1024;
    static constexpr int kFindWaitMs = 500;
    static constexpr int kForceIPWaitMs = 1000;
    static constexpr int kCommandWaitMs = 200;

    explicit UDP_ACam_Client(QObject* parent = nullptr);
    UDP_ACam_Client(const InterfaceTable& interfaces, const ACamRoute& route, QObject* parent = nullptr);
    ~UDP_ACam_Client() override;

    QString AnalysisRecvMessage(sockaddr_in saclient, QByteArray const& recvbuf) override;

    QMap<QString, gvcp_discover_ack_payload> findCamera();
    void ActForceIP();
    void ActUpdateTime();
    void ActRebootDaemon(const QString& id);

    QMap<QString, gvcp_discover_ack_payload> foundCameras() const { return m_found; }

private:
    void sendCommand(const QString& sourceIp, const std::string& bytes);
    static void waitLocally(int ms);

    ACamRoute m_route;
    QMap<QString, gvcp_discover_ack_payload> m_found;   // by device id; the object's thread
};
