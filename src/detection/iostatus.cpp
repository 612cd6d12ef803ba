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
    painter.setRenderHint(QPainter::SmoothPixmapTransform);
    painter.drawPixmap(markRect(), QPixmap(QStringLiteral("./images/disk.png")));
}

QRect IOStatusWidget::markRect() const
{
    return QRect(width() - height(), 0, height(), height());
}
