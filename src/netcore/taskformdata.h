#pragma once

#include <QJsonObject>
#include <QList>
#include <QMap>
#include <QMetaType>
#include <QMutex>
#include <QMutexLocker>
#include <QString>
#include <QVariant>
#include <opencv2/core.hpp>

// Receive progress of one task (a request sent, or a request being received), kept by the
// reactor under the task's uuid. -1 means the event has not happened yet.
struct TcpTsk_Info {
    explicit TcpTsk_Info(const QString& taskUuid = QString());
    TcpTsk_Info(const TcpTsk_Info& other) = default;
    TcpTsk_Info& operator=(const TcpTsk_Info& other) = default;

    QMap<QString, QVariant> getReportParam() const;
    void tskup_chg_recvpacklength(const QList<QVariant>& values);
    // Applies one of the "tskup_..." update keys; other keys change nothing.
    void applyUpdate(const QString& key, const QList<QVariant>& values);

    QString url;
    qint64 create_timing;
    qint64 firstrecv_timing = -1;
    qint64 finishrecv_timing = -1;
    qint64 finishact_timing = -1;
    qint64 recv_times = -1;
    QString uuid;
    int recvpacklength = -1;
};

// The one record that travels through the transport: every request and reply, both ways.
class CTask_FormData {
public:
    CTask_FormData() = default;
    CTask_FormData(const CTask_FormData& other);
    CTask_FormData(CTask_FormData&& other) noexcept;
    CTask_FormData& operator=(const CTask_FormData& other);
    CTask_FormData& operator=(CTask_FormData&& other) noexcept;
    ~CTask_FormData() = default;

    // 2 images, 3 files, 1 JSON, 0 nothing to send in the body.
    int getTaskPkgType() const;
    // The first line of the message; for 404, 503 and 413 replies it also sets the result
    // code and status text that go into the reply body (400 sets the code only).
    QString getResponseFirstLine();

    // The body is ready JSON text to send as the message's JSON (for a reply: its "result"):
    // content type "application/json", no JSON object, images or files. Large replies are built
    // so, as text, without a document in memory.
    bool hasJsonText() const;

    // Thread-safe access to the progress list while other threads may be filling it.
    QList<TcpTsk_Info> progressCopy() const;
    void setProgress(const QList<TcpTsk_Info>& list);

    QString peer_ip;
    int peer_port = 0;
    QString method = QStringLiteral("POST");
    QString url;   // empty url: the record is a reply
    QString uuid;
    int session_id = -1;
    QString content_type;
    int status_code = 200;
    int result_code = 0;
    QString status_text = QStringLiteral("OK");
    QString device_id;
    QString user_id;
    QMap<QString, QString> query;
    QMap<QString, QString> headers;
    QByteArray body;
    QJsonObject json;
    QMap<QString, QVariant> parts;
    QMap<QString, cv::Mat> images;
    QMap<QString, QByteArray> files;
    // Receive side: the place of a request on its connection (1, 2, ...), 0 otherwise. A reply
    // that carries it keeps the place of its request among the replies; never written.
    qint64 request_seq = 0;
    QList<TcpTsk_Info> progress;
    mutable QMutex progress_mutex;

private:
    void assignFields(const CTask_FormData& other);
};

Q_DECLARE_METATYPE(CTask_FormData)

// A cell holding zero or one value, every access under its own mutex.
template <typename T>
class CVariant {
public:
    CVariant() = default;
    CVariant(const CVariant& other) : values(other.snapshot()) {}
    CVariant& operator=(const CVariant& other)
    {
        if (this == &other)
            return *this;
        const QList<T> copy = other.snapshot();
        QMutexLocker lock(&mutex);
        values = copy;
        return *this;
    }

    void setValue(const T& value)
    {
        QMutexLocker lock(&mutex);
        values.clear();
        values.append(value);
    }
    T getValue() const
    {
        QMutexLocker lock(&mutex);
        return values.isEmpty() ? T() : values.first();
    }
    bool isEmpty() const
    {
        QMutexLocker lock(&mutex);
        return values.isEmpty();
    }

private:
    QList<T> snapshot() const
    {
        QMutexLocker lock(&mutex);
        return values;
    }

    QList<T> values;
    mutable QMutex mutex;
};
