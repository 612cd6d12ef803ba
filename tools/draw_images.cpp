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

namespace {

const QColor kWhite(255, 255, 255);

// A USB stick lying on its side, connector to the right: green, the colour of a working part,
// with the USB trident on its body. Drawn in the strip's mark square.
void disk(QPainter& p)
{
    p.setPen(QPen(QColor(40, 40, 40), 1.5));
    p.setBrush(QColor(176, 190, 197));
    p.drawRect(QRectF(31, 17, 13, 14));   // connector
    p.setBrush(QColor(40, 40, 40));
    p.setPen(Qt::NoPen);
    p.drawRect(QRectF(35, 20.5, 3, 2.5));
    p.drawRect(QRectF(35, 25, 3, 2.5));
    p.setPen(QPen(QColor(20, 70, 20), 1.5));
    p.setBrush(QColor(46, 125, 50));
    p.drawRoundedRect(QRectF(3, 12, 29, 24), 4, 4);   // body
    // Trident: a stem with a circle at its foot and three prongs.
    p.setPen(QPen(kWhite, 1.8, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    p.setBrush(Qt::NoBrush);
    p.drawLine(QPointF(9, 24), QPointF(27, 24));
    p.drawLine(QPointF(14, 24), QPointF(18, 18.5));
    p.drawLine(QPointF(18, 18.5), QPointF(22, 18.5));
    p.drawLine(QPointF(17, 24), QPointF(21, 29.5));
    p.drawLine(QPointF(21, 29.5), QPointF(23, 29.5));
    p.setBrush(kWhite);
    p.drawEllipse(QPointF(8, 24), 2, 2);
    p.drawRect(QRectF(22, 17, 2.5, 3));
    p.drawEllipse(QPointF(24.5, 29.5), 1.6, 1.6);
    QPainterPath arrow(QPointF(29, 24));
    arrow.lineTo(25.5, 21.8);
    arrow.lineTo(25.5, 26.2);
    arrow.closeSubpath();
    p.drawPath(arrow);
}

// Three arcs over a dot, white: a Wi-Fi card on the grey card tile.
void wifi(QPainter& p)
{
    const QPointF centre(20, 32);
    p.setPen(QPen(kWhite, 3.6, Qt::SolidLine, Qt::RoundCap));
    for (const qreal radius : {8.0, 15.5, 23.0}) {
        const QRectF circle(centre.x() - radius, centre.y() - radius, 2 * radius, 2 * radius);
        p.drawArc(circle, 45 * 16, 90 * 16);
    }
    p.setPen(Qt::NoPen);
    p.setBrush(kWhite);
    p.drawEllipse(centre, 3.2, 3.2);
}

// A red disc with a white cross: the card is not in use.
void error(QPainter& p)
{
    p.setPen(QPen(kWhite, 2.5));
    p.setBrush(QColor(211, 47, 47));
    p.drawEllipse(QPointF(30, 30), 26, 26);
    p.setPen(QPen(kWhite, 6, Qt::SolidLine, Qt::RoundCap));
    p.drawLine(QPointF(20, 20), QPointF(40, 40));
    p.drawLine(QPointF(40, 20), QPointF(20, 40));
}

// A pencil writing a line, white: edit the card.
void modify(QPainter& p)
{
    p.translate(20, 19);
    p.rotate(45);
    p.setPen(QPen(kWhite, 2.2, Qt::SolidLine, Qt::SquareCap, Qt::MiterJoin));
    p.setBrush(Qt::NoBrush);
    p.drawRect(QRectF(-4.5, -15, 9, 21));   // shaft
    p.drawLine(QPointF(-4.5, -10), QPointF(4.5, -10));   // ferrule
    QPainterPath tip(QPointF(-4.5, 6));
    tip.lineTo(0, 14);
    tip.lineTo(4.5, 6);
    p.drawPath(tip);
    p.setBrush(kWhite);
    p.setPen(Qt::NoPen);
    QPainterPath lead(QPointF(-1.6, 11));
    lead.lineTo(0, 14);
    lead.lineTo(1.6, 11);
    lead.closeSubpath();
    p.drawPath(lead);
    p.resetTransform();
    p.setPen(QPen(kWhite, 2.2, Qt::SolidLine, Qt::RoundCap));
    p.drawLine(QPointF(6, 36), QPointF(34, 36));
}

// A circular arrow, white: apply the settings again.
void rotate(QPainter& p)
{
    const QPointF centre(20, 20);
    const qreal radius = 13;
    p.setPen(QPen(kWhite, 3.6, Qt::SolidLine, Qt::FlatCap));
    p.drawArc(QRectF(centre.x() - radius, centre.y() - radius, 2 * radius, 2 * radius), 90 * 16, 290 * 16);
    // The head at the arc's open end, pointing on along the turn (counter-clockwise).
    const qreal end = qDegreesToRadians(90.0 + 290.0);
    const QPointF tail(centre.x() + radius * qCos(end), centre.y() - radius * qSin(end));
    const QPointF along(-qSin(end), -qCos(end));   // the turn's direction, y downwards
    const QPointF outward(qCos(end), -qSin(end));
    QPainterPath head(tail + outward * 7);
    head.lineTo(tail - outward * 7);
    head.lineTo(tail + along * 9);
    head.closeSubpath();
    p.setPen(Qt::NoPen);
    p.setBrush(kWhite);
    p.drawPath(head);
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
        void (*draw)(QPainter&);
        int size;
    } images[] = {{"disk.png", disk, 48},     {"wifi.png", wifi, 40},       {"error.png", error, 60},
                  {"modify.png", modify, 40}, {"Rotate.png", rotate, 40}};
    for (const auto& entry : images) {
        QImage image(entry.size, entry.size, QImage::Format_ARGB32_Premultiplied);
        image.fill(Qt::transparent);
        {
            QPainter painter(&image);
            painter.setRenderHint(QPainter::Antialiasing);
            entry.draw(painter);
        }
        const QString path = folder + QLatin1Char('/') + QLatin1String(entry.name);
        if (!image.convertToFormat(QImage::Format_ARGB32).save(path)) {
            std::fprintf(stderr, "cannot write %s\n", qPrintable(path));
            return 1;
        }
        std::printf("%s\n", qPrintable(path));
    }
    return 0;
}
