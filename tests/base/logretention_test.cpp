// glog can be set up only once per process, so the log folder's retention has a process of its own.
#include "base/logmanager.h"
#include "glogfiles.h"
#include "support/testenv.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QtDebug>
#include <gtest/gtest.h>

namespace {

void touch(const QString& path, const QDateTime& when)
{
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write("old log line\n");
    file.flush();   // a write after the time would set it to now again
    ASSERT_TRUE(file.setFileTime(when, QFileDevice::FileModificationTime));
}

}  // namespace

// The panel runs for months and starts a new log file at every start and every 50 MB: the files
// older than the kept days must go, whatever their severity, or the log folder fills the disk.
// An ERROR file stays untouched through every run without errors, and must go all the same.
TEST(LogRetention, OverdueLogFilesOfThisProgramAreRemovedWhateverTheirSeverityOthersStay)
{
    const QString folder = TestEnv::workDir() + QStringLiteral("/cnt_net/workspace/log");
    ASSERT_TRUE(QDir().mkpath(folder));
    const QString prefix = folder + QLatin1Char('/') + GlogFiles::prefix("INFO");
    const QDateTime longAgo = QDateTime::currentDateTime().addDays(-int(LogManager::kKeepDays) - 10);
    const QString overdue = prefix + QStringLiteral("20200101-000000.4242");
    const QString recent = prefix + QStringLiteral("20200102-000000.4243");
    const QString overdueError = folder + QLatin1Char('/') + GlogFiles::prefix("ERROR") + QStringLiteral("20200101-000000.4242");
    const QString overdueWarning = folder + QLatin1Char('/') + GlogFiles::prefix("WARNING") + QStringLiteral("20200101-000000.4242");
    // Another host's name, the panel renamed: still this program's file.
    const QString overdueRenamed = folder + QStringLiteral("/mouldmonitor.oldpanel.root.log.ERROR.20200101-000000.17");
    const QString foreign = folder + QStringLiteral("/notes.txt");
    const QString otherProgram = folder + QStringLiteral("/companion.panel.root.log.ERROR.20200101-000000.18");
    touch(overdue, longAgo);
    touch(recent, QDateTime::currentDateTime().addDays(-int(LogManager::kKeepDays) + 5));
    touch(overdueError, longAgo);
    touch(overdueWarning, longAgo);
    touch(overdueRenamed, longAgo);
    touch(foreign, longAgo);
    touch(otherProgram, longAgo);

    LogManager::getInstance(folder + QLatin1Char('/'));
    qInfo() << "first line";

    const QStringList current = QDir(folder).entryList({QStringLiteral("*.log.INFO.2*")}, QDir::Files, QDir::Time);
    ASSERT_FALSE(current.isEmpty());
    ASSERT_TRUE((folder + QLatin1Char('/') + current.first()).startsWith(prefix)) << current.first().toStdString();
    EXPECT_FALSE(QFile::exists(overdue));
    EXPECT_FALSE(QFile::exists(overdueError));
    EXPECT_FALSE(QFile::exists(overdueWarning));
    EXPECT_FALSE(QFile::exists(overdueRenamed));
    EXPECT_TRUE(QFile::exists(recent));
    EXPECT_TRUE(QFile::exists(foreign));
    EXPECT_TRUE(QFile::exists(otherProgram));
}
