#pragma once

#include <QDialog>

class QLabel;

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
