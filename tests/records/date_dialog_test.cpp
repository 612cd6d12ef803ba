// The date range dialog of the statistics export, touched as an operator does: the arrows beside
// each date, a touch on a part of the date, and the confirm button.
#include "base/lanstr.h"
#include "records/dateseletdialog.h"
#include "screen_support.h"
#include "support/testenv.h"

#include <QDateEdit>
#include <QLineEdit>
#include <QPushButton>
#include <gtest/gtest.h>

QT_BEGIN_NAMESPACE
inline void PrintTo(const QDate& date, std::ostream* os)
{
    *os << date.toString(Qt::ISODate).toStdString();
}
QT_END_NAMESPACE

namespace {

// Touches a date edit at x (its own coordinates), halfway down.
void touchAt(QDateEdit* edit, int x)
{
    QTest::mouseClick(edit->window()->windowHandle(), Qt::LeftButton, {}, edit->mapTo(edit->window(), QPoint(x, edit->height() / 2)),
                      QApplication::doubleClickInterval() + 50);
}

// The arrows lie at the ends of the edit, 50 pixels wide: ◀ steps back, ▶ forward.
void touchArrow(QDateEdit* edit, bool forward)
{
    touchAt(edit, forward ? edit->width() - 25 : 25);
}

// Touches the middle of the characters [first, first + count) of the shown date.
void touchText(QDateEdit* edit, int first, int count)
{
    const QLineEdit* line = edit->findChild<QLineEdit*>();
    const QString text = line->text();
    const QFontMetrics metrics(line->font());
    const int left = line->geometry().left() + (line->width() - metrics.horizontalAdvance(text)) / 2;
    touchAt(edit, left + metrics.horizontalAdvance(text.left(first)) + metrics.horizontalAdvance(text.mid(first, count)) / 2);
}

QString marked(const QDateEdit* edit)
{
    return edit->findChild<QLineEdit*>()->selectedText();
}

}  // namespace

TEST(DateDialog, ArrowsStepTheShownDayUntilAnotherPartIsTouchedAndAStartAfterTheEndIsRefused)
{
    initLanStr();
    ScreenTest::placeImages();
    DateSeletDialog dialog(nullptr, QDate(2026, 3, 30));
    dialog.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&dialog));
    QDateEdit* start = dialog.startEdit();
    ASSERT_EQ(start->date(), QDate(2026, 3, 30));
    EXPECT_EQ(marked(start), "30");
    EXPECT_EQ(marked(dialog.endEdit()), "30");

    // Three taps on ▶ go three days on, into the next month; the day stays marked.
    for (int i = 0; i < 3; ++i)
        touchArrow(start, true);
    EXPECT_EQ(start->date(), QDate(2026, 4, 2));
    EXPECT_EQ(start->currentSection(), QDateTimeEdit::DaySection);
    EXPECT_EQ(marked(start), "02");
    EXPECT_EQ(marked(dialog.endEdit()), "30");   // the other date keeps its mark
    EXPECT_EQ(dialog.mode(), DateSeletDialog::Custom);
    EXPECT_TRUE(ScreenTest::saveShot(&dialog, "date_dialog_day_stepped"));

    // The month touched, the arrows step the month, and it is marked.
    touchText(start, 5, 2);
    EXPECT_TRUE(TestEnv::waitUntil([&] { return marked(start) == "04"; }, 2000)) << marked(start).toStdString();
    touchArrow(start, false);
    EXPECT_EQ(start->date(), QDate(2026, 3, 2));
    EXPECT_EQ(marked(start), "03");

    // A start after the end: said so, and the dialog stays for another choice.
    dialog.endEdit()->setDate(QDate(2026, 1, 15));
    ScreenTest::ModalAnswerer boxes;
    boxes.expectClick("WarnBox", "confirm");
    dialog.findChild<QPushButton*>("confirm")->click();
    EXPECT_TRUE(boxes.waitAllAnswered());
    EXPECT_EQ(boxes.texts(), QStringList{"开始时间不能晚于结束时间"});
    EXPECT_TRUE(dialog.isVisible());
    EXPECT_NE(dialog.result(), QDialog::Accepted);

    dialog.endEdit()->setDate(QDate(2026, 3, 2));
    dialog.findChild<QPushButton*>("confirm")->click();
    EXPECT_EQ(dialog.result(), QDialog::Accepted);
    EXPECT_EQ(dialog.getDays(), qMakePair(QString("2026-03-02"), QString("2026-03-02")));
}
