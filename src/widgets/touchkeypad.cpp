#include "widgets/touchkeypad.h"

#include <QApplication>
#include <QPushButton>
#include <QScreen>

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
    const QRect fieldRect(field->mapToGlobal(QPoint(0, 0)), field->size());
    QRect area = field->screen() ? field->screen()->availableGeometry() : QRect();
    // A window may reach past the screen it is on (a virtual or offscreen screen smaller than
    // the panel): the keypad may use the field's window as well.
    area = area.united(field->window()->frameGeometry());

    const int roomBelow = area.bottom() - fieldRect.bottom();
    const int roomAbove = fieldRect.top() - area.top();
    int y = roomBelow >= height() || roomBelow >= roomAbove ? fieldRect.bottom() + 1 : fieldRect.top() - height();
    y = qBound(area.top(), y, qMax(area.top(), area.bottom() + 1 - height()));
    const int x = qBound(area.left(), fieldRect.left(), qMax(area.left(), area.right() + 1 - width()));
    move(x, y);
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
