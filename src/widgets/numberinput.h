#pragma once

#include <QPointer>
#include <QWidget>

class Edit;
class QPushButton;

// The shared on-screen keypad. One instance (gpNumPad), created without parent on first use;
// it types into the Edit it was last attached to and is a child window of that edit's window
// (a modal dialog blocks any other). Closing it, or deleting that window, deletes it and clears
// gpNumPad, so a screen that closes it just drops the pointer; the next touch builds a new one.
// GUI thread only.
class NumberInput : public QWidget {
    Q_OBJECT
public:
    explicit NumberInput(QWidget* parent = nullptr);
    ~NumberInput() override;

    // gpNumPad, built when there is none.
    static NumberInput* shared();

    // Types into this edit from now on, offers the keys its type allows, and shows itself
    // below the edit (above it when the screen ends there).
    void attach(Edit* target);
    Edit* target() const { return m_target; }

    // One key as a finger would press it: a digit, ".", "-", "back", "clear" or "ok".
    void press(const QString& key);

signals:
    // The OK key was pressed; the keypad has hidden itself.
    void sigConfirm();

private:
    QPushButton* keyButton(const QString& key, const QString& caption);

    QPointer<Edit> m_target;
    QPushButton* m_dot = nullptr;
    QPushButton* m_minus = nullptr;
};

extern NumberInput* gpNumPad;
