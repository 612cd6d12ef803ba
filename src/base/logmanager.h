#pragma once

#include <QString>

// Routes Qt's messages into glog files under the log folder: info and warnings at INFO
// (warnings prefixed "---warning--- "), critical at ERROR, fatal at FATAL; debug is dropped.
class LogManager {
public:
    static LogManager* getInstance(const QString& logDir = QStringLiteral("./cnt_net/workspace/log/"));

    QString logDir() const { return m_logDir; }

private:
    explicit LogManager(const QString& logDir);

    static LogManager* _instance;
    QString m_logDir;
};
