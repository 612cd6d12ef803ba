#include "detection/counters.h"

int gAllNum[kMaxCameras] = {};
int gFailNum[kMaxCameras] = {};
int gAllCycleNum[kMaxCameras] = {};
int gFailCycleNum[kMaxCameras] = {};
int gSyncNGNum = 0;
int gSyncNGCycleNum = 0;

int gShowW = 1920;
int gShowH = 1080;
