#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <functional>

namespace TestEnv {

// The temporary working directory of the running test (the process's current directory).
QString workDir();

// Runs the Qt event loop until the condition holds or the time is up; returns the condition.
bool waitUntil(const std::function<bool()>& condition, int timeoutMs = 5000);

// Runs the Qt event loop for the given time.
void spin(int ms);

// The bytes the process holds allocated on its heap now, all threads together (what glibc's
// allocator, or the address sanitizer's, counts in use): unlike the resident set it does not
// move with what the allocator keeps or the sanitizer holds back after a free.
qint64 heapBytes();

// Writes a text file (creating its folders); for building fake machine trees.
void writeText(const QString& path, const QByteArray& content);
// A whole file's bytes; whenMissing when it cannot be read.
QByteArray readBytes(const QString& path, const QByteArray& whenMissing = QByteArray());

// Stores one parameter row in "PARAM.db" of the working directory, as the settings would.
bool setParameter(const QString& name, const QString& value);

// True when this process's namespace of the given kind ("net", "mnt") is not the one of the
// process that started it: it really was started inside a namespace of its own, whatever the
// environment says.
bool inNamespaceOfItsOwn(const char* kind);

// Runs a program to its end (5 s at most); true when it exited with 0.
bool commandSucceeds(const QString& program, const QStringList& arguments);

// What re-running some of this test program's own tests elsewhere found.
struct Rerun {
    bool started = false;
    bool finished = false;
    int exitCode = -1;
    QByteArray output;

    // Every one of the given number of inner tests ran and passed.
    bool passed(int tests) const
    {
        return finished && exitCode == 0
               && output.contains("[  PASSED  ] " + QByteArray::number(tests) + (tests == 1 ? " test." : " tests."));
    }
};

// Re-runs this test program with the given gtest filter under `unshare <unshareOptions>` (a
// namespace of its own), with marker set to 1 in its environment so the inner tests know where
// they are, and without MOULD_PANEL (in there, too, commands are only recorded).
Rerun rerunSelf(const QStringList& unshareOptions, const char* marker, const QString& filter, int timeoutMs);

// Sets (or, for a null value, removes) an environment variable for its lifetime.
class EnvGuard {
public:
    EnvGuard(const char* name, const QByteArray& value);
    ~EnvGuard();
    EnvGuard(const EnvGuard&) = delete;
    EnvGuard& operator=(const EnvGuard&) = delete;

private:
    const char* m_name;
    QByteArray m_old;
    bool m_had;
};

}  // namespace TestEnv
