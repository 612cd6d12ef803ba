#pragma once

#include <QByteArray>
#include <QFuture>
#include <QList>
#include <QMap>
#include <QMetaType>
#include <QMutex>
#include <QObject>
#include <QString>

#include <netinet/in.h>

#include <atomic>
#include <memory>
#include <string>

class QThread;

// The parameters of one send.
struct Udpsend_Cond {
    std::string dst_ip;   // dotted IPv4, may be "255.255.255.255"
    int dst_port = 0;
    std::string src_ip;   // local address the sending socket is bound to
    int wait_ms = 0;      // 0: send once, no answer awaited; above 1000 taken as 1000
    int resend_ms = 0;    // resend period while waiting; 0: send once
};

// One local network interface as GetIfAddr reads it.
struct DeviceNetInfo_Detail {
    QString name;
    QString ip;
    QString netmask;
    QString mac;
    QString gateway;
};

using InterfaceTable = QMap<QString, DeviceNetInfo_Detail>;   // keyed by MAC text

enum ZLU_INTER_ERROR {
    ZLU_SUCCESS = 0,
    ZLU_ERR_BROADCAST = 2,    // SO_BROADCAST cannot be set
    ZLU_ERR_BIND = 4,         // bind failed (or the descriptor does not fit select)
    ZLU_ERR_NONBLOCK = 8,     // non-blocking mode cannot be set
    ZLU_ERR_TIMEOUT = 16,     // no answer within wait_ms
    ZLU_ERR_PARAM = 32,       // wait_ms or resend_ms negative
    ZLU_ERR_SEND = 64,        // no send socket could be made, or sendto fell short
};

// A fresh broadcast-capable socket for one send, bound to the source address and a random
// port. Addresses that are not dotted IPv4 text leave it without a socket.
class ZLU_BroadcastSocket {
public:
    static constexpr int kBindAttempts = 1000;

    explicit ZLU_BroadcastSocket(const Udpsend_Cond& cond);
    ~ZLU_BroadcastSocket();
    ZLU_BroadcastSocket(const ZLU_BroadcastSocket&) = delete;
    ZLU_BroadcastSocket& operator=(const ZLU_BroadcastSocket&) = delete;

    // sendto's result, or -1 without a socket.
    int send(const std::string& data);
    int send(const void* data, int length);
    bool valid() const { return m_fd >= 0; }
    // "ADDR/PORT" of the bound socket, for the send line.
    QString localText() const;

private:
    Udpsend_Cond m_cond;
    int m_fd = -1;   // -1: no socket
    sockaddr_in m_dst{};
};

// A small broadcast-capable UDP layer on plain sockets: any number of receive sockets watched
// by one listening loop, and sends from a fresh socket each, optionally waiting for an answer.
//
// The listening loop runs on a thread of its own (started by addListen, joined by stopListen
// and before the destructor closes the sockets). Datagrams reach AnalysisRecvMessage queued on
// the object's thread, or on the loop's thread when the direct-handler flag is set. A waiting
// send blocks its caller up to 1 s while its answer comes through sig_sync_send_core; a caller
// that blocks the thread AnalysisRecvMessage runs on gets no answer.
class UDP_Core : public QObject {
    Q_OBJECT
public:
    static constexpr int kRecvBufferBytes = 2048;
    static constexpr int kSelectWaitUs = 200000;
    static constexpr int kMaxWaitMs = 1000;
    // Datagrams handed to the object's thread and not yet handled; more are dropped, so a
    // flood while that thread is busy cannot fill its event queue without end.
    static constexpr int kMaxQueuedDatagrams = 1024;

    // Reads the machine's interfaces (all but "lo").
    explicit UDP_Core(QObject* parent = nullptr);
    // Takes the given interface table instead.
    explicit UDP_Core(const InterfaceTable& interfaces, QObject* parent = nullptr);
    ~UDP_Core() override;

    int addListen(std::string ip, int port);
    void stopListen();
    int send_core(Udpsend_Cond cond, std::string data, std::string& answer);

    virtual void PrintRecvMsg(QString result, QString line);

    DeviceNetInfo_Detail foundNetBaseByIP(const QString& ip) const;
    QString getSameUseNet(QString ip) const;
    InterfaceTable interfaces() const { return m_interfaces; }
    // The table of the machine's interfaces, all but "lo", as GetIfAddr reads them.
    static InterfaceTable readInterfaces();

    void setDeviceId(const QString& id) { device_id = id; }
    QString deviceId() const { return device_id; }
    void setDirectHandler(bool direct) { m_directHandler = direct; }
    // The local ports of the bound receive sockets, in binding order.
    QList<quint16> boundPorts() const;
    // The listening loop runs (a failed bind leaves the flag set but starts no loop).
    bool isListening() const;

signals:
    void sig_sync_send_core(QString recv);

public slots:
    void Slot_StartListen();
    virtual QString AnalysisRecvMessage(sockaddr_in saclient, QByteArray const& recvbuf);

protected:
    InterfaceTable m_interfaces;   // the object's thread
    QString device_id;

private:
    void startLoopLocked();
    int waitingSend(const Udpsend_Cond& cond, const std::string& data, std::string& answer);
    void logSend(const ZLU_BroadcastSocket& socket, const Udpsend_Cond& cond, const std::string& data);

    std::atomic<bool> m_directHandler{false};
    std::atomic<bool> m_listening{false};
    std::atomic<int> m_queued{0};         // handed to the object's thread, not yet handled
    mutable QMutex m_listMutex;           // guards m_sockets, m_loopRunning, m_thread
    QList<int> m_sockets;
    bool m_loopRunning = false;
    std::unique_ptr<QThread> m_thread;
};

Q_DECLARE_METATYPE(sockaddr_in)
Q_DECLARE_METATYPE(std::string)
