#include "records/exportresultworker.h"

#include "base/appclock.h"
#include "base/findau.h"
#include "records/resstatisticsdatabase.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QThread>
#include <QtDebug>

namespace {

const QString kDateFormat = QStringLiteral("yyyy-MM-dd");

QString exporterFailure(const CommandResult& result)
{
    if (result.ended)
        return QObject::tr("统计导出程序超时未结束，已终止");
    if (!result.started)
        return QObject::tr("无法启动统计导出程序");
    if (result.crashed)
        return QObject::tr("统计导出程序异常退出");
    return QObject::tr("统计导出程序返回错误码 %1").arg(result.exitCode);
}

// The folders directly inside the archive folder: what exporters have left there.
QStringList resultFolders()
{
    return QDir(ResStatisticsDatabase::archiveDirName()).entryList(QDir::Dirs | QDir::NoDotAndDotDot, QDir::Name);
}

// Relative path -> size of every file below a folder.
QMap<QString, qint64> treeFiles(const QString& root)
{
    QMap<QString, qint64> files;
    const QString absolute = QFileInfo(root).absoluteFilePath();
    const QDir base(absolute);
    QDirIterator it(absolute, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        it.next();
        files.insert(base.relativeFilePath(it.filePath()), it.fileInfo().size());
    }
    return files;
}

}  // namespace

CommandResult runAndPrintOutput(const QString& program, const QStringList& arguments, int msecs)
{
    qDebug() << program << arguments;
    const CommandResult result = CommandRunner::instance()->runStreaming(
        program, arguments, [&program](const QByteArray& line) { qDebug().noquote() << program << QString::fromLocal8Bit(line); },
        nullptr, msecs);
    if (result.crashed)
        qInfo() << "Process crashed!";
    else
        qInfo() << "Process finished with exit code:" << result.exitCode;
    return result;
}

bool ExportResultWorker::copyFolder(const QString& source, const QString& target)
{
    // mkdir, not mkpath: every folder is made inside one that exists already.
    if (!QDir().mkdir(target))
        return false;
    const QFileInfoList entries = QDir(source).entryInfoList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden);
    for (const QFileInfo& entry : entries) {
        const QString to = target + QLatin1Char('/') + entry.fileName();
        if (entry.isDir() && !entry.isSymLink()) {
            if (!copyFolder(entry.filePath(), to))
                return false;
        } else if (!QFile::copy(entry.filePath(), to)) {
            return false;
        }
    }
    return true;
}

ExportResultWorker::ExportResultWorker(QObject* parent) : QObject(parent)
{
    // The repo ships a stand-in of the exporter; off the panel the runner runs it for real.
    SystemCommandRunner::registerStandIn(exporterPath());
}

void ExportResultWorker::setTarget(const QString& stick, const QString& productionDate, QObject* dayStore)
{
    m_stick = stick;
    m_productionDate = productionDate;
    m_dayStore = dayStore;
}

void ExportResultWorker::waitForDayStore() const
{
    QThread* storeThread = m_dayStore ? m_dayStore->thread() : nullptr;
    if (!storeThread || storeThread == QThread::currentThread() || !storeThread->isRunning())
        return;
    // Runs after every event posted to that thread before it: the day's store is done.
    QMetaObject::invokeMethod(m_dayStore, [] {}, Qt::BlockingQueuedConnection);
}

QStringList ExportResultWorker::dayFiles(const QDate& start, const QDate& end, const QDate& productionDay)
{
    QStringList files;
    const QString archive = ResStatisticsDatabase::archiveDirName();
    const QStringList names = QDir(archive).entryList({QStringLiteral("*.db")},
                                                      QDir::Dirs | QDir::Files | QDir::Drives, QDir::Name);
    for (const QString& name : names) {
        const QDate day = QDate::fromString(name.section(QLatin1Char('.'), 0, 0), kDateFormat);
        if (day.isValid() && start <= day && day <= end)
            files << archive + QLatin1Char('/') + name;
    }
    if (productionDay.isValid() && start <= productionDay && productionDay <= end
        && QFileInfo::exists(QStringLiteral("./") + ResStatisticsDatabase::currentFileName()))
        files << QStringLiteral("./") + ResStatisticsDatabase::currentFileName();
    return files;
}

CommandResult ExportResultWorker::exportToHistogram(const QString& program, const QStringList& arguments, int msecs)
{
    qInfo() << "start export to histogram";
    const CommandResult result = CommandRunner::instance()->runStreaming(
        program, arguments,
        [this](const QByteArray& line) {
            qDebug().noquote() << "exporter:" << QString::fromLocal8Bit(line);
            if (!line.startsWith("Done"))
                return;
            ++done;
            emit exportProgress(total, done);
        },
        &m_stop, msecs);
    if (result.crashed)
        qInfo() << "Process crashed!";
    else
        qInfo() << "Process finished with exit code:" << result.exitCode;
    return result;
}

void ExportResultWorker::work(QPair<QString, QString> dates)
{
    qInfo() << "start export Statistics result work";
    const QString failure = runExport(dates);
    if (!failure.isEmpty())
        qWarning().noquote() << "statistics export failed:" << failure;
    emit finish(failure.isEmpty(), failure);
}

QString ExportResultWorker::runExport(const QPair<QString, QString>& dates)
{
    const QString stamp = AppClock::now().toString(QStringLiteral("yyyy-MM-dd_hh.mm.ss"));
    const QDate start = QDate::fromString(dates.first, kDateFormat);
    const QDate end = QDate::fromString(dates.second, kDateFormat);
    waitForDayStore();
    const QStringList files = dayFiles(start, end, QDate::fromString(m_productionDate, kDateFormat));

    total = files.size();
    done = 0;
    emit exportProgress(total, 0);
    if (files.isEmpty())
        return tr("所选日期内没有生产统计数据，无需导出");

    const QStringList before = resultFolders();
    const QString failure = exportAndMove(files, stamp);
    if (!failure.isEmpty())
        removeResultsExcept(before);
    return failure;
}

void ExportResultWorker::removeResultsExcept(const QStringList& kept)
{
    for (const QString& folder : resultFolders()) {
        if (kept.contains(folder))
            continue;
        const QString path = ResStatisticsDatabase::archiveDirName() + QLatin1Char('/') + folder;
        if (QDir(path).removeRecursively())
            qInfo().noquote() << "removed the unfinished export output" << path;
        else
            qWarning().noquote() << "cannot remove the unfinished export output" << path;
    }
}

QString ExportResultWorker::exportAndMove(const QStringList& files, const QString& stamp)
{
    const CommandResult result = exportToHistogram(exporterPath(), {files.join(QLatin1Char(','))}, m_timeoutMs);
    if (m_stop)
        return tr("导出已中止");
    if (!result.ok())
        return exporterFailure(result);

    // The stick may have been pulled while the exporter ran: a folder made now on a bare mount
    // point would fill the system disk.
    if (m_stick.isEmpty() || !MountTable::isMountPoint(m_stick))
        return tr("U盘已拔出，导出失败");
    const QString target = m_stick + QLatin1Char('/') + stamp;
    const bool madeTarget = !QDir(m_stick).exists(stamp);
    if (madeTarget && !QDir(m_stick).mkdir(stamp))
        return tr("无法在U盘上创建导出文件夹");
    const QString moveFailure = moveResults(target);
    if (!moveFailure.isEmpty()) {
        if (madeTarget)
            QDir(m_stick).rmdir(stamp);   // only when nothing of this export reached it
        return moveFailure;
    }

    runAndPrintOutput(QStringLiteral("sync"), {}, 60 * 1000);
    qInfo() << "sync finish";
    return QString();
}

// Moves every folder the exporter left in the archive folder to the stick: copy, compare, and
// only then remove the source, so a failed copy loses nothing.
QString ExportResultWorker::moveResults(const QString& target)
{
    const QFileInfoList folders = QDir(ResStatisticsDatabase::archiveDirName())
                                      .entryInfoList(QDir::Dirs | QDir::NoDotAndDotDot, QDir::Name);
    for (const QFileInfo& folder : folders) {
        const QString to = target + QLatin1Char('/') + folder.fileName();
        const bool copied = copyFolder(folder.filePath(), to) && treeFiles(folder.filePath()) == treeFiles(to)
                            && MountTable::isMountPoint(m_stick);
        if (!copied) {
            qWarning() << "cannot copy" << folder.filePath() << "to" << to;
            QDir(to).removeRecursively();
            return tr("导出结果无法写入U盘");
        }
        if (!QDir(folder.filePath()).removeRecursively())
            qWarning() << "exported folder stays in place:" << folder.filePath();
    }
    return QString();
}
