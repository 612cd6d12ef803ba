// glog can be set up only once per process, so the log folder's bound has a process of its own.
#include "base/logmanager.h"
#include "glogfiles.h"
#include "support/testenv.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QtDebug>
#include <gtest/gtest.h>

#include <unistd.h>

namespace {

// The bytes the program's log files take in the folder (its links and other files aside).
qint64 programLogBytes(const QString& folder)
{
    qint64 total = 0;
    for (const QFileInfo& file : QDir(folder).entryInfoList({QStringLiteral("mouldmonitor.*.log.*")}, QDir::Files | QDir::NoSymLinks))
        total += file.size();
    return total;
}

void writeOldLog(const QString& path, qint64 bytes, const QDateTime& when)
{
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(QByteArray(int(bytes), 'o'));
    file.flush();
    ASSERT_TRUE(file.setFileTime(when, QFileDevice::FileModificationTime));
}

}  // namespace

// A flood of lines must not take the disk: with a bound of 4 MB (files cut at 1 MB), the
// files of earlier runs go oldest first, then this run's own finished files, while the folder
// never holds more; files of other names stay.
TEST(LogBound, TheLogFolderStaysUnderItsBoundOldestFilesFirst)
{
    const QString folder = TestEnv::workDir() + QStringLiteral("/cnt_net/workspace/log");
    ASSERT_TRUE(QDir().mkpath(folder));
    constexpr qint64 kBound = 4 * 1024 * 1024;
    const QString oldest = folder + QLatin1Char('/') + GlogFiles::prefix("INFO") + QStringLiteral("20240101-000000.4242");
    const QString older = folder + QLatin1Char('/') + GlogFiles::prefix("ERROR") + QStringLiteral("20240102-000000.4243");
    const QString old = folder + QLatin1Char('/') + GlogFiles::prefix("INFO") + QStringLiteral("20240103-000000.4244");
    const QString foreign = folder + QStringLiteral("/notes.txt");
    const QDateTime now = QDateTime::currentDateTime();
    writeOldLog(oldest, 1200 * 1024, now.addDays(-3));
    writeOldLog(older, 1200 * 1024, now.addDays(-2));
    writeOldLog(old, 1200 * 1024, now.addDays(-1));
    writeOldLog(foreign, 1200 * 1024, now.addDays(-4));

    TestEnv::EnvGuard limit("MOULD_LOG_LIMIT_MB", "4");
    LogManager::getInstance(folder + QLatin1Char('/'));
    ASSERT_EQ(LogManager::getInstance()->folderBound().limitBytes(), kBound);

    // About 0.8 MB a second: glog can start a new file only once a second. The files go oldest
    // first: the earlier runs' ones, then this run's finished ones, never the one being written.
    const QByteArray filler(400, 'x');
    const QString ownPattern = GlogFiles::prefix("INFO") + QStringLiteral("2*.%1").arg(::getpid());
    QString firstOwn;
    int line = 0;
    while (firstOwn.isEmpty() || QFile::exists(firstOwn)) {
        const qint64 second = QDateTime::currentSecsSinceEpoch();
        for (int i = 0; i < 1600; ++i)
            qInfo().noquote() << "line" << ++line << filler;
        ASSERT_LE(programLogBytes(folder), kBound) << "after line " << line;
        if (firstOwn.isEmpty())
            firstOwn = folder + QLatin1Char('/') + QDir(folder).entryList({ownPattern}, QDir::Files, QDir::Name).value(0);
        EXPECT_TRUE(QFile::exists(oldest) <= QFile::exists(older));
        EXPECT_TRUE(QFile::exists(older) <= QFile::exists(old));
        EXPECT_TRUE(QFile::exists(old) <= QFile::exists(firstOwn));
        ASSERT_TRUE(TestEnv::waitUntil([&] { return QDateTime::currentSecsSinceEpoch() != second; }, 3000));
        ASSERT_LT(line, 40000) << "the oldest files are not removed";
    }
    EXPECT_FALSE(QFile::exists(old));
    EXPECT_TRUE(QFile::exists(foreign));

    QFile current(folder + QStringLiteral("/mouldmonitor.INFO"));
    ASSERT_TRUE(current.open(QIODevice::ReadOnly));
    EXPECT_TRUE(current.readAll().contains("line " + QByteArray::number(line) + ' '));
}
