#include "base/logfolderbound.h"

#include "base/appclock.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QRegularExpression>
#include <QtDebug>

#include <algorithm>
#include <unistd.h>

namespace {

constexpr qint64 kMb = 1024 * 1024;
constexpr qint64 kLargestStep = kMb;
constexpr qint64 kLargestLimitMb = 1024 * 1024;   // a terabyte: beyond any panel's disk
constexpr qint64 kAgeLookMs = 60 * 60 * 1000;

struct LogFile {
    QString path;
    QString severity;
    qint64 pid = 0;
    QString stamp;   // yyyymmdd-hhmmss of its creation
    qint64 size = 0;
    QDateTime modified;
};

// A note about removed files is itself a log line: it must not start another look.
thread_local bool tTrimming = false;

}  // namespace

LogFolderBound::LogFolderBound(const QString& folder, const QString& program, qint64 limitBytes, int keepDays)
    : m_folder(folder),
      m_program(program),
      m_limit(qMax(limitBytes, kSmallestLimitBytes)),
      m_step(qMin(kLargestStep, m_limit / 16)),
      m_keepDays(qMax(1, keepDays))
{
}

qint64 LogFolderBound::limitFromEnvironment()
{
    bool ok = false;
    const qint64 mb = qEnvironmentVariable("MOULD_LOG_LIMIT_MB").trimmed().toLongLong(&ok);
    if (!ok || mb <= 0)
        return kDefaultLimitBytes;
    return qMin(mb, kLargestLimitMb) * kMb;
}

int LogFolderBound::fileLimitMb(qint64 limitBytes)
{
    return int(qBound<qint64>(1, qMax(limitBytes, kSmallestLimitBytes) / 4 / kMb, kLargestFileMb));
}

void LogFolderBound::wrote(qint64 bytes)
{
    if (tTrimming)
        return;
    {
        QMutexLocker lock(&m_mutex);
        m_unchecked += bytes;
        if (m_unchecked < m_step && AppClock::steadyMs() - m_lookedAtMs < kAgeLookMs)
            return;
    }
    trim();
}

qint64 LogFolderBound::trim()
{
    if (tTrimming)
        return 0;
    tTrimming = true;
    const QRegularExpression name(QStringLiteral("^%1\\..+\\.log\\.(INFO|WARNING|ERROR|FATAL)\\.(\\d{8}-\\d{6})\\.(\\d+)$")
                                      .arg(QRegularExpression::escape(m_program)));
    // File times are the system's: the program's clock may be moved in tests.
    const QDateTime overdue = QDateTime::currentDateTime().addDays(-m_keepDays);
    int expired = 0;
    int removed = 0;
    qint64 freed = 0;
    qint64 total = 0;
    {
        QMutexLocker lock(&m_mutex);
        m_unchecked = 0;
        m_lookedAtMs = AppClock::steadyMs();
        QList<LogFile> files;
        const QFileInfoList entries = QDir(m_folder).entryInfoList(QDir::Files | QDir::NoSymLinks | QDir::Hidden);
        for (const QFileInfo& entry : entries) {
            const QRegularExpressionMatch match = name.match(entry.fileName());
            if (!match.hasMatch())
                continue;
            files.append({entry.absoluteFilePath(), match.captured(1), match.captured(3).toLongLong(), match.captured(2),
                          entry.size(), entry.lastModified()});
            total += entry.size();
        }
        // The files this process writes now: the newest of each severity among its own.
        const qint64 self = ::getpid();
        QHash<QString, int> current;
        for (int i = 0; i < files.size(); ++i) {
            const LogFile& file = files.at(i);
            if (file.pid != self)
                continue;
            const auto it = current.constFind(file.severity);
            if (it == current.cend() || files.at(*it).stamp < file.stamp
                || (files.at(*it).stamp == file.stamp && files.at(*it).modified < file.modified))
                current.insert(file.severity, i);
        }
        QList<LogFile> removable;
        for (int i = 0; i < files.size(); ++i) {
            const LogFile& file = files.at(i);
            if (current.value(file.severity, -1) == i)
                continue;
            if (file.modified >= overdue) {
                removable.append(file);
                continue;
            }
            if (!QFile::remove(file.path))
                continue;
            total -= file.size;
            ++expired;
        }
        std::sort(removable.begin(), removable.end(), [](const LogFile& a, const LogFile& b) {
            return a.modified != b.modified ? a.modified < b.modified : a.stamp < b.stamp;
        });
        const qint64 target = m_limit - m_step;
        for (const LogFile& file : qAsConst(removable)) {
            if (total <= target)
                break;
            if (!QFile::remove(file.path))
                continue;
            total -= file.size;
            freed += file.size;
            ++removed;
        }
    }
    if (expired > 0)
        qInfo().noquote() << QStringLiteral("removed %1 log files not written for %2 days").arg(expired).arg(m_keepDays);
    if (removed > 0)
        qInfo().noquote() << QStringLiteral("log folder held to %1 MB: removed the %2 oldest log files (%3 MB)")
                                 .arg(m_limit / kMb)
                                 .arg(removed)
                                 .arg(double(freed) / kMb, 0, 'f', 1);
    tTrimming = false;
    return total;
}
