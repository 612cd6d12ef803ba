#include "base/lanstr.h"
#include "config/wizardparawidget.h"
#include "detection/mapplication.h"
#include "netservices/companion/network.h"
#include "netservices/netcards/networksettingdialog.h"
#include "netservices/netmachine.h"
#include "records/screen_support.h"
#include "widgets/editip.h"
#include "widgets/publictools_widget.h"

#include <QApplication>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QScrollArea>
#include <QScrollBar>
#include <QTextEdit>
#include <gtest/gtest.h>

#include <functional>

namespace {

const QByteArray kIfconfig =
    "eth0: flags=4163<UP,BROADCAST,RUNNING,MULTICAST>  mtu 1500\n"
    "        inet 192.168.1.10  netmask 255.255.255.0\n"
    "\n"
    "eth1: flags=4099<UP,BROADCAST,MULTICAST>  mtu 1500\n"
    "\n"
    "wlan0: flags=4163<UP,BROADCAST,RUNNING,MULTICAST>  mtu 1500\n";

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

    static QString label(QWidget* widget, const char* name)
    {
        return widget->findChild<QLabel*>(name)->text();
    }

    // Opens a tile's settings, lets edit change them, and accepts (or cancels) the settings.
    static void editCard(Network_CardItem* item, const std::function<void(Network_CardItem_SetDia*)>& edit, bool accept)
    {
        bool answered = false;
        QTimer poll;
        QObject::connect(&poll, &QTimer::timeout, [&] {
            for (QWidget* window : QApplication::topLevelWidgets()) {
                auto* dialog = qobject_cast<Network_CardItem_SetDia*>(window);
                if (!dialog || !dialog->isVisible() || answered)
                    continue;
                answered = true;
                edit(dialog);
                accept ? dialog->acceptDialog() : dialog->reject();
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

    for (const char* refused : {"-f", "127.0.0.1 -c 1", ""}) {
        target->setText(refused);
        ping->click();
    }
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
