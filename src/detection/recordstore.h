#pragma once

#include "base/safefile.h"
#include "base/sqlconnection.h"

#include <QDate>
#include <QDateTime>
#include <QList>
#include <QMutex>
#include <QReadWriteLock>
#include <QString>

#include <deque>
#include <functional>
#include <memory>

class RecordStore;

// One operation record as it is made, before the disk has it.
struct OperationRecord {
    QDateTime moment;
    QString password;
    QString remarks;
    QString type;
};

// Which day the open record database holds, agreed between the thread that rolls the day over
// and stores the records (the store writer) and the threads that read them (the API's work
// threads). A reader holds the day while it reads one day's rows, so no record file moves under
// it and no record goes from the waiting ones into a database meanwhile: what it reads of the
// files and of the records still waiting (a full disk holds them) is each record once. A roll
// or a store waits for the readers to let go, and readers that come meanwhile wait for it.
// It also counts the records handed to the writer.
class RecordDay {
public:
    explicit RecordDay(const QDate& open = QDate()) : m_day(open) {}
    RecordDay(const RecordDay&) = delete;
    RecordDay& operator=(const RecordDay&) = delete;

    class Reading {
    public:
        explicit Reading(const RecordDay& day) : m_day(day), m_locker(beforeReading(day)), m_open(day.m_day) {}
        // Invalid while no record database is open (no main window).
        QDate openDay() const { return m_open; }
        // The records of `day` handed over and not stored yet, in the order they came.
        QList<OperationRecord> waitingOf(const QDate& day) const;
        // Between the day's file and the open database, while the day is held (a test rolls the
        // day over here).
        void betweenFiles() const
        {
            if (m_day.m_whileReading)
                m_day.m_whileReading();
        }

    private:
        const RecordDay& m_day;
        QReadLocker m_locker;
        QDate m_open;
    };

    class Rolling {
    public:
        explicit Rolling(RecordDay& day) : m_locker(&day.m_lock), m_day(day) {}
        void setOpenDay(const QDate& open) { m_day.m_day = open; }

    private:
        QWriteLocker m_locker;
        RecordDay& m_day;
    };

    // Held from before waiting records go into a database until they have left the queue.
    class Storing {
    public:
        explicit Storing(RecordDay& day) : m_locker(&day.m_lock) {}

    private:
        QWriteLocker m_locker;
    };

    // All records handed over and not stored yet, a moment's view without holding the day (an
    // estimate). A reader that must see each record once holds the day (Reading::waitingOf).
    QList<OperationRecord> waitingRecords() const;

    // The store whose waiting records readers see. A store leaves before it goes: readers that
    // hold the day finish first, and a newer store that took its place stays.
    void setWaitingRecords(const RecordStore* store);
    void clearWaitingRecords(const RecordStore* store);

    // A record is handed to the writer (any thread); returns how many have been in all.
    quint64 handOver();
    // How many records have been handed over so far.
    quint64 handedOver() const;

    // For tests: runs on the reader's thread each time a reader is about to hold the day (a test
    // rolls the day over at a chosen point of a query). Set and cleared while no reader runs.
    void setBeforeReadingHook(std::function<void()> hook) { m_beforeReading = std::move(hook); }
    // For tests: runs on the reader's thread while it holds the day, after it has read the day's
    // file and before it reads the open database (Reading::betweenFiles).
    void setWhileReadingHook(std::function<void()> hook) { m_whileReading = std::move(hook); }

private:
    static QReadWriteLock* beforeReading(const RecordDay& day)
    {
        if (day.m_beforeReading)
            day.m_beforeReading();
        return &day.m_lock;
    }

    std::function<void()> m_beforeReading;
    std::function<void()> m_whileReading;
    mutable QReadWriteLock m_lock;
    QDate m_day;                              // under m_lock
    const RecordStore* m_waiting = nullptr;   // under m_lock
    mutable QMutex m_countMutex;
    quint64 m_handed = 0;   // under m_countMutex
};

// The operation records on disk: the records of the record day in "RECORD.db", table RECORD,
// each finished day moved into "./RECORD/<yyyy-MM-dd>.db", and the day that "RECORD.db" holds
// in "time.txt". Every record goes into the database of the day it happened: before it is
// stored the day rolls over when its date is another one.
//
// Records are handed over from the GUI thread and wait here, in order, with the day rolls asked
// for between them; the store writer's thread stores all that waits at once (storeWaiting): the
// records of one day in one transaction on a connection kept open, so one sync covers however
// many came meanwhile and the writer keeps up with any producer. Until then readers find them here
// (RecordDay::Reading::waitingOf). A record handed over is never dropped; API callers ask first
// (acceptsClientRecords) and are turned away while too many wait, the detection cycle's own
// records never are.
//
// Nothing here gives up on a full disk or an I/O error: a roll or records that the disk does not
// take answer false and are tried again by the caller (the store writer), records keep their
// order behind it, and "RECORD.db" never takes a record of another day than "time.txt" names. A
// day's rows move into a day file that exists already in one transaction over both files, so a
// power cut never leaves them in both. A database that is not one, is damaged or holds another
// RECORD table is set aside as "<name>.broken-<time>" and made afresh.
class RecordStore {
public:
    using Record = OperationRecord;

    // Records waiting for the disk at which API calls that make one are turned away, and the
    // number they must fall to before such calls are taken again.
    static constexpr int kBusyRecords = 10000;
    static constexpr int kCalmRecords = kBusyRecords / 2;
    // A transaction holds the file from other connections for its length; what waits beyond
    // this goes in the next one.
    static constexpr int kMaxRecordsPerTransaction = 5000;

    static QString databasePath() { return QStringLiteral("RECORD.db"); }
    static QString dayFilePath() { return QStringLiteral("time.txt"); }
    static QString dayFolder() { return QStringLiteral("./RECORD"); }

    explicit RecordStore(RecordDay& day);
    ~RecordStore();

    // Any thread. The record waits for storeWaiting and counts as handed over to the record day.
    void handOver(const Record& record);
    // Any thread. The day rolls to `today` once the records handed over before are stored.
    void handOverRoll(const QDate& today);
    // Records handed over and not yet stored. Any thread.
    int waitingRecords() const;
    // Those of them whose moment falls on `day` (all of them for an invalid day), in the order
    // they came. Any thread.
    QList<Record> waitingOf(const QDate& day) const;
    // Whether a record made on a client's behalf may be handed over now: false from the moment
    // kBusyRecords wait until no more than kCalmRecords do. The first refusal and the end of the
    // refusals are logged, the end with how many calls were turned away. One thread (the GUI
    // thread, where the API's handlers run).
    bool acceptsClientRecords();
    // For tests: the depth at which client records are turned away (kBusyRecords by default).
    void setBusyRecords(int records);

    // Writer thread (and the main window's constructor before it hands anything over). Stores
    // every roll and record that waits, in order; false when the disk did not take one: it and
    // what follows wait for the next call.
    bool storeWaiting();
    // Makes "RECORD.db" hold `today`: a finished day moves into its day file (added to that file
    // when it exists already: the clock was set back), "time.txt" takes the new day and a fresh
    // "RECORD.db" is made. False when a step failed; nothing of the two days is then mixed, and
    // the roll is tried again whole.
    bool rollTo(const QDate& today);
    // Lets go of the records' connection, on the thread that stored (the writer's, as it ends).
    void closeConnection();

private:
    struct Waiting {
        Record record;
        QDate roll;   // valid for a roll, which carries no record
    };

    // The records at the head of the queue that share the first one's day, at most
    // kMaxRecordsPerTransaction; empty when a roll comes first.
    QList<Record> headOfOneDay() const;
    void dropHead(int count);
    // One transaction; false (nothing stored) when the disk did not take it.
    bool insertAll(const QList<Record>& records, QSqlError* error);
    bool moveFinishedDay();
    // Makes "RECORD.db" with its table, setting a broken one aside first.
    bool ensureDatabase();
    // The connection the records go in by; opened when first needed, closed before the file is
    // moved or set aside.
    QSqlDatabase openConnection(QSqlError* error);

    RecordDay& m_recordDay;
    mutable QMutex m_queueMutex;
    std::deque<Waiting> m_queue;   // under m_queueMutex
    int m_queuedRecords = 0;       // under m_queueMutex

    // GUI thread only.
    int m_busyRecords = kBusyRecords;
    bool m_refusing = false;
    quint64 m_refused = 0;

    // Writer thread only.
    QDate m_day;   // the day "RECORD.db" holds; invalid until "time.txt" is read
    bool m_dayRead = false;
    std::unique_ptr<SqlConnection> m_connection;
    WriteStateLog m_storeLog;
};
