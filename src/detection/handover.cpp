#include "detection/handover.h"

#include "base/globals.h"

#include <QMutexLocker>

uchar* gpFailImage[kMaxCameras][kMaxSteps][2] = {};
int gFailImageBytes[kMaxCameras][kMaxSteps][2] = {};
bool gisSaveFail[kMaxCameras][kMaxSteps][2] = {};
int gFailIndex[kMaxCameras][kMaxSteps] = {};
int gPicNumNG = 0;
int gPicNumOK = 0;

namespace {

void freeUnlocked()
{
    for (int c = 0; c < kMaxCameras; ++c) {
        for (int s = 0; s < kMaxSteps; ++s) {
            for (int k = 0; k < 2; ++k) {
                delete[] gpFailImage[c][s][k];
                gpFailImage[c][s][k] = nullptr;
                gFailImageBytes[c][s][k] = 0;
                gisSaveFail[c][s][k] = false;
            }
            gFailIndex[c][s] = 0;
        }
    }
}

}  // namespace

void allocateFailImages(const QVector<int>& bytesPerCamera, int steps)
{
    createGlobalMutexes();
    QMutexLocker lock(pMutexSaveFail);
    freeUnlocked();
    const int cameras = qMin(bytesPerCamera.size(), kMaxCameras);
    steps = qBound(0, steps, kMaxSteps);
    for (int c = 0; c < cameras; ++c) {
        const int bytes = qMax(0, bytesPerCamera.at(c));
        for (int s = 0; s < steps; ++s) {
            for (int k = 0; k < 2; ++k) {
                gpFailImage[c][s][k] = new uchar[bytes]();
                gFailImageBytes[c][s][k] = bytes;
            }
        }
    }
}

void freeFailImages()
{
    createGlobalMutexes();
    QMutexLocker lock(pMutexSaveFail);
    freeUnlocked();
}
