#include "base/logmanager.h"

#include <QDir>
#include <QtGlobal>

#include <glog/logging.h>

LogManager* LogManager::_instance = nullptr;

namespace {

void messageHandler(QtMsgType type, const QMessageLogContext& context, const QString& message)
{
    const char* file = context.file ? context.file : "";
    const int line = context.line;
    const QByteArray text = message.toUtf8();
    const QByteArray where = context.function ? QByteArray(" [") + context.function + "]" : QByteArray();
    switch (type) {
    case QtDebugMsg:
        return;
    case QtInfoMsg:
        google::LogMessage(file, line, google::GLOG_INFO).stream() << text.constData() << where.constData();
        return;
    case QtWarningMsg:
        google::LogMessage(file, line, google::GLOG_INFO).stream()
            << "---warning--- " << text.constData() << where.constData();
        return;
    case QtCriticalMsg:
        google::LogMessage(file, line, google::GLOG_ERROR).stream() << text.constData() << where.constData();
        return;
    case QtFatalMsg:
        google::LogMessage(file, line, google::GLOG_FATAL).stream() << text.constData() << where.constData();
        return;
    }
}

}  // namespace

LogManager* LogManager::getInstance(const QString& logDir)
{
    if (!_instance)
        _instance = new LogManager(logDir);
    return _instance;
}

LogManager::LogManager(const QString& logDir) : m_logDir(logDir)
{
    QDir().mkpath(logDir);
    // With a trailing slash: glog's cleaner finds its old files only when the folder ends in one.
    const QByteArray dir = (QDir(logDir).absolutePath() + QLatin1Char('/')).toUtf8();
    FLAGS_log_dir = dir.constData();
    FLAGS_logbufsecs = 0;
    FLAGS_max_log_size = 50;
    FLAGS_stop_logging_if_full_disk = true;
    google::InitGoogleLogging("mouldmonitor");
    google::EnableLogCleaner(kKeepDays);
    google::InstallFailureSignalHandler();
    qInstallMessageHandler(messageHandler);
}
