#pragma once

#include "base/platform.h"

#include <QObject>
#include <QPair>
#include <QString>
#include <atomic>

// Runs a program and logs its output lines as they arrive; waits at most msecs (-1: no bound).
CommandResult runAndPrintOutput(const QString& program, const QStringList& arguments, int msecs);

// Exports the statistics day files of a date range to the USB stick: hands them to the outside
// exporter, which leaves its results as folders inside "./ResStatistics", and moves those
// folders into a time-stamped folder on the stick. An export that fails or is stopped removes
// the folders its exporter made, so no half-made result is left behind or taken along later. Lives on the statistics screen's export
// thread; work() blocks that thread, never the GUI. The GUI thread only posts to it (setTarget,
// work) and may call requestStop() at any time.
class ExportResultWorker : public QObject {
    Q_OBJECT
public:
    explicit ExportResultWorker(QObject* parent = nullptr);

    static QString exporterPath()
    {
        return QStringLiteral("./cnt_net/export_result_statistics/export_result_statistics");
    }
    static constexpr int kDefaultExporterTimeoutMs = 60 * 60 * 1000;

    // The day files of [start, end] in the order the exporter gets them: archives by name, then
    // today's file when its production day lies in the range.
    static QStringList dayFiles(const QDate& start, const QDate& end, const QDate& productionDay);

    // Where to and for which production day the next work() exports (posted before it), and the
    // object on whose thread the running day is stored: work() waits for the stores already
    // posted to it before the exporter reads the day file.
    void setTarget(const QString& stick, const QString& productionDate, QObject* dayStore = nullptr);
    // Bound on the exporter's run; tests make it short.
    void setExporterTimeoutMs(int ms) { m_timeoutMs = ms; }
    // Any thread: ends a running exporter; the running export then fails.
    void requestStop() { m_stop = true; }

    // Copies a folder tree to target, which it makes inside an existing folder (the stamp folder
    // on the stick): a stick pulled meanwhile leaves a bare mount point, where nothing is made.
    // False at the first folder or file that cannot be made.
    static bool copyFolder(const QString& source, const QString& target);

    // Runs the exporter, counting its "Done" lines into exportProgress.
    CommandResult exportToHistogram(const QString& program, const QStringList& arguments, int msecs);

    int total = 0;
    int done = 0;

signals:
    void exportProgress(int total, int done);
    // ok false: failure says what went wrong, for the operator.
    void finish(bool ok, QString failure);

public slots:
    void work(QPair<QString, QString> dates);

private:
    QString runExport(const QPair<QString, QString>& dates);
    QString exportAndMove(const QStringList& files, const QString& stamp);
    QString moveResults(const QString& target);
    // Removes what exporters left in the archive folder, but for the folders named.
    static void removeResultsExcept(const QStringList& kept);
    void waitForDayStore() const;

    QString m_stick;
    QString m_productionDate;
    // Lives until the program ends, after this worker's thread has been joined.
    QObject* m_dayStore = nullptr;
    int m_timeoutMs = kDefaultExporterTimeoutMs;
    std::atomic<bool> m_stop{false};
};
