#pragma once

#include "vision/wizardpara.h"

#include <QVector>
#include <QtGlobal>

// The picture hand-over area between the detection cycle and the picture-saving thread,
// guarded by pMutexSaveFail. Kind 0 is the NG picture, kind 1 the second (OK) picture.
// Buffers are RGB32, width x height x 4 bytes of the camera view; gFailImageBytes holds the
// size of each allocated buffer (0 where none is allocated).
extern uchar* gpFailImage[kMaxCameras][kMaxSteps][2];
extern int gFailImageBytes[kMaxCameras][kMaxSteps][2];
extern bool gisSaveFail[kMaxCameras][kMaxSteps][2];
extern int gFailIndex[kMaxCameras][kMaxSteps];

// Allocates the buffers of steps 0..steps-1 for each camera, sized bytesPerCamera[camera];
// frees the rest.
void allocateFailImages(const QVector<int>& bytesPerCamera, int steps);
void freeFailImages();

extern int gPicNumNG;   // pictures kept per NG folder
extern int gPicNumOK;   // pictures kept per OK folder
