#include "base/appclock.h"
#include "support/testenv.h"

#include <QDateTime>
#include <QFileInfo>
#include <gtest/gtest.h>

TEST(TimeZone, AnUnsetZoneIsPinnedToTheOneInUseAndASetOneIsKept)
{
    const qint64 moment = 1700000000;   // any instant; its local reading must not change
    {
        TestEnv::EnvGuard unset("TZ", QByteArray());
        const QString before = QDateTime::fromSecsSinceEpoch(moment).toString(Qt::ISODate);
        const QByteArray pinned = AppClock::pinTimeZone();
        EXPECT_EQ(pinned, QFileInfo::exists("/etc/localtime") ? QByteArray(":/etc/localtime") : QByteArray("UTC0"));
        EXPECT_EQ(qgetenv("TZ"), pinned);
        EXPECT_EQ(QDateTime::fromSecsSinceEpoch(moment).toString(Qt::ISODate), before);
    }
    TestEnv::EnvGuard chosen("TZ", "Asia/Shanghai");
    EXPECT_EQ(AppClock::pinTimeZone(), QByteArray("Asia/Shanghai"));
}
