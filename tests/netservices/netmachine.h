#pragma once

// A fake panel for the network-card code under a temporary MOULD_ROOT: "/proc/net/dev" with
// lo, eth0, eth1 and wlan0, the Wi-Fi marker of wlan0, card files, and a command runner that
// answers ifconfig, iwlist and ps with canned output and runs the card script stand-in for real.
#include "netservices/netcards/networkmanager.h"
#include "support/fakecommandrunner.h"
#include "support/testenv.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QProcess>
#include <QTemporaryDir>

class NetMachine {
public:
    NetMachine()
        : m_root(QDir::tempPath() + QStringLiteral("/mouldnet-XXXXXX"))
        , m_root_env("MOULD_ROOT", m_root.path().toUtf8())
    {
        NetworkManager::destroyInstance();
        setReceived(1000, 2000, 0);
        QDir().mkpath(path("/sys/class/net/wlan0/wireless"));
        TestEnv::writeText(path("/sys/class/net/eth0/address"), "00:11:22:33:44:55\n");
        // The card script as the program runs it: from the working directory.
        QDir().mkpath(QStringLiteral("cnt_net"));
        QFile::copy(standIn(QStringLiteral("durad20_upnetcard.py")), QStringLiteral("cnt_net/durad20_upnetcard.py"));
        runner.setHandler([this](const QString& program, const QStringList& arguments) {
            return answer(program, arguments);
        });
    }

    ~NetMachine()
    {
        NetworkManager::destroyInstance();
        runner.setHandler(nullptr);
    }

    static QString standIn(const QString& name)
    {
        return QFileInfo(QStringLiteral(MOULD_PROGRAM_PATH)).absolutePath() + QStringLiteral("/standins/") + name;
    }

    QString path(const QString& absolute) const { return m_root.path() + absolute; }

    // "/proc/net/dev" with the received-byte counts of the three cards.
    void setReceived(quint64 eth0, quint64 eth1, quint64 wlan0)
    {
        QByteArray text =
            "Inter-|   Receive                                                |  Transmit\n"
            " face |bytes    packets errs drop fifo frame compressed multicast|bytes    packets\n"
            "    lo:    4096      40    0    0    0     0          0         0     4096      40\n";
        const auto line = [](const char* name, quint64 bytes) {
            return QByteArray("  ") + name + ": " + QByteArray::number(bytes) + "      10    0    0    0     0          0         0     100      1\n";
        };
        text += line("eth0", eth0) + line("eth1", eth1) + line("wlan0", wlan0);
        TestEnv::writeText(path("/proc/net/dev"), text);
    }

    // A static card on address/24 with its gateway at .1 of that network.
    static QJsonObject card(const QString& name, const QString& address, bool wifi = false)
    {
        const QString gateway = address.section(QLatin1Char('.'), 0, 2) + QStringLiteral(".1");
        return QJsonObject{{"name", name}, {"mac", "00:11:22:33:44:55"}, {"address", address},
                           {"netmask", "255.255.255.0"}, {"gateway", gateway}, {"dns", "8.8.8.8"},
                           {"isdhcp", false}, {"describe", name + " card"}, {"status", "up"},
                           {"iswifi", wifi}, {"ispriority", false}};
    }

    void writeCards(const char* file, const QJsonArray& cards)
    {
        TestEnv::writeText(path(file), QJsonDocument(QJsonObject{{"netcard_info", cards}}).toJson());
    }

    QJsonArray readCards(const char* file) const
    {
        QFile in(path(file));
        if (!in.open(QIODevice::ReadOnly))
            return {};
        return QJsonDocument::fromJson(in.readAll()).object().value("netcard_info").toArray();
    }

    QByteArray ifconfigOutput;
    QByteArray iwlistOutput;
    QByteArray psOutput;
    FakeCommandRunner runner;

private:
    CommandResult answer(const QString& program, const QStringList& arguments)
    {
        CommandResult result;
        if (program == QLatin1String("ifconfig") && arguments.isEmpty())
            result.output = ifconfigOutput;
        else if (program == QLatin1String("iwlist"))
            result.output = iwlistOutput;
        else if (program == QLatin1String("ps"))
            result.output = psOutput;
        else if (program == QLatin1String("python3"))
            return SystemCommandRunner().run(program, arguments);
        return result;
    }

    QTemporaryDir m_root;
    TestEnv::EnvGuard m_root_env;
};
