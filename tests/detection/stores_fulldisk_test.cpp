// The program's own stores on a full disk: what the disk does not take waits in memory, in order,
// and is stored once there is room, without a restart. The outer test re-runs the OnFullStoreDisk
// cases in a private mount namespace with a small filled tmpfs as the working folder; anywhere
// else they skip.
#include "base/appclock.h"
#include "base/storewriter.h"
#include "detection/counters.h"
#include "detection/mojuwizard.h"
#include "detection/recordstore.h"
#include "detection/records_support.h"
#include "netservices/api/recordquery.h"
#include "netservices/api/subscriberstore.h"
#include "support/fulldisk.h"
#include "support/testenv.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QSettings>
#include <gtest/gtest.h>

#include <memory>

namespace {

// Long enough for the writer to try (and fail) more than once.
constexpr int kFullDiskMs = 2500;

QDateTime at(int day, int hour, int minute = 0, int second = 0)
{
    return QDateTime(QDate(2026, 3, 9).addDays(day), QTime(hour, minute, second));
}

int storedCount(const QString& key)
{
    QSettings counts(MoJuWizard::countFilePath(), QSettings::IniFormat);
    return counts.value(key, -1).toInt();
}

QString textOf(const QString& path)
{
    return QString::fromLatin1(TestEnv::readBytes(path));
}

class OnFullStoreDisk : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!FullDisk::inPrivateMounts())
            GTEST_SKIP() << "runs only inside the private mount namespace of StoresFullDisk";
        if (!FullDisk::mountSmallDisk(disk, 1024))
            GTEST_SKIP() << "no tmpfs here";
        QDir::setCurrent(disk);
        qputenv("MOULD_SIM_CYCLE_MS", "3600000");
        qputenv("MOULD_SIM_NG_EVERY", "0");
        qputenv("MOULD_SIM_CAMERAS", "2");
        std::fill(std::begin(gAllNum), std::end(gAllNum), 0);
    }
    void TearDown() override
    {
        window.reset();
        AppClock::setOffsetMs(0);
        QDir::setCurrent(m_workDir);
        FullDisk::unmount(disk);
    }

    StoreWriter* writer() const { return window->storeWriter(); }

    const QString m_workDir = TestEnv::workDir();
    const QString disk = m_workDir + "/disk";
    std::unique_ptr<MoJuWizard> window;
};

}  // namespace

TEST(StoresFullDisk, RunInAPrivateMountNamespace)
{
    FullDisk::expectInnerTestsPass("OnFullStoreDisk.*", 3);
}

TEST_F(OnFullStoreDisk, CountsAndRecordsWaitOverMidnightAndAreStoredAndAnsweredOnceThereIsRoom)
{
    AppClock::setNow(at(0, 23, 59, 50));
    window = std::make_unique<MoJuWizard>(nullptr, 0);
    window->Run();
    window->InsertRecord("before the disk filled", "info");
    ASSERT_TRUE(writer()->waitUntilStored(10000));
    ASSERT_TRUE(FullDisk::fill(disk));

    window->Run();
    window->InsertRecord("on the full disk", "info");
    AppClock::setNow(at(1, 0, 0, 10));
    window->checkRecordDay();
    window->InsertRecord("after midnight on the full disk", "API");
    window->Run();
    EXPECT_FALSE(writer()->waitUntilStored(kFullDiskMs));
    EXPECT_EQ(storedCount("count/allNum0"), 2);

    // Answered by the record query the API runs, while they wait and once they are stored.
    OperationRecordQuery::Request request;
    ASSERT_TRUE(OperationRecordQuery::parse({{"datetime_start", "2026-03-09 23:00:00"}, {"datetime_end", "2026-03-10 01:00:00"}},
                                            &request));
    const OperationRecordQuery query(MoJuWizard::recordDatabasePath(), MoJuWizard::recordDay());
    const auto remarks = [&] {
        QStringList texts;
        for (const QJsonValue& row : QJsonDocument::fromJson(query.run(request)).object().value("record").toArray())
            texts << row.toArray().at(0).toString() + " " + row.toArray().at(2).toString();
        return texts;
    };
    const QStringList answer{"2026-03-09 23:59:50 before the disk filled", "2026-03-09 23:59:50 on the full disk",
                             "2026-03-10 00:00:10 after midnight on the full disk"};
    EXPECT_EQ(remarks(), answer);

    FullDisk::release(disk);
    ASSERT_TRUE(writer()->waitUntilStored(15000));
    EXPECT_EQ(storedCount("count/allNum0"), gAllNum[0]);
    EXPECT_EQ(RecordsTest::recordTexts("RECORD/2026-03-09.db"), QStringList({"before the disk filled", "on the full disk"}));
    EXPECT_EQ(RecordsTest::recordTexts("RECORD.db"), QStringList({"after midnight on the full disk"}));
    EXPECT_EQ(textOf("time.txt"), "2026-03-10");
    EXPECT_EQ(remarks(), answer);
}

// The clock goes back into a day that has its file, and forward again while the disk is full:
// the day's records cannot be added to its file yet, and they stay apart from the next day's.
TEST_F(OnFullStoreDisk, ADayMovedBackWhoseRecordsCannotBeAddedToItsFileIsNeverMixedWithTheNextDay)
{
    AppClock::setNow(at(0, 10));
    window = std::make_unique<MoJuWizard>(nullptr, 0);
    window->InsertRecord("morning", "info");
    AppClock::setNow(at(1, 10));
    window->checkRecordDay();
    AppClock::setNow(at(0, 15));   // set back
    window->checkRecordDay();
    window->InsertRecord("afternoon", "info");
    ASSERT_TRUE(writer()->waitUntilStored(10000));
    ASSERT_TRUE(FullDisk::fill(disk));

    AppClock::setNow(at(1, 11));
    window->checkRecordDay();
    window->InsertRecord("next day", "info");
    EXPECT_FALSE(writer()->waitUntilStored(kFullDiskMs));
    EXPECT_EQ(RecordsTest::recordTexts("RECORD.db"), QStringList({"afternoon"}));
    EXPECT_EQ(textOf("time.txt"), "2026-03-09");

    FullDisk::release(disk);
    ASSERT_TRUE(writer()->waitUntilStored(15000));
    EXPECT_EQ(RecordsTest::recordTexts("RECORD/2026-03-09.db"), QStringList({"morning", "afternoon"}));
    EXPECT_EQ(RecordsTest::recordTexts("RECORD.db"), QStringList({"next day"}));
    EXPECT_EQ(textOf("time.txt"), "2026-03-10");
}

TEST_F(OnFullStoreDisk, ASubscriptionMadeOnAFullDiskIsStoredOnceThereIsRoom)
{
    const auto element = [](int port) {
        return QJsonArray{QJsonObject{{"subscriber_ip", "127.0.0.1"}, {"subscriber_port", port}, {"subscriber_topic", "detected_info"}}};
    };
    const auto keysIn = [](const QString& path) {
        QSettings file(path, QSettings::IniFormat);
        return file.value("subscriber_groups").toMap().keys();
    };

    // Through the program's store writer.
    StoreWriter storeWriter;
    SubscriberStore store;
    store.open("subscriber.ini", &storeWriter);
    store.subscribe(element(9000), "10.0.0.9");
    ASSERT_TRUE(storeWriter.waitUntilStored(10000));
    ASSERT_TRUE(FullDisk::fill(disk));
    store.subscribe(element(9001), "10.0.0.9");
    EXPECT_FALSE(storeWriter.waitUntilStored(kFullDiskMs));
    EXPECT_EQ(keysIn("subscriber.ini"), QStringList({"127.0.0.1;9000;detected_info"}));
    FullDisk::release(disk);
    ASSERT_TRUE(storeWriter.waitUntilStored(15000));
    EXPECT_EQ(keysIn("subscriber.ini"), QStringList({"127.0.0.1;9000;detected_info", "127.0.0.1;9001;detected_info"}));

    // Without a writer the next read for a topic (every publish) stores it.
    SubscriberStore alone;
    alone.open("alone.ini");
    ASSERT_TRUE(FullDisk::fill(disk));
    alone.subscribe(element(9002), "10.0.0.9");
    FullDisk::release(disk);
    alone.subscribersOf("detected_info");
    EXPECT_EQ(keysIn("alone.ini"), QStringList({"127.0.0.1;9002;detected_info"}));
}
