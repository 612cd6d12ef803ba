#pragma once

#include "netcore/httpmanager.h"
#include "netservices/api/subscriberstore.h"

#include <QHostAddress>
#include <QList>
#include <QPointer>
#include <QTimer>

class JXK_NETMN;
class Tcp_Push2APP;

// The JSON interface plant systems use to read the monitor's production state, steer it a
// little and subscribe to pushes of finished periods and saved pictures. Every route is a
// POST answered by a handler that runs in this object's thread (the GUI thread, dispatch
// mode 4: the transport answers 404 and 503 from its own thread), one at a time, so the
// handlers read the counters and the main window without locks; the period record is read
// through its cell's mutex. What reads files (the record and count queries, the picture
// lookup) is checked here and answered from a work thread (HttpManager::answerLater), so the
// detection cycle never waits for a disk. publish_message may be called from any
// thread and hops here. The switch, device name and workspace belong to the network manager
// that owns this object, and are read through it. All members: this object's thread only.
class HttpApiServer : public HttpManager {
    Q_OBJECT
public:
    static constexpr quint16 kDefaultPort = 10100;
    // The requests are a few hundred bytes; the largest is a full subscription list: at most
    // SubscriberStore::kMaxKeys elements of an address, a port and a topic of at most
    // kMaxTopicLength characters, well under this however it is spelled (every character of the
    // topic escaped, laid out over lines), in seven values and three levels.
    static constexpr qint64 kMaxSubscriptionElementBytes = 1024;
    static constexpr NetworkJson::Bounds kRequestJson{SubscriberStore::kMaxKeys * kMaxSubscriptionElementBytes, 16,
                                                      SubscriberStore::kMaxKeys * 32};

    explicit HttpApiServer(JXK_NETMN* owner);
    ~HttpApiServer() override;

    // (Re)starts the listener (it listens with the switch off too, and answers 403) and
    // reloads the subscriptions from the workspace: on every interface, port 10100.
    void init();
    void init(const QHostAddress& address, quint16 port);
    // A detection period has finished: publish it to the "detected_info" subscribers.
    void finish_PeriodRecord();
    QList<Skt_Session> getSubscriber_FromTopic(QString topic);

public slots:
    // Pushes the request to every live subscriber of exactly this topic; a call from another
    // thread is queued to this one.
    void publish_message(const QString& topic, const CTask_FormData& request);
    void slot_delay_publish_detectinfo();

private:
    void httpapi__get_product_infos(const CTask_FormData& request);
    void httpapi__get_production_count_bytime(const CTask_FormData& request);
    void httpapi__get_last_detailinfo(const CTask_FormData& request);
    void httpapi__get_detected_picture(const CTask_FormData& request);
    void httpapi__get_records(const CTask_FormData& request);
    void httpapi__set_clear_curcount(const CTask_FormData& request);
    void httpapi__set_localclock(const CTask_FormData& request);
    void httpapi__subscriber_baseinfo(const CTask_FormData& request);

    bool apiEnabled() const;
    // Answers 403 "未启用API服务" when the switch is off; true when it did.
    bool refusedWhileOff(const CTask_FormData& request);
    // Answers 503 (busy) to a request that would make an operation record while too many wait
    // for the disk, before anything is done; true when it did.
    bool refusedWhileRecordsWait(const CTask_FormData& request);
    // A reply record to the request carrying the device id and the given object.
    static CTask_FormData replyTo(const CTask_FormData& request, const QJsonObject& json = QJsonObject());
    // A reply whose result is ready JSON text (large answers are written so, not as objects).
    static CTask_FormData jsonTextReply(const CTask_FormData& request, const QByteArray& resultText);

    JXK_NETMN* owner;   // not owned
    SubscriberStore m_subscribers;
    QTimer m_publishDelay;
    // Pushes still under way; they delete themselves, and go with this object at the latest.
    QList<QPointer<Tcp_Push2APP>> m_pushes;
};
