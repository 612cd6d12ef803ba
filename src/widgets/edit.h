#pragma once

#include <QLineEdit>

// The kit's touch line edit: a touch opens a shared keypad on it, since the panel has no
// keyboard. The type says which: 6 (text) the text keypad gpNumCharPad, every other type the
// numeric keypad gpNumPad (5 whole numbers). The style picks the look (1: white field with a
// dark frame).
class Edit : public QLineEdit {
    Q_OBJECT
public:
    enum Type { TypeInteger = 5, TypeText = 6 };

    Edit(int type, QWidget* parent, int style);

    int type() const { return m_type; }
    int style() const { return m_style; }

    void setValue(int value);
    // The text as an int; 0 when it is not one (read text() to tell).
    int value() const;

protected:
    void mousePressEvent(QMouseEvent* event) override;

private:
    int m_type;
    int m_style;
};
