// Drives the UDP request reactor: as a listener it prints every record received as a JSON line
// and answers each request with its own JSON; with --send it sends one request and prints the
// reply.
#include "probeutil.h"
#include "transports/datagramframe.h"
#include "transports/udpreactor.h"

#include <QCoreApplication>
#include <QJsonArray>
#include <QJsonDocument>
#include <QTimer>

namespace {

constexpr int kReplyWaitMs = 3000;

// Binds the listening address in the worker, as a user that receives unsolicited datagrams must.
class ListeningReactor : public JXKC::UdpReactor {
public:
    ListeningReactor(const QHostAddress& address, quint16 port) : m_address(address), m_port(port) {}
    ~ListeningReactor() override { deinitialize(); }

    bool onStart() override
    {
        if (!UdpReactor::onStart())
            return false;
        if (!udpSocket()->bind(m_address, m_port)) {
            qWarning() << "cannot bind" << m_address.toString() << m_port << udpSocket()->errorString();
            return false;
        }
        return true;
    }

private:
    QHostAddress m_address;
    quint16 m_port;
};

QJsonObject describe(const char* kind, const CTask_FormData& record)
{
    QJsonObject query;
    for (auto it = record.query.cbegin(); it != record.query.cend(); ++it)
        query.insert(it.key(), it.value());
    QJsonObject line{{QStringLiteral("kind"), QString::fromLatin1(kind)},
                     {QStringLiteral("peer_ip"), record.peer_ip},
                     {QStringLiteral("peer_port"), record.peer_port},
                     {QStringLiteral("url"), record.url},
                     {QStringLiteral("uuid"), record.uuid},
                     {QStringLiteral("query"), query},
                     {QStringLiteral("json"), record.json}};
    if (!record.body.isEmpty())
        line.insert(QStringLiteral("body"), QString::fromUtf8(record.body));
    return line;
}

int listen(const QHostAddress& address, quint16 port)
{
    ListeningReactor reactor(address, port);
    // Answered on the worker thread as each request is read: a flood then waits in the socket's
    // bounded buffer instead of piling up in the queues between the threads.
    QObject::connect(&reactor, &JXKC::UdpReactor::sigRequest, &reactor, [&reactor](const CTask_FormData& request) {
        Probe::printJson(describe("request", request));
        CTask_FormData reply;
        reply.status_code = 200;
        reply.result_code = 0;
        reply.status_text = QStringLiteral("OK");
        reply.uuid = request.uuid;
        reply.json = request.json;
        const QHostAddress peer(request.peer_ip);
        const QByteArray bytes = frameDatagram(reply, peer, quint16(request.peer_port));
        if (!reactor.sendMsg(bytes, request.peer_ip, request.peer_port, false))
            qWarning() << "reply not sent to" << request.peer_ip << request.peer_port;
    }, Qt::DirectConnection);
    QObject::connect(&reactor, &JXKC::UdpReactor::sigResponse, &reactor,
                     [](const CTask_FormData& record) { Probe::printJson(describe("response", record)); },
                     Qt::DirectConnection);
    if (!reactor.initialize()) {
        qCritical("cannot start the UDP reactor");
        return 1;
    }
    Probe::printLine(QStringLiteral("listening %1 %2").arg(address.toString()).arg(reactor.localPort()));
    return QCoreApplication::exec();
}

int send(const QHostAddress& address, quint16 port, const QString& url, const QByteArray& jsonText)
{
    QJsonParseError error{};
    const QJsonDocument document = QJsonDocument::fromJson(jsonText, &error);
    if (error.error != QJsonParseError::NoError || !document.isObject()) {
        qCritical() << "JSON argument is not an object:" << error.errorString();
        return 2;
    }
    JXKC::UdpReactor reactor;
    int result = 1;
    QObject::connect(&reactor, &JXKC::UdpReactor::sigResponse, qApp, [&result](const CTask_FormData& record) {
        Probe::printJson(describe("response", record));
        result = 0;
        QCoreApplication::quit();
    });
    if (!reactor.initialize()) {
        qCritical("cannot start the UDP reactor");
        return 1;
    }
    CTask_FormData request;
    request.url = url;
    request.json = document.object();
    const QByteArray bytes = frameDatagram(request, address, port);
    if (!reactor.sendMsg(bytes, address.toString(), port, false)) {
        qCritical("request not sent");
        return 1;
    }
    QTimer::singleShot(kReplyWaitMs, qApp, [] {
        qWarning("no reply within 3 s");
        QCoreApplication::quit();
    });
    QCoreApplication::exec();
    return result;
}

}  // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    Probe::quitOnSignals(app);
    const QStringList args = app.arguments().mid(1);
    const char* help = "probe_udpreactor --listen ADDR:PORT | --send ADDR:PORT URL JSON";
    QHostAddress address;
    quint16 port = 0;
    if (args.size() == 2 && args.at(0) == QLatin1String("--listen") && Probe::parseEndpoint(args.at(1), address, port))
        return listen(address, port);
    if (args.size() == 4 && args.at(0) == QLatin1String("--send") && Probe::parseEndpoint(args.at(1), address, port) &&
        port != 0)
        return send(address, port, args.at(2), args.at(3).toUtf8());
    return Probe::usage(help);
}
