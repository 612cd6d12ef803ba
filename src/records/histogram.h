#pragma once

#include <QList>
#include <QWidget>

// Hourly bar chart of one shift: per hour slot a green OK bar and a red NG bar side by side,
// each with its count, the hour under the pair and a legend top right. Drawn by hand so it
// looks the same on every panel; GUI thread only.
class Histogram : public QWidget {
    Q_OBJECT
public:
    Histogram(QWidget* parent, QList<int> x, QList<int> y1, QList<int> y2);

    void modifyDataAxisX(QList<int> x);
    bool modifyDataAxisY(QList<int> y1, QList<int> y2);
    bool modifyDataAxisY1(QList<int> y1);
    bool modifyDataAxisY2(QList<int> y2);
    void clcMaxY();

    int slotCount() const { return count; }
    int maximum() const { return maxY; }
    QList<int> hours() const { return x; }
    QList<int> okCounts() const { return y1; }
    QList<int> ngCounts() const { return y2; }

    static QColor okColor() { return QColor(0, 255, 0, 200); }
    static QColor ngColor() { return QColor(255, 0, 0, 200); }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    void dataChanged();

    QList<int> x;
    QList<int> y1;
    QList<int> y2;
    int count = 0;
    int maxY = 0;
};
