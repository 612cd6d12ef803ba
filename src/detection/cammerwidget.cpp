#include "detection/cammerwidget.h"

#include "base/globals.h"
#include "detection/handover.h"

#include <QMutexLocker>
#include <QPainter>
#include <QtDebug>

#include <cstring>

CammerWidget::CammerWidget(int cameraIndex, int width, int height, QWidget* parent)
    : QWidget(parent),
      imageWidth(width),
      imageHeight(height),
      imagePixelCount(width * height),
      m_cameraIndex(cameraIndex)
{
}

void CammerWidget::setStepResult(int step, bool ok, int firstNgRegion, const QDateTime& when)
{
    if (step < 0 || step >= kMaxSteps)
        return;
    m_results[step] = StepResult{ok, ok ? 0 : firstNgRegion, when};
    m_lastStep = step;
    update();
}

bool CammerWidget::stepOK(int step) const
{
    return step < 0 || step >= kMaxSteps || m_results[step].ok;
}

int CammerWidget::firstNgRegion(int step) const
{
    return step < 0 || step >= kMaxSteps ? 0 : m_results[step].firstNgRegion;
}

QImage CammerWidget::sceneImage(int step) const
{
    QImage image(imageWidth, imageHeight, QImage::Format_RGB32);
    const StepResult result = step >= 0 && step < kMaxSteps ? m_results[step] : StepResult{};
    image.fill(QColor(40, 44, 52));

    QPainter painter(&image);
    // A stand-in for the mould: a grey plate with two cavities, the regions drawn over them.
    painter.fillRect(QRect(imageWidth / 8, imageHeight / 6, imageWidth * 3 / 4, imageHeight * 2 / 3), QColor(120, 124, 130));
    for (int region = 1; region <= 2; ++region) {
        const QRect area(imageWidth * (region == 1 ? 2 : 5) / 10, imageHeight * 3 / 10, imageWidth * 3 / 10, imageHeight * 4 / 10);
        const bool regionNg = !result.ok && result.firstNgRegion == region;
        painter.setPen(QPen(regionNg ? Qt::red : Qt::green, 3));
        painter.drawRect(area);
        if (regionNg)
            painter.fillRect(area.adjusted(area.width() / 3, area.height() / 3, -area.width() / 3, -area.height() / 3), QColor(230, 60, 40));
    }
    return image;
}

QString CammerWidget::captionText(int step) const
{
    const StepResult result = step >= 0 && step < kMaxSteps ? m_results[step] : StepResult{};
    return QStringLiteral("Camera %1  Step %2  %3  %4")
        .arg(m_cameraIndex + 1)
        .arg(step + 1)
        .arg(result.when.toString(QStringLiteral("yyyy-MM-dd hh:mm:ss")))
        .arg(result.ok ? QStringLiteral("OK") : QStringLiteral("NG"));
}

QImage CammerWidget::resultImage(int step) const
{
    QImage image = sceneImage(step);
    QPainter painter(&image);
    painter.setPen(Qt::white);
    QFont font = painter.font();
    font.setPixelSize(qMax(12, imageHeight / 24));
    painter.setFont(font);
    painter.drawText(QRect(8, 4, imageWidth - 16, imageHeight / 8), Qt::AlignLeft | Qt::AlignVCenter, captionText(step));
    return image;
}

QRect CammerWidget::pictureRect() const
{
    QSize size(imageWidth, imageHeight);
    size.scale(this->size(), Qt::KeepAspectRatio);
    return QRect(QPoint((width() - size.width()) / 2, (height() - size.height()) / 2), size);
}

QFont CammerWidget::captionFont() const
{
    // The largest type up to 22 px in which the whole caption fits the picture's width.
    QFont font = this->font();
    const QString text = captionText(m_lastStep);
    const int room = pictureRect().width() - 12;
    for (int pixels = 22; pixels >= 9; --pixels) {
        font.setPixelSize(pixels);
        if (QFontMetrics(font).horizontalAdvance(text) <= room)
            break;
    }
    return font;
}

QRect CammerWidget::captionRect() const
{
    const QRect picture = pictureRect();
    return QRect(picture.left(), picture.top(), picture.width(), QFontMetrics(captionFont()).height() + 6);
}

void CammerWidget::SaveFailImage(int step, int kind)
{
    if (m_cameraIndex < 0 || m_cameraIndex >= kMaxCameras || step < 0 || step >= kMaxSteps || kind < 0 || kind > 1)
        return;
    const QImage image = resultImage(step);
    const int bytes = imagePixelCount * 4;

    createGlobalMutexes();
    QMutexLocker lock(pMutexSaveFail);
    uchar* buffer = gpFailImage[m_cameraIndex][step][kind];
    if (!buffer || gFailImageBytes[m_cameraIndex][step][kind] != bytes) {
        qWarning() << "no hand-over buffer for camera" << m_cameraIndex << "step" << step << "kind" << kind;
        return;
    }
    for (int y = 0; y < imageHeight; ++y)
        std::memcpy(buffer + static_cast<size_t>(y) * imageWidth * 4, image.constScanLine(y), static_cast<size_t>(imageWidth) * 4);
    const int region = m_results[step].firstNgRegion;
    if (gFailIndex[m_cameraIndex][step] == 0 && region > 0)
        gFailIndex[m_cameraIndex][step] = region;
}

void CammerWidget::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    painter.fillRect(rect(), Qt::black);
    painter.setRenderHint(QPainter::SmoothPixmapTransform);
    painter.drawImage(pictureRect(), sceneImage(m_lastStep));
    const QRect caption = captionRect();
    painter.fillRect(caption, QColor(0, 0, 0, 140));
    painter.setPen(Qt::white);
    painter.setFont(captionFont());
    painter.drawText(caption.adjusted(6, 0, -6, 0), Qt::AlignLeft | Qt::AlignVCenter, captionText(m_lastStep));
}
