#pragma once

#include "base/logfolderbound.h"

#include <QString>
#include <QtGlobal>

#include <memory>

// Routes Qt's messages into glog files under the log folder: info and warnings at INFO
// (warnings prefixed "---warning--- "), critical at ERROR, fatal at FATAL; debug is dropped.
// glog starts a new file at every start and every 50 MB (less under a small bound) and never
// removes one: files of this program not written for kKeepDays are removed at the start and
// while it logs, whatever their severity (glog's own cleaner looks only at the severity it is
// writing, so an old ERROR file outlived every run without errors), and the oldest go whenever
// all of them together would take more than the bound (LogFolderBound, MOULD_LOG_LIMIT_MB), so
// neither months of running nor a flood of requests can fill the disk.
class LogManager {
public:
    static constexpr int kKeepDays = 30;

    static LogManager* getInstance(const QString& logDir = QStringLiteral("./cnt_net/workspace/log/"));

    QString logDir() const { return m_logDir; }
    LogFolderBound& folderBound() { return m_bound; }

private:
    explicit LogManager(const QString& logDir);
    static void messageHandler(QtMsgType type, const QMessageLogContext& context, const QString& message);

    static LogManager* _instance;
    QString m_logDir;
    LogFolderBound m_bound;
};
