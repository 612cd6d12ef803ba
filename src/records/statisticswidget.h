#pragma once

#include "records/rescount.h"

#include <QPair>
#include <QPointer>
#include <QTabWidget>
#include <QWidget>

class ComboBox;
class ExportResultWorker;
class Histogram;
class QLabel;
class QListWidget;
class QListWidgetItem;
class QThread;
class WarnBox;

// One statistics page: the morning, night and whole-day counts of one camera (index 8: all
// cameras) and one detection step (index 8: the whole cycle), and the two shifts' hourly charts.
class CameraStatisticsWidget : public QWidget {
    Q_OBJECT
public:
    CameraStatisticsWidget(int camera, int step, QWidget* parent);

    int camera() const { return m_camera; }
    int step() const { return m_step; }
    // Re-reads the counts of the shown day from the statistics model and repaints; shows no
    // counts while the screen waits for a picked day.
    void updateData();
    void clearData();

    // Shown values: shift 0 morning, 1 night, 2 whole day; row 0 OK + NG, 1 OK, 2 pass rate.
    QString valueText(int shift, int row) const;
    Histogram* chart(int shift) const { return m_charts[shift]; }

    // OK x 100 / (OK + NG) as the page writes it; "0%" when nothing was counted.
    static QString passRate(int ok, int ng);

protected:
    void showEvent(QShowEvent* event) override;

private:
    int m_camera;
    int m_step;
    QLabel* m_values[3][3] = {};
    Histogram* m_charts[2] = {};
};

// The pages of one camera tab: page k shows step (k + 7) mod 9, so the whole cycle comes first.
class CamereaTabWidget : public QTabWidget {
    Q_OBJECT
public:
    CamereaTabWidget(int camera, QStringList names, QWidget* parent = nullptr);

    int camera() const { return m_camera; }
    void updateData();

private:
    int m_camera;
};

// The full-screen production-statistics screen. One instance, created without parent by the
// first caller that needs it. Everything here runs on the GUI thread; the export worker lives on
// the screen's export thread and meets the screen only through queued signals. The screen
// reads the numbers from the statistics model and writes only its shown group and, on Return,
// the shift hours.
class StatisticsWidget : public QWidget {
    Q_OBJECT
public:
    StatisticsWidget();
    ~StatisticsWidget() override;

    static StatisticsWidget* instance;
    // The instance, created when there is none yet.
    static StatisticsWidget* getInstance();
    // Ends a running export and deletes the instance (before the statistics model goes).
    static void destroyInstance();

    // Builds the tabs, the day list and the controls; once, with "All detect" and the step names.
    void createWidget(QStringList names);
    void initWidget();
    void updateList();
    void updateGroupsList(bool block);
    // After every counted result: refreshes what is shown when it is today.
    void checkUpdate();

    bool isExportIdle() const { return m_exportIdle; }
    // A picked archived day has not come from the database thread yet.
    bool isLoadingDay() const { return m_pendingLoads > 0; }
    ExportResultWorker* exportWorker() const { return m_worker; }
    QListWidget* dayList() const { return m_dayList; }
    QTabWidget* cameraTabs() const { return m_tabs; }
    ComboBox* groupChooser() const { return m_groups; }
    ComboBox* hourChooser(int which) const { return m_hours[which]; }

signals:
    void sigUpdateRecord(int row, QString path);
    void sigExportData(QPair<QString, QString> dates);
    void sigExportDataFinish();
    void sigExportProgress(int total, int done);

public slots:
    void slotUpdateRecord(bool ok);
    void SlotConfirm();
    void UpdateRecord(QListWidgetItem* item);
    void SlotExportData();

protected:
    void showEvent(QShowEvent* event) override;

private:
    void refreshCurrentTab();
    void exportFinished(bool ok, const QString& failure);

    ExportResultWorker* m_worker = nullptr;
    QThread* m_exportThread = nullptr;
    bool m_exportIdle = true;
    // Set while checkUpdate asks the model for today's counters: the answer only refreshes.
    bool m_refreshingToday = false;
    // Set while today is asked for; the model answers within the call.
    bool m_requestingToday = false;
    // Archived days asked for and not answered yet (answers come in the order asked).
    int m_pendingLoads = 0;
    // The day that has just ended, listed until its archive file appears.
    QString m_archivingDay;
    QPointer<WarnBox> m_startBox;
    ComboBox* m_groups = nullptr;
    ComboBox* m_hours[4] = {};
    QListWidget* m_dayList = nullptr;
    QTabWidget* m_tabs = nullptr;
};

