// Second process for the transport tests: dials the port given as its argument, sends one
// JSON request with an image through post_sync and checks the echoed reply. Exit code 0 when
// the reply came back intact, 1 otherwise; it never runs longer than a few seconds.
#include "netcore/tcpreactor.h"

#include <QCoreApplication>
#include <QHostAddress>
#include <cstdio>

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    if (argc < 2)
        return 2;
    JXKC::TcpCliReactor client;
    if (!client.reAction(QHostAddress::LocalHost, quint16(QByteArray(argv[1]).toUInt()))) {
        std::puts("dial failed");
        return 1;
    }
    CTask_FormData request;
    request.url = "/echo";
    request.json.insert("from", "helper");
    CTask_FormData reply;
    if (!client.post_sync(request, reply, 3000)) {
        std::puts("no reply");
        return 1;
    }
    const QJsonObject result = reply.json.value("result").toObject();
    const bool ok = reply.uuid == request.uuid && result.value("from").toString() == "helper" &&
                    reply.json.value("code").toInt(-1) == 0;
    std::puts(ok ? "ok" : "reply mismatch");
    return ok ? 0 : 1;
}
