#pragma once

#include <QMutex>
#include <QString>
#include <QtGlobal>

// Holds the log files of one program in its log folder to an age and a total size: files not
// written for keepDays go whatever their severity, then the oldest files go first while all of
// them take more than the bound. A panel's flash disk would otherwise be full within minutes of
// a flood of requests, or within months of quiet running, and a full disk costs the records.
//
// The files being written cannot shrink, and removing one would free nothing while it is
// open: they stay, and what has been written since the last look is counted from the lines the
// caller reports, so that the folder is looked at once per check step, not once per line, and at
// least once an hour while lines come, so that a quiet panel loses its overdue files too.
// Each severity's file is cut at fileLimitMb(), so the files being written (at most three:
// INFO, WARNING and ERROR) stay well inside the bound and the older ones can make room.
//
// Any thread: wrote() and trim() take the object's mutex.
class LogFolderBound {
public:
    static constexpr qint64 kDefaultLimitBytes = 256LL * 1024 * 1024;
    // Below this the files being written could not stay inside the bound.
    static constexpr qint64 kSmallestLimitBytes = 4LL * 1024 * 1024;
    static constexpr int kLargestFileMb = 50;

    // program: the base name the log writer gives its files ("<program>.<host>.<user>.log.
    // <SEVERITY>.<yyyymmdd-hhmmss>.<pid>"); files of other names are neither counted nor removed.
    LogFolderBound(const QString& folder, const QString& program, qint64 limitBytes, int keepDays);

    // The bound set by MOULD_LOG_LIMIT_MB (whole megabytes), kDefaultLimitBytes without it.
    static qint64 limitFromEnvironment();
    // The size at which each log file is cut for this bound.
    static int fileLimitMb(qint64 limitBytes);

    qint64 limitBytes() const { return m_limit; }
    // The caller has written about `bytes` more into the folder; looks at the folder once
    // a check step has been written since the last look.
    void wrote(qint64 bytes);
    // Removes the files not written for keepDays, then the oldest files until the folder holds at
    // most the bound less one check step; returns the bytes the program's log files take afterwards.
    qint64 trim();

private:
    const QString m_folder;
    const QString m_program;
    const qint64 m_limit;
    const qint64 m_step;
    const int m_keepDays;
    QMutex m_mutex;
    qint64 m_unchecked = 0;   // under m_mutex
    qint64 m_lookedAtMs = 0;  // under m_mutex; AppClock::steadyMs() of the last look
};
