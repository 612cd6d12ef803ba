#pragma once

#include "vision/wizardpara.h"

// Production counters kept by the detection cycle (GUI thread) and read by the network services.
extern int gAllNum[kMaxCameras];         // all detections per camera
extern int gFailNum[kMaxCameras];        // NG detections per camera
extern int gAllCycleNum[kMaxCameras];    // the same two for the current period
extern int gFailCycleNum[kMaxCameras];
extern int gSyncNGNum;                   // NG count over all cameras
extern int gSyncNGCycleNum;

extern int gShowW;   // screen size every layout is placed by
extern int gShowH;
