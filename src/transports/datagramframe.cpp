#include "transports/datagramframe.h"

#include "netcore/sciexecobjsend.h"

#include <QTcpSocket>
#include <QtDebug>

namespace {

// A socket that is never connected to anything: it looks connected to the writer and keeps
// what is written, so the writer's own encoders frame the datagram.
class CaptureSocket : public QTcpSocket {
public:
    CaptureSocket(const QHostAddress& peer, quint16 port)
    {
        setPeerAddress(peer);
        setPeerPort(port);
        setSocketState(QAbstractSocket::ConnectedState);
        QIODevice::open(QIODevice::WriteOnly | QIODevice::Unbuffered);
    }
    ~CaptureSocket() override
    {
        // Nothing to close: keep the socket's own teardown away from the missing engine.
        setOpenMode(QIODevice::NotOpen);
        setSocketState(QAbstractSocket::UnconnectedState);
    }

    QByteArray captured;

protected:
    qint64 writeData(const char* data, qint64 length) override
    {
        captured.append(data, int(length));
        return length;
    }
};

}  // namespace

QByteArray frameDatagram(const CTask_FormData& record, const QHostAddress& peer, quint16 peerPort)
{
    if (record.getTaskPkgType() == 3) {
        qWarning() << "a file body cannot travel in a datagram:" << record.uuid;
        return QByteArray();
    }
    CaptureSocket socket(peer, peerPort);
    SCI_ExecObj_Send send(record);
    send.SerializeWrite(&socket);
    return socket.captured;
}
