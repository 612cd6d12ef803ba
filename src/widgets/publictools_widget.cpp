#include "widgets/publictools_widget.h"

#include "base/lanstr.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QListView>
#include <QPainter>
#include <QPainterPath>
#include <QStyleOptionButton>
#include <QStyledItemDelegate>
#include <QVBoxLayout>

WarnBox* gpWarnBox = nullptr;

namespace {

const char* const kBoxStyle =
    "QDialog{background-color:rgb(70,70,70);border:2px solid #ff9900;}"
    "QLabel{color:white;font-family:wqy-microhei;font-size:30px;}";

// The popup rows of a ComboBox take the height the box was given.
class ItemHeightDelegate : public QStyledItemDelegate {
public:
    ItemHeightDelegate(const ComboBox* box, QObject* parent) : QStyledItemDelegate(parent), m_box(box) {}

    QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override
    {
        QSize size = QStyledItemDelegate::sizeHint(option, index);
        size.setHeight(m_box->itemHeight());
        return size;
    }

private:
    const ComboBox* m_box;
};

QLabel* boxText(QWidget* parent)
{
    auto* label = new QLabel(parent);
    label->setAlignment(Qt::AlignCenter);
    label->setWordWrap(true);
    return label;
}

}  // namespace

WarnBox::WarnBox(QWidget* parent) : QDialog(parent, Qt::FramelessWindowHint | Qt::Dialog)
{
    setModal(true);
    setStyleSheet(QString::fromLatin1(kBoxStyle));
    auto* layout = new QVBoxLayout(this);
    m_text = boxText(this);
    layout->addWidget(m_text);
    auto* confirm = new ColorButton(lanText(121), this, 3);
    confirm->setObjectName(QStringLiteral("confirm"));
    confirm->setFixedSize(150, 60);
    layout->addWidget(confirm, 0, Qt::AlignHCenter);
    connect(confirm, &QPushButton::clicked, this, &QDialog::accept);
    resize(500, 260);
}

void WarnBox::setText(const QString& text)
{
    m_text->setText(text);
}

QString WarnBox::text() const
{
    return m_text->text();
}

ChooseBox::ChooseBox(QWidget* parent, int width, int height)
    : QDialog(parent, Qt::FramelessWindowHint | Qt::Dialog)
{
    setModal(true);
    setFixedSize(width, height);
    setStyleSheet(QString::fromLatin1(kBoxStyle));
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(30, 30, 30, 30);
    m_text = boxText(this);
    layout->addWidget(m_text, 1);
    auto* buttons = new QHBoxLayout;
    auto* yes = new ColorButton(lanText(122), this, 3);
    auto* no = new ColorButton(lanText(123), this, 3);
    yes->setObjectName(QStringLiteral("yes"));
    no->setObjectName(QStringLiteral("no"));
    for (ColorButton* button : {yes, no}) {
        button->setFixedSize(150, 70);
        buttons->addWidget(button);
    }
    layout->addLayout(buttons);
    connect(yes, &QPushButton::clicked, this, [this] { done(1); });
    connect(no, &QPushButton::clicked, this, [this] { done(0); });
}

void ChooseBox::setText(const QString& text)
{
    m_text->setText(text);
}

QString ChooseBox::text() const
{
    return m_text->text();
}

ColorButton::ColorButton(const QString& text, QWidget* parent, int kind) : QPushButton(text, parent), m_kind(kind)
{
    setFocusPolicy(Qt::NoFocus);
    if (kind == 3) {
        setStyleSheet(QStringLiteral(
            "QPushButton{color:white;font-family:wqy-microhei;font-size:25px;border-radius:6px;"
            "background-color:#ff9900;}"
            "QPushButton:pressed{background-color:#cc7a00;}"
            "QPushButton:disabled{background-color:#9a9a9a;}"));
    } else {
        setStyleSheet(QStringLiteral(
            "QPushButton{color:white;font-family:wqy-microhei;font-size:22px;border-radius:6px;"
            "background-color:#3c6ea0;}"
            "QPushButton:pressed{background-color:#2b5077;}"));
    }
}

CheckBox::CheckBox(QWidget* parent, const QString& text) : QCheckBox(text, parent)
{
    setFocusPolicy(Qt::NoFocus);
    setStyleSheet(QStringLiteral("QCheckBox{color:white;}"
                                 "QCheckBox::indicator{width:36px;height:36px;}"));
}

QRect CheckBox::boxRect() const
{
    QStyleOptionButton option;
    initStyleOption(&option);
    return style()->subElementRect(QStyle::SE_CheckBoxIndicator, &option, this);
}

void CheckBox::paintEvent(QPaintEvent* event)
{
    // The style draws the caption (and its own faint box, which is painted over).
    QCheckBox::paintEvent(event);
    const QRectF box = QRectF(boxRect()).adjusted(1, 1, -1, -1);
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(QPen(QColor(60, 60, 60), 2));
    painter.setBrush(isEnabled() ? QColor(Qt::white) : QColor(200, 200, 200));
    painter.drawRoundedRect(box, 3, 3);
    if (checkState() == Qt::Unchecked)
        return;
    const qreal w = box.width();
    const qreal h = box.height();
    // Near black on white: 18:1, where 4.5:1 is what small marks need to be told apart.
    QPen tick(isEnabled() ? QColor(20, 20, 20) : QColor(90, 90, 90), qMax(3.0, w / 8), Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin);
    painter.setPen(tick);
    painter.setBrush(Qt::NoBrush);
    if (checkState() == Qt::PartiallyChecked) {
        painter.drawLine(QPointF(box.left() + w * 0.25, box.center().y()), QPointF(box.right() - w * 0.25, box.center().y()));
        return;
    }
    QPainterPath path(QPointF(box.left() + w * 0.2, box.top() + h * 0.52));
    path.lineTo(box.left() + w * 0.42, box.top() + h * 0.74);
    path.lineTo(box.left() + w * 0.8, box.top() + h * 0.28);
    painter.drawPath(path);
}

ComboBox::ComboBox(QWidget* parent) : QComboBox(parent)
{
    // A list view takes the delegate's row height; the default popup ignores it under some styles.
    setView(new QListView(this));
    setItemDelegate(new ItemHeightDelegate(this, this));
    setFocusPolicy(Qt::NoFocus);
}

void ComboBox::showPopup()
{
    view()->setFont(font());
    QComboBox::showPopup();
}

void ComboBox::setItemHeight(int height)
{
    m_itemHeight = qMax(1, height);
}
