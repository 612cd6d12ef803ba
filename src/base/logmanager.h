#pragma once

#include <QString>

// Routes Qt's messages into glog files under the log folder: info and warnings at INFO
// (warnings prefixed "---warning--- "), critical at ERROR, fatal at FATAL; debug is dropped.
// glog starts a new file at every start and every 50 MB and never removes one: files of this
// program older than kKeepDays are removed while it logs, so months of running cannot fill the disk.
class LogManager {
public:
    static constexpr unsigned kKeepDays = 30;

    static LogManager* getInstance(const QString& logDir = QStringLiteral("./cnt_net/workspace/log/"));

    QString logDir() const { return m_logDir; }

private:
    explicit LogManager(const QString& logDir);

    static LogManager* _instance;
    QString m_logDir;
};
