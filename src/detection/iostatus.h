#pragma once

#include <QWidget>

// The I/O status strip of the main window. Of its marks only the picture-stick mark is kept
// here: it shows while the USB copier has a stick to copy to.
class IOStatusWidget : public QWidget {
    Q_OBJECT
public:
    explicit IOStatusWidget(QWidget* parent = nullptr);

    // True while the disk mark is drawn.
    static bool diskMarkShown();
    // Where the mark ("./images/disk.png") is drawn: a square at the strip's right end.
    QRect markRect() const;

protected:
    void paintEvent(QPaintEvent* event) override;
};
