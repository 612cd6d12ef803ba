#pragma once

#include "widgets/touchkeypad.h"

#include <QList>

class QPushButton;

// The shared text keypad (gpNumCharPad) of the text fields (Wi-Fi name and key, device id, ping
// target): letters in both cases, digits and every other printable ASCII character a name or a
// Wi-Fi key may hold, space, shift, backspace, clear, OK, and cancel, which puts back what the
// field held when the keypad came. Shift works as on a phone: one tap makes the next letter a
// capital, a second tap locks capitals (the key shows ⇪), a third ends them. Keys are
// finger-sized. Deleting it clears gpNumCharPad.
class NumCharInput : public TouchKeypad {
    Q_OBJECT
public:
    enum class Shift { Off, Once, Locked };

    NumCharInput();
    ~NumCharInput() override;

    // gpNumCharPad, built when there is none.
    static NumCharInput* shared();

    // A character key is named by the character it types now; the others are "shift" (capitals),
    // "symbols" (the punctuation page), "space", "back", "clear", "cancel" and "ok".
    void press(const QString& key) override;

    bool isShifted() const { return m_shift != Shift::Off; }
    Shift shift() const { return m_shift; }
    bool showsSymbols() const { return m_symbols; }

protected:
    void prepare(QLineEdit* target) override;

private:
    // Captions and names of the character keys for the current page and case.
    void relabel();

    QList<QPushButton*> m_charKeys;
    QPushButton* m_shiftKey = nullptr;
    QPushButton* m_symbolKey = nullptr;
    Shift m_shift = Shift::Off;
    bool m_symbols = false;
    QString m_original;
};

extern NumCharInput* gpNumCharPad;
