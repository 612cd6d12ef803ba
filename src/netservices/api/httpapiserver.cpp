#include "netservices/api/httpapiserver.h"

#include "base/publictools.h"
#include "detection/mojuwizard.h"
#include "detection/recordstore.h"
#include "netservices/api/apireplies.h"
#include "netservices/api/recordquery.h"
#include "netservices/api/tcppush2app.h"
#include "netservices/companion/network.h"

#include <QJsonArray>
#include <QThread>
#include <QtDebug>

namespace {

constexpr int kPublishDelayMs = 1000;
const QString kRoutePrefix = QStringLiteral("/v18/http/");
const QString kTopicInfo = QStringLiteral("detected_info");

}  // namespace

HttpApiServer::HttpApiServer(JXK_NETMN* netmn) : HttpManager(JXKT_SERVER), owner(netmn)
{
    JXKC::TcpReactor::Limits limits;
    limits.json = kRequestJson;
    setReactorLimits(limits);
    connect(&m_publishDelay, &QTimer::timeout, this, &HttpApiServer::slot_delay_publish_detectinfo);
    const auto route = [this](const char* name, void (HttpApiServer::*handler)(const CTask_FormData&)) {
        url_routes.insert(kRoutePrefix + QLatin1String(name), std::bind(handler, this, std::placeholders::_1));
    };
    route("get_product_infos", &HttpApiServer::httpapi__get_product_infos);
    route("production_count_bytime", &HttpApiServer::httpapi__get_production_count_bytime);
    route("get_last_detectinfo", &HttpApiServer::httpapi__get_last_detailinfo);
    route("get_detected_picture", &HttpApiServer::httpapi__get_detected_picture);
    route("get_records", &HttpApiServer::httpapi__get_records);
    route("set_clear_curcount", &HttpApiServer::httpapi__set_clear_curcount);
    route("set_localclock", &HttpApiServer::httpapi__set_localclock);
    route("subscriber_baseinfo", &HttpApiServer::httpapi__subscriber_baseinfo);
}

HttpApiServer::~HttpApiServer()
{
    // Before anything of this object goes: the transport's thread must not reach a server half
    // destroyed, and queries still running must not answer through it.
    stopService();
    m_publishDelay.stop();
    for (const QPointer<Tcp_Push2APP>& push : qAsConst(m_pushes))
        delete push.data();
}

void HttpApiServer::init()
{
    init(QHostAddress::Any, kDefaultPort);
}

void HttpApiServer::init(const QHostAddress& address, quint16 port)
{
    if (!startReactor(address, port, 4))
        qWarning().noquote() << "the HTTP API cannot listen on port" << QString::number(port) + ':' << listenError();
    m_subscribers.open(owner->workspace + QStringLiteral("subscriber.ini"), gpWin ? gpWin->storeWriter() : nullptr);
    m_publishDelay.setInterval(kPublishDelayMs);
    m_publishDelay.setSingleShot(true);
}

bool HttpApiServer::apiEnabled() const
{
    return owner && owner->device_workapifunc;
}

bool HttpApiServer::refusedWhileOff(const CTask_FormData& request)
{
    if (apiEnabled())
        return false;
    callback_immediately(request, 403, QStringLiteral("未启用API服务"));
    return true;
}

bool HttpApiServer::refusedWhileRecordsWait(const CTask_FormData& request)
{
    if (!gpWin || gpWin->acceptsClientRecords())
        return false;
    callback_immediately(request, 503, QString());
    return true;
}

CTask_FormData HttpApiServer::replyTo(const CTask_FormData& request, const QJsonObject& json)
{
    CTask_FormData reply;
    reply.uuid = request.uuid;
    reply.session_id = request.session_id;
    reply.request_seq = request.request_seq;
    reply.device_id = gDeviceID;
    reply.json = json;
    return reply;
}

CTask_FormData HttpApiServer::jsonTextReply(const CTask_FormData& request, const QByteArray& resultText)
{
    CTask_FormData reply = replyTo(request);
    reply.body = resultText;
    reply.content_type = QStringLiteral("application/json");
    return reply;
}

void HttpApiServer::httpapi__get_product_infos(const CTask_FormData& request)
{
    if (refusedWhileOff(request))
        return;
    CTask_FormData reply = replyTo(request, HttpApiReplies::productInfos(owner->devicename));
    reply.headers.insert(QStringLiteral("Access-Control-Allow-Origin"), QStringLiteral("*"));
    sendAsync(reply);
}

void HttpApiServer::httpapi__get_production_count_bytime(const CTask_FormData& request)
{
    if (refusedWhileOff(request))
        return;
    HttpApiReplies::CountRequest count;
    QJsonObject refusal;
    if (!HttpApiReplies::parseCountRequest(request.json, &count, &refusal)) {
        sendAsync(replyTo(request, refusal));
        return;
    }
    // What the query needs of this thread's state is taken here; the day files are read on a
    // work thread.
    count.deviceName = owner->devicename;
    // A reply that the connection or the transport cannot hold now is refused before the work.
    answerBounded(
        request, [count] { return HttpApiReplies::productionCountBytes(count); },
        [request, count](const std::atomic<bool>& stopping) {
            return jsonTextReply(request, HttpApiReplies::productionCount(count, &stopping));
        });
}

void HttpApiServer::httpapi__get_last_detailinfo(const CTask_FormData& request)
{
    if (refusedWhileOff(request))
        return;
    if (owner->periodRecordCell.isEmpty()) {
        callback_immediately(request, 403, QStringLiteral("获取列表为空，需要先检测后获取信息。"));
        return;
    }
    const JXK_NETMN::sAPI_LastDetect_Info record = owner->periodRecordCell.getValue();
    sendAsync(replyTo(request, HttpApiReplies::lastDetectInfo(record.record, record.pictures)));
}

void HttpApiServer::httpapi__get_detected_picture(const CTask_FormData& request)
{
    if (refusedWhileOff(request))
        return;
    HttpApiReplies::PictureRequest picture;
    if (!HttpApiReplies::parsePictureRequest(request.json, &picture)) {
        sendAsync(replyTo(request, HttpApiReplies::pictureRefusal()));
        return;
    }
    // Looking for the file is disk work: a work thread does it (the transport's own thread
    // then streams the file).
    answerLater(request, [request, picture](const std::atomic<bool>&) {
        QJsonObject error;
        const QString path = HttpApiReplies::detectedPicturePath(picture, &error);
        if (path.isEmpty())
            return replyTo(request, error);
        CTask_FormData reply = replyTo(request);
        reply.files.insert(path, QByteArray());
        reply.content_type = QStringLiteral("image/jpeg");
        return reply;
    });
}

void HttpApiServer::httpapi__get_records(const CTask_FormData& request)
{
    if (refusedWhileOff(request))
        return;
    OperationRecordQuery::Request span;
    QJsonObject refusal;
    if (!OperationRecordQuery::parse(request.json, &span, &refusal)) {
        sendAsync(replyTo(request, refusal));
        return;
    }
    // A reply that the connection or the transport cannot hold now is refused before the work.
    answerBounded(
        request,
        [span] {
            return OperationRecordQuery(MoJuWizard::recordDatabasePath(), MoJuWizard::recordDay()).estimateBytes(span);
        },
        [request, span](const std::atomic<bool>& stopping) {
            const OperationRecordQuery query(MoJuWizard::recordDatabasePath(), MoJuWizard::recordDay());
            return jsonTextReply(request, query.run(span, &stopping));
        });
}

void HttpApiServer::httpapi__set_clear_curcount(const CTask_FormData& request)
{
    if (refusedWhileOff(request) || refusedWhileRecordsWait(request))
        return;
    HttpApiReplies::clearCurrentCount();
    callback_immediately(request, 200, QString());
}

void HttpApiServer::httpapi__set_localclock(const CTask_FormData& request)
{
    if (refusedWhileOff(request) || refusedWhileRecordsWait(request))
        return;
    sendAsync(replyTo(request, HttpApiReplies::setLocalClock(request.json)));
}

void HttpApiServer::httpapi__subscriber_baseinfo(const CTask_FormData& request)
{
    if (refusedWhileOff(request))
        return;
    if (!request.json.contains(QStringLiteral("subscriber"))) {
        sendAsync(replyTo(request, {{QStringLiteral("errorstring"), QStringLiteral("参数错误")}}));
        return;
    }
    const SubscriberStore::Registration registration =
        m_subscribers.subscribe(request.json.value(QStringLiteral("subscriber")).toArray(), request.peer_ip);
    QJsonObject result{{QStringLiteral("subscribe_result"), QJsonArray::fromStringList(registration.keys)}};
    if (!registration.refusal.isEmpty())
        result.insert(QStringLiteral("errorstring"), registration.refusal);
    sendAsync(replyTo(request, result));
}

QList<Skt_Session> HttpApiServer::getSubscriber_FromTopic(QString topic)
{
    if (!apiEnabled())
        return {};
    return m_subscribers.subscribersOf(topic);
}

void HttpApiServer::publish_message(const QString& topic, const CTask_FormData& params)
{
    if (QThread::currentThread() != thread()) {
        QMetaObject::invokeMethod(this, "publish_message", Qt::QueuedConnection, Q_ARG(QString, topic),
                                  Q_ARG(CTask_FormData, params));
        return;
    }
    m_pushes.removeAll(nullptr);
    for (const Skt_Session& target : getSubscriber_FromTopic(topic)) {
        auto* push = new Tcp_Push2APP;
        push->setProperty("create-time", gettimeofday_ms());
        push->setProperty("uuid", params.uuid);
        push->setProperty("type", params.url);
        push->push(target, params);
        m_pushes.append(push);
    }
}

void HttpApiServer::finish_PeriodRecord()
{
    if (apiEnabled() && !m_publishDelay.isActive())
        slot_delay_publish_detectinfo();
}

void HttpApiServer::slot_delay_publish_detectinfo()
{
    if (!apiEnabled() || owner->periodRecordCell.isEmpty())
        return;
    const JXK_NETMN::sAPI_LastDetect_Info record = owner->periodRecordCell.getValue();
    CTask_FormData message;
    message.url = QStringLiteral("/v18/http/post_detected_info");
    message.device_id = gDeviceID;
    message.uuid = record.uuid;
    message.json = record.record;
    publish_message(kTopicInfo, message);
}
