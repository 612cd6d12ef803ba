#pragma once

#include "base/safefile.h"

#include <QDate>
#include <QDateTime>
#include <QMutex>
#include <QReadWriteLock>
#include <QString>
#include <QWaitCondition>

#include <functional>

// Which day the open record database holds, agreed between the thread that rolls the day over
// (the store writer) and the threads that read the records (the API's work threads). A reader
// holds the day while it reads one day's rows, so no record file moves under it; a roll waits
// for the readers to let go, and readers that come meanwhile wait for the roll.
// It also counts the records handed to the writer and those stored, so that a reader can wait
// for the records handed over before it asked (a plant system that sets the clock and then reads
// the records finds that change among them).
class RecordDay {
public:
    explicit RecordDay(const QDate& open = QDate()) : m_day(open) {}
    RecordDay(const RecordDay&) = delete;
    RecordDay& operator=(const RecordDay&) = delete;

    class Reading {
    public:
        explicit Reading(const RecordDay& day) : m_locker(beforeReading(day)), m_open(day.m_day) {}
        // Invalid while no record database is open (no main window).
        QDate openDay() const { return m_open; }

    private:
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

    // A record is handed to the writer (GUI thread); returns how many have been in all.
    quint64 handOver();
    // The writer has stored one.
    void recordStored();
    // The records still waiting will not be stored (the writer has stopped): nobody waits for
    // them.
    void forgetWaiting();
    // How many records have been handed over so far.
    quint64 handedOver() const;
    // Waits until `count` records are stored; false when the time ran out first (the disk does
    // not take them now).
    bool waitForStored(quint64 count, int timeoutMs) const;

    // For tests: runs on the reader's thread each time a reader is about to hold the day (a test
    // rolls the day over at a chosen point of a query). Set and cleared while no reader runs.
    void setBeforeReadingHook(std::function<void()> hook) { m_beforeReading = std::move(hook); }

private:
    static QReadWriteLock* beforeReading(const RecordDay& day)
    {
        if (day.m_beforeReading)
            day.m_beforeReading();
        return &day.m_lock;
    }

    std::function<void()> m_beforeReading;
    mutable QReadWriteLock m_lock;
    QDate m_day;   // under m_lock
    mutable QMutex m_countMutex;
    mutable QWaitCondition m_storedChanged;
    quint64 m_handed = 0;   // under m_countMutex
    quint64 m_stored = 0;   // under m_countMutex
};

// The operation records on disk: the records of the record day in "RECORD.db", table RECORD,
// each finished day moved into "./RECORD/<yyyy-MM-dd>.db", and the day that "RECORD.db" holds
// in "time.txt". Every record goes into the database of the day it happened: before it is
// stored the day rolls over when its date is another one.
//
// Nothing here gives up on a full disk or an I/O error: a roll or a record that the disk does not
// take answers false and is tried again by the caller (the store writer), records keep their
// order behind it, and "RECORD.db" never takes a record of another day than "time.txt" names.
// A database that is not one, is damaged or holds another RECORD table is set aside as
// "<name>.broken-<time>" and made afresh.
//
// Called on the store writer's thread only (and once by the main window's constructor before it
// hands anything to that thread); every database connection lives for one call.
class RecordStore {
public:
    struct Record {
        QDateTime moment;
        QString password;
        QString remarks;
        QString type;
    };

    static QString databasePath() { return QStringLiteral("RECORD.db"); }
    static QString dayFilePath() { return QStringLiteral("time.txt"); }
    static QString dayFolder() { return QStringLiteral("./RECORD"); }

    explicit RecordStore(RecordDay& day);

    // Makes "RECORD.db" hold `today`: a finished day moves into its day file (added to that file
    // when it exists already: the clock was set back), "time.txt" takes the new day and a fresh
    // "RECORD.db" is made. False when a step failed; nothing of the two days is then mixed, and
    // the roll is tried again whole.
    bool rollTo(const QDate& today);
    // Stores one record in the database of its day; false when the disk did not take it.
    bool insert(const Record& record);

private:
    bool moveFinishedDay();
    // Makes "RECORD.db" with its table, setting a broken one aside first.
    bool ensureDatabase();

    RecordDay& m_recordDay;
    QDate m_day;   // the day "RECORD.db" holds; invalid until "time.txt" is read
    bool m_dayRead = false;
    WriteStateLog m_storeLog;
};
