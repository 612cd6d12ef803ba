// Draws the screens' small pictures that the program loads from "./images/": the USB stick mark
// of the status strip and the network screen's icons. Run by hand after a change; its output is
// kept in the repo's images/ folder.
//
//   draw_images <folder>
#include <QGuiApplication>
#include <QImage>
#include <QPainter>
#include <QPainterPath>
#include <QtMath>

#include <cstdio>
#include <functional>

namespace {

const QColor kWhite(255, 255, 255);

QImage canvas(int width, int height)
{
    QImage image(width, height, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    return image;
}

// A USB stick lying on its side, connector to the right: green, the colour of a working part,
// with the USB trident on its body. Drawn in the strip's mark square.
QImage disk(int size)
{
    QImage image = canvas(size, size);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    const qreal u = size / 48.0;
    p.setPen(QPen(QColor(40, 40, 40), 1.5 * u));
    p.setBrush(QColor(176, 190, 197));
    p.drawRect(QRectF(31 * u, 17 * u, 13 * u, 14 * u));   // connector
    p.setBrush(QColor(40, 40, 40));
    p.setPen(Qt::NoPen);
    p.drawRect(QRectF(35 * u, 20.5 * u, 3 * u, 2.5 * u));
    p.drawRect(QRectF(35 * u, 25 * u, 3 * u, 2.5 * u));
    p.setPen(QPen(QColor(20, 70, 20), 1.5 * u));
    p.setBrush(QColor(46, 125, 50));
    p.drawRoundedRect(QRectF(3 * u, 12 * u, 29 * u, 24 * u), 4 * u, 4 * u);   // body
    // Trident: a stem with a circle at its foot and three prongs.
    p.setPen(QPen(kWhite, 1.8 * u, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    p.setBrush(Qt::NoBrush);
    p.drawLine(QPointF(9 * u, 24 * u), QPointF(27 * u, 24 * u));
    p.drawLine(QPointF(14 * u, 24 * u), QPointF(18 * u, 18.5 * u));
    p.drawLine(QPointF(18 * u, 18.5 * u), QPointF(22 * u, 18.5 * u));
    p.drawLine(QPointF(17 * u, 24 * u), QPointF(21 * u, 29.5 * u));
    p.drawLine(QPointF(21 * u, 29.5 * u), QPointF(23 * u, 29.5 * u));
    p.setBrush(kWhite);
    p.drawEllipse(QPointF(8 * u, 24 * u), 2 * u, 2 * u);
    p.drawRect(QRectF(22 * u, 17 * u, 2.5 * u, 3 * u));
    p.drawEllipse(QPointF(24.5 * u, 29.5 * u), 1.6 * u, 1.6 * u);
    QPainterPath arrow(QPointF(29 * u, 24 * u));
    arrow.lineTo(25.5 * u, 21.8 * u);
    arrow.lineTo(25.5 * u, 26.2 * u);
    arrow.closeSubpath();
    p.drawPath(arrow);
    return image;
}

// Three arcs over a dot, white: a Wi-Fi card on the grey card tile.
QImage wifi(int size)
{
    QImage image = canvas(size, size);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    const qreal u = size / 40.0;
    const QPointF centre(20 * u, 32 * u);
    p.setPen(QPen(kWhite, 3.6 * u, Qt::SolidLine, Qt::RoundCap));
    for (const qreal radius : {8.0, 15.5, 23.0}) {
        const QRectF circle(centre.x() - radius * u, centre.y() - radius * u, 2 * radius * u, 2 * radius * u);
        p.drawArc(circle, 45 * 16, 90 * 16);
    }
    p.setPen(Qt::NoPen);
    p.setBrush(kWhite);
    p.drawEllipse(centre, 3.2 * u, 3.2 * u);
    return image;
}

// A red disc with a white cross: the card is not in use.
QImage error(int size)
{
    QImage image = canvas(size, size);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    const qreal u = size / 60.0;
    p.setPen(QPen(kWhite, 2.5 * u));
    p.setBrush(QColor(211, 47, 47));
    p.drawEllipse(QPointF(30 * u, 30 * u), 26 * u, 26 * u);
    p.setPen(QPen(kWhite, 6 * u, Qt::SolidLine, Qt::RoundCap));
    p.drawLine(QPointF(20 * u, 20 * u), QPointF(40 * u, 40 * u));
    p.drawLine(QPointF(40 * u, 20 * u), QPointF(20 * u, 40 * u));
    return image;
}

// A pencil writing a line, white: edit the card.
QImage modify(int size)
{
    QImage image = canvas(size, size);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    const qreal u = size / 40.0;
    p.translate(20 * u, 19 * u);
    p.rotate(45);
    p.setPen(QPen(kWhite, 2.2 * u, Qt::SolidLine, Qt::SquareCap, Qt::MiterJoin));
    p.setBrush(Qt::NoBrush);
    p.drawRect(QRectF(-4.5 * u, -15 * u, 9 * u, 21 * u));   // shaft
    p.drawLine(QPointF(-4.5 * u, -10 * u), QPointF(4.5 * u, -10 * u));   // ferrule
    QPainterPath tip(QPointF(-4.5 * u, 6 * u));
    tip.lineTo(0, 14 * u);
    tip.lineTo(4.5 * u, 6 * u);
    p.drawPath(tip);
    p.setBrush(kWhite);
    p.setPen(Qt::NoPen);
    QPainterPath lead(QPointF(-1.6 * u, 11 * u));
    lead.lineTo(0, 14 * u);
    lead.lineTo(1.6 * u, 11 * u);
    lead.closeSubpath();
    p.drawPath(lead);
    p.resetTransform();
    p.setPen(QPen(kWhite, 2.2 * u, Qt::SolidLine, Qt::RoundCap));
    p.drawLine(QPointF(6 * u, 36 * u), QPointF(34 * u, 36 * u));
    return image;
}

// A circular arrow, white: apply the settings again.
QImage rotate(int size)
{
    QImage image = canvas(size, size);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    const qreal u = size / 40.0;
    const QPointF centre(20 * u, 20 * u);
    const qreal radius = 13 * u;
    p.setPen(QPen(kWhite, 3.6 * u, Qt::SolidLine, Qt::FlatCap));
    p.drawArc(QRectF(centre.x() - radius, centre.y() - radius, 2 * radius, 2 * radius), 90 * 16, 290 * 16);
    // The head at the arc's open end, pointing on along the turn (counter-clockwise).
    const qreal end = qDegreesToRadians(90.0 + 290.0);
    const QPointF tail(centre.x() + radius * qCos(end), centre.y() - radius * qSin(end));
    const QPointF along(-qSin(end), -qCos(end));   // the turn's direction, y downwards
    const QPointF outward(qCos(end), -qSin(end));
    QPainterPath head(tail + outward * 7 * u);
    head.lineTo(tail - outward * 7 * u);
    head.lineTo(tail + along * 9 * u);
    head.closeSubpath();
    p.setPen(Qt::NoPen);
    p.setBrush(kWhite);
    p.drawPath(head);
    return image;
}

}  // namespace

int main(int argc, char* argv[])
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    if (argc != 2) {
        std::fprintf(stderr, "usage: draw_images <folder>\n");
        return 2;
    }
    const QString folder = QString::fromLocal8Bit(argv[1]);
    // Sizes as the screens show them: the status strip's mark square, the card tile's 40 and 60
    // pixel labels, and the icons of the tile's modify button and the apply button.
    const struct {
        const char* name;
        std::function<QImage(int)> draw;
        int size;
    } images[] = {{"disk.png", disk, 48},   {"wifi.png", wifi, 40},       {"error.png", error, 60},
                  {"modify.png", modify, 40}, {"Rotate.png", rotate, 40}};
    for (const auto& image : images) {
        const QString path = folder + QLatin1Char('/') + QLatin1String(image.name);
        if (!image.draw(image.size).convertToFormat(QImage::Format_ARGB32).save(path)) {
            std::fprintf(stderr, "cannot write %s\n", qPrintable(path));
            return 1;
        }
        std::printf("%s\n", qPrintable(path));
    }
    return 0;
}
