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

// Names tried before a write gives up on a folder that answers every one with "exists".
constexpr int kMaxTemporaryNames = 1000;

// Creates and opens a temporary file beside the target under a name that no other write (of
// this or another process) uses. A name that is taken is passed over for the next number: an
// earlier run may have left it, and a panel boots to the same process id every time. The
// descriptor, or -1 with errno set.
int createTemporary(const QString& absolutePath, QString* name)
{
    for (int tries = 0; tries < kMaxTemporaryNames; ++tries) {
        *name = absolutePath + QStringLiteral(".part-%1-%2").arg(::getpid()).arg(++gTemporaryCount);
        const int fd = ::open(QFile::encodeName(*name).constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd >= 0 || errno != EEXIST)
            return fd;
    }
    errno = EEXIST;
    return -1;
}

// The same, for a writer that opens the file on its own (QSettings): the name is held by an
// empty file. Empty when none could be made, with errno set.
QString reserveTemporary(const QString& absolutePath)
{
    QString name;
    const int fd = createTemporary(absolutePath, &name);
    if (fd < 0)
        return QString();
    ::close(fd);
    return name;
}

bool processRuns(qint64 pid)
{
    return pid > 0 && (::kill(pid_t(pid), 0) == 0 || errno == EPERM);
}

// What follows reads the live machine's process table, not a file of the machine tree that
// MOULD_ROOT stands in for, so it does not go through Platform::path.
QString procEntry(qint64 pid, const char* entry)
{
    return QStringLiteral("/proc/%1/%2").arg(pid).arg(QLatin1String(entry));
}

// The executable a process runs; empty when its link cannot be read (another user's process
// without the right to). A program file replaced while it runs is still the same program.
QString executableOf(const QString& link)
{
    QString target = QFile::symLinkTarget(link);
    const QLatin1String deleted(" (deleted)");
    if (target.endsWith(deleted))
        target.chop(deleted.size());
    return target;
}

QString ownExecutable()
{
    static const QString own = executableOf(QStringLiteral("/proc/self/exe"));
    return own;
}

// The file name a process was started as (the first word of its command line).
QString startedAs(qint64 pid)
{
    QFile file(procEntry(pid, "cmdline"));
    if (!file.open(QIODevice::ReadOnly))
        return QString();
    const QByteArray first = file.read(4096).split('\0').value(0);
    return QFileInfo(QFile::decodeName(first)).fileName();
}

// True when pid is another running process of this very program: the only one that may still
// be writing a temporary file of ours. A process id taken again since by anything else, or
// this process's own id (the panel boots to the same one every time), says nothing of the
// file's writer.
bool isOtherInstance(qint64 pid)
{
    if (pid == qint64(::getpid()) || !processRuns(pid))
        return false;
    const QString own = ownExecutable();
    if (own.isEmpty())
        return true;   // no process table to ask: a running writer is taken at its word
    const QString other = executableOf(procEntry(pid, "exe"));
    if (!other.isEmpty())
        return other == own;
    return startedAs(pid) == QFileInfo(own).fileName();
}

// True when another process of this program works in the current folder (where the temporary
// names without a process id belong to it just as well). A process whose folder cannot be read
// may be one.
bool otherInstanceWorksHere()
{
    const QString here = QDir::current().canonicalPath();
    const QStringList entries = QDir(QStringLiteral("/proc")).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QString& entry : entries) {
        bool number = false;
        const qint64 pid = entry.toLongLong(&number);
        if (!number || !isOtherInstance(pid))
            continue;
        const QString folder = QFile::symLinkTarget(procEntry(pid, "cwd"));
        if (folder.isEmpty() || QDir(folder).canonicalPath() == here)
            return true;
    }
    return false;
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
    QString temporary;
    const int fd = createTemporary(target, &temporary);
    if (fd < 0)
        return reportFailure(path, systemError(errno), reason);
    const QByteArray temporaryName = QFile::encodeName(temporary);
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
    // QSettings would read a file already there under its name: the names are held empty first.
    const QString written = reserveTemporary(target);
    // QSettings answers a file it has just written from its cache of that name; read back under
    // another name, what comes back is what reached the disk.
    const QString checked = written.isEmpty() ? QString() : reserveTemporary(target);
    if (checked.isEmpty()) {
        const QString why = systemError(errno);
        if (!written.isEmpty())
            QFile::remove(written);
        return reportFailure(path, why, reason);
    }

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
    // QSettings locks the file it writes under the name with ".lock" behind; a kill leaves the
    // lock beside (or instead of) the temporary file.
    static const QRegularExpression writerName(QStringLiteral("^.+\\.part-(\\d+)-\\d+(\\.lock)?$"));
    // The statistics database builds its archives and its template under these names.
    static const QRegularExpression databaseName(QStringLiteral("^.+\\.db\\.part$"));
    const QDateTime stale = QDateTime::currentDateTime().addSecs(-60LL * kLeftoverAgeMinutes);
    int asked = -1;   // whether another process of the program works here; asked once, when needed
    int removed = 0;
    for (const QString& folder : folders) {
        const QFileInfoList files = QDir(folder).entryInfoList(QDir::Files | QDir::Hidden | QDir::NoSymLinks);
        for (const QFileInfo& file : files) {
            const QRegularExpressionMatch match = writerName.match(file.fileName());
            if (match.hasMatch()) {
                // Another running copy of the program may be about to rename it.
                if (isOtherInstance(match.captured(1).toLongLong()) && file.lastModified() > stale)
                    continue;
            } else if (databaseName.match(file.fileName()).hasMatch()) {
                if (asked < 0)
                    asked = otherInstanceWorksHere() ? 1 : 0;
                if (asked == 1)
                    continue;
            } else {
                continue;
            }
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
