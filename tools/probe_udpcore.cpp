// Drives the raw UDP core. "listen" binds each ADDR:PORT and prints every datagram received as a
// JSON line; "send" sends TEXT once (or, with --wait, resending every --resend ms and waiting
// for an answer on the --listen socket) and prints the result code and the answer.
#include "probeutil.h"
#include "transports/udpcore.h"

#include <QCoreApplication>
#include <QJsonObject>

#include <arpa/inet.h>

namespace {

class PrintingCore : public UDP_Core {
public:
    PrintingCore() : UDP_Core(InterfaceTable()) {}
    ~PrintingCore() override { stopListen(); }

    QString AnalysisRecvMessage(sockaddr_in from, QByteArray const& recvbuf) override
    {
        Probe::printJson(QJsonObject{{QStringLiteral("from"), QString::fromLatin1(inet_ntoa(from.sin_addr))},
                                     {QStringLiteral("port"), ntohs(from.sin_port)},
                                     {QStringLiteral("bytes"), recvbuf.size()},
                                     {QStringLiteral("text"), QString::fromUtf8(recvbuf)}});
        return UDP_Core::AnalysisRecvMessage(from, recvbuf);
    }
};

bool bindAll(PrintingCore& core, const QStringList& endpoints)
{
    for (const QString& endpoint : endpoints) {
        QHostAddress address;
        quint16 port = 0;
        if (!Probe::parseEndpoint(endpoint, address, port))
            return false;
        const int code = core.addListen(address.toString().toStdString(), port);
        if (code != ZLU_SUCCESS) {
            qCritical() << "cannot listen on" << endpoint << "code" << code;
            return false;
        }
        Probe::printLine(QStringLiteral("listening %1 %2").arg(address.toString()).arg(core.boundPorts().last()));
    }
    return true;
}

int listen(const QStringList& endpoints)
{
    PrintingCore core;
    if (endpoints.isEmpty() || !bindAll(core, endpoints))
        return 2;
    return QCoreApplication::exec();
}

int send(const QStringList& args)
{
    const char* help = "probe_udpcore send SRC_IP DST_IP:PORT TEXT [--wait MS] [--resend MS] [--listen ADDR:PORT]";
    if (args.size() < 3)
        return Probe::usage(help);
    Udpsend_Cond cond;
    cond.src_ip = args.at(0).toStdString();
    QHostAddress destination;
    quint16 port = 0;
    if (!Probe::parseEndpoint(args.at(1), destination, port) || port == 0)
        return Probe::usage(help);
    cond.dst_ip = destination.toString().toStdString();
    cond.dst_port = port;
    const std::string text = args.at(2).toStdString();
    PrintingCore core;
    // The caller blocks while waiting, so answers are read on the listening thread.
    core.setDirectHandler(true);
    for (int i = 3; i < args.size(); i += 2) {
        if (i + 1 >= args.size())
            return Probe::usage(help);
        bool ok = true;
        if (args.at(i) == QLatin1String("--wait"))
            cond.wait_ms = args.at(i + 1).toInt(&ok);
        else if (args.at(i) == QLatin1String("--resend"))
            cond.resend_ms = args.at(i + 1).toInt(&ok);
        else if (args.at(i) == QLatin1String("--listen"))
            ok = bindAll(core, {args.at(i + 1)});
        else
            ok = false;
        if (!ok)
            return Probe::usage(help);
    }
    std::string answer;
    const int code = core.send_core(cond, text, answer);
    Probe::printJson(QJsonObject{{QStringLiteral("code"), code}, {QStringLiteral("answer"), QString::fromStdString(answer)}});
    return code == ZLU_SUCCESS ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    Probe::quitOnSignals(app);
    const QStringList args = app.arguments().mid(1);
    if (!args.isEmpty() && args.at(0) == QLatin1String("listen"))
        return listen(args.mid(1));
    if (!args.isEmpty() && args.at(0) == QLatin1String("send"))
        return send(args.mid(1));
    return Probe::usage("probe_udpcore listen ADDR:PORT... | send SRC_IP DST_IP:PORT TEXT [--wait MS] [--resend MS] "
                        "[--listen ADDR:PORT]");
}
