#include "netservices/api/tcppush2app.h"

#include "base/publictools.h"
#include "base/refusallog.h"
#include "netcore/sciexecobjrecv.h"

#include <QJsonObject>
#include <QtConcurrent/QtConcurrentRun>
#include <QtDebug>

Tcp_Push2APP::Tcp_Push2APP() : HttpManager(JXKT_CLIENT), m_lifeTimer(new QTimer(this))
{
    connect(m_lifeTimer, &QTimer::timeout, this, &QObject::deleteLater);
    m_lifeTimer->setSingleShot(true);
    m_lifeTimer->start(kLifeMs);
}

Tcp_Push2APP::~Tcp_Push2APP()
{
    // The dial thread uses this object until it has posted its outcome; it is bounded by the
    // client reactor's connect wait.
    m_dial.waitForFinished();
}

void Tcp_Push2APP::push(const Skt_Session& target, const CTask_FormData& request)
{
    m_target = target;
    m_request = request;

    // Wired like dispatch mode 1, but built here so that its timers belong to this thread;
    // only the dial itself moves to the pool.
    QSharedPointer<JXKC::TcpReactor> fresh(new JXKC::TcpCliReactor);
    const QString name = property("name").toString();
    if (!name.isEmpty())
        fresh->setProperty("name", name);
    fresh->blockAllRecvSIG();
    connect(fresh.data(), &JXKC::TcpReactor::sigResponse, this, &HttpManager::SlotRecvResponse, Qt::QueuedConnection);
    connect(fresh.data(), &JXKC::TcpReactor::sigRequest, this, &HttpManager::SlotRecvRequest, Qt::QueuedConnection);
    // No other thread knows this object yet.
    reactor = fresh;

    const QHostAddress address(target.address);
    const quint16 port = static_cast<quint16>(target.port);
    // The reactor stays held by this object, whose destructor waits for the dial: the pool
    // thread must never hold the last reference, or the reactor would die outside its thread.
    JXKC::TcpReactor* dialling = fresh.data();
    m_dial = QtConcurrent::run(thread_pool.data(), [this, dialling, address, port] {
        const bool connected = dialling->reAction(address, port);
        QMetaObject::invokeMethod(this, "onDialed", Qt::QueuedConnection, Q_ARG(bool, connected));
    });
}

void Tcp_Push2APP::onDialed(bool connected)
{
    if (!connected) {
        // Every publish dials every subscriber again: many subscriptions to closed ports would
        // fill the log and the terminal.
        if (RefusalLog::admit(m_target.address, QStringLiteral("[POST_2_APP] ERROR NO CONNECTED")))
            qWarning().noquote() << "[POST_2_APP]" << "ERROR NO CONNECTED" << m_request.url << "->" << m_target.address;
        deleteLater();
        return;
    }
    if (RefusalLog::admitKind(QStringLiteral("[Subscriber] send success"), QtInfoMsg))
        qInfo().noquote() << "[Subscriber]"
                          << QStringLiteral("++++++++++++++++++++++++ %1 send success! -> %2")
                                 .arg(m_request.url, m_target.address);
    sendAsync(m_request);
}

void Tcp_Push2APP::SlotRecvResponse(CTask_FormData record, bool stashed)
{
    Q_UNUSED(stashed)
    // The reader drops every blank of a header value, and a period's uuid holds the device
    // name, which may have blanks: the answer to "V18#press 7@..." comes back as "V18#press7@...".
    if (SCI_ExecObj_Recv::withoutBlanks(record.uuid) != SCI_ExecObj_Recv::withoutBlanks(property("uuid").toString()))
        return;
    const double allTime = static_cast<double>(gettimeofday_ms() - property("create-time").toLongLong());
    qint64 appRecv = -1;
    qint64 appParse = -1;
    const QJsonValue result = record.json.value(QStringLiteral("result"));
    if (result.isObject()) {
        const QJsonObject times = result.toObject();
        appRecv = times.contains(QStringLiteral("recv_time")) ? times.value(QStringLiteral("recv_time")).toVariant().toLongLong() : -1;
        appParse = times.contains(QStringLiteral("analysis_time"))
                       ? times.value(QStringLiteral("analysis_time")).toVariant().toLongLong()
                       : -1;
    }
    if (RefusalLog::admitKind(QStringLiteral("[POST_2_APP] all-time"), QtInfoMsg))
        qInfo().noquote() << "[POST_2_APP] -" << property("type").toString() << ": all-time(ms):" << allTime
                          << "app-recv(ms):" << appRecv << "app-parse(ms):" << appParse;
    deleteLater();
}

void Tcp_Push2APP::SlotRecvRequest(CTask_FormData request)
{
    Q_UNUSED(request)
}
