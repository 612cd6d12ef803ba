#pragma once

#include <QDateTime>
#include <QImage>
#include <QWidget>

// One camera's view: its current frame and the annotated result picture of each step. The view
// shows the picture whole at any size of the view (its sides keep their proportion) with the
// caption written in the view's own type over its top, so the caption reads whole however small
// the picture is drawn; the pictures handed over for saving carry the caption in them.
class CammerWidget : public QWidget {
    Q_OBJECT
public:
    CammerWidget(int cameraIndex, int width, int height, QWidget* parent = nullptr);

    const int imageWidth;
    const int imageHeight;
    const int imagePixelCount;   // imageWidth * imageHeight

    int cameraIndex() const { return m_cameraIndex; }

    // The verdict of a step as the engine left it: firstNgRegion is 1-based, 0 when OK.
    void setStepResult(int step, bool ok, int firstNgRegion, const QDateTime& when);
    bool stepOK(int step) const;
    int firstNgRegion(int step) const;

    // The annotated result picture of a step (RGB32, imageWidth x imageHeight).
    QImage resultImage(int step) const;
    // Camera, step, time and verdict of a step, as its picture and the view show them.
    QString captionText(int step) const;

    // Where the view draws the picture of the last step, and its caption (view coordinates).
    QRect pictureRect() const;
    QRect captionRect() const;
    QFont captionFont() const;

    // Draws the step's result picture and copies its pixels into the hand-over buffer of
    // (camera, step, kind) under pMutexSaveFail; records the first NG region when none is.
    void SaveFailImage(int step, int kind);

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    // The picture without its caption.
    QImage sceneImage(int step) const;

    struct StepResult {
        bool ok = true;
        int firstNgRegion = 0;
        QDateTime when;
    };

    int m_cameraIndex;
    StepResult m_results[8];
    int m_lastStep = 0;
};
