#pragma once

#include "netcore/httpmanager.h"
#include "netservices/api/subscriberstore.h"

#include <QFuture>
#include <QTimer>

// One delivery of one message to one subscriber: dials, posts the request, logs the timings
// of the reply and deletes itself; at the latest after kLifeMs, reply or not.
// The dial (up to the client reactor's connect wait) runs on a thread of the object's own
// pool, so the publishing thread never waits for a subscriber that does not answer; the
// outcome comes back queued. Everything else, the reply included (dispatch mode 1), runs in
// the thread that created the object (the GUI thread). Created without parent: it owns itself.
class Tcp_Push2APP : public HttpManager {
    Q_OBJECT
public:
    static constexpr int kLifeMs = 3000;

    Tcp_Push2APP();
    ~Tcp_Push2APP() override;

    // Dials the target and, once connected, posts the request. Call once, right after the
    // properties "create-time", "uuid" and "type" are set.
    void push(const Skt_Session& target, const CTask_FormData& request);

public slots:
    void SlotRecvResponse(CTask_FormData record, bool stashed) override;
    void SlotRecvRequest(CTask_FormData request) override;

private slots:
    void onDialed(bool connected);

private:
    QTimer* m_lifeTimer;
    QFuture<void> m_dial;      // GUI thread only
    Skt_Session m_target;      // set before the dial starts, then only read
    CTask_FormData m_request;  // GUI thread only
};
