#pragma once

#include <QLineEdit>
#include <QPointer>
#include <QWidget>

class QPushButton;

// What the kit's on-screen keypads share: each is one instance, created without parent on first
// touch, that types into the field it was last attached to. It becomes a child window of that
// field's window, because a running modal dialog blocks every other window (a parentless keypad
// too), and so it also goes away with that window. It opens beside the field, never over it, so
// the operator sees what is typed, and clear of the window's buttons, so "取消" stays in reach.
// Closing it deletes it. GUI thread only.
class TouchKeypad : public QWidget {
    Q_OBJECT
public:
    // Types into this field from now on, offers the keys it can take, and shows itself beside
    // the field: below it, else above, right or left of it, else beside its window, wherever it
    // first covers none of the window's buttons.
    void attach(QLineEdit* target);
    QLineEdit* target() const { return m_target; }

    // One key as a finger would press it; the key names are the object names of the buttons.
    virtual void press(const QString& key) = 0;

signals:
    // The OK key was pressed; the keypad has hidden itself.
    void sigConfirm();

protected:
    TouchKeypad(const QString& name, const QString& extraStyle);

    // A key named key (its object name); pressing it presses key. The caller sizes and places it.
    QPushButton* keyButton(const QString& key, const QString& caption);
    // Enables the keys the new target can take.
    virtual void prepare(QLineEdit* target) = 0;
    // Inserts text at the cursor as typing would: a field's validator and length refuse it.
    void insertText(const QString& text);
    void confirm();

    QPointer<QLineEdit> m_target;

private:
    void placeBeside(const QWidget* field);
};
