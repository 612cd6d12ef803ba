#pragma once

#include "netservices/netcards/netinfo.h"
#include "widgets/dialogframe.h"

#include <QMap>
#include <QThread>
#include <QTimer>

#include <atomic>
#include <memory>

class CheckBox;
class Edit;
class EditIP;
class QLabel;
class QPushButton;

// One card's tile on the network settings screen: addresses (on DHCP, that it takes them
// automatically), link state (green or red left border) and receive rate, and a button that
// opens the card's settings. An accepted edit makes the tile emit sigUpdateAll (after 100 ms),
// which the screen receives queued and applies. A name or description too long for the tile is
// cut with "…"; touching the tile shows them whole.
class Network_CardItem : public QWidget {
    Q_OBJECT
public:
    Network_CardItem(const stu_netinfo& info, QWidget* parent = nullptr);

    const stu_netinfo& info() const { return m_info; }
    void chgHardWare(bool running);
    void updateSpeed(const QString& rate);
    // Shows the card's whole name and description over the tile (for 5 s), or hides them.
    void showWholeText(bool show);

public slots:
    void reload_information(const stu_netinfo& info);
    void slotChgCardInfo();

signals:
    void sigUpdateAll();

protected:
    void mouseReleaseEvent(QMouseEvent* event) override;

private:
    stu_netinfo m_info;
    QLabel* m_whole = nullptr;
    QTimer m_wholeTimer;
};

// The settings of one card, each control named as getNetINfo looks it up; a Wi-Fi card also
// has its in-use choice, network name (with the scanned networks) and key. OK takes static
// settings only with a valid address and mask (contiguous ones, not 0.0.0.0), and a gateway and a
// name server that are whole addresses or left empty, the gateway in the card's network;
// otherwise it says what is wrong and stays open. An address field left empty is stored as ""
// (none), not 0.0.0.0. Under DHCP the address fields keep their values but are disabled.
class Network_CardItem_SetDia : public CComp_DialogFrame {
    Q_OBJECT
public:
    Network_CardItem_SetDia(const stu_netinfo& info, QWidget* parent = nullptr);

    stu_netinfo getNetINfo();
    // What keeps the static settings from being applied, as the operator reads it; empty when
    // nothing does (DHCP, a Wi-Fi card left unused, or sound addresses).
    QString staticSettingsProblem() const;

public slots:
    void acceptDialog() override;

private:
    stu_netinfo m_info;
};

// The network settings screen: a tile per card (a column a finger drags), the companion-link
// settings written to "cnt_net/config.json" and read from it again each time the screen shows,
// the link state each second, and a ping tool.
//
// GUI thread, except the ping: ping runs through the command runner on a thread of its own,
// which hands each printed line to the GUI thread queued; hiding the screen or closing the
// output panel ends it and joins the thread. Files are written whole or not at all
// (writeFileAtomically), so a power cut or a full disk leaves the old content.
class NetworkSettingDialog : public CComp_DialogFrame {
    Q_OBJECT
public:
    // The companion settings as the screen edits them.
    struct stuconfig {
        QString devicename;
        QString serveraddr;
        QString serverport = QStringLiteral("10432");
        bool api = false;
        bool net = false;
        bool video = false;
        // The panel's paths, written as they are; whoever uses them maps them through
        // Platform::path, which off the panel puts them in the working directory.
        QString videoapp_dir = QStringLiteral("/root/div-OVE/cnt_net/");
        QString workspace = QStringLiteral("/root/div-OVE/cnt_net/workspace/");
    };

    explicit NetworkSettingDialog(QWidget* parent = nullptr);
    ~NetworkSettingDialog() override;

    void ininconfig();
    const stuconfig& config() const { return m_config; }
    QMap<QString, QWidget*> cardTiles() const { return m_tiles; }
    // A ping target handed to ping as its one argument: not empty, no blanks, no leading "-",
    // not 0.0.0.0. Ping without one says so instead of opening an empty panel.
    static bool isPingTarget(const QString& target);
    bool isPinging() const { return m_pingThread != nullptr; }

public slots:
    void slotUpdateVUD();
    void slotUpdateAll();
    void slotTimeout_ChKState();
    void slotTimeout_VUDState();
    void slotPing();

protected:
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;

private:
    // Sets the switches, device id and server address from the companion settings.
    void showConfig();
    void stopPing();

    QMap<QString, QWidget*> m_tiles;
    QTimer m_checkTimer;
    QTimer m_vudTimer;
    stuconfig m_config;
    CheckBox* m_apiBox = nullptr;
    CheckBox* m_netBox = nullptr;
    CheckBox* m_videoBox = nullptr;
    Edit* m_deviceId = nullptr;
    EditIP* m_serverIp = nullptr;
    QLabel* m_state = nullptr;
    QPushButton* m_apply = nullptr;
    TextShowWidget* m_pingPanel = nullptr;
    Edit* m_pingTarget = nullptr;
    QPushButton* m_pingButton = nullptr;
    // The running ping: its thread (GUI thread creates, stops and joins it) and stop request.
    QThread* m_pingThread = nullptr;
    std::shared_ptr<std::atomic<bool>> m_pingStop;
    // Which ping the panel shows (GUI thread only): a line of another run is not appended.
    quint64 m_pingRun = 0;
};

extern NetworkSettingDialog* gpNetDialog;
