#pragma once

#include <QDate>
#include <QDialog>
#include <QPair>

class QButtonGroup;
class QDateEdit;

// Picks the date range of a statistics export: a custom range or the last day, 7 days, month,
// 6 months or year up to "today", which the caller gives as the running production day. The
// arrows of a date step its day unless the operator touched its month or year; the part they
// step is shown marked. A start after the end is refused with a message. GUI thread only.
class DateSeletDialog : public QDialog {
    Q_OBJECT
public:
    enum Mode { Custom = 0, OneDay, SevenDays, OneMonth, SixMonths, OneYear };

    explicit DateSeletDialog(QWidget* parent = nullptr, const QDate& today = QDate());

    void updateDate();
    // (start, end) as "yyyy-MM-dd".
    QPair<QString, QString> getDays() const;
    // The confirm button: accepts an ordered range, refuses a start after the end with a
    // message and stays open.
    void confirm();

    int mode() const { return m_mode; }
    QButtonGroup* modeButtons() const { return m_buttons; }
    QDateEdit* startEdit() const { return m_start; }
    QDateEdit* endEdit() const { return m_end; }

private:
    void dateEdited();

    int m_mode = OneDay;
    QDate m_today;
    QButtonGroup* m_buttons = nullptr;
    QDateEdit* m_start = nullptr;
    QDateEdit* m_end = nullptr;
};
