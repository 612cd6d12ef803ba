#include "detection/iostatus.h"

#include "records/copy2movedisk.h"

#include <QPainter>
#include <QPixmap>
#include <QTimer>

IOStatusWidget::IOStatusWidget(QWidget* parent) : QWidget(parent)
{
    setFixedHeight(48);
    // The copier's stick changes from its own thread's signals; repaint now and then.
    auto* refresh = new QTimer(this);
    connect(refresh, &QTimer::timeout, this, QOverload<>::of(&QWidget::update));
    refresh->start(1000);
}

bool IOStatusWidget::diskMarkShown()
{
    return Copy2MoveDisk::_instance && !Copy2MoveDisk::_instance->mountPath().isEmpty();
}

void IOStatusWidget::paintEvent(QPaintEvent*)
{
    if (!diskMarkShown())
        return;
    QPainter painter(this);
    const QRect mark(width() - height(), 0, height(), height());
    const QPixmap disk(QStringLiteral("./images/disk.png"));
    if (!disk.isNull()) {
        painter.drawPixmap(mark, disk);
        return;
    }
    // Without the picture files a plain stick outline still tells the operator.
    painter.setPen(QPen(Qt::darkGreen, 3));
    painter.drawRoundedRect(mark.adjusted(8, 12, -8, -12), 4, 4);
}
