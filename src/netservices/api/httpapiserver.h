#pragma once

#include "netcore/httpmanager.h"
#include "netcore/taskformdata.h"

#include <QString>

class JXK_NETMN;

// The HTTP JSON API of the monitor, owned by the network manager. Still an empty shell here:
// the network manager calls it at start-up, when a period finishes and when a picture is saved.
class HttpApiServer : public HttpManager {
    Q_OBJECT
public:
    explicit HttpApiServer(JXK_NETMN* owner);
    ~HttpApiServer() override;

    void init();
    void finish_PeriodRecord();

public slots:
    void publish_message(const QString& topic, const CTask_FormData& request);

private:
    JXK_NETMN* owner;
};
