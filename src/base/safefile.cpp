#include "base/safefile.h"

#include "base/appclock.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSettings>
#include <QtDebug>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <csignal>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

std::atomic<quint64> gTemporaryCount{0};

// A name beside the target that no other write (of this or another process) uses.
QString temporaryPath(const QString& absolutePath)
{
    return absolutePath + QStringLiteral(".part-%1-%2").arg(::getpid()).arg(++gTemporaryCount);
}

bool processRuns(qint64 pid)
{
    return pid > 0 && (::kill(pid_t(pid), 0) == 0 || errno == EPERM);
}

QString systemError(int error)
{
    return QString::fromLocal8Bit(std::strerror(error));
}

bool writeAll(int fd, const char* data, qint64 size)
{
    while (size > 0) {
        const ssize_t written = ::write(fd, data, static_cast<size_t>(size));
        if (written < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        data += written;
        size -= written;
    }
    return true;
}

// The rename is only durable once the folder's entry is on the disk too; a folder that cannot
// be synced (some file systems refuse) costs nothing but that.
void syncFolder(const QString& folder)
{
    const int fd = ::open(QFile::encodeName(folder).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return;
    ::fsync(fd);
    ::close(fd);
}

bool renameOver(const QString& from, const QString& to, QString* error)
{
    if (std::rename(QFile::encodeName(from).constData(), QFile::encodeName(to).constData()) == 0)
        return true;
    *error = systemError(errno);
    return false;
}

// The absolute path of a file about to be written, with its folder made; empty when the
// folder cannot be made. A link is followed: the file it points to is rewritten, the link stays.
QString preparedTarget(const QString& path)
{
    QFileInfo info(path);
    if (info.isSymLink())
        info = QFileInfo(info.symLinkTarget());
    return QDir().mkpath(info.absolutePath()) ? info.absoluteFilePath() : QString();
}

// Renames a whole temporary file over the target; a temporary file that cannot take its place
// is removed.
bool moveInPlace(const QString& temporary, const QString& target, QString* error)
{
    if (!renameOver(temporary, target, error)) {
        QFile::remove(temporary);
        return false;
    }
    syncFolder(QFileInfo(target).absolutePath());
    return true;
}

// Callers that log on their own (once per state) take the reason; the others get a warning.
bool reportFailure(const QString& path, const QString& error, QString* reason)
{
    if (reason)
        *reason = error;
    else
        qWarning().noquote() << "cannot write" << path + ':' << error;
    return false;
}

QString brokenName(const QString& path)
{
    const QString base = path + QStringLiteral(".broken-") + AppClock::now().toString(QStringLiteral("yyyyMMddhhmmss"));
    QString name = base;
    for (int n = 1; QFileInfo::exists(name); ++n)
        name = base + QLatin1Char('-') + QString::number(n);
    return name;
}

}  // namespace

bool writeFileAtomically(const QString& path, const QByteArray& content, QString* reason)
{
    const QString target = preparedTarget(path);
    if (target.isEmpty())
        return reportFailure(path, QStringLiteral("cannot create the folder"), reason);
    const QString temporary = temporaryPath(target);
    const QByteArray temporaryName = QFile::encodeName(temporary);

    const int fd = ::open(temporaryName.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0)
        return reportFailure(path, systemError(errno), reason);
    bool written = writeAll(fd, content.constData(), content.size()) && ::fsync(fd) == 0;
    int writeError = errno;
    struct stat old {};
    if (written && ::stat(QFile::encodeName(target).constData(), &old) == 0)
        ::fchmod(fd, old.st_mode & 07777);   // a rewrite keeps who may read the file
    if (::close(fd) != 0 && written) {
        written = false;
        writeError = errno;
    }
    if (!written) {
        ::unlink(temporaryName.constData());
        return reportFailure(path, systemError(writeError), reason);
    }
    QString error;
    return moveInPlace(temporary, target, &error) || reportFailure(path, error, reason);
}

bool writeSettingsAtomically(const QString& path, const QVariantMap& values, QString* reason)
{
    const QString target = preparedTarget(path);
    if (target.isEmpty())
        return reportFailure(path, QStringLiteral("cannot create the folder"), reason);
    QString error;
    const QString written = temporaryPath(target);
    // QSettings answers a file it has just written from its cache of that name; read back under
    // another name, what comes back is what reached the disk.
    const QString checked = temporaryPath(target);

    bool whole = false;
    {
        QSettings out(written, QSettings::IniFormat);
        for (auto it = values.cbegin(); it != values.cend(); ++it)
            out.setValue(it.key(), it.value());
        out.sync();
        whole = out.status() == QSettings::NoError;
    }
    whole = whole && renameOver(written, checked, &error);
    if (whole) {
        QSettings check(checked, QSettings::IniFormat);
        whole = check.status() == QSettings::NoError && check.allKeys().size() == values.size();
        for (auto it = values.cbegin(); whole && it != values.cend(); ++it)
            whole = check.value(it.key()) == it.value();
    }
    if (!whole) {
        QFile::remove(written);
        QFile::remove(checked);
        return reportFailure(path, error.isEmpty() ? QStringLiteral("not all of it reached the disk") : error, reason);
    }
    // QSettings has flushed the bytes to the disk before its own rename.
    return moveInPlace(checked, target, &error) || reportFailure(path, error, reason);
}

int removeLeftoverTemporaries(const QStringList& folders)
{
    static const QRegularExpression temporaryName(QStringLiteral("^.+\\.part-(\\d+)-\\d+$"));
    const QDateTime stale = QDateTime::currentDateTime().addSecs(-60LL * kLeftoverAgeMinutes);
    int removed = 0;
    for (const QString& folder : folders) {
        const QFileInfoList files = QDir(folder).entryInfoList(QDir::Files | QDir::Hidden | QDir::NoSymLinks);
        for (const QFileInfo& file : files) {
            const QRegularExpressionMatch match = temporaryName.match(file.fileName());
            if (!match.hasMatch())
                continue;
            // A writer that still runs (another copy of the program) may be about to rename it.
            if (processRuns(match.captured(1).toLongLong()) && file.lastModified() > stale)
                continue;
            if (!QFile::remove(file.absoluteFilePath()))
                continue;
            qInfo().noquote() << "removed" << file.absoluteFilePath() << "left by a write that was cut short";
            ++removed;
        }
    }
    return removed;
}

QString keepBrokenCopy(const QString& path, const QString& why)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        qCritical().noquote() << path << "is not usable (" + why + ") and cannot be read to keep a copy:"
                              << file.errorString();
        return QString();
    }
    const QByteArray content = file.readAll();
    file.close();
    const QString kept = brokenName(path);
    if (!writeFileAtomically(kept, content)) {
        qCritical().noquote() << path << "is not usable (" + why + ") and no copy of it can be kept";
        return QString();
    }
    qWarning().noquote() << path << "is not usable (" + why + "); a copy is kept as" << kept;
    return kept;
}

QString setBrokenFileAside(const QString& path, const QString& why)
{
    const QString kept = brokenName(path);
    QString error;
    if (!renameOver(path, kept, &error)) {
        qCritical().noquote() << path << "is not usable (" + why + ") and cannot be set aside:" << error;
        return QString();
    }
    qCritical().noquote() << path << "is not usable (" + why + "); kept as" << kept;
    return kept;
}

void WriteStateLog::update(bool stored, const QString& detail)
{
    if (!stored) {
        if (!m_failing)
            qCritical().noquote() << "cannot store" << m_what + (detail.isEmpty() ? QString() : " (" + detail + ')') + ';'
                                  << m_consequence;
        m_failing = true;
        ++m_failures;
    } else if (m_failing) {
        qInfo().noquote() << m_what << "is stored again, after" << m_failures << "failed tries";
        m_failing = false;
        m_failures = 0;
    }
}
