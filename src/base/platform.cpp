#include "base/platform.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
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

QList<QStringList>& standInCommands()
{
    static QList<QStringList> commands;
    return commands;
}

QMutex& commandLogMutex()
{
    static QMutex mutex;
    return mutex;
}

// Starts the program; when it does not start, says so and marks the result as not started.
bool startProcess(QProcess& process, const QString& program, const QStringList& arguments, CommandResult& result)
{
    process.setProcessChannelMode(QProcess::SeparateChannels);
    process.start(program, arguments);
    if (process.waitForStarted(5000))
        return true;
    qWarning() << "command did not start:" << program << process.errorString();
    result.started = false;
    result.exitCode = -1;
    return false;
}

CommandResult runProcess(const QString& program, const QStringList& arguments, int timeoutMs)
{
    CommandResult result;
    QProcess process;
    if (!startProcess(process, program, arguments, result))
        return result;
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

// Hands every complete line in the process's standard output to the handler; at the end, the
// rest as well.
void handOverLines(QProcess& process, const CommandLineHandler& onLine, bool atEnd)
{
    while (process.canReadLine()) {
        QByteArray line = process.readLine();
        while (line.endsWith('\n') || line.endsWith('\r'))
            line.chop(1);
        if (onLine)
            onLine(line);
    }
    if (atEnd) {
        QByteArray rest = process.readAllStandardOutput();
        while (rest.endsWith('\r'))
            rest.chop(1);
        if (!rest.isEmpty() && onLine)
            onLine(rest);
    }
}

void logErrorOutput(QProcess& process, const QString& program)
{
    const QByteArray errors = process.readAllStandardError();
    if (!errors.isEmpty())
        qDebug().noquote() << program << "error output:" << QString::fromLocal8Bit(errors);
}

// Asks the program to end, then makes sure it does.
void endProcess(QProcess& process)
{
    process.terminate();
    if (!process.waitForFinished(3000)) {
        process.kill();
        process.waitForFinished(3000);
    }
}

CommandResult runProcessStreaming(const QString& program, const QStringList& arguments,
                                  const CommandLineHandler& onLine, const std::atomic<bool>* stop,
                                  int timeoutMs)
{
    CommandResult result;
    QProcess process;
    if (!startProcess(process, program, arguments, result))
        return result;
    const QDeadlineTimer deadline(timeoutMs < 0 ? QDeadlineTimer(QDeadlineTimer::Forever)
                                                : QDeadlineTimer(timeoutMs));
    // Short waits, so a stop request is seen within a fraction of a second.
    constexpr int kPollMs = 100;
    while (process.state() != QProcess::NotRunning) {
        if ((stop && stop->load()) || deadline.hasExpired()) {
            qWarning() << "ending command:" << program << (deadline.hasExpired() ? "(time bound)" : "(stop)");
            result.ended = true;
            endProcess(process);
            break;
        }
        process.waitForReadyRead(kPollMs);
        handOverLines(process, onLine, false);
        logErrorOutput(process, program);
    }
    handOverLines(process, onLine, true);
    logErrorOutput(process, program);
    result.crashed = process.exitStatus() == QProcess::CrashExit;
    result.exitCode = result.crashed ? -1 : process.exitCode();
    if (result.ended) {
        result.started = false;
        result.exitCode = -1;
    }
    return result;
}

}  // namespace

namespace Platform {
namespace {

// The path with its empty and "." segments dropped and each ".." taking off the segment before
// it, never more than the path holds: so it names a place below its start ("/" or the
// directory it is relative to), whatever it is made of. A trailing slash is kept: callers
// append file names to a folder given with it (config.json's "workspace").
QString cleaned(const QString& path)
{
    QStringList kept;
    for (const QString& segment : path.split(QLatin1Char('/'), Qt::SkipEmptyParts)) {
        if (segment == QLatin1String("..")) {
            if (!kept.isEmpty())
                kept.removeLast();   // nothing above the start
        } else if (segment != QLatin1String(".")) {
            kept << segment;
        }
    }
    QString result = kept.join(QLatin1Char('/'));
    if (path.startsWith(QLatin1Char('/')))
        result.prepend(QLatin1Char('/'));
    if (path.endsWith(QLatin1Char('/')) && !kept.isEmpty())
        result += QLatin1Char('/');
    return result;
}

// MOULD_ROOT without its trailing slashes; empty when not set.
QString rootPrefix()
{
    QString root = qEnvironmentVariable("MOULD_ROOT");
    while (root.endsWith(QLatin1Char('/')))
        root.chop(1);
    return root;
}

bool inProgramDir(const QString& absolutePath)
{
    const QString programDir = QLatin1String(kProgramDir);
    return absolutePath == programDir || absolutePath.startsWith(programDir + QLatin1Char('/'));
}

}  // namespace

QString path(const QString& absolutePath)
{
    if (!absolutePath.startsWith(QLatin1Char('/')))
        return absolutePath;
    // Written as a path of the program's folder, before or after cleaning: "/root/div-OVE/../x"
    // and "/root//div-OVE/x" are both the program's to write, never this machine's /root.
    if (inProgramDir(absolutePath) || inProgramDir(cleaned(absolutePath)))
        return programPath(absolutePath);
    const QString root = rootPrefix();
    if (!root.isEmpty())
        return root + cleaned(absolutePath);
    return absolutePath;
}

QString programPath(const QString& path)
{
    const QString root = rootPrefix();
    if (isPanel() && (root.isEmpty() || !path.startsWith(QLatin1Char('/'))))
        return path;
    if (!path.startsWith(QLatin1Char('/'))) {
        // Relative to the working directory: only a ".." could lead out of it.
        return path.split(QLatin1Char('/')).contains(QLatin1String("..")) ? cleaned(path) : path;
    }
    const QString clean = cleaned(path);
    if (!root.isEmpty())
        return root + clean;
    const QString workDir = QDir::currentPath();
    if (inProgramDir(clean))
        return workDir + clean.mid(int(qstrlen(kProgramDir)));
    return workDir + clean;
}

bool isPanel()
{
    return qEnvironmentVariable("MOULD_PANEL") == QLatin1String("1");
}

bool mayWriteMachineFiles()
{
    return isPanel() || !qEnvironmentVariableIsEmpty("MOULD_ROOT");
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

CommandResult CommandRunner::runStreaming(const QString& program, const QStringList& arguments,
                                          const CommandLineHandler& onLine, const std::atomic<bool>*,
                                          int timeoutMs)
{
    CommandResult result = run(program, arguments, timeoutMs < 0 ? 24 * 3600 * 1000 : timeoutMs);
    QList<QByteArray> lines = result.output.split('\n');
    if (!lines.isEmpty() && lines.last().isEmpty())
        lines.removeLast();
    for (QByteArray line : qAsConst(lines)) {
        if (line.endsWith('\r'))
            line.chop(1);
        if (onLine)
            onLine(line);
    }
    result.output.clear();
    return result;
}

void SystemCommandRunner::registerStandIn(const QString& program)
{
    QMutexLocker lock(&standInMutex());
    standIns().insert(program);
}

void SystemCommandRunner::registerStandIn(const QString& program, const QStringList& arguments)
{
    const QStringList command = QStringList(program) + arguments;
    QMutexLocker lock(&standInMutex());
    if (!standInCommands().contains(command))
        standInCommands().append(command);
}

bool SystemCommandRunner::isStandIn(const QString& program, const QStringList& arguments)
{
    QMutexLocker lock(&standInMutex());
    return standIns().contains(program) || standInCommands().contains(QStringList(program) + arguments);
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
    if (Platform::isPanel() || isStandIn(program, arguments))
        return runProcess(program, arguments, timeoutMs);
    record(commandLine(program, arguments));
    return CommandResult{};
}

bool SystemCommandRunner::startDetached(const QString& program, const QStringList& arguments,
                                        const QString& workingDirectory)
{
    return startDetachedPid(program, arguments, workingDirectory) >= 0;
}

qint64 SystemCommandRunner::startDetachedPid(const QString& program, const QStringList& arguments,
                                             const QString& workingDirectory)
{
    if (!Platform::isPanel() && !isStandIn(program, arguments)) {
        record(commandLine(program, arguments));
        return 0;
    }
    QProcess process;
    process.setProgram(program);
    process.setArguments(arguments);
    process.setWorkingDirectory(workingDirectory);
    if (!Platform::isPanel()) {
        // A detached start leaves a stand-in no parent to follow: it is told who started it, and
        // ends with that program instead of living on after a killed run.
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("MOULD_STARTER_PID"), QString::number(QCoreApplication::applicationPid()));
        process.setProcessEnvironment(environment);
    }
    qint64 pid = 0;
    if (!process.startDetached(&pid))
        return -1;
    return pid;
}

CommandResult SystemCommandRunner::runStreaming(const QString& program, const QStringList& arguments,
                                                const CommandLineHandler& onLine,
                                                const std::atomic<bool>* stop, int timeoutMs)
{
    if (Platform::isPanel() || isStandIn(program, arguments))
        return runProcessStreaming(program, arguments, onLine, stop, timeoutMs);
    record(commandLine(program, arguments));
    return CommandResult{};
}
