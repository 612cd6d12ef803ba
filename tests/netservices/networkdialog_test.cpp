#include "base/lanstr.h"
#include "base/publictools.h"
#include "config/wizardparawidget.h"
#include "detection/mapplication.h"
#include "netservices/api/httpapiserver.h"
#include "netservices/companion/network.h"
#include "netservices/netcards/networksettingdialog.h"
#include "netservices/netmachine.h"
#include "netcore/nettestutil.h"
#include "records/saveimagesettingdailog.h"
#include "records/screen_support.h"
#include "widgets/edit.h"
#include "widgets/editip.h"
#include "widgets/numberinput.h"
#include "widgets/numcharinput.h"
#include "widgets/publictools_widget.h"

#include <QApplication>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QScrollArea>
#include <QScrollBar>
#include <QTcpSocket>
#include <QStyleOptionButton>
#include <QTextEdit>
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>

namespace {

const QByteArray kIfconfig =
    "eth0: flags=4163<UP,BROADCAST,RUNNING,MULTICAST>  mtu 1500\n"
    "        inet 192.168.1.10  netmask 255.255.255.0\n"
    "\n"
    "eth1: flags=4099<UP,BROADCAST,MULTICAST>  mtu 1500\n"
    "\n"
    "wlan0: flags=4163<UP,BROADCAST,RUNNING,MULTICAST>  mtu 1500\n";

// Answers the message boxes that come up while it lives and notes their texts. The network
// screen is a modal dialog itself, so the boxes are found by kind; seen() gets each box first.
class MessageAnswerer {
public:
    explicit MessageAnswerer(std::function<void(WarnBox*)> seen = nullptr) : m_seen(std::move(seen))
    {
        QObject::connect(&m_timer, &QTimer::timeout, [this] {
            for (QWidget* window : QApplication::topLevelWidgets()) {
                auto* box = qobject_cast<WarnBox*>(window);
                if (!box || !box->isVisible())
                    continue;
                texts << box->text();
                if (m_seen)
                    m_seen(box);
                box->accept();
            }
        });
        m_timer.start(10);
    }

    QStringList texts;

private:
    std::function<void(WarnBox*)> m_seen;
    QTimer m_timer;
};

// The fake machine with two wired cards (eth0 preferred) and a Wi-Fi card, and the screen built
// on it as the settings page builds it.
class NetworkDialogTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        initLanStr();
        QJsonObject eth0 = NetMachine::card("eth0", "192.168.1.10");
        eth0.insert("ispriority", true);
        machine.writeCards(NetworkManager::kWiredFile, {eth0, NetMachine::card("eth1", "192.168.2.10")});
        QJsonObject wifi = NetMachine::card("wlan0", "10.0.0.2", true);
        wifi.insert("hotname", "plant");
        machine.writeCards(NetworkManager::kWifiFile, {wifi});
        machine.ifconfigOutput = kIfconfig;
        machine.iwlistOutput = "          ESSID:\"office\"\n";
        TestEnv::writeText("cnt_net/config.json",
                           R"({"version": "18.0.1.71", "camcount": 2, "workspace": "./cnt_net/workspace/",
                               "devicename": "press-7", "serveraddr": "10.1.2.3", "device_workapifunc": "yes"})");
        // The instance the dialog restarts: its API on loopback, on a port the OS picks, and no
        // companion to dial (port 1). destroyInstance deletes it.
        JXK_NETMN::destroyInstance();
        new JXK_NETMN(1, QHostAddress::LocalHost, 0);
        ScreenTest::placeImages();
        gpNetDialog = new NetworkSettingDialog;
        gpNetDialog->show();
    }

    void TearDown() override
    {
        delete gpNetDialog;
        JXK_NETMN::destroyInstance();
    }

    Network_CardItem* tile(const QString& name) const
    {
        return static_cast<Network_CardItem*>(gpNetDialog->cardTiles().value(name));
    }

    // A card file byte for byte (empty when it cannot be read).
    QByteArray cardFileBytes(const char* file) const
    {
        return TestEnv::readBytes(machine.path(file));
    }

    static QString label(QWidget* widget, const char* name)
    {
        return widget->findChild<QLabel*>(name)->text();
    }

    // Opens a tile's settings, lets edit change them, and accepts (or cancels) the settings.
    // Settings that OK refuses leave the dialog open; it is then cancelled, and true returned.
    static bool editCard(Network_CardItem* item, const std::function<void(Network_CardItem_SetDia*)>& edit, bool accept)
    {
        bool answered = false;
        bool refused = false;
        QTimer poll;
        QObject::connect(&poll, &QTimer::timeout, [&] {
            for (QWidget* window : QApplication::topLevelWidgets()) {
                auto* dialog = qobject_cast<Network_CardItem_SetDia*>(window);
                if (!dialog || !dialog->isVisible() || answered)
                    continue;
                answered = true;
                edit(dialog);
                accept ? dialog->acceptDialog() : dialog->reject();
                refused = accept && dialog->isVisible();
                if (refused)
                    dialog->reject();
            }
        });
        poll.start(10);
        QTimer failsafe;   // a dialog nobody answers fails the test instead of hanging it
        failsafe.setSingleShot(true);
        QObject::connect(&failsafe, &QTimer::timeout, [] {
            if (QWidget* modal = QApplication::activeModalWidget())
                static_cast<QDialog*>(modal)->reject();
        });
        failsafe.start(10000);
        item->findChild<QPushButton*>("btnmodify")->click();
        EXPECT_TRUE(answered);
        return refused;
    }

    NetMachine machine;
};

}  // namespace

TEST_F(NetworkDialogTest, TilesShowCardsLinkStatesAndRates)
{
    ASSERT_EQ(gpNetDialog->cardTiles().keys(), QStringList({"eth0", "eth1", "wlan0"}));
    EXPECT_EQ(label(tile("eth0"), "labip"), "192.168.1.10");
    EXPECT_EQ(label(tile("eth0"), "labpriority"), "优先启用");
    EXPECT_EQ(label(tile("eth1"), "labpriority"), "");
    EXPECT_NE(tile("wlan0")->findChild<QLabel*>("labwifi"), nullptr);
    EXPECT_EQ(tile("eth0")->findChild<QLabel*>("labwifi"), nullptr);
    EXPECT_EQ(NetworkManager::getInstance()->priorityCardName(), "eth0");

    NetworkManager* manager = NetworkManager::getInstance();
    manager->slotSpeedTick();
    machine.setReceived(1000 + 3840, 2000, 3145728 * 5 / 2);
    for (int i = 0; i < 5; ++i)
        manager->slotSpeedTick();
    gpNetDialog->slotTimeout_ChKState();
    gpNetDialog->slotTimeout_VUDState();
    EXPECT_EQ(label(tile("eth0"), "labspeed"), "1.50kb/s");
    EXPECT_EQ(label(tile("wlan0"), "labspeed"), "3.00mb/s");
    EXPECT_TRUE(tile("eth0")->styleSheet().contains("solid green"));
    EXPECT_TRUE(tile("eth1")->styleSheet().contains("solid red"));
    EXPECT_EQ(gpNetDialog->findChild<QLabel*>("lab_showstate")->text(), "未启动联网程序");

    // The screen settles in its event loop: three tiles fit the column, so no scroll bar is left.
    QScrollBar* bar = gpNetDialog->findChild<QScrollArea*>()->verticalScrollBar();
    EXPECT_TRUE(TestEnv::waitUntil([bar] { return !bar->isVisible(); }, 2000));
    EXPECT_EQ(gpNetDialog->size(), QSize(1920, 1080));
    EXPECT_TRUE(ScreenTest::saveShot(gpNetDialog, "network-settings"));
    // Laid out on the screen, the device id field is still big enough to touch and to read.
    const QWidget* deviceId = gpNetDialog->findChild<QWidget*>("Edit_deviceId");
    ASSERT_NE(deviceId, nullptr);
    EXPECT_GE(deviceId->height(), 40);
    EXPECT_GE(deviceId->width(), 150);

    // Hidden, the screen polls nothing.
    gpNetDialog->hide();
    const int ifconfigs = machine.runner.count("ifconfig");
    manager->slotSpeedTick();
    EXPECT_EQ(machine.runner.count("ifconfig"), ifconfigs);
}

// The tiles and buttons show the pictures drawn for them, at the sizes the screen gives them,
// and no stand-in word.
TEST_F(NetworkDialogTest, TilesAndButtonsShowTheirPictures)
{
    ASSERT_TRUE(QTest::qWaitForWindowExposed(gpNetDialog));
    for (const auto& label : {std::make_pair("labwifi", 40), std::make_pair("labuse", 60)}) {
        const QLabel* shown = tile("wlan0")->findChild<QLabel*>(label.first);
        const QPixmap picture = shown->pixmap(Qt::ReturnByValue);
        EXPECT_FALSE(picture.isNull()) << label.first;
        EXPECT_EQ(picture.size(), QSize(label.second, label.second)) << label.first;
        EXPECT_TRUE(shown->text().isEmpty()) << label.first;
    }
    const QPushButton* modify = tile("eth0")->findChild<QPushButton*>("btnmodify");
    const QPushButton* apply = gpNetDialog->findChild<QPushButton*>("btnapply");
    for (const QPushButton* button : {modify, apply}) {
        EXPECT_TRUE(button->text().isEmpty()) << button->objectName().toStdString();
        EXPECT_FALSE(button->icon().isNull()) << button->objectName().toStdString();
        EXPECT_EQ(button->iconSize(), QSize(40, 40));
    }
    EXPECT_TRUE(ScreenTest::saveShot(gpNetDialog, "network_settings_pictures"));
}

TEST_F(NetworkDialogTest, AcceptedEditRewritesBothCardFilesRunsTheScriptAndMovesThePriority)
{
    const int stops = MApplication::manualStopCount();
    editCard(tile("eth1"), [](Network_CardItem_SetDia* dialog) {
        EXPECT_EQ(dialog->findChild<QComboBox*>("QComboBox_pComUse"), nullptr);   // wired: no Wi-Fi rows
        EXPECT_EQ(dialog->findChild<QLineEdit*>("Edit_editHotName"), nullptr);
        dialog->findChild<CheckBox*>("RouteMetric")->setValue(1);
        dialog->findChild<EditIP*>("IPAddressEdite_IP")->setAddress("192.168.2.20");
    }, true);
    ASSERT_TRUE(TestEnv::waitUntil([&] { return machine.runner.count("python3") == 1; }, 10000));
    EXPECT_EQ(MApplication::manualStopCount(), stops + 1);

    const QJsonArray wired = machine.readCards(NetworkManager::kWiredFile);
    ASSERT_EQ(wired.size(), 2);
    EXPECT_FALSE(wired.at(0).toObject().value("ispriority").toBool());   // eth0 gave way
    EXPECT_TRUE(wired.at(1).toObject().value("ispriority").toBool());
    EXPECT_EQ(wired.at(1).toObject().value("address").toString(), "192.168.2.20");
    EXPECT_EQ(machine.readCards(NetworkManager::kWifiFile).at(0).toObject().value("hotname").toString(), "plant");
    EXPECT_EQ(label(tile("eth1"), "labip"), "192.168.2.20");
    EXPECT_EQ(label(tile("eth1"), "labpriority"), "优先启用");
    for (const char* file : {NetworkManager::kWiredFile, NetworkManager::kWifiFile}) {
        QProcess tool;
        tool.start("python3", {"-m", "json.tool", machine.path(file)});
        ASSERT_TRUE(tool.waitForFinished(10000));
        EXPECT_EQ(tool.exitCode(), 0) << file;
    }

    // Cancelled: nothing is written or run.
    editCard(tile("eth0"), [](Network_CardItem_SetDia* dialog) {
        dialog->findChild<EditIP*>("IPAddressEdite_IP")->setAddress("1.1.1.1");
    }, false);
    TestEnv::spin(300);
    EXPECT_EQ(machine.runner.count("python3"), 1);
    EXPECT_EQ(label(tile("eth0"), "labip"), "192.168.1.10");
}

// Static settings that would take the card off the network are refused with a message, and
// nothing is written or applied; an empty gateway or name server is stored as none.
TEST_F(NetworkDialogTest, AStaticCardNeedsAValidAddressAndMaskAndTakesNoGatewayAsNone)
{
    const QByteArray wired = cardFileBytes(NetworkManager::kWiredFile);
    const QByteArray wifi = cardFileBytes(NetworkManager::kWifiFile);

    bool pictured = false;
    MessageAnswerer messages([&pictured](WarnBox* box) {   // the first message pictured over its dialog
        // Over the middle of the card's settings, as on the panel.
        const QRect settings = box->parentWidget()->window()->frameGeometry();
        EXPECT_TRUE(ScreenTest::isCentredOn(box->frameGeometry(), settings));
        EXPECT_TRUE(settings.contains(box->frameGeometry()));
        if (!pictured)
            pictured = ScreenTest::saveShotOfWindows({box->parentWidget()->window(), box}, "network_card_static_refused");
    });
    QStringList& said = messages.texts;
    // Sets eth1's static addresses and presses OK; true when they were refused.
    const auto pressOk = [this](const QString& address, const QString& mask, const QString& gateway, const QString& dns) {
        return editCard(tile("eth1"), [&](Network_CardItem_SetDia* dialog) {
            dialog->findChild<QComboBox*>("QComboBox_pComTool")->setCurrentIndex(0);
            dialog->findChild<EditIP*>("IPAddressEdite_IP")->setAddress(address);
            dialog->findChild<EditIP*>("IPAddressEdite_Mask")->setAddress(mask);
            dialog->findChild<EditIP*>("IPAddressEdite_Route")->setAddress(gateway);
            dialog->findChild<EditIP*>("IPAddressEdite_DNS")->setAddress(dns);
        }, true);
    };

    const QString badMask = "静态地址需要有效的子网掩码\n(连续的1，如 255.255.255.0)";
    const QString badAddress = "静态地址需要有效的IP地址";
    const struct {
        const char* address;
        const char* mask;
        const char* gateway;
        QString message;
    } refused[] = {
        {"192.168.1.50", "", "", badMask},
        {"192.168.1.50", "0.0.0.0", "192.168.1.1", badMask},
        {"192.168.1.50", "255.0.255.0", "192.168.1.1", badMask},
        {"", "255.255.255.0", "192.168.1.1", badAddress},
        {"192.168.1.0", "255.255.255.0", "192.168.1.1", badAddress},   // the network itself
        {"192.168.1.50", "255.255.255.0", "192.168", "默认网关须为有效的地址，或留空"},
    };
    for (const auto& settings : refused) {
        SCOPED_TRACE(std::string(settings.address) + "/" + settings.mask);
        said.clear();
        EXPECT_TRUE(pressOk(settings.address, settings.mask, settings.gateway, "8.8.8.8"));
        EXPECT_EQ(said, QStringList{settings.message});
    }
    TestEnv::spin(300);
    EXPECT_TRUE(pictured);
    EXPECT_EQ(machine.runner.count("python3"), 0);
    EXPECT_EQ(cardFileBytes(NetworkManager::kWiredFile), wired);
    EXPECT_EQ(cardFileBytes(NetworkManager::kWifiFile), wifi);
    EXPECT_EQ(label(tile("eth1"), "labip"), "192.168.2.10");

    // A sound address and mask without gateway or name server: applied, with none of either.
    said.clear();
    EXPECT_FALSE(pressOk("192.168.1.50", "255.255.255.0", "", ""));
    EXPECT_TRUE(said.isEmpty());
    ASSERT_TRUE(TestEnv::waitUntil([&] { return machine.runner.count("python3") == 1; }, 10000));
    const QJsonObject card = machine.readCards(NetworkManager::kWiredFile).at(1).toObject();
    EXPECT_EQ(card.value("address").toString(), "192.168.1.50");
    EXPECT_EQ(card.value("netmask").toString(), "255.255.255.0");
    EXPECT_EQ(card.value("gateway"), QJsonValue(""));
    EXPECT_EQ(card.value("dns"), QJsonValue(""));
}

// The card reaches its gateway directly: one outside the card's network is refused with a
// message, and nothing is written or run; one inside a wider network is applied.
TEST_F(NetworkDialogTest, AStaticGatewayOutsideTheCardsNetworkIsRefusedAndNothingIsApplied)
{
    const QByteArray wired = cardFileBytes(NetworkManager::kWiredFile);
    const QByteArray wifi = cardFileBytes(NetworkManager::kWifiFile);
    // What ran besides the screen's own polling.
    const auto commandsRun = [this] {
        QStringList run = machine.runner.commands();
        run.erase(std::remove_if(run.begin(), run.end(), [](const QString& line) { return line == "ifconfig"; }), run.end());
        return run;
    };
    const QStringList before = commandsRun();
    bool pictured = false;
    MessageAnswerer messages([&pictured](WarnBox* box) {
        if (!pictured)
            pictured = ScreenTest::saveShotOfWindows({box->parentWidget()->window(), box}, "network_card_gateway_outside_refused");
    });
    const auto pressOk = [this](const QString& mask, const QString& gateway) {
        return editCard(tile("eth1"), [&](Network_CardItem_SetDia* dialog) {
            dialog->findChild<EditIP*>("IPAddressEdite_IP")->setAddress("192.168.2.10");
            dialog->findChild<EditIP*>("IPAddressEdite_Mask")->setAddress(mask);
            dialog->findChild<EditIP*>("IPAddressEdite_Route")->setAddress(gateway);
        }, true);
    };

    EXPECT_TRUE(pressOk("255.255.255.0", "10.9.9.9"));
    EXPECT_EQ(messages.texts, QStringList{"默认网关须与IP地址在同一网段，或留空"});
    TestEnv::spin(300);
    EXPECT_TRUE(pictured);
    EXPECT_EQ(commandsRun(), before);
    EXPECT_EQ(cardFileBytes(NetworkManager::kWiredFile), wired);
    EXPECT_EQ(cardFileBytes(NetworkManager::kWifiFile), wifi);
    EXPECT_EQ(label(tile("eth1"), "labroute"), "192.168.2.1");

    // 192.168.1.1 lies in 192.168.0.0/16 with the card.
    messages.texts.clear();
    EXPECT_FALSE(pressOk("255.255.0.0", "192.168.1.1"));
    EXPECT_TRUE(messages.texts.isEmpty());
    ASSERT_TRUE(TestEnv::waitUntil([&] { return machine.runner.count("python3") == 1; }, 10000));
    const QJsonObject card = machine.readCards(NetworkManager::kWiredFile).at(1).toObject();
    EXPECT_EQ(card.value("netmask").toString(), "255.255.0.0");
    EXPECT_EQ(card.value("gateway").toString(), "192.168.1.1");
}

// A card switched to DHCP: its address fields no longer count and cannot be edited, and its tile
// says it takes its address automatically instead of showing the old static one. The card file
// keeps the static settings for a return to them.
TEST_F(NetworkDialogTest, ACardOnDhcpShowsNoStaticNumbersOnItsTileAndItsAddressFieldsAreDisabled)
{
    const char* const fields[] = {"IPAddressEdite_IP", "IPAddressEdite_Mask", "IPAddressEdite_Route", "IPAddressEdite_DNS"};
    editCard(tile("eth1"), [&fields](Network_CardItem_SetDia* dialog) {
        ASSERT_TRUE(QTest::qWaitForWindowExposed(dialog));
        for (const char* name : fields)
            EXPECT_TRUE(dialog->findChild<EditIP*>(name)->isEnabled()) << name;
        dialog->findChild<QComboBox*>("QComboBox_pComTool")->setCurrentIndex(1);
        for (const char* name : fields)
            EXPECT_FALSE(dialog->findChild<EditIP*>(name)->isEnabled()) << name;
        ScreenTest::touch(dialog->findChild<EditIP*>("IPAddressEdite_IP")->octet(3));
        EXPECT_EQ(gpNumPad, nullptr);   // no keypad for a field that does not count
        EXPECT_TRUE(ScreenTest::saveShot(dialog, "network_card_dhcp_settings"));
    }, true);
    ASSERT_TRUE(TestEnv::waitUntil([&] { return machine.runner.count("python3") == 1; }, 10000));
    const QJsonObject card = machine.readCards(NetworkManager::kWiredFile).at(1).toObject();
    EXPECT_TRUE(card.value("isdhcp").toBool());
    EXPECT_EQ(card.value("address").toString(), "192.168.2.10");

    Network_CardItem* eth1 = tile("eth1");
    EXPECT_EQ(label(eth1, "labip"), "自动获取");
    for (const QLabel* shown : eth1->findChildren<QLabel*>()) {
        EXPECT_FALSE(shown->text().contains("192.168.") || shown->text().contains("255.255.")) << shown->text().toStdString();
        EXPECT_FALSE(shown->toolTip().contains("192.168.")) << shown->toolTip().toStdString();
    }
    EXPECT_EQ(label(tile("eth0"), "labip"), "192.168.1.10");   // a static card still shows its own
    EXPECT_TRUE(ScreenTest::saveShot(eth1->parentWidget(), "network_card_dhcp_tile"));

    // Opened again the fields start disabled; back to static they can be edited again.
    editCard(eth1, [&fields](Network_CardItem_SetDia* dialog) {
        EXPECT_FALSE(dialog->findChild<EditIP*>("IPAddressEdite_IP")->isEnabled());
        dialog->findChild<QComboBox*>("QComboBox_pComTool")->setCurrentIndex(0);
        for (const char* name : fields)
            EXPECT_TRUE(dialog->findChild<EditIP*>(name)->isEnabled()) << name;
        EXPECT_EQ(dialog->findChild<EditIP*>("IPAddressEdite_IP")->getAddress(), "192.168.2.10");
    }, false);
}

TEST_F(NetworkDialogTest, WifiSettingsOfferScannedNetworksAndKeepTheStoredOne)
{
    editCard(tile("wlan0"), [](Network_CardItem_SetDia* dialog) {
        auto* networks = dialog->findChild<QComboBox*>("QComboBox_pLabHotName");
        ASSERT_NE(networks, nullptr);
        EXPECT_EQ(networks->count(), 2);   // the scanned "office" and the stored "plant"
        EXPECT_EQ(networks->currentText(), "plant");
        emit networks->textActivated("office");
        dialog->findChild<QComboBox*>("QComboBox_pComUse")->setCurrentIndex(1);
    }, true);
    ASSERT_TRUE(TestEnv::waitUntil([&] { return machine.runner.count("python3") == 1; }, 10000));
    const QJsonObject wifi = machine.readCards(NetworkManager::kWifiFile).at(0).toObject();
    EXPECT_EQ(wifi.value("hotname").toString(), "office");
    EXPECT_FALSE(wifi.value("use").toBool(true));
    EXPECT_TRUE(tile("wlan0")->findChild<QLabel*>("labuse")->isVisibleTo(tile("wlan0")));
}

TEST_F(NetworkDialogTest, ApplyKeepsOtherConfigKeysAndWritesThePortAsText)
{
    EXPECT_EQ(gpNetDialog->config().devicename, "press-7");
    EXPECT_FALSE(gpNetDialog->config().api);   // "yes" is not a bool
    gpNetDialog->findChild<QPushButton*>("btnapply")->click();

    QFile file("cnt_net/config.json");
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    const QJsonObject config = QJsonDocument::fromJson(file.readAll()).object();
    EXPECT_EQ(config.value("version").toString(), "18.0.1.71");
    EXPECT_EQ(config.value("camcount").toInt(), 2);
    EXPECT_EQ(config.value("workspace").toString(), "./cnt_net/workspace/");
    EXPECT_EQ(config.value("videoapp_dir").toString(), "/root/div-OVE/cnt_net/");
    EXPECT_TRUE(config.value("serverport").isString());
    EXPECT_EQ(config.value("serverport").toString(), "10432");
    EXPECT_EQ(config.value("serveraddr").toString(), "10.1.2.3");
    EXPECT_EQ(config.value("devicename").toString(), "press-7");
    EXPECT_EQ(config.value("device_workapifunc"), QJsonValue(false));
    EXPECT_FALSE(JXK_NETMN::getInstance()->device_worknetfunc);
}

TEST_F(NetworkDialogTest, PingSendsTheTargetAsOneArgumentAndShowsWhatItPrinted)
{
    machine.runner.setHandler([](const QString& program, const QStringList& arguments) {
        CommandResult result;
        if (program == "ping" && arguments == QStringList{"127.0.0.1"})
            result.output = "PING 127.0.0.1 (127.0.0.1) 56(84) bytes of data.\n64 bytes from 127.0.0.1: icmp_seq=1\n";
        else if (program == "ping")
            result.output = "64 bytes from an earlier target\n";
        return result;
    });
    auto* target = gpNetDialog->findChild<QLineEdit*>("Edit_pingTarget");
    auto* ping = gpNetDialog->findChild<QPushButton*>("btnping");
    EXPECT_EQ(target->text(), "10.1.2.3");   // the server address from the settings
    QTextEdit* panel = gpNetDialog->findChild<TextShowWidget*>()->textEdit();

    // No server address gives no target (not 0.0.0.0); a target ping could take for an option,
    // or none at all, is said so, and no empty panel opens.
    gpNetDialog->findChild<EditIP*>()->setAddress("");
    EXPECT_EQ(target->text(), "");
    MessageAnswerer messages;
    for (const char* refused : {"-f", "127.0.0.1 -c 1", "", "0.0.0.0"}) {
        target->setText(refused);
        ping->click();
        EXPECT_FALSE(panel->parentWidget()->isVisible()) << refused;
    }
    EXPECT_EQ(messages.texts, QStringList({"请先输入要Ping的地址", "请先输入要Ping的地址", "请先输入要Ping的地址", "请先输入要Ping的地址"}));
    EXPECT_EQ(machine.runner.count("ping"), 0);

    // Pinging again at once: what the first ping printed does not reach the second one's panel.
    target->setText("127.0.0.2");
    ping->click();
    target->setText("127.0.0.1");
    ping->click();
    ASSERT_TRUE(TestEnv::waitUntil([&] { return panel->toPlainText().contains("icmp_seq=1"); }, 5000));
    EXPECT_EQ(machine.runner.commands().last(), "ping 127.0.0.1");
    EXPECT_EQ(panel->toPlainText(), "PING 127.0.0.1 (127.0.0.1) 56(84) bytes of data.\n64 bytes from 127.0.0.1: icmp_seq=1");
    gpNetDialog->findChild<TextShowWidget*>()->closeButton()->click();
    EXPECT_FALSE(gpNetDialog->isPinging());
    EXPECT_TRUE(panel->toPlainText().isEmpty());
}

TEST_F(NetworkDialogTest, SettingsPageBuildsTheScreenOnceAndAppliesOnOk)
{
    delete gpNetDialog;
    ASSERT_EQ(gpNetDialog, nullptr);
    QFile::remove("cnt_net/config.json");
    const int stops = MApplication::manualStopCount();
    WizardParaWidget page;
    QTimer answer;
    QObject::connect(&answer, &QTimer::timeout, [] {
        if (gpNetDialog && gpNetDialog->isVisible())
            gpNetDialog->acceptDialog();
    });
    answer.start(10);
    page.SlotToNetwork();
    NetworkSettingDialog* first = gpNetDialog;
    ASSERT_NE(first, nullptr);
    EXPECT_TRUE(QFile::exists("cnt_net/config.json"));   // OK applied the companion settings
    EXPECT_EQ(MApplication::manualStopCount(), stops + 1);
    page.SlotToNetwork();
    EXPECT_EQ(gpNetDialog, first);
}

namespace {

// One registration for pushes of detected_info to 127.0.0.1:9000, as a plant system sends it;
// true when the API took it.
bool subscribe(quint16 port)
{
    QTcpSocket socket;
    socket.connectToHost(QHostAddress::LocalHost, port);
    if (!socket.waitForConnected(3000))
        return false;
    const QByteArray body =
        R"({"subscriber":[{"subscriber_ip":"127.0.0.1","subscriber_port":9000,"subscriber_topic":"detected_info"}]})";
    socket.write("POST /v18/http/subscriber_baseinfo HTTP/1.1\r\nContent-Type: application/json\r\nContent-Length: " +
                 QByteArray::number(body.size()) + "\r\n\r\n" + body);
    const auto replies = NetTest::splitReplies(NetTest::readUntil(socket, [](const QByteArray& bytes) {
        return !NetTest::splitReplies(bytes).isEmpty();
    }, 5000));
    return !replies.isEmpty() && replies.first().second.contains("127.0.0.1;9000;detected_info");
}

}  // namespace

// Saved on a panel without config.json, the settings name the panel's own workspace,
// "/root/div-OVE/cnt_net/workspace/". Off the panel the subscriptions kept there stay with the
// run's other files: in the working directory, or in the fake machine tree when one is given.
TEST_F(NetworkDialogTest, SubscriptionsStayInTheWorkingDirectoryOrTheFakeRootOnceTheSettingsAreSaved)
{
    const QString fakeRoot = machine.path(QString());
    const QString underRoot = fakeRoot + "/root/div-OVE/cnt_net/workspace/subscriber.ini";
    const QString inWorkDir = TestEnv::workDir() + "/cnt_net/workspace/subscriber.ini";
    gpNetDialog->findChild<CheckBox*>()->click();   // the API on
    for (const bool withRoot : {true, false}) {
        TestEnv::EnvGuard root("MOULD_ROOT", withRoot ? fakeRoot.toUtf8() : QByteArray());
        QFile::remove("cnt_net/config.json");
        gpNetDialog->findChild<QPushButton*>("btnapply")->click();
        ASSERT_EQ(readNetworkConfig().value("workspace").toString(), "/root/div-OVE/cnt_net/workspace/");

        JXK_NETMN* network = JXK_NETMN::getInstance();
        ASSERT_TRUE(network->device_workapifunc);
        ASSERT_TRUE(subscribe(network->apiServer->serverPort()));
        const QString expected = withRoot ? underRoot : inWorkDir;
        EXPECT_TRUE(TestEnv::waitUntil([&] { return QFile::exists(expected); }, 5000)) << expected.toStdString();
        EXPECT_EQ(network->workspace + "subscriber.ini", expected);
    }
}

namespace {

QRect globalRect(const QWidget* widget)
{
    return QRect(widget->mapToGlobal(QPoint(0, 0)), widget->size());
}

int fontPixels(const QWidget* widget)
{
    return QFontInfo(widget->font()).pixelSize();
}

}  // namespace

// A Wi-Fi name or key is text: the operator types it on the text keypad, which opens beside the
// field over the card's settings, and the typed name reaches the card file.
TEST_F(NetworkDialogTest, AWifiNameIsTypedOnTheTextKeypad)
{
    editCard(tile("wlan0"), [](Network_CardItem_SetDia* dialog) {
        ASSERT_TRUE(QTest::qWaitForWindowExposed(dialog));
        EXPECT_TRUE(ScreenTest::saveShot(dialog, "network_card_dialog"));
        auto* name = dialog->findChild<QLineEdit*>("Edit_editHotName");
        ScreenTest::touch(name);
        NumCharInput* pad = gpNumCharPad;
        ASSERT_NE(pad, nullptr);
        ASSERT_TRUE(QTest::qWaitForWindowExposed(pad));
        EXPECT_EQ(pad->target(), name);
        EXPECT_FALSE(globalRect(pad).intersects(globalRect(name)));
        for (const char* key : {"back", "back", "back", "back", "back", "shift", "W"})
            ScreenTest::touchKey(pad, key);
        for (const QChar c : QString("erkhalle-3"))
            ScreenTest::touchKey(pad, c);
        EXPECT_EQ(name->text(), "Werkhalle-3");
        EXPECT_TRUE(ScreenTest::saveShotOfWindows({dialog, pad}, "keypad_text"));
        ScreenTest::touchKey(pad, "ok");
    }, true);
    ASSERT_TRUE(TestEnv::waitUntil([&] { return machine.runner.count("python3") == 1; }, 10000));
    EXPECT_EQ(machine.readCards(NetworkManager::kWifiFile).at(0).toObject().value("hotname").toString(), "Werkhalle-3");
    EXPECT_EQ(gpNumCharPad, nullptr);   // gone with the card's settings
}

TEST_F(NetworkDialogTest, AnOctetOf300IsRefusedAndNeverReachesTheCardFiles)
{
    const QByteArray wired = cardFileBytes(NetworkManager::kWiredFile);
    const QByteArray wifi = cardFileBytes(NetworkManager::kWifiFile);
    QString shown;
    editCard(tile("eth1"), [&](Network_CardItem_SetDia* dialog) {
        ASSERT_TRUE(QTest::qWaitForWindowExposed(dialog));
        Edit* last = dialog->findChild<EditIP*>("IPAddressEdite_IP")->octet(3);
        ScreenTest::touch(last);
        ASSERT_NE(gpNumPad, nullptr);
        EXPECT_EQ(gpNumPad->target(), last);
        for (const char* key : {"clear", "3", "0", "0", "ok"})
            ScreenTest::touchKey(gpNumPad, key);
        shown = dialog->findChild<EditIP*>("IPAddressEdite_IP")->getAddress();
    }, false);
    EXPECT_EQ(shown, "192.168.2.30");
    TestEnv::spin(300);
    EXPECT_EQ(machine.runner.count("python3"), 0);
    EXPECT_EQ(cardFileBytes(NetworkManager::kWiredFile), wired);
    EXPECT_EQ(cardFileBytes(NetworkManager::kWifiFile), wifi);

    // Accepted, the card is applied with what the field could take.
    editCard(tile("eth1"), [](Network_CardItem_SetDia* dialog) {
        Edit* last = dialog->findChild<EditIP*>("IPAddressEdite_IP")->octet(3);
        last->clear();
        QTest::keyClicks(last, "300");
    }, true);
    ASSERT_TRUE(TestEnv::waitUntil([&] { return machine.runner.count("python3") == 1; }, 10000));
    EXPECT_EQ(machine.readCards(NetworkManager::kWiredFile).at(1).toObject().value("address").toString(), "192.168.2.30");
}

TEST_F(NetworkDialogTest, CardSettingsAreFingerSizedReadableAndFillTheDialog)
{
    for (const char* card : {"wlan0", "eth1"}) {
        SCOPED_TRACE(card);
        editCard(tile(card), [card](Network_CardItem_SetDia* dialog) {
            ASSERT_TRUE(QTest::qWaitForWindowExposed(dialog));
            EXPECT_EQ(dialog->size(), QSize(800, QString(card) == "wlan0" ? 800 : 500));
            if (QString(card) == "eth1") {
                EXPECT_TRUE(ScreenTest::saveShot(dialog, "network_card_dialog_wired"));
            }
            int lowest = 0;
            for (QWidget* control : dialog->findChildren<QWidget*>()) {
                const bool input = qobject_cast<QComboBox*>(control) || qobject_cast<QLineEdit*>(control)
                                   || qobject_cast<QCheckBox*>(control);
                if (!input || !control->isVisible())
                    continue;
                EXPECT_GE(control->height(), 44) << control->objectName().toStdString();
                EXPECT_GE(fontPixels(control), 20) << control->objectName().toStdString();
                lowest = qMax(lowest, control->mapTo(dialog, QPoint(0, control->height())).y());
            }
            EXPECT_GE(lowest, dialog->height() * 85 / 100);   // no empty lower part
            for (QLabel* label : dialog->findChildren<QLabel*>()) {
                if (label->isVisible() && label->text().size() > 1) {
                    EXPECT_GE(fontPixels(label), 20) << label->text().toStdString();
                }
            }
            // The card is named whole, whatever its tile shows.
            const QLabel* header = dialog->findChild<QLabel*>("labcard");
            ASSERT_NE(header, nullptr);
            EXPECT_TRUE(header->text().contains(QString(card) + " card"));
            // Every caption fits its button ("cancel" among them).
            for (const QPushButton* button : dialog->findChildren<QPushButton*>()) {
                if (button->isVisible()) {
                    EXPECT_LE(button->fontMetrics().horizontalAdvance(button->text()), button->width() - 8)
                        << button->text().toStdString();
                }
            }
        }, false);
    }
}

TEST_F(NetworkDialogTest, CancelledSwitchesAreGoneWhenTheScreenOpensAgain)
{
    auto* api = gpNetDialog->findChild<CheckBox*>();
    ASSERT_EQ(api->text(), "是否开启API接口功能");
    api->click();
    gpNetDialog->findChild<QPushButton*>("btnapply")->click();
    ASSERT_TRUE(JXK_NETMN::getInstance()->device_workapifunc);

    api->click();
    gpNetDialog->findChild<QLineEdit*>("Edit_deviceId")->setText("press-9");
    gpNetDialog->findChild<EditIP*>()->setAddress("10.9.9.9");
    gpNetDialog->reject();
    gpNetDialog->show();
    EXPECT_TRUE(api->isChecked());
    EXPECT_EQ(gpNetDialog->findChild<QLineEdit*>("Edit_deviceId")->text(), "press-7");
    EXPECT_EQ(gpNetDialog->findChild<EditIP*>()->getAddress(), "10.1.2.3");
    EXPECT_EQ(gpNetDialog->findChild<QLineEdit*>("Edit_pingTarget")->text(), "10.1.2.3");

    // OK on the reopened screen keeps the API on.
    gpNetDialog->acceptDialog();
    gpNetDialog->slotUpdateVUD();
    EXPECT_TRUE(JXK_NETMN::getInstance()->device_workapifunc);
    EXPECT_EQ(readNetworkConfig().value("device_workapifunc"), QJsonValue(true));
}

// Ten cards: the column is dragged by a finger, and long names and descriptions are cut on
// their tiles but shown whole when a tile is touched.
TEST_F(NetworkDialogTest, TenCardsScrollByDraggingAndShowTheirWholeNamesWhenTouched)
{
    delete gpNetDialog;
    QByteArray dev = "Inter-|   Receive\n face |bytes    packets\n    lo:    4096      40    0    0    0     0          0         0     4096      40\n";
    QJsonArray cards;
    for (int i = 0; i < 10; ++i) {
        const QString name = i == 0 ? "enx00e04c6801a2b3" : QString("eth%1").arg(i);
        dev += "  " + name.toUtf8() + ": 1000      10    0    0    0     0          0         0     100      1\n";
        QJsonObject card = NetMachine::card(name, QString("192.168.%1.10").arg(i));
        if (i == 0)
            card.insert("describe", "USB adapter on the operator desk beside the mould, left port");
        cards.append(card);
    }
    TestEnv::writeText(machine.path("/proc/net/dev"), dev);
    machine.writeCards(NetworkManager::kWiredFile, cards);
    machine.writeCards(NetworkManager::kWifiFile, {});
    gpNetDialog = new NetworkSettingDialog;
    gpNetDialog->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(gpNetDialog));
    ASSERT_EQ(gpNetDialog->cardTiles().size(), 10);

    Network_CardItem* usb = tile("enx00e04c6801a2b3");
    for (const char* name : {"labname", "labmac", "labip", "labmask", "labroute", "labtip", "labpriority", "labspeed"})
        EXPECT_GE(fontPixels(usb->findChild<QLabel*>(name)), 20) << name;
    const QString tip = label(usb, "labtip");
    EXPECT_TRUE(tip.endsWith("…")) << tip.toStdString();
    EXPECT_LE(usb->findChild<QLabel*>("labtip")->fontMetrics().horizontalAdvance(tip), usb->findChild<QLabel*>("labtip")->width());
    EXPECT_EQ(label(usb, "labmac"), "00:11:22:33:44:55");
    QLabel* whole = usb->findChild<QLabel*>("labwhole");
    ASSERT_NE(whole, nullptr);
    // Touches well apart, not a double click.
    const auto touchTile = [usb] {
        QTest::mouseClick(gpNetDialog->windowHandle(), Qt::LeftButton, {}, usb->mapTo(gpNetDialog, QPoint(200, 100)),
                          QApplication::doubleClickInterval() + 100);
    };
    touchTile();
    ASSERT_TRUE(TestEnv::waitUntil([whole] { return whole->isVisible(); }, 2000));
    EXPECT_TRUE(whole->text().contains("USB adapter on the operator desk beside the mould, left port"));
    EXPECT_TRUE(whole->text().contains("enx00e04c6801a2b3"));
    EXPECT_TRUE(ScreenTest::saveShot(usb, "network_card_tile_touched"));
    touchTile();
    EXPECT_TRUE(TestEnv::waitUntil([whole] { return !whole->isVisible(); }, 2000));
    EXPECT_TRUE(ScreenTest::saveShot(gpNetDialog, "network_settings_many_cards"));

    auto* scroll = gpNetDialog->findChild<QScrollArea*>();
    QWidget* viewport = scroll->viewport();
    ASSERT_TRUE(TestEnv::waitUntil([scroll] { return scroll->verticalScrollBar()->maximum() > 0; }, 2000));
    QWindow* window = gpNetDialog->windowHandle();
    const QPoint start = viewport->mapTo(gpNetDialog, QPoint(300, viewport->height() - 100));
    QTest::mousePress(window, Qt::LeftButton, {}, start);
    for (int step = 1; step <= 20; ++step) {
        QTest::qWait(15);
        QTest::mouseMove(window, start - QPoint(0, step * 30));
    }
    QTest::mouseRelease(window, Qt::LeftButton, {}, start - QPoint(0, 600));
    // The drag brings the last card into view.
    QScrollBar* bar = scroll->verticalScrollBar();
    EXPECT_TRUE(TestEnv::waitUntil([bar] { return bar->value() == bar->maximum(); }, 3000)) << bar->value();
    const QWidget* last = tile("eth9");
    EXPECT_TRUE(viewport->rect().contains(QRect(last->mapTo(viewport, QPoint(0, 0)), last->size())));
}

// Contrast of two colours as the readability guidelines measure it (1:1 to 21:1).
double contrast(const QColor& a, const QColor& b)
{
    const auto luminance = [](const QColor& c) {
        const auto channel = [](double v) { return v <= 0.03928 ? v / 12.92 : std::pow((v + 0.055) / 1.055, 2.4); };
        return 0.2126 * channel(c.redF()) + 0.7152 * channel(c.greenF()) + 0.0722 * channel(c.blueF());
    };
    const double la = luminance(a);
    const double lb = luminance(b);
    return (qMax(la, lb) + 0.05) / (qMin(la, lb) + 0.05);
}

// How far the tick of a checked box stands out from the box: the strongest contrast of anything
// drawn in the box's middle to the box's own colour (at the middle's top left, which the tick
// leaves free).
double tickContrast(CheckBox* box)
{
    QStyleOptionButton option;
    option.initFrom(box);
    const QRect indicator = box->style()->subElementRect(QStyle::SE_CheckBoxIndicator, &option, box);
    const QRect middle = indicator.adjusted(indicator.width() / 5, indicator.height() / 5, -indicator.width() / 5,
                                            -indicator.height() / 5);
    const QImage image = box->grab().toImage();
    const QColor fill = image.pixelColor(middle.topLeft());
    double strongest = 1;
    for (int y = middle.top(); y <= middle.bottom(); ++y) {
        for (int x = middle.left(); x <= middle.right(); ++x)
            strongest = qMax(strongest, contrast(fill, image.pixelColor(x, y)));
    }
    return strongest;
}

// A checked box reads as checked at arm's length: its tick stands out from the box at least
// 4.5:1, on the settings' picture storage dialog and on the network screen alike.
TEST_F(NetworkDialogTest, CheckedBoxesShowATickThatStandsOutFromTheirBox)
{
    SaveImageSettingDailog storage;
    storage.init({{"days", 31}, {"useDiskSaveImage", 1}, {"lostUpanAlarm", 1}});
    storage.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&storage));
    QList<CheckBox*> boxes = storage.findChildren<CheckBox*>();
    const QList<CheckBox*> switches = gpNetDialog->findChildren<CheckBox*>();
    ASSERT_EQ(switches.size(), 3);
    for (CheckBox* box : switches)
        box->setValue(1);
    boxes << switches;
    for (CheckBox* box : qAsConst(boxes)) {
        SCOPED_TRACE(box->text().toStdString());
        ASSERT_TRUE(box->isChecked());
        EXPECT_GE(tickContrast(box), 4.5);
    }

    EXPECT_TRUE(ScreenTest::saveShot(&storage, "settings_checked_boxes"));
}
