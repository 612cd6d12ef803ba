#include "support/testenv.h"

#include "base/sqlconnection.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QSqlQuery>
#include <QVariant>
#include <QThread>

#include <unistd.h>

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

qint64 residentBytes()
{
    QFile statm(QStringLiteral("/proc/self/statm"));
    if (!statm.open(QIODevice::ReadOnly))
        return -1;
    const QList<QByteArray> fields = statm.readAll().split(' ');
    bool ok = false;
    const qint64 pages = fields.value(1).toLongLong(&ok);
    return ok ? pages * ::sysconf(_SC_PAGESIZE) : -1;
}

void writeText(const QString& path, const QByteArray& content)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    if (file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        file.write(content);
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
