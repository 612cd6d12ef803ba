#include "../../netcore/nettestutil.h"
#include "base/appclock.h"
#include "base/publictools.h"
#include "base/storewriter.h"
#include "netservices/api/subscriberstore.h"
#include "support/testenv.h"

#include <QDir>
#include <QFile>
#include <QJsonObject>
#include <QSemaphore>
#include <QSettings>
#include <gtest/gtest.h>

#include <atomic>

#include <sys/stat.h>

namespace {

QJsonObject element(const QJsonValue& ip, const QJsonValue& port, const QString& topic)
{
    return {{"subscriber_ip", ip}, {"subscriber_port", port}, {"subscriber_topic", topic}};
}

QStringList addressesOf(const QList<Skt_Session>& targets)
{
    QStringList list;
    for (const Skt_Session& target : targets)
        list << target.address + ":" + QString::number(target.port);
    return list;
}

QStringList keysInFile()
{
    QSettings file("subscriber.ini", QSettings::IniFormat);
    return file.value("subscriber_groups").toMap().keys();
}

class SubscriberStoreTest : public ::testing::Test {
protected:
    void SetUp() override { store.open("subscriber.ini"); }
    void TearDown() override { AppClock::setOffsetMs(0); }

    QStringList subscribe(const QJsonArray& elements, const QString& requester = "10.0.0.9")
    {
        return store.subscribe(elements, requester).keys;
    }

    SubscriberStore store;
};

}  // namespace

TEST_F(SubscriberStoreTest, KeepsOnlyDialableRegistrationsAndPushesOnlyTheExactTopic)
{
    const QStringList kept = subscribe({
        element("127.0.0.1", 9000, "detected_info"),
        element("127.0.0.1", 9001, "detected_info,detected_picture"),   // listed, never pushed
        element("::1", 9002, "detected_picture"),
        element("127.0.0.1", "9000", "detected_info"),                  // text port
        element("127.0.0.1", 70000, "detected_info"),                   // would wrap to 4464
        element("127.0.0.1", 0, "detected_info"),
        element("127.0.0.1", 90.5, "detected_info"),
        element("localhost", 9000, "detected_info"),                    // a name to resolve
        element("192.168.001.010", 9000, "detected_info"),              // read as octal: 192.168.1.8
        element("127.1", 9000, "detected_info"),
        element(" 127.0.0.1", 9000, "detected_info"),
        element("fe80::1%eth0;x", 9000, "detected_info"),               // would break the key
        element("127.0.0.1", 9000, "detected_info" + QString(60, 'x')),
        element("127.0.0.1", 9000, "other"),
        QJsonObject{{"subscriber_ip", "127.0.0.1"}, {"subscriber_topic", "detected_info"}},
        QJsonValue("not an object"),
    });
    EXPECT_EQ(kept, QStringList({"127.0.0.1;9000;detected_info", "127.0.0.1;9001;detected_info,detected_picture",
                                 "::1;9002;detected_picture"}));
    EXPECT_EQ(addressesOf(store.subscribersOf("detected_info")), QStringList({"127.0.0.1:9000"}));
    EXPECT_EQ(addressesOf(store.subscribersOf("detected_picture")), QStringList({"::1:9002"}));

    // A restart reads the same map back.
    SubscriberStore reopened;
    reopened.open("subscriber.ini");
    EXPECT_EQ(reopened.keys(), kept);
}

TEST_F(SubscriberStoreTest, RegistrationsLiveOneHourFromTheirLastRefreshWhateverTheClockDoes)
{
    subscribe({element("127.0.0.1", 9000, "detected_info"), element("127.0.0.1", 9100, "detected_info")});
    AppClock::advanceMs(50 * 60 * 1000);
    subscribe({element("127.0.0.1", 9000, "detected_info")});   // refresh one of them

    AppClock::advanceMs(10 * 60 * 1000 + 1);   // the other is now 3,600,001 ms old
    EXPECT_EQ(addressesOf(store.subscribersOf("detected_info")), QStringList({"127.0.0.1:9000"}));
    EXPECT_EQ(keysInFile(), QStringList({"127.0.0.1;9000;detected_info"}));

    // The clock set back a day: the registration counts from now, and still ends within an hour.
    AppClock::advanceMs(-24LL * 3600 * 1000);
    EXPECT_EQ(store.subscribersOf("detected_info").size(), 1);
    AppClock::advanceMs(3600 * 1000 + 1);
    EXPECT_TRUE(store.subscribersOf("detected_info").isEmpty());
    EXPECT_TRUE(keysInFile().isEmpty());
}

// Every publish asks for the subscribers; the file is rewritten only when a key has gone, so a
// push per picture costs no disk write (and no sync) in the GUI thread.
TEST_F(SubscriberStoreTest, PublishingRewritesTheFileOnlyWhenAKeyHasGone)
{
    // Each whole-file write puts a new file in place: its inode tells a rewrite.
    const auto inode = [] {
        struct stat info {};
        return ::stat("subscriber.ini", &info) == 0 ? quint64(info.st_ino) : quint64(0);
    };
    subscribe({element("127.0.0.1", 9000, "detected_info"), element("127.0.0.1", 9100, "detected_picture")});
    const quint64 written = inode();
    ASSERT_NE(written, 0u);
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(store.subscribersOf("detected_info").size(), 1);
    EXPECT_EQ(inode(), written);

    AppClock::advanceMs(59 * 60 * 1000);
    subscribe({element("127.0.0.1", 9000, "detected_info")});
    AppClock::advanceMs(2 * 60 * 1000);   // the picture key is now 61 minutes old
    const quint64 renewed = inode();
    EXPECT_TRUE(store.subscribersOf("detected_picture").isEmpty());
    EXPECT_NE(inode(), renewed);
    EXPECT_EQ(keysInFile(), QStringList({"127.0.0.1;9000;detected_info"}));
}

TEST_F(SubscriberStoreTest, EachAddressHoldsAFewKeysAllOfThemAFewHundredAndRefreshesAlwaysWork)
{
    QJsonArray many;
    for (int i = 1; i <= 40; ++i)
        many.append(element(QString("192.0.2.%1").arg(i), 9000, "detected_info"));
    const auto held = [](const SubscriberStore::Registration& registration) {
        return registration.keys.filter("192.0.2.").size();
    };
    SubscriberStore::Registration first = store.subscribe(many, "10.0.0.1");
    EXPECT_EQ(held(first), SubscriberStore::kMaxKeysPerAddress);
    EXPECT_EQ(first.refusal, "每个地址最多订阅8项");

    // Another client gets in, and the first refreshes its own keys for hours.
    const SubscriberStore::Registration other = store.subscribe({element("127.0.0.1", 9001, "detected_info")}, "10.0.0.2");
    EXPECT_TRUE(other.keys.contains("127.0.0.1;9001;detected_info"));
    EXPECT_TRUE(other.refusal.isEmpty());
    for (int hour = 0; hour < 3; ++hour) {
        AppClock::advanceMs(59 * 60 * 1000);
        first = store.subscribe(many, "10.0.0.1");
        EXPECT_EQ(held(first), SubscriberStore::kMaxKeysPerAddress) << hour;
    }
    EXPECT_TRUE(first.keys.contains("192.0.2.1;9000;detected_info"));

    // Enough addresses at their limit fill the map; their keys are still refreshed.
    for (int address = 1; address < SubscriberStore::kMaxKeys / SubscriberStore::kMaxKeysPerAddress; ++address) {
        QJsonArray own;
        for (int port = 1; port <= SubscriberStore::kMaxKeysPerAddress; ++port)
            own.append(element("127.0.0.1", address * 100 + port, "detected_picture"));
        store.subscribe(own, QString("10.1.0.%1").arg(address));
    }
    const SubscriberStore::Registration late = store.subscribe({element("127.0.0.1", 9002, "detected_info")}, "10.0.0.3");
    EXPECT_EQ(late.keys.size(), SubscriberStore::kMaxKeys);
    EXPECT_FALSE(late.keys.contains("127.0.0.1;9002;detected_info"));
    EXPECT_EQ(late.refusal, "订阅总数已达上限256项");
    EXPECT_TRUE(store.subscribe({element("127.0.0.1", 101, "detected_picture")}, "10.1.0.1").refusal.isEmpty());
    EXPECT_EQ(store.subscribe(many, "10.0.0.1").refusal, "每个地址最多订阅8项");   // its own refreshed, no more
}

// A subscriber file that does not read as one is copied aside, starts an empty map and is
// replaced at once by an empty one (so the next start makes no second copy), without warnings
// that it cannot be written.
TEST_F(SubscriberStoreTest, AnUnreadableFileIsKeptAsideAndReplaced)
{
    const QList<QByteArray> unreadable{"[General\nsubscriber_groups=x\n", "subscriber_groups=not a map\n",
                                       QByteArray("\x01\xfe\x7f garbage", 12)};
    for (int i = 0; i < unreadable.size(); ++i) {
        SCOPED_TRACE(i);
        AppClock::setNow(QDateTime(QDate(2024, 5, 6), QTime(9, 0, i)));
        TestEnv::writeText("subscriber.ini", unreadable.at(i));
        NetTest::LogCapture log;
        SubscriberStore reopened;
        reopened.open("subscriber.ini");
        EXPECT_TRUE(reopened.keys().isEmpty());
        QFile kept(QString("subscriber.ini.broken-2024050609000%1").arg(i));
        ASSERT_TRUE(kept.open(QIODevice::ReadOnly));
        EXPECT_EQ(kept.readAll(), unreadable.at(i));
        SubscriberStore restarted;
        restarted.open("subscriber.ini");
        EXPECT_EQ(QDir().entryList({"subscriber.ini.broken-*"}).size(), i + 1);

        reopened.subscribe({element("127.0.0.1", 9000, "detected_info")}, "10.0.0.9");
        reopened.subscribersOf("detected_info");
        EXPECT_EQ(keysInFile(), QStringList{"127.0.0.1;9000;detected_info"});
        EXPECT_EQ(log.lines(QtWarningMsg).filter("cannot write"), QStringList());
    }
}

// Entries of the file that no registration could have made (written by hand, by another program
// or an older version) are dropped at the start, each with a warning naming it, after one copy
// of the file as it was; the file then holds what is kept, so the next start copies nothing.
TEST_F(SubscriberStoreTest, LoadedEntriesAreCheckedAsRegistrationsAndTheUnusableDroppedAfterOneCopy)
{
    const auto writeGroups = [](const QVariantMap& groups) {
        QFile::remove("subscriber.ini");
        QSettings file("subscriber.ini", QSettings::IniFormat);
        file.setValue("subscriber_groups", groups);
    };
    AppClock::setNow(QDateTime(QDate(2024, 5, 6), QTime(9, 0, 0)));
    const qint64 now = gettimeofday_ms();
    const QString kept = "127.0.0.1;9000;detected_info";
    const QVariantMap unusable{
        {"127.0.0.1;70000;detected_info", now},
        {"127.0.0.1;abc;detected_info", now},
        {"127.0.0.1;0;detected_info", now},
        {"127.0.0.1;-1;detected_info", now},
        {"plant-server;9000;detected_info", now},
        {"127.0.0.1;9001;detected_info", QDateTime(QDate(2400, 1, 1), QTime(0, 0)).toMSecsSinceEpoch()},
        {"127.0.0.1;9002;detected_info", QString::number(now)},
    };
    QVariantMap groups = unusable;
    groups.insert(kept, now - 1000);
    writeGroups(groups);
    const QByteArray original = TestEnv::readBytes("subscriber.ini");

    NetTest::LogCapture log;
    SubscriberStore loaded;
    loaded.open("subscriber.ini");
    EXPECT_EQ(loaded.keys(), QStringList{kept});
    EXPECT_EQ(keysInFile(), QStringList{kept});
    EXPECT_EQ(addressesOf(loaded.subscribersOf("detected_info")), QStringList({"127.0.0.1:9000"}));
    const QStringList copies = QDir().entryList({"subscriber.ini.broken-*"});
    ASSERT_EQ(copies.size(), 1);
    EXPECT_EQ(TestEnv::readBytes(copies.first()), original);
    const QStringList warnings = log.lines(QtWarningMsg);
    for (const QString& key : unusable.keys())
        EXPECT_EQ(warnings.filter(key + " (").size(), 1) << key.toStdString();
    SubscriberStore restarted;
    restarted.open("subscriber.ini");
    EXPECT_EQ(restarted.keys(), QStringList{kept});
    EXPECT_EQ(QDir().entryList({"subscriber.ini.broken-*"}).size(), 1);

    // Over the cap: the first live entries that fit are kept, the rest dropped; expired ones
    // take no room.
    groups.clear();
    for (int port = 1001; port <= 1300; ++port)
        groups.insert(QString("127.0.0.1;%1;detected_info").arg(port), now - port);
    groups.insert("127.0.0.1;1000;detected_info", now - SubscriberStore::kLifeMs - 1);
    writeGroups(groups);
    AppClock::setNow(QDateTime(QDate(2024, 5, 6), QTime(9, 0, 1)));
    SubscriberStore full;
    full.open("subscriber.ini");
    const QStringList fitting = groups.keys().mid(1, SubscriberStore::kMaxKeys);
    EXPECT_EQ(keysInFile(), QStringList{"127.0.0.1;1000;detected_info"} + fitting);
    EXPECT_EQ(full.subscribersOf("detected_info").size(), SubscriberStore::kMaxKeys);
    EXPECT_EQ(QDir().entryList({"subscriber.ini.broken-*"}).size(), 2);
    EXPECT_EQ(log.lines(QtWarningMsg).filter("over the cap of 256").size(), 300 - SubscriberStore::kMaxKeys);
}

// The network side starts again (network settings confirmed) while the last subscriptions still
// wait in the store writer (a full or slow disk): the store opens at once with that newest map,
// and reads the file again once the map is on the disk.
TEST_F(SubscriberStoreTest, OpeningWhileTheLastStoreWaitsTakesItsMapWithoutWaiting)
{
    const QString key = "127.0.0.1;9000;detected_info";
    QSemaphore release;
    std::atomic<bool> storing{false};
    StoreWriter writer;
    // Holds the writer inside its store until the test lets it go (bounded, should it never).
    writer.setBeforeStoreHook([&] {
        storing = true;
        release.tryAcquire(1, 20000);
    });
    SubscriberStore running;
    running.open("subscriber.ini", &writer);
    running.subscribe({element("127.0.0.1", 9000, "detected_info")}, "10.0.0.9");
    ASSERT_TRUE(TestEnv::waitUntil([&] { return storing.load(); }));

    SubscriberStore restarted;
    restarted.open("subscriber.ini", &writer);
    EXPECT_EQ(restarted.keys(), QStringList{key});
    EXPECT_EQ(addressesOf(restarted.subscribersOf("detected_info")), QStringList({"127.0.0.1:9000"}));
    EXPECT_TRUE(keysInFile().isEmpty()) << "taken from memory, not from the disk";

    writer.setBeforeStoreHook({});
    release.release();
    ASSERT_TRUE(writer.waitUntilStored(20000));
    EXPECT_EQ(keysInFile(), QStringList{key});

    // Stored: the next open reads the file, which a hand may have changed meanwhile.
    TestEnv::writeText("subscriber.ini", "");
    SubscriberStore again;
    again.open("subscriber.ini", &writer);
    EXPECT_TRUE(again.keys().isEmpty());
}
