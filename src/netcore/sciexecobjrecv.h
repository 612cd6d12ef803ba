#pragma once

#include "base/networkjson.h"
#include "netcore/taskformdata.h"

#include <QHostAddress>

// One received message as it arrives: its header text and the body gathered so far.
class SCI_ExecObj_Recv_Base {
public:
    SCI_ExecObj_Recv_Base(const QString& head, int sessionId) : session_id(sessionId), header(head) {}
    virtual ~SCI_ExecObj_Recv_Base() = default;

    virtual void addBody(const QByteArray& bytes) { body.append(bytes); }
    virtual QByteArray showBody() const { return body; }
    virtual QString showHead() const { return header; }
    virtual int getNeedLength() const = 0;
    virtual bool analysisIntegrality() = 0;
    virtual CTask_FormData getFormData() const = 0;

protected:
    int session_id;
    QString header;
    QByteArray body;
};

// Turns one message of the wire format back into a record.
class SCI_ExecObj_Recv : public SCI_ExecObj_Recv_Base {
public:
    // JSON of the transport's users that set no bounds of their own: the replies of the
    // companion process and of push subscribers, a few hundred bytes each, a level or two deep.
    // Decoded JSON costs many times the bytes of its text, and every value and bracket more:
    // within these it costs a few hundred kilobytes at most.
    static constexpr NetworkJson::Bounds kJsonBounds{64 * 1024, 32, 2048};
    // The largest part a multipart body has a use for: a picture of the whole screen, 1920 x 1080
    // at three bytes a pixel, the largest picture the panel makes.
    static constexpr qint64 kMaxPartBytes = 1920 * 1080 * 3;
    // Such a picture with its info and form parts fits in this, and a larger multipart body is
    // refused before its bytes are gathered. Its JSON parts together are held to the JSON bounds
    // of one body.
    static constexpr qint64 kMaxMultipartBytes = 8 * 1024 * 1024;
    // Parts of one multipart body: each costs far more decoded than its few bytes of framing.
    static constexpr int kMaxParts = 1024;

    // A JSON body, and the JSON parts of a multipart body together, are held to json.
    SCI_ExecObj_Recv(const QByteArray& head, int sessionId, const NetworkJson::Bounds& json = kJsonBounds);

    int getNeedLength() const override;
    bool analysisIntegrality() override;
    CTask_FormData getFormData() const override { return record; }

    void setDuplex_Info(const QHostAddress& address, unsigned short port);

    // The announced body length (0 when absent or not a number; may be negative or huge:
    // the session bounds it before gathering).
    qint64 contentLength() const { return content_length; }
    // Why the announced length cannot frame the message (not 1 to 10 ASCII digits, or two
    // Content-Length lines that differ); empty when it can. Reading such a length leniently
    // would let body bytes pass for the next message.
    QString lengthFault() const { return length_fault; }
    // A JSON body announced beyond the size its bounds take, or a multipart body beyond
    // kMaxMultipartBytes: refused before it is gathered.
    bool bodyTooLarge() const;
    // What went wrong in the last failed analysisIntegrality, for the peer's error reply.
    QString decodeFault() const { return decode_fault; }
    QString uuid() const { return task_uuid; }
    QString method() const { return task_method; }
    bool isRequest() const { return !record.url.isEmpty(); }

    // The header from its first line holding "HTTP/1.1" on, stray lines before it dropped;
    // empty when no such line is followed by another (a one-line header carries no message).
    static QByteArray skipStrayLines(QByteArray head);
    // A header value as it reads on arrival: every blank is dropped, so a uuid sent with blanks
    // comes back without them.
    static QString withoutBlanks(const QString& text);

    // On failure, fault (when given) says why for the peer's error reply: "invalid json",
    // "duplicate key" (an object repeats a name), a bound of the JSON ("json too large", "json
    // too deep", "too many json values"), "invalid multipart boundary", "too many parts", "part
    // too large".
    static bool analysisIntegrality_json(const QByteArray& bytes, CTask_FormData& task, QString* fault = nullptr,
                                         const NetworkJson::Bounds& bounds = kJsonBounds);
    static bool analysisIntegrality_multipart(const QByteArray& bytes, const QByteArray& boundary, CTask_FormData& task,
                                              QString* fault = nullptr, const NetworkJson::Bounds& bounds = kJsonBounds);
    static bool analysisIntegrality_file(const QByteArray& bytes, CTask_FormData& task);
    static bool analysisIntegrality_Default(const QByteArray& bytes, CTask_FormData& task);

private:
    bool isJson() const;
    bool isMultipart() const;

    QString task_method;
    QString target;
    QString task_uuid;
    QString user_id;
    QString content_type;
    qint64 content_length = 0;
    QString length_fault;
    QString decode_fault;
    NetworkJson::Bounds json_bounds;
    CTask_FormData record;
};
