#include "base/logmanager.h"

#include <QDir>
#include <QTime>
#include <QtGlobal>

#include <glog/logging.h>

#include <cstdio>
#include <cstring>

LogManager* LogManager::_instance = nullptr;

namespace {

constexpr const char* kProgramName = "mouldmonitor";
// glog's prefix of a line (severity, date, time, thread id, file:line) is about this long.
constexpr qint64 kLinePrefixBytes = 64;

// Warnings and errors also go to the terminal the program was started from, one whole line at a
// time (threads log at once), so that whoever started it sees trouble while it runs.
void echoToTerminal(const char* kind, const QByteArray& text)
{
    const QByteArray time = QTime::currentTime().toString(QStringLiteral("hh:mm:ss")).toLatin1();
    const QByteArray line = time + ' ' + kind + ": " + text + '\n';
    std::fwrite(line.constData(), 1, size_t(line.size()), stderr);
}

// Qt's platform plugin warns at every start of what it does not support (the offscreen one of
// window size hints): nothing anyone at the terminal can act on, so it stays in the log only.
bool isPlatformNoise(const QString& message)
{
    return message == QLatin1String("This plugin does not support propagateSizeHints()");
}

}  // namespace

void LogManager::messageHandler(QtMsgType type, const QMessageLogContext& context, const QString& message)
{
    const char* file = context.file ? context.file : "";
    const int line = context.line;
    const QByteArray text = message.toUtf8();
    const QByteArray where = context.function ? QByteArray(" [") + context.function + "]" : QByteArray();
    // glog writes a line into the file of its severity and of every severity below.
    int copies = 1;
    switch (type) {
    case QtDebugMsg:
        return;
    case QtInfoMsg:
        google::LogMessage(file, line, google::GLOG_INFO).stream() << text.constData() << where.constData();
        break;
    case QtWarningMsg:
        google::LogMessage(file, line, google::GLOG_INFO).stream()
            << "---warning--- " << text.constData() << where.constData();
        if (!isPlatformNoise(message))
            echoToTerminal("warning", text);
        break;
    case QtCriticalMsg:
        google::LogMessage(file, line, google::GLOG_ERROR).stream() << text.constData() << where.constData();
        echoToTerminal("error", text);
        copies = 3;
        break;
    case QtFatalMsg:
        google::LogMessage(file, line, google::GLOG_FATAL).stream() << text.constData() << where.constData();
        return;
    }
    if (_instance)
        _instance->m_bound.wrote(copies * (kLinePrefixBytes + qint64(std::strlen(file)) + text.size() + where.size()));
}

LogManager* LogManager::getInstance(const QString& logDir)
{
    if (!_instance)
        _instance = new LogManager(logDir);
    return _instance;
}

LogManager::LogManager(const QString& logDir)
    : m_logDir(logDir),
      m_bound(QDir(logDir).absolutePath(), QString::fromLatin1(kProgramName), LogFolderBound::limitFromEnvironment(),
              kKeepDays)
{
    QDir().mkpath(logDir);
    const QByteArray dir = (QDir(logDir).absolutePath() + QLatin1Char('/')).toUtf8();
    FLAGS_log_dir = dir.constData();
    FLAGS_logbufsecs = 0;
    FLAGS_max_log_size = LogFolderBound::fileLimitMb(m_bound.limitBytes());
    FLAGS_stop_logging_if_full_disk = true;
    // Errors reach the terminal through the handler's echo, in the same words as warnings.
    FLAGS_stderrthreshold = google::GLOG_FATAL;
    google::InitGoogleLogging(kProgramName);
    google::InstallFailureSignalHandler();
    qInstallMessageHandler(messageHandler);
    // Files left by earlier runs may already fill the bound.
    m_bound.trim();
}
