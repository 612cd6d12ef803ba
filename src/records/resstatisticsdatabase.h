#pragma once

#include "base/safefile.h"
#include "records/rescount.h"

#include <QDateTime>
#include <QJsonArray>
#include <QJsonObject>
#include <QMap>
#include <QObject>
#include <QSqlError>
#include <QSqlQuery>
#include <QString>

#include <atomic>

class QTimer;

class ResStatisticsParam;

// Keeps the production statistics on disk: today's day JSON in "ResStatistics.db", every ended
// day in "./ResStatistics/<yyyy-MM-dd>.db" (same layout), both copies of the template
// "ResStatisticsNULL.db". After the first load it lives on a thread of its own.
// A current file that does not open stops the panel (box, reboot); one that opens but holds no
// usable statistics (not a database, damaged, another table) is kept as
// "ResStatistics.db.broken-<time>" and replaced by a fresh copy, so a damaged file costs that
// day's counts, not every start. A stored day that does not read whole (not JSON, values of
// other kinds) is copied beside it under that name before the running day is stored over it.
// A full disk, a lock or an I/O error is no reason for either: the file stays, the day stays in
// the model's memory, and the store of every minute tries again (logged once when it starts
// failing and once when it works again). A day that counted
// nothing never replaces the archive of its date; archived days are only read here.
// An ended day whose archive cannot be written (no room for the copy) waits in memory, and
// today's file, which may be its only copy on the disk, is given to no other day meanwhile: the
// running day waits in memory too. Both are tried again every kRetryMs, whether or not the
// model's minute store runs, and at the stop for a bounded time; what the stop cannot store is
// named in an error line.
class ResStatisticsDatabase : public QObject {
    Q_OBJECT
public:
    ResStatisticsDatabase(ResStatisticsParam* param, QObject* parent = nullptr);

    static QString currentFileName() { return QStringLiteral("ResStatistics.db"); }
    static QString templateFileName() { return QStringLiteral("ResStatisticsNULL.db"); }
    static QString archiveDirName() { return QStringLiteral("./ResStatistics"); }
    static QString archiveFileName(const QString& date) { return archiveDirName() + '/' + date + QStringLiteral(".db"); }
    // True when no hour of any record of a day JSON holds a count.
    static bool countsNothing(const QJsonObject& day);
    // Reads the stored day JSON of a day file.
    static QString dayJsonSelect()
    {
        return QStringLiteral("select value1 from resstatistics where name='statisticsjson'");
    }

    // Creates the empty template when it is missing; false when it cannot be made.
    static bool ensureTemplate();

    // Writes the shift settings file (database thread); settings the disk does not take are
    // written again with what waits.
    void storeConfig(const QByteArray& content);

    // How often what waits (shift settings, ended days, the running day held back for them) is
    // tried again.
    static constexpr int kRetryMs = 1000;
    // The database thread's last work at the program's stop: stores what waits, trying again for
    // at most timeoutMs, then says at ERROR what is lost.
    void finishWaitingStores(int timeoutMs);
    // The ended days that wait for their archive (database thread).
    QStringList waitingArchives() const { return m_pendingArchives.keys(); }

    void loadCountFromJson(QString path, QJsonObject& json);
    void loadCountFromJson(QString path);
    QJsonObject loadCountFromJson(QSqlQuery query, QString path);
    static bool saveCountFromJson(QJsonObject json, QSqlQuery query, QSqlError* error = nullptr);
    static bool loadCountFromJson(CountGroup& group, QSqlQuery& query);
    // A "default" group (hours 8 and 20) filled from the rows of the older layout.
    static CountGroup olderLayoutGroup(QSqlQuery& query);
    static void loadCountCamera(CountCamera& camera, int cameraIndex, QSqlQuery query);
    static bool loadCountDetect(CountDetect& record, QString sql, QSqlQuery query);

    // What the production-count query needs of the program's state: the group asked (empty:
    // the current one), the cameras of the camera manager and the steps in use.
    struct CountShape {
        QString group;
        int cameraCount = 0;
        int stepCount = 0;
    };
    // Reads that state; the thread that owns it (the GUI thread).
    static CountShape currentCountShape(const QString& group);

    // Production counts per hour between two local times ("yyyy-MM-dd hh:mm:ss") for one
    // parameter group (empty: the current one). Reads the day files read-only, changes nothing.
    static void loadCount(QString from, QString to, QJsonObject& result, QString group);
    // The same from a shape taken before; any thread (each call has its own connection). Gives
    // up, answering what it has, once `stopping` turns true.
    static void loadCount(const QString& from, const QString& to, QJsonObject& result, const CountShape& shape,
                          const std::atomic<bool>* stopping = nullptr);
    // The same reply as compact JSON text, with `extra` keys beside the arrays: what the HTTP
    // API sends, made without a JSON document in between.
    static QByteArray loadCountJson(const QString& from, const QString& to, const CountShape& shape,
                                    const QJsonObject& extra, const std::atomic<bool>* stopping = nullptr);
    // The per-hour arrays of a count reply while they are built, as plain numbers (see
    // resstatisticsquery.cpp); turned into JSON once at the end.
    struct CountArrays;
    static CountArrays collectCounts(const QString& from, const QString& to, const CountShape& shape,
                                     const std::atomic<bool>* stopping);
    // Adds one production day (null: no usable file) to the arrays; a day without data of the
    // group is zeros from emptyDayStart o'clock on.
    static void addDay(const QDateTime& cursor, const QJsonObject* day, const QDateTime& fromTime,
                       const QDateTime& toTime, const CountShape& shape, CountArrays& arrays, int emptyDayStart = 8);
    static bool completeData(QDateTime day, QDateTime from, QDateTime to, CountArrays& arrays, int cameraCount,
                             int detectCount, int& firstSlot, int& endSlot, int morningStart);
    static void completeDataForErrorData(QDateTime day, QDateTime from, QDateTime to, CountArrays& arrays,
                                         int cameraCount, int detectCount, int morningStart = 8);
    static QString removeSuffix(const QString& path);

    // Longest range the count query answers (a year and a bit); longer ones answer empty.
    static constexpr qint64 kMaxQueryDays = 400;

public slots:
    void slotSaveRecord(QString curDate, QJsonObject json, bool isMove);
    void slotUpdateRecord(QString path);

signals:
    void sigLoadFinish(QJsonObject json, bool ok);

private:
    enum FileState { FileUsable, FileNotOpen, FileNotStatistics, FileBusy };
    static FileState checkCurrentFile(QSqlError* error);
    // Sets the current file aside and makes a fresh one; false when either could not be done.
    static bool startAfresh(const QString& error);
    static bool isCurrentFile(const QString& path);
    bool loadDayFile(const QString& path, QJsonObject* json);
    // The day JSON of an open file (see loadCountFromJson); what keeps the stored text from
    // reading whole goes to *problem, empty when nothing does.
    QJsonObject readDayJson(QSqlQuery& query, const QString& path, QString* problem);
    // Stores a day in today's file, or holds it back while the file keeps an ended day.
    void storeDay(const QString& date, const QJsonObject& json);
    bool storeCurrentDay(const QJsonObject& json);
    static bool storeInto(const QString& path, const QJsonObject& json, QSqlError* error);
    bool archiveDay(const QString& curDate, const QJsonObject& json, QString* reason);
    void archivePendingDays();
    void writePendingConfig();
    // Tries again what waits; the retry timer runs while anything does.
    void retryWaiting();
    bool hasWaiting() const;
    void reportLostAtStop();
    // The date of the day today's file holds; empty when none can be read.
    static QString dateInCurrentFile();
    void reportBrokenDatabase();

    // Everything below: the database thread only (the GUI thread before the move).
    ResStatisticsParam* m_param;
    // Ended days whose archive could not be written (date -> day JSON), tried again until it is.
    QMap<QString, QJsonObject> m_pendingArchives;
    // The newest store of a day that waits because today's file keeps an ended day whose archive
    // waits; date empty when none does.
    struct HeldDay {
        QString date;
        QJsonObject json;
    };
    HeldDay m_heldDay;
    QByteArray m_pendingConfig;   // shift settings not written yet; empty when none wait
    QTimer* m_retryTimer = nullptr;   // child: moves to the database thread with the object
    WriteStateLog m_storeLog;
    WriteStateLog m_configLog;
};
