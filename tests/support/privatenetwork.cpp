#include "support/privatenetwork.h"

#include "support/testenv.h"

#include <QCoreApplication>
#include <QProcess>
#include <QProcessEnvironment>
#include <gtest/gtest.h>

#include <unistd.h>

namespace PrivateNetwork {

namespace {

constexpr char kInnerMarker[] = "MOULD_PRIVATE_NETWORK_INNER";

bool runs(const QString& program, const QStringList& arguments)
{
    QProcess process;
    process.start(program, arguments);
    return process.waitForFinished(5000) && process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
}

}  // namespace

bool available()
{
    static const bool canUnshare = ::geteuid() == 0
                                   && runs(QStringLiteral("unshare"), {"-n", "ip", "link", "set", "lo", "up"});
    return canUnshare;
}

bool inside()
{
    static const bool own = qEnvironmentVariable(kInnerMarker) == QLatin1String("1")
                            && TestEnv::inNamespaceOfItsOwn("net")
                            && runs(QStringLiteral("ip"), {"link", "set", "lo", "up"});
    return own;
}

bool runsElsewhere()
{
    return !inside() && available();
}

void expectInnerTestsPass(const QString& filter, int tests, int timeoutMs)
{
    if (inside())
        GTEST_SKIP() << "already inside";
    if (!available())
        GTEST_SKIP() << "needs root, unshare -n and ip for a private network namespace";
    QProcess inner;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(kInnerMarker, "1");
    environment.remove("MOULD_PANEL");
    inner.setProcessEnvironment(environment);
    inner.setProcessChannelMode(QProcess::MergedChannels);
    inner.start(QStringLiteral("unshare"), {"-n", QCoreApplication::applicationFilePath(), "--gtest_filter=" + filter});
    ASSERT_TRUE(inner.waitForStarted(5000));
    const bool finished = inner.waitForFinished(timeoutMs);
    if (!finished) {
        inner.kill();
        inner.waitForFinished(5000);
    }
    const QByteArray output = inner.readAll();
    ASSERT_TRUE(finished) << output.toStdString();
    EXPECT_EQ(inner.exitCode(), 0) << output.toStdString();
    const QByteArray passed = "[  PASSED  ] " + QByteArray::number(tests) + (tests == 1 ? " test." : " tests.");
    EXPECT_TRUE(output.contains(passed)) << output.toStdString();
}

}  // namespace PrivateNetwork
