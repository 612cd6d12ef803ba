#pragma once

#include <QDialog>
#include <QWidget>

#include <functional>

class QComboBox;
class QHBoxLayout;
class QLabel;
class QPushButton;
class QStyledItemDelegate;
class QTextEdit;
class QVBoxLayout;

// The touch kit's frameless modal dialog: a title bar (title, room for extra widgets, OK) over a
// body that the derived dialog fills. OK calls acceptDialog(), which accepts; a derived dialog
// may override it to check or apply first. GUI thread only.
class CComp_DialogFrame : public QDialog {
    Q_OBJECT
public:
    explicit CComp_DialogFrame(const QString& title, QWidget* parent = nullptr);

    // Puts a widget into the title bar before its last item (the OK button).
    void addTitleWgt(QWidget* widget);
    // The layout below the title bar, for the derived dialog's content.
    QVBoxLayout* bodyLayout() const { return m_body; }
    QPushButton* okButton() const { return m_ok; }

    // Gives a combo box the frame's item delegate (owned by the combo when it has no parent)
    // and the frame's combo style, followed by the extra style text.
    static void setStyleCombobox(QComboBox* combo, QStyledItemDelegate* delegate, const QString& extraStyle);
    // Applies the frame's default dialog style to any widget, followed by the extra style text.
    static void setDefaultWgt(QWidget* widget, const QString& extraStyle = QString());

public slots:
    virtual void acceptDialog();

private:
    QHBoxLayout* m_titleBar = nullptr;
    QVBoxLayout* m_body = nullptr;
    QLabel* m_title = nullptr;
    QPushButton* m_ok = nullptr;
};

// Modal wait dialog: exec() runs the work on a pool thread and returns once it has finished,
// keeping the GUI thread's event loop (and the screen) alive meanwhile. The work must not touch
// widgets; whatever it shares with the GUI thread is left alone by that thread while it waits.
class CComp_DiaWait : public QDialog {
    Q_OBJECT
public:
    explicit CComp_DiaWait(std::function<void()> work, QWidget* parent = nullptr);

    int exec() override;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    std::function<void()> m_work;
};

// A text panel for a running command's output: its owner appends to and clears the text; the
// close button hides the panel and emits sigHideWidget().
class TextShowWidget : public QWidget {
    Q_OBJECT
public:
    explicit TextShowWidget(QWidget* parent = nullptr);

    QTextEdit* textEdit() const { return m_text; }
    QPushButton* closeButton() const { return m_close; }

signals:
    void sigHideWidget();

private:
    QTextEdit* m_text = nullptr;
    QPushButton* m_close = nullptr;
};
