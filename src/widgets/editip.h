#pragma once

#include <QString>
#include <QWidget>

class Edit;
class QLabel;

// Titled dotted IPv4 editor: four octet fields of 0 to 255, each a whole-number Edit that opens
// the numeric keypad on touch and refuses a key that would take it past 255. getAddress() joins
// them with "." (an empty field counts as "0"); textchange carries that text after every edit.
// GUI thread.
class EditIP : public QWidget {
    Q_OBJECT
public:
    EditIP(const QString& title, int style, QWidget* parent = nullptr);

    // Fills the fields from a dotted text; parts past the fourth, or not 0..255, leave theirs empty.
    void setAddress(const QString& address);
    QString getAddress() const;
    // No field holds a digit (getAddress() then reads "0.0.0.0"; the address was left out).
    bool isEmpty() const;
    // Every field holds a number.
    bool isComplete() const;
    Edit* octet(int index) const { return index >= 0 && index < 4 ? m_octets[index] : nullptr; }

signals:
    void textchange(const QString& address);

private:
    QLabel* m_title = nullptr;
    Edit* m_octets[4] = {};
};
