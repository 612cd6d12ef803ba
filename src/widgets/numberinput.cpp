#include "widgets/numberinput.h"

#include "base/lanstr.h"
#include "widgets/edit.h"

#include <QApplication>
#include <QGridLayout>
#include <QPushButton>
#include <QScreen>

NumberInput* gpNumPad = nullptr;

namespace {

constexpr int kKeySize = 80;

}  // namespace

NumberInput::NumberInput(QWidget* parent) : QWidget(parent, Qt::Tool | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint)
{
    setAttribute(Qt::WA_DeleteOnClose);
    setAttribute(Qt::WA_StyledBackground);
    setObjectName(QStringLiteral("NumberInput"));
    setStyleSheet(QStringLiteral(
        "#NumberInput{background-color:rgb(60,60,60);border:2px solid #ff9900;}"
        "QPushButton{color:white;background-color:rgb(100,100,100);font-size:30px;border-radius:6px;}"
        "QPushButton:pressed{background-color:#ff9900;}"
        "QPushButton:disabled{color:rgb(130,130,130);background-color:rgb(80,80,80);}"));
    auto* grid = new QGridLayout(this);
    grid->setContentsMargins(8, 8, 8, 8);
    grid->setSpacing(6);
    const char* const digits[] = {"7", "8", "9", "4", "5", "6", "1", "2", "3"};
    for (int i = 0; i < 9; ++i)
        grid->addWidget(keyButton(QLatin1String(digits[i]), QLatin1String(digits[i])), i / 3, i % 3);
    m_minus = keyButton(QStringLiteral("-"), QStringLiteral("-"));
    m_dot = keyButton(QStringLiteral("."), QStringLiteral("."));
    grid->addWidget(m_minus, 3, 0);
    grid->addWidget(keyButton(QStringLiteral("0"), QStringLiteral("0")), 3, 1);
    grid->addWidget(m_dot, 3, 2);
    grid->addWidget(keyButton(QStringLiteral("back"), QStringLiteral("←")), 0, 3);
    grid->addWidget(keyButton(QStringLiteral("clear"), QStringLiteral("C")), 1, 3);
    QPushButton* ok = keyButton(QStringLiteral("ok"), lanText(121));
    ok->setFixedSize(kKeySize, kKeySize * 2 + grid->spacing());
    grid->addWidget(ok, 2, 3, 2, 1);
    adjustSize();
}

NumberInput::~NumberInput()
{
    if (gpNumPad == this)
        gpNumPad = nullptr;
}

NumberInput* NumberInput::shared()
{
    if (!gpNumPad)
        gpNumPad = new NumberInput;
    return gpNumPad;
}

QPushButton* NumberInput::keyButton(const QString& key, const QString& caption)
{
    auto* button = new QPushButton(caption, this);
    button->setObjectName(key);
    button->setFocusPolicy(Qt::NoFocus);
    button->setFixedSize(kKeySize, kKeySize);
    connect(button, &QPushButton::clicked, this, [this, key] { press(key); });
    return button;
}

void NumberInput::attach(Edit* target)
{
    m_target = target;
    if (!target)
        return;
    // While a modal dialog runs, every window outside it is blocked, a parentless keypad too:
    // the keypad becomes a child window of the edit's own window, so it takes touches there and
    // goes away with that window instead of staying on top of the page below.
    QWidget* owner = target->window();
    if (parentWidget() != owner)
        setParent(owner, windowFlags());
    m_dot->setEnabled(target->type() != Edit::TypeInteger);
    m_minus->setEnabled(target->type() != Edit::TypeAddress);

    const QRect screen = QApplication::primaryScreen() ? QApplication::primaryScreen()->availableGeometry() : QRect();
    QPoint place = target->mapToGlobal(QPoint(0, target->height()));
    if (screen.isValid() && place.y() + height() > screen.bottom())
        place.setY(target->mapToGlobal(QPoint(0, 0)).y() - height());
    if (screen.isValid())
        place.setX(qBound(screen.left(), place.x(), qMax(screen.left(), screen.right() - width())));
    move(place);
    show();
}

void NumberInput::press(const QString& key)
{
    if (key == QLatin1String("ok")) {
        hide();
        emit sigConfirm();
        return;
    }
    if (!m_target)
        return;
    if (key == QLatin1String("back")) {
        m_target->backspace();
    } else if (key == QLatin1String("clear")) {
        m_target->clear();
    } else if (key == QLatin1String("-")) {
        // A sign only leads a number.
        if (m_target->type() != Edit::TypeAddress && m_target->text().isEmpty())
            m_target->insert(key);
    } else if (key == QLatin1String(".")) {
        if (m_target->type() != Edit::TypeInteger)
            m_target->insert(key);
    } else if (key.size() == 1 && key.at(0).isDigit()) {
        m_target->insert(key);
    }
}
