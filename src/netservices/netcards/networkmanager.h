#pragma once

#include "netservices/netcards/netinfo.h"

#include <QJsonArray>
#include <QJsonObject>
#include <QMap>
#include <QObject>
#include <QStringList>

class QTimer;
class NetworkSettingDialog;

// The network settings dialog, built on the first visit of the network page (null until then).
extern NetworkSettingDialog* gpNetDialog;

// What the machine knows about its network cards: the card files the card script leaves under
// /etc/netplan, filtered by the kernel's interface list, the conversions between a card's JSON
// object and stu_netinfo, the Wi-Fi scan and the link-state and receive-rate poll for the
// network dialog's tiles.
//
// GUI thread only. The card script and the Wi-Fi scan run on a pool thread behind a modal
// CComp_DiaWait while the GUI thread waits in it; that job is then the only one touching the
// members it writes (m_hotNames). Every outside program goes through the command runner with
// an argument list; every machine path through Platform::path.
class NetworkManager : public QObject {
    Q_OBJECT
public:
    static constexpr const char* kWiredFile = "/etc/netplan/netplan_prejson.txt";
    static constexpr const char* kWifiFile = "/etc/netplan/wifi_prejson.txt";
    static constexpr const char* kReportFile = "/etc/network/pyreport.txt";
    static constexpr const char* kCardScript = "./cnt_net/durad20_upnetcard.py";
    static constexpr const char* kNoCardMessage = "无法找到网卡信息 请联系开发人员!!";
    static constexpr const char* kNicsChangedMessage = "Warning: Number of nics Changed";

    static NetworkManager* getInstance();
    // Tests only: drops the instance so the next getInstance() reads the machine afresh.
    static void destroyInstance();

    // Refreshes the card list; force runs the card script first. True when a wired card was found.
    bool initnetcard(bool force);
    QMap<QString, stu_netinfo> readNetInfo() const;
    stu_netinfo json2stu(const QJsonObject& object) const;
    QJsonObject stu2json(const stu_netinfo& card) const;

    // Starts (on) or stops the link-state poll; does nothing while the network dialog is hidden.
    void NDSpeed_Touch(bool on, int ms);
    // Scans for Wi-Fi networks on a card of the card list; the names in first-seen order.
    QStringList getHotPoints(const QString& ifname);
    int run_upnetcard();
    void run_wireless();
    // Each /24 network of the live interfaces with the names on it, each followed by ";".
    QMap<QString, QString> NetInfoChk() const;

    static bool chkIPformat(const QString& text);
    static bool isWifi(const QString& name);
    static bool getProcessAlive(const QString& name);
    // A kernel interface name that may be handed to a command or put into a path.
    static bool isSafeInterfaceName(const QString& name);
    // Files may only be written on the panel or inside a fake machine tree (MOULD_ROOT).
    static bool mayWriteMachineFiles();
    // The rate text of a tile: two decimals, "b/s", "kb/s" or "mb/s".
    static QString rateText(double bytesPerSecond);
    // The /24 grouping of NetInfoChk over (name, address) pairs, in the given order.
    static QMap<QString, QString> groupBySubnet(const QList<QPair<QString, QString>>& interfaces);

    QJsonArray cardList() const { return m_cards; }
    QString lastMessage() const { return m_message; }
    QMap<QString, stu_speedinfo> speedTable() const { return m_speedTable; }
    QString priorityCardName() const { return m_priorityName; }
    void setPriorityCardName(const QString& name) { m_priorityName = name; }
    bool isPolling() const;

public slots:
    // One poll of link states; every fifth (from the first) also computes receive rates.
    void slotSpeedTick();

private:
    NetworkManager();

    static QStringList interfaceNames();   // of /proc/net/dev, "lo" left out
    bool hasCard(const QString& name) const;
    void rateStep();

    static NetworkManager* instance;

    QJsonArray m_cards;
    QString m_message;
    QTimer* m_speedTimer = nullptr;
    QMap<QString, stu_speedinfo> m_speedTable;
    int m_tick = 0;
    QString m_wifiName;
    QStringList m_hotNames;   // written by the scan job while the GUI thread waits for it
    QString m_priorityName;
};
