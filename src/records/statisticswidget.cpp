#include "records/statisticswidget.h"

#include "base/findau.h"
#include "base/lanstr.h"
#include "records/dateseletdialog.h"
#include "records/exportresultworker.h"
#include "records/histogram.h"
#include "records/resstatisticsdatabase.h"
#include "records/resstatisticsparam.h"
#include "vision/wizardpara.h"
#include "widgets/publictools_widget.h"

#include <QDir>
#include <QHBoxLayout>
#include <QJsonObject>
#include <QLabel>
#include <QListWidget>
#include <QScroller>
#include <QThread>
#include <QVBoxLayout>
#include <QtDebug>
#include <algorithm>

StatisticsWidget* StatisticsWidget::instance = nullptr;

namespace {

constexpr int kMaxPages = 9;
// The narrowest control a finger hits for sure on the panel (the tab bars' scroll arrows).
constexpr int kFingerWidth = 40;
// Between a label and the field it names, so the two never read as one.
constexpr int kLabelGap = 10;
const int kShiftTitleRows[3] = {545, 546, 587};
const int kCaptionRows[3] = {547, 542, 588};

QFont screenFont(int pixels)
{
    QFont font(QStringLiteral("wqy-microhei"));
    font.setPixelSize(pixels);
    return font;
}

ResStatisticsParam* model()
{
    return ResStatisticsParam::getInstance();
}

bool statisticsSwitchOn()
{
    return !gpWPara || gpWPara->isUseStatistics != 0;
}

QLabel* fixedLabel(const QString& text, int width, int height, Qt::Alignment alignment, QWidget* parent)
{
    auto* label = new QLabel(text, parent);
    label->setFixedSize(width, height);
    label->setAlignment(alignment);
    return label;
}

}  // namespace

CameraStatisticsWidget::CameraStatisticsWidget(int camera, int step, QWidget* parent)
    : QWidget(parent), m_camera(camera), m_step(step)
{
    // Set on every label: a font set on the page does not reach labels under the screen's
    // style sheet.
    const QFont font = screenFont(27);
    auto* blocks = new QVBoxLayout;
    blocks->setSpacing(1);
    for (int shift = 0; shift < 3; ++shift) {
        QLabel* title = fixedLabel(lanText(kShiftTitleRows[shift]), 150, 50, Qt::AlignLeft | Qt::AlignVCenter, this);
        title->setFont(font);
        blocks->addWidget(title);
        for (int row = 0; row < 3; ++row) {
            auto* line = new QHBoxLayout;
            QLabel* caption = fixedLabel(lanText(kCaptionRows[row]), 120, 35, Qt::AlignRight | Qt::AlignVCenter, this);
            caption->setFont(font);
            line->addWidget(caption);
            m_values[shift][row] = fixedLabel(QStringLiteral("0"), 120, 35, Qt::AlignRight | Qt::AlignVCenter, this);
            m_values[shift][row]->setFont(font);
            m_values[shift][row]->setStyleSheet(QStringLiteral("color:green;"));
            line->addWidget(m_values[shift][row]);
            blocks->addLayout(line);
        }
    }
    blocks->addStretch(1);

    const QList<int> morningHours{8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19};
    const QList<int> nightHours{20, 21, 22, 23, 0, 1, 2, 3, 4, 5, 6, 7};
    auto* charts = new QVBoxLayout;
    charts->setSpacing(5);
    for (int shift = 0; shift < 2; ++shift) {
        m_charts[shift] = new Histogram(this, shift == 0 ? morningHours : nightHours, {}, {});
        m_charts[shift]->setFixedHeight(420);
        // The chart is 1550 wide on its own; beside the count column inside a camera tab it
        // takes the width that is left, so nothing is cut off.
        m_charts[shift]->setMinimumWidth(600);
        m_charts[shift]->setMaximumWidth(1550);
        charts->addWidget(m_charts[shift]);
    }
    charts->addStretch(1);

    auto* page = new QHBoxLayout(this);
    page->setContentsMargins(10, 10, 10, 10);
    page->addLayout(blocks);
    page->addLayout(charts, 1);
}

void CameraStatisticsWidget::clearData()
{
    for (auto& values : m_values) {
        for (QLabel* value : values)
            value->clear();
    }
    for (Histogram* chart : m_charts)
        chart->modifyDataAxisY({}, {});
    update();
}

QString CameraStatisticsWidget::passRate(int ok, int ng)
{
    const qint64 total = qint64(ok) + ng;
    if (total <= 0 || ok <= 0)
        return QStringLiteral("0%");
    const double rate = qMin(100.0, ok * 100.0 / total);
    return QString::number(rate, 'g', 4) + QLatin1Char('%');
}

void CameraStatisticsWidget::updateData()
{
    // While the screen waits for the picked day, the model still holds another one.
    const auto* screen = qobject_cast<const StatisticsWidget*>(window());
    if (screen && screen->isLoadingDay()) {
        clearData();
        return;
    }
    const ResStatisticsParam* statistics = model();
    for (int shift = 0; shift < 3; ++shift) {
        const auto type = ShiftType(shift);
        const int ok = statistics->getCount(type, true, m_camera, m_step);
        const int ng = statistics->getCount(type, false, m_camera, m_step);
        m_values[shift][0]->setText(QString::number(qint64(ok) + ng));
        m_values[shift][1]->setText(QString::number(ok));
        m_values[shift][2]->setText(passRate(ok, ng));
    }
    for (int shift = 0; shift < 2; ++shift) {
        const auto type = ShiftType(shift);
        m_charts[shift]->modifyDataAxisY(statistics->getRes(type, true, m_camera, m_step),
                                         statistics->getRes(type, false, m_camera, m_step));
        m_charts[shift]->modifyDataAxisX(statistics->getShiftTimeList(type));
    }
    update();
}

QString CameraStatisticsWidget::valueText(int shift, int row) const
{
    return m_values[shift][row]->text();
}

void CameraStatisticsWidget::showEvent(QShowEvent* event)
{
    updateData();
    QWidget::showEvent(event);
}

CamereaTabWidget::CamereaTabWidget(int camera, QStringList names, QWidget* parent)
    : QTabWidget(parent), m_camera(camera)
{
    for (int k = 1; k <= qMin(names.size(), kMaxPages); ++k)
        addTab(new CameraStatisticsWidget(camera, (k + 7) % 9, this), names.at(k - 1));
}

void CamereaTabWidget::updateData()
{
    if (auto* page = qobject_cast<CameraStatisticsWidget*>(currentWidget()))
        page->updateData();
}

StatisticsWidget::StatisticsWidget() : QWidget(nullptr, Qt::FramelessWindowHint | Qt::CustomizeWindowHint)
{
    qRegisterMetaType<QPair<QString, QString>>();
    if (!QSqlDatabase::contains(QStringLiteral("dbListRes")))
        QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("dbListRes"));
    setFixedSize(1920, 1080);

    m_exportThread = new QThread;
    m_exportThread->setObjectName(QStringLiteral("StatisticsExport"));
    m_worker = new ExportResultWorker;
    m_worker->moveToThread(m_exportThread);
    // The running day is stored before the exporter reads it, so the export holds every result
    // counted until it was asked for (the worker waits for that store).
    connect(this, &StatisticsWidget::sigExportData, this, [] {
        model()->setTimer(false);
        model()->storeDay();
    });
    connect(this, &StatisticsWidget::sigExportData, m_worker, &ExportResultWorker::work, Qt::QueuedConnection);
    connect(m_worker, &ExportResultWorker::exportProgress, this, &StatisticsWidget::sigExportProgress);
    connect(m_worker, &ExportResultWorker::finish, this, &StatisticsWidget::exportFinished);
    m_exportThread->start(QThread::InheritPriority);

    // The model tells the screen about new results (false) and an ended day (true). It tells of
    // an ended day before it rolls to the new one and before its database thread has archived
    // the old one: the list is rebuilt once the roll is done, with the ended day in its place
    // already (a pick of it is loaded after the archive, on the same database thread).
    connect(model(), &ResStatisticsParam::sigScreenUpdate, this, [this](bool dayEnded) {
        if (!dayEnded) {
            checkUpdate();
            return;
        }
        m_archivingDay = model()->getCurDBDate();
        QMetaObject::invokeMethod(this, &StatisticsWidget::updateList, Qt::QueuedConnection);
    });

    setStyleSheet(QStringLiteral("StatisticsWidget{background-color: #FFFFFF;background: #FFFFFF;}"
                                 "QListWidget {font-size:22px;}QListWidget::item { height: 50px; }"));
    setAttribute(Qt::WA_StyledBackground);
    hide();
}

StatisticsWidget::~StatisticsWidget()
{
    // A running exporter is ended and the export thread joined before the worker goes.
    m_worker->requestStop();
    m_exportThread->quit();
    m_exportThread->wait();
    delete m_worker;
    delete m_exportThread;
    // The model stores the day on its way down only while its timer runs; an export had it
    // stopped.
    if (!m_exportIdle)
        model()->setTimer(statisticsSwitchOn());
    if (instance == this)
        instance = nullptr;
}

StatisticsWidget* StatisticsWidget::getInstance()
{
    if (!instance)
        instance = new StatisticsWidget;
    return instance;
}

void StatisticsWidget::destroyInstance()
{
    delete instance;
    instance = nullptr;
}

void StatisticsWidget::createWidget(QStringList names)
{
    if (m_tabs)
        return;
    const int tabWidth = (width() / 11) * 10 - 2;
    m_tabs = new QTabWidget(this);
    m_tabs->setFixedSize(tabWidth, 980);
    // Nine tabs of 200 do not fit the bar with eight cameras (nor nine pages of 230 with eight
    // steps): the bars scroll, by two arrows of a finger's width each (the scroller holds both;
    // the rule reaches the pages' bars too).
    m_tabs->setStyleSheet(QStringLiteral("QTabBar::tab {   width: 200px;   height: 50px;   font-size: 25px;}"
                                         "QTabBar::tab:selected {    background: #ff9900;    color: white;}"
                                         "QTabBar::scroller { width: %1px; }"
                                         "QTabBar QToolButton::right-arrow { image: url(./images/right.png); }"
                                         "QTabBar QToolButton::left-arrow { image: url(./images/left.png); }")
                              .arg(2 * kFingerWidth));
    for (int i = 0; i <= numCamera; ++i) {
        auto* tab = new CamereaTabWidget((i + 8) % 9, names, m_tabs);
        tab->setFixedSize(tabWidth, 980);
        tab->setStyleSheet(QStringLiteral("QTabBar::tab{width: 230px; height: 50px; font-size: 25px;}"));
        m_tabs->addTab(tab, i == 0 ? lanText(585) : lanText(586).arg(i));
    }
    connect(m_tabs, &QTabWidget::currentChanged, this, [this] { refreshCurrentTab(); });

    m_dayList = new QListWidget(this);
    m_dayList->setFixedHeight(980);
    // A finger drags the list (the bar beside it is too thin to hit); a drag no longer moves the
    // highlight, and whatever does move it shows the highlighted day, not only a tap.
    m_dayList->setVerticalScrollMode(QAbstractItemView::ScrollPerPixel);
    QScroller::grabGesture(m_dayList->viewport(), QScroller::LeftMouseButtonGesture);
    connect(m_dayList, &QListWidget::currentItemChanged, this, [this](QListWidgetItem* item) { UpdateRecord(item); });

    m_groups = new ComboBox(this);
    m_groups->setFixedSize(300, 50);
    m_groups->setItemHeight(50);
    m_groups->setFont(screenFont(25));
    connect(m_groups, &QComboBox::currentTextChanged, this, [this](const QString& text) {
        model()->shownGroupName = text;
        refreshCurrentTab();
    });

    const QFont labelFont = screenFont(33);
    const auto shiftRow = [&](const QString& from, int startChooser) {
        auto* row = new QHBoxLayout;
        // "早班: 从" fills its label to the right edge: without a gap it runs into the box.
        row->setSpacing(kLabelGap);
        QLabel* fromLabel = fixedLabel(from, 125, 50, Qt::AlignRight | Qt::AlignVCenter, this);
        QLabel* toLabel = fixedLabel(tr("到"), 100, 50, Qt::AlignCenter, this);
        fromLabel->setFont(labelFont);
        toLabel->setFont(labelFont);
        row->addWidget(fromLabel);
        row->addWidget(m_hours[startChooser]);
        row->addWidget(toLabel);
        row->addWidget(m_hours[startChooser + 1]);
        return row;
    };
    for (int which = 0; which < 4; ++which) {
        m_hours[which] = new ComboBox(this);
        m_hours[which]->setFixedSize(100, 50);
        m_hours[which]->setItemHeight(40);
        m_hours[which]->setFont(screenFont(25));
        for (int hour = 0; hour < 24; ++hour)
            m_hours[which]->addItem(QString::number(hour), hour);
        m_hours[which]->setCurrentIndex(model()->shiftHour(which));
    }

    auto* back = new ColorButton(lanText(58), this, 3);
    auto* exportButton = new ColorButton(lanText(326), this, 3);
    back->setObjectName(QStringLiteral("return"));
    exportButton->setObjectName(QStringLiteral("export"));
    back->setFixedSize(300, 50);
    exportButton->setFixedSize(300, 50);
    connect(back, &QPushButton::clicked, this, &StatisticsWidget::SlotConfirm);
    connect(exportButton, &QPushButton::clicked, this, &StatisticsWidget::SlotExportData);

    // The five controls are 1750 pixels wide and the gaps inside the two shift rows 60; the
    // gaps between the controls share what is left of the 1900.
    auto* top = new QHBoxLayout;
    top->setSpacing(20);
    top->addWidget(m_groups);
    top->addLayout(shiftRow(tr("早班: 从"), 0));
    top->addLayout(shiftRow(tr("晚班: 从"), 2));
    top->addWidget(back);
    top->addWidget(exportButton);
    top->addStretch(1);

    auto* middle = new QHBoxLayout;
    middle->addWidget(m_dayList);
    middle->addWidget(m_tabs);

    auto* screen = new QVBoxLayout(this);
    screen->setContentsMargins(10, 10, 10, 10);
    screen->addLayout(top);
    screen->addLayout(middle);
    screen->addStretch(1);
}

void StatisticsWidget::showEvent(QShowEvent* event)
{
    initWidget();
    QWidget::showEvent(event);
}

void StatisticsWidget::initWidget()
{
    if (!m_tabs)
        return;
    for (int which = 0; which < 4; ++which)
        m_hours[which]->setCurrentIndex(model()->shiftHour(which));
    updateList();
    updateGroupsList(true);
}

void StatisticsWidget::updateList()
{
    if (!m_dayList)
        return;
    // Rebuilt quietly: today is asked for once, below.
    const QSignalBlocker quiet(m_dayList);
    m_dayList->clear();
    m_dayList->addItem(model()->getCurDBDate());
    const QStringList names = QDir(ResStatisticsDatabase::archiveDirName())
                                  .entryList({QStringLiteral("*.db")}, QDir::Dirs | QDir::Files | QDir::Drives, QDir::Name);
    QStringList days;
    for (const QString& name : names)
        days << name.left(name.size() - 3);
    if (days.contains(m_archivingDay))
        m_archivingDay.clear();
    if (!m_archivingDay.isEmpty())
        days.insert(std::lower_bound(days.begin(), days.end(), m_archivingDay) - days.begin(), m_archivingDay);
    for (auto it = days.crbegin(); it != days.crend(); ++it)
        m_dayList->addItem(*it);
    m_dayList->setCurrentRow(0);
    UpdateRecord(m_dayList->item(0));
}

void StatisticsWidget::UpdateRecord(QListWidgetItem* item)
{
    if (!item)
        return;
    const int row = m_dayList->row(item);
    const QString path = QStringLiteral("%1//%2.db")
                             .arg(QDir(ResStatisticsDatabase::archiveDirName()).absolutePath(), item->text());
    if (row == 0) {
        // Today is answered within the call.
        m_requestingToday = true;
        emit sigUpdateRecord(row, path);
        m_requestingToday = false;
        return;
    }
    // An archived day is answered later, from the database thread, in the order asked. Until
    // its answer the pages show nothing rather than the day the model still holds.
    ++m_pendingLoads;
    refreshCurrentTab();
    emit sigUpdateRecord(row, path);
}

void StatisticsWidget::slotUpdateRecord(bool)
{
    if (m_refreshingToday)
        return;
    if (!m_requestingToday && m_pendingLoads > 0) {
        // The answer to an archived day. A later pick is still on its way, or today was picked
        // meanwhile and this answer has just replaced it in the model: it is not shown.
        if (--m_pendingLoads > 0)
            return;
        if (m_dayList && m_dayList->currentRow() == 0) {
            UpdateRecord(m_dayList->item(0));
            return;
        }
    }
    updateGroupsList(true);
    refreshCurrentTab();
}

void StatisticsWidget::updateGroupsList(bool block)
{
    if (!m_groups)
        return;
    const bool wasBlocked = block ? m_groups->blockSignals(true) : m_groups->signalsBlocked();
    m_groups->clear();
    m_groups->addItems(model()->getGroups());
    model()->shownGroupName = m_groups->currentText();
    m_groups->blockSignals(wasBlocked);
    if (m_dayList->currentRow() != 0)
        return;
    const int current = m_groups->findText(model()->getCurGroupName(), Qt::MatchExactly | Qt::MatchCaseSensitive);
    if (current >= 0)
        m_groups->setCurrentIndex(current);
}

void StatisticsWidget::checkUpdate()
{
    if (!m_dayList || m_dayList->currentRow() != 0 || !isVisible())
        return;
    // The model's shown day is a copy of today taken when the day was picked: take a new one
    // without rebuilding the group list, so the operator's group stays chosen.
    m_refreshingToday = true;
    model()->slotUpdateRecord(0, QString());
    m_refreshingToday = false;
    refreshCurrentTab();
}

void StatisticsWidget::refreshCurrentTab()
{
    if (auto* tab = qobject_cast<CamereaTabWidget*>(m_tabs ? m_tabs->currentWidget() : nullptr))
        tab->updateData();
}

void StatisticsWidget::SlotConfirm()
{
    QJsonObject json;
    json.insert(QStringLiteral("morningsStart"), m_hours[0]->currentIndex());
    json.insert(QStringLiteral("morningsEnd"), m_hours[1]->currentIndex());
    json.insert(QStringLiteral("nightStart"), m_hours[2]->currentIndex());
    json.insert(QStringLiteral("nightEnd"), m_hours[3]->currentIndex());
    ResStatisticsParam* statistics = model();
    if (statistics->checkParam(json)) {
        ChooseBox box(this, 750, 370);
        box.setText(lanText(234));
        if (box.exec() == 1) {
            statistics->laodConfigFromJson(json);
            statistics->setCurGroup();
            statistics->checkDate();
        }
    }
    hide();
}

void StatisticsWidget::SlotExportData()
{
    if (!m_exportIdle) {
        WarnBox box(this);
        box.setText(lanText(654));
        box.exec();
        return;
    }
    QString stick = FindAU();
    while (stick.isEmpty()) {
        ChooseBox box(this, 750, 370);
        box.setText(lanText(320));
        if (box.exec() != 1)
            return;
        stick = FindAU();
    }
    // "Today" of the dialog and of the export is the running production day: after midnight
    // the night shift still belongs to the day before.
    const QString productionDate = model()->getCurDBDate();
    DateSeletDialog dialog(this, QDate::fromString(productionDate, QStringLiteral("yyyy-MM-dd")));
    if (dialog.exec() != QDialog::Accepted)
        return;

    if (!m_startBox) {
        m_startBox = new WarnBox(this);
        // It tells, it does not ask: the screen stays usable behind it.
        m_startBox->setWindowModality(Qt::NonModal);
    }
    m_startBox->setText(tr("开始生产统计数据导出\n导出进度可在主界面右下角查看"));
    m_startBox->show();

    m_exportIdle = false;
    // Posted before the range, so the worker has its target when work() runs.
    ExportResultWorker* worker = m_worker;
    QObject* dayStore = model()->statisticsDatabase();
    QMetaObject::invokeMethod(
        worker, [worker, stick, productionDate, dayStore] { worker->setTarget(stick, productionDate, dayStore); },
        Qt::QueuedConnection);
    emit sigExportData(dialog.getDays());
}

void StatisticsWidget::exportFinished(bool ok, const QString& failure)
{
    m_exportIdle = true;
    model()->setTimer(statisticsSwitchOn());
    emit sigExportDataFinish();
    // The start note has said what it had to; left up, it would show again once the result is
    // confirmed, as if another export were starting.
    if (m_startBox)
        m_startBox->hide();
    WarnBox box(this);
    box.setText(ok ? lanText(147) : failure);
    box.exec();
}
