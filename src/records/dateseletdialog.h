#pragma once

#include <QDate>
#include <QDialog>
#include <QPair>

class QButtonGroup;
class QDateEdit;

// Picks the date range of a statistics export: a custom range or the last day, 7 days, month,
// 6 months or year up to "today", which the caller gives as the running production day.
class DateSeletDialog : public QDialog {
    Q_OBJECT
public:
    enum Mode { Custom = 0, OneDay, SevenDays, OneMonth, SixMonths, OneYear };

    explicit DateSeletDialog(QWidget* parent = nullptr, const QDate& today = QDate());

    void updateDate();
    // (start, end) as "yyyy-MM-dd"; start after end is not refused.
    QPair<QString, QString> getDays() const;

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
