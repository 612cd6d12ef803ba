#pragma once

#include "widgets/touchkeypad.h"

class QPushButton;

// The shared numeric keypad (gpNumPad) of the number fields: digits, "-" and "." only where the
// field takes them (a field that cannot hold a negative value says so with its validator),
// backspace, clear and OK. Deleting it clears gpNumPad, so a screen that closes it
// just drops the pointer; the next touch builds a new one.
class NumberInput : public TouchKeypad {
    Q_OBJECT
public:
    NumberInput();
    ~NumberInput() override;

    // gpNumPad, built when there is none.
    static NumberInput* shared();

    // A digit, ".", "-", "back", "clear" or "ok".
    void press(const QString& key) override;

protected:
    void prepare(QLineEdit* target) override;

private:
    QPushButton* m_dot = nullptr;
    QPushButton* m_minus = nullptr;
};

extern NumberInput* gpNumPad;
