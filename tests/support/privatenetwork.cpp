#include "support/privatenetwork.h"

#include "support/testenv.h"

#include <gtest/gtest.h>

#include <unistd.h>

namespace PrivateNetwork {

namespace {

constexpr char kInnerMarker[] = "MOULD_PRIVATE_NETWORK_INNER";

}  // namespace

bool available()
{
    static const bool canUnshare = ::geteuid() == 0
                                   && TestEnv::commandSucceeds(QStringLiteral("unshare"), {"-n", "ip", "link", "set", "lo", "up"});
    return canUnshare;
}

bool inside()
{
    static const bool own = qEnvironmentVariable(kInnerMarker) == QLatin1String("1")
                            && TestEnv::inNamespaceOfItsOwn("net")
                            && TestEnv::commandSucceeds(QStringLiteral("ip"), {"link", "set", "lo", "up"});
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
    const TestEnv::Rerun rerun = TestEnv::rerunSelf({"-n"}, kInnerMarker, filter, timeoutMs);
    ASSERT_TRUE(rerun.started);
    ASSERT_TRUE(rerun.finished) << rerun.output.toStdString();
    EXPECT_TRUE(rerun.passed(tests)) << rerun.output.toStdString();
}

}  // namespace PrivateNetwork
