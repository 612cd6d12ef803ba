#include "netcore/taskformdata.h"

#include "base/publictools.h"

#include <utility>

TcpTsk_Info::TcpTsk_Info(const QString& taskUuid) : create_timing(gettimeofday_ms()), uuid(taskUuid) {}

QMap<QString, QVariant> TcpTsk_Info::getReportParam() const
{
    return {
        {QStringLiteral("_tsk_url"), url},
        {QStringLiteral("_tsk_create_timing"), create_timing},
        {QStringLiteral("_tsk_firstrecv_timing"), firstrecv_timing},
        {QStringLiteral("_tsk_finishrecv_timing"), finishrecv_timing},
        {QStringLiteral("_tsk_finishact_timing"), finishact_timing},
        {QStringLiteral("_tsk_recv_times"), recv_times},
        {QStringLiteral("_tsk_uuid"), uuid},
        {QStringLiteral("_tsk_recvpacklength"), recvpacklength},
    };
}

void TcpTsk_Info::tskup_chg_recvpacklength(const QList<QVariant>& values)
{
    if (values.isEmpty() || values.first().userType() != QMetaType::Int)
        return;
    recvpacklength = values.first().toInt();
}

void TcpTsk_Info::applyUpdate(const QString& key, const QList<QVariant>& values)
{
    // Updates are applied under the reactor's task lock, which makes the increment atomic.
    if (key == QLatin1String("tskup_firstrecv_timing")) {
        firstrecv_timing = gettimeofday_ms();
        recv_times = 1;
    } else if (key == QLatin1String("tskup_recv_times")) {
        ++recv_times;
    } else if (key == QLatin1String("tskup_finishrecv_timing")) {
        finishrecv_timing = gettimeofday_ms();
    } else if (key == QLatin1String("tskup_chg_recvpacklength")) {
        tskup_chg_recvpacklength(values);
    } else if (key == QLatin1String("tskup_finishact_timing")) {
        finishact_timing = gettimeofday_ms();
    }
}

CTask_FormData::CTask_FormData(const CTask_FormData& other)
{
    assignFields(other);
    progress = other.progressCopy();
}

CTask_FormData::CTask_FormData(CTask_FormData&& other) noexcept
    : peer_ip(std::move(other.peer_ip)),
      peer_port(other.peer_port),
      method(std::move(other.method)),
      url(std::move(other.url)),
      uuid(std::move(other.uuid)),
      session_id(other.session_id),
      content_type(std::move(other.content_type)),
      status_code(other.status_code),
      result_code(other.result_code),
      status_text(std::move(other.status_text)),
      device_id(std::move(other.device_id)),
      user_id(std::move(other.user_id)),
      query(std::move(other.query)),
      headers(std::move(other.headers)),
      body(std::move(other.body)),
      json(std::move(other.json)),
      parts(std::move(other.parts)),
      images(std::move(other.images)),
      files(std::move(other.files)),
      request_seq(other.request_seq)
{
    QMutexLocker lock(&other.progress_mutex);
    progress = std::move(other.progress);
}

CTask_FormData& CTask_FormData::operator=(const CTask_FormData& other)
{
    if (this == &other)
        return *this;
    assignFields(other);
    // One lock at a time: two records assigned crosswise from two threads cannot deadlock.
    QList<TcpTsk_Info> fresh = other.progressCopy();
    QMutexLocker lock(&progress_mutex);
    progress.swap(fresh);
    return *this;
}

CTask_FormData& CTask_FormData::operator=(CTask_FormData&& other) noexcept
{
    if (this == &other)
        return *this;
    assignFields(other);
    QList<TcpTsk_Info> fresh;
    {
        QMutexLocker lock(&other.progress_mutex);
        fresh = std::move(other.progress);
    }
    QMutexLocker lock(&progress_mutex);
    progress.swap(fresh);
    return *this;
}

void CTask_FormData::assignFields(const CTask_FormData& other)
{
    peer_ip = other.peer_ip;
    peer_port = other.peer_port;
    method = other.method;
    url = other.url;
    uuid = other.uuid;
    session_id = other.session_id;
    content_type = other.content_type;
    status_code = other.status_code;
    result_code = other.result_code;
    status_text = other.status_text;
    device_id = other.device_id;
    user_id = other.user_id;
    query = other.query;
    headers = other.headers;
    body = other.body;
    json = other.json;
    parts = other.parts;
    images = other.images;
    files = other.files;
    request_seq = other.request_seq;
}

QList<TcpTsk_Info> CTask_FormData::progressCopy() const
{
    QMutexLocker lock(&progress_mutex);
    return progress;
}

void CTask_FormData::setProgress(const QList<TcpTsk_Info>& list)
{
    QMutexLocker lock(&progress_mutex);
    progress = list;
}

int CTask_FormData::getTaskPkgType() const
{
    if (!images.isEmpty())
        return 2;
    if (!files.isEmpty())
        return 3;
    if (!json.isEmpty())
        return 1;
    return 0;
}

bool CTask_FormData::hasJsonText() const
{
    return json.isEmpty() && images.isEmpty() && files.isEmpty() && !body.isEmpty()
           && content_type == QLatin1String("application/json");
}

QString CTask_FormData::getResponseFirstLine()
{
    if (!url.isEmpty()) {
        QStringList pairs;
        for (auto it = query.cbegin(); it != query.cend(); ++it)
            pairs << it.key() + QLatin1Char('=') + it.value();
        const QString target = pairs.isEmpty() ? url : url + QLatin1Char('?') + pairs.join(QLatin1Char('&'));
        return QStringLiteral("%1 %2 HTTP/1.1").arg(method, target);
    }
    switch (status_code) {
    case 400:
        // The caller names the fault in the status text.
        result_code = -1;
        return QStringLiteral("HTTP/1.1 %1 Bad Request").arg(status_code);
    case 404:
        status_text = QStringLiteral("no found url");
        result_code = -1;
        return QStringLiteral("HTTP/1.1 %1 Not Found").arg(status_code);
    case 413:
        status_text = QStringLiteral("message too large");
        result_code = -1;
        return QStringLiteral("HTTP/1.1 %1 Payload Too Large").arg(status_code);
    case 503:
        status_text = QStringLiteral("服务器忙碌中");
        result_code = -1;
        return QStringLiteral("HTTP/1.1 %1 Service Unavailable").arg(status_code);
    default:
        return QStringLiteral("HTTP/1.1 %1 OK").arg(status_code);
    }
}
