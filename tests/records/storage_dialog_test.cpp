// The picture storage dialog, alone and opened from the settings page of the main window, with
// the days parameter as PARAM.db stores it.
#include "base/lanstr.h"
#include "config/wizardparawidget.h"
#include "detection/mojuwizard.h"
#include "records/copy2movedisk.h"
#include "records/dateseletdialog.h"
#include "records/saveimagesettingdailog.h"
#include "screen_support.h"
#include "support/fakecommandrunner.h"
#include "support/testenv.h"
#include "vision/wizardpara.h"
#include "widgets/edit.h"
#include "widgets/indexbutton.h"
#include "widgets/numberinput.h"
#include "widgets/publictools_widget.h"

#include <QAbstractButton>
#include <QButtonGroup>
#include <QGuiApplication>
#include <QPushButton>
#include <QScreen>
#include <QSqlQuery>
#include <gtest/gtest.h>

#include <memory>

namespace {

QString storedDays()
{
    QString value;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase("QSQLITE", "storagetest");
        db.setDatabaseName("PARAM.db");
        if (db.open()) {
            QSqlQuery query("select value from sysparam where name='days'", db);
            if (query.next())
                value = query.value(0).toString();
        }
        db.close();
    }
    QSqlDatabase::removeDatabase("storagetest");
    return value;
}

// The visible controls of a dialog: inside it and clear of each other.
void expectNoOverlap(QWidget* dialog)
{
    QList<QWidget*> controls;
    for (QWidget* child : dialog->findChildren<QWidget*>(QString(), Qt::FindDirectChildrenOnly)) {
        if (child->isVisible())
            controls << child;
    }
    ASSERT_GE(controls.size(), 6);
    for (int i = 0; i < controls.size(); ++i) {
        EXPECT_TRUE(dialog->rect().contains(controls.at(i)->geometry())) << controls.at(i)->metaObject()->className();
        for (int j = i + 1; j < controls.size(); ++j)
            EXPECT_FALSE(controls.at(i)->geometry().intersects(controls.at(j)->geometry()))
                << controls.at(i)->metaObject()->className() << " / " << controls.at(j)->metaObject()->className();
    }
}

}  // namespace

TEST(StorageDialog, InitSetsOnlyThePresentKeysAndSaveMarksABadDayCount)
{
    initLanStr();
    ScreenTest::placeImages();
    SaveImageSettingDailog dialog;
    dialog.init(QJsonObject());
    EXPECT_EQ(dialog.daysEdit()->text(), "");
    EXPECT_EQ(dialog.diskBox()->value(), 0);
    EXPECT_EQ(dialog.alarmBox()->value(), 0);

    dialog.init({{"useDiskSaveImage", 1}});
    EXPECT_EQ(dialog.daysEdit()->text(), "");
    EXPECT_EQ(dialog.diskBox()->value(), 1);
    dialog.init({{"days", "many"}, {"lostUpanAlarm", 1}});
    EXPECT_EQ(dialog.daysEdit()->text(), "0");
    EXPECT_EQ(dialog.alarmBox()->value(), 1);
    EXPECT_EQ(dialog.diskBox()->value(), 1);

    for (const char* text : {"", "abc", "0", "-3", "2147483648", "4.5"}) {
        dialog.daysEdit()->setText(text);
        bool ok = true;
        dialog.getDays(&ok);
        EXPECT_FALSE(ok) << text;
        QJsonObject json;
        dialog.save(json);
        EXPECT_EQ(json.value("days").toInt(), -1) << text;
        EXPECT_EQ(json.value("useDiskSaveImage").toInt(), 1);
    }
    dialog.daysEdit()->setText("45");
    QJsonObject json;
    dialog.save(json);
    EXPECT_EQ(json, (QJsonObject{{"days", 45}, {"useDiskSaveImage", 1}, {"lostUpanAlarm", 1}}));

    // 600 x 300, and what it holds fits without overlapping.
    dialog.show();
    EXPECT_EQ(dialog.size(), QSize(600, 300));
    expectNoOverlap(&dialog);
    ASSERT_TRUE(ScreenTest::saveShot(&dialog, "storage_dialog"));

    DateSeletDialog dates(nullptr, QDate(2024, 1, 10));
    dates.modeButtons()->button(DateSeletDialog::SevenDays)->click();
    dates.show();
    ASSERT_TRUE(ScreenTest::saveShot(&dates, "date_dialog"));
}

// Day folders cannot be negative: the keypad offers no sign (nor a point), and a count out of
// range, such as a negative one stored earlier, is refused with a message while the dialog stays.
TEST(StorageDialog, TheDaysKeypadOffersNoSignAndACountOutOfRangeIsRefusedWithTheDialogOpen)
{
    initLanStr();
    ScreenTest::placeImages();
    ScreenTest::ModalAnswerer boxes;
    SaveImageSettingDailog dialog;
    dialog.init({{"days", -5}, {"useDiskSaveImage", 1}, {"lostUpanAlarm", 0}});
    QString typed;
    boxes.expect([&](QWidget* box) {
        boxes.expectClick("WarnBox", "confirm");
        ScreenTest::clickIn(box, "confirm");   // returns once the message is answered
        EXPECT_TRUE(dialog.isVisible());

        ScreenTest::touch(dialog.daysEdit());
        NumberInput* pad = gpNumPad;
        ASSERT_NE(pad, nullptr);
        for (const char* absent : {"-", "."})
            EXPECT_FALSE(pad->findChild<QPushButton*>(absent)->isVisible()) << absent;
        for (const char* key : {"clear", "1", "2", "3", "4", "5", "ok"})
            ScreenTest::touchKey(pad, key);
        typed = dialog.daysEdit()->text();
        ScreenTest::clickIn(box, "confirm");
    });
    EXPECT_EQ(dialog.exec(), QDialog::Accepted);
    EXPECT_TRUE(boxes.waitAllAnswered());
    EXPECT_EQ(boxes.texts().value(1), "储存天数须为1到9999之间的整数");
    EXPECT_EQ(typed, "1234");   // a fifth digit would pass the largest count
    QJsonObject json;
    dialog.save(json);
    EXPECT_EQ(json.value("days").toInt(), 1234);
    delete gpNumPad;
}

// The days keypad leaves the dialog's buttons and boxes free: 取消 stays in reach while typing.
TEST(StorageDialog, TheDaysKeypadCoversNoneOfTheDialogsButtons)
{
    initLanStr();
    ScreenTest::placeImages();
    ScreenTest::ModalAnswerer boxes;
    SaveImageSettingDailog dialog;
    dialog.init({{"days", 31}, {"useDiskSaveImage", 1}, {"lostUpanAlarm", 1}});
    const auto globalRect = [](const QWidget* widget) { return QRect(widget->mapToGlobal(QPoint(0, 0)), widget->size()); };
    boxes.expect([&](QWidget* box) {
        ASSERT_TRUE(QTest::qWaitForWindowExposed(box));
        ScreenTest::touch(dialog.daysEdit());
        NumberInput* pad = gpNumPad;
        ASSERT_NE(pad, nullptr);
        ASSERT_TRUE(QTest::qWaitForWindowExposed(pad));
        const QRect keypad = globalRect(pad);
        EXPECT_TRUE(QGuiApplication::primaryScreen()->geometry().contains(keypad));
        EXPECT_FALSE(keypad.intersects(globalRect(dialog.daysEdit())));
        int buttons = 0;
        for (const QAbstractButton* button : dialog.findChildren<QAbstractButton*>()) {
            if (button->window() != &dialog)
                continue;   // the keypad's own keys
            ++buttons;
            EXPECT_FALSE(keypad.intersects(globalRect(button))) << button->text().toStdString();
        }
        EXPECT_EQ(buttons, 4);   // confirm, cancel and the two boxes
        EXPECT_TRUE(ScreenTest::saveShotOfWindows({&dialog, pad}, "picture_storage_keypad"));
        ScreenTest::touchKey(pad, "4");
        ScreenTest::clickIn(box, "cancel");
    });
    EXPECT_EQ(dialog.exec(), QDialog::Rejected);
    EXPECT_TRUE(boxes.waitAllAnswered());
    delete gpNumPad;
}

TEST(StorageDialog, ConfirmedDaysReachPARAMdbAndBadOnesKeepTheOldValue)
{
    initLanStr();
    TestEnv::EnvGuard cycle("MOULD_SIM_CYCLE_MS", "3600000");
    TestEnv::EnvGuard ng("MOULD_SIM_NG_EVERY", "0");
    FakeCommandRunner runner;
    ScreenTest::ModalAnswerer boxes;
    {
        auto window = std::make_unique<MoJuWizard>(nullptr, 0);
        window->findChild<IndexButton*>()->settingsButton()->click();
        WizardParaWidget* page = window->settingsPage();
        ASSERT_TRUE(page->isVisible());

        const auto confirmDays = [&](const QString& text, bool useDisk) {
            boxes.expect([&](QWidget* box) {
                auto* dialog = qobject_cast<SaveImageSettingDailog*>(box);
                ASSERT_NE(dialog, nullptr);
                dialog->daysEdit()->setText(text);
                dialog->diskBox()->setValue(useDisk);
                ScreenTest::clickIn(box, "confirm");
            });
            ScreenTest::clickIn(page, "pictureStorage");
            EXPECT_TRUE(boxes.waitAllAnswered());
            ScreenTest::clickIn(page, "confirm");
        };
        confirmDays("45", true);
        EXPECT_EQ(storedDays(), "45");
        EXPECT_EQ(Copy2MoveDisk::getInstance()->days(), 45);
        EXPECT_TRUE(Copy2MoveDisk::getInstance()->isRunning());
        confirmDays("", false);
        EXPECT_EQ(storedDays(), "45");
        EXPECT_FALSE(Copy2MoveDisk::getInstance()->isRunning());

        // A count out of range is refused with a message; the dialog stays open until cancelled.
        boxes.expect([&](QWidget* box) {
            auto* dialog = qobject_cast<SaveImageSettingDailog*>(box);
            ASSERT_NE(dialog, nullptr);
            dialog->daysEdit()->setText("0");
            boxes.expectClick("WarnBox", "confirm");
            ScreenTest::clickIn(box, "confirm");   // returns once the message is answered
            EXPECT_TRUE(dialog->isVisible());
            ScreenTest::clickIn(box, "cancel");
        });
        ScreenTest::clickIn(page, "pictureStorage");
        EXPECT_TRUE(boxes.waitAllAnswered());
        EXPECT_EQ(boxes.texts().last(), "储存天数须为1到9999之间的整数");
        ScreenTest::clickIn(page, "confirm");
        EXPECT_EQ(storedDays(), "45");

        // The dialog opens on the stored values; cancelling changes nothing.
        boxes.expect([](QWidget* box) {
            auto* dialog = qobject_cast<SaveImageSettingDailog*>(box);
            ASSERT_NE(dialog, nullptr);
            EXPECT_EQ(dialog->daysEdit()->text(), "45");
            EXPECT_EQ(dialog->diskBox()->value(), 0);
            dialog->daysEdit()->setText("7");
            ScreenTest::clickIn(box, "cancel");
        });
        ScreenTest::clickIn(page, "pictureStorage");
        EXPECT_TRUE(boxes.waitAllAnswered());
        EXPECT_EQ(gpWParaBak->days, 45);
    }
    Copy2MoveDisk::destroyInstance();
}
