#include "netservices/netcards/networkmanager.h"
#include "netservices/netmachine.h"

#include <QApplication>
#include <QThread>
#include <gtest/gtest.h>

namespace {

using Wire = const char*;
constexpr Wire kWired = NetworkManager::kWiredFile;
constexpr Wire kWifi = NetworkManager::kWifiFile;

const QByteArray kIfconfig =
    "eth0: flags=4163<UP,BROADCAST,RUNNING,MULTICAST>  mtu 1500\n"
    "        inet 192.168.1.10  netmask 255.255.255.0  broadcast 192.168.1.255\n"
    "\n"
    "eth1: flags=4099<UP,BROADCAST,MULTICAST>  mtu 1500\n"
    "        ether 00:11:22:33:44:66  txqueuelen 1000  (Ethernet)\n"
    "\n"
    "lo: flags=73<UP,LOOPBACK,RUNNING>  mtu 65536\n"
    "        inet 127.0.0.1  netmask 255.0.0.0\n"
    "\n"
    "wlan0: flags=4098<BROADCAST,MULTICAST>  mtu 1500\n"
    "        ether 00:11:22:33:44:77  txqueuelen 1000  (Ethernet)\n";

QStringList names(const QJsonArray& cards)
{
    QStringList result;
    for (const QJsonValue& card : cards)
        result << card.toObject().value("name").toString();
    return result;
}

}  // namespace

TEST(NetworkCards, KeepsOnlyPresentCardsEachOnceAndWarnsOfMissingOnes)
{
    NetMachine machine;
    QJsonObject wifi = NetMachine::card("wlan0", "10.0.0.2", true);
    wifi.insert("hotname", "plant");
    wifi.insert("describe_netplan", "netplan ok");
    machine.writeCards(kWired, {NetMachine::card("eth0", "192.168.1.10"), NetMachine::card("eth9", "192.168.9.9"),
                                NetMachine::card("eth0", "192.168.1.99")});
    machine.writeCards(kWifi, {wifi, NetMachine::card("eth0", "1.2.3.4", true)});

    NetworkManager* manager = NetworkManager::getInstance();
    EXPECT_EQ(names(manager->cardList()), QStringList({"eth0", "wlan0"}));
    EXPECT_EQ(manager->lastMessage(), "Warning: Number of nics Changed");
    EXPECT_TRUE(manager->initnetcard(false));
    EXPECT_EQ(machine.runner.count("python3"), 0);   // the files were there: no script

    const QMap<QString, stu_netinfo> cards = manager->readNetInfo();
    ASSERT_EQ(cards.keys(), QStringList({"eth0", "wlan0"}));
    EXPECT_EQ(cards["eth0"].address, "192.168.1.10");   // the first eth0, not the duplicate
    EXPECT_EQ(cards["wlan0"].hotname, "plant");
    EXPECT_EQ(cards["wlan0"].describe, "wlan0 card(netplan ok)");
}

TEST(NetworkCards, NoUsableWiredCardGivesTheMessageAndRewritesNothing)
{
    NetMachine machine;
    TestEnv::writeText(machine.path("/etc/network/pyreport.txt"), "report");
    machine.writeCards(kWired, {NetMachine::card("eth9", "192.168.9.9")});
    machine.writeCards(kWifi, {NetMachine::card("wlan0", "10.0.0.2", true)});
    NetworkManager* manager = NetworkManager::getInstance();
    EXPECT_FALSE(manager->initnetcard(false));
    EXPECT_TRUE(manager->cardList().isEmpty());   // the Wi-Fi file is not read then
    EXPECT_EQ(manager->lastMessage(), "无法找到网卡信息 请联系开发人员!!");
    EXPECT_FALSE(QFile::exists(machine.path("/etc/network/pyreport.txt")));

    TestEnv::writeText(machine.path(kWired), "{\"netcard_info\": garbage");
    EXPECT_FALSE(manager->initnetcard(false));
    EXPECT_EQ(manager->lastMessage(), "无法找到网卡信息 请联系开发人员!!");
    QFile wired(machine.path(kWired));
    ASSERT_TRUE(wired.open(QIODevice::ReadOnly));
    EXPECT_EQ(wired.readAll(), "{\"netcard_info\": garbage");
    EXPECT_EQ(machine.runner.count("python3"), 0);
}

TEST(NetworkCards, ConversionsTakeOnlyTypedValuesAndWriteWifiFieldsAndPriorityByRule)
{
    NetMachine machine;
    NetworkManager* manager = NetworkManager::getInstance();

    QJsonObject wired = NetMachine::card("eth0", "192.168.1.10");
    wired.insert("isdhcp", "true");     // a string, not a bool
    wired.insert("hotname", "plant");   // only Wi-Fi cards carry a network name
    wired.insert("ispriority", true);
    const stu_netinfo card = manager->json2stu(wired);
    EXPECT_FALSE(card.isdhcp);
    EXPECT_TRUE(card.hotname.isEmpty());
    EXPECT_TRUE(card.use);
    EXPECT_EQ(card.gateway, "192.168.1.1");
    EXPECT_TRUE(manager->json2stu(QJsonObject{{"name", 7}}).name.isEmpty());

    QJsonObject written = manager->stu2json(card);
    EXPECT_FALSE(written.contains("hotname") || written.contains("use") || written.contains("passwd"));
    EXPECT_FALSE(written.contains("describe_netplan"));
    EXPECT_FALSE(written.value("ispriority").toBool());   // no priority card named yet

    stu_netinfo other = card;
    other.name = "eth1";
    manager->setPriorityCardName("eth1");
    EXPECT_FALSE(manager->stu2json(card).value("ispriority").toBool());
    EXPECT_TRUE(manager->stu2json(other).value("ispriority").toBool());

    stu_netinfo wifi = manager->json2stu(NetMachine::card("wlan0", "10.0.0.2", true));
    wifi.hotname = "plant";
    wifi.use = false;
    written = manager->stu2json(wifi);
    EXPECT_EQ(written.value("hotname").toString(), "plant");
    EXPECT_FALSE(written.value("use").toBool(true));
    EXPECT_EQ(manager->json2stu(written).hotname, "plant");
}

TEST(NetworkCards, PollsGiveLinkStatesAndRatesAfterAStoredFirstSample)
{
    EXPECT_EQ(NetworkManager::rateText(1536), "1.50kb/s");
    EXPECT_EQ(NetworkManager::rateText(500), "500.00b/s");
    EXPECT_EQ(NetworkManager::rateText(3145728), "3.00mb/s");

    NetMachine machine;
    machine.writeCards(kWired, {NetMachine::card("eth0", "192.168.1.10"), NetMachine::card("eth1", "192.168.2.10")});
    machine.ifconfigOutput = kIfconfig;
    NetworkManager* manager = NetworkManager::getInstance();
    manager->NDSpeed_Touch(true, 500);
    EXPECT_TRUE(manager->isPolling());

    manager->slotSpeedTick();   // first tick: counts stored, no rate from all bytes so far
    QMap<QString, stu_speedinfo> table = manager->speedTable();
    EXPECT_EQ(table.keys(), QStringList({"eth0", "eth1"}));   // lo and the down wlan0 get none
    EXPECT_EQ(table["eth0"].rateText, "0 kb/s");

    machine.setReceived(1000 + 3840, 2000, 0);   // 1536 bytes a second over 2.5 s
    for (int i = 0; i < 4; ++i)
        manager->slotSpeedTick();
    EXPECT_EQ(manager->speedTable()["eth0"].rateText, "0 kb/s");   // not a rate step yet
    manager->slotSpeedTick();
    table = manager->speedTable();
    EXPECT_EQ(table["eth0"].rateText, "1.50kb/s");
    EXPECT_TRUE(table["eth0"].running);
    EXPECT_EQ(table["eth1"].rateText, "0.00b/s");
    EXPECT_FALSE(table["eth1"].running);   // up but not RUNNING

    // Shown again after a while: the bytes received meanwhile are not a rate.
    machine.setReceived(1000 + 3840 + 10'000'000, 2000, 0);
    manager->NDSpeed_Touch(true, 500);
    manager->slotSpeedTick();
    EXPECT_EQ(manager->speedTable()["eth0"].rateText, "1.50kb/s");
    manager->NDSpeed_Touch(false, 500);
    EXPECT_FALSE(manager->isPolling());
}

TEST(NetworkCards, ScanTakesTheCardDownAndUpAndListsEachNetworkOnce)
{
    NetMachine machine;
    machine.writeCards(kWired, {NetMachine::card("eth0", "192.168.1.10")});
    machine.writeCards(kWifi, {NetMachine::card("wlan0", "10.0.0.2", true)});
    machine.iwlistOutput =
        "wlan0     Scan completed :\n"
        "          Cell 01 - Address: 00:11:22:33:44:88\n"
        "                    ESSID:\"plant floor\"\n"
        "                    ESSID:\"\"\n"
        "                    ESSID:\"office\"\n"
        "                    ESSID:\"plant floor\"\n";
    // Every command of the scan may take long: none of them may run on the GUI thread.
    QStringList onGuiThread;
    machine.runner.setHandler([&machine, &onGuiThread](const QString& program, const QStringList&) {
        if (QThread::currentThread() == qApp->thread())
            onGuiThread << program;
        CommandResult result;
        if (program == QLatin1String("iwlist"))
            result.output = machine.iwlistOutput;
        return result;
    });
    NetworkManager* manager = NetworkManager::getInstance();
    EXPECT_EQ(manager->getHotPoints("wlan0"), QStringList({"plant floor", "office"}));
    EXPECT_EQ(machine.runner.commands(), QStringList({"ifconfig wlan0 down", "iwconfig wlan0 mode managed",
                                                      "ifconfig wlan0 up", "iwlist wlan0 scan"}));
    EXPECT_TRUE(onGuiThread.isEmpty()) << onGuiThread.join(' ').toStdString();

    // Names that are not cards of the list, or not plain interface names, reach no command.
    EXPECT_TRUE(manager->getHotPoints("wlan0;reboot").isEmpty());
    EXPECT_TRUE(manager->getHotPoints("wlan7").isEmpty());
    EXPECT_EQ(machine.runner.commands().size(), 4);

    EXPECT_TRUE(NetworkManager::isWifi("wlan0"));
    EXPECT_FALSE(NetworkManager::isWifi("eth0"));
    EXPECT_FALSE(NetworkManager::isWifi("../net/wlan0"));
}

TEST(NetworkCards, CardScriptStandInWritesBothFilesKeepingStoredSettings)
{
    NetMachine machine;
    QJsonObject eth0 = NetMachine::card("eth0", "192.168.1.10");
    eth0.insert("ispriority", true);
    machine.writeCards(kWired, {eth0, NetMachine::card("eth5", "192.168.5.5")});
    QJsonObject wifi = NetMachine::card("wlan0", "10.0.0.2", true);
    wifi.insert("hotname", "plant");
    wifi.insert("passwd", "secret");
    machine.writeCards(kWifi, {wifi});

    NetworkManager* manager = NetworkManager::getInstance();
    ASSERT_TRUE(manager->initnetcard(true));
    EXPECT_EQ(machine.runner.count("python3 ./cnt_net/durad20_upnetcard.py"), 1);
    EXPECT_EQ(manager->lastMessage(), "");

    const QJsonArray wired = machine.readCards(kWired);
    EXPECT_EQ(names(wired), QStringList({"eth0", "eth1"}));   // eth5 is gone, eth1 is new
    EXPECT_EQ(wired.at(0).toObject().value("address").toString(), "192.168.1.10");
    EXPECT_TRUE(wired.at(0).toObject().value("ispriority").toBool());
    EXPECT_EQ(wired.at(1).toObject().value("mac").toString(), "");
    const QJsonArray wifis = machine.readCards(kWifi);
    ASSERT_EQ(names(wifis), QStringList({"wlan0"}));
    EXPECT_EQ(wifis.at(0).toObject().value("passwd").toString(), "secret");
    EXPECT_EQ(manager->readNetInfo().keys(), QStringList({"eth0", "eth1", "wlan0"}));

    for (Wire file : {kWired, kWifi}) {
        QProcess tool;
        tool.start("python3", {"-m", "json.tool", machine.path(file)});
        ASSERT_TRUE(tool.waitForFinished(10000));
        EXPECT_EQ(tool.exitCode(), 0) << file;
    }
}

TEST(NetworkCards, CardScriptWithoutAFakeRootWritesNothingAndFails)
{
    QProcess script;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.remove("MOULD_ROOT");
    script.setProcessEnvironment(env);
    script.start("python3", {NetMachine::standIn("durad20_upnetcard.py")});
    ASSERT_TRUE(script.waitForFinished(10000));
    EXPECT_EQ(script.exitCode(), 1);
    EXPECT_TRUE(QDir(TestEnv::workDir()).entryList(QDir::NoDotAndDotDot | QDir::AllEntries).isEmpty());
}

TEST(NetworkCards, ProcessCheckAddressCheckAndSubnetGrouping)
{
    NetMachine machine;
    machine.writeCards(kWired, {NetMachine::card("eth0", "192.168.1.10")});
    machine.psOutput =
        "USER  PID %CPU COMMAND\n"
        "root  100  0.0 grep zuzad_evurevi\n"
        "root  200  0.0 ./cnt_net/zuzad_evurevi/zuzad_evurevi ./cnt_net/config.json\n";
    EXPECT_TRUE(NetworkManager::getProcessAlive("zuzad_evurevi"));
    machine.psOutput = "root  100  0.0 grep zuzad_evurevi\n";
    EXPECT_FALSE(NetworkManager::getProcessAlive("zuzad_evurevi"));
    EXPECT_TRUE(machine.runner.commands().contains("ps -aux"));

    EXPECT_TRUE(NetworkManager::chkIPformat("192.168.1.10"));
    EXPECT_FALSE(NetworkManager::chkIPformat(""));
    EXPECT_FALSE(NetworkManager::chkIPformat("192.168.1.300"));

    const QMap<QString, QString> groups = NetworkManager::groupBySubnet(
        {{"eth0", "192.168.1.5"}, {"eth1", "192.168.1.6"}, {"wlan0", "10.0.0.2"}, {"eth2", "fe80::1"}});
    EXPECT_EQ(groups, (QMap<QString, QString>{{"192.168.1", "eth0;eth1;"}, {"10.0.0", "wlan0;"}}));
}

TEST(NetworkCards, OffThePanelOnlyTheCardScriptRunsOfAllPython3Commands)
{
    TestEnv::EnvGuard panel("MOULD_PANEL", QByteArray());
    NetMachine machine;
    machine.writeCards(kWired, {NetMachine::card("eth0", "192.168.1.10")});
    NetworkManager::getInstance();

    SystemCommandRunner system;
    const CommandResult other = system.run("python3", {"-c", "open('ran', 'w')"});
    EXPECT_TRUE(other.output.isEmpty());
    EXPECT_FALSE(QFile::exists("ran"));
    EXPECT_FALSE(system.run("python3", {"./cnt_net/durad20_upnetcard.py", "--extra"}).output.contains("card script"));

    const CommandResult script = system.run("python3", {"./cnt_net/durad20_upnetcard.py"});
    EXPECT_TRUE(script.ok());
    EXPECT_TRUE(script.output.contains("card script started"));
}
