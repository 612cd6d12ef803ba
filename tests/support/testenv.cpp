#include "support/testenv.h"

#include "base/sqlconnection.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QProcessEnvironment>
#include <QSqlQuery>
#include <QVariant>
#include <QThread>

#include <unistd.h>

#if defined(__SANITIZE_ADDRESS__)
// The sanitizer's runtime has it; GCC ships no header that declares it.
extern "C" size_t __sanitizer_get_current_allocated_bytes();
#else
#include <malloc.h>
#endif

namespace TestEnv {

QString workDir()
{
    return QDir::currentPath();
}

bool waitUntil(const std::function<bool()>& condition, int timeoutMs)
{
    QDeadlineTimer deadline(timeoutMs);
    while (!condition()) {
        if (deadline.hasExpired())
            return condition();
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        QThread::msleep(1);
    }
    return true;
}

void spin(int ms)
{
    QDeadlineTimer deadline(ms);
    while (!deadline.hasExpired()) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        QThread::msleep(1);
    }
}

qint64 heapBytes()
{
#if defined(__SANITIZE_ADDRESS__)
    return qint64(__sanitizer_get_current_allocated_bytes());
#else
    const struct mallinfo2 info = ::mallinfo2();
    return qint64(info.uordblks + info.hblkhd);
#endif
}

void writeText(const QString& path, const QByteArray& content)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    if (file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        file.write(content);
}

QByteArray readBytes(const QString& path, const QByteArray& whenMissing)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : whenMissing;
}

bool setParameter(const QString& name, const QString& value)
{
    SqlConnection connection(QStringLiteral("testparam"), QStringLiteral("PARAM.db"));
    if (!connection.isOpen())
        return false;
    QSqlQuery query(connection.db());
    query.exec(QStringLiteral("CREATE TABLE IF NOT EXISTS sysparam (name TEXT PRIMARY KEY, value TEXT)"));
    query.prepare(QStringLiteral("INSERT OR REPLACE INTO sysparam (name, value) VALUES (?, ?)"));
    query.addBindValue(name);
    query.addBindValue(value);
    return query.exec();
}

namespace {

// The raw link text ("net:[<inode>]"); Qt would resolve it like a path.
QByteArray namespaceOf(const QByteArray& process, const char* kind)
{
    char target[64] = {};
    const QByteArray link = "/proc/" + process + "/ns/" + kind;
    const ssize_t size = ::readlink(link.constData(), target, sizeof target - 1);
    return size > 0 ? QByteArray(target, int(size)) : QByteArray();
}

}  // namespace

bool inNamespaceOfItsOwn(const char* kind)
{
    const QByteArray own = namespaceOf("self", kind);
    const QByteArray starter = namespaceOf(QByteArray::number(::getppid()), kind);
    return !own.isEmpty() && !starter.isEmpty() && own != starter;
}

bool commandSucceeds(const QString& program, const QStringList& arguments)
{
    QProcess process;
    process.start(program, arguments);
    return process.waitForFinished(5000) && process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
}

Rerun rerunSelf(const QStringList& unshareOptions, const char* marker, const QString& filter, int timeoutMs)
{
    Rerun rerun;
    QProcess inner;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QString::fromLatin1(marker), QStringLiteral("1"));
    environment.remove(QStringLiteral("MOULD_PANEL"));
    inner.setProcessEnvironment(environment);
    inner.setProcessChannelMode(QProcess::MergedChannels);
    inner.start(QStringLiteral("unshare"),
                unshareOptions + QStringList{QCoreApplication::applicationFilePath(), "--gtest_filter=" + filter});
    rerun.started = inner.waitForStarted(5000);
    if (!rerun.started)
        return rerun;
    rerun.finished = inner.waitForFinished(timeoutMs);
    if (!rerun.finished) {
        inner.kill();
        inner.waitForFinished(5000);
    }
    rerun.output = inner.readAll();
    rerun.exitCode = inner.exitCode();
    return rerun;
}

EnvGuard::EnvGuard(const char* name, const QByteArray& value)
    : m_name(name), m_old(qgetenv(name)), m_had(qEnvironmentVariableIsSet(name))
{
    if (value.isNull())
        qunsetenv(name);
    else
        qputenv(name, value);
}

EnvGuard::~EnvGuard()
{
    if (m_had)
        qputenv(m_name, m_old);
    else
        qunsetenv(m_name);
}

}  // namespace TestEnv
