// The statistics export through the real command runner: the stand-in exporter (or a script in
// its place) runs for real, the stick is a folder listed as mounted in a fake "/proc/mounts",
// and "sync" is only recorded.
#include "base/appclock.h"
#include "base/lanstr.h"
#include "detection/mojuwizard.h"
#include "records/copy2movedisk.h"
#include "records/dateseletdialog.h"
#include "records/exportresultworker.h"
#include "records/resstatisticsparam.h"
#include "records/statisticswidget.h"
#include "screen_support.h"
#include "stats_support.h"
#include "support/testenv.h"
#include "vision/wizardpara.h"
#include "widgets/publictools_widget.h"

#include <QButtonGroup>
#include <QDateEdit>
#include <QLabel>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <gtest/gtest.h>
#include <signal.h>

#include <memory>

namespace {

const QDate kToday(2024, 1, 10);
const QString kExporter = ExportResultWorker::exporterPath();

QJsonObject dayJson(const QString& date)
{
    CountGroupList day;
    day.date = date;
    CountGroup group;
    ResStatisticsParam::initStuCountGroup(group, "A");
    ResStatisticsParam::repairGroup(group, 2, 2);
    group.allCameras.cycle.OK[1] = 3;
    day.groups.push_back(group);
    return ResStatisticsParam::StuCountToJson(day);
}

void writeArchives(int firstDay, int lastDay)
{
    QDir().mkpath("ResStatistics");
    for (int d = firstDay; d <= lastDay; ++d) {
        const QString date = QDate(2024, 1, d).toString("yyyy-MM-dd");
        QFile::remove("ResStatistics/" + date + ".db");
        ASSERT_TRUE(StatsTest::writeDayFile("ResStatistics/" + date + ".db", dayJson(date)));
    }
}

void writeScript(const QString& path, const QByteArray& body)
{
    QFile::remove(path);
    TestEnv::writeText(path, "#!/bin/sh\n" + body);
    QFile::setPermissions(path, QFile::permissions(path) | QFileDevice::ExeOwner);
}

// Folders directly inside a folder.
QStringList foldersIn(const QString& path)
{
    return QDir(path).entryList(QDir::Dirs | QDir::NoDotAndDotDot, QDir::Name);
}

class StatisticsExport : public StatsTest::ShapeTest {
protected:
    void SetUp() override
    {
        ShapeTest::SetUp();
        initLanStr();
        ASSERT_TRUE(m_root.isValid());
        plugStick(true);
        QDir().mkpath(stick());
        QDir().mkpath(QFileInfo(kExporter).path());
        ASSERT_TRUE(QFile::link(MOULD_EXPORTER_STAND_IN, kExporter));
        writeArchives(3, 9);

        AppClock::setNow(QDateTime(kToday, QTime(10, 0)));
        window = std::make_unique<MoJuWizard>(nullptr, 0);
        model = ResStatisticsParam::getInstance();
        screen = StatisticsWidget::instance;
        ASSERT_NE(screen, nullptr);
        // Today's file as the model stores it every minute.
        model->checkDate();
        ASSERT_TRUE(TestEnv::waitUntil([] { return !StatsTest::readDayText("ResStatistics.db").isEmpty(); }, 10000));

        QObject::connect(screen, &StatisticsWidget::sigExportProgress, [this](int, int) {
            labels << window->exportLabel()->text();
            timerDuringExport = timerDuringExport || model->isTimerActive();
        });
        QObject::connect(screen, &StatisticsWidget::sigExportDataFinish, [this] { labels << window->exportLabel()->text(); });
    }
    void TearDown() override
    {
        window.reset();
        Copy2MoveDisk::destroyInstance();
        ShapeTest::TearDown();
    }

    QString stick() const { return m_root.path() + "/mnt"; }

    void plugStick(bool plugged)
    {
        TestEnv::writeText(m_root.path() + "/proc/mounts",
                           "proc /proc proc rw 0 0\n"
                               + (plugged ? "/dev/sdb1 " + stick().toUtf8() + " vfat rw 0 0\n" : QByteArray()));
    }

    // Presses the export button and answers the date dialog with the given mode (or custom
    // dates); leaves the end box to finish().
    void startExport(int mode, const QDate& start = QDate(), const QDate& end = QDate())
    {
        boxes.expect([=](QWidget* box) {
            auto* dialog = qobject_cast<DateSeletDialog*>(box);
            ASSERT_NE(dialog, nullptr);
            if (start.isValid()) {
                dialog->startEdit()->setDate(start);
                dialog->endEdit()->setDate(end);
            } else {
                dialog->modeButtons()->button(mode)->click();
            }
            ScreenTest::clickIn(box, "confirm");
        });
        screen->SlotExportData();
    }

    // Waits for the end box, answers it and returns its text; notes whether the start note was
    // still up beside it.
    QString finish()
    {
        QString text;
        boxes.expect([&text, this](QWidget* box) {
            text = ScreenTest::boxText(box);
            for (const WarnBox* note : screen->findChildren<WarnBox*>()) {
                if (note != box && note->isVisible())
                    startNoteWithResult = true;
            }
            ScreenTest::clickIn(box, "confirm");
        });
        EXPECT_TRUE(boxes.waitAllAnswered(15000));
        return text;
    }

    // After every export, good or bad: idle again, the timer as the switch says, label empty.
    void expectIdleAgain(bool timerOn)
    {
        EXPECT_TRUE(screen->isExportIdle());
        EXPECT_EQ(model->isTimerActive(), timerOn);
        EXPECT_FALSE(timerDuringExport);
        ASSERT_FALSE(labels.isEmpty());
        EXPECT_EQ(labels.last(), "");
        EXPECT_EQ(window->exportLabel()->text(), "");
    }

    QTemporaryDir m_root{QDir::tempPath() + "/mouldstick-XXXXXX"};
    TestEnv::EnvGuard m_rootEnv{"MOULD_ROOT", m_root.path().toUtf8()};
    TestEnv::EnvGuard m_panel{"MOULD_PANEL", QByteArray()};
    TestEnv::EnvGuard m_commandLog{"MOULD_COMMAND_LOG", (TestEnv::workDir() + "/commands.log").toUtf8()};
    TestEnv::EnvGuard m_cycle{"MOULD_SIM_CYCLE_MS", "3600000"};
    TestEnv::EnvGuard m_ng{"MOULD_SIM_NG_EVERY", "0"};
    std::unique_ptr<MoJuWizard> window;
    ResStatisticsParam* model = nullptr;
    StatisticsWidget* screen = nullptr;
    ScreenTest::ModalAnswerer boxes;
    QStringList labels;
    bool timerDuringExport = false;
    bool startNoteWithResult = false;
};

}  // namespace

TEST(ExportFiles, ArchivesOfTheRangeInNameOrderThenTheRunningDay)
{
    writeArchives(3, 9);
    TestEnv::writeText("ResStatistics/notes.db", "");
    TestEnv::writeText("ResStatistics/2024-13-01.db", "");
    const auto files = [](const QDate& start, const QDate& end, const QDate& running) {
        return ExportResultWorker::dayFiles(start, end, running);
    };
    // No running day file yet: nothing of today.
    EXPECT_TRUE(files(kToday, kToday, kToday).isEmpty());
    TestEnv::writeText("ResStatistics.db", "");

    DateSeletDialog oneDay(nullptr, kToday);
    EXPECT_EQ(oneDay.mode(), DateSeletDialog::OneDay);
    EXPECT_EQ(oneDay.getDays(), qMakePair(QString("2024-01-10"), QString("2024-01-10")));
    EXPECT_EQ(files(kToday, kToday, kToday), QStringList{"./ResStatistics.db"});

    DateSeletDialog week(nullptr, kToday);
    week.modeButtons()->button(DateSeletDialog::SevenDays)->click();
    const auto range = week.getDays();
    EXPECT_EQ(range.first, "2024-01-04");
    const QStringList weekFiles = files(QDate::fromString(range.first, "yyyy-MM-dd"), kToday, kToday);
    EXPECT_EQ(weekFiles, (QStringList{"./ResStatistics/2024-01-04.db", "./ResStatistics/2024-01-05.db",
                                      "./ResStatistics/2024-01-06.db", "./ResStatistics/2024-01-07.db",
                                      "./ResStatistics/2024-01-08.db", "./ResStatistics/2024-01-09.db",
                                      "./ResStatistics.db"}));

    // After midnight the running production day is still yesterday's date.
    EXPECT_EQ(files(kToday, kToday, kToday.addDays(-1)), QStringList{});
    EXPECT_EQ(files(kToday.addDays(-1), kToday.addDays(-1), kToday.addDays(-1)),
              (QStringList{"./ResStatistics/2024-01-09.db", "./ResStatistics.db"}));
    // Start after end: nothing.
    EXPECT_TRUE(files(kToday, kToday.addDays(-3), kToday).isEmpty());

    // Editing a date of a preset range turns it into a custom one.
    week.startEdit()->setDate(QDate(2024, 1, 1));
    EXPECT_EQ(week.mode(), DateSeletDialog::Custom);
    EXPECT_EQ(week.getDays().first, "2024-01-01");
}

TEST(ExportFiles, OnlyLinesBeginningWithDoneCountAsFinishedFiles)
{
    const QString program = TestEnv::workDir() + "/lines.sh";
    writeScript(program, "echo Done\necho 'Done ./a.db'\necho 'done ./b.db'\necho 'not Done'\necho Doneness\n");
    SystemCommandRunner::registerStandIn(program);
    ExportResultWorker worker;
    worker.total = 3;
    QSignalSpy progress(&worker, &ExportResultWorker::exportProgress);
    EXPECT_TRUE(worker.exportToHistogram(program, {"x"}, 10000).ok());
    EXPECT_EQ(worker.done, 3);
    ASSERT_EQ(progress.count(), 3);
    EXPECT_EQ(progress.at(2).at(0).toInt(), 3);
    EXPECT_EQ(progress.at(2).at(1).toInt(), 3);
}

TEST(ExportFiles, ACopyMakesNothingWhereTheStampFolderHasGone)
{
    TestEnv::writeText("out/sub/a.csv", "1,2\n");
    TestEnv::writeText("out/b.csv", "3\n");
    // The stick was pulled after its stamp folder was made: the mount point is bare.
    EXPECT_FALSE(ExportResultWorker::copyFolder("out", "mnt/stamp/out"));
    EXPECT_FALSE(QFileInfo::exists("mnt"));

    QDir().mkpath("mnt/stamp");
    ASSERT_TRUE(ExportResultWorker::copyFolder("out", "mnt/stamp/out"));
    QFile copied("mnt/stamp/out/sub/a.csv");
    ASSERT_TRUE(copied.open(QIODevice::ReadOnly));
    EXPECT_EQ(copied.readAll(), "1,2\n");
    EXPECT_TRUE(QFile::exists("mnt/stamp/out/b.csv"));
}

TEST_F(StatisticsExport, SevenDaysGoToAStampedFolderOnTheStick)
{
    // The main window's corner, as the operator reads the progress there.
    window->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(window.get()));
    bool pictured = false;
    QObject::connect(screen, &StatisticsWidget::sigExportProgress, [this, &pictured](int, int done) {
        if (done != 3 || pictured)
            return;
        pictured = true;
        EXPECT_GE(QFontInfo(window->exportLabel()->font()).pixelSize(), 20);
        const QRect corner(window->width() - 640, window->height() - 160, 640, 160);
        EXPECT_TRUE(ScreenTest::saveShot(window.get(), "export_progress", corner));
    });

    startExport(DateSeletDialog::SevenDays);
    EXPECT_FALSE(screen->isExportIdle());
    // The start note does not wait for an answer.
    const auto notes = screen->findChildren<WarnBox*>();
    ASSERT_EQ(notes.size(), 1);
    EXPECT_TRUE(notes.at(0)->isVisible());
    EXPECT_TRUE(notes.at(0)->text().startsWith("开始生产统计数据导出"));
    const QString ended = finish();
    EXPECT_EQ(ended, lanText(147));
    // The start note went when the result came, and does not show again after it.
    EXPECT_FALSE(startNoteWithResult);
    EXPECT_FALSE(notes.at(0)->isVisible());
    EXPECT_TRUE(pictured);

    ASSERT_GE(labels.size(), 3);
    EXPECT_EQ(labels.first(), "生产统计导出中0%");
    EXPECT_EQ(labels.at(labels.size() - 2), "生产统计导出中100%");
    EXPECT_EQ(labels.size(), 1 + 7 + 1);
    expectIdleAgain(true);

    const QStringList stamps = foldersIn(stick());
    ASSERT_EQ(stamps.size(), 1);
    EXPECT_TRUE(stamps.at(0).startsWith("2024-01-10_10.")) << stamps.at(0).toStdString();
    const QStringList results = foldersIn(stick() + "/" + stamps.at(0));
    ASSERT_EQ(results.size(), 1);
    const QStringList csv = QDir(stick() + "/" + stamps.at(0) + "/" + results.at(0)).entryList(QDir::Files, QDir::Name);
    EXPECT_EQ(csv, (QStringList{"2024-01-04.csv", "2024-01-05.csv", "2024-01-06.csv", "2024-01-07.csv",
                                "2024-01-08.csv", "2024-01-09.csv", "ResStatistics.csv"}));
    // Moved, not copied; the day files stay.
    EXPECT_TRUE(foldersIn("ResStatistics").isEmpty());
    EXPECT_TRUE(QFile::exists("ResStatistics/2024-01-04.db"));

    QFile log("commands.log");
    ASSERT_TRUE(log.open(QIODevice::ReadOnly));
    EXPECT_TRUE(log.readAll().split('\n').contains("sync"));
}

TEST_F(StatisticsExport, AfterMidnightOneDayIsTheRunningProductionDay)
{
    AppClock::setNow(QDateTime(kToday.addDays(1), QTime(2, 0)));
    boxes.expect([](QWidget* box) {
        auto* dialog = qobject_cast<DateSeletDialog*>(box);
        ASSERT_NE(dialog, nullptr);
        EXPECT_EQ(dialog->endEdit()->date(), kToday);
        ScreenTest::clickIn(box, "confirm");
    });
    screen->SlotExportData();
    EXPECT_EQ(finish(), lanText(147));
    EXPECT_EQ(labels.at(labels.size() - 2), "生产统计导出中100%");
    EXPECT_EQ(labels.size(), 3);   // 0%, 100%, cleared
    const QStringList stamps = foldersIn(stick());
    ASSERT_EQ(stamps.size(), 1);
    EXPECT_TRUE(stamps.at(0).startsWith("2024-01-11_02."));
}

TEST_F(StatisticsExport, TheNoStickQuestionRepeatsUntilAStickOrNo)
{
    plugStick(false);
    boxes.expect([](QWidget* box) {
        EXPECT_EQ(ScreenTest::boxText(box), lanText(320));
        ScreenTest::clickIn(box, "yes");
    });
    boxes.expect([this](QWidget* box) {
        plugStick(true);
        ScreenTest::clickIn(box, "yes");
    });
    boxes.expectClick("DateSeletDialog", "cancel");
    screen->SlotExportData();
    EXPECT_TRUE(boxes.waitAllAnswered());
    EXPECT_TRUE(screen->isExportIdle());
    EXPECT_TRUE(model->isTimerActive());

    plugStick(false);
    boxes.expectClick("ChooseBox", "no");
    screen->SlotExportData();
    EXPECT_TRUE(boxes.waitAllAnswered());
    EXPECT_TRUE(screen->isExportIdle());
    EXPECT_TRUE(foldersIn(stick()).isEmpty());
}

TEST_F(StatisticsExport, ASecondPressDuringAnExportOnlyAsksToWait)
{
    writeScript(kExporter, "while [ ! -e gate ]; do sleep 0.05; done\n"
                           "mkdir -p ResStatistics/out && echo r > ResStatistics/out/r.txt\necho Done\n");
    startExport(DateSeletDialog::OneDay);
    ASSERT_TRUE(TestEnv::waitUntil([this] { return !labels.isEmpty(); }));
    boxes.expect([](QWidget* box) {
        EXPECT_EQ(ScreenTest::boxText(box), lanText(654));
        ScreenTest::clickIn(box, "confirm");
    });
    screen->SlotExportData();
    EXPECT_TRUE(boxes.waitAllAnswered());
    EXPECT_FALSE(screen->isExportIdle());

    TestEnv::writeText("gate", "");
    EXPECT_EQ(finish(), lanText(147));
    expectIdleAgain(true);
    const QStringList stamps = foldersIn(stick());
    ASSERT_EQ(stamps.size(), 1);
    EXPECT_TRUE(QFile::exists(stick() + "/" + stamps.at(0) + "/out/r.txt"));
}

TEST_F(StatisticsExport, EveryFailureSaysWhatFailedAndLeavesTheStickAlone)
{
    struct Case {
        const char* name;
        std::function<void()> arrange;
        QString expected;
    };
    const QList<Case> cases{
        {"nothing in range", [] {}, "没有生产统计数据"},
        {"exporter missing", [] { QFile::remove(kExporter); }, "无法启动统计导出程序"},
        {"not a day file", [] { TestEnv::writeText("ResStatistics/2024-01-09.db", "garbage"); }, "返回错误码 1"},
        {"stick pulled", [this] {
             writeScript(kExporter, "printf 'proc /proc proc rw 0 0\\n' > \"$MOULD_ROOT/proc/mounts\"\n"
                                    "mkdir -p ResStatistics/out && echo r > ResStatistics/out/r.txt\necho Done\n");
         }, "U盘已拔出"},
        {"exporter hangs", [this] {
             writeScript(kExporter, "mkdir -p ResStatistics/half && echo r > ResStatistics/half/r.txt\n"
                                    "echo Done\nwhile true; do sleep 0.05; done\n");
             screen->exportWorker()->setExporterTimeoutMs(500);
         }, "超时"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        labels.clear();
        plugStick(true);
        writeArchives(9, 9);
        QFile::remove(kExporter);
        ASSERT_TRUE(QFile::link(MOULD_EXPORTER_STAND_IN, kExporter));
        c.arrange();
        if (QString(c.name) == "nothing in range")
            startExport(DateSeletDialog::Custom, kToday.addDays(-30), kToday.addDays(-30));
        else
            startExport(DateSeletDialog::SevenDays);
        const QString text = finish();
        EXPECT_TRUE(text.contains(c.expected)) << text.toStdString();
        expectIdleAgain(true);
        EXPECT_EQ(labels.first(), "生产统计导出中0%");
        EXPECT_TRUE(foldersIn(stick()).isEmpty());
        // Nothing the exporter made is left to be taken along by a later export.
        EXPECT_EQ(foldersIn("ResStatistics"), QStringList());
    }
}

TEST_F(StatisticsExport, TodaysExportHoldsAResultCountedASecondBeforeIt)
{
    AppClock::setNow(QDateTime(kToday, QTime(10, 0, 30)));
    model->addRecord(0, 10, {true, true}, false);
    model->addRecord(1, 10, {true, false}, true);
    AppClock::setNow(QDateTime(kToday, QTime(10, 0, 31)));
    startExport(DateSeletDialog::OneDay);
    EXPECT_EQ(finish(), lanText(147));

    const QStringList stamps = foldersIn(stick());
    ASSERT_EQ(stamps.size(), 1);
    const QString stamped = stick() + "/" + stamps.at(0);
    const QStringList results = foldersIn(stamped);
    ASSERT_EQ(results.size(), 1);
    QFile csv(stamped + "/" + results.at(0) + "/ResStatistics.csv");
    ASSERT_TRUE(csv.open(QIODevice::ReadOnly));
    // All cameras, whole cycle, hour slot 2 (10:00 of a day begun at 08:00): one NG.
    EXPECT_TRUE(csv.readAll().contains(",-1,-1,2,0,1\n"));
}

TEST_F(StatisticsExport, AfterAnExportTheTimerFollowsTheStatisticsSwitch)
{
    gpWPara->isUseStatistics = 0;
    startExport(DateSeletDialog::OneDay);
    EXPECT_EQ(finish(), lanText(147));
    expectIdleAgain(false);
}

TEST_F(StatisticsExport, StoppingDuringAnExportEndsTheExporterAndStillStoresTheDay)
{
    writeScript(kExporter, "mkdir -p ResStatistics/statistics_half && echo r > ResStatistics/statistics_half/a.csv\n"
                           "echo $$ > exporter.pid\nwhile true; do sleep 0.05; done\n");
    model->addRecord(0, 10, {true, true}, false);
    model->addRecord(1, 10, {true, true}, true);
    startExport(DateSeletDialog::OneDay);
    ASSERT_TRUE(TestEnv::waitUntil([] { return QFile::exists("exporter.pid"); }));
    QFile pidFile("exporter.pid");
    ASSERT_TRUE(TestEnv::waitUntil([&] { return QFileInfo(pidFile).size() > 0; }));
    ASSERT_TRUE(pidFile.open(QIODevice::ReadOnly));
    const pid_t pid = pidFile.readAll().trimmed().toInt();
    ASSERT_GT(pid, 0);
    EXPECT_FALSE(model->isTimerActive());

    window.reset();   // the program stops
    EXPECT_EQ(StatisticsWidget::instance, nullptr);
    // The exporter is gone (reaped by the runner, so no zombie answers the probe), and so is
    // its half-made output.
    EXPECT_NE(::kill(pid, 0), 0);
    EXPECT_FALSE(QFileInfo::exists("ResStatistics/statistics_half"));

    CountGroupList stored;
    ResStatisticsParam::StuCountFromJson(stored, StatsTest::readDay("ResStatistics.db"));
    ASSERT_FALSE(stored.groups.empty());
    EXPECT_EQ(stored.groups.front().allCameras.cycle.OK.value(2), 1);
}
