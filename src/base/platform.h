#pragma once

#include <QByteArray>
#include <QMutex>
#include <QSet>
#include <QString>
#include <QStringList>
#include <atomic>
#include <functional>

// Everything that reaches outside the working directory goes through this layer: paths under /
// are mapped through MOULD_ROOT, and every outside program is started by the command runner,
// which only touches the machine on the real panel (MOULD_PANEL=1).
namespace Platform {

// The program's own folder on the panel, where it runs and where config.json's "workspace" and
// "videoapp_dir" point. Off the panel the working directory takes its place.
constexpr const char* kProgramDir = "/root/div-OVE";

// Maps an absolute platform path ("/proc/mounts", "/mnt0", ...) to the real one: MOULD_ROOT,
// when set, is put in front of the path cleaned of "..", so it never climbs out of the fake
// tree. Without MOULD_ROOT off the panel, machine files are read where they are (/proc, /sys,
// /run/udev, ...), while a path naming the program's own folder is taken as programPath()
// takes it, so that a run or a test never writes into this machine's /root. Relative paths are
// returned unchanged.
QString path(const QString& absolutePath);

// A folder or file of the program's own, as the Parts or config.json ("workspace",
// "videoapp_dir") name it, to be written. It lies under MOULD_ROOT when that is set, and off
// the panel without it under the working directory, whatever it names: ".." is resolved first
// and never climbs out, the program's folder is the working directory itself (or its place in
// the fake tree), and any other absolute path is taken as one below the working directory
// ("/tmp/x/" is "./tmp/x/"). On the panel without MOULD_ROOT it is returned as it is. A
// trailing slash is kept; a relative path stays relative.
QString programPath(const QString& path);

// True on the real panel (MOULD_PANEL=1): machine-changing commands run for real.
bool isPanel();

// True where machine files outside the program's folder may be written: on the panel, or into
// the fake tree MOULD_ROOT names. Elsewhere they would land in this machine's own /etc or /root.
bool mayWriteMachineFiles();

}  // namespace Platform

struct CommandResult {
    bool started = true;   // false when the program could not be started or timed out
    int exitCode = 0;
    QByteArray output;     // standard output

    bool crashed = false;  // the program died of a signal (exitCode is then -1)
    bool ended = false;    // ended by us: at the caller's request or at the time bound

    bool ok() const { return started && exitCode == 0; }
};

// Hands the standard-output lines of a running program over one by one as they arrive
// (without the line end; a last line without one is handed over too).
using CommandLineHandler = std::function<void(const QByteArray& line)>;

class CommandRunner {
public:
    virtual ~CommandRunner() = default;

    // Runs a program with its arguments (never a shell string built from data) and waits.
    virtual CommandResult run(const QString& program, const QStringList& arguments, int timeoutMs = 30000) = 0;
    // Starts a program that keeps running on its own.
    virtual bool startDetached(const QString& program, const QStringList& arguments,
                               const QString& workingDirectory = QString()) = 0;
    // The same, giving the started process's id (0 when only recorded, -1 on failure), so its
    // starter can end that very process.
    virtual qint64 startDetachedPid(const QString& program, const QStringList& arguments,
                                    const QString& workingDirectory = QString())
    {
        return startDetached(program, arguments, workingDirectory) ? 0 : -1;
    }
    // Runs a program and hands its output lines over as they arrive, in the calling thread.
    // Setting *stop (from any thread) ends the program; so does the time bound (-1: none).
    // The result carries no output (the lines went to the handler). This form runs the program
    // through run() and hands its output over at the end; runners that can watch a running
    // program override it.
    virtual CommandResult runStreaming(const QString& program, const QStringList& arguments,
                                       const CommandLineHandler& onLine,
                                       const std::atomic<bool>* stop = nullptr, int timeoutMs = -1);

    // The runner in use; the system runner unless a test installed another.
    static CommandRunner* instance();
    // Installs a runner (not owned); nullptr restores the system runner.
    static void setInstance(CommandRunner* runner);

    // The one-line form of a command, as recorded in the log and the command log.
    static QString commandLine(const QString& program, const QStringList& arguments);
};

// On the panel it runs commands; elsewhere it records them (log and MOULD_COMMAND_LOG) and
// answers as a successful run with no output, except for the stand-ins this repo ships for
// outside programs, which run for real everywhere.
class SystemCommandRunner : public CommandRunner {
public:
    CommandResult run(const QString& program, const QStringList& arguments, int timeoutMs = 30000) override;
    bool startDetached(const QString& program, const QStringList& arguments,
                       const QString& workingDirectory = QString()) override;
    qint64 startDetachedPid(const QString& program, const QStringList& arguments,
                            const QString& workingDirectory = QString()) override;
    CommandResult runStreaming(const QString& program, const QStringList& arguments,
                               const CommandLineHandler& onLine,
                               const std::atomic<bool>* stop = nullptr, int timeoutMs = -1) override;

    // Marks a program (as it is named in run calls) as one that runs for real off the panel.
    static void registerStandIn(const QString& program);
    // Marks only this exact command (program and arguments) as one that runs for real: for a
    // stand-in run by an interpreter, whose other uses must stay recorded.
    static void registerStandIn(const QString& program, const QStringList& arguments);
    static bool isStandIn(const QString& program, const QStringList& arguments = QStringList());

private:
    static void record(const QString& line);
};
