#include "support/fulldisk.h"

#include "support/testenv.h"

#include <QDir>
#include <QFile>
#include <gtest/gtest.h>

#include <cstdio>
#include <sys/mount.h>
#include <unistd.h>

namespace FullDisk {

namespace {

constexpr char kInnerMarker[] = "MOULD_PRIVATE_MOUNTS_INNER";
const QString kFiller = QStringLiteral("/filler");
const char kMountFailed[] = "PRIVATE-MOUNT-FAILED";

}  // namespace

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
    if (::geteuid() != 0 || !TestEnv::commandSucceeds(QStringLiteral("unshare"), {"-m", "true"}))
        GTEST_SKIP() << "needs root and unshare -m for a private mount namespace";
    // unshare -m makes every mount private, so nothing mounted in there is seen outside.
    const TestEnv::Rerun rerun = TestEnv::rerunSelf({"-m", "--propagation", "private"}, kInnerMarker, filter, 90000);
    if (!rerun.started)
        GTEST_SKIP() << "unshare does not start";
    if (rerun.output.contains(kMountFailed))
        GTEST_SKIP() << "no tmpfs can be mounted here:\n" << rerun.output.toStdString();
    EXPECT_TRUE(rerun.passed(tests)) << rerun.output.toStdString();
}

}  // namespace FullDisk
