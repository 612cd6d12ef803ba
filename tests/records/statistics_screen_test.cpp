// The statistics screen on day files written by the statistics model itself: two cameras, two
// steps, OK and NG results in both shifts of two production days, one day without results.
#include "base/appclock.h"
#include "base/lanstr.h"
#include "records/histogram.h"
#include "records/resstatisticsparam.h"
#include "records/statisticswidget.h"
#include "screen_support.h"
#include "stats_support.h"
#include "support/testenv.h"
#include "widgets/publictools_widget.h"

#include <QDir>
#include <QFile>
#include <QListWidget>
#include <QScrollBar>
#include <QScroller>
#include <QSignalSpy>
#include <QSemaphore>
#include <QTabBar>
#include <QToolButton>
#include <gtest/gtest.h>

#include <atomic>
#include <climits>

namespace {

const QDate kFirstDay(2024, 1, 8);

QJsonObject storedSettings()
{
    return QJsonDocument::fromJson(TestEnv::readBytes("resstatistics.json")).object();
}

// Cycles of one clock hour: ok cycles where every camera passes, ng cycles where camera 2
// fails step 2 (so the cycle and all cameras fail, camera 1 and step 1 pass).
struct Hour {
    QDateTime at;
    int ok;
    int ng;
};

// One production day from 08:00 to 07:59 the next morning.
QList<Hour> daySchedule(const QDate& day, int seed)
{
    QList<Hour> hours;
    for (int k = 0; k < 24; ++k) {
        const int h = (8 + k) % 24;
        const QDate date = k < 16 ? day : day.addDays(1);
        hours.append({QDateTime(date, QTime(h, 20)), 4 + (h * seed) % 9, (h + seed) % 4});
    }
    return hours;
}

struct Totals {
    int ok[3] = {};
    int ng[3] = {};
};

Totals totalsOf(const QList<Hour>& schedule)
{
    Totals totals;
    for (const Hour& hour : schedule) {
        const int h = hour.at.time().hour();
        const int shift = h >= 8 && h < 20 ? 0 : 1;
        totals.ok[shift] += hour.ok;
        totals.ng[shift] += hour.ng;
        totals.ok[2] += hour.ok;
        totals.ng[2] += hour.ng;
    }
    return totals;
}

void record(ResStatisticsParam* model, const QList<Hour>& schedule)
{
    for (const Hour& hour : schedule) {
        AppClock::setNow(hour.at);
        for (int c = 0; c < hour.ok + hour.ng; ++c) {
            const bool ok = c < hour.ok;
            model->addRecord(0, hour.at.time().hour(), {true, true}, false);
            model->addRecord(1, hour.at.time().hour(), {true, ok}, true);
        }
    }
}

class StatisticsScreen : public StatsTest::ShapeTest {
protected:
    void SetUp() override
    {
        ShapeTest::SetUp();
        initLanStr();
        ScreenTest::placeImages();
        AppClock::setNow(QDateTime(kFirstDay, QTime(8, 5)));
        model = ResStatisticsParam::getInstance();
        model->init("A", gDNum);
        model->setTimer(true);

        // Day 1 with results, day 2 without, day 3 (today) with results until 23:20.
        record(model, daySchedule(kFirstDay, 5));
        rollTo(kFirstDay.addDays(1));
        rollTo(kFirstDay.addDays(2));
        today = daySchedule(kFirstDay.addDays(2), 7).mid(0, 16);
        record(model, today);

        screen = StatisticsWidget::getInstance();
        screen->createWidget({lanText(584), lanText(263), lanText(264)});
        // As the main window wires them.
        QObject::connect(screen, &StatisticsWidget::sigUpdateRecord, model, &ResStatisticsParam::slotUpdateRecord);
        QObject::connect(model, &ResStatisticsParam::sigLoadFinish, screen, &StatisticsWidget::slotUpdateRecord);
    }
    void TearDown() override
    {
        StatisticsWidget::destroyInstance();
        ResStatisticsParam::destroyInstance();
        ShapeTest::TearDown();
    }

    // Ends the running production day at 08:30 of the next and waits for its archive.
    void rollTo(const QDate& next)
    {
        const QString archive = QStringLiteral("ResStatistics/%1.db").arg(next.addDays(-1).toString("yyyy-MM-dd"));
        AppClock::setNow(QDateTime(next, QTime(8, 30)));
        model->checkDate();
        ASSERT_TRUE(TestEnv::waitUntil([&] { return !StatsTest::readDayText(archive).isEmpty(); }, 10000)) << archive.toStdString();
    }

    CameraStatisticsWidget* page(int tab, int index) const
    {
        auto* cameraTab = qobject_cast<CamereaTabWidget*>(screen->cameraTabs()->widget(tab));
        return cameraTab ? qobject_cast<CameraStatisticsWidget*>(cameraTab->widget(index)) : nullptr;
    }

    void showPage(int tab, int index)
    {
        screen->cameraTabs()->setCurrentIndex(tab);
        qobject_cast<QTabWidget*>(screen->cameraTabs()->widget(tab))->setCurrentIndex(index);
        QApplication::processEvents();
    }

    // The three values of every shift block against the totals.
    static void expectValues(const CameraStatisticsWidget* shown, const Totals& totals)
    {
        for (int shift = 0; shift < 3; ++shift) {
            SCOPED_TRACE(shift);
            EXPECT_EQ(shown->valueText(shift, 0), QString::number(totals.ok[shift] + totals.ng[shift]));
            EXPECT_EQ(shown->valueText(shift, 1), QString::number(totals.ok[shift]));
            EXPECT_EQ(shown->valueText(shift, 2), CameraStatisticsWidget::passRate(totals.ok[shift], totals.ng[shift]));
        }
    }

    // Pixels of the OK and NG colour a chart shows.
    static QPair<int, int> barPixels(Histogram* chart)
    {
        const QImage image = chart->grab().toImage();
        int green = 0;
        int red = 0;
        // Below the legend.
        for (int y = 40; y < image.height(); y += 2) {
            for (int x = 0; x < image.width(); x += 2) {
                const QColor c = image.pixelColor(x, y);
                green += c.green() > 200 && c.red() < 80 && c.blue() < 80;
                red += c.red() > 200 && c.green() < 80 && c.blue() < 80;
            }
        }
        return {green, red};
    }

    // Picks a listed day as a finger does and waits for the model's answer.
    void pickDay(const QString& date)
    {
        QListWidgetItem* item = screen->dayList()->findItems(date, Qt::MatchExactly).value(0);
        ASSERT_NE(item, nullptr) << date.toStdString();
        QSignalSpy loaded(model, &ResStatisticsParam::sigLoadFinish);
        screen->dayList()->setCurrentItem(item);
        ASSERT_TRUE(TestEnv::waitUntil([&] { return loaded.count() > 0 && !screen->isLoadingDay(); }, 10000));
        QApplication::processEvents();
    }

    // The new hours through the screen, as the operator confirms them.
    void confirmShiftHours(int morningStart, int morningEnd, int nightStart, int nightEnd)
    {
        ScreenTest::ModalAnswerer boxes;
        screen->show();
        screen->hourChooser(0)->setCurrentIndex(morningStart);
        screen->hourChooser(1)->setCurrentIndex(morningEnd);
        screen->hourChooser(2)->setCurrentIndex(nightStart);
        screen->hourChooser(3)->setCurrentIndex(nightEnd);
        boxes.expectClick("ChooseBox", "yes");
        screen->SlotConfirm();
        EXPECT_TRUE(boxes.waitAllAnswered());
        screen->show();
    }

    ResStatisticsParam* model = nullptr;
    StatisticsWidget* screen = nullptr;
    QList<Hour> today;
};

}  // namespace

TEST(PassRate, FourDigitsAndZeroWhenNothingWasCounted)
{
    EXPECT_EQ(CameraStatisticsWidget::passRate(2, 1), "66.67%");
    EXPECT_EQ(CameraStatisticsWidget::passRate(5, 0), "100%");
    EXPECT_EQ(CameraStatisticsWidget::passRate(0, 0), "0%");
    EXPECT_EQ(CameraStatisticsWidget::passRate(0, 4), "0%");
    EXPECT_EQ(CameraStatisticsWidget::passRate(999, 1), "99.9%");
    EXPECT_EQ(CameraStatisticsWidget::passRate(INT_MAX, INT_MAX), "50%");
}

TEST_F(StatisticsScreen, ShowsTodaysCountsPerCameraAndStepWithBothCharts)
{
    ScreenTest::ModalAnswerer boxes;
    screen->show();

    // Tabs: all cameras, then camera 1 and 2; pages: whole cycle, then step 1 and 2.
    ASSERT_EQ(screen->cameraTabs()->count(), 3);
    EXPECT_EQ(screen->cameraTabs()->tabText(0), lanText(585));
    EXPECT_EQ(screen->cameraTabs()->tabText(2), lanText(586).arg(2));
    EXPECT_EQ(screen->cameraTabs()->width(), 1738);
    for (int tab = 0; tab < 3; ++tab) {
        auto* cameraTab = qobject_cast<CamereaTabWidget*>(screen->cameraTabs()->widget(tab));
        ASSERT_EQ(cameraTab->count(), 3);
        EXPECT_EQ(cameraTab->camera(), (tab + 8) % 9);
        EXPECT_EQ(page(tab, 0)->step(), 8);
        EXPECT_EQ(page(tab, 2)->step(), 1);
    }

    // Today first, archives newest first.
    ASSERT_EQ(screen->dayList()->count(), 3);
    EXPECT_EQ(screen->dayList()->item(0)->text(), "2024-01-10");
    EXPECT_EQ(screen->dayList()->item(1)->text(), "2024-01-09");
    EXPECT_EQ(screen->dayList()->item(2)->text(), "2024-01-08");
    EXPECT_EQ(screen->groupChooser()->currentText(), "A");

    const Totals totals = totalsOf(today);
    expectValues(page(0, 0), totals);
    Totals allOK = totals;
    for (int shift = 0; shift < 3; ++shift) {
        allOK.ok[shift] += allOK.ng[shift];
        allOK.ng[shift] = 0;
    }
    showPage(1, 0);   // camera 1 passed every cycle
    expectValues(page(1, 0), allOK);
    showPage(2, 1);   // camera 2, step 1 passed
    expectValues(page(2, 1), allOK);
    showPage(2, 2);   // camera 2, step 2 failed the NG cycles
    expectValues(page(2, 2), totals);
    ASSERT_TRUE(ScreenTest::saveShot(screen, "statistics_camera2_step2"));

    // Hour bars: both colours in both shifts; the night chart counts until 23:00 only.
    showPage(0, 0);
    for (int shift = 0; shift < 2; ++shift) {
        const auto pixels = barPixels(page(0, 0)->chart(shift));
        EXPECT_GT(pixels.first, 2000) << shift;
        EXPECT_GT(pixels.second, 200) << shift;
    }
    EXPECT_EQ(page(0, 0)->chart(1)->hours(), (QList<int>{20, 21, 22, 23, 0, 1, 2, 3, 4, 5, 6, 7}));
    ASSERT_TRUE(ScreenTest::saveShot(screen, "statistics_today_all_cameras"));

    // A new result while today is shown appears at once.
    AppClock::setNow(QDateTime(kFirstDay.addDays(2), QTime(23, 40)));
    model->addRecord(0, 23, {true, true}, false);
    model->addRecord(1, 23, {true, false}, true);
    EXPECT_EQ(page(0, 0)->valueText(1, 0), QString::number(totals.ok[1] + totals.ng[1] + 1));
    EXPECT_EQ(page(0, 0)->valueText(2, 0), QString::number(totals.ok[2] + totals.ng[2] + 1));

    // Return with unchanged hours asks nothing (the answerer fails on any box).
    screen->SlotConfirm();
    EXPECT_FALSE(screen->isVisible());
    EXPECT_TRUE(boxes.waitAllAnswered(1000));
}

TEST_F(StatisticsScreen, PickingAnArchivedDayShowsItOnceTheModelHasLoadedIt)
{
    // A picked file that is not a day file shows zeros.
    TestEnv::writeText("ResStatistics/2024-01-07.db", "not a database");
    screen->show();
    QSignalSpy picked(screen, &StatisticsWidget::sigUpdateRecord);
    ASSERT_EQ(screen->dayList()->count(), 4);

    QListWidgetItem* first = screen->dayList()->item(2);
    ASSERT_EQ(first->text(), "2024-01-08");
    screen->dayList()->setCurrentItem(first);
    emit screen->dayList()->itemClicked(first);
    ASSERT_EQ(picked.count(), 1);
    EXPECT_EQ(picked.at(0).at(0).toInt(), 2);
    EXPECT_EQ(picked.at(0).at(1).toString(), QDir("./ResStatistics").absolutePath() + "//2024-01-08.db");

    const Totals day1 = totalsOf(daySchedule(kFirstDay, 5));
    const QString expected = QString::number(day1.ok[2] + day1.ng[2]);
    ASSERT_TRUE(TestEnv::waitUntil([&] { return page(0, 0)->valueText(2, 0) == expected; }, 10000));
    expectValues(page(0, 0), day1);
    // Its morning chart is drawn from that day.
    EXPECT_GT(barPixels(page(0, 0)->chart(0)).second, 200);
    ASSERT_TRUE(ScreenTest::saveShot(screen, "statistics_archived_day"));

    // Results counted now do not change an archived day on the screen.
    model->addRecord(0, 23, {true, false}, false);
    EXPECT_EQ(page(0, 0)->valueText(2, 0), expected);

    for (const char* day : {"2024-01-09", "2024-01-07"}) {
        QListWidgetItem* item = screen->dayList()->findItems(day, Qt::MatchExactly).value(0);
        ASSERT_NE(item, nullptr);
        screen->dayList()->setCurrentItem(item);
        emit screen->dayList()->itemClicked(item);
        ASSERT_TRUE(TestEnv::waitUntil([&] { return page(0, 0)->valueText(2, 0) == "0"; }, 10000)) << day;
        EXPECT_EQ(page(0, 0)->valueText(2, 2), "0%");
        EXPECT_EQ(barPixels(page(0, 0)->chart(0)).first, 0);
        if (QString(day) == "2024-01-09") {
            ASSERT_TRUE(ScreenTest::saveShot(screen, "statistics_day_without_counts"));
        }
    }
}

// Archived days are only read: a zero-byte file, one of the older row layout and a stored day
// all keep every byte when they are picked and shown.
TEST_F(StatisticsScreen, PickingAnArchivedDayLeavesItsFileByteForByte)
{
    TestEnv::writeText("ResStatistics/2024-01-05.db", "");
    ASSERT_TRUE(StatsTest::execOn("ResStatistics/2024-01-06.db",
                                  {StatsTest::createTable(), "INSERT INTO resstatistics VALUES ('C8_D8', '4 5 6', '1')"}));
    QMap<QString, QByteArray> before;
    for (const QString& name : QDir("ResStatistics").entryList(QDir::Files)) {
        QFile file("ResStatistics/" + name);
        ASSERT_TRUE(file.open(QIODevice::ReadOnly));
        before.insert(name, file.readAll());
    }
    ASSERT_EQ(before.size(), 4);
    screen->show();
    QSignalSpy loaded(model, &ResStatisticsParam::sigLoadFinish);
    for (int row = 1; row < screen->dayList()->count(); ++row) {
        QListWidgetItem* item = screen->dayList()->item(row);
        screen->dayList()->setCurrentItem(item);
        emit screen->dayList()->itemClicked(item);
        ASSERT_TRUE(TestEnv::waitUntil([&] { return loaded.count() == row; }, 10000)) << row;
        if (item->text() == "2024-01-06") {
            EXPECT_EQ(page(0, 0)->valueText(2, 1), "15");   // the older rows, read as they are
        }
    }
    for (auto it = before.cbegin(); it != before.cend(); ++it) {
        QFile file("ResStatistics/" + it.key());
        ASSERT_TRUE(file.open(QIODevice::ReadOnly));
        EXPECT_EQ(file.readAll(), it.value()) << it.key().toStdString();
    }
}

// Hour counts whose sum an int cannot hold are shown at the largest int, never negative.
TEST_F(StatisticsScreen, HugeHourCountsShowClampedTotals)
{
    CountGroupList day;
    day.date = "2024-01-04";
    CountGroup group;
    ResStatisticsParam::initStuCountGroup(group, "A");
    for (int slot = 0; slot < 4; ++slot)
        group.allCameras.cycle.OK[slot] = 2000000000;
    group.allCameras.cycle.NG[13] = 2000000000;
    day.groups.push_back(group);
    ASSERT_TRUE(StatsTest::writeDayFile("ResStatistics/2024-01-04.db", ResStatisticsParam::StuCountToJson(day)));
    screen->show();
    QSignalSpy loaded(model, &ResStatisticsParam::sigLoadFinish);
    QListWidgetItem* item = screen->dayList()->findItems("2024-01-04", Qt::MatchExactly).value(0);
    ASSERT_NE(item, nullptr);
    screen->dayList()->setCurrentItem(item);
    emit screen->dayList()->itemClicked(item);
    ASSERT_TRUE(TestEnv::waitUntil([&] { return loaded.count() == 1; }, 10000));
    EXPECT_EQ(page(0, 0)->valueText(0, 1), "2147483647");   // morning OK
    EXPECT_EQ(page(0, 0)->valueText(2, 0), "4147483647");   // whole day OK + NG
    EXPECT_EQ(page(0, 0)->valueText(2, 2), "51.78%");
}

TEST_F(StatisticsScreen, ChangedShiftHoursAreStoredOnlyWhenConfirmed)
{
    ScreenTest::ModalAnswerer boxes;
    screen->show();
    screen->hourChooser(1)->setCurrentIndex(18);   // morning ends at 18
    screen->hourChooser(2)->setCurrentIndex(18);   // night starts at 18

    boxes.expectClick("ChooseBox", "no");
    screen->SlotConfirm();
    EXPECT_TRUE(boxes.waitAllAnswered());
    EXPECT_FALSE(screen->isVisible());
    EXPECT_EQ(model->shiftHour(1), 20);

    screen->show();   // shows the stored hours again
    EXPECT_EQ(screen->hourChooser(1)->currentIndex(), 20);
    screen->hourChooser(1)->setCurrentIndex(18);
    screen->hourChooser(2)->setCurrentIndex(18);
    boxes.expect([](QWidget* box) {
        EXPECT_EQ(ScreenTest::boxText(box), lanText(234));
        ScreenTest::clickIn(box, "yes");
    });
    screen->SlotConfirm();
    EXPECT_TRUE(boxes.waitAllAnswered());

    // The database thread writes the file after the screen has gone on.
    ASSERT_TRUE(TestEnv::waitUntil([] { return storedSettings().value("morningsEnd").toInt() == 18; }, 20000));
    const QJsonObject stored = storedSettings();
    EXPECT_EQ(stored.value("morningsStart").toInt(), 8);
    EXPECT_EQ(stored.value("morningsEnd").toInt(), 18);
    EXPECT_EQ(stored.value("nightStart").toInt(), 18);
    EXPECT_EQ(stored.value("nightEnd").toInt(), 8);
    EXPECT_EQ(model->getShiftTimeList(ShiftMorning).size(), 10);
}

// Confirmed hours are in effect at once and handed to the file: the screen does not wait behind
// what the database thread has to do first (here held busy, as by many day loads), and the
// file gets them afterwards.
TEST_F(StatisticsScreen, ConfirmedShiftHoursDoNotWaitForTheDatabaseThread)
{
    QSemaphore release;
    std::atomic<bool> busy{false};
    std::atomic<bool> done{false};
    QMetaObject::invokeMethod(
        model->statisticsDatabase(),
        [&] {
            busy = true;
            release.tryAcquire(1, 20000);   // bounded, should the test never let it go
            done = true;
        },
        Qt::QueuedConnection);
    ASSERT_TRUE(TestEnv::waitUntil([&busy] { return busy.load(); }, 20000));

    ScreenTest::ModalAnswerer boxes;
    screen->show();
    screen->hourChooser(0)->setCurrentIndex(7);   // morning starts at 7
    boxes.expectClick("ChooseBox", "yes");
    screen->SlotConfirm();
    EXPECT_TRUE(boxes.waitAllAnswered());
    EXPECT_FALSE(done.load()) << "the save waited for the database thread";
    EXPECT_EQ(model->shiftHour(0), 7);
    screen->show();
    EXPECT_EQ(screen->hourChooser(0)->currentIndex(), 7);
    EXPECT_EQ(storedSettings().value("morningsStart").toInt(), 8);

    release.release();
    ASSERT_TRUE(TestEnv::waitUntil([] { return storedSettings().value("morningsStart").toInt() == 7; }, 20000));
    screen->hide();
}

TEST_F(StatisticsScreen, AtTheDayRollTheListShowsTheNewDayAndTheEndedOneBelowIt)
{
    screen->show();
    ASSERT_EQ(screen->dayList()->count(), 3);
    const Totals ended = totalsOf(today);

    AppClock::setNow(QDateTime(kFirstDay.addDays(3), QTime(8, 30)));
    model->checkDate();
    ASSERT_TRUE(TestEnv::waitUntil([this] { return screen->dayList()->count() == 4; }, 10000));
    EXPECT_EQ(screen->dayList()->item(0)->text(), "2024-01-11");
    EXPECT_EQ(screen->dayList()->item(1)->text(), "2024-01-10");
    EXPECT_EQ(screen->dayList()->item(2)->text(), "2024-01-09");
    EXPECT_EQ(screen->dayList()->currentRow(), 0);
    EXPECT_EQ(page(0, 0)->valueText(2, 0), "0");

    // Picked at once, the ended day shows its counts from the archive.
    QListWidgetItem* item = screen->dayList()->item(1);
    screen->dayList()->setCurrentItem(item);
    emit screen->dayList()->itemClicked(item);
    const QString expected = QString::number(ended.ok[2] + ended.ng[2]);
    ASSERT_TRUE(TestEnv::waitUntil([&] { return page(0, 0)->valueText(2, 0) == expected; }, 10000));
    ASSERT_TRUE(TestEnv::waitUntil([] { return QFile::exists("ResStatistics/2024-01-10.db"); }, 10000));

    // Listed once when the archive is there.
    screen->updateList();
    EXPECT_EQ(screen->dayList()->count(), 4);
}

// A month of archived days, each with its own counts: a finger drags the day list, and whatever
// moves the highlight (a drag, a tap, two quick taps), the counts shown are those of the
// highlighted day, never another's.
TEST_F(StatisticsScreen, TheDayListScrollsByFingerAndShowsTheHighlightedDaysCounts)
{
    QMap<QString, int> totals;   // whole-day OK + NG, all cameras, whole cycle
    for (int d = 1; d <= 30; ++d) {
        CountGroupList day;
        day.date = QDate(2023, 12, d).toString("yyyy-MM-dd");
        CountGroup group;
        ResStatisticsParam::initStuCountGroup(group, "A");
        group.allCameras.cycle.OK[2] = 100 + d;
        group.allCameras.cycle.NG[3] = d;
        day.groups.push_back(group);
        ASSERT_TRUE(StatsTest::writeDayFile("ResStatistics/" + day.date + ".db", ResStatisticsParam::StuCountToJson(day)));
        totals.insert(day.date, 100 + 2 * d);
    }
    const Totals first = totalsOf(daySchedule(kFirstDay, 5));
    const Totals running = totalsOf(today);
    totals.insert("2024-01-08", first.ok[2] + first.ng[2]);
    totals.insert("2024-01-09", 0);
    totals.insert("2024-01-10", running.ok[2] + running.ng[2]);

    screen->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(screen));
    QListWidget* list = screen->dayList();
    ASSERT_EQ(list->count(), 33);
    QWindow* window = screen->windowHandle();
    QScroller* scroller = QScroller::scroller(list->viewport());
    QSignalSpy loaded(model, &ResStatisticsParam::sigLoadFinish);
    const auto shownTotal = [this] { return page(0, 0)->valueText(2, 0); };
    const auto highlightedTotal = [&] { return QString::number(totals.value(list->currentItem()->text(), -1)); };
    const auto rowCentre = [list](int row) {
        return list->viewport()->mapTo(list->window(), list->visualItemRect(list->item(row)).center());
    };
    // Waits until no answer is due and the screen shows what it will show.
    const auto settled = [&] {
        return TestEnv::waitUntil([&] { return scroller->state() == QScroller::Inactive && !screen->isLoadingDay(); }, 10000);
    };

    // Two quick taps: an archived day, then today. The archived day's answer comes after today's
    // and must not replace it.
    QTest::mouseClick(window, Qt::LeftButton, {}, rowCentre(2));
    QTest::mouseClick(window, Qt::LeftButton, {}, rowCentre(0));
    ASSERT_TRUE(TestEnv::waitUntil([&] { return loaded.count() >= 2; }, 10000));
    ASSERT_TRUE(settled());
    TestEnv::spin(200);
    EXPECT_EQ(list->currentRow(), 0);
    EXPECT_EQ(shownTotal(), highlightedTotal());

    // A drag from low in the list upwards scrolls it; the highlight, wherever it is, is the day
    // shown.
    const QPoint start = list->viewport()->mapTo(screen, QPoint(100, list->viewport()->height() - 60));
    QTest::mousePress(window, Qt::LeftButton, {}, start);
    for (int step = 1; step <= 20; ++step) {
        QTest::qWait(15);
        QTest::mouseMove(window, start - QPoint(0, step * 30));
    }
    QTest::mouseRelease(window, Qt::LeftButton, {}, start - QPoint(0, 600));
    ASSERT_TRUE(settled());
    EXPECT_GT(list->verticalScrollBar()->value(), 300);
    EXPECT_EQ(shownTotal(), highlightedTotal()) << list->currentItem()->text().toStdString();

    // A tap on a day brought into view by the drag shows that day.
    const QListWidgetItem* tapped = list->itemAt(QPoint(100, list->viewport()->height() / 2));
    ASSERT_NE(tapped, nullptr);
    QTest::mouseClick(window, Qt::LeftButton, {}, list->viewport()->mapTo(screen, QPoint(100, list->viewport()->height() / 2)));
    ASSERT_TRUE(TestEnv::waitUntil([&] { return list->currentItem() == tapped; }, 5000));
    ASSERT_TRUE(settled());
    EXPECT_EQ(shownTotal(), highlightedTotal()) << tapped->text().toStdString();
    EXPECT_NE(shownTotal(), "");
    ASSERT_TRUE(ScreenTest::saveShot(screen, "statistics_day_list_dragged"));
}

// Each day keeps the hour it began at: after the morning start moves from 8 to 7, a day begun at
// 8 and one begun at 7 both show what was made at 10:00 under 10 and the NG of 22:00 under 22,
// and the shifts are split by the clock hour (with 早班 7 to 22, 22:00 is the night's).
TEST_F(StatisticsScreen, EachDayShowsItsCountsUnderTheClockHoursTheyWereMadeIn)
{
    for (const int start : {8, 7}) {
        CountGroupList day;
        day.date = start == 8 ? "2024-01-05" : "2024-01-06";
        CountGroup group;
        group.morningStart = start;
        ResStatisticsParam::initStuCountGroup(group, "A");
        group.allCameras.cycle.OK[10 - start] = 1123;
        group.allCameras.cycle.NG[22 - start] = 23;
        day.groups.push_back(group);
        ASSERT_TRUE(StatsTest::writeDayFile("ResStatistics/" + day.date + ".db", ResStatisticsParam::StuCountToJson(day)));
    }
    confirmShiftHours(7, 22, 22, 7);
    ASSERT_EQ(model->shiftHour(0), 7);

    for (const char* date : {"2024-01-05", "2024-01-06"}) {
        SCOPED_TRACE(date);
        pickDay(date);
        const Histogram* morning = page(0, 0)->chart(0);
        const Histogram* night = page(0, 0)->chart(1);
        ASSERT_EQ(morning->hours().value(3), 10);
        EXPECT_EQ(morning->okCounts().value(3), 1123);
        EXPECT_EQ(morning->okCounts().value(2), 0);   // nothing under 9
        ASSERT_EQ(night->hours().value(0), 22);
        EXPECT_EQ(night->ngCounts().value(0), 23);
        EXPECT_EQ(morning->ngCounts(), QVector<int>(15, 0).toList());
        // Morning: 1,123 good; night: the 23 NG; the day both.
        EXPECT_EQ(page(0, 0)->valueText(0, 0), "1123");
        EXPECT_EQ(page(0, 0)->valueText(1, 0), "23");
        EXPECT_EQ(page(0, 0)->valueText(1, 1), "0");
        EXPECT_EQ(page(0, 0)->valueText(2, 0), "1146");
        if (QString(date) == "2024-01-05") {
            ASSERT_TRUE(ScreenTest::saveShot(screen, "statistics_archived_day_own_hours"));
        }
    }

    // Today began at 8 before the change: its 23:20 results stand under 23 in the night.
    pickDay("2024-01-10");
    const Histogram* night = page(0, 0)->chart(1);
    ASSERT_EQ(night->hours().value(1), 23);
    EXPECT_EQ(night->okCounts().value(1) + night->ngCounts().value(1), today.last().ok + today.last().ng);
    screen->hide();
}

// With eight cameras the nine camera tabs are wider than the bar: each one is brought into view
// by arrows a finger hits and is then picked by a touch on it.
TEST_F(StatisticsScreen, EveryCameraTabOfEightCamerasIsReachedByFinger)
{
    StatisticsWidget::destroyInstance();
    numCamera = 8;
    screen = StatisticsWidget::getInstance();
    screen->createWidget({lanText(584), lanText(263), lanText(264)});
    QObject::connect(screen, &StatisticsWidget::sigUpdateRecord, model, &ResStatisticsParam::slotUpdateRecord);
    QObject::connect(model, &ResStatisticsParam::sigLoadFinish, screen, &StatisticsWidget::slotUpdateRecord);
    screen->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(screen));

    QTabBar* bar = screen->cameraTabs()->tabBar();
    ASSERT_EQ(bar->count(), 9);
    EXPECT_EQ(bar->tabText(8), lanText(586).arg(8));
    QToolButton* forward = nullptr;
    int visibleEnd = bar->width();   // the tabs are seen left of the arrows
    for (QToolButton* arrow : bar->findChildren<QToolButton*>()) {
        if (!arrow->isVisible())
            continue;
        EXPECT_GE(arrow->width(), 40);
        EXPECT_GE(arrow->height(), 40);
        visibleEnd = qMin(visibleEnd, arrow->x());
        if (arrow->arrowType() == Qt::RightArrow)
            forward = arrow;
    }
    for (int tab = 0; tab < bar->count(); ++tab) {
        SCOPED_TRACE(tab);
        for (int touches = 0; bar->tabRect(tab).right() >= visibleEnd && forward && touches < 10; ++touches)
            ScreenTest::touch(forward);
        const QRect rect = bar->tabRect(tab);
        ASSERT_GE(rect.left(), 0);
        ASSERT_LT(rect.right(), visibleEnd);
        QTest::mouseClick(screen->windowHandle(), Qt::LeftButton, {}, bar->mapTo(screen, rect.center()));
        EXPECT_EQ(screen->cameraTabs()->currentIndex(), tab);
    }
    ASSERT_TRUE(ScreenTest::saveShot(screen, "statistics_eight_cameras"));
    screen->hide();
}

// "早班: 从", "晚班: 从" and "到" are read whole and stand apart from the hour boxes they name.
TEST_F(StatisticsScreen, ShiftLabelsStandApartFromTheirHourBoxes)
{
    screen->show();
    const auto labelled = [this](const QString& text) {
        QList<QLabel*> found;
        for (QLabel* label : screen->findChildren<QLabel*>()) {
            if (label->text() == text)
                found << label;
        }
        return found;
    };
    const auto inScreen = [this](const QWidget* widget) {
        return QRect(widget->mapTo(screen, QPoint(0, 0)), widget->size());
    };
    const auto expectApart = [&](const QLabel* label, const QWidget* box) {
        EXPECT_LE(label->fontMetrics().horizontalAdvance(label->text()), label->width()) << label->text().toStdString();
        const QRect a = inScreen(label);
        const QRect b = inScreen(box);
        EXPECT_FALSE(a.adjusted(-1, -1, 1, 1).intersects(b)) << label->text().toStdString() << " touches its box";
    };
    const QList<QLabel*> from[2] = {labelled(QStringLiteral("早班: 从")), labelled(QStringLiteral("晚班: 从"))};
    const QList<QLabel*> to = labelled(QStringLiteral("到"));
    ASSERT_EQ(from[0].size(), 1);
    ASSERT_EQ(from[1].size(), 1);
    ASSERT_EQ(to.size(), 2);
    for (int shift = 0; shift < 2; ++shift) {
        SCOPED_TRACE(shift);
        QLabel* toLabel = inScreen(to.at(0)).left() < inScreen(to.at(1)).left() ? to.at(shift) : to.at(1 - shift);
        expectApart(from[shift].at(0), screen->hourChooser(2 * shift));
        expectApart(toLabel, screen->hourChooser(2 * shift));
        expectApart(toLabel, screen->hourChooser(2 * shift + 1));
    }
    screen->hide();
}
