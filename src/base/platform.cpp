#include "base/platform.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QtDebug>
#include <atomic>

namespace {

std::atomic<CommandRunner*> gInstalledRunner{nullptr};

QMutex& standInMutex()
{
    static QMutex mutex;
    return mutex;
}

QSet<QString>& standIns()
{
    static QSet<QString> programs;
    return programs;
}

QMutex& commandLogMutex()
{
    static QMutex mutex;
    return mutex;
}

CommandResult runProcess(const QString& program, const QStringList& arguments, int timeoutMs)
{
    CommandResult result;
    QProcess process;
    process.setProcessChannelMode(QProcess::SeparateChannels);
    process.start(program, arguments);
    if (!process.waitForStarted(5000)) {
        qWarning() << "command did not start:" << program << process.errorString();
        result.started = false;
        result.exitCode = -1;
        return result;
    }
    if (!process.waitForFinished(timeoutMs)) {
        qWarning() << "command timed out:" << program;
        process.kill();
        process.waitForFinished(1000);
        result.started = false;
        result.exitCode = -1;
        return result;
    }
    result.output = process.readAllStandardOutput();
    result.exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    return result;
}

}  // namespace

namespace Platform {

QString path(const QString& absolutePath)
{
    if (!absolutePath.startsWith(QLatin1Char('/')))
        return absolutePath;
    const QString root = qEnvironmentVariable("MOULD_ROOT");
    if (root.isEmpty())
        return absolutePath;
    QString prefix = root;
    while (prefix.endsWith(QLatin1Char('/')))
        prefix.chop(1);
    return prefix + absolutePath;
}

bool isPanel()
{
    return qEnvironmentVariable("MOULD_PANEL") == QLatin1String("1");
}

}  // namespace Platform

CommandRunner* CommandRunner::instance()
{
    static SystemCommandRunner systemRunner;
    CommandRunner* installed = gInstalledRunner.load();
    return installed ? installed : &systemRunner;
}

void CommandRunner::setInstance(CommandRunner* runner)
{
    gInstalledRunner.store(runner);
}

QString CommandRunner::commandLine(const QString& program, const QStringList& arguments)
{
    QStringList parts{program};
    for (const QString& argument : arguments) {
        if (argument.isEmpty() || argument.contains(QLatin1Char(' ')) || argument.contains(QLatin1Char('"')))
            parts << QLatin1Char('"') + QString(argument).replace(QLatin1Char('"'), QLatin1String("\\\"")) + QLatin1Char('"');
        else
            parts << argument;
    }
    return parts.join(QLatin1Char(' '));
}

void SystemCommandRunner::registerStandIn(const QString& program)
{
    QMutexLocker lock(&standInMutex());
    standIns().insert(program);
}

bool SystemCommandRunner::isStandIn(const QString& program)
{
    QMutexLocker lock(&standInMutex());
    return standIns().contains(program);
}

void SystemCommandRunner::record(const QString& line)
{
    qInfo().noquote() << "command (not run off the panel):" << line;
    const QString logPath = qEnvironmentVariable("MOULD_COMMAND_LOG");
    if (logPath.isEmpty())
        return;
    QMutexLocker lock(&commandLogMutex());
    QFile log(logPath);
    if (!log.open(QIODevice::WriteOnly | QIODevice::Append))
        return;
    log.write(line.toUtf8() + '\n');
}

CommandResult SystemCommandRunner::run(const QString& program, const QStringList& arguments, int timeoutMs)
{
    if (Platform::isPanel() || isStandIn(program))
        return runProcess(program, arguments, timeoutMs);
    record(commandLine(program, arguments));
    return CommandResult{};
}

bool SystemCommandRunner::startDetached(const QString& program, const QStringList& arguments,
                                        const QString& workingDirectory)
{
    if (Platform::isPanel() || isStandIn(program))
        return QProcess::startDetached(program, arguments, workingDirectory);
    record(commandLine(program, arguments));
    return true;
}

qint64 SystemCommandRunner::startDetachedPid(const QString& program, const QStringList& arguments,
                                             const QString& workingDirectory)
{
    if (!Platform::isPanel() && !isStandIn(program)) {
        record(commandLine(program, arguments));
        return 0;
    }
    qint64 pid = 0;
    if (!QProcess::startDetached(program, arguments, workingDirectory, &pid))
        return -1;
    return pid;
}
