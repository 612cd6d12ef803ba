#include "widgets/touchkeypad.h"

#include <QAbstractButton>
#include <QApplication>
#include <QPushButton>
#include <QScreen>

#include <algorithm>
#include <climits>

TouchKeypad::TouchKeypad(const QString& name, const QString& extraStyle)
    : QWidget(nullptr, Qt::Tool | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint)
{
    setAttribute(Qt::WA_DeleteOnClose);
    setAttribute(Qt::WA_StyledBackground);
    setObjectName(name);
    setStyleSheet(QStringLiteral("#%1{background-color:rgb(60,60,60);border:2px solid #ff9900;}"
                                 "QPushButton{color:white;background-color:rgb(100,100,100);font-size:30px;"
                                 "border-radius:6px;}"
                                 "QPushButton:pressed{background-color:#ff9900;}"
                                 "QPushButton:disabled{color:rgb(130,130,130);background-color:rgb(80,80,80);}")
                      .arg(name)
                  + extraStyle);
}

QPushButton* TouchKeypad::keyButton(const QString& key, const QString& caption)
{
    auto* button = new QPushButton(caption, this);
    button->setObjectName(key);
    button->setFocusPolicy(Qt::NoFocus);
    connect(button, &QPushButton::clicked, this, [this, button] { press(button->objectName()); });
    return button;
}

void TouchKeypad::attach(QLineEdit* target)
{
    m_target = target;
    if (!target)
        return;
    QWidget* owner = target->window();
    if (parentWidget() != owner)
        setParent(owner, windowFlags());
    prepare(target);
    placeBeside(target);
    show();
    raise();
}

void TouchKeypad::placeBeside(const QWidget* field)
{
    const QWidget* owner = field->window();
    const QRect fieldRect(field->mapToGlobal(QPoint(0, 0)), field->size());
    QRect area = field->screen() ? field->screen()->availableGeometry() : QRect();
    // A window may reach past the screen it is on (a virtual or offscreen screen smaller than
    // the panel): the keypad may use the field's window as well.
    area = area.united(owner->frameGeometry());

    // The buttons of the window it serves stay in reach: a keypad over "取消" leaves the
    // operator no way out but typing on.
    QList<QRect> buttons;
    for (const QAbstractButton* button : owner->findChildren<QAbstractButton*>()) {
        if (button->window() == owner && button->isVisible())
            buttons << QRect(button->mapToGlobal(QPoint(0, 0)), button->size());
    }

    // Beside the field first (below, above, right, left), then beside the window; the first
    // place that covers neither the field nor a button, else the one covering the fewest buttons.
    const QRect window = owner->frameGeometry();
    const QSize size = this->size();
    const QPoint candidates[] = {
        {fieldRect.left(), fieldRect.bottom() + 1},
        {fieldRect.left(), fieldRect.top() - size.height()},
        {fieldRect.right() + 1, fieldRect.top()},
        {fieldRect.left() - size.width(), fieldRect.top()},
        {window.right() + 1, fieldRect.top()},
        {window.left() - size.width(), fieldRect.top()},
        {fieldRect.left(), window.bottom() + 1},
        {fieldRect.left(), window.top() - size.height()},
    };
    QRect best;
    int bestCovered = INT_MAX;
    for (const QPoint& candidate : candidates) {
        const int x = qBound(area.left(), candidate.x(), qMax(area.left(), area.right() + 1 - size.width()));
        const int y = qBound(area.top(), candidate.y(), qMax(area.top(), area.bottom() + 1 - size.height()));
        const QRect place(QPoint(x, y), size);
        if (place.intersects(fieldRect))
            continue;
        const int covered = int(std::count_if(buttons.cbegin(), buttons.cend(),
                                              [&place](const QRect& button) { return place.intersects(button); }));
        if (covered < bestCovered) {
            best = place;
            bestCovered = covered;
        }
        if (covered == 0)
            break;
    }
    if (best.isNull())   // a field as big as the screen: the keypad goes below it as far as it can
        best = QRect(QPoint(fieldRect.left(), fieldRect.bottom() + 1), size);
    move(best.topLeft());
}

void TouchKeypad::insertText(const QString& text)
{
    if (m_target)
        m_target->insert(text);
}

void TouchKeypad::confirm()
{
    hide();
    emit sigConfirm();
}
