#pragma once

#include "netcore/httpmanager.h"
#include "netcore/taskformdata.h"

#include <QHostAddress>
#include <QJsonArray>
#include <QJsonObject>
#include <QMap>
#include <QMetaType>
#include <QMutex>
#include <QString>
#include <QVariant>
#include <atomic>

class HttpApiServer;
class ViewWatch2VUD;

// The result of one region of one detection step, as the vision core stores it.
struct param_roi {
    qint32 camera = 0;
    qint32 detect = 0;
    qint32 roi_id = 0;
    qint32 algorithm_type = 0;
    qint32 algorithm_result = 0;
    qint32 algorithm_sensitivity = 0;   // first region parameter
    qint32 algorithm_areaMin = 0;       // second region parameter
    qint32 packed = 0;                  // third region parameter
    qint32 roi_result = 0;              // non-zero when the region passed
};

// Owner of the network services: the HTTP API, the companion link, the record of the running
// detection period and the per-region results. Its switches, device name and workspace come
// from "cnt_net/config.json".
//
// Threads: construction, initStart, setWorkTask, start/finish of a period run in the GUI
// thread; add_PeriodRecord_Picture runs in the picture-saving thread; the vision core and the
// cycle write roiCache from the GUI thread. The switches are atomics because the picture and
// video threads read them. roiCache only under roiMutex; the record cells under their own
// mutexes; where both are held, roiMutex comes first.
class JXK_NETMN : public HttpManager {
    Q_OBJECT
public:
    // The record of one detection period.
    struct sAPI_LastDetect_Info {
        QString uuid;        // "V18#" + device name + "@" + start ms in lower-case hex
        QString starttime;   // "yyyy-MM-dd hh:mm:ss.zzz"
        QJsonObject record;  // summary; empty until the period finishes
        QMap<QString, QString> pictures;   // "camera;detect;result" -> picture path
    };

    static constexpr quint16 kCompanionPort = 10431;
    static constexpr quint16 kApiPort = 10100;

    static JXK_NETMN* getInstance();
    // Stops the services and deletes the instance (program stop and tests).
    static void destroyInstance();

    // The companion is dialled on 127.0.0.1:companionPort; the API listens on apiAddress:apiPort.
    explicit JXK_NETMN(quint16 companionPort = kCompanionPort, const QHostAddress& apiAddress = QHostAddress::Any,
                       quint16 apiPort = kApiPort);
    ~JXK_NETMN() override;

    void setWorkTask(bool net, bool video, bool api);
    // (Re)reads the configuration file and (re)starts both services accordingly.
    void initStart();
    int isAllowSnd_2_VW() const;
    // A fresh read of one key of the configuration file; invalid when absent or unreadable.
    static QVariant getConfigValue(const QString& key);
    static QString configPath();   // "./cnt_net/config.json"

    void start_PeriodRecord();
    void add_PeriodRecord_Picture(int camera, int detect, bool result, QString path);
    void finish_PeriodRecord();
    static QJsonArray Parse_CacheDetectedRoiInfos_2_QJsonArray(QMap<QString, param_roi> cache);
    static QString roiKey(int camera, int detect, int roi);

    // Empties the region cache and the record cell (the detection screen's stop).
    void clearResults();
    // Stops the companion link, the video share and the picture hook; the program is stopping.
    void stop();

    // Asks the time server named in the configuration file for the time and sets the clock.
    // Nothing in the program calls it.
    bool getNTP_Timing_sync();

    HttpApiServer* apiServer = nullptr;
    ViewWatch2VUD* viewWatch = nullptr;
    QMutex roiMutex;
    CVariant<sAPI_LastDetect_Info> periodRecordCell;
    QMap<QString, param_roi> roiCache;   // under roiMutex
    CVariant<int> alarmDurationCell;
    CVariant<bool> firstResultCell;
    QString devicename;                  // GUI thread
    std::atomic<bool> device_worknetfunc{false};
    std::atomic<bool> device_workvideo{false};
    std::atomic<bool> device_workapifunc{false};
    QString workspace;                   // GUI thread; the file's folder through Platform::programPath

private:
    const QHostAddress apiAddress;
    const quint16 apiPort;

    bool anySwitchOn() const { return device_worknetfunc || device_workapifunc; }
    QMap<QString, param_roi> cacheCopy();

    static JXK_NETMN* __instance;
};

Q_DECLARE_METATYPE(param_roi)
