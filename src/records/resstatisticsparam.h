#pragma once

#include "records/rescount.h"

#include <QJsonObject>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QTimer>

class QThread;
#include "records/resstatisticsdatabase.h"

// The production-statistics model. Lives in the GUI thread: counts every step verdict of the
// detection cycle into today's counters, stores the day every minute through its database
// object (own thread), ends the day at the morning-shift hour and keeps the shift hours in
// "resstatistics.json". It also holds the day shown on the statistics screen.
class ResStatisticsParam : public QObject {
    Q_OBJECT
public:
    ResStatisticsParam();
    ~ResStatisticsParam() override;

    // The process-wide model, created on first use.
    static ResStatisticsParam* getInstance();
    // Stops and deletes the process-wide model (end of the program).
    static void destroyInstance();

    void init(QString group, int steps);
    void setTimer(bool on);
    // Hands today's counters to the database thread now, queued behind every earlier store (the
    // export asks for this before the exporter reads the day file).
    void storeDay();
    // Stores the day one last time (when the timer runs), lets the database thread store what
    // waits for the disk (StoreWriter::kStopMs at most), then stops and joins it. Safe to call
    // more than once; the destructor calls it.
    void shutdown();

    // Counter records and day JSON.
    static void initStuStatisticsCount(sCount& count);
    static void initStuCountDetect(CountDetect& detect);
    static void initStuCountCamera(CountCamera& camera);
    static void initStuCountGroup(CountGroup& group, QString name);
    void initStuCount(CountGroupList& list) const;
    // Totals by the shift of the clock hour each slot was counted in: slot k of a day begun at
    // dayStart is the clock hour dayStart + k. Without a day start, the day is taken to have
    // begun at the current morning start; a group carries its own ("morningStart").
    void calcCount(CountDetect& detect) const;
    void calcCount(CountDetect& detect, int dayStart) const;
    void calcCount(CountCamera& camera) const;
    void calcCount(CountCamera& camera, int dayStart) const;
    void calcCount(CountGroup& group) const;
    void calcCount(CountGroupList& list) const;
    // The clock hour a group's day began at, as it stored it (8 when it stored no hour).
    static int dayStartOf(const CountGroup& group);
    static int clockHourOfSlot(int slot, int dayStart);
    // Whether a clock hour lies in the morning shift of the current settings.
    bool isMorningHour(int clockHour) const;
    // The slots of a day begun at dayStart, summed per clock hour: entry h is clock hour h.
    static QList<int> countsByClockHour(const QList<int>& hourSlots, int dayStart);
    static QJsonObject StuCountToJson(const CountGroupList& list);
    static QJsonObject StuCountGroupToJson(const CountGroup& group);
    static QJsonObject StuCountCameraToJson(const CountCamera& camera, int id, int& stepCount);
    static QJsonObject StuCountDetectToJson(const CountDetect& detect, int id);
    static void StuCountFromJson(CountGroupList& list, const QJsonObject& json);
    static void StuCountGroupFromJson(CountGroup& group, const QJsonObject& json);
    static void StuCountCameraFromJson(CountCamera& camera, const QJsonObject& json);
    static void StuCountDetectFromJson(CountDetect& detect, const QJsonObject& json);
    // Brings a loaded group to the shape recording relies on: 24 slots in every list, at
    // least `steps` step records per camera and at least `cameras` camera records.
    static void repairGroup(CountGroup& group, int steps, int cameras);

    int getCount(ShiftType type, bool isOK, int camera, int step) const;
    // Entry i is the count of the clock hour getShiftTimeList(type) labels i, taken from the slot
    // of that hour on the shown day (which keeps the start hour it began with).
    QList<int> getRes(ShiftType type, bool isOK, int camera, int step) const;
    QList<int> getShiftTimeList(ShiftType type) const;
    QList<QString> getGroups() const;
    CountGroup getGoupFromName(QString name) const;
    QString getCurGroupName() const { return curGroupName; }
    QString getCurDBDate() const;
    void setCurGroup();
    void createNewTime();
    void laodConfig();
    // Takes new shift settings (from the statistics screen) and hands them to the file without
    // waiting for it.
    void laodConfigFromJson(const QJsonObject& json);
    int checkParam(QJsonObject& json) const;
    // Writes "resstatistics.json" from the members. Once the database thread runs, the file is
    // written there, in order with the day's stores; waitForDisk (start-up) waits for that write,
    // the screen and the day roll do not.
    void saveConfig(bool waitForDisk = true) const;
    void readTime();

    ResStatisticsDatabase* statisticsDatabase() const { return database; }
    const CountGroupList& today() const { return todayCount; }
    const CountGroupList& shown() const { return shownCount; }
    quint32 getRollTime() const { return rollTime; }
    // The clock hour the current production day started at; what its groups store as
    // "morningStart", so the count query places their hours right.
    int dayStartHour() const;
    int shiftHour(int which) const;   // 0 morningsStart, 1 morningsEnd, 2 nightStart, 3 nightEnd
    bool isTimerActive() const { return timer && timer->isActive(); }

    static QString configFileName() { return QStringLiteral("resstatistics.json"); }

    // Replaced directly by the configuration screens when the parameter group changes.
    QString curGroupName;
    QString shownGroupName;

public slots:
    void addRecord(int step, int hour, QList<bool> cameraOK, bool lastStep);
    void checkDate();
    void checkCameraDetectCount(int steps);
    void slotUpdateRecord(int row, QString path);
    void slotRecvRecord(QJsonObject json, bool ok);

signals:
    void sigSaveRecord(QString curDate, QJsonObject json, bool isMove);
    void sigUpdateRecord(QString path);
    void sigLoadFinish(bool ok);
    // For the statistics screen: after every counted result (dayListChanged false, the screen
    // refreshes what it shows) and when a day has ended (true, the screen re-reads its list of
    // days). Nothing listens until the screen exists.
    void sigScreenUpdate(bool dayListChanged);

private:
    void applyConfig(const QJsonObject& json);
    CountGroup newGroup(const QString& name) const;
    // Today's counters become one zeroed group of the current name, dated by rollTime.
    void startEmptyDay();
    const CountDetect* shownRecord(int camera, int step, const CountGroup& group) const;

    QPointer<ResStatisticsDatabase> database;
    QTimer* timer = nullptr;
    quint32 rollTime = 0;
    int morningsStart = 8;
    int morningsEnd = 20;
    int nightStart = 20;
    int nightEnd = 8;
    int detectCount = 0;
    CountGroupList todayCount;
    CountGroupList shownCount;
    QList<bool> cameraCycleOK;
    bool cycleOK = true;

    QThread* databaseThread = nullptr;
    static ResStatisticsParam* instance;
};
