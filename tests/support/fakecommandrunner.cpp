#include "support/fakecommandrunner.h"

FakeCommandRunner::FakeCommandRunner()
{
    CommandRunner::setInstance(this);
}

FakeCommandRunner::~FakeCommandRunner()
{
    CommandRunner::setInstance(nullptr);
}

CommandResult FakeCommandRunner::run(const QString& program, const QStringList& arguments, int)
{
    Handler handler;
    {
        QMutexLocker lock(&m_mutex);
        m_commands << commandLine(program, arguments);
        handler = m_handler;
    }
    return handler ? handler(program, arguments) : CommandResult{};
}

bool FakeCommandRunner::startDetached(const QString& program, const QStringList& arguments, const QString&)
{
    return run(program, arguments).ok();
}

void FakeCommandRunner::setHandler(Handler handler)
{
    QMutexLocker lock(&m_mutex);
    m_handler = std::move(handler);
}

QStringList FakeCommandRunner::commands() const
{
    QMutexLocker lock(&m_mutex);
    return m_commands;
}

int FakeCommandRunner::count(const QString& program) const
{
    QMutexLocker lock(&m_mutex);
    int n = 0;
    for (const QString& line : m_commands)
        n += line == program || line.startsWith(program + QLatin1Char(' ')) ? 1 : 0;
    return n;
}
