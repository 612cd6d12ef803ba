#pragma once

#include "netcore/httpmanager.h"
#include "netservices/companion/videoshare.h"

#include <QHostAddress>
#include <QJsonObject>
#include <QMap>
#include <QSharedPointer>
#include <QString>
#include <QTcpSocket>
#include <QTimer>
#include <atomic>

class JXK_NETMN;

// The link to the companion process "zuzad_evurevi": starts and restarts it, dials it on
// 127.0.0.1:10431, sends a heart-beat every third second and reports periods, pictures, alarms,
// operation records and working time. The companion's heart-beat reply says whether it may send.
//
// The object, its timers and every message operation live in the GUI thread. The picture thread
// enters only through sndAlarmPicture, which hops to the GUI thread; the video worker only reads
// the link state, through the base's guarded reactor accessor. Flags read across threads are
// atomics. A companion that closes, stalls or sends garbage costs only the link: nothing waits
// for a reply. The client reactor's dial blocks its caller until it connects or times out, so
// the link dials only once a non-blocking probe has seen the peer take a connection: a peer
// that takes none (a hung companion with a full accept queue) never holds up the GUI thread.
class ViewWatch2VUD : public HttpManager {
    Q_OBJECT
public:
    static constexpr int kLivenessMs = 8000;
    static constexpr quint64 kRestartTicks = 1200;
    // A companion just started may take this long to listen before a failed dial restarts it.
    static constexpr qint64 kStartGraceMs = 5000;
    // A probe not answered within this counts as a failed dial.
    static constexpr qint64 kProbeMs = 1000;
    static constexpr int kScreenWidth = 1920;
    static constexpr int kScreenHeight = 1080;

    enum AlarmState { AlarmIdle = 0, AlarmAnnounced = 1, AlarmCleared = 2 };

    // Where the link starts the companion from (relative to the working directory).
    static QString companionProgram();

    explicit ViewWatch2VUD(JXK_NETMN* owner, const QHostAddress& address = QHostAddress::LocalHost,
                           quint16 port = 10431);
    ~ViewWatch2VUD() override;

    void init();
    // Ends the link for good: timers, video worker, reactor, companion, shares.
    void stop();

    int isAllowSnd_2_VW() const;
    bool getSoftCnted() const;

    void addClearMethod(int camera, int code);
    // The detection screen reports an alarm cleared (2); only an announced alarm takes it.
    void setAlarmState(int state);
    int getAlarmState() const { return alarmState.load(); }
    void setLastDetectMs(qint64 ms) { lastDetectMs.store(ms); }

    void sndHeartBeat();
    void sndVideoMeminfo();
    void sndDetectOnceInfo();
    // Safe from any thread.
    void sndAlarmPicture(int camera, int detect, bool result, QString path);
    void sndAlarmStartTiming(int detect);
    void sndAlarmFinishTiming();
    void sndRecordOperate(QJsonObject record);
    void syncTempList(QJsonObject in);

    bool createVideoShare(int camera, int width, int height);
    void destoryVideoShare();
    void startVideo(bool on);

    QMap<int, VideoShareInfo> shares() const { return videoShares; }
    QString currentAlarmUuid() const { return alarmUuid; }
    QString currentClearMethod() const { return clearMethod; }
    bool flag(const char* name) const;   // "cntserver", "register", "needokimg", "needvideo"
    // The JSON body of "detectonceinfo" from the region cache and cycle time (tenths of a second).
    QJsonObject detectOnceBody(int cycleTime) const;
    static QString deviceStateText(int runState, int viewState);

public slots:
    void SlotTimerHB();
    void update_running_time();

private:
    void handle_HeartBeat(CTask_FormData reply);
    void sendAlarmPicture(int camera, int detect, bool result, const QString& path, const QString& periodUuid);
    void send(const QString& url, const QJsonObject& body, const QString& uuid = QString());
    void updataAlarmInfo();
    bool networkOn() const;
    // Dials the companion once the probe connects; returns at once.
    void dial();
    void probeConnected();
    void dialFailed();
    void startCompanion();
    void endCompanion();
    void detachShares();

    JXK_NETMN* netmn;
    QTimer timerHB;
    QMap<int, VideoShareInfo> videoShares;   // GUI thread
    QSharedPointer<VideoThread> videoThread;
    QTimer timerRunning;
    int workingMinutes = 0;
    int stopMinutes = 0;
    std::atomic<qint64> lastDetectMs{0};
    QString alarmUuid;
    qint64 alarmStartMs = 0;
    QString clearMethod;
    std::atomic<int> alarmState{AlarmIdle};
    std::atomic<bool> cntserver{false};
    std::atomic<bool> register_{false};
    std::atomic<bool> needokimg{false};
    std::atomic<bool> needvideo{false};

    const QHostAddress companionAddress;
    const quint16 companionPort;
    bool linkActive = false;        // from an init with the network on until stop
    QTcpSocket probe;               // GUI thread; only asks whether the companion takes connections
    qint64 probeStartMs = 0;
    quint64 ticks = 0;
    int companionPidfd = -1;        // pidfd of the companion this link started, -1 for none
    qint64 companionStartMs = 0;
    QString runningHour;
    int runningMinuteCount = 0;
};
