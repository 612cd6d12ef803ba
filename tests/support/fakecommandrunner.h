#pragma once

#include "base/platform.h"

#include <QMutex>
#include <QStringList>
#include <functional>

// Records every command and answers through an optional handler; installs itself as the
// command runner for its lifetime.
class FakeCommandRunner : public CommandRunner {
public:
    using Handler = std::function<CommandResult(const QString& program, const QStringList& arguments)>;

    FakeCommandRunner();
    ~FakeCommandRunner() override;

    CommandResult run(const QString& program, const QStringList& arguments, int timeoutMs = 30000) override;
    bool startDetached(const QString& program, const QStringList& arguments,
                       const QString& workingDirectory = QString()) override;

    void setHandler(Handler handler);
    QStringList commands() const;                 // one-line forms, in order
    int count(const QString& program) const;      // how many times a program ran

private:
    mutable QMutex m_mutex;
    QStringList m_commands;
    Handler m_handler;
};
