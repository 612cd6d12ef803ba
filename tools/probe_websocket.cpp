// Drives the WebSocket layer. As a server it answers each message to its sender only, with the
// same url, a fresh stamp and {"echo": the data}; as a client it sends each stdin line (a JSON
// object with "url", "data" and optionally "user_agent") and prints what comes back.
#include "probeutil.h"
#include "transports/webskt.h"

#include <QCoreApplication>
#include <QJsonDocument>
#include <QSocketNotifier>
#include <QTimer>

#include <unistd.h>

namespace {

constexpr int kLingerAfterInputMs = 1000;

QJsonObject describe(const CTask_FormData_WebSkt_Json& record)
{
    return QJsonObject{{QStringLiteral("client"), QString::number(record.client_handle)},
                       {QStringLiteral("url"), record.url},
                       {QStringLiteral("user_agent"), record.user_agent},
                       {QStringLiteral("data"), record.data}};
}

int serve(const QHostAddress& address, quint16 port)
{
    WebSkt_Server server;
    QObject::connect(&server, &WebSkt_Core::sig_recv_message, qApp, [&server](const CTask_FormData_WebSkt_Json& in) {
        Probe::printJson(describe(in));
        CTask_FormData_WebSkt_Json reply;
        reply.client_handle = in.client_handle;
        reply.url = in.url;
        reply.data.insert(QStringLiteral("echo"), in.data);
        server.sendTextMessage(reply);
    });
    if (!server.reAction(address, port)) {
        qCritical("cannot listen");
        return 1;
    }
    Probe::printLine(QStringLiteral("listening %1 %2").arg(address.toString()).arg(server.serverPort()));
    return QCoreApplication::exec();
}

int connectTo(const QHostAddress& address, quint16 port)
{
    WebSkt_Client client;
    QObject::connect(&client, &WebSkt_Core::sig_recv_message, qApp,
                     [](const CTask_FormData_WebSkt_Json& in) { Probe::printJson(describe(in)); });
    if (!client.reAction(address, port)) {
        qCritical("cannot connect");
        return 1;
    }
    Probe::printLine(QStringLiteral("connected %1 %2").arg(address.toString()).arg(port));

    QByteArray pending;
    QSocketNotifier input(STDIN_FILENO, QSocketNotifier::Read);
    QObject::connect(&input, &QSocketNotifier::activated, qApp, [&] {
        char chunk[4096];
        const ssize_t n = ::read(STDIN_FILENO, chunk, sizeof chunk);
        if (n <= 0) {
            input.setEnabled(false);
            QTimer::singleShot(kLingerAfterInputMs, qApp, &QCoreApplication::quit);   // let replies come
            return;
        }
        pending.append(chunk, int(n));
        int eol;
        while ((eol = pending.indexOf('\n')) >= 0) {
            const QByteArray line = pending.left(eol).trimmed();
            pending.remove(0, eol + 1);
            if (line.isEmpty())
                continue;
            const QJsonObject object = QJsonDocument::fromJson(line).object();
            if (object.isEmpty()) {
                qWarning() << "not a JSON object, not sent:" << line;
                continue;
            }
            CTask_FormData_WebSkt_Json record;
            record.url = object.value(QStringLiteral("url")).toString();
            record.user_agent = object.value(QStringLiteral("user_agent")).toString();
            record.data = object.value(QStringLiteral("data")).toObject();
            client.sendTextMessage(record);
        }
    });
    return QCoreApplication::exec();
}

}  // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    Probe::quitOnSignals(app);
    const QStringList args = app.arguments().mid(1);
    const char* help = "probe_websocket server --listen ADDR:PORT | client ADDR:PORT";
    QHostAddress address;
    quint16 port = 0;
    if (args.size() == 3 && args.at(0) == QLatin1String("server") && args.at(1) == QLatin1String("--listen") &&
        Probe::parseEndpoint(args.at(2), address, port))
        return serve(address, port);
    if (args.size() == 2 && args.at(0) == QLatin1String("client") && Probe::parseEndpoint(args.at(1), address, port) &&
        port != 0)
        return connectTo(address, port);
    return Probe::usage(help);
}
