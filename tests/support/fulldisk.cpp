#include "support/fulldisk.h"

#include "support/testenv.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QProcessEnvironment>
#include <gtest/gtest.h>

#include <cstdio>
#include <sys/mount.h>
#include <unistd.h>

namespace FullDisk {

namespace {

constexpr char kInnerMarker[] = "MOULD_PRIVATE_MOUNTS_INNER";
const QString kFiller = QStringLiteral("/filler");
const char kMountFailed[] = "PRIVATE-MOUNT-FAILED";

bool runs(const QString& program, const QStringList& arguments)
{
    QProcess process;
    process.start(program, arguments);
    return process.waitForFinished(5000) && process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
}

}  // namespace

Rerun rerunInPrivateMounts(const QString& filter, int timeoutMs)
{
    Rerun rerun;
    if (::geteuid() != 0 || !runs(QStringLiteral("unshare"), {"-m", "true"})) {
        rerun.skipped = QStringLiteral("needs root and unshare -m for a private mount namespace");
        return rerun;
    }
    QProcess inner;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(kInnerMarker, "1");
    environment.remove("MOULD_PANEL");
    inner.setProcessEnvironment(environment);
    inner.setProcessChannelMode(QProcess::MergedChannels);
    // unshare -m makes every mount private, so nothing mounted in there is seen outside.
    inner.start(QStringLiteral("unshare"), {"-m", "--propagation", "private", QCoreApplication::applicationFilePath(),
                                            "--gtest_filter=" + filter});
    if (!inner.waitForStarted(5000)) {
        rerun.skipped = QStringLiteral("unshare does not start");
        return rerun;
    }
    rerun.finished = inner.waitForFinished(timeoutMs);
    if (!rerun.finished) {
        inner.kill();
        inner.waitForFinished(5000);
    }
    rerun.output = inner.readAll();
    rerun.exitCode = inner.exitCode();
    if (rerun.output.contains(kMountFailed))
        rerun.skipped = QStringLiteral("no tmpfs can be mounted here:\n") + QString::fromLocal8Bit(rerun.output);
    return rerun;
}

bool inPrivateMounts()
{
    return qEnvironmentVariable(kInnerMarker) == QLatin1String("1") && TestEnv::inNamespaceOfItsOwn("mnt");
}

bool mountSmallDisk(const QString& folder, int kilobytes)
{
    if (!inPrivateMounts() || !QDir().mkpath(folder))
        return false;
    const QByteArray options = "size=" + QByteArray::number(kilobytes) + "k";
    if (::mount("tmpfs", QFile::encodeName(folder).constData(), "tmpfs", 0, options.constData()) == 0)
        return true;
    std::puts(kMountFailed);
    std::fflush(stdout);
    return false;
}

void unmount(const QString& folder)
{
    if (inPrivateMounts())
        ::umount2(QFile::encodeName(folder).constData(), MNT_DETACH);
}

bool fill(const QString& folder, qint64 leaveBytes)
{
    QFile filler(folder + kFiller);
    if (!filler.open(QIODevice::WriteOnly | QIODevice::Append | QIODevice::Unbuffered))
        return false;
    const QByteArray block(4096, 'f');
    while (filler.write(block) == block.size()) {
    }
    // The last bytes that fit, one at a time.
    while (filler.write("f", 1) == 1) {
    }
    return filler.resize(qMax<qint64>(0, filler.size() - leaveBytes));
}

void release(const QString& folder)
{
    QFile::remove(folder + kFiller);
}

void expectInnerTestsPass(const QString& filter, int tests)
{
    const Rerun rerun = rerunInPrivateMounts(filter);
    if (!rerun.skipped.isEmpty())
        GTEST_SKIP() << rerun.skipped.toStdString();
    EXPECT_TRUE(rerun.passed(tests)) << rerun.output.toStdString();
}

}  // namespace FullDisk
