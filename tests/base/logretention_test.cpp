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
// older than the kept days must go, or the log folder fills the disk. glog looks at the folder
// at the first line it writes and every few minutes after.
TEST(LogRetention, OverdueLogFilesOfThisProgramAreRemovedOthersStay)
{
    const QString folder = TestEnv::workDir() + QStringLiteral("/cnt_net/workspace/log");
    ASSERT_TRUE(QDir().mkpath(folder));
    const QString prefix = folder + QLatin1Char('/') + GlogFiles::prefix("INFO");
    const QDateTime longAgo = QDateTime::currentDateTime().addDays(-int(LogManager::kKeepDays) - 5);
    const QString overdue = prefix + QStringLiteral("20200101-000000.4242");
    const QString recent = prefix + QStringLiteral("20200102-000000.4243");
    const QString foreign = folder + QStringLiteral("/notes.txt");
    touch(overdue, longAgo);
    touch(recent, QDateTime::currentDateTime().addDays(-int(LogManager::kKeepDays) + 5));
    touch(foreign, longAgo);

    LogManager::getInstance(folder + QLatin1Char('/'));
    qInfo() << "first line";

    const QStringList current = QDir(folder).entryList({QStringLiteral("*.log.INFO.2*")}, QDir::Files, QDir::Time);
    ASSERT_FALSE(current.isEmpty());
    ASSERT_TRUE((folder + QLatin1Char('/') + current.first()).startsWith(prefix)) << current.first().toStdString();
    EXPECT_FALSE(QFile::exists(overdue));
    EXPECT_TRUE(QFile::exists(recent));
    EXPECT_TRUE(QFile::exists(foreign));
}
