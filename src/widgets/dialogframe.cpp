#include "widgets/dialogframe.h"

#include <QComboBox>
#include <QFutureWatcher>
#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>
#include <QPushButton>
#include <QStyledItemDelegate>
#include <QTextEdit>
#include <QVBoxLayout>
#include <QtConcurrent>

namespace {

const char* const kDefaultStyle =
    "QDialog{background-color:rgb(60,60,60);border:1px solid #BDBDBD;}"
    "QLabel{color:white;}";
const char* const kComboStyle =
    "QComboBox{font-size:24px;min-height:40px;color:black;background:white;}"
    "QComboBox QAbstractItemView::item{min-height:40px;}";
const char* const kTitleButtonStyle =
    "outline:0px;border:none;font-size:32px;color:white;background-color:#00BCD4;";

}  // namespace

CComp_DialogFrame::CComp_DialogFrame(const QString& title, QWidget* parent)
    : QDialog(parent, Qt::FramelessWindowHint | Qt::Dialog)
{
    setModal(true);
    setDefaultWgt(this);
    auto* outer = new QVBoxLayout(this);
    outer->setContentsMargins(0, 0, 0, 0);
    outer->setSpacing(0);

    auto* bar = new QWidget(this);
    bar->setObjectName(QStringLiteral("titleBar"));
    bar->setStyleSheet(QStringLiteral("#titleBar{background-color:rgb(33,150,243);}"));
    bar->setFixedHeight(60);
    m_titleBar = new QHBoxLayout(bar);
    m_titleBar->setContentsMargins(10, 5, 5, 5);
    m_title = new QLabel(title, bar);
    m_title->setStyleSheet(QStringLiteral("color:white;font-size:30px;"));
    m_titleBar->addWidget(m_title);
    m_titleBar->addStretch(1);
    m_ok = new QPushButton(QStringLiteral("OK"), bar);
    m_ok->setFixedSize(100, 50);
    m_ok->setStyleSheet(QString::fromLatin1(kTitleButtonStyle));
    m_titleBar->addWidget(m_ok);
    connect(m_ok, &QPushButton::clicked, this, &CComp_DialogFrame::acceptDialog);
    outer->addWidget(bar);

    m_body = new QVBoxLayout;
    m_body->setContentsMargins(10, 10, 10, 10);
    outer->addLayout(m_body, 1);
}

void CComp_DialogFrame::addTitleWgt(QWidget* widget)
{
    m_titleBar->insertWidget(m_titleBar->count() - 1, widget);
}

void CComp_DialogFrame::setStyleCombobox(QComboBox* combo, QStyledItemDelegate* delegate, const QString& extraStyle)
{
    if (!combo)
        return;
    if (delegate) {
        if (!delegate->parent())
            delegate->setParent(combo);
        combo->setItemDelegate(delegate);
    }
    combo->setStyleSheet(QString::fromLatin1(kComboStyle) + extraStyle);
}

void CComp_DialogFrame::setDefaultWgt(QWidget* widget, const QString& extraStyle)
{
    if (widget)
        widget->setStyleSheet(QString::fromLatin1(kDefaultStyle) + extraStyle);
}

void CComp_DialogFrame::acceptDialog()
{
    accept();
}

CComp_DiaWait::CComp_DiaWait(std::function<void()> work, QWidget* parent)
    : QDialog(parent, Qt::FramelessWindowHint | Qt::Dialog), m_work(std::move(work))
{
    setModal(true);
    setFixedSize(200, 200);
    setAttribute(Qt::WA_TranslucentBackground);
}

int CComp_DiaWait::exec()
{
    if (!m_work)
        return QDialog::Accepted;
    QFutureWatcher<void> watcher;
    // Queued into exec()'s own loop, so a job that ends before the loop runs still closes it.
    connect(&watcher, &QFutureWatcher<void>::finished, this, &QDialog::accept, Qt::QueuedConnection);
    watcher.setFuture(QtConcurrent::run(m_work));
    const int result = QDialog::exec();
    watcher.waitForFinished();   // a dialog closed another way still never outlives its job
    return result;
}

void CComp_DiaWait::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setBrush(QColor(0, 0, 0, 160));
    painter.setPen(Qt::NoPen);
    painter.drawRoundedRect(rect(), 20, 20);
    painter.setPen(QPen(QColor(0, 188, 212), 8));
    painter.drawArc(rect().adjusted(50, 50, -50, -50), 0, 270 * 16);
}

TextShowWidget::TextShowWidget(QWidget* parent) : QWidget(parent)
{
    setAttribute(Qt::WA_StyledBackground);
    setStyleSheet(QStringLiteral("TextShowWidget{background-color:rgb(40,40,40);border:1px solid #BDBDBD;}"));
    auto* layout = new QVBoxLayout(this);
    auto* top = new QHBoxLayout;
    top->addStretch(1);
    m_close = new QPushButton(QStringLiteral("X"), this);
    m_close->setFixedSize(50, 50);
    m_close->setStyleSheet(QStringLiteral("outline:0px;border:none;font-size:28px;color:white;background-color:#E91E63;"));
    top->addWidget(m_close);
    layout->addLayout(top);
    m_text = new QTextEdit(this);
    m_text->setReadOnly(true);
    m_text->setStyleSheet(QStringLiteral("QTextEdit{background:black;color:#00FF00;font-size:20px;}"));
    layout->addWidget(m_text, 1);
    connect(m_close, &QPushButton::clicked, this, [this] {
        hide();
        emit sigHideWidget();
    });
}
