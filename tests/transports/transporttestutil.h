#pragma once

// Helpers shared by the transport tests: the probe programs and python3 peers as child
// processes, each with a bounded wait.
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <gtest/gtest.h>

#include <memory>

namespace TransportTest {

// The Debian python3 (its python3-websockets package is what the tests speak to).
inline const QString kPython = QStringLiteral("/usr/bin/python3");

inline QString probePath(const QString& name)
{
    return QCoreApplication::applicationDirPath() + QStringLiteral("/../tools/") + name;
}

// The next whole line a child prints (trimmed), empty when none comes in time. Events keep
// being served meanwhile, so Qt peers in this thread go on talking to the child.
inline QString nextLine(QProcess& process, int timeoutMs)
{
    QElapsedTimer timer;
    timer.start();
    while (!process.canReadLine()) {
        if (timer.elapsed() >= timeoutMs || process.state() == QProcess::NotRunning)
            return QString();
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        process.waitForReadyRead(20);
    }
    return QString::fromUtf8(process.readLine()).trimmed();
}

// A running probe; killed (SIGTERM, then SIGKILL) when it goes out of scope.
struct ProbeProcess {
    QProcess process;

    ~ProbeProcess() { stop(); }

    // Starts the probe and returns its first stdout line (empty when none came within 10 s).
    QString start(const QString& name, const QStringList& arguments)
    {
        process.setProcessChannelMode(QProcess::SeparateChannels);
        process.start(probePath(name), arguments);
        if (!process.waitForStarted(5000))
            return QString();
        return readLine(10000);
    }

    QString readLine(int timeoutMs)
    {
        QElapsedTimer timer;
        timer.start();
        while (!process.canReadLine()) {
            const int left = timeoutMs - int(timer.elapsed());
            if (left <= 0 || process.state() == QProcess::NotRunning)
                return QString();
            process.waitForReadyRead(qMin(left, 200));
        }
        return QString::fromUtf8(process.readLine()).trimmed();
    }

    // Terminates the probe; its exit code (or -1 when it had to be killed).
    int stop()
    {
        if (process.state() == QProcess::NotRunning)
            return process.exitCode();
        process.terminate();
        if (process.waitForFinished(5000))
            return process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
        process.kill();
        process.waitForFinished(2000);
        return -1;
    }
};

// Runs a python3 script given as text with arguments; its stdout, or a null array when it
// failed or took longer than timeoutMs (stderr goes to the test's output).
inline QByteArray runPython(const QByteArray& script, const QStringList& arguments, int timeoutMs = 15000)
{
    QProcess python;
    python.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    python.start(kPython, QStringList{QStringLiteral("-c"), QString::fromUtf8(script)} + arguments);
    if (!python.waitForStarted(5000))
        return QByteArray();
    if (!python.waitForFinished(timeoutMs)) {
        python.kill();
        python.waitForFinished(2000);
        return QByteArray();
    }
    const QByteArray out = python.readAllStandardOutput();
    if (python.exitStatus() != QProcess::NormalExit || python.exitCode() != 0)
        return QByteArray();
    return out.isNull() ? QByteArray("") : out;
}

inline bool havePython(const char* module = nullptr)
{
    if (!QFileInfo(kPython).isExecutable())
        return false;
    if (!module)
        return true;
    return QProcess::execute(kPython, {QStringLiteral("-c"), QStringLiteral("import ") + QLatin1String(module)}) == 0;
}

}  // namespace TransportTest
