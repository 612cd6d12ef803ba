#include "records/resstatisticsparam.h"
#include "records/statisticswidget.h"
#include "widgets/edit.h"
#include "widgets/editip.h"
#include "widgets/indexbutton.h"
#include "widgets/numberinput.h"
#include "widgets/numcharinput.h"
#include "widgets/publictools_widget.h"
#include "records/screen_support.h"
#include "support/testenv.h"

#include <QAbstractItemView>
#include <QApplication>
#include <QDialog>
#include <QPointer>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>
#include <gtest/gtest.h>

#include <functional>

namespace {

// Presses the named button of whatever modal box is up, as soon as one is.
void answerModal(const QString& buttonName)
{
    auto* timer = new QTimer;
    timer->setInterval(20);
    QObject::connect(timer, &QTimer::timeout, [timer, buttonName] {
        QWidget* modal = QApplication::activeModalWidget();
        if (!modal)
            return;
        if (auto* button = modal->findChild<QPushButton*>(buttonName)) {
            button->click();
        } else {
            ADD_FAILURE() << "no button " << buttonName.toStdString() << " in the box";
            modal->close();
        }
        timer->stop();
        timer->deleteLater();
    });
    timer->start();
}

}  // namespace

TEST(TouchKit, ChooseBoxAnswersOneForYesAndZeroForNo)
{
    ChooseBox box(nullptr, 750, 370);
    box.setText("question?");
    EXPECT_EQ(box.size(), QSize(750, 370));
    answerModal("yes");
    EXPECT_EQ(box.exec(), 1);
    answerModal("no");
    EXPECT_EQ(box.exec(), 0);
}

TEST(TouchKit, TouchingAnEditTypesIntoItThroughTheSharedKeypad)
{
    QWidget window;
    window.resize(600, 300);
    auto* days = new Edit(Edit::TypeInteger, &window, 1);
    auto* address = new EditIP("IP", 1, &window);
    address->move(0, 60);
    window.show();

    ASSERT_EQ(gpNumPad, nullptr);
    QTest::mouseClick(days, Qt::LeftButton);
    ASSERT_NE(gpNumPad, nullptr);
    EXPECT_TRUE(gpNumPad->isVisible());
    EXPECT_EQ(gpNumPad->target(), days);
    // Whole numbers: a sign only in front, no decimal point.
    for (const char* key : {"-", "4", "-", ".", "5", "7", "back"})
        gpNumPad->findChild<QPushButton*>(key)->click();
    EXPECT_EQ(days->text(), "-45");
    EXPECT_EQ(days->value(), -45);
    EXPECT_FALSE(gpNumPad->findChild<QPushButton*>(".")->isEnabled());

    QSignalSpy confirmed(gpNumPad, &NumberInput::sigConfirm);
    gpNumPad->press("ok");
    EXPECT_EQ(confirmed.count(), 1);
    EXPECT_FALSE(gpNumPad->isVisible());

    // The same keypad serves an address octet: 0 to 255, no sign, no point.
    NumberInput* pad = gpNumPad;
    QTest::mouseClick(address->octet(0), Qt::LeftButton);
    EXPECT_EQ(gpNumPad, pad);
    EXPECT_EQ(gpNumPad->target(), address->octet(0));
    EXPECT_FALSE(gpNumPad->findChild<QPushButton*>("-")->isEnabled());
    for (const char* key : {"-", "2", ".", "5", "6"})
        gpNumPad->press(key);
    EXPECT_EQ(address->octet(0)->text(), "25");
    gpNumPad->press("5");
    EXPECT_EQ(address->getAddress(), "255.0.0.0");
    EXPECT_EQ(days->text(), "-45");

    // Closing drops the shared keypad; the next touch builds a new one.
    QPointer<NumberInput> closed(gpNumPad);
    gpNumPad->close();
    TestEnv::waitUntil([&] { return closed.isNull(); }, 2000);
    EXPECT_TRUE(closed.isNull());
    EXPECT_EQ(gpNumPad, nullptr);
    days->setValue(12);
    EXPECT_EQ(days->text(), "12");
    QTest::mouseClick(days, Qt::LeftButton);
    ASSERT_NE(gpNumPad, nullptr);
    delete gpNumPad;
    EXPECT_EQ(gpNumPad, nullptr);
}

// A finger on the panel reaches the keypad through the window system, where a running modal
// dialog blocks every other window: the keypad of a dialog's field must still take touches, and
// must not stay on the screen, over the page below, once the dialog is gone.
TEST(TouchKit, TheKeypadOfAModalDialogTakesTouchesAndLeavesWithTheDialog)
{
    ASSERT_EQ(gpNumPad, nullptr);
    QPointer<NumberInput> pad;
    QString typed;
    {
        QDialog dialog;
        dialog.setModal(true);
        dialog.resize(400, 200);
        auto* days = new Edit(Edit::TypeInteger, &dialog, 1);
        days->setValue(31);
        QTimer::singleShot(0, &dialog, [&] {
            QTest::mouseClick(days, Qt::LeftButton);
            pad = gpNumPad;
            if (!pad || !QTest::qWaitForWindowExposed(pad)) {
                ADD_FAILURE() << "no keypad came up";
                dialog.reject();
                return;
            }
            for (const char* key : {"clear", "4", "2"}) {
                auto* button = pad->findChild<QPushButton*>(key);
                QTest::mouseClick(pad->windowHandle(), Qt::LeftButton, {}, button->mapTo(pad, button->rect().center()));
            }
            typed = days->text();
            dialog.accept();
        });
        EXPECT_EQ(dialog.exec(), QDialog::Accepted);
    }
    EXPECT_EQ(typed, "42");
    EXPECT_TRUE(pad.isNull());
    EXPECT_EQ(gpNumPad, nullptr);
    delete gpNumPad;
}

QRect globalRect(const QWidget* widget)
{
    return QRect(widget->mapToGlobal(QPoint(0, 0)), widget->size());
}

// Runs a modal dialog, as the screens run theirs: touches the field, and once the text keypad
// has come up lets work type on it, then closes the dialog. False when no keypad came.
bool typeInModalDialog(QDialog& dialog, Edit* field, const std::function<void(NumCharInput* pad)>& work)
{
    bool came = false;
    dialog.setModal(true);
    QTimer::singleShot(0, &dialog, [&] {
        QTest::mouseClick(field, Qt::LeftButton);
        NumCharInput* pad = gpNumCharPad;
        came = pad && QTest::qWaitForWindowExposed(pad);
        if (came)
            work(pad);
        dialog.accept();
    });
    dialog.exec();
    return came;
}

// Names, Wi-Fi networks and keys are text: a text field opens the text keypad, beside the field,
// with finger-sized keys, inside the modal dialog it belongs to.
TEST(TouchKit, ATextFieldTakesLettersDigitsAndSignsFromTheTextKeypad)
{
    ASSERT_EQ(gpNumCharPad, nullptr);
    QString typed;
    QString cancelled;
    QString capitals;
    {
        QDialog dialog;
        dialog.resize(900, 1000);
        auto* top = new Edit(Edit::TypeText, &dialog, 1);
        top->setGeometry(20, 40, 300, 50);
        auto* bottom = new Edit(Edit::TypeText, &dialog, 1);
        bottom->setGeometry(20, 900, 300, 50);
        bottom->setText("plant");
        ASSERT_TRUE(typeInModalDialog(dialog, top, [&](NumCharInput* pad) {
            EXPECT_EQ(gpNumPad, nullptr);
            EXPECT_FALSE(globalRect(pad).intersects(globalRect(top)));
            for (const QPushButton* key : pad->findChildren<QPushButton*>()) {
                EXPECT_GE(key->width(), 60) << key->objectName().toStdString();
                EXPECT_GE(key->height(), 60) << key->objectName().toStdString();
            }
            for (const char* key : {"p", "r", "e", "s", "s", "-", "4", "ok"})
                ScreenTest::touchKey(pad, key);
            typed = top->text();
            EXPECT_FALSE(pad->isVisible());

            // Capitals and the punctuation page; cancel puts back what the field held.
            QTest::mouseClick(bottom, Qt::LeftButton);
            EXPECT_FALSE(globalRect(pad).intersects(globalRect(bottom)));
            for (const char* key : {"back", "shift", "K", "k", "symbols", "#", "~", "space", "@"})
                ScreenTest::touchKey(pad, key);
            capitals = bottom->text();
            ScreenTest::touchKey(pad, "cancel");
            cancelled = bottom->text();
        }));
    }
    EXPECT_EQ(typed, "press-4");
    EXPECT_EQ(capitals, "planKk#~ @");
    EXPECT_EQ(cancelled, "plant");
    EXPECT_EQ(gpNumCharPad, nullptr);   // gone with its dialog
}

// Shift as on a phone: one tap for the next letter, a second tap locks capitals (and shows it),
// a third ends them; a key empties the field at once.
TEST(TouchKit, ShiftMakesTheNextLetterACapitalTwoTapsLockCapitalsAndClearEmptiesTheField)
{
    ASSERT_EQ(gpNumCharPad, nullptr);
    QStringList typed;
    QString lockedCaption;
    {
        QDialog dialog;
        dialog.resize(900, 700);
        auto* name = new Edit(Edit::TypeText, &dialog, 1);
        name->setGeometry(20, 40, 400, 50);
        name->setText("Werkhalle-3 West");
        ASSERT_TRUE(typeInModalDialog(dialog, name, [&](NumCharInput* pad) {
            ScreenTest::touchKey(pad, "clear");
            typed << name->text();
            for (const char* key : {"shift", "H", "a", "l", "l"})
                ScreenTest::touchKey(pad, key);
            typed << name->text();
            EXPECT_FALSE(pad->isShifted());
            for (const char* key : {"clear", "shift", "shift", "H", "A"})
                ScreenTest::touchKey(pad, key);
            lockedCaption = pad->findChild<QPushButton*>("shift")->text();
            EXPECT_TRUE(pad->isShifted());
            for (const char* key : {"L", "L", "shift", "a"})
                ScreenTest::touchKey(pad, key);
            typed << name->text();
        }));
    }
    EXPECT_EQ(typed, QStringList({"", "Hall", "HALLa"}));
    EXPECT_EQ(lockedCaption, "⇪");
    EXPECT_EQ(gpNumCharPad, nullptr);
}

TEST(TouchKit, ControlsKeepTheirValuesAndRowHeights)
{
    CheckBox box(nullptr, "store");
    box.setValue(7);
    EXPECT_EQ(box.value(), 1);
    box.setValue(0);
    EXPECT_EQ(box.value(), 0);

    ComboBox combo;
    combo.setItemHeight(50);
    combo.addItems({"a", "b"});
    EXPECT_EQ(combo.view()->sizeHintForRow(0), 50);
    // The open list shows its rows in the box's own type size, under a screen's style sheet too.
    QWidget screen;
    screen.setStyleSheet("QListWidget {font-size:22px;}");
    auto* hours = new ComboBox(&screen);
    QFont font = hours->font();
    font.setPixelSize(25);
    hours->setFont(font);
    hours->addItems({"7", "8"});
    screen.show();
    hours->showPopup();
    EXPECT_EQ(QFontInfo(hours->view()->font()).pixelSize(), 25);
    hours->hidePopup();

    IndexButton column;
    QSignalSpy statistics(&column, &IndexButton::sigStatistics);
    QSignalSpy settings(&column, &IndexButton::sigSettings);
    // The statistics button builds the statistics screen when nobody has and shows it.
    ASSERT_EQ(StatisticsWidget::instance, nullptr);
    column.statisticsButton()->click();
    ASSERT_NE(StatisticsWidget::instance, nullptr);
    EXPECT_TRUE(StatisticsWidget::instance->isVisible());
    EXPECT_EQ(StatisticsWidget::instance->parent(), nullptr);
    StatisticsWidget::destroyInstance();
    ResStatisticsParam::destroyInstance();
    EXPECT_EQ(statistics.count(), 1);
    EXPECT_EQ(settings.count(), 0);
    column.settingsButton()->click();
    EXPECT_EQ(settings.count(), 1);
}
