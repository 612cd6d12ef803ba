#include "widgets/numberinput.h"

#include "base/lanstr.h"
#include "widgets/edit.h"

#include <QGridLayout>
#include <QPushButton>
#include <QValidator>

NumberInput* gpNumPad = nullptr;

namespace {

constexpr int kKeySize = 80;

// Whether the field could take this text as the start of what it holds.
bool fieldMayStartWith(const QLineEdit* field, QString text)
{
    const QValidator* validator = field->validator();
    int position = text.size();
    return !validator || validator->validate(text, position) != QValidator::Invalid;
}

}  // namespace

NumberInput::NumberInput() : TouchKeypad(QStringLiteral("NumberInput"), QString())
{
    auto* grid = new QGridLayout(this);
    grid->setContentsMargins(8, 8, 8, 8);
    grid->setSpacing(6);
    const auto key = [this](const QString& name, const QString& caption) {
        QPushButton* button = keyButton(name, caption);
        button->setFixedSize(kKeySize, kKeySize);
        return button;
    };
    const char* const digits[] = {"7", "8", "9", "4", "5", "6", "1", "2", "3"};
    for (int i = 0; i < 9; ++i)
        grid->addWidget(key(QLatin1String(digits[i]), QLatin1String(digits[i])), i / 3, i % 3);
    m_minus = key(QStringLiteral("-"), QStringLiteral("-"));
    m_dot = key(QStringLiteral("."), QStringLiteral("."));
    grid->addWidget(m_minus, 3, 0);
    grid->addWidget(key(QStringLiteral("0"), QStringLiteral("0")), 3, 1);
    grid->addWidget(m_dot, 3, 2);
    grid->addWidget(key(QStringLiteral("back"), QStringLiteral("←")), 0, 3);
    grid->addWidget(key(QStringLiteral("clear"), QStringLiteral("C")), 1, 3);
    QPushButton* ok = key(QStringLiteral("ok"), lanText(121));
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

void NumberInput::prepare(QLineEdit* target)
{
    const auto* edit = qobject_cast<const Edit*>(target);
    const int type = edit ? edit->type() : Edit::TypeInteger;
    // A key the field cannot take is not offered at all: a greyed "-" still read as a way to
    // type a negative day count.
    const bool dot = type != Edit::TypeInteger;
    const bool minus = fieldMayStartWith(target, QStringLiteral("-"));
    m_dot->setEnabled(dot);
    m_dot->setVisible(dot);
    m_minus->setEnabled(minus);
    m_minus->setVisible(minus);
}

void NumberInput::press(const QString& key)
{
    if (key == QLatin1String("ok")) {
        confirm();
        return;
    }
    if (!m_target)
        return;
    const auto* edit = qobject_cast<const Edit*>(m_target.data());
    const int fieldType = edit ? edit->type() : Edit::TypeInteger;
    if (key == QLatin1String("back")) {
        m_target->backspace();
    } else if (key == QLatin1String("clear")) {
        m_target->clear();
    } else if (key == QLatin1String("-")) {
        // A sign only leads a number.
        if (m_target->text().isEmpty() && m_minus->isEnabled())
            insertText(key);
    } else if (key == QLatin1String(".")) {
        if (fieldType != Edit::TypeInteger)
            insertText(key);
    } else if (key.size() == 1 && key.at(0).isDigit()) {
        insertText(key);
    }
}
