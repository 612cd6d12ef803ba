#pragma once

#include "vision/wizardpara.h"

#include <QDate>
#include <QDir>
#include <QElapsedTimer>
#include <QList>
#include <QPointer>
#include <QTimer>
#include <QVector>
#include <QWidget>

#include <memory>

class CammerWidget;
class ModbusServer;
class QLabel;
class RecordDay;
class RecordStore;
class StoreWriter;
class VersionDownloadDialog;
class WizardParaWidget;

// The main window and detection controller. Here the detection cycle is simulated: every
// MOULD_SIM_CYCLE_MS (default 3000) a cycle runs all detection steps; camera 1 judges NG every
// MOULD_SIM_NG_EVERY-th cycle (default 10, 0 never) and the alarm clears itself after 2 s.
class MoJuWizard : public QWidget {
    Q_OBJECT
public:
    enum RunState { RunDetecting = 1, RunTraining = 2, RunStopped = 3 };
    enum ViewState { ViewVerdict = 1, ViewNgAlarm = 2, ViewEditing = 3 };

    // modbusPort: the Modbus TCP server's port on all interfaces (tests give 0 for a free one).
    explicit MoJuWizard(QWidget* parent = nullptr, quint16 modbusPort = 502);
    ~MoJuWizard() override;

    int runState() const { return m_runState; }
    int viewState() const { return m_viewState; }
    int currentStep() const { return m_curStep; }
    int cycleTime() const { return m_cycleTime; }   // tenths of a second

    // The open record database (the operation records of the record day).
    static QString recordDatabasePath();
    // The day whose records the open record database holds, for readers on any thread (invalid
    // without a main window); a reader holds it while it reads a day, and the day waits.
    static RecordDay& recordDay();

    // The writer of the counters, the operation records and the subscriptions (GUI thread).
    StoreWriter* storeWriter() const { return m_writer.get(); }

    // One view per camera in use.
    QVector<CammerWidget*> cameraViews;
    // Picture folders [camera][step][kind]: kind 0 NG, kind 1 OK.
    QDir pictureDirs[kMaxCameras][kMaxSteps][2];

    // Hands an operation record to the store writer, which appends it to the RECORD table of
    // its day (rolling the day first when the clock has passed midnight since the last record).
    // Always taken: a caller on a client's behalf asks acceptsClientRecords first.
    void InsertRecord(QString remarks, QString recordtype);
    // False while too many records wait for the disk: a client's request that would make one is
    // then answered 503 before anything is done. The detection cycle never asks.
    bool acceptsClientRecords();
    RecordStore* recordStore() const;
    // Hands the production counters to the store writer, which stores them in "count.ini" in the
    // workspace folder; newer counters replace ones that still wait.
    void CountWrite();
    // Stops detection and forgets the results of the running period.
    void StopDetect();
    // Starts detection again (run state 1).
    void StartDetect();

    ModbusServer* modbusServer() const { return m_modbusServer.get(); }

    // Runs one whole simulated cycle at once (the timer calls this too).
    void Run();

    // Has the store writer move the record database to ./RECORD/<day>.db when the day has
    // changed.
    void checkRecordDay();

    static QString countFilePath();

    // The status corner that shows the progress of a statistics export.
    QLabel* exportLabel() const { return m_exportLabel; }
    // The settings page, built on its first visit.
    WizardParaWidget* settingsPage();
    // The update screen while the settings page has it open (a child of this window), else null.
    QPointer<VersionDownloadDialog> versionDialog;

public slots:
    // The picture stick came (true) or went (false).
    void slotDiskStateChange(bool present);
    // Statistics export: progress (files done of total) and the end.
    void slotExportProgress(int total, int done);
    void slotExportFinish();

signals:
    // After every step verdict: one OK flag per camera in camera order.
    void sendRecord(int step, int hour, QList<bool> cameraOK, bool lastStep);

private:
    void loadCounters();
    // Has the store writer store every record and roll that waits.
    void storeRecords();
    void createPictureDirs();
    void RunAlgorithm(int step);
    void CheckNG(bool lastStep);
    void AddStatistics(int step, const QList<bool>& cameraOK, bool lastStep);
    void startAlarm(int step, int camera);
    void clearAlarm();

    // Places where the network services hook into the cycle.
    void startPeriodRecord();
    void finishPeriodRecord();
    void recordRegionResult(int camera, int step, int region, int function, int value, bool passed);
    void clearNetworkResults();

    int m_runState = RunDetecting;
    int m_viewState = ViewVerdict;
    int m_curStep = 0;
    int m_cycleTime = 0;
    qint64 m_cycleNumber = 0;
    int m_ngEvery = 10;
    int m_alarmCamera = 0;   // the camera whose NG raised the running alarm
    static constexpr int kClearByReset = 4;
    int m_saveRequest[kMaxCameras][kMaxSteps] = {};
    // Touched on the writer's thread only once the constructor has handed it the first record.
    std::unique_ptr<RecordStore> m_recordStore;
    // Stopped (what waits is stored) and joined by the destructor, after everything that stores.
    std::unique_ptr<StoreWriter> m_writer;
    std::unique_ptr<ModbusServer> m_modbusServer;
    std::unique_ptr<WizardParaWidget> m_settingsPage;
    QLabel* m_exportLabel = nullptr;
    QElapsedTimer m_cycleClock;
    QTimer m_cycleTimer;
    QTimer m_alarmClearTimer;
    QTimer m_dayTimer;
};

extern MoJuWizard* gpWin;
