// The chart checked on the pixels it paints (1550 x 500: w = 1549, h = 499, axis at y = 480).
#include "base/lanstr.h"
#include "records/histogram.h"
#include "screen_support.h"

#include <QImage>
#include <gtest/gtest.h>

namespace {

constexpr int kAxisY = 480;

bool isOK(const QColor& c)
{
    return c.green() > 200 && c.red() < 80 && c.blue() < 80;
}

bool isNG(const QColor& c)
{
    return c.red() > 200 && c.green() < 80 && c.blue() < 80;
}

QImage paint(Histogram& chart)
{
    return chart.grab().toImage();
}

// Height of the bar of a colour in one pixel column (its count text may cover part of it);
// 0 when the bar does not stand on the axis.
int barHeight(const QImage& image, int x, bool (*colour)(const QColor&))
{
    if (!colour(image.pixelColor(x, kAxisY - 1)))
        return 0;
    int top = kAxisY - 1;
    for (int y = kAxisY - 1; y >= 40; --y) {
        if (colour(image.pixelColor(x, y)))
            top = y;
    }
    return kAxisY - top;
}

// Pixels of a colour below the legend.
int pixelsBelowLegend(const QImage& image, bool (*colour)(const QColor&))
{
    int n = 0;
    for (int y = 40; y < image.height(); ++y) {
        for (int x = 0; x < image.width(); ++x)
            n += colour(image.pixelColor(x, y));
    }
    return n;
}

int darkPixels(const QImage& image, const QRect& area)
{
    int n = 0;
    for (int y = area.top(); y <= area.bottom(); ++y) {
        for (int x = area.left(); x <= area.right(); ++x)
            n += image.pixelColor(x, y).lightness() < 100;
    }
    return n;
}

QList<int> hours(int from, int count)
{
    QList<int> list;
    for (int i = 0; i < count; ++i)
        list << (from + i) % 24;
    return list;
}

}  // namespace

TEST(Histogram, TwelveSlotsStandOnTheAxisScaledToTheLargestCount)
{
    initLanStr();
    QList<int> ok(QVector<int>(12, 0).toList());
    QList<int> ng = ok;
    ok[0] = 44;
    ng[0] = 11;
    ok[11] = 1;
    Histogram chart(nullptr, hours(8, 12), ok, ng);
    ASSERT_EQ(chart.slotCount(), 12);
    ASSERT_EQ(chart.maximum(), 44);
    const QImage image = paint(chart);

    // bw = 116, first pair centred at x = 136: OK bar left of it, NG bar right of it.
    // scale = 440 / 44 = 10 pixels per count.
    EXPECT_EQ(barHeight(image, 100, isOK), 440);
    EXPECT_EQ(barHeight(image, 170, isNG), 110);
    EXPECT_EQ(barHeight(image, 136 - 59, isOK), 0);
    EXPECT_EQ(barHeight(image, 136 + 58, isNG), 0);
    // Last pair at x = 12 x 116 + 20: a 10-pixel OK bar, its text in the band over the axis.
    EXPECT_EQ(barHeight(image, 1412 - 52, isOK), 10);
    EXPECT_GT(darkPixels(image, QRect(1412 - 58, kAxisY - 20, 58, 10)), 5);
    ASSERT_TRUE(ScreenTest::saveShot(&chart, "histogram_twelve_slots"));
}

TEST(Histogram, ZeroCountsDrawNoBarsAndTheirTextsSitOnTheAxis)
{
    initLanStr();
    Histogram chart(nullptr, hours(20, 12), QList<int>(QVector<int>(12, 0).toList()),
                    QList<int>(QVector<int>(12, 0).toList()));
    EXPECT_EQ(chart.maximum(), 0);
    const QImage image = paint(chart);
    EXPECT_EQ(pixelsBelowLegend(image, isOK), 0);
    EXPECT_EQ(pixelsBelowLegend(image, isNG), 0);
    // The "0" of the first OK and NG bar, just above the axis.
    EXPECT_GT(darkPixels(image, QRect(136 - 58, kAxisY - 20, 58, 20)), 5);
    EXPECT_GT(darkPixels(image, QRect(136, kAxisY - 20, 58, 20)), 5);
}

TEST(Histogram, ShortestListSetsTheSlotsAndEveryValueSetsTheScale)
{
    initLanStr();
    Histogram chart(nullptr, hours(8, 12), {10, 20, 30, 40, 50}, {5, 5, 5});
    EXPECT_EQ(chart.slotCount(), 3);
    EXPECT_EQ(chart.maximum(), 50);
    QImage image = paint(chart);
    // bw = 1510 / 4 = 377; 10 of 50 is a fifth of 440 pixels.
    EXPECT_EQ(barHeight(image, 377 + 20 - 90, isOK), 88);
    EXPECT_EQ(barHeight(image, 4 * 377 + 20 - 90, isOK), 0);

    // New hours alone keep the bars; new counts change the scale.
    chart.modifyDataAxisX(hours(20, 12));
    EXPECT_EQ(chart.slotCount(), 3);
    EXPECT_EQ(pixelsBelowLegend(paint(chart), isOK), pixelsBelowLegend(image, isOK));
    EXPECT_EQ(pixelsBelowLegend(paint(chart), isNG), pixelsBelowLegend(image, isNG));
    ASSERT_TRUE(chart.modifyDataAxisY2({100, 0, 0}));
    image = paint(chart);
    EXPECT_EQ(chart.maximum(), 100);
    EXPECT_EQ(barHeight(image, 377 + 20 - 90, isOK), 44);
    EXPECT_EQ(barHeight(image, 377 + 20 + 90, isNG), 440);
}

TEST(Histogram, WithoutSlotsTheLegendKeepsItsSwatchWidth)
{
    initLanStr();
    Histogram chart(nullptr, {}, {}, {});
    EXPECT_EQ(chart.slotCount(), 0);
    const QImage image = paint(chart);
    int green = 0;
    int red = 0;
    for (int x = 0; x < image.width(); ++x) {
        green += isOK(image.pixelColor(x, 20));
        red += isNG(image.pixelColor(x, 20));
    }
    // Half a slot of a 12-slot chart: 1510 / 13 / 2 = 58.
    EXPECT_NEAR(green, 58, 1);
    EXPECT_NEAR(red, 58, 1);
}
