#include "../netcore/nettestutil.h"
#include "base/appclock.h"
#include "base/safefile.h"
#include "base/globals.h"
#include "base/lanstr.h"
#include "base/signalwatcher.h"
#include "base/storewriter.h"
#include "detection/cammerwidget.h"
#include "detection/counters.h"
#include "detection/handover.h"
#include "detection/mojuwizard.h"
#include "detection/records_support.h"
#include "records/copy2movedisk.h"
#include "records/resstatisticsparam.h"
#include "records/savefialimagethread.h"
#include "records/screen_support.h"
#include "records/stats_support.h"
#include "widgets/publictools_widget.h"
#include "netcore/nettestutil.h"
#include "support/testenv.h"

#include <QDeadlineTimer>
#include <QEventLoop>
#include <QFile>
#include <QJsonArray>
#include <QSettings>
#include <QSignalSpy>
#include <QSqlDatabase>
#include <QSemaphore>
#include <QSqlQuery>
#include <QTest>
#include <QThread>
#include <QTimer>
#include <QVariant>
#include <gtest/gtest.h>

#include <csignal>
#include <memory>

namespace {

// A main window whose cycle timer never fires by itself: the tests call Run().
class MainWindowTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        qputenv("MOULD_SIM_CYCLE_MS", "3600000");
        qputenv("MOULD_SIM_NG_EVERY", "0");
        qputenv("MOULD_SIM_CAMERAS", "2");
        std::fill(std::begin(gAllNum), std::end(gAllNum), 0);
        std::fill(std::begin(gFailNum), std::end(gFailNum), 0);
        gSyncNGNum = 0;
    }
    void TearDown() override
    {
        window.reset();
        AppClock::setOffsetMs(0);
    }

    static void setParameter(const QString& name, const QString& value)
    {
        ASSERT_TRUE(TestEnv::setParameter(name, value));
    }

    // Waits until the window's store writer has stored what it was handed.
    void waitForStores() const { ASSERT_TRUE(window->storeWriter()->waitUntilStored(10000)); }

    static int recordRows(const QString& path, const QString& where = QString())
    {
        const QString connection = QStringLiteral("testrecord");
        int rows = -1;
        {
            QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), connection);
            db.setDatabaseName(path);
            if (db.open()) {
                QSqlQuery query(db);
                if (query.exec(QStringLiteral("SELECT COUNT(*) FROM RECORD") + where) && query.next())
                    rows = query.value(0).toInt();
            }
            db.close();
        }
        QSqlDatabase::removeDatabase(connection);
        return rows;
    }

    std::unique_ptr<MoJuWizard> window;
};

}  // namespace

TEST_F(MainWindowTest, StartsInAnEmptyFolderWithDefaultsAndFolders)
{
    window = std::make_unique<MoJuWizard>(nullptr, 0);
    EXPECT_EQ(gpWin, window.get());
    EXPECT_EQ(numCamera, 2);
    EXPECT_EQ(gDNum, 2);
    EXPECT_EQ(window->runState(), MoJuWizard::RunDetecting);
    EXPECT_TRUE(QFile::exists("PARAM.db"));
    EXPECT_EQ(recordRows("RECORD.db"), 0);
    ASSERT_EQ(window->cameraViews.size(), 2);
    EXPECT_EQ(window->cameraViews.at(1)->imagePixelCount, 640 * 480);
    for (int c = 1; c <= 2; ++c) {
        for (int s = 1; s <= 8; ++s) {
            EXPECT_TRUE(QDir(QStringLiteral("alarmimage/camera%1/detect%2/NG").arg(c).arg(s)).exists());
            EXPECT_TRUE(QDir(QStringLiteral("alarmimage/camera%1/detect%2/OK").arg(c).arg(s)).exists());
        }
    }
    EXPECT_FALSE(QDir("alarmimage/camera3").exists());
    EXPECT_EQ(window->pictureDirs[0][1][0].absolutePath(), TestEnv::workDir() + "/alarmimage/camera1/detect2/NG");
    window.reset();
    EXPECT_EQ(gpWin, nullptr);
}

TEST_F(MainWindowTest, ParametersComeFromTheDatabase)
{
    setParameter("detectNum", "3");
    setParameter("picNumNG", "7");
    window = std::make_unique<MoJuWizard>(nullptr, 0);
    EXPECT_EQ(gDNum, 3);
    EXPECT_EQ(gPicNumNG, 7);
    EXPECT_EQ(gpWPara->days, 31);
    EXPECT_EQ(gpWParaBak->detectNum, 3);
    EXPECT_EQ(gpWPara->getCurGroupName(), "default");
}

TEST_F(MainWindowTest, OkCycleCountsEmitsEveryStepAndWritesTheCounters)
{
    window = std::make_unique<MoJuWizard>(nullptr, 0);
    QSignalSpy records(window.get(), &MoJuWizard::sendRecord);
    window->Run();

    ASSERT_EQ(records.size(), 2);
    EXPECT_EQ(records.at(0).at(0).toInt(), 0);
    EXPECT_FALSE(records.at(0).at(3).toBool());
    EXPECT_EQ(records.at(1).at(0).toInt(), 1);
    EXPECT_TRUE(records.at(1).at(3).toBool());
    EXPECT_EQ(records.at(1).at(2).value<QList<bool>>(), (QList<bool>{true, true}));
    EXPECT_EQ(gAllNum[0], 2);
    EXPECT_EQ(gFailNum[0], 0);
    EXPECT_EQ(gSyncNGNum, 0);

    // No OK pictures are kept by default, so nothing is handed over.
    QMutexLocker lock(pMutexSaveFail);
    EXPECT_FALSE(gisSaveFail[0][1][1]);
    EXPECT_FALSE(gisSaveFail[0][1][0]);
    lock.unlock();

    waitForStores();
    QSettings counts(MoJuWizard::countFilePath(), QSettings::IniFormat);
    EXPECT_EQ(counts.value("count/allNum0").toInt(), 2);
}

TEST_F(MainWindowTest, NgCycleHandsOverThePictureAndRaisesTheAlarm)
{
    qputenv("MOULD_SIM_NG_EVERY", "1");
    window = std::make_unique<MoJuWizard>(nullptr, 0);
    // The picture thread would take the flags as soon as they are raised; here the hand-over
    // itself is under test.
    gpSaveFialImageThread->stop();
    QSignalSpy records(window.get(), &MoJuWizard::sendRecord);
    window->Run();

    ASSERT_EQ(records.size(), 2);
    EXPECT_EQ(records.at(1).at(2).value<QList<bool>>(), (QList<bool>{false, true}));
    EXPECT_EQ(window->viewState(), MoJuWizard::ViewNgAlarm);
    EXPECT_EQ(window->currentStep(), 1);
    EXPECT_EQ(gFailNum[0], 1);
    EXPECT_EQ(gFailNum[1], 0);
    EXPECT_EQ(gSyncNGNum, 1);

    {
        QMutexLocker lock(pMutexSaveFail);
        EXPECT_TRUE(gisSaveFail[0][1][0]);
        EXPECT_FALSE(gisSaveFail[1][1][0]);
        EXPECT_EQ(gFailIndex[0][1], 1);
        ASSERT_NE(gpFailImage[0][1][0], nullptr);
        const QImage handed(gpFailImage[0][1][0], 640, 480, QImage::Format_RGB32);
        EXPECT_EQ(handed, window->cameraViews.at(0)->resultImage(1));
    }

    // While the alarm stands no cycle runs; it clears itself after two seconds.
    window->Run();
    EXPECT_EQ(records.size(), 2);
    EXPECT_TRUE(TestEnv::waitUntil([&] { return window->viewState() == MoJuWizard::ViewVerdict; }, 4000));
    window.reset();
    EXPECT_EQ(recordRows("RECORD.db", " WHERE recordtype = 'run'"), 1);
    EXPECT_EQ(recordRows("RECORD.db", " WHERE recordtype = 'operate'"), 1);
}

TEST_F(MainWindowTest, OkPicturesAreHandedOverWhenKept)
{
    setParameter("picNumOK", "5");
    window = std::make_unique<MoJuWizard>(nullptr, 0);
    gpSaveFialImageThread->stop();
    window->Run();
    QMutexLocker lock(pMutexSaveFail);
    EXPECT_TRUE(gisSaveFail[1][0][1]);
    EXPECT_TRUE(gisSaveFail[1][1][1]);
    EXPECT_EQ(gFailIndex[1][1], 0);
}

TEST_F(MainWindowTest, StatisticsSwitchOffStillCountsAndStoresOnceOn)
{
    setParameter("isUseStatistics", "0");
    window = std::make_unique<MoJuWizard>(nullptr, 0);
    ResStatisticsParam* statistics = ResStatisticsParam::getInstance();
    EXPECT_FALSE(statistics->isTimerActive());
    QSignalSpy records(window.get(), &MoJuWizard::sendRecord);
    window->Run();
    EXPECT_EQ(records.size(), 2);
    EXPECT_EQ(gAllNum[0], 2);

    // Switched on again, the day is stored with what was counted meanwhile (the last store
    // happens when the window goes).
    statistics->setTimer(true);
    window.reset();
    const QJsonObject allCycle = StatsTest::allCameraCycle(StatsTest::readDay("ResStatistics.db"));
    ASSERT_EQ(allCycle.value("detectID").toInt(), -1);
    int ok = 0;
    for (const QJsonValue& hour : allCycle.value("OK").toArray())
        ok += hour.toInt();
    EXPECT_EQ(ok, 1);
}

TEST_F(MainWindowTest, StoppedDetectionRunsNoCycle)
{
    window = std::make_unique<MoJuWizard>(nullptr, 0);
    window->StopDetect();
    EXPECT_EQ(window->runState(), MoJuWizard::RunStopped);
    window->Run();
    EXPECT_EQ(gAllNum[0], 0);
}

TEST_F(MainWindowTest, CountersSurviveARestart)
{
    window = std::make_unique<MoJuWizard>(nullptr, 0);
    window->Run();
    window->Run();
    window.reset();
    std::fill(std::begin(gAllNum), std::end(gAllNum), 0);
    window = std::make_unique<MoJuWizard>(nullptr, 0);
    EXPECT_EQ(gAllNum[0], 4);
    EXPECT_EQ(gAllNum[1], 4);
}

TEST_F(MainWindowTest, UnreadableCountersAreKeptAsideAndStartFromZero)
{
    const QByteArray garbage = "[count\nallNum0=77\n\x01\xfe";
    TestEnv::writeText(MoJuWizard::countFilePath(), garbage);
    AppClock::setNow(QDateTime(QDate(2024, 5, 6), QTime(9, 15, 2)));
    window = std::make_unique<MoJuWizard>(nullptr, 0);
    EXPECT_EQ(gAllNum[0], 0);
    QFile kept(MoJuWizard::countFilePath() + ".broken-20240506091502");
    ASSERT_TRUE(kept.open(QIODevice::ReadOnly));
    EXPECT_EQ(kept.readAll(), garbage);

    window->Run();
    waitForStores();
    QSettings counts(MoJuWizard::countFilePath(), QSettings::IniFormat);
    EXPECT_EQ(counts.status(), QSettings::NoError);
    EXPECT_EQ(counts.value("count/allNum0").toInt(), 2);
}

// Counters missing, not numbers or below 0 would start again from 0 (or be served as they are)
// without a word: the file is kept beside itself as it was, with a warning naming the copy, and
// every counter that reads as a count is kept.
TEST_F(MainWindowTest, DamagedCountersAreKeptAsideByteForByteAndWhatReadsIsKept)
{
    QVariantMap all;
    for (int c = 0; c < 8; ++c) {
        for (const char* key : {"allNum", "failNum", "allCycleNum", "failCycleNum"})
            all.insert(QString("count/%1%2").arg(key).arg(c), 100 + c);
    }
    all.insert("count/syncNGNum", 7);
    all.insert("count/syncNGCycleNum", 3);
    ASSERT_TRUE(writeSettingsAtomically(MoJuWizard::countFilePath(), all));
    QFile whole(MoJuWizard::countFilePath());
    ASSERT_TRUE(whole.open(QIODevice::ReadOnly));
    const QList<QByteArray> lines = whole.readAll().split('\n');
    ASSERT_EQ(lines.size(), 1 + 34 + 1);   // the group, the counters and the last line's end
    // allCycleNum0..7, allNum0..7 and failCycleNum0 in the order QSettings writes them.
    const QByteArray cut = lines.mid(0, 1 + 17).join('\n') + '\n';
    QByteArray notANumber = lines.join('\n');
    notANumber.replace("allNum1=101", "allNum1=1O1");
    QByteArray negative = lines.join('\n');
    negative.replace("allNum1=101", "allNum1=-5");

    struct Case {
        const char* what;
        QByteArray content;
        int allNum0, allNum1, failNum0, syncNGNum;   // as loaded
    };
    const QList<Case> cases{{"cut in half", cut, 100, 101, 0, 0},
                            {"empty", QByteArray(), 0, 0, 0, 0},
                            {"not a number", notANumber, 100, 0, 100, 7},
                            {"negative", negative, 100, 0, 100, 7}};
    for (int i = 0; i < cases.size(); ++i) {
        const Case& c = cases.at(i);
        SCOPED_TRACE(c.what);
        TestEnv::writeText(MoJuWizard::countFilePath(), c.content);
        AppClock::setNow(QDateTime(QDate(2024, 5, 6), QTime(9, 15, i)));
        NetTest::LogCapture log;
        window = std::make_unique<MoJuWizard>(nullptr, 0);
        const QString kept = MoJuWizard::countFilePath() + QString(".broken-2024050609150%1").arg(i);
        QFile copy(kept);
        ASSERT_TRUE(copy.open(QIODevice::ReadOnly));
        EXPECT_EQ(copy.readAll(), c.content);
        EXPECT_EQ(log.lines(QtWarningMsg).filter(kept).size(), 1);
        EXPECT_EQ(gAllNum[0], c.allNum0);
        EXPECT_EQ(gAllNum[1], c.allNum1);
        EXPECT_EQ(gFailNum[0], c.failNum0);
        EXPECT_EQ(gSyncNGNum, c.syncNGNum);
        window.reset();
    }
}

// Garbage, a cut file, a RECORD table of other columns or a database of something else: the
// file is kept as it was and the records of the run go into a fresh one.
TEST_F(MainWindowTest, UnusableRecordDatabaseIsKeptAsideAndRecordsGoOn)
{
    QByteArray cut;
    {
        ASSERT_TRUE(StatsTest::execOn("whole.db", {"CREATE TABLE RECORD (recordtime TEXT, recordpassword TEXT, remarks TEXT, recordtype TEXT)",
                                                   "CREATE TABLE padding (x TEXT)",
                                                   "INSERT INTO padding VALUES (printf('%.9000c', 'p'))"}));
        QFile whole("whole.db");
        ASSERT_TRUE(whole.open(QIODevice::ReadOnly));
        cut = whole.readAll().left(6000);
    }
    const QList<QPair<const char*, QByteArray>> cases{
        {"garbage", QByteArray("\x01\xfe not a database ").repeated(300)},
        {"cut", cut},
        {"other columns", QByteArray()},
        {"only another table", QByteArray()},
    };
    int second = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.first);
        QFile::remove("RECORD.db");
        if (QByteArray(c.first) == "other columns")
            ASSERT_TRUE(StatsTest::execOn("RECORD.db", {"CREATE TABLE RECORD (t TEXT, who TEXT)", "INSERT INTO RECORD VALUES ('a', 'b')"}));
        else if (QByteArray(c.first) == "only another table")
            ASSERT_TRUE(StatsTest::execOn("RECORD.db", {"CREATE TABLE sysparam (name TEXT, value TEXT)", "INSERT INTO sysparam VALUES ('days', '7')"}));
        else
            TestEnv::writeText("RECORD.db", c.second);
        QFile original("RECORD.db");
        ASSERT_TRUE(original.open(QIODevice::ReadOnly));
        const QByteArray bytes = original.readAll();
        original.close();

        AppClock::setNow(QDateTime(QDate(2024, 5, 6), QTime(9, 15, second++)));
        window = std::make_unique<MoJuWizard>(nullptr, 0);
        QFile kept(AppClock::now().toString("'RECORD.db.broken-'yyyyMMddhhmmss"));
        ASSERT_TRUE(kept.open(QIODevice::ReadOnly));
        EXPECT_EQ(kept.readAll(), bytes);
        window->InsertRecord("after the repair", "info");
        waitForStores();
        EXPECT_EQ(recordRows("RECORD.db"), 1);
        window.reset();
    }
}

// The store writer held inside a store, as a disk that does not finish a sync would hold it: the
// GUI thread's timers fire and the cycle goes on; the counters and the records reach the disk
// once the store finishes.
TEST_F(MainWindowTest, AStoreThatCannotFinishLeavesTheGuiThreadTimersAndTheCycleGoing)
{
    qputenv("MOULD_SIM_CYCLE_MS", "20");
    window = std::make_unique<MoJuWizard>(nullptr, 0);
    StoreWriter* writer = window->storeWriter();
    QSemaphore inStore;
    QSemaphore finish;
    writer->setBeforeStoreHook([&] {
        inStore.release();
        finish.tryAcquire(1, 20000);
    });
    window->InsertRecord("before the stall", "info");
    ASSERT_TRUE(inStore.tryAcquire(1, 10000));

    int ticks = 0;
    QTimer other;
    other.setInterval(10);
    QObject::connect(&other, &QTimer::timeout, [&ticks] { ++ticks; });
    other.start();
    const int before = gAllNum[0];
    EXPECT_TRUE(TestEnv::waitUntil([&] { return gAllNum[0] >= before + 40 && ticks >= 20; }, 10000))
        << "counted " << gAllNum[0] - before << ", ticks " << ticks;
    window->InsertRecord("during the stall", "info");
    window->StopDetect();
    const int counted = gAllNum[0];

    writer->setBeforeStoreHook(nullptr);
    finish.release();
    waitForStores();
    QSettings counts(MoJuWizard::countFilePath(), QSettings::IniFormat);
    EXPECT_EQ(counts.value("count/allNum0").toInt(), counted);
    EXPECT_EQ(RecordsTest::recordTexts("RECORD.db"), QStringList({"before the stall", "during the stall"}));
}

// SIGTERM comes while the disk holds a store and newer ones wait: the stop stores them, the
// counters file holds the last counts, and the log says how many waiting stores were stored.
TEST_F(MainWindowTest, SigtermWhileStoresWaitLeavesTheLastCountsInTheFile)
{
    window = std::make_unique<MoJuWizard>(nullptr, 0);
    StoreWriter* writer = window->storeWriter();
    QSemaphore inStore;
    writer->setBeforeStoreHook([&] {
        inStore.release();
        // The disk finishes the store only once the program stops.
        for (QDeadlineTimer bound(20000); !writer->stopRequested() && !bound.hasExpired();)
            QThread::msleep(1);
    });
    window->Run();
    ASSERT_TRUE(inStore.tryAcquire(1, 10000));
    window->Run();
    window->Run();
    window->InsertRecord("waiting at the stop", "info");
    const int last = gAllNum[0];
    ASSERT_EQ(last, 6);

    SignalWatcher watcher;
    QEventLoop loop;
    bool terminated = false;
    QObject::connect(&watcher, &SignalWatcher::sigTerminate, &loop, [&] {
        terminated = true;
        loop.quit();
    });
    QTimer::singleShot(0, [] { ::raise(SIGTERM); });
    QTimer::singleShot(10000, &loop, &QEventLoop::quit);
    loop.exec();
    ASSERT_TRUE(terminated);

    NetTest::LogCapture log;
    window.reset();   // what the program does once its event loop has ended
    QSettings counts(MoJuWizard::countFilePath(), QSettings::IniFormat);
    EXPECT_EQ(counts.value("count/allNum0").toInt(), last);
    EXPECT_EQ(RecordsTest::recordTexts("RECORD.db"), QStringList({"waiting at the stop"}));
    EXPECT_TRUE(log.lines(QtInfoMsg).join('\n').contains("stored 3 waiting stores at the stop"))
        << log.lines(QtInfoMsg).join('\n').toStdString();
}

TEST_F(MainWindowTest, RecordsOfAFinishedDayMoveIntoTheDayFolder)
{
    window = std::make_unique<MoJuWizard>(nullptr, 0);
    window->InsertRecord("first day", "info");
    const QDate firstDay = AppClock::now().date();

    AppClock::setNow(AppClock::now().addDays(1));
    window->checkRecordDay();
    window->InsertRecord("second day", "info");
    waitForStores();

    const QString dayFile = "RECORD/" + firstDay.toString("yyyy-MM-dd") + ".db";
    EXPECT_EQ(recordRows(dayFile), 1);
    EXPECT_EQ(recordRows("RECORD.db"), 1);
    QFile day("time.txt");
    ASSERT_TRUE(day.open(QIODevice::ReadOnly));
    EXPECT_EQ(day.readAll(), AppClock::now().date().toString("yyyy-MM-dd").toLatin1());
}

TEST_F(MainWindowTest, ADayThatComesTwiceKeepsBothDaysRecords)
{
    window = std::make_unique<MoJuWizard>(nullptr, 0);
    window->InsertRecord("morning", "info");
    const QDateTime start = AppClock::now();
    AppClock::setNow(start.addDays(1));
    window->checkRecordDay();
    // The clock is set back and forward again: the same day is finished a second time.
    AppClock::setNow(start);
    window->checkRecordDay();
    window->InsertRecord("afternoon", "info");
    AppClock::setNow(start.addDays(1));
    window->checkRecordDay();
    waitForStores();

    EXPECT_EQ(recordRows("RECORD/" + start.date().toString("yyyy-MM-dd") + ".db"), 2);
}

TEST_F(MainWindowTest, RecordRowsCarryTimeUserAndType)
{
    window = std::make_unique<MoJuWizard>(nullptr, 0);
    AppClock::setNow(QDateTime(AppClock::now().date(), QTime(14, 3, 59)));
    window->InsertRecord("it's quoted", "API");
    waitForStores();
    EXPECT_EQ(RecordsTest::recordTexts("RECORD.db", "recordtime, recordpassword, remarks, recordtype"),
              QStringList({"14.03.59|未登录|it's quoted|API"}));
}

TEST_F(MainWindowTest, PictureStickComingAndGoingIsRecordedAndWarned)
{
    setParameter("lostUpanAlarm", "1");
    WarnBox warnBox;
    gpWarnBox = &warnBox;
    window = std::make_unique<MoJuWizard>(nullptr, 0);

    emit Copy2MoveDisk::getInstance()->diskStateChange(true);
    EXPECT_FALSE(warnBox.isVisible());
    emit Copy2MoveDisk::getInstance()->diskStateChange(false);
    EXPECT_TRUE(warnBox.isVisible());
    EXPECT_EQ(warnBox.text(), "警告：存图磁盘已拔出或是\n接触不良，请确认！");

    waitForStores();
    EXPECT_EQ(RecordsTest::recordTexts("RECORD.db", "recordtype, remarks"),
              (QStringList{"info|存图磁盘已经插入", "info|存图磁盘已拔出或是接触不良"}));
    window.reset();
    gpWarnBox = nullptr;
    Copy2MoveDisk::destroyInstance();
}

TEST_F(MainWindowTest, LostStickWithoutTheAlarmOnlyRecords)
{
    WarnBox warnBox;
    gpWarnBox = &warnBox;
    window = std::make_unique<MoJuWizard>(nullptr, 0);
    emit Copy2MoveDisk::getInstance()->diskStateChange(false);
    EXPECT_FALSE(warnBox.isVisible());
    window.reset();
    gpWarnBox = nullptr;
    Copy2MoveDisk::destroyInstance();
}

TEST(PictureHandOver, CamerasOfDifferentSizesEachHandTheirPictureOver)
{
    allocateFailImages({64 * 48 * 4, 32 * 24 * 4}, 1);
    CammerWidget large(0, 64, 48);
    CammerWidget small(1, 32, 24);
    const QDateTime now = QDateTime::currentDateTime();
    large.setStepResult(0, false, 2, now);
    small.setStepResult(0, true, 0, now);
    large.SaveFailImage(0, 0);
    small.SaveFailImage(0, 1);

    {
        QMutexLocker lock(pMutexSaveFail);
        EXPECT_EQ(QImage(gpFailImage[0][0][0], 64, 48, QImage::Format_RGB32), large.resultImage(0));
        EXPECT_EQ(QImage(gpFailImage[1][0][1], 32, 24, QImage::Format_RGB32), small.resultImage(0));
        EXPECT_EQ(gFailIndex[0][0], 2);
        EXPECT_EQ(gFailIndex[1][0], 0);
        EXPECT_EQ(gpFailImage[0][1][0], nullptr);
    }
    freeFailImages();
}

// However small the screen makes a camera's view, its picture shows whole (not squeezed) and its
// caption reads whole: the view writes the caption in its own type, sized to the picture.
TEST_F(MainWindowTest, CameraViewsShowTheirWholePictureAndCaption)
{
    initLanStr();   // the button column's captions, as the program shows them
    window = std::make_unique<MoJuWizard>(nullptr, 0);
    window->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(window.get()));
    window->Run();
    for (const CammerWidget* view : qAsConst(window->cameraViews)) {
        SCOPED_TRACE(view->cameraIndex());
        EXPECT_GE(view->height(), 300);   // the camera rows take the screen's height
        const QRect picture = view->pictureRect();
        EXPECT_TRUE(view->rect().contains(picture));
        EXPECT_NEAR(double(picture.width()) / picture.height(), 640.0 / 480.0, 0.01);
        const QRect caption = view->captionRect();
        EXPECT_TRUE(picture.contains(caption));
        const QFontMetrics metrics(view->captionFont());
        EXPECT_GE(metrics.height(), 16);
        EXPECT_LE(metrics.horizontalAdvance(view->captionText(1)), caption.width());
        EXPECT_TRUE(view->captionText(1).startsWith(QString("Camera %1  Step 2  ").arg(view->cameraIndex() + 1)));
    }
    EXPECT_TRUE(ScreenTest::saveShot(window.get(), "main_window_cameras"));

    // A view much narrower than its picture still fits the whole caption, in smaller type.
    CammerWidget narrow(0, 640, 480);
    narrow.resize(320, 400);
    const QFontMetrics small(narrow.captionFont());
    EXPECT_LE(small.horizontalAdvance(narrow.captionText(0)), narrow.captionRect().width());
    EXPECT_EQ(narrow.pictureRect(), QRect(0, 80, 320, 240));
}
