#include "records/histogram.h"

#include "base/lanstr.h"

#include <QPainter>
#include <algorithm>

namespace {

// The legend swatches are as wide as half a slot of a 12-hour shift when there is no slot to
// measure, instead of half the chart.
constexpr int kLegendSlots = 12;

}  // namespace

Histogram::Histogram(QWidget* parent, QList<int> x, QList<int> y1, QList<int> y2)
    : QWidget(parent), x(std::move(x)), y1(std::move(y1)), y2(std::move(y2))
{
    setFixedSize(1550, 500);
    count = std::min({this->x.size(), this->y1.size(), this->y2.size()});
    clcMaxY();
}

void Histogram::dataChanged()
{
    count = std::min({x.size(), y1.size(), y2.size()});
    clcMaxY();
    update();
}

void Histogram::modifyDataAxisX(QList<int> values)
{
    x = std::move(values);
    dataChanged();
}

bool Histogram::modifyDataAxisY(QList<int> values1, QList<int> values2)
{
    y1 = std::move(values1);
    y2 = std::move(values2);
    dataChanged();
    return true;
}

bool Histogram::modifyDataAxisY1(QList<int> values)
{
    y1 = std::move(values);
    dataChanged();
    return true;
}

bool Histogram::modifyDataAxisY2(QList<int> values)
{
    y2 = std::move(values);
    dataChanged();
    return true;
}

void Histogram::clcMaxY()
{
    maxY = 0;
    for (const QList<int>* list : {&y1, &y2}) {
        for (int value : *list)
            maxY = std::max(maxY, value);
    }
}

void Histogram::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    painter.setPen(Qt::black);
    QFont font(QStringLiteral("wqy-microhei"));
    font.setPixelSize(15);
    painter.setFont(font);

    const int w = width() - 1;
    const int h = height() - 1;
    painter.drawLine(0, h - 19, w + 1, h - 19);
    painter.drawLine(20, 40, 20, h + 1);

    const float scale = maxY == 0 ? 0.0f : float(h - 59) / float(maxY);
    const int bw = (w - 39) / (count + 1);
    const float half = bw / 2.0f;

    const auto drawBar = [&](int left, int value, const QColor& colour) {
        const int height = int(value * scale);
        const int top = int(h + 1 - value * scale - 20);
        if (height > 0)
            painter.fillRect(left, top, int(half), height, colour);
        painter.drawText(QRectF(left, std::min(top, h - 39), half, 20), Qt::AlignCenter, QString::number(value));
    };

    for (int i = 0; i < count; ++i) {
        const int cx = (i + 1) * bw + 20;
        painter.drawLine(cx, h - 29, cx, h - 19);
        painter.drawText(QRectF(cx - half, h - 19, bw, 20), Qt::AlignCenter, QString::number(x.at(i)));
        drawBar(int(cx - half), y1.at(i), okColor());
        drawBar(cx, y2.at(i), ngColor());
    }

    QFont legendFont = painter.font();
    legendFont.setPointSize(10);
    painter.setFont(legendFont);
    const float swatch = count > 0 ? half : ((w - 39) / (kLegendSlots + 1)) / 2.0f;
    const int x0 = w - 139;
    painter.drawText(QRect(x0, 5, 100, 30), Qt::AlignCenter, lanText(589));
    const QRectF okSwatch(x0 - (swatch + 5), 5, swatch, 30);
    painter.fillRect(okSwatch, okColor());
    const int x1 = int(okSwatch.left()) - 105;
    painter.drawText(QRect(x1, 5, 100, 30), Qt::AlignCenter, lanText(590));
    painter.fillRect(QRectF(x1 - (swatch + 5), 5, swatch, 30), ngColor());
}
