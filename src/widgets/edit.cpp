#include "widgets/edit.h"

#include "widgets/numberinput.h"
#include "widgets/numcharinput.h"

#include <QMouseEvent>

Edit::Edit(int type, QWidget* parent, int style) : QLineEdit(parent), m_type(type), m_style(style)
{
    if (style == 1) {
        setStyleSheet(QStringLiteral("QLineEdit{background-color:white;border:2px solid #505050;"
                                     "border-radius:4px;}"));
    }
}

void Edit::setValue(int value)
{
    setText(QString::number(value));
}

int Edit::value() const
{
    return text().toInt();
}

void Edit::mousePressEvent(QMouseEvent* event)
{
    QLineEdit::mousePressEvent(event);
    if (event->button() != Qt::LeftButton || !isEnabled() || isReadOnly())
        return;
    // One keypad at a time: the other one would type into its last field meanwhile.
    if (m_type == TypeText) {
        if (gpNumPad)
            gpNumPad->hide();
        NumCharInput::shared()->attach(this);
    } else {
        if (gpNumCharPad)
            gpNumCharPad->hide();
        NumberInput::shared()->attach(this);
    }
}
