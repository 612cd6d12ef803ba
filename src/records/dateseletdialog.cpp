#include "records/dateseletdialog.h"

#include "base/appclock.h"
#include "widgets/publictools_widget.h"

#include <QButtonGroup>
#include <QDateEdit>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QVBoxLayout>

namespace {

const QString kDateFormat = QStringLiteral("yyyy-MM-dd");

// A date whose arrows step the day (across months and years) until the operator touches the
// month or the year, and which keeps the part its arrows step marked, focused or not. Qt's edit
// steps the year first and marks nothing until it has focus, so the arrows turned years while
// the operator meant days.
class DayFirstDateEdit : public QDateEdit {
public:
    DayFirstDateEdit(const QDate& date, QWidget* parent) : QDateEdit(date, parent)
    {
        // A touch on the text moves the cursor, and with it the part the arrows step. The edit
        // also drops its selection now and then (after showing, after another widget took the
        // focus): the mark is put back each time, once the edit is done.
        connect(lineEdit(), &QLineEdit::cursorPositionChanged, this, [this] { markPicked(); }, Qt::QueuedConnection);
        connect(lineEdit(), &QLineEdit::selectionChanged, this, [this] { markPicked(); }, Qt::QueuedConnection);
        connect(this, &QDateTimeEdit::dateChanged, this, [this] { markPicked(); });
    }

    void markPicked()
    {
        const Section section = currentSection() == NoSection ? DaySection : currentSection();
        if (lineEdit()->selectedText().size() != sectionText(section).size() || currentSection() != section)
            setSelectedSection(section);
    }

    void stepBy(int steps) override
    {
        if (currentSection() == DaySection)
            setDate(date().addDays(steps));
        else
            QDateEdit::stepBy(steps);
        markPicked();
    }

protected:
    StepEnabled stepEnabled() const override
    {
        if (currentSection() != DaySection)
            return QDateEdit::stepEnabled();
        StepEnabled enabled = StepNone;
        if (date() < maximumDate())
            enabled |= StepUpEnabled;
        if (date() > minimumDate())
            enabled |= StepDownEnabled;
        return enabled;
    }

    // Taking the focus other than by a touch makes Qt pick the year; the part picked stays.
    void focusInEvent(QFocusEvent* event) override
    {
        const Section picked = currentSection();
        QDateEdit::focusInEvent(event);
        if (picked != NoSection)
            setCurrentSection(picked);
        markPicked();
    }

    void focusOutEvent(QFocusEvent* event) override
    {
        QDateEdit::focusOutEvent(event);
        markPicked();
    }
};

QDateEdit* dateEdit(const QDate& today, QWidget* parent)
{
    auto* edit = new DayFirstDateEdit(today, parent);
    edit->setDisplayFormat(kDateFormat);
    QFont font(QStringLiteral("wenquanyi"));
    font.setPixelSize(30);
    edit->setFont(font);
    edit->setFixedSize(330, 50);
    edit->setAlignment(Qt::AlignCenter);
    edit->setStyleSheet(
        QStringLiteral("QDateEdit::up-button{subcontrol-origin:border;subcontrol-position:right;"
                       "image: url(./images/right.png);width: %1px;height: %1px;}"
                       "QDateEdit::down-button {subcontrol-origin:border;subcontrol-position:left;"
                       "image: url(./images/left.png);width: %1px;height: %1px;}")
            .arg(50));
    edit->setCurrentSection(QDateTimeEdit::DaySection);
    edit->markPicked();
    return edit;
}

}  // namespace

DateSeletDialog::DateSeletDialog(QWidget* parent, const QDate& today)
    : QDialog(parent, Qt::Dialog | Qt::CustomizeWindowHint)
    , m_today(today.isValid() ? today : AppClock::now().date())
{
    setStyleSheet(QStringLiteral("QRadioButton{font-size:33px;}QRadioButton::indicator{width:28px;height:28px;}"
                                 "QPushButton{font-size:33px;}QLabel{font-size:33px;}"));
    auto* column = new QVBoxLayout(this);
    column->setSizeConstraint(QLayout::SetFixedSize);

    auto* modeRow = new QHBoxLayout;
    modeRow->addWidget(new QLabel(tr("时间："), this));
    m_buttons = new QButtonGroup(this);
    const QStringList captions{tr("自定义"), tr("1天"), tr("7天"), tr("1个月"), tr("6个月"), tr("1年")};
    for (int id = 0; id < captions.size(); ++id) {
        auto* button = new QRadioButton(captions.at(id), this);
        button->setFixedSize(150, 50);
        m_buttons->addButton(button, id);
        modeRow->addWidget(button);
    }
    column->addLayout(modeRow);

    m_start = dateEdit(m_today, this);
    m_end = dateEdit(m_today, this);
    const auto dateRow = [this, column](const QString& caption, QDateEdit* edit) {
        auto* row = new QHBoxLayout;
        row->addWidget(new QLabel(caption, this));
        row->addWidget(edit);
        row->addStretch(1);
        column->addLayout(row);
    };
    dateRow(tr("开始时间"), m_start);
    dateRow(tr("结束时间"), m_end);

    auto* buttonRow = new QHBoxLayout;
    auto* confirm = new QPushButton(tr("确定"), this);
    auto* cancel = new QPushButton(tr("取消"), this);
    confirm->setObjectName(QStringLiteral("confirm"));
    cancel->setObjectName(QStringLiteral("cancel"));
    for (QPushButton* button : {confirm, cancel}) {
        button->setFixedSize(150, 50);
        buttonRow->addWidget(button);
    }
    column->addLayout(buttonRow);

    connect(confirm, &QPushButton::pressed, this, &DateSeletDialog::confirm);
    connect(cancel, &QPushButton::pressed, this, &QDialog::reject);
    connect(m_buttons, &QButtonGroup::idClicked, this, [this](int id) {
        m_mode = id;
        updateDate();
    });
    connect(m_start, &QDateEdit::dateChanged, this, &DateSeletDialog::dateEdited);
    connect(m_end, &QDateEdit::dateChanged, this, &DateSeletDialog::dateEdited);
    m_buttons->button(OneDay)->click();
}

void DateSeletDialog::updateDate()
{
    if (m_mode == Custom)
        return;
    QDate start;
    switch (m_mode) {
    case OneDay:
        start = m_today.addDays(-1);
        break;
    case SevenDays:
        start = m_today.addDays(-7);
        break;
    case OneMonth:
        start = m_today.addMonths(-1);
        break;
    case SixMonths:
        start = m_today.addMonths(-6);
        break;
    default:
        start = m_today.addYears(-1);
        break;
    }
    const QSignalBlocker blockStart(m_start);
    const QSignalBlocker blockEnd(m_end);
    m_end->setDate(m_today);
    m_start->setDate(start.addDays(1));
}

void DateSeletDialog::dateEdited()
{
    if (m_mode != Custom)
        m_buttons->button(Custom)->click();
}

QPair<QString, QString> DateSeletDialog::getDays() const
{
    return {m_start->date().toString(kDateFormat), m_end->date().toString(kDateFormat)};
}

void DateSeletDialog::confirm()
{
    if (m_start->date() > m_end->date()) {
        WarnBox box(this);
        box.setText(tr("开始时间不能晚于结束时间"));
        box.exec();
        return;
    }
    accept();
}
