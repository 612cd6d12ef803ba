// glog can be set up only once per process, so the whole routing is checked in this one test.
#include "base/logmanager.h"
#include "support/testenv.h"

#include <QDir>
#include <QFile>
#include <QtDebug>
#include <gtest/gtest.h>

namespace {

QByteArray readLogs(const QString& folder, const QString& pattern)
{
    QByteArray all;
    const QStringList files = QDir(folder).entryList({pattern}, QDir::Files);
    for (const QString& name : files) {
        QFile file(folder + QLatin1Char('/') + name);
        if (file.open(QIODevice::ReadOnly))
            all += file.readAll();
    }
    return all;
}

QByteArray lineWith(const QByteArray& logs, const QByteArray& text)
{
    for (const QByteArray& line : logs.split('\n'))
        if (line.contains(text))
            return line;
    return QByteArray();
}

}  // namespace

TEST(LogManager, RoutesQtMessagesIntoTheLogFolder)
{
    const QString folder = TestEnv::workDir() + QStringLiteral("/cnt_net/workspace/log");
    LogManager* manager = LogManager::getInstance(folder + QLatin1Char('/'));
    ASSERT_NE(manager, nullptr);
    EXPECT_EQ(LogManager::getInstance(), manager);

    qInfo() << "info-line 生产统计";
    qWarning() << "warning-line";
    qCritical() << "critical-line";
    qDebug() << "debug-line";

    const QByteArray info = readLogs(folder, QStringLiteral("*.log.INFO.*"));
    ASSERT_FALSE(info.isEmpty()) << "no INFO log under " << folder.toStdString();

    const QByteArray infoLine = lineWith(info, "info-line");
    ASSERT_FALSE(infoLine.isEmpty());
    EXPECT_TRUE(infoLine.startsWith('I'));
    EXPECT_TRUE(infoLine.contains("info-line 生产统计"));
    EXPECT_FALSE(infoLine.contains("---warning---"));
    // The line tells where it was written.
    EXPECT_TRUE(infoLine.contains("logmanager_test.cpp")) << infoLine.constData();

    const QByteArray warningLine = lineWith(info, "warning-line");
    ASSERT_FALSE(warningLine.isEmpty());
    EXPECT_TRUE(warningLine.startsWith('I')) << "warnings are kept at INFO";
    EXPECT_TRUE(warningLine.contains("---warning--- warning-line"));

    const QByteArray criticalLine = lineWith(info, "critical-line");
    ASSERT_FALSE(criticalLine.isEmpty());
    EXPECT_TRUE(criticalLine.startsWith('E'));
    EXPECT_FALSE(lineWith(readLogs(folder, QStringLiteral("*.log.ERROR.*")), "critical-line").isEmpty());
    EXPECT_TRUE(lineWith(readLogs(folder, QStringLiteral("*.log.ERROR.*")), "warning-line").isEmpty());

    EXPECT_TRUE(lineWith(info, "debug-line").isEmpty());
}
