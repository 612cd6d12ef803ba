#include "netservices/api/httpapiserver.h"

HttpApiServer::HttpApiServer(JXK_NETMN* netmn) : HttpManager(JXKT_SERVER), owner(netmn) {}

HttpApiServer::~HttpApiServer() = default;

void HttpApiServer::init() {}

void HttpApiServer::finish_PeriodRecord() {}

void HttpApiServer::publish_message(const QString& topic, const CTask_FormData& request)
{
    Q_UNUSED(topic)
    Q_UNUSED(request)
}
