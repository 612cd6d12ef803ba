#pragma once

#include <QCheckBox>
#include <QComboBox>
#include <QDialog>
#include <QPushButton>

class QLabel;

// The touch kit's modal boxes and plain controls. Everything here lives on the GUI thread.

// The shared modal message box with one Confirm button. exec() blocks until Confirm is
// pressed; show() puts it up without blocking (the detection cycle must go on behind it).
class WarnBox : public QDialog {
    Q_OBJECT
public:
    explicit WarnBox(QWidget* parent = nullptr);

    void setText(const QString& text);
    QString text() const;

private:
    QLabel* m_text = nullptr;
};

extern WarnBox* gpWarnBox;

// A yes/no question of a fixed size. exec() returns 1 for yes, 0 for no.
class ChooseBox : public QDialog {
    Q_OBJECT
public:
    ChooseBox(QWidget* parent, int width, int height);

    void setText(const QString& text);
    QString text() const;

private:
    QLabel* m_text = nullptr;
};

// The kit's push button. The kind picks the look (kind 3: the orange buttons of the statistics
// screen and the small dialogs); the caller sets the size.
class ColorButton : public QPushButton {
    Q_OBJECT
public:
    ColorButton(const QString& text, QWidget* parent, int kind);

    int kind() const { return m_kind; }

private:
    int m_kind;
};

// A check box with a box large enough for a finger; its value is 1 or 0. It draws its own box
// and tick: the style's tick takes the caption's colour, and the screens write their captions
// white, which left a light grey tick on a white box that an operator could barely tell from an
// empty one.
class CheckBox : public QCheckBox {
    Q_OBJECT
public:
    CheckBox(QWidget* parent, const QString& text);

    void setValue(int value) { setChecked(value != 0); }
    int value() const { return isChecked() ? 1 : 0; }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    // Where the style puts the box, in the check box's coordinates.
    QRect boxRect() const;
};

// A combo box whose popup rows are tall enough to touch.
class ComboBox : public QComboBox {
    Q_OBJECT
public:
    explicit ComboBox(QWidget* parent = nullptr);

    void setItemHeight(int height);
    int itemHeight() const { return m_itemHeight; }

    // The popup is a window of its own and does not take the box's font from it.
    void showPopup() override;

private:
    int m_itemHeight = 40;
};
