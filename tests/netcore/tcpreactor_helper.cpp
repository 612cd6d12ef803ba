// Second process for the transport tests: dials the port given as its argument, sends one
// JSON request and one multipart image request through post_sync and checks the replies. Exit
// code 0 when both came back intact, 1 otherwise; it never runs longer than a few seconds.
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
    if (!ok) {
        std::puts("reply mismatch");
        return 1;
    }

    // Then a multipart request: a 3-channel image with a known pattern, which the test service
    // checks on its side (a multipart body carries parts and images, not the record's JSON).
    CTask_FormData picture;
    picture.url = "/echo";
    cv::Mat image(5, 7, CV_8UC3);
    for (int i = 0; i < int(image.total()) * 3; ++i)
        image.data[i] = uchar(i * 13);
    picture.images.insert("shot", image);
    CTask_FormData answer;
    if (!client.post_sync(picture, answer, 3000) || answer.uuid != picture.uuid ||
        answer.json.value("code").toInt(-1) != 0) {
        std::puts("no reply to the image");
        return 1;
    }
    std::puts("ok");
    return 0;
}
