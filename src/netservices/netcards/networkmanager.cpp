#include "netservices/netcards/networkmanager.h"

#include "base/platform.h"
#include "netservices/netcards/networksettingdialog.h"
#include "widgets/dialogframe.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHostAddress>
#include <QJsonDocument>
#include <QNetworkInterface>
#include <QRegularExpression>
#include <QTimer>
#include <QtDebug>

NetworkManager* NetworkManager::instance = nullptr;

namespace {

constexpr int kScriptTimeoutMs = 120000;
constexpr int kIfconfigTimeoutMs = 200;
constexpr int kScanTimeoutMs = 30000;
constexpr int kRateStepTicks = 5;
// Five ticks of 500 ms: the span between two rate steps.
constexpr double kRateStepSeconds = 2.5;

QByteArray readMachineFile(const QString& absolutePath, bool* ok = nullptr)
{
    QFile file(Platform::path(absolutePath));
    const bool opened = file.open(QIODevice::ReadOnly);
    if (ok)
        *ok = opened;
    return opened ? file.readAll() : QByteArray();
}

bool dialogIsHidden()
{
    return gpNetDialog && gpNetDialog->isHidden();
}

void takeString(const QJsonObject& object, const char* key, QString& field)
{
    const QJsonValue value = object.value(QLatin1String(key));
    if (value.isString())
        field = value.toString();
}

void takeBool(const QJsonObject& object, const char* key, bool& field)
{
    const QJsonValue value = object.value(QLatin1String(key));
    if (value.isBool())
        field = value.toBool();
}

}  // namespace

NetworkManager* NetworkManager::getInstance()
{
    if (!instance)
        instance = new NetworkManager;
    return instance;
}

void NetworkManager::destroyInstance()
{
    delete instance;
    instance = nullptr;
}

NetworkManager::NetworkManager()
{
    // The card script is ours to run off the panel: it only touches a fake machine tree. Only
    // this very command runs; any other python3 command stays recorded.
    SystemCommandRunner::registerStandIn(QStringLiteral("python3"), {QString::fromLatin1(kCardScript)});
    m_speedTimer = new QTimer(this);
    connect(m_speedTimer, &QTimer::timeout, this, &NetworkManager::slotSpeedTick);
    initnetcard(false);
}

bool NetworkManager::mayWriteMachineFiles()
{
    return Platform::mayWriteMachineFiles();
}

bool NetworkManager::isSafeInterfaceName(const QString& name)
{
    static const QRegularExpression pattern(QStringLiteral("^[A-Za-z0-9_.:-]{1,15}$"));
    return pattern.match(name).hasMatch();
}

QStringList NetworkManager::interfaceNames()
{
    QStringList names;
    static const QRegularExpression pattern(QStringLiteral("\\s+(\\S+):\\s+"));
    const QString text = QString::fromLatin1(readMachineFile(QStringLiteral("/proc/net/dev")));
    auto it = pattern.globalMatch(text);
    while (it.hasNext()) {
        const QString name = it.next().captured(1);
        if (name != QLatin1String("lo"))
            names << name;
    }
    return names;
}

bool NetworkManager::initnetcard(bool force)
{
    m_message.clear();
    const QString wiredPath = Platform::path(QString::fromLatin1(kWiredFile));
    if (!QFileInfo::exists(wiredPath) || force) {
        CComp_DiaWait wait([this] { run_upnetcard(); });
        wait.exec();
        if (!QFileInfo::exists(wiredPath)) {
            m_message = QString::fromUtf8(kNoCardMessage);
            return false;
        }
    }

    const QJsonObject wired = QJsonDocument::fromJson(readMachineFile(QString::fromLatin1(kWiredFile))).object();
    QStringList present = interfaceNames();

    m_cards = QJsonArray();
    const QJsonValue wiredCards = wired.value(QStringLiteral("netcard_info"));
    if (wiredCards.isArray()) {
        for (const QJsonValue& card : wiredCards.toArray()) {
            const QString name = card.toObject().value(QStringLiteral("name")).toString();
            if (card.isObject() && present.removeOne(name)) {
                m_cards.append(card);
            } else {
                m_message = QString::fromLatin1(kNicsChangedMessage);
            }
        }
    }

    if (m_cards.isEmpty()) {
        if (mayWriteMachineFiles())
            QFile::remove(Platform::path(QString::fromLatin1(kReportFile)));
        m_message = QString::fromUtf8(kNoCardMessage);
        qWarning().noquote() << "no network card found:" << m_message;
        return false;
    }

    QJsonParseError error{};
    const QJsonDocument wifi = QJsonDocument::fromJson(readMachineFile(QString::fromLatin1(kWifiFile)), &error);
    const QJsonValue wifiCards = wifi.object().value(QStringLiteral("netcard_info"));
    if (error.error == QJsonParseError::NoError && wifiCards.isArray()) {
        for (const QJsonValue& card : wifiCards.toArray()) {
            const QString name = card.toObject().value(QStringLiteral("name")).toString();
            if (card.isObject() && present.removeOne(name))
                m_cards.append(card);
        }
    }
    return true;
}

QMap<QString, stu_netinfo> NetworkManager::readNetInfo() const
{
    QMap<QString, stu_netinfo> cards;
    for (const QJsonValue& card : m_cards) {
        const stu_netinfo info = json2stu(card.toObject());
        cards.insert(info.name, info);
    }
    return cards;
}

stu_netinfo NetworkManager::json2stu(const QJsonObject& object) const
{
    stu_netinfo card;
    takeString(object, "mac", card.mac);
    takeString(object, "name", card.name);
    takeString(object, "address", card.address);
    takeString(object, "netmask", card.netmask);
    takeString(object, "gateway", card.gateway);
    takeString(object, "dns", card.dns);
    takeBool(object, "isdhcp", card.isdhcp);
    takeString(object, "describe", card.describe);
    takeString(object, "status", card.status);
    takeBool(object, "iswifi", card.iswifi);
    takeBool(object, "ispriority", card.ispriority);
    const QJsonValue netplan = object.value(QStringLiteral("describe_netplan"));
    if (netplan.isString())
        card.describe += QLatin1Char('(') + netplan.toString() + QLatin1Char(')');
    if (!card.iswifi)
        return card;
    takeBool(object, "use", card.use);
    takeString(object, "hotname", card.hotname);
    takeString(object, "passwd", card.passwd);
    return card;
}

QJsonObject NetworkManager::stu2json(const stu_netinfo& card) const
{
    QJsonObject object;
    object.insert(QStringLiteral("name"), card.name);
    object.insert(QStringLiteral("dns"), card.dns);
    object.insert(QStringLiteral("gateway"), card.gateway);
    object.insert(QStringLiteral("netmask"), card.netmask);
    object.insert(QStringLiteral("address"), card.address);
    object.insert(QStringLiteral("mac"), card.mac);
    object.insert(QStringLiteral("isdhcp"), card.isdhcp);
    object.insert(QStringLiteral("describe"), card.describe);
    object.insert(QStringLiteral("status"), card.status);
    object.insert(QStringLiteral("iswifi"), card.iswifi);
    object.insert(QStringLiteral("ispriority"), card.ispriority && card.name == m_priorityName);
    if (card.iswifi) {
        object.insert(QStringLiteral("use"), card.use);
        object.insert(QStringLiteral("hotname"), card.hotname);
        object.insert(QStringLiteral("passwd"), card.passwd);
    }
    return object;
}

void NetworkManager::NDSpeed_Touch(bool on, int ms)
{
    if (dialogIsHidden())
        return;
    m_tick = 0;
    if (!on) {
        m_speedTimer->stop();
        return;
    }
    // Counts taken before the dialog was hidden span an unknown time: start each rate afresh.
    for (stu_speedinfo& entry : m_speedTable)
        entry.counted = false;
    m_speedTimer->setInterval(ms);
    m_speedTimer->start();
}

bool NetworkManager::isPolling() const
{
    return m_speedTimer->isActive();
}

void NetworkManager::slotSpeedTick()
{
    if (dialogIsHidden())
        return;
    qInfo() << "start ifconfig";
    // Streamed with a time bound, so an ifconfig that hangs still gives what it printed by then.
    QByteArray output;
    CommandRunner::instance()->runStreaming(
        QStringLiteral("ifconfig"), {}, [&output](const QByteArray& line) { output += line + '\n'; }, nullptr,
        kIfconfigTimeoutMs);
    static const QRegularExpression blockPattern(QStringLiteral("^(\\S+):\\s+flags=\\S+<UP,BROADCAST,\\S+>\\s+.*"));
    const QStringList blocks = QString::fromLocal8Bit(output).split(QStringLiteral("\n\n"));
    for (const QString& block : blocks) {
        const QRegularExpressionMatch match = blockPattern.match(block);
        if (!match.hasMatch())
            continue;
        stu_speedinfo entry = m_speedTable.value(match.captured(1));
        if (!block.contains(QLatin1String("RUNNING")))
            entry.running = false;
        m_speedTable.insert(match.captured(1), entry);
    }

    const int taken = m_tick++;
    if (taken % kRateStepTicks == 0) {
        bool readable = false;
        readMachineFile(QStringLiteral("/proc/net/dev"), &readable);
        if (!readable)
            return;
        rateStep();
    }
    qInfo() << "ifconfig finish";
}

void NetworkManager::rateStep()
{
    static const QRegularExpression linePattern(QStringLiteral("^\\s*(\\S+):\\s+(\\d+)\\s+./*"));
    const QStringList lines = QString::fromLatin1(readMachineFile(QStringLiteral("/proc/net/dev"))).split(QLatin1Char('\n'));
    for (const QString& line : lines) {
        const QRegularExpressionMatch match = linePattern.match(line);
        if (!match.hasMatch() || match.captured(1) == QLatin1String("lo"))
            continue;
        auto entry = m_speedTable.find(match.captured(1));
        if (entry == m_speedTable.end())
            continue;
        const quint64 received = match.captured(2).toULongLong();
        if (entry->counted) {
            const double rate = double(received - entry->currentBytes) / kRateStepSeconds;
            entry->running = rate != 0;
            entry->rateText = rateText(rate);
        }
        entry->counted = true;
        entry->previousBytes = received;
        entry->currentBytes = received;
    }
}

QString NetworkManager::rateText(double rate)
{
    if (qint64(rate / 1048576.0) >= 1)
        return QString::number(rate / 1048576.0, 'f', 2) + QStringLiteral("mb/s");
    if (qint64(rate / 1024.0) < 1)
        return QString::number(rate, 'f', 2) + QStringLiteral("b/s");
    return QString::number(rate / 1024.0, 'f', 2) + QStringLiteral("kb/s");
}

bool NetworkManager::hasCard(const QString& name) const
{
    for (const QJsonValue& card : m_cards) {
        if (card.toObject().value(QStringLiteral("name")).toString() == name)
            return true;
    }
    return false;
}

QStringList NetworkManager::getHotPoints(const QString& ifname)
{
    m_hotNames.clear();
    if (!hasCard(ifname) || !isSafeInterfaceName(ifname)) {
        qWarning() << "no Wi-Fi scan on an unknown interface" << ifname;
        return m_hotNames;
    }
    m_wifiName = ifname;
    // Each command may take up to its time-out: all of them run behind the wait dialog, never
    // on the GUI thread.
    CComp_DiaWait wait([this, ifname] {
        CommandRunner* runner = CommandRunner::instance();
        runner->run(QStringLiteral("ifconfig"), {ifname, QStringLiteral("down")});
        runner->run(QStringLiteral("iwconfig"), {ifname, QStringLiteral("mode"), QStringLiteral("managed")});
        runner->run(QStringLiteral("ifconfig"), {ifname, QStringLiteral("up")});
        run_wireless();
    });
    wait.exec();
    return m_hotNames;
}

void NetworkManager::run_wireless()
{
    qInfo() << "start run wireless";
    const CommandResult result = CommandRunner::instance()->run(
        QStringLiteral("iwlist"), {m_wifiName, QStringLiteral("scan")}, kScanTimeoutMs);
    static const QRegularExpression essid(QStringLiteral("\\s+ESSID:\"(.*)\""));
    const QStringList lines = QString::fromUtf8(result.output).split(QLatin1Char('\n'));
    for (const QString& line : lines) {
        const QString name = essid.match(line).captured(1);
        if (!name.isEmpty() && !m_hotNames.contains(name))
            m_hotNames << name;
    }
    qInfo() << "finish run wireless";
}

int NetworkManager::run_upnetcard()
{
    const CommandResult result = CommandRunner::instance()->run(
        QStringLiteral("python3"), {QString::fromLatin1(kCardScript)}, kScriptTimeoutMs);
    if (!result.output.isEmpty())
        qInfo().noquote() << "card script:" << QString::fromUtf8(result.output).trimmed();
    return result.started ? result.exitCode : -1;
}

QMap<QString, QString> NetworkManager::groupBySubnet(const QList<QPair<QString, QString>>& interfaces)
{
    QMap<QString, QString> groups;
    for (const auto& entry : interfaces) {
        const QStringList parts = entry.second.split(QLatin1Char('.'));
        if (parts.size() != 4)
            continue;
        const QString key = QStringList(parts.mid(0, 3)).join(QLatin1Char('.'));
        groups[key] += entry.first + QLatin1Char(';');
    }
    return groups;
}

QMap<QString, QString> NetworkManager::NetInfoChk() const
{
    QList<QPair<QString, QString>> interfaces;
    const QList<QNetworkInterface> all = QNetworkInterface::allInterfaces();
    for (const QNetworkInterface& iface : all) {
        if (iface.name() == QLatin1String("lo") || iface.addressEntries().isEmpty())
            continue;
        interfaces.append({iface.name(), iface.addressEntries().first().ip().toString()});
    }
    return groupBySubnet(interfaces);
}

bool NetworkManager::chkIPformat(const QString& text)
{
    return !text.isEmpty() && !QHostAddress(text).isNull();
}

bool NetworkManager::isWifi(const QString& name)
{
    if (name.isEmpty() || !isSafeInterfaceName(name) || !interfaceNames().contains(name))
        return false;
    return QFileInfo(Platform::path(QStringLiteral("/sys/class/net/%1/wireless").arg(name))).isDir();
}

bool NetworkManager::getProcessAlive(const QString& name)
{
    qInfo() << "getProcessAlive";
    const CommandResult result = CommandRunner::instance()->run(QStringLiteral("ps"), {QStringLiteral("-aux")}, 30000);
    bool alive = false;
    const QStringList lines = QString::fromLocal8Bit(result.output).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    for (const QString& line : lines) {
        if (name.isEmpty() || !line.contains(name))
            continue;
        const QStringList words = line.split(QLatin1Char(' '), Qt::SkipEmptyParts);
        if (!words.contains(QStringLiteral("grep"))) {
            alive = true;
            break;
        }
    }
    qInfo() << "end";
    return alive;
}
